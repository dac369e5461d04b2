// korva.curve.batch: the curves of many devices in one call, from a pandas or dask DataFrame with
// one row per device, through the vectorised curve core. The module body lives in batch.cpp.
#pragma once

#include "korva/curve/core/core.hpp"

namespace korva::curve::batch {

// predict_curves_for_frame(models, devices, device_type, curve_types=None, config=None, *,
// exact=False, output="records", errors="raise", chunk_size=None, progress=False, n_jobs=None)
nb::object predict_curves_for_frame(const py::Call& g);

// _predict_partition(devices, models, device_type, curve_types, config, exact, chunk_size): the
// frame of one partition of a dask DataFrame, computed on a worker.
nb::object _predict_partition(const py::Call& g);

// A checked request.
struct Request {
    nb::handle models, devices, device_type, curve_types, config;
    bool exact = false;
    bool frame = false;          // output="frame"
    bool return_errors = false;  // errors="return"
    Py_ssize_t chunk_size = 0;   // 0: chosen from the curves' point counts
    bool progress = false;
    Py_ssize_t threads = 1;      // from n_jobs: how many chunks are predicted at once
};

// The request for a pandas DataFrame: every device's records, or the tidy frame.
nb::object predict_pandas(const py::Call& g, const Request& request);

// Whether `devices` is a dask collection (told without importing dask).
bool is_dask(nb::handle devices);

// The request for a dask DataFrame: a lazy frame, one task per partition.
nb::object predict_dask(const py::Call& g, const Request& request);

void body(const ModuleBody& m);

}  // namespace korva::curve::batch
