// korva.curve.metrics: the module body. Imports, then the functions in the order the module binds
// them: the primitives, the figures of one device, of a sweep, and the Pareto front.
#include "korva/curve/metrics/metrics.hpp"

namespace korva::curve::metrics {

void body(const ModuleBody& m) {
    m.import_from("typing", {"Optional", "Sequence", "Union"});
    m.import("numpy", "np");
    m.import("pandas", "pd");
    m.import_from("korva.curve", {"mos_utils"});

    nb::object array = m("np").attr("ndarray");
    nb::object frame = m("pd").attr("DataFrame");
    nb::object series = m("pd").attr("Series");
    nb::object number_or_array = py::sub(m("Union"), {m("float"), array});
    nb::object optional_dict = py::sub(m("Optional"), {m("dict")});
    nb::object columns = py::sub(m("Sequence"), {m("str")});

    m.def({"crossing", crossing, {{"x", array}, {"y", array}, {"level", number_or_array}}, number_or_array});
    m.def({"value_at", value_at, {{"x", array}, {"y", array}, {"x0", number_or_array}}, number_or_array});
    m.def({"subthreshold_swing",
           subthreshold_swing,
           {{"x", array}, {"y", array}, {"level", number_or_array}, {"decades", m("float"), nb::float_(2.0)}},
           number_or_array});
    m.def({"on_resistance",
           on_resistance,
           {{"x", array}, {"y", array}, {"points", m("int"), nb::int_(5)}},
           number_or_array});

    m.def({"minimum_swing",
           minimum_swing,
           {{"x", array}, {"y", array}, {"level", number_or_array}, {"decades", m("float"), nb::float_(4.0)}},
           number_or_array});
    m.def({"small_signal_resistance",
           small_signal_resistance,
           {{"x", array}, {"y", array}, {"points", m("int"), nb::int_(5)}},
           m("tuple")});
    m.def({"max_gm_threshold",
           max_gm_threshold,
           {{"x", array}, {"y", array}, {"vd", m("float"), nb::float_(0.0)}},
           m("tuple")});

    m.def({"device_metrics",
           device_metrics,
           {{"records", m("list")},
            {"device_inputs", series},
            {"device_type", m("str")},
            {"criteria", optional_dict, nb::none()}},
           series});
    m.def({"predict_device_metrics",
           predict_device_metrics,
           {{"models", m("dict")},
            {"devices", frame},
            {"device_type", m("str")},
            {"config", optional_dict, nb::none()},
            {"criteria", optional_dict, nb::none()}},
           frame,
           nullptr,
           {{"exact", m("bool"), nb::bool_(false)},
            {"chunk_size", py::sub(m("Optional"), {m("int")}), nb::none()},
            {"errors", m("str"), nb::str("raise")},
            {"progress", m("bool"), nb::bool_(false)},
            {"n_jobs", py::sub(m("Optional"), {m("int")}), nb::none()},
            {"domain", py::sub(m("Optional"), {py::sub(m("Union"), {m("dict"), frame})}), nb::none()}}});
    m.def({"pareto_front",
           pareto_front,
           {{"frame", frame},
            {"minimize", columns, nb::tuple()},
            {"maximize", columns, nb::tuple()},
            {"tolerance", optional_dict, nb::none()},
            {"robust", m("float"), nb::float_(0.0)}},
           series});

    m.def({"_predict_partition",
           _predict_partition,
           {{"devices"},
            {"models"},
            {"device_type"},
            {"config"},
            {"criteria"},
            {"exact"},
            {"chunk_size"},
            {"errors"},
            {"domain"}}});
}

}  // namespace korva::curve::metrics
