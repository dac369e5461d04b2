// Frame output: the tidy frame, one row per device, record and point, with the columns device,
// curve_type, curve_variant (categorical), point, x, y and y_std. With a plan every column is
// allocated once, at its final size, and filled in place, so the frame is never copied; the curves'
// axis labels and units go into frame.attrs["curves"].
#include "korva/curve/batch/outputs.hpp"

#include "korva/curve/core/float64.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace korva::curve::batch {

using namespace nb::literals;

namespace {

// Values in order of first appearance, and the code of each (its position).
class Categories {
public:
    Py_ssize_t code(nb::handle value) {
        PyObject* known = PyDict_GetItemWithError(codes_.ptr(), value.ptr());
        if (known) return PyLong_AsSsize_t(known);
        if (PyErr_Occurred()) throw nb::python_error();
        Py_ssize_t code = (Py_ssize_t) values_.size();
        codes_[value] = nb::int_(code);
        values_.append(value);
        return code;
    }
    Py_ssize_t size() const { return (Py_ssize_t) values_.size(); }
    nb::object dtype(nb::handle pd) const { return pd.attr("CategoricalDtype")("categories"_a = values_); }

private:
    nb::dict codes_;
    nb::list values_;
};

Py_ssize_t length(nb::handle sequence) {
    Py_ssize_t size = PyObject_Length(sequence.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

// A record's x_coords, y_coords or y_coords_std that holds something else than numbers.
[[noreturn]] void raise_not_numbers(Py_ssize_t row, const nb::python_error& caught) {
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "the records predicted for the device in row %zd hold values that are not numbers: a frame needs one "
        "number per point in x_coords, y_coords and y_coords_std (a model whose predict returns shape (n, 1) "
        "rather than (n,) gives a list for each)",
        row));
    if (!message.is_valid()) throw nb::python_error();
    py::raise_in_handler(caught, PyExc_ValueError, message);
}

// The numbers of one record's list, from a snapshot of it: converting an element may run code,
// which must not find a column's memory held open meanwhile.
std::vector<double> numbers_of(Py_ssize_t row, nb::handle values) {
    nb::object snapshot = nb::steal(PySequence_Tuple(values.ptr()));
    if (!snapshot.is_valid()) throw nb::python_error();
    Py_ssize_t size = PyTuple_GET_SIZE(snapshot.ptr());
    std::vector<double> numbers((size_t) size);
    for (Py_ssize_t p = 0; p < size; ++p) {
        numbers[p] = PyFloat_AsDouble(PyTuple_GET_ITEM(snapshot.ptr(), p));
        if (numbers[p] != -1.0 || !PyErr_Occurred()) continue;
        nb::python_error error;
        if (!error.matches(PyExc_TypeError)) throw error;
        raise_not_numbers(row, error);
    }
    return numbers;
}

// The memory of a float64 column that the frame writes into, checked where it is written: the
// column was allocated through the module's np, and what that gave is Python's to shape (it may
// even have been resized since). Anything but a C-contiguous float64 ndarray of `size` values is
// refused.
class ColumnMemory {
public:
    ColumnMemory(nb::handle column, nb::handle ndarray, Py_ssize_t size, const char* name) {
        try {
            view_.emplace(column, ndarray, 1, true);
        } catch (const core::NotVectorisable&) {
        }
        if (!view_ || view_->shape(0) != size || !view_->contiguous()) {
            PyErr_Format(PyExc_RuntimeError,
                         "korva.curve.batch.np.empty(%zd) did not give the frame's %s column as a C-contiguous "
                         "float64 numpy array of %zd values (or it was resized since)",
                         size, name, size);
            throw nb::python_error();
        }
    }
    double* data() const { return view_->contiguous(); }

private:
    std::optional<core::Float64Array> view_;
};

// int16 positions along x, or int32 for curves longer than int16 counts.
nb::object point_dtype(nb::handle np, Py_ssize_t max_points) {
    return np.attr("dtype")(max_points <= 32767 ? "int16" : "int32");
}

// np.concatenate(pieces) as `dtype` (empty when there are no pieces).
nb::object joined(nb::handle np, nb::handle pieces, nb::handle dtype) {
    if (nb::len(pieces) == 0) return np.attr("empty")(0, "dtype"_a = dtype);
    return np.attr("concatenate")(pieces).attr("astype")(dtype);
}

struct Columns {
    nb::object device_codes, curve_codes, variant_codes, point, x, y, y_std;
    nb::object curve_dtype, variant_dtype;
    nb::dict curves;  // curve type -> {"x_label", "x_unit", "y_label", "y_unit"}
};

// {"x_label": ..., "x_unit": ..., "y_label": ..., "y_unit": ...} of a curve entry or a record.
nb::dict axes_of(nb::handle source) {
    nb::dict axes;
    for (const char* key : core::axis_keys) axes[key] = source[key];
    return axes;
}

// The frame over the columns as they are: categoricals over the code arrays (whose dtypes match
// the category counts, so pandas keeps them), and no consolidation of the float columns. The codes
// come from the module's np, so pandas checks them against the categories.
nb::object assemble(const py::Call& g, nb::handle device_dtype, const Columns& c) {
    nb::object pd = g("pd");
    nb::object from_codes = pd.attr("Categorical").attr("from_codes");
    nb::dict data;
    data["device"] = from_codes(c.device_codes, "dtype"_a = device_dtype, "validate"_a = true);
    data["curve_type"] = from_codes(c.curve_codes, "dtype"_a = c.curve_dtype, "validate"_a = true);
    data["curve_variant"] = from_codes(c.variant_codes, "dtype"_a = c.variant_dtype, "validate"_a = true);
    data["point"] = c.point;
    data["x"] = c.x;
    data["y"] = c.y;
    data["y_std"] = c.y_std;
    nb::object frame = pd.attr("DataFrame")(data, "copy"_a = false);
    frame.attr("attrs")["curves"] = c.curves;
    return frame;
}

// With a plan: every device has the plan's records in order, so the layout of a device's rows is
// known before any prediction. Each column is the per-device template repeated `count` times.
class LaidOutFrame final : public Output {
public:
    LaidOutFrame(const py::Call& g, const core::Plan& plan, nb::handle device_dtype, Py_ssize_t count)
        : g_(g), plan_(plan), device_dtype_(nb::borrow(device_dtype)) {
        nb::object np = g("np");
        nb::object pd = g("pd");
        Categories curve_types, variants;
        nb::list curve_codes, variant_codes, points, positions, x_ranges;
        for (const core::Job& job : plan.jobs) {
            offsets_.push_back(per_device_);
            per_device_ += job.points;
            curve_codes.append(curve_types.code(job.curve_type));
            variant_codes.append(job.is_default ? -1 : variants.code(job.variant_label));
            points.append(job.points);
            positions.append(np.attr("arange")(job.points));
            x_ranges.append(job.x_coords);
            if (!columns_.curves.contains(job.curve_type)) columns_.curves[job.curve_type] = axes_of(job.curve_info);
        }
        columns_.curve_dtype = curve_types.dtype(pd);
        columns_.variant_dtype = variants.dtype(pd);

        // One device's rows: a job's codes once per point, positions 0..points-1, its x coordinates.
        auto per_job = [&](nb::handle codes, nb::handle dtype) {
            return np.attr("repeat")(np.attr("array")(codes, "dtype"_a = dtype), points);
        };
        nb::object point_template = joined(np, positions, point_dtype(np, plan.max_points));
        nb::object x_template = joined(np, x_ranges, np.attr("dtype")("float64"));

        nb::object tile = np.attr("tile");
        total_ = count * per_device_;
        nb::object total = nb::int_(total_);
        columns_.device_codes =
            np.attr("repeat")(np.attr("arange")(count, "dtype"_a = codes_dtype(np, count)), per_device_);
        columns_.curve_codes = tile(per_job(curve_codes, codes_dtype(np, curve_types.size())), count);
        columns_.variant_codes = tile(per_job(variant_codes, codes_dtype(np, variants.size())), count);
        columns_.point = tile(point_template, count);
        columns_.x = tile(x_template, count);
        columns_.y = np.attr("empty")(total);
        columns_.y_std = np.attr("empty")(total);
    }

