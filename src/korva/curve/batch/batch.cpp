// korva.curve.batch: the module body. Imports, then the functions in the order the module binds them.
#include "korva/curve/batch/batch.hpp"

namespace korva::curve::batch {

void body(const ModuleBody& m) {
    m.import_from("typing", {"Optional", "Union"});
    m.import("numpy", "np");
    m.import("pandas", "pd");
    m.import_from("korva.curve", {"mos_utils"});

    nb::object frame = m("pd").attr("DataFrame");
    nb::object optional_list = py::sub(m("Optional"), {m("list")});
    nb::object optional_dict = py::sub(m("Optional"), {m("dict")});
    nb::object optional_int = py::sub(m("Optional"), {m("int")});
    m.def({"predict_curves_for_frame",
           predict_curves_for_frame,
           {{"models", m("dict")},
            {"devices", frame},
            {"device_type", m("str")},
            {"curve_types", optional_list, nb::none()},
            {"config", optional_dict, nb::none()}},
           py::sub(m("Union"), {m("list"), frame}),
           nullptr,
           {{"exact", m("bool"), nb::bool_(false)},
            {"output", m("str"), nb::str("records")},
            {"errors", m("str"), nb::str("raise")},
            {"chunk_size", optional_int, nb::none()},
            {"progress", m("bool"), nb::bool_(false)},
            {"n_jobs", optional_int, nb::none()}}});

    m.def({"_predict_partition",
           _predict_partition,
           {{"devices"}, {"models"}, {"device_type"}, {"curve_types"}, {"config"}, {"exact"}, {"chunk_size"}}});
}

}  // namespace korva::curve::batch
