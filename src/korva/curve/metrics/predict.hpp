// predict_device_metrics: a checked request for the figures of a sweep, and the two ways it runs
// (a pandas frame chunk by chunk, a dask frame partition by partition).
#pragma once

#include "korva/curve/metrics/metrics.hpp"

namespace korva::curve::metrics {

struct SweepRequest {
    nb::handle models, devices, device_type, config, criteria_given;
    Criteria criteria;
    Layout layout;
    std::vector<Geometry> geometry;  // per device row (pandas only)
    bool exact = false;
    bool return_errors = false;  // errors="return"
    Py_ssize_t chunk_size = 0;   // 0: the batch's default
    bool progress = false;
    Py_ssize_t threads = 1;      // from n_jobs, as the batch reads it
};

// The figures of every row of a pandas DataFrame, through the batch's chunk loop (output.cpp).
nb::object predict_sweep(const py::Call& g, const SweepRequest& request);

// W/L and W of every row of `devices` (PLD: KeyError naming the missing geometry columns).
std::vector<Geometry> geometry_of(const py::Call& g, DeviceKind kind, nb::handle devices);

// TypeError: `devices` is neither a pandas nor a dask DataFrame.
[[noreturn]] void raise_not_a_frame(nb::handle devices);

// A lazy frame over a dask DataFrame (dask.cpp).
nb::object predict_dask(const py::Call& g, const SweepRequest& request);

}  // namespace korva::curve::metrics