    std::unique_ptr<Block> block(const std::vector<Py_ssize_t>& rows) override {
        return std::make_unique<FrameBlock>(*this, rows);
    }

    // The mean and standard deviation of a job's stack into the rows of the devices `rows`.
    void write(const std::vector<Py_ssize_t>& rows, size_t index, const core::Job& job, nb::handle stack) {
        nb::object np = g_("np");
        nb::object ndarray = np.attr("ndarray");
        nb::object mean = np.attr("mean")(stack, "axis"_a = 1);
        nb::object std = np.attr("std")(stack, "axis"_a = 1);
        // Summaries of another shape than (devices, points) send the block to the per-device steps.
        core::Float64Array means(mean, ndarray, 2), stds(std, ndarray, 2);
        Py_ssize_t devices = (Py_ssize_t) rows.size();
        for (const core::Float64Array* summary : {&means, &stds})
            if (summary->shape(0) != devices || summary->shape(1) != job.points) throw core::NotVectorisable{};
        ColumnMemory y(columns_.y, ndarray, total_, "y"), y_std(columns_.y_std, ndarray, total_, "y_std");
        for (Py_ssize_t i = 0; i < devices; ++i)
            if (rows[i] < 0 || rows[i] * per_device_ + offsets_[index] + job.points > total_)
                throw std::logic_error("a block row outside the frame");
        double* y_data = y.data();
        double* y_std_data = y_std.data();
        const double* mean_rows = means.contiguous();
        const double* std_rows = stds.contiguous();
        auto copy = [&] {
            for (Py_ssize_t i = 0; i < devices; ++i) {
                Py_ssize_t start = rows[i] * per_device_ + offsets_[index];
                if (mean_rows && std_rows) {
                    std::memcpy(y_data + start, mean_rows + i * job.points, sizeof(double) * job.points);
                    std::memcpy(y_std_data + start, std_rows + i * job.points, sizeof(double) * job.points);
                    continue;
                }
                for (Py_ssize_t p = 0; p < job.points; ++p) {
                    y_data[start + p] = means.at(i, p);
                    y_std_data[start + p] = stds.at(i, p);
                }
            }
        };
        // The summaries are held here and by their views, the columns by the frame and by the views
        // of the writes under way (on other threads too); each block writes rows of its own.
        Py_ssize_t column_refs = 1 + ++column_views_;
        struct Done {
            Py_ssize_t& views;
            ~Done() { --views; }
        } done{column_views_};
        core::copy_without_gil_if_ours(
            {{mean, 2}, {std, 2}, {columns_.y, column_refs}, {columns_.y_std, column_refs}}, copy);
    }

