// The devices table as the vectorised core sees it: each device's base inputs (the values its
// query rows start with), and which devices take the per-device steps instead.
#pragma once

#include "korva/curve/core/core.hpp"

#include <vector>

namespace korva::curve::batch {

class DeviceInputs {
public:
    DeviceInputs(const core::Context& ctx, const core::Plan& plan, nb::handle devices);

    // The devices of rows [start, stop): the base inputs of those predicted together (an
    // (len(stacked), n_base) float64 array) and the rows left to the per-device steps.
    struct Chunk {
        nb::object base;
        std::vector<Py_ssize_t> stacked, literal;
    };
    Chunk chunk(Py_ssize_t start, Py_ssize_t stop) const;

private:
    Chunk from_columns(Py_ssize_t start, Py_ssize_t stop) const;
    Chunk from_transform(Py_ssize_t start, Py_ssize_t stop) const;

    const core::Context& ctx_;
    const core::Plan& plan_;
    nb::handle devices_;
    nb::object np_, ndarray_;
    nb::object base_;  // every device's base inputs, when taken from the columns; else invalid
};

// The input columns a request reads from each device's row, when its configuration says which
// (the base input columns, or "A" to "E" for the table's NLD transform): KeyError naming every
// missing one at once.
void check_input_columns(const core::Context& ctx, nb::handle devices, nb::handle device_type, nb::handle config);

}  // namespace korva::curve::batch
