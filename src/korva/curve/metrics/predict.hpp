// predict_device_metrics: a checked request for the figures of a sweep, and the two ways it runs
// (a pandas frame chunk by chunk, a dask frame partition by partition).
#pragma once

#include "korva/curve/metrics/metrics.hpp"

namespace korva::curve::metrics {

struct SweepRequest {
    nb::handle models, devices, device_type, config, criteria_given;
    nb::object resolved_config;  // the caller's configuration, or the device type's table entry
    Criteria criteria;
    Layout layout;
    nb::object domain;  // {input: (low, high)} as resolved, or None
    bool exact = false;
    bool return_errors = false;  // errors="return"
    Py_ssize_t chunk_size = 0;   // 0: the batch's default
    bool progress = false;
    Py_ssize_t threads = 1;      // from n_jobs, as the batch reads it
};

// The devices of a pandas frame as the figures see them: each row's Device, and the ValueError of
// the rows whose inputs cannot be right (invalid where none).
struct DeviceTable {
    std::vector<Device> devices;
    std::vector<nb::object> problems;
};

// The figures of every row of a pandas DataFrame, through the batch's chunk loop (output.cpp): only
// the rows without a problem are predicted; `table` gives every row's Device and problem.
nb::object predict_sweep(const py::Call& g, const SweepRequest& request, const DeviceTable& table);

// Before any prediction (devices.cpp): the models the figures read are all there (KeyError naming
// the missing ones), the devices' columns are unique (ValueError).
void check_models(nb::handle models, nb::handle device_type, const Layout& layout);
void check_columns(nb::handle devices);

// Every row's Device, and what is wrong with its inputs: geometry and the per-device criteria
// finite and positive, the other inputs the configuration reads finite (devices.cpp).
DeviceTable read_devices(const py::Call& g, const SweepRequest& request);

// The training domain as given (None, a dict {input: (low, high)} or a DataFrame of the training
// inputs) resolved to {input: (low, high)} over columns of `devices`, or None.
nb::object read_domain(const py::Call& g, nb::handle domain, nb::handle devices);

// Whether each row of `devices` lies inside the resolved `domain`, as a bool array.
nb::object in_domain(const py::Call& g, nb::handle domain, nb::handle devices);

// TypeError: `devices` is neither a pandas nor a dask DataFrame.
[[noreturn]] void raise_not_a_frame(nb::handle devices);

// A lazy frame over a dask DataFrame (dask.cpp).
nb::object predict_dask(const py::Call& g, const SweepRequest& request);

}  // namespace korva::curve::metrics
