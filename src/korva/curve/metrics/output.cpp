// The figures of a sweep, chunk by chunk through the batch's loop: an output that turns each chunk's
// (devices, submodels, points) stacks into figures and drops them, and the job filter that leaves
// only the curves and variants the figures read. The one file that meets the batch and its core.
#include "korva/curve/metrics/predict.hpp"

#include "korva/curve/batch/batch.hpp"
#include "korva/curve/batch/outputs.hpp"

#include <cstring>
#include <limits>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

class MetricsOutput final : public batch::Output {
public:
    // `rows`: the frame row of each device the batch predicts (those without a problem).
    MetricsOutput(const py::Call& g, const SweepRequest& request, const DeviceTable& table,
                  const std::vector<Py_ssize_t>& rows, const core::Plan* plan)
        : g_(g), request_(request), table_(table), rows_(rows), columns_(columns_of(request.layout.kind)),
          count_((Py_ssize_t) table.devices.size()), width_((Py_ssize_t) float_width(request.layout.kind)) {
        values_.assign((size_t) (count_ * width_), std::numeric_limits<double>::quiet_NaN());
        flags_.assign((size_t) count_, Flags{});
        if (request.return_errors) {
            errors_ = nb::steal(PyList_New(count_));
            if (!errors_.is_valid()) throw nb::python_error();
            for (Py_ssize_t i = 0; i < count_; ++i) {
                nb::object entry = nb::none();
                if (table.problems[i].is_valid()) entry = text_of(table.problems[i]);
                PyList_SET_ITEM(errors_.ptr(), i, entry.release().ptr());
            }
        }
        if (!plan) return;
        x_.resize(request.layout.sources.size());
        nb::object ndarray = g("np").attr("ndarray");
        for (const core::Job& job : plan->jobs) {
            Py_ssize_t source = request.layout.find(job.curve_type, job.variant_label);
            source_of_job_.push_back(source);
            if (source < 0) continue;  // not one the figures read: its stack is refused in job()
            try {
                core::Float64Array x(job.x_coords, ndarray, 1);
                x_[source].resize((size_t) x.shape(0));
                for (Py_ssize_t i = 0; i < x.shape(0); ++i) x_[source][i] = x.at(i);
            } catch (const core::NotVectorisable&) {
                // no x here: every chunk's shape check fails and its devices take the per-device steps
            }
        }
    }

    std::unique_ptr<batch::Block> block(const std::vector<Py_ssize_t>& rows) override {
        return std::make_unique<MetricsBlock>(*this, rows);
    }

    // A device the batch took through its own steps: its figures from its records, or the error its
    // records give (as device_metrics would raise it), under errors="return" in its error column.
    void device(Py_ssize_t row, nb::handle records) override {
        try {
            RecordCurves curves(g_, request_.layout, records);
            store(row, curves.views());
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            if (request_.return_errors) {
                failure(row, error.value());
                return;
            }
            Py_ssize_t at = rows_.at((size_t) row);
            nb::object label = request_.devices.attr("index")[nb::int_(at)];
            nb::object note = nb::steal(PyUnicode_FromFormat(
                "while computing the figures of device %R (row %zd of devices)", label.ptr(), at));
            if (!note.is_valid()) throw nb::python_error();
            error.value().attr("add_note")(note);
            throw;
        }
    }

    void failure(Py_ssize_t row, nb::handle exception) override {
        nb::object text = text_of(exception);
        if (PyList_SetItem(errors_.ptr(), rows_.at((size_t) row), text.release().ptr()) < 0) throw nb::python_error();
    }

