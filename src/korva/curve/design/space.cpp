// The design space of korva.curve.design: the searched inputs (a range or a list of allowed values)
// and the fixed ones, checked against the inputs the device type reads; the devices frame of a
// set of points in the unit cube.
#include "korva/curve/design/design.hpp"

#include "korva/curve/core/core.hpp"
#include "korva/curve/metrics/metrics.hpp"

#include <algorithm>

namespace korva::curve::design {

namespace {

// A searched input: `(low, high)` for a range, any other iterable for its allowed values.
Input read_input(const py::Call& g, nb::handle name, nb::handle spec) {
    Input input{nb::borrow(name)};
    nb::object what = py::f_string("space[", nb::repr(name), "]");
    const char* label = PyUnicode_AsUTF8(what.ptr());
    if (!label) throw nb::python_error();
    if (PyTuple_Check(spec.ptr())) {
        if (PyTuple_GET_SIZE(spec.ptr()) != 2) {
            PyErr_Format(PyExc_ValueError, "%s must be a (low, high) range or a list of allowed values, not %R", label,
                         spec.ptr());
            throw nb::python_error();
        }
        nb::object low = nb::borrow(PyTuple_GET_ITEM(spec.ptr(), 0)), high = nb::borrow(PyTuple_GET_ITEM(spec.ptr(), 1));
        input.low = read_real(g, low, label);
        input.high = read_real(g, high, label);
        if (!(input.low < input.high)) {
            PyErr_Format(PyExc_ValueError, "%s is an %s range: %R (low must be below high)", label,
                         input.low == input.high ? "empty" : "inverted", spec.ptr());
            throw nb::python_error();
        }
        return input;
    }
    if (PyUnicode_Check(spec.ptr()) || PyBytes_Check(spec.ptr()) || PyDict_Check(spec.ptr()) ||
        !PyObject_HasAttrString(spec.ptr(), "__iter__")) {
        PyErr_Format(PyExc_TypeError, "%s must be a (low, high) range or a list of allowed values, not %.200s", label,
                     Py_TYPE(spec.ptr())->tp_name);
        throw nb::python_error();
    }
    input.discrete = true;
    for (nb::handle value : g("list")(spec)) input.values.push_back(read_real(g, value, label));
    if (input.values.empty()) {
        PyErr_Format(PyExc_ValueError, "%s is an empty list of allowed values", label);
        throw nb::python_error();
    }
    std::sort(input.values.begin(), input.values.end());
    input.values.erase(std::unique(input.values.begin(), input.values.end()), input.values.end());
    return input;
}

// The (name, value) pairs of `space` or `fixed`, each name a str.
nb::list input_items(nb::handle mapping, const char* what, const char* of) {
    nb::list items = dict_items(mapping, what, of);
    for (nb::handle item : items) {
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        if (!PyUnicode_Check(key.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s must name inputs by str, not %.200s", what, Py_TYPE(key.ptr())->tp_name);
            throw nb::python_error();
        }
    }
    return items;
}

// The inputs the device type reads from a device's row, or None when a transform of the caller's
// own reads them (which ones is its business).
nb::object inputs_read(const py::Call& g, nb::handle device_type, nb::handle config) {
    metrics::device_kind(device_type);  // the figures exist for PLD and NLD only
    core::Context ctx(g, g("mos_utils"));
    nb::object resolved = ctx.config(config, device_type);
    nb::list labels;
    if (py::contains(resolved, py::s("INPUT_TRANSFORM"))) {
        nb::object transform = resolved["INPUT_TRANSFORM"];
        if (!py::is_function(transform, mos_utils::nld_input_transform, ctx.curve_globals)) return nb::none();
        for (const char* label : core::nld_raw_labels) labels.append(label);
        return labels;
    }
    for (nb::handle label : g("list")(resolved["BASE_INPUT_COLS"])) labels.append(label);
    return labels;
}

bool named_in(const std::vector<nb::object>& names, nb::handle name) {
    return std::any_of(names.begin(), names.end(), [&](const nb::object& n) { return py::equals(n, name); });
}

}  // namespace

Space read_space(const py::Call& g, nb::handle space, nb::handle fixed, nb::handle device_type, nb::handle config) {
    Space result;
    nb::list searched = input_items(space, "space", "input -> (low, high) or allowed values");
    if (nb::len(searched) == 0) py::raise(PyExc_ValueError, "space names no input to search");
    for (nb::handle item : searched)
        result.searched.push_back(read_input(g, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1)));
    if (!fixed.is_none()) {
        for (nb::handle item : input_items(fixed, "fixed", "input -> value")) {
            nb::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
            nb::object what = py::f_string("fixed[", nb::repr(name), "]");
            result.fixed_names.push_back(nb::borrow(name));
            result.fixed_values.push_back(read_real(g, PyTuple_GET_ITEM(item.ptr(), 1), PyUnicode_AsUTF8(what.ptr())));
        }
    }

