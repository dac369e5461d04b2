// The curve record of one device for one job, as predict_curves_for_inputs builds it: the one
// place that names its eleven keys.
#include "korva/curve/core/core.hpp"

namespace korva::curve::core {

const char* const axis_keys[4] = {"x_label", "x_unit", "y_label", "y_unit"};

nb::dict curve_record(nb::handle curve_type, nb::handle curve_variant, nb::handle variant_dict, nb::handle x_coords,
                      nb::handle y, nb::handle y_std, nb::handle submodels, nb::handle curve_info) {
    nb::dict record;
    record["curve_type"] = curve_type;
    record["curve_variant"] = curve_variant;
    record["_variant_dict"] = variant_dict;
    record["x_coords"] = x_coords;
    record["y_coords"] = y;
    record["y_coords_std"] = y_std;
    record["_y_coords"] = submodels;
    for (const char* key : axis_keys) record[key] = curve_info[key];
    return record;
}

nb::dict curve_record(const Job& job, nb::handle x_coords, nb::handle y, nb::handle y_std, nb::handle submodels) {
    nb::object variant = job.is_default ? nb::none() : job.variant_label;
    return curve_record(job.curve_type, variant, job.variant, x_coords, y, y_std, submodels, job.curve_info);
}

}  // namespace korva::curve::core
