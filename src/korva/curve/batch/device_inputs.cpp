// Base inputs of many devices at once. A device whose row Series would not be float64 (the frame
// mixes in text columns, say) or whose base inputs are not all finite takes the per-device steps,
// which give whatever they give for it: a result, or the exception it raises.
#include "korva/curve/batch/device_inputs.hpp"

#include "korva/curve/core/float64.hpp"

#include <cmath>

namespace korva::curve::batch {

using namespace nb::literals;

namespace {

bool all_finite(const core::Float64Array& values, Py_ssize_t row) {
    for (Py_ssize_t i = 0; i < values.shape(1); ++i)
        if (!std::isfinite(values.at(row, i))) return false;
    return true;
}

// The rows of `source` listed in `rows`, as a new C-contiguous array.
nb::object gather(nb::handle np, nb::handle ndarray, const core::Float64Array& source, Py_ssize_t first,
                  const std::vector<Py_ssize_t>& rows) {
    Py_ssize_t width = source.shape(1);
    nb::object base = core::empty(np, ndarray, {(Py_ssize_t) rows.size(), width});
    core::Float64Array out(base, ndarray, 2, true);
    for (size_t i = 0; i < rows.size(); ++i)
        for (Py_ssize_t j = 0; j < width; ++j) out.at((Py_ssize_t) i, j) = source.at(rows[i] - first, j);
    return base;
}

// devices[labels] as a float64 array, as each row Series holds the values.
nb::object columns_as_float64(nb::handle np, nb::handle devices, nb::handle labels) {
    nb::object values = devices[labels].attr("to_numpy")("dtype"_a = np.attr("float64"));
    return np.attr("ascontiguousarray")(values);
}

}  // namespace

DeviceInputs::DeviceInputs(const core::Context& ctx, const core::Plan& plan, nb::handle devices)
    : ctx_(ctx), plan_(plan), devices_(devices) {
    np_ = ctx.g("np");
    ndarray_ = np_.attr("ndarray");
    if (plan.inputs == core::Inputs::transform) return;
    // A device's Series is `devices.iloc[i]`, of the frame's common dtype; only a float64 one holds
    // the very values that the columns converted to float64 hold.
    if (nb::len(devices) == 0 || !py::truthy(devices.attr("columns").attr("is_unique"))) return;
    Py_ssize_t count = (Py_ssize_t) nb::len(devices);
    if (!core::is_float64(np_, devices.attr("iloc")[nb::int_(0)].attr("dtype"))) return;

    try {
        if (plan.inputs == core::Inputs::columns) {
            base_ = columns_as_float64(np_, devices, plan.base_cols);
        } else {
            nb::list raw_labels;
            for (const char* label : core::nld_raw_labels) raw_labels.append(label);
            base_ = core::nld_base_inputs(ctx, plan, columns_as_float64(np_, devices, raw_labels));
        }
        // One row per device and one column per base input, or every device takes its own steps.
        if (!core::Float64Array(base_, ndarray_, 2).has_shape({count, (Py_ssize_t) plan.base_labels.size()}))
            base_ = nb::object();
    } catch (const core::NotVectorisable&) {
        base_ = nb::object();  // every device takes the per-device steps
    }
}

DeviceInputs::Chunk DeviceInputs::chunk(Py_ssize_t start, Py_ssize_t stop) const {
    try {
        if (plan_.inputs == core::Inputs::transform) return from_transform(start, stop);
        if (base_.is_valid()) return from_columns(start, stop);
    } catch (const core::NotVectorisable&) {
        // an allocation not as asked for: the chunk's devices take their own steps
    }
    Chunk chunk;
    for (Py_ssize_t row = start; row < stop; ++row) chunk.literal.push_back(row);
    return chunk;
}

DeviceInputs::Chunk DeviceInputs::from_columns(Py_ssize_t start, Py_ssize_t stop) const {
    Chunk chunk;
    core::Float64Array all(base_, ndarray_, 2);
    for (Py_ssize_t row = start; row < stop; ++row)
        (row < all.shape(0) && all_finite(all, row) ? chunk.stacked : chunk.literal).push_back(row);
    chunk.base = gather(np_, ndarray_, all, 0, chunk.stacked);
    return chunk;
}

// Any other transform is applied to each device's own Series, once per device (the per-device
// steps apply it once per curve and variant, to the same Series).
DeviceInputs::Chunk DeviceInputs::from_transform(Py_ssize_t start, Py_ssize_t stop) const {
    Chunk chunk;
    nb::object series_type = ctx_.g("pd").attr("Series");
    Py_ssize_t width = (Py_ssize_t) plan_.base_labels.size();
    nb::object rows = core::empty(np_, ndarray_, {stop - start, width});
    for (Py_ssize_t row = start; row < stop; ++row) {
        bool usable = false;
        try {
            nb::object inputs = plan_.transform(devices_.attr("iloc")[nb::int_(row)]);
            if (inputs.type().is(series_type)) {
                nb::object selected = inputs[plan_.base_cols];
                nb::object array = selected.attr("to_numpy")();
                if (core::is_float64(np_, selected.attr("dtype"))) {
                    core::Float64Array own(array, ndarray_, 1);
                    // Again after the transform, which can run any code: the rows as allocated.
                    core::Float64Array values(rows, ndarray_, 2, true);
                    if (own.has_shape({width}) && values.has_shape({stop - start, width})) {
                        for (Py_ssize_t i = 0; i < width; ++i) values.at(row - start, i) = own.at(i);
                        usable = all_finite(values, row - start);
                    }
                }
            }
        } catch (const core::NotVectorisable&) {
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;  // the per-device steps raise it again for this device
        }
        (usable ? chunk.stacked : chunk.literal).push_back(row);
    }
    chunk.base = gather(np_, ndarray_, core::Float64Array(rows, ndarray_, 2), start, chunk.stacked);
    return chunk;
}

void check_input_columns(const core::Context& ctx, nb::handle devices, nb::handle device_type, nb::handle config) {
    nb::list required;
    try {
        nb::object resolved = ctx.config(config, device_type);
        if (py::contains(resolved, py::s("INPUT_TRANSFORM"))) {
            nb::object transform = resolved["INPUT_TRANSFORM"];
            if (!py::is_function(transform, mos_utils::nld_input_transform, ctx.curve_globals))
                return;  // a transform of the caller's own: which labels it reads is its business
            for (const char* label : core::nld_raw_labels) required.append(label);
        } else {
            nb::object base_cols = resolved["BASE_INPUT_COLS"];
            if (!PyList_Check(base_cols.ptr())) return;  // not a list of labels: the selection decides
            for (nb::handle label : base_cols) required.append(label);
        }
    } catch (nb::python_error& error) {
        // A configuration that cannot be read fails the same way for every device, at its own step.
        if (!error.matches(PyExc_Exception)) throw;
        return;
    }
    nb::object columns = devices.attr("columns");
    nb::list missing;
    for (nb::handle label : required)
        if (!py::contains(columns, label)) missing.append(label);
    if (nb::len(missing) == 0) return;
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "devices has no column for the inputs %R that device type %R reads", missing.ptr(), device_type.ptr()));
    if (!message.is_valid()) throw nb::python_error();
    py::raise(PyExc_KeyError, message);
}

}  // namespace korva::curve::batch
