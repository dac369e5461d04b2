// predict_device_metrics over a dask DataFrame: a lazy frame with one task per partition, each
// running the pandas path on its partition. The models enter the graph once, as one key every
// partition task depends on, so each worker receives them once. dask is imported only when given.
#include "korva/curve/metrics/predict.hpp"

namespace korva::curve::metrics {

using namespace nb::literals;

nb::object predict_dask(const py::Call& g, const SweepRequest& request) {
    nb::object dataframe, delayed;
    try {
        dataframe = py::import("dask.dataframe");
        delayed = py::import_from("dask", "delayed");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        py::raise_in_handler(error, PyExc_ImportError,
                             "the figures of merit of a dask DataFrame need dask: pip install 'dask[dataframe]'");
    }
    if (!py::truthy(g("isinstance")(request.devices, dataframe.attr("DataFrame")))) raise_not_a_frame(request.devices);
    // The frame of no device, on the empty pandas frame dask keeps as the devices' meta: it has the
    // columns, dtypes and attrs of every partition's frame, and checks the input columns now.
    nb::object meta_devices = request.devices.attr("_meta");
    nb::object meta = g("_predict_partition")(meta_devices, request.models, request.device_type, request.config,
                                              request.criteria_given, nb::bool_(request.exact), nb::none(),
                                              request.return_errors ? "return" : "raise", request.domain);

    nb::object models = delayed(request.models, "pure"_a = true, "traverse"_a = false);
    nb::object chunk_size = nb::none();
    if (request.chunk_size) chunk_size = nb::int_(request.chunk_size);
    return request.devices.attr("map_partitions")(g("_predict_partition"), models, request.device_type, request.config,
                                                  request.criteria_given, nb::bool_(request.exact), chunk_size,
                                                  request.return_errors ? "return" : "raise", request.domain,
                                                  "meta"_a = meta);
}

}  // namespace korva::curve::metrics
