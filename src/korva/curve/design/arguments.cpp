// The plain arguments of korva.curve.design's functions: numbers, counts, seeds and lists of names,
// refused with the interpreter's usual exception types before anything is predicted.
#include "korva/curve/design/design.hpp"

#include <cmath>

namespace korva::curve::design {

double read_real(const py::Call& g, nb::handle value, const char* what) {
    // numbers.Real takes ints, floats, fractions and numpy's scalars; a bool is a flag, not a number.
    bool real = !PyBool_Check(value.ptr()) && py::truthy(g("isinstance")(value, py::import("numbers").attr("Real")));
    if (!real) {
        PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.200s", what, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object as_float = nb::steal(PyNumber_Float(value.ptr()));
    if (!as_float.is_valid()) throw nb::python_error();
    double number = PyFloat_AsDouble(as_float.ptr());
    if (!std::isfinite(number)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number, not %R", what, value.ptr());
        throw nb::python_error();
    }
    return number;
}

namespace {

// operator.index(value) for an int-like value that is not a bool; TypeError naming `what` otherwise.
nb::object read_int(nb::handle value, const char* what) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", what, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object number = nb::steal(PyNumber_Index(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    return number;
}

}  // namespace

Py_ssize_t read_count(nb::handle value, const char* what, Py_ssize_t minimum) {
    nb::object number = read_int(value, what);
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0 || count > PY_SSIZE_T_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s is too large: %R", what, number.ptr());
        throw nb::python_error();
    }
    if (overflow < 0 || count < minimum) {
        PyErr_Format(PyExc_ValueError, "%s must be at least %zd, not %R", what, minimum, number.ptr());
        throw nb::python_error();
    }
    return (Py_ssize_t) count;
}

nb::object read_seed(const py::Call& g, nb::handle seed) {
    // A fresh seed is drawn as numpy draws one, and reported, so that the run can be repeated.
    if (seed.is_none()) return g("np").attr("random").attr("SeedSequence")().attr("entropy");
    nb::object number = read_int(seed, "seed");
    if (py::compare(number, nb::int_(0), Py_LT)) {
        PyErr_Format(PyExc_ValueError, "seed must be a non-negative int or None, not %R", number.ptr());
        throw nb::python_error();
    }
    return number;
}

nb::list dict_items(nb::handle mapping, const char* what, const char* of) {
    if (!PyDict_Check(mapping.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be a dict of %s, not %.200s", what, of, Py_TYPE(mapping.ptr())->tp_name);
        throw nb::python_error();
    }
    // The dict's own items, whatever a subclass makes of items(): a list of (key, value) pairs.
    nb::list items = nb::steal<nb::list>(PyDict_Items(mapping.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    return items;
}

std::vector<nb::object> read_names(const py::Call& g, nb::handle given, const char* what) {
    std::vector<nb::object> names;
    if (PyUnicode_Check(given.ptr())) {
        names.push_back(nb::borrow(given));
        return names;
    }
    for (nb::handle name : g("list")(given)) {
        if (!PyUnicode_Check(name.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s must name figures by str, not %.200s", what, Py_TYPE(name.ptr())->tp_name);
            throw nb::python_error();
        }
        for (const nb::object& earlier : names)
            if (py::equals(earlier, name)) {
                PyErr_Format(PyExc_ValueError, "%s names %R twice", what, name.ptr());
                throw nb::python_error();
            }
        names.push_back(nb::borrow(name));
    }
    if (names.empty()) {
        PyErr_Format(PyExc_ValueError, "%s names no figure", what);
        throw nb::python_error();
    }
    return names;
}

}  // namespace korva::curve::design
