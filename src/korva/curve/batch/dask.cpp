// korva.curve.batch over a dask DataFrame: a lazy frame with one task per partition, each running
// the pandas path on its partition. The models enter the graph once, as one key every partition
// task depends on, so each worker receives them once. dask is imported only when given.
#include "korva/curve/batch/batch.hpp"

namespace korva::curve::batch {

using namespace nb::literals;

bool is_dask(nb::handle devices) {
    nb::object module = nb::getattr(devices.type(), "__module__", nb::none());
    if (!PyUnicode_Check(module.ptr())) return false;
    return py::equals(module, "dask") || py::truthy(module.attr("startswith")("dask."));
}

nb::object predict_dask(const py::Call& g, const Request& request) {
    if (!request.frame)
        py::raise(g("ValueError"),
                  "output='records' is not available for a dask DataFrame, whose result is a lazy frame: use "
                  "output='frame'");
    if (request.return_errors)
        py::raise(g("ValueError"),
                  "errors='return' is not available for a dask DataFrame, whose result is a frame: use "
                  "errors='raise'");

    nb::object dataframe, delayed, clear_known_categories;
    try {
        dataframe = py::import("dask.dataframe");
        delayed = py::import_from("dask", "delayed");
        clear_known_categories = py::import_from("dask.dataframe.utils", "clear_known_categories");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        py::raise_in_handler(error, PyExc_ImportError,
                             "predicting the curves of a dask DataFrame needs dask: pip install 'dask[dataframe]'");
    }
    if (!py::truthy(g("isinstance")(request.devices, dataframe.attr("DataFrame")))) {
        PyErr_Format(PyExc_TypeError, "devices must be a pandas or dask DataFrame with one row per device, not %.200s",
                     Py_TYPE(request.devices.ptr())->tp_name);
        throw nb::python_error();
    }

    // The partitions' frame, computed on the empty pandas frame dask keeps as the devices' meta:
    // the input columns are checked here, before any task runs. Which labels each partition holds
    // is known only when it runs, so the device categories are left unknown.
    Request on_meta = request;
    nb::object meta_devices = request.devices.attr("_meta");
    on_meta.devices = meta_devices;
    on_meta.progress = false;
    nb::list device_column;
    device_column.append("device");
    nb::object meta = clear_known_categories(predict_pandas(g, on_meta), "cols"_a = device_column);

    nb::object models = delayed(request.models, "pure"_a = true, "traverse"_a = false);
    nb::object chunk_size = nb::none();
    if (request.chunk_size) chunk_size = nb::int_(request.chunk_size);
    return request.devices.attr("map_partitions")(g("_predict_partition"), models, request.device_type,
                                                  request.curve_types, request.config, nb::bool_(request.exact),
                                                  chunk_size, "meta"_a = meta);
}

}  // namespace korva::curve::batch