    void device(Py_ssize_t row, nb::handle records) override {
        nb::object np = g_("np");
        nb::object ndarray = np.attr("ndarray");
        if (!PyList_Check(records.ptr())) mismatch(row);
        nb::object snapshot = as_tuple(records);  // held: reading a record cannot change it
        if (PyTuple_GET_SIZE(snapshot.ptr()) != (Py_ssize_t) plan_.jobs.size()) mismatch(row);
        for (size_t index = 0; index < plan_.jobs.size(); ++index) {
            nb::handle record = PyTuple_GET_ITEM(snapshot.ptr(), (Py_ssize_t) index);
            Py_ssize_t start = row * per_device_ + offsets_[index];
            copy_values(row, record["y_coords"], columns_.y, "y", ndarray, start, plan_.jobs[index].points);
            copy_values(row, record["y_coords_std"], columns_.y_std, "y_std", ndarray, start, plan_.jobs[index].points);
        }
    }

    void failure(Py_ssize_t, nb::handle) override { throw std::logic_error("a frame holds no exceptions"); }

    nb::object finish() override { return assemble(g_, device_dtype_, columns_); }

private:

    // Writes straight into the columns: a block's devices have rows of their own in the frame, so
    // blocks of several threads can be open at once.
    class FrameBlock final : public Block {
    public:
        FrameBlock(LaidOutFrame& frame, const std::vector<Py_ssize_t>& rows) : frame_(frame), rows_(rows) {}
        void job(size_t index, const core::Job& job, nb::handle stack) override { frame_.write(rows_, index, job, stack); }
        void commit() override {}

    private:
        LaidOutFrame& frame_;
        std::vector<Py_ssize_t> rows_;
    };

    [[noreturn]] static void mismatch(Py_ssize_t row) {
        PyErr_Format(PyExc_ValueError,
                     "the records predicted for the device in row %zd do not match the configuration's curves "
                     "and their x coordinates",
                     row);
        throw nb::python_error();
    }

    static nb::object as_tuple(nb::handle sequence) {
        nb::object tuple = nb::steal(PySequence_Tuple(sequence.ptr()));
        if (!tuple.is_valid()) throw nb::python_error();
        return tuple;
    }

    // The numbers of one record's list into the column at `start`.
    void copy_values(Py_ssize_t row, nb::handle values, nb::handle column, const char* name, nb::handle ndarray,
                     Py_ssize_t start, Py_ssize_t points) const {
        if (!PyList_Check(values.ptr())) mismatch(row);
        std::vector<double> numbers = numbers_of(row, values);
        if ((Py_ssize_t) numbers.size() != points) mismatch(row);
        ColumnMemory out(column, ndarray, total_, name);
        if (start < 0 || start + points > total_) throw std::logic_error("a device row outside the frame");
        std::copy(numbers.begin(), numbers.end(), out.data() + start);
    }

    const py::Call& g_;
    const core::Plan& plan_;
    nb::object device_dtype_;
    Columns columns_;
    Py_ssize_t column_views_ = 0;  // the views of the y columns that writes hold (read under the GIL)
    std::vector<Py_ssize_t> offsets_;
    Py_ssize_t per_device_ = 0;
    Py_ssize_t total_ = 0;  // rows of the frame
};

// Without a plan: the records of each device, whatever they hold, become its rows.
class RecordsFrame final : public Output {
public:
    RecordsFrame(const py::Call& g, nb::handle device_dtype, Py_ssize_t count)
        : g_(g), device_dtype_(nb::borrow(device_dtype)), count_(count) {}

