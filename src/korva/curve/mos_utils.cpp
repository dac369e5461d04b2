// korva.curve.mos_utils: the module body. Imports, then the functions and the configuration table
// in the order the module binds them.
#include "korva/curve/mos_utils.hpp"

namespace korva::curve::mos_utils {

void body(const ModuleBody& m) {
    m.import_from("typing", {"Optional"});
    m.import("numpy", "np");
    m.import("pandas", "pd");
    m.import_from("scipy.special", {"comb"});
    m.import_from("sklearn.ensemble", {"VotingRegressor"});

    m.def({"_smoothstep", _smoothstep,
           {{"x"}, {"x_min", {}, nb::int_(0)}, {"x_max", {}, nb::int_(1)}, {"N", {}, nb::int_(1)}}});

    bind_device_config(m);

    m.def({"_predict_from_submodels", _predict_from_submodels, {{"model"}, {"X"}}});

    nb::object series = m("pd").attr("Series");
    nb::object ndarray = m("np").attr("ndarray");
    nb::object optional_dict = py::sub(m("Optional"), {m("dict")});
    m.def({"_predict_single_curve",
           _predict_single_curve,
           {{"models", m("dict")},
            {"device_inputs", series},
            {"device_type", m("str")},
            {"curve_type", m("str")},
            {"variant", m("dict")},
            {"x_coords", ndarray},
            {"config", optional_dict, nb::none()}},
           {},
           "pred_kwargs"});

    m.def({"predict_curves_for_inputs",
           predict_curves_for_inputs,
           {{"models", m("dict")},
            {"device_inputs", series},
            {"device_type", m("str")},
            {"curve_types", m("list"), nb::none()},
            {"config", optional_dict, nb::none()}},
           m("list")});
}

}  // namespace korva::curve::mos_utils
