// The targets of a search: objectives to minimise or maximise, constraints as bounds on figures,
// and `robust`, the number of standard deviations of the models' spread a design must clear. A
// generation's figures become what the search compares: objectives on the side that counts
// against a design, and how far it lies outside the constraints.
#include "korva/curve/design/design.hpp"

#include <algorithm>
#include <cmath>

namespace korva::curve::design {

namespace {

bool is_direction(nb::handle value, const char* direction) {
    return PyUnicode_Check(value.ptr()) && py::equals(value, direction);
}

// One end of a constraint: None (open) or a finite number.
double read_end(const py::Call& g, nb::handle value, double open, const char* what) {
    return value.is_none() ? open : read_real(g, value, what);
}

}  // namespace

Goals read_goals(const py::Call& g, nb::handle objectives, nb::handle constraints, nb::handle robust) {
    Goals goals;
    goals.robust = read_real(g, robust, "robust");
    if (goals.robust < 0.0) {
        PyErr_Format(PyExc_ValueError, "robust must be a number of standard deviations >= 0, not %R", robust.ptr());
        throw nb::python_error();
    }

    for (nb::handle item : dict_items(objectives, "objectives", "figure -> 'min' or 'max'")) {
        nb::object figure = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::object direction = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        if (!is_direction(direction, "min") && !is_direction(direction, "max")) {
            PyErr_Format(PyExc_ValueError, "objectives[%R] must be 'min' or 'max', not %R", figure.ptr(),
                         direction.ptr());
            throw nb::python_error();
        }
        goals.objectives.push_back({figure, is_direction(direction, "max")});
    }
    if (goals.objectives.empty() || goals.objectives.size() > 3) {
        PyErr_Format(PyExc_ValueError, "objectives must name one to three figures, not %zu",
                     goals.objectives.size());
        throw nb::python_error();
    }

    if (constraints.is_none()) return goals;
    for (nb::handle item : dict_items(constraints, "constraints", "figure -> (low, high)")) {
        nb::object figure = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::object bounds = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        nb::object what = py::f_string("constraints[", nb::repr(figure), "]");
        const char* label = PyUnicode_AsUTF8(what.ptr());
        if (!label) throw nb::python_error();
        if (!(PyTuple_Check(bounds.ptr()) || PyList_Check(bounds.ptr())) || PySequence_Size(bounds.ptr()) != 2) {
            PyErr_Format(PyExc_ValueError, "%s must be (low, high), with None for an open end, not %R", label,
                         bounds.ptr());
            throw nb::python_error();
        }
        nb::object low = bounds[0], high = bounds[1];
        Bound bound{figure};
        bound.low = read_end(g, low, -infinity, label);
        bound.high = read_end(g, high, infinity, label);
        if (low.is_none() && high.is_none()) {
            PyErr_Format(PyExc_ValueError, "%s bounds nothing: (None, None)", label);
            throw nb::python_error();
        }
        if (!(bound.low < bound.high)) {
            PyErr_Format(PyExc_ValueError, "%s is an %s range: %R (low must be below high)", label,
                         bound.low == bound.high ? "empty" : "inverted", bounds.ptr());
            throw nb::python_error();
        }
        // Violations of different figures add up in units of each constraint's own size.
        if (std::isfinite(bound.low) && std::isfinite(bound.high))
            bound.scale = bound.high - bound.low;
        else
            bound.scale = std::fabs(std::isfinite(bound.low) ? bound.low : bound.high);
        if (!(bound.scale > 0.0) || !std::isfinite(bound.scale)) bound.scale = 1.0;
        goals.constraints.push_back(bound);
    }
    return goals;
}

Scores score(const py::Call& g, const Goals& goals, nb::handle figures, Py_ssize_t rows) {
    size_t n = (size_t) rows, m = goals.objectives.size(), c = goals.constraints.size();
    double k = goals.robust;
    // A figure and its spread; with robust=0 the spread is not read (a NaN there does not matter).
    auto read = [&](const nb::object& figure, std::vector<double>& value, std::vector<double>& spread) {
        value = read_column(g, figures, figure, rows);
        spread = k > 0.0 ? read_column(g, figures, figure + py::s("_std"), rows) : std::vector<double>(n, 0.0);
    };
    Scores scores;
    scores.objectives.assign(n * m, 0.0);
    scores.violation.assign(n, 0.0);
    scores.excess.assign(n * c, 0.0);
    std::vector<double> value, spread;
    for (size_t j = 0; j < m; ++j) {
        read(goals.objectives[j].figure, value, spread);
        bool maximise = goals.objectives[j].maximise;
        for (size_t i = 0; i < n; ++i) {
            double f = k > 0.0 ? (maximise ? -(value[i] - k * spread[i]) : value[i] + k * spread[i])
                               : (maximise ? -value[i] : value[i]);
            scores.objectives[i * m + j] = f;
            if (!std::isfinite(f)) scores.violation[i] = infinity;  // cannot be ranked
        }
    }
    for (size_t j = 0; j < c; ++j) {
        const Bound& bound = goals.constraints[j];
        read(bound.figure, value, spread);
        for (size_t i = 0; i < n; ++i) {
            double low_end = k > 0.0 ? value[i] - k * spread[i] : value[i];
            double high_end = k > 0.0 ? value[i] + k * spread[i] : value[i];
            double& excess = scores.excess[i * c + j];
            if (std::isnan(low_end) || std::isnan(high_end)) {
                excess = NAN;
                scores.violation[i] = infinity;
                continue;
            }
            excess = (low_end < bound.low ? bound.low - low_end : 0.0) +
                     (high_end > bound.high ? high_end - bound.high : 0.0);
            // However small the excess, the design stays infeasible: the share never rounds to 0.
            if (excess > 0.0)
                scores.violation[i] += std::max(excess / bound.scale, std::numeric_limits<double>::denorm_min());
        }
    }
    return scores;
}

}  // namespace korva::curve::design
