// korva.curve.batch: the curves of many devices in one call, from a pandas or dask DataFrame with
// one row per device, through the vectorised curve core. The module body lives in batch.cpp.
#pragma once

#include "korva/curve/core/core.hpp"

#include <functional>
#include <memory>

namespace korva::curve::batch {

class Output;

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
    // A caller's own output in place of records or frame (korva.curve.metrics), made from the plan
    // (null when every device takes the per-device steps) and the device count; and which of the
    // plan's jobs it needs (unset: all).
    std::function<std::unique_ptr<Output>(const core::Plan*, Py_ssize_t)> output;
    std::function<bool(const core::Job&)> keep_job;
};

// The chunk_size argument: 0 for None (chosen from the curves' point counts), else an int >= 1.
Py_ssize_t read_chunk_size(nb::handle chunk_size);

// The request for a pandas DataFrame: every device's records, or the tidy frame.
nb::object predict_pandas(const py::Call& g, const Request& request);

// Whether `devices` is a dask collection (told without importing dask).
bool is_dask(nb::handle devices);

// The request for a dask DataFrame: a lazy frame, one task per partition.
nb::object predict_dask(const py::Call& g, const Request& request);

void body(const ModuleBody& m);

}  // namespace korva::curve::batch
