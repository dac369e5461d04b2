// korva.curve.metrics.pareto_front: the rows of a frame that no other row dominates on the named
// columns. The rows are sorted lexicographically (every objective turned into one to minimise), so
// a row can only be dominated by rows before it: two objectives take one sweep, more take a
// comparison with the front found so far.
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

}  // namespace

nb::object pareto_front(const py::Call& g) {
    nb::handle frame = g[0];
    std::vector<nb::object> minimize = names_of(g, g[1]), maximize = names_of(g, g[2]);
    size_t k = minimize.size() + maximize.size();
    if (k == 0) py::raise(PyExc_ValueError, "pareto_front needs at least one column to minimize or maximize");
    nb::object columns = frame.attr("columns");
    for (const auto* list : {&minimize, &maximize})
        for (const nb::object& name : *list)
            if (!py::contains(columns, name)) py::raise(PyExc_KeyError, name);

    // The objectives row by row, maximised ones negated.
    nb::object np = g("np"), ndarray = np.attr("ndarray");
    Py_ssize_t n = (Py_ssize_t) nb::len(frame);
    std::vector<double> objectives((size_t) n * k);
    for (size_t j = 0; j < k; ++j) {
        bool maximised = j >= minimize.size();
        const nb::object& name = maximised ? maximize[j - minimize.size()] : minimize[j];
        nb::object values = np.attr("ascontiguousarray")(frame[name].attr("to_numpy")("dtype"_a = np.attr("float64")),
                                                         "dtype"_a = np.attr("float64"));
        core::Float64Array column(values, ndarray, 1);
        if (column.shape(0) != n) py::raise(PyExc_ValueError, "a named column must hold one value per row");
        for (Py_ssize_t i = 0; i < n; ++i) objectives[i * k + j] = maximised ? -column.at(i) : column.at(i);
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
        for (size_t start = 0, stop; start < order.size(); start = stop) {
            double first = objectives[order[start] * 2], group_best = objectives[order[start] * 2 + 1];
            for (stop = start; stop < order.size() && objectives[order[stop] * 2] == first; ++stop) {
                double second = objectives[order[stop] * 2 + 1];
                front[order[stop]] = !(best_before <= second) && !(group_best < second);
            }
            best_before = std::min(best_before, group_best);
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
    nb::bytes flags(front.data(), front.size());
    nb::object mask = np.attr("frombuffer")(flags, "dtype"_a = np.attr("bool_")).attr("copy")();
    return g("pd").attr("Series")(mask, "index"_a = frame.attr("index"), "name"_a = "pareto_front");
}

}  // namespace korva::curve::metrics
