// Which curves and variants the figures of each device type read (from a curve table or records),
// and the criteria checked against those curves: biases inside the x ranges, present as variants.
#include "korva/curve/metrics/metrics.hpp"

#include <cmath>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

const char* const pld_curves[] = {"id-vg-lin", "id-vg-sat", "id-vd-0", "breakdown"};
const char* const nld_curves[] = {"id-vg", "id-vd"};

[[noreturn]] void raise_missing_curve(const char* where, const char* curve) {
    PyErr_Format(PyExc_ValueError, "%s has no curve '%s', which the figures of merit read", where, curve);
    throw nb::python_error();
}

// curves[curve]: its variants.
nb::object variants_of(nb::handle curves, const char* curve, const char* where) {
    if (!py::contains(curves, py::s(curve))) raise_missing_curve(where, curve);
    return curves[curve];
}

void need_variant(nb::handle variants, const char* curve, const char* label, const char* where) {
    if (py::contains(variants, py::s(label))) return;
    PyErr_Format(PyExc_ValueError, "curve '%s' of %s has no variant '%s', which the figures of merit read", curve,
                 where, label);
    throw nb::python_error();
}

Source source(const char* curve, const char* label) { return {py::s(curve), py::s(label)}; }

// The label of the variant of PLD's output curve at Vg = -v_on: the gate bias of the on state,
// where ron and log_idsat are read.
nb::object output_variant(nb::handle variants, double v_on, const char* where) {
    nb::object labels = nb::steal(PySequence_List(variants.ptr()));  // a snapshot of the labels
    if (!labels.is_valid()) throw nb::python_error();
    for (nb::handle label : labels) {
        nb::object variant = variants[label];
        if (!PyUnicode_Check(label.ptr()) || !py::contains(variant, py::s("Vg"))) continue;
        double vg = nb::cast<double>(nb::float_(variant["Vg"]));
        if (std::fabs(vg + v_on) <= 1e-6) return nb::borrow(label);
    }
    nb::object message = nb::str("criterion v_on ({!r}): curve 'id-vd-0' of {} has no variant at Vg = {!r}, where ron "
                                 "and log_idsat are read (its variants: {})")
                             .format(nb::float_(v_on), where, nb::float_(-v_on), nb::str(", ").attr("join")(labels));
    py::raise(PyExc_ValueError, message);
}

void need_inside(const Layout& layout, size_t source, const Doubles& x, const char* criterion, double value,
                 const char* read, const char* where) {
    Py_ssize_t n = x.shape(0);
    const double* grid = x.data();
    if (n > 0 && value >= grid[0] && value <= grid[n - 1]) return;
    nb::object range = n > 0 ? nb::object(nb::str("[{!r}, {!r}]").format(nb::float_(grid[0]), nb::float_(grid[n - 1])))
                             : nb::object(nb::str("(no points)"));
    nb::object message =
        nb::str("criterion {} ({!r}) lies outside the x range {} of curve {!r} of {}, where {} is read")
            .format(criterion, nb::float_(value), range, layout.sources[source].curve, where, read);
    py::raise(PyExc_ValueError, message);
}

}  // namespace

Layout make_layout(DeviceKind kind, nb::handle curves, const char* where, const Criteria& criteria) {
    Layout layout{.kind = kind};
    if (kind == DeviceKind::nld) {
        need_variant(variants_of(curves, "id-vg", where), "id-vg", "default", where);
        need_variant(variants_of(curves, "id-vd", where), "id-vd", "default", where);
        layout.sources = {source("id-vg", "default"), source("id-vd", "default")};
        layout.vth = layout.transfer = 0;
        layout.output = 1;
        return layout;
    }
    // Every "id-vg-lin" variant, in table order, for the body effect; the first figures read Vb=0.00.
    nb::object lin = variants_of(curves, "id-vg-lin", where);
    need_variant(lin, "id-vg-lin", "Vb=0.00", where);
    nb::object sat = variants_of(curves, "id-vg-sat", where);
    nb::object output = variants_of(curves, "id-vd-0", where);
    nb::object breakdown = variants_of(curves, "breakdown", where);
    need_variant(sat, "id-vg-sat", "Vb=0.00", where);
    nb::object on_state = output_variant(output, criteria.v_on, where);
    need_variant(breakdown, "breakdown", "default", where);

    nb::object labels = nb::steal(PySequence_List(lin.ptr()));  // a snapshot of the labels
    if (!labels.is_valid()) throw nb::python_error();
    for (nb::handle label : labels) {
        nb::object variant = lin[label];
        if (!py::contains(variant, py::s("Vb"))) {
            PyErr_Format(PyExc_ValueError, "variant %R of curve 'id-vg-lin' of %s has no 'Vb' value", label.ptr(),
                         where);
            throw nb::python_error();
        }
        if (py::equals(label, "Vb=0.00")) layout.vth = layout.sources.size();
        layout.vb.push_back(nb::cast<double>(nb::float_(variant["Vb"])));
        layout.sources.push_back({py::s("id-vg-lin"), nb::borrow(label)});
    }
    layout.transfer = layout.sources.size();
    layout.sources.push_back(source("id-vg-sat", "Vb=0.00"));
    layout.output = layout.sources.size();
    layout.sources.push_back({py::s("id-vd-0"), on_state});
    layout.breakdown = layout.sources.size();
    layout.sources.push_back(source("breakdown", "default"));
    return layout;
}

