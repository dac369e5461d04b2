// korva.curve.metrics.pareto_front: the rows of a frame that no other row dominates on the named
// columns. The rows are sorted lexicographically (every objective turned into one to minimise), so
// a row can only be dominated by rows before it: two objectives take one sweep, more take a
// comparison with the front found so far. With a tolerance, the rows that no row of that front
// dominates by more than the tolerance (a row that dominates by more has one on the front that does).
#include "korva/curve/metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

// The names in `given`: one column name, or an iterable of them.
std::vector<nb::object> names_of(const py::Call& g, nb::handle given) {
    std::vector<nb::object> names;
    if (PyUnicode_Check(given.ptr())) {
        names.push_back(nb::borrow(given));
        return names;
    }
    for (nb::handle name : g("list")(given)) names.push_back(nb::borrow(name));
    return names;
}

// a dominates b: no worse anywhere, better somewhere.
bool dominates(const double* a, const double* b, size_t k) {
    bool better = false;
    for (size_t i = 0; i < k; ++i) {
        if (a[i] > b[i]) return false;
        if (a[i] < b[i]) better = true;
    }
    return better;
}

// a dominates b by more than the tolerance: worse nowhere by more than it, better somewhere by more.
bool dominates_beyond(const double* a, const double* b, const double* tolerance, size_t k) {
    bool better = false;
    for (size_t i = 0; i < k; ++i) {
        if (a[i] > b[i] + tolerance[i]) return false;
        if (a[i] < b[i] - tolerance[i]) better = true;
    }
    return better;
}

// The values of one named column, one per row.
std::unique_ptr<Doubles> column_of(const py::Call& g, nb::handle frame, nb::handle name, Py_ssize_t rows) {
    nb::object np = g("np");
    nb::object column = frame[name];
    if (!py::truthy(g("isinstance")(column, g("pd").attr("Series"))))
        py::raise(PyExc_ValueError,
                  nb::str("column {!r} is repeated in frame: pareto_front needs one column per name").format(name));
    nb::object values = np.attr("ascontiguousarray")(column.attr("to_numpy")("dtype"_a = np.attr("float64")),
                                                     "dtype"_a = np.attr("float64"));
    auto doubles = std::make_unique<Doubles>(values, np.attr("ndarray"), 1, "a named column");
    doubles->expect({rows}, "a named column");
    return doubles;
}

double finite_at_least_zero(const py::Call& g, nb::handle value, nb::handle name) {
    nb::object real = py::import_from("numbers", "Real");
    double number = std::numeric_limits<double>::quiet_NaN();
    if (!PyBool_Check(value.ptr()) && py::truthy(g("isinstance")(value, real)))
        number = nb::cast<double>(nb::float_(value));
    if (!(number >= 0.0) || !std::isfinite(number))
        py::raise(PyExc_ValueError, nb::str("{} must be a finite number >= 0, not {!r}").format(name, value));
    return number;
}

}  // namespace