    nb::object finish() override {
        nb::object np = g_("np"), pd = g_("pd"), ndarray = np.attr("ndarray");
        nb::object values;
        try {
            values = core::empty(np, ndarray, {count_, width_});
            if (!values_.empty())
                std::memcpy(core::Float64Array(values, ndarray, 2, true).contiguous(), values_.data(),
                            sizeof(double) * values_.size());
        } catch (const core::NotVectorisable&) {
            py::raise(PyExc_RuntimeError, "np.empty gave another array than asked for the figures");
        }
        nb::list names;
        for (const Column& column : columns_)
            if (column.type == Column::value || column.type == Column::spread) names.append(column.name.c_str());
        nb::object frame = pd.attr("DataFrame")(values, "index"_a = request_.devices.attr("index"), "columns"_a = names,
                                                "copy"_a = false);
        nb::list categories;
        for (const char* name : status_names) categories.append(name);
        for (size_t position = 0; position < columns_.size(); ++position) {
            const Column& column = columns_[position];
            nb::object added;
            switch (column.type) {
                case Column::value:
                case Column::spread: continue;
                case Column::bv_censored: added = flags([](const Flags& f) { return f.bv_censored; }); break;
                case Column::ron_coarse: added = flags([](const Flags& f) { return f.ron_coarse; }); break;
                case Column::vth_status:
                    added = statuses(categories, [](const Flags& f) { return f.vth_status; });
                    break;
                case Column::vth_sat_status:
                    added = statuses(categories, [](const Flags& f) { return f.vth_sat_status; });
                    break;
            }
            frame.attr("insert")(nb::int_(position), column.name.c_str(), added);
        }
        if (!request_.domain.is_none()) frame["in_domain"] = in_domain(g_, request_.domain, request_.devices);
        if (errors_.is_valid())  // object dtype: None where no error, the same in every dask partition
            frame["error"] = pd.attr("Series")(errors_, "index"_a = frame.attr("index"), "dtype"_a = g_("object"));
        nb::dict attrs = metrics_attrs(request_.layout, request_.criteria);
        attrs["domain"] = request_.domain;
        frame.attr("attrs")["metrics"] = attrs;
        return frame;
    }

private:
    // The stacks of one block's curves, whose figures are stored for its devices once the block
    // is finished. Blocks of several threads can be open at once: each stores its own devices' rows.
    class MetricsBlock final : public batch::Block {
    public:
        MetricsBlock(MetricsOutput& output, const std::vector<Py_ssize_t>& rows)
            : output_(output), rows_(rows), stacks_(output.x_.size()), means_(output.x_.size()) {}

        void job(size_t index, const core::Job&, nb::handle stack) override {
            // The mean as the records take it, from the stack as predicted.
            nb::object np = output_.g_("np");
            const std::vector<Py_ssize_t>& source_of_job = output_.source_of_job_;
            if (index >= source_of_job.size() || source_of_job[index] < 0) throw core::NotVectorisable{};
            size_t source = (size_t) source_of_job[index];
            means_[source] = np.attr("ascontiguousarray")(np.attr("mean")(stack, "axis"_a = 1));
            stacks_[source] = np.attr("ascontiguousarray")(stack);
        }

        void commit() override {
            const std::vector<std::vector<double>>& x = output_.x_;
            nb::object ndarray = output_.g_("np").attr("ndarray");
            Py_ssize_t devices = (Py_ssize_t) rows_.size();
            std::vector<std::unique_ptr<core::Float64Array>> held;
            std::vector<CurveView> views;
            for (size_t s = 0; s < x.size(); ++s) {
                if (!stacks_[s].is_valid()) throw core::NotVectorisable{};
                held.push_back(std::make_unique<core::Float64Array>(stacks_[s], ndarray, 3));
                held.push_back(std::make_unique<core::Float64Array>(means_[s], ndarray, 2));
                const core::Float64Array& stack = *held[held.size() - 2];
                const core::Float64Array& mean = *held.back();
                Py_ssize_t n = (Py_ssize_t) x[s].size();
                // An empty curve, or stacks not as planned: the devices' own steps say what is wrong.
                if (n < 1 || stack.shape(0) != devices || stack.shape(1) < 1 || stack.shape(2) != n ||
                    mean.shape(0) != devices || mean.shape(1) != n || !stack.contiguous() || !mean.contiguous())
                    throw core::NotVectorisable{};
                views.push_back({x[s].data(), n, mean.contiguous(), stack.contiguous(), stack.shape(1)});
            }
            std::vector<CurveView> device = views;
            for (Py_ssize_t d = 0; d < devices; ++d) {
                for (size_t s = 0; s < views.size(); ++s) {
                    device[s].mean = views[s].mean + d * views[s].n;
                    device[s].submodels = views[s].submodels + d * views[s].count * views[s].n;
                }
                output_.store(rows_[d], device);
            }
        }