Layout layout_from_config(const py::Call& g, DeviceKind kind, nb::handle config, const Criteria& criteria) {
    nb::object curve_info = config["CURVE_INFO"];
    nb::dict curves;
    auto take = [&](const char* curve) {
        if (py::contains(curve_info, py::s(curve))) curves[curve] = curve_info[curve]["variants"];
    };
    if (kind == DeviceKind::pld)
        for (const char* curve : pld_curves) take(curve);
    else
        for (const char* curve : nld_curves) take(curve);
    Layout layout = make_layout(kind, curves, "config", criteria);

    nb::object np = g("np");
    std::vector<std::unique_ptr<Doubles>> ranges;
    std::vector<const Doubles*> x;
    for (const Source& s : layout.sources) {
        nb::object range = np.attr("ascontiguousarray")(curve_info[s.curve]["x_range"], "dtype"_a = np.attr("float64"));
        if (nb::cast<Py_ssize_t>(range.attr("ndim")) != 1) {
            PyErr_Format(PyExc_ValueError, "the x_range of curve %R of config must be one-dimensional", s.curve.ptr());
            throw nb::python_error();
        }
        ranges.push_back(std::make_unique<Doubles>(range, np.attr("ndarray"), 1, "an x_range"));
        x.push_back(ranges.back().get());
    }
    check_curves(layout, criteria, x, "config");
    return layout;
}

void check_curves(const Layout& layout, const Criteria& criteria, const std::vector<const Doubles*>& x,
                  const char* where) {
    for (size_t s = 0; s < layout.sources.size(); ++s) {
        const double* grid = x[s]->data();
        for (Py_ssize_t i = 1; i < x[s]->shape(0); ++i)
            if (!(grid[i] >= grid[i - 1])) {
                PyErr_Format(PyExc_ValueError, "the x of curve %R of %s must be increasing (no NaN)",
                             layout.sources[s].curve.ptr(), where);
                throw nb::python_error();
            }
        if (x[s]->shape(0) == 1 && std::isnan(grid[0])) {
            PyErr_Format(PyExc_ValueError, "the x of curve %R of %s must not be NaN", layout.sources[s].curve.ptr(),
                         where);
            throw nb::python_error();
        }
    }
    need_inside(layout, layout.transfer, *x[layout.transfer], "v_on", criteria.v_on, "log_ion", where);
    need_inside(layout, layout.transfer, *x[layout.transfer], "v_off", criteria.v_off, "log_ioff", where);
    if (layout.kind == DeviceKind::pld)
        need_inside(layout, layout.output, *x[layout.output], "vd_sat", criteria.vd_sat, "log_idsat", where);
}

nb::list Layout::curve_types() const {
    nb::list types;
    for (const Source& s : sources)
        if (!py::contains(types, s.curve)) types.append(s.curve);
    return types;
}

Py_ssize_t Layout::find(nb::handle curve, nb::handle label) const {
    if (!PyUnicode_Check(curve.ptr()) || !PyUnicode_Check(label.ptr())) return -1;
    for (size_t i = 0; i < sources.size(); ++i)
        if (py::equals(sources[i].curve, curve) && py::equals(sources[i].label, label)) return (Py_ssize_t) i;
    return -1;
}

}  // namespace korva::curve::metrics