nb::object pareto_front(const py::Call& g) {
    nb::handle frame = g[0];
    std::vector<nb::object> minimize = names_of(g, g[1]), maximize = names_of(g, g[2]);
    size_t k = minimize.size() + maximize.size();
    if (k == 0) py::raise(PyExc_ValueError, "pareto_front needs at least one column to minimize or maximize");
    std::vector<nb::object> names = minimize;
    names.insert(names.end(), maximize.begin(), maximize.end());
    nb::object columns = frame.attr("columns");
    for (const nb::object& name : names)
        if (!py::contains(columns, name)) py::raise(PyExc_KeyError, name);

    double robust = finite_at_least_zero(g, g[4], nb::str("robust"));
    std::vector<double> tolerance(k, 0.0);
    bool tolerant = !g[3].is_none();
    if (tolerant) {
        if (!PyDict_Check(g[3].ptr())) {
            PyErr_Format(PyExc_TypeError, "tolerance must be a dict {column: tolerance} or None, not %.200s",
                         Py_TYPE(g[3].ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object items = nb::steal(PyDict_Items(g[3].ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle item : items) {
            bool named = false;
            for (size_t j = 0; j < k; ++j)
                if (py::equals(names[j], item[0])) {
                    tolerance[j] = finite_at_least_zero(g, item[1], nb::str("the tolerance of {!r}").format(item[0]));
                    named = true;
                }
            if (!named)
                py::raise(PyExc_ValueError,
                          nb::str("tolerance names {!r}, which is not a column to minimize or maximize")
                              .format(item[0]));
        }
    }

    // The objectives row by row, each turned into one to minimise: maximised ones negated, and with
    // `robust`, each taken k standard deviations towards its worse side.
    Py_ssize_t n = (Py_ssize_t) nb::len(frame);
    std::vector<double> objectives((size_t) n * k);
    for (size_t j = 0; j < k; ++j) {
        double sign = j >= minimize.size() ? -1.0 : 1.0;
        std::unique_ptr<Doubles> values = column_of(g, frame, names[j], n), spread;
        if (robust > 0.0) {
            nb::object std_name = py::f_string("", names[j], "_std");
            if (!py::contains(columns, std_name))
                py::raise(PyExc_KeyError, nb::str("robust needs the column {!r}").format(std_name));
            spread = column_of(g, frame, std_name, n);
        }
        for (Py_ssize_t i = 0; i < n; ++i)
            objectives[i * k + j] = sign * values->data()[i] + (spread ? robust * spread->data()[i] : 0.0);
    }

    std::vector<Py_ssize_t> order;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double* row = objectives.data() + i * k;
        if (std::all_of(row, row + k, [](double v) { return !std::isnan(v); })) order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
        const double *ra = objectives.data() + a * k, *rb = objectives.data() + b * k;
        return std::lexicographical_compare(ra, ra + k, rb, rb + k);
    });

    std::vector<char> front((size_t) n, 0);
    if (k == 1) {
        for (Py_ssize_t i : order) front[i] = objectives[i] == objectives[order.front()];
    } else if (k == 2) {
        // By groups of equal first objective: a row is dominated by an earlier group with a second
        // objective no worse, or by its own group's first row when that one's is better.
        double best_before = std::numeric_limits<double>::infinity();
        bool any_before = false;
        for (size_t start = 0, stop; start < order.size(); start = stop) {
            double first = objectives[order[start] * 2], group_best = objectives[order[start] * 2 + 1];
            for (stop = start; stop < order.size() && objectives[order[stop] * 2] == first; ++stop) {
                double second = objectives[order[stop] * 2 + 1];
                front[order[stop]] = !(any_before && best_before <= second) && !(group_best < second);
            }
            best_before = std::min(best_before, group_best);
            any_before = true;
        }
    } else {
        std::vector<Py_ssize_t> found;
        for (Py_ssize_t i : order) {
            const double* row = objectives.data() + i * k;
            bool dominated = std::any_of(found.begin(), found.end(),
                                         [&](Py_ssize_t f) { return dominates(objectives.data() + f * k, row, k); });
            if (!dominated) {
                found.push_back(i);
                front[i] = 1;
            }
        }
    }
    if (tolerant) {
        std::vector<Py_ssize_t> strict;
        for (Py_ssize_t i : order)
            if (front[i]) strict.push_back(i);
        for (Py_ssize_t i : order) {
            const double* row = objectives.data() + i * k;
            front[i] = std::none_of(strict.begin(), strict.end(), [&](Py_ssize_t f) {
                return dominates_beyond(objectives.data() + f * k, row, tolerance.data(), k);
            });
        }
    }
    nb::object np = g("np");
    nb::bytes flags(front.data(), front.size());
    nb::object mask = np.attr("frombuffer")(flags, "dtype"_a = np.attr("bool_")).attr("copy")();
    return g("pd").attr("Series")(mask, "index"_a = frame.attr("index"), "name"_a = "pareto_front");
}

}  // namespace korva::curve::metrics
