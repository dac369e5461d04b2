// Records output: for each device the list predict_curves_for_inputs returns for it, built from the
// block's arrays with the same numpy summaries (mean and standard deviation over the submodels).
#include "korva/curve/batch/outputs.hpp"

#include <optional>

namespace korva::curve::batch {

using namespace nb::literals;

namespace {

// The cyclic garbage collector paused for a scope, and as it was before afterwards.
class CollectorPaused {
public:
    CollectorPaused() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    int was_enabled_;
};

// The summaries of one job for the devices of a block, kept until the block is finished.
struct Summaries {
    const core::Job* job;
    nb::object means, stds, stack;

    // Whether building the records from them runs only the interpreter's and numpy's C code: numpy's
    // own arrays throughout (whose tolist runs no Python code), and axis labels from a plain dict whose keys are plain strings (a key of
    // another type could compare through Python code when looked up).
    bool runs_no_python() const {
        for (nb::handle array : {means, stds, stack, job->x_coords})
            if (!core::is_numpy_array(array)) return false;
        if (!PyDict_CheckExact(job->curve_info.ptr())) return false;
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(job->curve_info.ptr(), &position, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }
};

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
    // The summaries of a block's jobs, whose records take their places in the result once the
    // block is finished.
    class RecordsBlock final : public Block {
    public:
        RecordsBlock(RecordsOutput& output, const std::vector<Py_ssize_t>& rows) : output_(output), rows_(rows) {}

        void job(size_t, const core::Job& job, nb::handle stack) override {
            nb::object np = output_.g_("np");
            nb::object means = np.attr("mean")(stack, "axis"_a = 1);
            nb::object stds = np.attr("std")(stack, "axis"_a = 1);
            pending_.push_back({&job, std::move(means), std::move(stds), nb::borrow(stack)});
        }

        // The records of a finished block: lists by the hundred thousand, none of which can hold a
        // cycle. The collector, set off by their allocation, would pass over them and over all the
        // records built before, to no avail, so it pauses while they are built, when that runs no
        // Python code: no other thread (another call's, or a worker of this one) can run meanwhile
        // and find it paused. Each job's arrays go as soon as its records stand (outside the pause:
        // freeing an array may run a weakref callback).
        void commit() override {
            bool pure = true;
            for (const Summaries& summaries : pending_) pure = pure && summaries.runs_no_python();
            std::vector<nb::list> records(rows_.size());
            for (Summaries& summaries : pending_) {
                {
                    std::optional<CollectorPaused> paused;
                    if (pure) paused.emplace();
                    const core::Job& job = *summaries.job;
                    nb::object means = summaries.means.attr("tolist")();
                    nb::object stds = summaries.stds.attr("tolist")();
                    nb::object curves = summaries.stack.attr("tolist")();
                    for (size_t i = 0; i < rows_.size(); ++i) {
                        nb::int_ at((Py_ssize_t) i);
                        nb::object x_coords = job.x_coords.attr("tolist")();  // a list of its own in every record
                        records[i].append(core::curve_record(job, x_coords, means[at], stds[at], curves[at]));
                    }
                }
                summaries = {};
            }
            pending_.clear();
            for (size_t i = 0; i < rows_.size(); ++i) output_.set(rows_[i], records[i]);
        }

    private:
        RecordsOutput& output_;
        std::vector<Py_ssize_t> rows_;
        std::vector<Summaries> pending_;
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
