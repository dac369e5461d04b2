// The device types the figures are defined for and the criteria they are extracted at, checked
// before anything is predicted: each on its own, then against each other.
#include "korva/curve/metrics/metrics.hpp"

#include <cmath>
#include <string_view>

namespace korva::curve::metrics {

namespace {

const char* const criterion_names[] = {"i_vth", "i_bv", "ss_decades", "vd_lin", "vd_sat",
                                       "v_on",  "v_off", "ron_points", "vth_norm", "area"};

[[noreturn]] void raise_criterion(const char* name, const char* needs, nb::handle value) {
    PyErr_Format(PyExc_ValueError, "criterion %s must be %s, not %R", name, needs, value.ptr());
    throw nb::python_error();
}

double real_value(const py::Call& g, const char* name, nb::handle value, bool zero_allowed,
                  const char* needs = nullptr) {
    if (!needs) needs = zero_allowed ? "a finite number >= 0" : "a finite positive number";
    nb::object real = py::import_from("numbers", "Real");
    if (PyBool_Check(value.ptr()) || !py::truthy(g("isinstance")(value, real))) raise_criterion(name, needs, value);
    double number = nb::cast<double>(nb::float_(value));
    if (!std::isfinite(number) || number < 0.0 || (number == 0.0 && !zero_allowed)) raise_criterion(name, needs, value);
    return number;
}

// An int >= 2; one beyond any grid means every point.
Py_ssize_t count_value(const py::Call& g, const char* name, nb::handle value) {
    nb::object integral = py::import_from("numbers", "Integral");
    if (PyBool_Check(value.ptr()) || !py::truthy(g("isinstance")(value, integral)))
        raise_criterion(name, "an int >= 2", value);
    nb::object number = g("int")(value);
    if (py::compare(number, nb::int_(2), Py_LT)) raise_criterion(name, "an int >= 2", value);
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 || count > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : (Py_ssize_t) count;
}

// A number for every device, the name of a column of the devices, a Series aligned with them, or a
// 1-D array of one value per device (in row order).
PerDevice per_device(const py::Call& g, const char* name, nb::handle value, nb::dict& used) {
    if (PyUnicode_Check(value.ptr())) {
        nb::dict column;
        column["column"] = value;
        used[name] = column;
        return {std::numeric_limits<double>::quiet_NaN(), nb::borrow(value)};
    }
    if (py::truthy(g("isinstance")(value, g("pd").attr("Series")))) {
        nb::dict series;
        series["series"] = value.attr("name");
        used[name] = series;
        return {std::numeric_limits<double>::quiet_NaN(), nb::borrow(value)};
    }
    if (py::truthy(g("isinstance")(value, g("np").attr("ndarray"))) &&
        nb::cast<Py_ssize_t>(value.attr("ndim")) == 1) {
        nb::dict array;
        array["array"] = nb::int_(nb::len(value));
        used[name] = array;
        return {std::numeric_limits<double>::quiet_NaN(), nb::borrow(value)};
    }
    double number = real_value(g, name, value, false,
                               "a finite positive number, a column name of devices, a Series aligned with them or "
                               "a 1-D array of one value per device");
    used[name] = nb::float_(number);
    return {number, {}};
}

VthNorm norm_value(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        if (py::equals(value, "w/l")) return VthNorm::w_over_l;
        if (py::equals(value, "w")) return VthNorm::w;
        if (py::equals(value, "abs")) return VthNorm::absolute;
    }
    raise_criterion("vth_norm", "'w/l', 'w' or 'abs'", value);
}

[[noreturn]] void raise_order(const char* low, double low_value, const char* high, double high_value) {
    nb::object message = nb::str("criterion {} ({!r}) must be below {} ({!r})")
                             .format(low, nb::float_(low_value), high, nb::float_(high_value));
    py::raise(PyExc_ValueError, message);
}

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
    c.used["i_vth"] = nb::float_(c.i_vth.value);
    c.used["i_bv"] = nb::float_(c.i_bv.value);
    c.used["ss_decades"] = nb::float_(c.ss_decades);
    c.used["vd_lin"] = nb::float_(c.vd_lin);
    c.used["vd_sat"] = nb::float_(c.vd_sat);
    c.used["v_on"] = nb::float_(c.v_on);
    c.used["v_off"] = nb::float_(c.v_off);
    c.used["ron_points"] = nb::int_(c.ron_points);
    c.used["vth_norm"] = "w/l";
    c.used["area"] = nb::none();
    if (given.is_none()) return c;
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
                         "v_off, ron_points, vth_norm and area",
                         key.ptr());
            throw nb::python_error();
        }
        std::string_view n(name);
        if (n == "i_vth") {
            c.i_vth = per_device(g, name, value, c.used);
            continue;
        }
        if (n == "i_bv") {
            c.i_bv = per_device(g, name, value, c.used);
            continue;
        }
        if (n == "area") {
            if (value.is_none()) c.area = {std::numeric_limits<double>::quiet_NaN(), {}};
            else c.area = per_device(g, name, value, c.used);
            continue;
        }
        if (n == "vth_norm") {
            c.vth_norm = norm_value(value);
            c.used[name] = value;
            continue;
        }
        if (n == "ron_points") {
            c.ron_points = count_value(g, name, value);
            c.used[name] = g("int")(value);
            continue;
        }
        double number = real_value(g, name, value, n == "v_off");
        if (n == "ss_decades") c.ss_decades = number;
        else if (n == "vd_lin") c.vd_lin = number;
        else if (n == "vd_sat") c.vd_sat = number;
        else if (n == "v_on") c.v_on = number;
        else c.v_off = number;
        c.used[name] = nb::float_(number);
    }
    if (!(c.vd_lin < c.vd_sat)) raise_order("vd_lin", c.vd_lin, "vd_sat", c.vd_sat);
    if (!(c.v_off < c.v_on)) raise_order("v_off", c.v_off, "v_on", c.v_on);
    return c;
}

}  // namespace korva::curve::metrics
