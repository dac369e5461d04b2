// Records output: for each device the list predict_curves_for_inputs returns for it, built from the
// block's arrays with the same numpy summaries (mean and standard deviation over the submodels).
#include "korva/curve/batch/outputs.hpp"

namespace korva::curve::batch {

using namespace nb::literals;

namespace {

class RecordsOutput final : public Output {
public:
    RecordsOutput(const py::Call& g, Py_ssize_t count) : g_(g) {
        result_ = nb::steal(PyList_New(count));
        if (!result_.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(result_.ptr(), i, Py_NewRef(Py_None));
    }

    std::unique_ptr<Block> block(const std::vector<Py_ssize_t>& rows) override {
        return std::make_unique<RecordsBlock>(*this, rows);
    }

    void device(Py_ssize_t row, nb::handle records) override { set(row, records); }
    void failure(Py_ssize_t row, nb::handle exception) override { set(row, exception); }
    nb::object finish() override { return result_; }

private:
    // The records of a block's devices, which take their places in the result when it commits.
    class RecordsBlock final : public Block {
    public:
        RecordsBlock(RecordsOutput& output, const std::vector<Py_ssize_t>& rows)
            : output_(output), rows_(rows), pending_(rows.size()) {}

        void job(size_t, const core::Job& job, nb::handle stack) override {
            nb::object np = output_.g_("np");
            nb::object means = np.attr("mean")(stack, "axis"_a = 1);
            nb::object stds = np.attr("std")(stack, "axis"_a = 1);
            means = means.attr("tolist")();
            stds = stds.attr("tolist")();
            nb::object curves = stack.attr("tolist")();
            for (size_t i = 0; i < rows_.size(); ++i) {
                nb::int_ at((Py_ssize_t) i);
                nb::object x_coords = job.x_coords.attr("tolist")();  // a list of its own in every record
                pending_[i].append(core::curve_record(job, x_coords, means[at], stds[at], curves[at]));
            }
        }

        void commit() override {
            for (size_t i = 0; i < rows_.size(); ++i) output_.set(rows_[i], pending_[i]);
        }

    private:
        RecordsOutput& output_;
        std::vector<Py_ssize_t> rows_;
        std::vector<nb::list> pending_;
    };

    void set(Py_ssize_t row, nb::handle value) {
        if (PyList_SetItem(result_.ptr(), row, Py_NewRef(value.ptr())) < 0) throw nb::python_error();
    }

    const py::Call& g_;
    nb::object result_;
};

}  // namespace

std::unique_ptr<Output> records_output(const py::Call& g, Py_ssize_t count) {
    return std::make_unique<RecordsOutput>(g, count);
}

}  // namespace korva::curve::batch
