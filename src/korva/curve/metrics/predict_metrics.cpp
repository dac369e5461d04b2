// korva.curve.metrics.predict_device_metrics: the figures of every device (row) of a DataFrame. The
// arguments, the criteria, the curve table, the models and the devices' inputs are checked before
// anything is predicted; a pandas frame then goes chunk by chunk through the batch's loop, a dask
// frame partition by partition.
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
    request.resolved_config = nb::borrow(config);
    if (!py::truthy(request.resolved_config))
        request.resolved_config = g("mos_utils").attr("_DEVICE_CONFIG")[request.device_type];
    request.layout = layout_from_config(g, kind, request.resolved_config, request.criteria);
    check_models(models, request.device_type, request.layout);
    request.domain = nb::none();
    return request;
}

nb::object predict_pandas_sweep(const py::Call& g, SweepRequest& request) {
    if (!py::truthy(g("isinstance")(request.devices, g("pd").attr("DataFrame")))) raise_not_a_frame(request.devices);
    check_columns(request.devices);
    DeviceTable table = read_devices(g, request);
    if (!request.return_errors)
        for (const nb::object& problem : table.problems)
            if (problem.is_valid()) {
                PyErr_SetObject((PyObject*) Py_TYPE(problem.ptr()), problem.ptr());
                throw nb::python_error();
            }
    return predict_sweep(g, request, table);
}

// Series criteria are aligned with a pandas frame's rows; a dask frame's partitions read columns.
void refuse_series_for_dask(const Criteria& c) {
    for (const PerDevice* criterion : {&c.i_vth, &c.i_bv, &c.area})
        if (criterion->source.is_valid() && !PyUnicode_Check(criterion->source.ptr()))
            py::raise(PyExc_ValueError, "a criterion given as a Series or an array needs a pandas DataFrame of "
                                        "devices: for a dask DataFrame, name a column");
}

}  // namespace

void raise_not_a_frame(nb::handle devices) {
    PyErr_Format(PyExc_TypeError, "devices must be a pandas or dask DataFrame with one row per device, not %.200s",
                 Py_TYPE(devices.ptr())->tp_name);
    throw nb::python_error();
}

nb::object predict_device_metrics(const py::Call& g) {
    SweepRequest request = read_request(g, g[1], g[0], g[3], g[4], g[5], g[6], g[7]);
    request.progress = py::truthy(g[8]);
    request.threads = batch::threads_for(g[9]);
    if (batch::is_dask(request.devices)) {
        batch::refuse_threads_for_dask(request.threads);
        refuse_series_for_dask(request.criteria);
        check_columns(request.devices);
        request.domain = read_domain(g, g[10], request.devices);
        return predict_dask(g, request);
    }
    if (py::truthy(g("isinstance")(request.devices, g("pd").attr("DataFrame"))))
        request.domain = read_domain(g, g[10], request.devices);
    return predict_pandas_sweep(g, request);
}

nb::object _predict_partition(const py::Call& g) {
    SweepRequest request = read_request(g, g[0], g[1], g[3], g[4], g[5], g[6], g[7]);
    request.domain = nb::borrow(g[8]);  // resolved when the graph was built
    return predict_pandas_sweep(g, request);
}

}  // namespace korva::curve::metrics