    private:
        MetricsOutput& output_;
        std::vector<Py_ssize_t> rows_;
        std::vector<nb::object> stacks_, means_;
    };

    static nb::object text_of(nb::handle exception) {
        nb::object text = nb::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(exception.ptr())->tp_name, exception.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        return text;
    }

    // `row` of the batch: its frame row.
    void store(Py_ssize_t row, const std::vector<CurveView>& curves) {
        Py_ssize_t at = rows_.at((size_t) row);
        device_figures(request_.layout, request_.criteria, table_.devices.at((size_t) at), curves,
                       values_.data() + at * width_, &flags_[(size_t) at]);
    }

    template <class Read>
    nb::object flags(Read read) const {
        std::vector<char> bytes((size_t) count_);
        for (Py_ssize_t i = 0; i < count_; ++i) bytes[i] = read(flags_[i]);
        nb::object np = g_("np");
        nb::bytes raw(bytes.data(), bytes.size());
        return np.attr("frombuffer")(raw, "dtype"_a = np.attr("bool_")).attr("copy")();
    }

    template <class Read>
    nb::object statuses(nb::handle categories, Read read) const {
        std::vector<char> bytes((size_t) count_);
        for (Py_ssize_t i = 0; i < count_; ++i) bytes[i] = read(flags_[i]);
        nb::object np = g_("np");
        nb::bytes raw(bytes.data(), bytes.size());
        nb::object codes = np.attr("frombuffer")(raw, "dtype"_a = np.attr("int8")).attr("copy")();
        return g_("pd").attr("Categorical").attr("from_codes")(codes, "categories"_a = categories);
    }

    const py::Call& g_;
    const SweepRequest& request_;
    const DeviceTable& table_;
    const std::vector<Py_ssize_t>& rows_;
    std::vector<Column> columns_;
    Py_ssize_t count_, width_;
    std::vector<double> values_;
    std::vector<Flags> flags_;
    nb::object errors_;
    std::vector<Py_ssize_t> source_of_job_;
    std::vector<std::vector<double>> x_;  // per source, from the plan
};

}  // namespace

nb::object predict_sweep(const py::Call& g, const SweepRequest& request, const DeviceTable& table) {
    // The devices whose inputs can be right are predicted; the others keep their errors.
    std::vector<Py_ssize_t> rows;
    for (size_t row = 0; row < table.problems.size(); ++row)
        if (!table.problems[row].is_valid()) rows.push_back((Py_ssize_t) row);
    nb::object predicted = nb::borrow(request.devices);
    if (rows.size() != table.problems.size()) {
        nb::list positions;
        for (Py_ssize_t row : rows) positions.append(row);
        predicted = request.devices.attr("iloc")[positions];
    }
    nb::list curve_types = request.layout.curve_types();
    batch::Request run{.models = request.models, .devices = predicted, .device_type = request.device_type,
                       .curve_types = curve_types, .config = request.config, .exact = request.exact,
                       .return_errors = request.return_errors, .chunk_size = request.chunk_size,
                       .progress = request.progress, .threads = request.threads};
    run.output = [&](const core::Plan* plan, Py_ssize_t count) -> std::unique_ptr<batch::Output> {
        if (count != (Py_ssize_t) rows.size())
            py::raise(PyExc_RuntimeError, "the batch predicted other devices than asked");
        return std::make_unique<MetricsOutput>(g, request, table, rows, plan);
    };
    run.keep_job = [&](const core::Job& job) { return request.layout.find(job.curve_type, job.variant_label) >= 0; };
    return batch::predict_pandas(g, run);
}

}  // namespace korva::curve::metrics
