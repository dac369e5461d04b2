// The primitives in their public form: x one increasing grid, y one curve (n,) or one per row
// (m, n), the result a float or an (m,) array (a pair of them for the primitives that give two
// values per curve). Each runs the kernel the figures run.
#include "korva/curve/metrics/metrics.hpp"

#include "korva/curve/core/core.hpp"

#include <cmath>
#include <limits>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// x as a 1-D float64 array and y as one curve per row over it.
struct Curves {
    Curves(const py::Call& g, nb::handle x_given, nb::handle y_given) {
        nb::object np = g("np");
        nb::object float64 = np.attr("float64");
        nb::object x_array = np.attr("ascontiguousarray")(x_given, "dtype"_a = float64);
        nb::object y_array = np.attr("ascontiguousarray")(y_given, "dtype"_a = float64);
        Py_ssize_t x_dims = nb::cast<Py_ssize_t>(x_array.attr("ndim"));
        Py_ssize_t y_dims = nb::cast<Py_ssize_t>(y_array.attr("ndim"));
        if (x_dims != 1) {
            PyErr_Format(PyExc_ValueError, "x must be one-dimensional, not %zd-dimensional", x_dims);
            throw nb::python_error();
        }
        if (y_dims != 1 && y_dims != 2) {
            PyErr_Format(PyExc_ValueError, "y must be one curve (n,) or one curve per row (m, n), not %zd-dimensional",
                         y_dims);
            throw nb::python_error();
        }
        nb::object ndarray = np.attr("ndarray");
        x = std::make_unique<Doubles>(x_array, ndarray, 1, "x");
        y = std::make_unique<Doubles>(y_array, ndarray, (int) y_dims, "y");
        single = y_dims == 1;
        n = x->shape(0);
        rows = single ? 1 : y->shape(0);
        Py_ssize_t points = y->shape(single ? 0 : 1);
        if (points != n) {
            PyErr_Format(PyExc_ValueError, "y must have len(x) = %zd points per curve, not %zd", n, points);
            throw nb::python_error();
        }
        const double* grid = x->data();
        for (Py_ssize_t i = 1; i < n; ++i)
            if (!(grid[i] >= grid[i - 1]))
                py::raise(PyExc_ValueError, "x must be increasing (each value at least the one before, no NaN)");
        if (n == 1 && std::isnan(grid[0])) py::raise(PyExc_ValueError, "x must not be NaN");
    }

    const double* x_data() const { return x->data(); }
    const double* row(Py_ssize_t i) const { return y->data() + i * n; }

    std::unique_ptr<Doubles> x, y;
    Py_ssize_t n = 0, rows = 0;
    bool single = false;
};

// A scalar parameter, or one value per curve.
struct PerCurve {
    PerCurve(const py::Call& g, const char* name, nb::handle given, const Curves& curves) {
        nb::object np = g("np");
        // asarray: ascontiguousarray makes a 0-D array 1-D
        nb::object array = np.attr("asarray")(given, "dtype"_a = np.attr("float64"));
        Py_ssize_t dims = nb::cast<Py_ssize_t>(array.attr("ndim"));
        if (dims == 0) {
            value = nb::cast<double>(array.attr("item")());
            return;
        }
        if (dims == 1 && !curves.single) {
            array = np.attr("ascontiguousarray")(array);
            view = std::make_unique<Doubles>(array, np.attr("ndarray"), 1, name);
            if (view->shape(0) == curves.rows) return;
        }
        nb::object shape = array.attr("shape");
        PyErr_Format(PyExc_ValueError, "%s must be a number or one value per curve (%zd,), not of shape %R", name,
                     curves.rows, shape.ptr());
        throw nb::python_error();
    }

    bool each() const { return view != nullptr; }
    double operator[](Py_ssize_t i) const { return view ? view->data()[i] : value; }

    std::unique_ptr<Doubles> view;
    double value = nan;
};

// The result of one value per curve: a float for one curve, else an (m,) float64 array.
template <class PerRow>
nb::object per_row(const py::Call& g, const Curves& curves, PerRow&& compute) {
    if (curves.single) return nb::float_(compute(Py_ssize_t(0)));
    nb::object np = g("np"), ndarray = np.attr("ndarray"), out;
    std::unique_ptr<core::Float64Array> view;  // held while the values are written
    try {
        out = core::empty(np, ndarray, {curves.rows});
        view = std::make_unique<core::Float64Array>(out, ndarray, 1, true);
    } catch (const core::NotVectorisable&) {
        py::raise(PyExc_RuntimeError, "np.empty gave another array than asked for");
    }
    double* values = view->contiguous();
    if (!values) py::raise(PyExc_RuntimeError, "np.empty gave another array than asked for");
    for (Py_ssize_t i = 0; i < curves.rows; ++i) values[i] = compute(i);
    return out;
}

