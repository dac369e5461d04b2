// The device types the figures are defined for, the criteria they are extracted at (checked before
// anything is predicted), and which curves and variants each device type's figures read.
#include "korva/curve/metrics/metrics.hpp"

#include <cmath>
#include <string_view>

namespace korva::curve::metrics {

namespace {

const char* const pld_curves[] = {"id-vg-lin", "id-vg-sat", "id-vd-0", "breakdown"};
const char* const nld_curves[] = {"id-vg", "id-vd"};

const char* const criterion_names[] = {"i_vth", "i_bv", "ss_decades", "vd_lin",
                                       "vd_sat", "v_on", "v_off",      "ron_points"};

[[noreturn]] void raise_criterion(const char* name, const char* needs, nb::handle value) {
    PyErr_Format(PyExc_ValueError, "criterion %s must be %s, not %R", name, needs, value.ptr());
    throw nb::python_error();
}

double real_value(const py::Call& g, const char* name, nb::handle value, bool zero_allowed) {
    const char* needs = zero_allowed ? "a finite number >= 0" : "a finite positive number";
    nb::object real = py::import_from("numbers", "Real");
    if (PyBool_Check(value.ptr()) || !py::truthy(g("isinstance")(value, real))) raise_criterion(name, needs, value);
    double number = nb::cast<double>(nb::float_(value));
    if (!std::isfinite(number) || number < 0.0 || (number == 0.0 && !zero_allowed)) raise_criterion(name, needs, value);
    return number;
}

Py_ssize_t count_value(const py::Call& g, const char* name, nb::handle value) {
    nb::object integral = py::import_from("numbers", "Integral");
    if (PyBool_Check(value.ptr()) || !py::truthy(g("isinstance")(value, integral)))
        raise_criterion(name, "an int >= 2", value);
    nb::object number = g("int")(value);
    if (py::compare(number, nb::int_(2), Py_LT) || py::compare(number, nb::int_(1 << 20), Py_GT))
        raise_criterion(name, "an int >= 2", value);
    return nb::cast<Py_ssize_t>(number);
}

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

}  // namespace

DeviceKind device_kind(nb::handle device_type) {
    if (PyUnicode_Check(device_type.ptr())) {
        if (py::equals(device_type, "PLD")) return DeviceKind::pld;
        if (py::equals(device_type, "NLD")) return DeviceKind::nld;
    }
    PyErr_Format(PyExc_ValueError, "device_type must be 'PLD' or 'NLD', not %R", device_type.ptr());
    throw nb::python_error();
}

Criteria read_criteria(const py::Call& g, nb::handle given, DeviceKind kind) {
    Criteria c;
    if (kind == DeviceKind::nld) c.v_on = 6.0;
    if (!given.is_none()) {
        if (!PyDict_Check(given.ptr())) {
            PyErr_Format(PyExc_TypeError, "criteria must be a dict or None, not %.200s", Py_TYPE(given.ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object items = nb::steal(PyDict_Items(given.ptr()));  // a snapshot: reading values runs Python code
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle item : items) {
            nb::object key = item[0], value = item[1];
            const char* name = nullptr;
            for (const char* known : criterion_names)
                if (PyUnicode_Check(key.ptr()) && py::equals(key, known)) name = known;
            if (!name) {
                PyErr_Format(PyExc_ValueError,
                             "unknown criterion %R: the criteria are i_vth, i_bv, ss_decades, vd_lin, vd_sat, v_on, "
                             "v_off and ron_points",
                             key.ptr());
                throw nb::python_error();
            }
            std::string_view n(name);
            if (n == "ron_points") c.ron_points = count_value(g, name, value);
            else if (n == "i_vth") c.i_vth = real_value(g, name, value, false);
            else if (n == "i_bv") c.i_bv = real_value(g, name, value, false);
            else if (n == "ss_decades") c.ss_decades = real_value(g, name, value, false);
            else if (n == "vd_lin") c.vd_lin = real_value(g, name, value, false);
            else if (n == "vd_sat") c.vd_sat = real_value(g, name, value, false);
            else if (n == "v_on") c.v_on = real_value(g, name, value, false);
            else c.v_off = real_value(g, name, value, true);
        }
    }
    c.used["i_vth"] = nb::float_(c.i_vth);
    c.used["i_bv"] = nb::float_(c.i_bv);
    c.used["ss_decades"] = nb::float_(c.ss_decades);
    c.used["vd_lin"] = nb::float_(c.vd_lin);
    c.used["vd_sat"] = nb::float_(c.vd_sat);
    c.used["v_on"] = nb::float_(c.v_on);
    c.used["v_off"] = nb::float_(c.v_off);
    c.used["ron_points"] = nb::int_(c.ron_points);
    return c;
}

Layout make_layout(DeviceKind kind, nb::handle curves, const char* where) {
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
    need_variant(output, "id-vd-0", "Vg=-3.30", where);
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
    layout.sources.push_back(source("id-vd-0", "Vg=-3.30"));
    layout.breakdown = layout.sources.size();
    layout.sources.push_back(source("breakdown", "default"));
    return layout;
}

Layout layout_from_config(DeviceKind kind, nb::handle config) {
    nb::object curve_info = config["CURVE_INFO"];
    nb::dict curves;
    auto take = [&](const char* curve) {
        if (py::contains(curve_info, py::s(curve))) curves[curve] = curve_info[curve]["variants"];
    };
    if (kind == DeviceKind::pld)
        for (const char* curve : pld_curves) take(curve);
    else
        for (const char* curve : nld_curves) take(curve);
    return make_layout(kind, curves, "config");
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
