// Where the curves of a batch go: one list of records per device, or the columns of a tidy frame.
// Both take the blocks of the vectorised core and the records of single devices alike.
#pragma once

#include "korva/curve/core/core.hpp"

#include <memory>

namespace korva::curve::batch {

// A block of devices predicted together: the sink of their stacks, whose results stand once the
// core has predicted the block to the end. Blocks of different chunks may be open at once (one per
// worker thread); each writes only its own devices' places.
class Block : public core::BlockSink {
public:
    virtual void commit() = 0;
};

class Output {
public:
    virtual ~Output() = default;
    // The block of the devices at the frame rows `rows`.
    virtual std::unique_ptr<Block> block(const std::vector<Py_ssize_t>& rows) = 0;
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