double positive_number(nb::handle value, const char* name) {
    double number = nb::cast<double>(nb::float_(value));
    if (!(number > 0.0) || !std::isfinite(number)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite positive number, not %R", name, value.ptr());
        throw nb::python_error();
    }
    return number;
}

Py_ssize_t point_count(nb::handle points) {
    if (!PyLong_Check(points.ptr()) || PyBool_Check(points.ptr())) {
        PyErr_Format(PyExc_TypeError, "points must be an int, not %.200s", Py_TYPE(points.ptr())->tp_name);
        throw nb::python_error();
    }
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(points.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && count < 2))
        py::raise(PyExc_ValueError, nb::str("points must be at least 2, not {}").format(points));
    // More points than any grid has mean every point.
    return overflow > 0 || count > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : (Py_ssize_t) count;
}

}  // namespace

nb::object crossing(const py::Call& g) {
    Curves curves(g, g[0], g[1]);
    PerCurve level(g, "level", g[2], curves);
    return per_row(g, curves,
                   [&](Py_ssize_t i) { return cross(curves.x_data(), curves.row(i), curves.n, level[i]).x; });
}

nb::object value_at(const py::Call& g) {
    Curves curves(g, g[0], g[1]);
    PerCurve x0(g, "x0", g[2], curves);
    if (x0.each())
        return per_row(g, curves, [&](Py_ssize_t i) {
            return Interpolation(curves.x_data(), curves.n, x0[i])(curves.row(i));
        });
    Interpolation at(curves.x_data(), curves.n, x0[0]);
    return per_row(g, curves, [&](Py_ssize_t i) { return at(curves.row(i)); });
}

nb::object subthreshold_swing(const py::Call& g) {
    Curves curves(g, g[0], g[1]);
    PerCurve level(g, "level", g[2], curves);
    double decades = positive_number(g[3], "decades");
    return per_row(g, curves,
                   [&](Py_ssize_t i) { return swing(curves.x_data(), curves.row(i), curves.n, level[i], decades); });
}

nb::object on_resistance(const py::Call& g) {
    Py_ssize_t count = point_count(g[2]);
    Curves curves(g, g[0], g[1]);
    Resistance resistance(curves.x_data(), curves.n, count);
    return per_row(g, curves, [&](Py_ssize_t i) { return resistance(curves.row(i)); });
}

nb::object minimum_swing(const py::Call& g) {
    Curves curves(g, g[0], g[1]);
    PerCurve level(g, "level", g[2], curves);
    double decades = positive_number(g[3], "decades");
    Windows windows(curves.x_data(), curves.n);
    return per_row(g, curves, [&](Py_ssize_t i) {
        return lowest_swing(windows, curves.x_data(), curves.row(i), curves.n, level[i], decades);
    });
}

nb::object small_signal_resistance(const py::Call& g) {
    Py_ssize_t count = point_count(g[2]);
    Curves curves(g, g[0], g[1]);
    SmallSignal resistance(curves.x_data(), curves.n, count);
    std::vector<char> coarse((size_t) curves.rows);
    nb::object values = per_row(g, curves, [&](Py_ssize_t i) {
        SmallSignal::Value value = resistance(curves.row(i));
        coarse[i] = value.coarse;
        return value.ron;
    });
    if (curves.single) return nb::make_tuple(values, nb::bool_(coarse[0]));
    nb::object np = g("np");
    nb::bytes flags(coarse.data(), coarse.size());
    return nb::make_tuple(values, np.attr("frombuffer")(flags, "dtype"_a = np.attr("bool_")).attr("copy")());
}

nb::object max_gm_threshold(const py::Call& g) {
    Curves curves(g, g[0], g[1]);
    double vd = nb::cast<double>(nb::float_(g[2]));
    if (!std::isfinite(vd)) py::raise(PyExc_ValueError, "vd must be a finite number");
    Windows windows(curves.x_data(), curves.n);
    std::vector<double> gm((size_t) curves.rows), scratch;
    nb::object vth = per_row(g, curves, [&](Py_ssize_t i) {
        Extrapolation e = extrapolated_threshold(windows, curves.x_data(), curves.row(i), curves.n, vd, scratch);
        gm[i] = e.gm;
        return e.vth;
    });
    nb::object slopes = per_row(g, curves, [&](Py_ssize_t i) { return gm[i]; });
    return nb::make_tuple(vth, slopes);
}

}  // namespace korva::curve::metrics
