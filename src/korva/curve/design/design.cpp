// korva.curve.design: the module body. Imports, then the two functions: the search for the designs
// that best meet targets, and the sensitivity of figures to the inputs.
#include "korva/curve/design/design.hpp"

namespace korva::curve::design {

void body(const ModuleBody& m) {
    m.import_from("typing", {"Optional", "Sequence", "Union"});
    m.import("numpy", "np");
    m.import("pandas", "pd");
    m.import_from("scipy.stats", {"qmc"});
    m.import_from("korva.curve", {"metrics", "mos_utils"});

    nb::object frame = m("pd").attr("DataFrame");
    nb::object optional_dict = py::sub(m("Optional"), {m("dict")});
    nb::object optional_int = py::sub(m("Optional"), {m("int")});
    nb::object names = py::sub(m("Union"), {m("str"), py::sub(m("Sequence"), {m("str")})});

    m.def({"search_designs",
           search_designs,
           {{"models", m("dict")},
            {"device_type", m("str")},
            {"space", m("dict")},
            {"objectives", m("dict")},
            {"constraints", optional_dict, nb::none()}},
           frame,
           nullptr,
           {{"fixed", optional_dict, nb::none()},
            {"criteria", optional_dict, nb::none()},
            {"config", optional_dict, nb::none()},
            {"robust", m("float"), nb::float_(0.0)},
            {"budget", m("int"), nb::int_(2000)},
            {"seed", optional_int, nb::none()},
            {"exact", m("bool"), nb::bool_(false)},
            {"n_jobs", optional_int, nb::none()},
            {"progress", m("bool"), nb::bool_(false)}}});
    m.def({"sensitivity",
           sensitivity,
           {{"models", m("dict")}, {"device_type", m("str")}, {"space", m("dict")}, {"figures", names}},
           frame,
           nullptr,
           {{"fixed", optional_dict, nb::none()},
            {"criteria", optional_dict, nb::none()},
            {"config", optional_dict, nb::none()},
            {"samples", m("int"), nb::int_(1024)},
            {"seed", optional_int, nb::none()},
            {"exact", m("bool"), nb::bool_(false)},
            {"n_jobs", optional_int, nb::none()},
            {"progress", m("bool"), nb::bool_(false)}}});
}

}  // namespace korva::curve::design
