// The curve record of one device for one job, as predict_curves_for_inputs builds it.
#include "korva/curve/core/core.hpp"

namespace korva::curve::core {

nb::dict curve_record(const Job& job, nb::handle x_coords, nb::handle y, nb::handle y_std, nb::handle submodels) {
    nb::dict record;
    record["curve_type"] = job.curve_type;
    record["curve_variant"] = job.is_default ? nb::none() : job.variant_label;
    record["_variant_dict"] = job.variant;
    record["x_coords"] = x_coords;
    record["y_coords"] = y;
    record["y_coords_std"] = y_std;
    record["_y_coords"] = submodels;
    record["x_label"] = job.curve_info["x_label"];
    record["x_unit"] = job.curve_info["x_unit"];
    record["y_label"] = job.curve_info["y_label"];
    record["y_unit"] = job.curve_info["y_unit"];
    return record;
}

}  // namespace korva::curve::core
