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
    MetricsOutput(const py::Call& g, const SweepRequest& request, const core::Plan* plan, Py_ssize_t count)
        : g_(g), request_(request), columns_(float_columns(request.layout.kind)), count_(count) {
        width_ = (Py_ssize_t) columns_.size();
        values_.assign((size_t) (count * width_), std::numeric_limits<double>::quiet_NaN());
        censored_.assign((size_t) count, 0);
        if (request.return_errors) {
            errors_ = nb::steal(PyList_New(count));
            if (!errors_.is_valid()) throw nb::python_error();
            for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(errors_.ptr(), i, Py_NewRef(Py_None));
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

    void device(Py_ssize_t row, nb::handle records) override {
        RecordCurves curves(g_, request_.layout, records);
        store(row, curves.views());
    }

    void failure(Py_ssize_t row, nb::handle exception) override {
        nb::object text = nb::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(exception.ptr())->tp_name, exception.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        if (PyList_SetItem(errors_.ptr(), row, text.release().ptr()) < 0) throw nb::python_error();
    }

    nb::object finish() override {
        nb::object np = g_("np"), pd = g_("pd");
        nb::object values = core::empty(np, np.attr("ndarray"), {count_, width_});
        if (!values_.empty())
            std::memcpy(core::Float64Array(values, np.attr("ndarray"), 2, true).contiguous(), values_.data(),
                        sizeof(double) * values_.size());
        nb::list names;
        for (const std::string& column : columns_) names.append(column.c_str());
        nb::object frame = pd.attr("DataFrame")(values, "index"_a = request_.devices.attr("index"), "columns"_a = names,
                                                "copy"_a = false);
        if (request_.layout.kind == DeviceKind::pld) {
            nb::bytes flags(censored_.data(), censored_.size());
            frame["bv_censored"] = np.attr("frombuffer")(flags, "dtype"_a = np.attr("bool_")).attr("copy")();
        }
        if (errors_.is_valid())  // object dtype: None where no error, the same in every dask partition
            frame["error"] = pd.attr("Series")(errors_, "index"_a = frame.attr("index"), "dtype"_a = g_("object"));
        frame.attr("attrs")["metrics"] = metrics_attrs(request_.layout, request_.criteria);
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
                if (stack.shape(0) != devices || stack.shape(1) < 1 || stack.shape(2) != n ||
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

    void store(Py_ssize_t row, const std::vector<CurveView>& curves) {
        bool censored = false;
        device_figures(request_.layout, request_.criteria, request_.geometry.at((size_t) row), curves,
                       values_.data() + row * width_, &censored);
        censored_[(size_t) row] = censored;
    }

    const py::Call& g_;
    const SweepRequest& request_;
    std::vector<std::string> columns_;
    Py_ssize_t count_, width_ = 0;
    std::vector<double> values_;
    std::vector<char> censored_;
    nb::object errors_;
    std::vector<Py_ssize_t> source_of_job_;
    std::vector<std::vector<double>> x_;  // per source, from the plan
};

}  // namespace

nb::object predict_sweep(const py::Call& g, const SweepRequest& request) {
    nb::list curve_types = request.layout.curve_types();
    batch::Request run{.models = request.models, .devices = request.devices, .device_type = request.device_type,
                       .curve_types = curve_types, .config = request.config, .exact = request.exact,
                       .return_errors = request.return_errors, .chunk_size = request.chunk_size,
                       .progress = request.progress, .threads = request.threads};
    run.output = [&](const core::Plan* plan, Py_ssize_t count) -> std::unique_ptr<batch::Output> {
        return std::make_unique<MetricsOutput>(g, request, plan, count);
    };
    run.keep_job = [&](const core::Job& job) { return request.layout.find(job.curve_type, job.variant_label) >= 0; };
    return batch::predict_pandas(g, run);
}

}  // namespace korva::curve::metrics
