// korva.curve.metrics.predict_device_metrics: the figures of every device (row) of a DataFrame. The
// arguments, the criteria and the curve table are checked before anything is predicted; a pandas
// frame then goes chunk by chunk through the batch's loop, a dask frame partition by partition.
#include "korva/curve/metrics/predict.hpp"

#include "korva/curve/batch/batch.hpp"
#include "korva/curve/batch/workers.hpp"

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

bool return_errors(nb::handle errors) {
    if (PyUnicode_Check(errors.ptr()) && py::equals(errors, "return")) return true;
    if (PyUnicode_Check(errors.ptr()) && py::equals(errors, "raise")) return false;
    PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'return', not %R", errors.ptr());
    throw nb::python_error();
}

// The request as given, checked; `devices` not yet.
SweepRequest read_request(const py::Call& g, nb::handle devices, nb::handle models, nb::handle config,
                          nb::handle criteria, nb::handle exact, nb::handle chunk_size, nb::handle errors) {
    SweepRequest request{.models = models, .devices = devices, .device_type = g[2], .config = config,
                         .criteria_given = criteria};
    DeviceKind kind = device_kind(request.device_type);
    request.criteria = read_criteria(g, criteria, kind);
    request.exact = py::truthy(exact);
    request.return_errors = return_errors(errors);
    request.chunk_size = batch::read_chunk_size(chunk_size);
    // The curve table the prediction will read: the caller's configuration, or the device type's.
    nb::object resolved = nb::borrow(config);
    if (!py::truthy(resolved)) resolved = g("mos_utils").attr("_DEVICE_CONFIG")[request.device_type];
    request.layout = layout_from_config(kind, resolved);
    return request;
}

nb::object predict_pandas_sweep(const py::Call& g, SweepRequest& request) {
    if (!py::truthy(g("isinstance")(request.devices, g("pd").attr("DataFrame")))) raise_not_a_frame(request.devices);
    request.geometry = geometry_of(g, request.layout.kind, request.devices);
    return predict_sweep(g, request);
}

}  // namespace

void raise_not_a_frame(nb::handle devices) {
    PyErr_Format(PyExc_TypeError, "devices must be a pandas or dask DataFrame with one row per device, not %.200s",
                 Py_TYPE(devices.ptr())->tp_name);
    throw nb::python_error();
}

std::vector<Geometry> geometry_of(const py::Call& g, DeviceKind kind, nb::handle devices) {
    Py_ssize_t count = (Py_ssize_t) nb::len(devices);
    if (kind == DeviceKind::nld) return std::vector<Geometry>((size_t) count);
    const char* const labels[] = {"Finger Width", "nf", "Length"};
    nb::object columns = devices.attr("columns");
    nb::list missing;
    for (const char* label : labels)
        if (!py::contains(columns, py::s(label))) missing.append(label);
    if (nb::len(missing)) {
        nb::object message = nb::steal(PyUnicode_FromFormat(
            "devices has no column for the geometry inputs %R that the figures of merit of 'PLD' read", missing.ptr()));
        if (!message.is_valid()) throw nb::python_error();
        py::raise(PyExc_KeyError, message);
    }
    nb::object np = g("np"), to_numeric = g("pd").attr("to_numeric");
    std::vector<nb::object> arrays;
    for (const char* label : labels)
        arrays.push_back(np.attr("ascontiguousarray")(to_numeric(devices[label], "errors"_a = "coerce"),
                                                      "dtype"_a = np.attr("float64")));
    nb::object ndarray = np.attr("ndarray");
    core::Float64Array width(arrays[0], ndarray, 1), fingers(arrays[1], ndarray, 1), length(arrays[2], ndarray, 1);
    std::vector<Geometry> geometry((size_t) count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        double w = width.at(i) * fingers.at(i);
        geometry[(size_t) i] = {w / length.at(i), w};
    }
    return geometry;
}

nb::object predict_device_metrics(const py::Call& g) {
    SweepRequest request = read_request(g, g[1], g[0], g[3], g[4], g[5], g[6], g[7]);
    request.progress = py::truthy(g[8]);
    request.threads = batch::threads_for(g[9]);
    if (batch::is_dask(request.devices)) {
        batch::refuse_threads_for_dask(request.threads);
        return predict_dask(g, request);
    }
    return predict_pandas_sweep(g, request);
}

nb::object _predict_partition(const py::Call& g) {
    SweepRequest request = read_request(g, g[0], g[1], g[3], g[4], g[5], g[6], g[7]);
    return predict_pandas_sweep(g, request);
}

}  // namespace korva::curve::metrics