    std::unique_ptr<Block> block(const std::vector<Py_ssize_t>&) override {
        throw std::logic_error("no blocks without a plan");
    }
    // Kept by row: with several threads, devices arrive in whatever order their chunks finish.
    void device(Py_ssize_t row, nb::handle records) override { devices_.emplace(row, nb::borrow(records)); }
    void failure(Py_ssize_t, nb::handle) override { throw std::logic_error("a frame holds no exceptions"); }

    nb::object finish() override {
        nb::object np = g_("np");
        nb::object pd = g_("pd");
        Categories curve_types, variants;
        Py_ssize_t total = 0, max_points = 0;
        for (auto& [row, records] : devices_) {
            for (nb::handle record : records) {
                Py_ssize_t points = length(record["x_coords"]);
                if (length(record["y_coords"]) != points || length(record["y_coords_std"]) != points)
                    raise_uneven(row);
                curve_types.code(record["curve_type"]);
                nb::object variant = record["curve_variant"];
                if (!variant.is_none()) variants.code(variant);
                if (!columns_.curves.contains(record["curve_type"]))
                    columns_.curves[record["curve_type"]] = axes_of(record);
                total += points;
                max_points = std::max(max_points, points);
            }
        }
        columns_.curve_dtype = curve_types.dtype(pd);
        columns_.variant_dtype = variants.dtype(pd);
        nb::object empty = np.attr("empty");
        columns_.device_codes = empty(total, "dtype"_a = codes_dtype(np, count_));
        columns_.curve_codes = empty(total, "dtype"_a = codes_dtype(np, curve_types.size()));
        columns_.variant_codes = empty(total, "dtype"_a = codes_dtype(np, variants.size()));
        columns_.point = empty(total, "dtype"_a = point_dtype(np, max_points));
        columns_.x = empty(total);
        columns_.y = empty(total);
        columns_.y_std = empty(total);

        nb::object ndarray = np.attr("ndarray");
        Py_ssize_t position = 0;
        for (auto& [row, records] : devices_) {
            for (nb::handle record : records) {
                std::vector<double> x = numbers_of(row, record["x_coords"]);
                std::vector<double> y = numbers_of(row, record["y_coords"]);
                std::vector<double> y_std = numbers_of(row, record["y_coords_std"]);
                Py_ssize_t points = (Py_ssize_t) x.size();
                if ((Py_ssize_t) y.size() != points || (Py_ssize_t) y_std.size() != points ||
                    position + points > total)
                    raise_uneven(row);
                nb::object span = py::slice(nb::int_(position), nb::int_(position + points));
                nb::object variant = record["curve_variant"];
                columns_.device_codes[span] = nb::int_(row);
                columns_.curve_codes[span] = nb::int_(curve_types.code(record["curve_type"]));
                columns_.variant_codes[span] = nb::int_(variant.is_none() ? -1 : variants.code(variant));
                columns_.point[span] = np.attr("arange")(points);
                for (auto [column, values, name] : {std::tuple{&columns_.x, &x, "x"}, std::tuple{&columns_.y, &y, "y"},
                                                    std::tuple{&columns_.y_std, &y_std, "y_std"}}) {
                    ColumnMemory out(*column, ndarray, total, name);
                    std::copy(values->begin(), values->end(), out.data() + position);
                }
                position += points;
            }
        }
        if (position != total) py::raise(PyExc_ValueError, "the devices' records changed while the frame was built");
        return assemble(g_, device_dtype_, columns_);
    }

private:
    [[noreturn]] static void raise_uneven(Py_ssize_t row) {
        PyErr_Format(PyExc_ValueError,
                     "a record of the device in row %zd has not one y value and one standard deviation per x "
                     "coordinate",
                     row);
        throw nb::python_error();
    }

    const py::Call& g_;
    nb::object device_dtype_;
    Py_ssize_t count_;
    Columns columns_;
    std::map<Py_ssize_t, nb::object> devices_;
};

}  // namespace

nb::object codes_dtype(nb::handle np, Py_ssize_t count) {
    // pandas keeps the codes of fewer than 127 categories as int8, and so on
    const char* name = count < 127 ? "int8" : count < 32767 ? "int16" : count < 2147483647 ? "int32" : "int64";
    return np.attr("dtype")(name);
}

std::unique_ptr<Output> frame_output(const py::Call& g, const core::Plan* plan, nb::handle device_dtype,
                                     Py_ssize_t count) {
    if (plan) return std::make_unique<LaidOutFrame>(g, *plan, device_dtype, count);
    return std::make_unique<RecordsFrame>(g, device_dtype, count);
}

}  // namespace korva::curve::batch