    // Every input the device type reads in exactly one of the two, and nothing else.
    std::vector<nb::object> space_names;
    for (const Input& input : result.searched) space_names.push_back(input.name);
    nb::list doubled, missing, unknown;
    for (const nb::object& name : result.fixed_names)
        if (named_in(space_names, name)) doubled.append(name);
    nb::object read = inputs_read(g, device_type, config);
    if (!read.is_none()) {
        std::vector<nb::object> read_names;
        for (nb::handle label : read) {
            read_names.push_back(nb::borrow(label));
            if (!named_in(space_names, label) && !named_in(result.fixed_names, label)) missing.append(label);
        }
        for (const auto* names : {&space_names, &result.fixed_names})
            for (const nb::object& name : *names)
                if (!named_in(read_names, name) && !py::contains(unknown, name)) unknown.append(name);
    }
    if (nb::len(doubled) || nb::len(missing) || nb::len(unknown)) {
        nb::list parts;
        if (nb::len(missing))
            parts.append(py::f_string("missing from both space and fixed: ", nb::repr(missing)));
        if (nb::len(doubled)) parts.append(py::f_string("in both space and fixed: ", nb::repr(doubled)));
        if (nb::len(unknown))
            parts.append(py::f_string("not read by device type ", nb::repr(device_type), ": ") + nb::repr(unknown));
        nb::object message = py::s("every input the device type reads must be in exactly one of space and fixed; ") +
                             py::s("; ").attr("join")(parts);
        py::raise(PyExc_ValueError, message);
    }
    return result;
}

double Space::value(size_t i, double u) const {
    const Input& input = searched[i];
    if (!input.discrete) return std::min(u * (input.high - input.low) + input.low, input.high);
    size_t count = input.values.size();
    size_t index = std::min((size_t) (u * (double) count), count - 1);
    return input.values[index];
}

nb::object Space::devices(const py::Call& g, const double* unit, Py_ssize_t count, Py_ssize_t first) const {
    size_t d = dims(), columns = d + fixed_values.size();
    std::vector<double> rows((size_t) count * columns);
    for (Py_ssize_t k = 0; k < count; ++k) {
        double* row = rows.data() + (size_t) k * columns;
        for (size_t i = 0; i < d; ++i) row[i] = value(i, unit[(size_t) k * d + i]);
        std::copy(fixed_values.begin(), fixed_values.end(), row + d);
    }
    nb::list names;
    for (const Input& input : searched) names.append(input.name);
    for (const nb::object& name : fixed_names) names.append(name);
    nb::object pd = g("pd");
    nb::object index = pd.attr("RangeIndex")(first, first + count);
    return pd.attr("DataFrame")(float64_array(g, rows, count, (Py_ssize_t) columns), "columns"_a = names,
                                "index"_a = index, "copy"_a = true);
}

nb::dict Space::describe_space() const {
    nb::dict described;
    for (const Input& input : searched) {
        if (!input.discrete) {
            described[input.name] = nb::make_tuple(input.low, input.high);
            continue;
        }
        nb::list values;
        for (double value : input.values) values.append(value);
        described[input.name] = values;
    }
    return described;
}

nb::dict Space::describe_fixed() const {
    nb::dict described;
    for (size_t i = 0; i < fixed_names.size(); ++i) described[fixed_names[i]] = nb::float_(fixed_values[i]);
    return described;
}

}  // namespace korva::curve::design
