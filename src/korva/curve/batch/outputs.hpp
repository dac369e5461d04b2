// Where the curves of a batch go: one list of records per device, or the columns of a tidy frame.
// Both take the blocks of the vectorised core and the records of single devices alike.
#pragma once

#include "korva/curve/core/core.hpp"

#include <memory>

namespace korva::curve::batch {

class Output {
public:
    virtual ~Output() = default;
    // The sink for a block of devices, the frame rows `rows`, predicted together.
    virtual core::BlockSink& block(const std::vector<Py_ssize_t>& rows) = 0;
    // The block predicted to the end: its results stand.
    virtual void commit_block() = 0;
    // The records of the device at frame row `row`, from the per-device steps.
    virtual void device(Py_ssize_t row, nb::handle records) = 0;
    // The exception the device at frame row `row` raised (errors="return").
    virtual void failure(Py_ssize_t row, nb::handle exception) = 0;
    virtual nb::object finish() = 0;
};

// One entry per device: its list of records, or the exception it raised.
std::unique_ptr<Output> records_output(const py::Call& g, Py_ssize_t count);

// The tidy frame of `count` devices laid out by `plan` (every device has its records, in plan
// order), or, without a plan, built from whatever records the devices give.
std::unique_ptr<Output> frame_output(const py::Call& g, const core::Plan* plan, nb::handle device_dtype,
                                     Py_ssize_t count);

// The smallest integer dtype pandas keeps the codes of `count` categories in.
nb::object codes_dtype(nb::handle np, Py_ssize_t count);

}  // namespace korva::curve::batch
