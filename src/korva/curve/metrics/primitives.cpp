// The four primitives the figures are made of, on one curve at a time (the kernels the per-device
// figures call), and their public forms over a 1-D curve or an (m, n) array of curves, one per row.
#include "korva/curve/metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

Crossing cross(const double* x, const double* y, Py_ssize_t n, double level) {
    if (std::isnan(level)) return {nan, Reach::undefined};
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (std::isnan(y[k])) return {nan, Reach::undefined};
        if (y[k] < level) continue;
        if (k == 0) return {nan, Reach::starts_above};
        return {x[k - 1] + (level - y[k - 1]) * (x[k] - x[k - 1]) / (y[k] - y[k - 1]), Reach::crossed};
    }
    return {nan, Reach::never};
}

Interpolation::Interpolation(const double* x, Py_ssize_t n, double x0) {
    if (n == 0 || !(x0 >= x[0] && x0 <= x[n - 1])) return;
    left_ = (Py_ssize_t) (std::upper_bound(x, x + n, x0) - x) - 1;  // the last point at or before x0
    if (x[left_] == x0 || left_ == n - 1) {
        on_point_ = true;
        return;
    }
    weight_ = (x0 - x[left_]) / (x[left_ + 1] - x[left_]);
}

double Interpolation::operator()(const double* y) const {
    if (left_ < 0) return nan;
    if (on_point_) return y[left_];
    return y[left_] + weight_ * (y[left_ + 1] - y[left_]);
}

double swing(const double* x, const double* y, Py_ssize_t n, double level, double decades) {
    // Two passes (means, then centred sums): the slope of a few points stays exact to rounding.
    double floor = level - decades, sum_x = 0.0, sum_y = 0.0;
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (y[i] >= floor && y[i] <= level) {
            sum_x += x[i];
            sum_y += y[i];
            ++count;
        }
    if (count < 3) return nan;
    double mean_x = sum_x / count, mean_y = sum_y / count, sxy = 0.0, sxx = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (y[i] >= floor && y[i] <= level) {
            double dx = x[i] - mean_x;
            sxy += dx * (y[i] - mean_y);
            sxx += dx * dx;
        }
    double slope = sxy / sxx;
    return slope > 0.0 ? 1000.0 / slope : nan;
}

Resistance::Resistance(const double* x, Py_ssize_t n, Py_ssize_t points) {
    for (Py_ssize_t i = 0; i < n && (Py_ssize_t) rows_.size() < points; ++i)
        if (x[i] > 0.0) {
            rows_.push_back(i);
            x_.push_back(x[i]);
        }
    if ((Py_ssize_t) rows_.size() < points) rows_.clear();  // fewer points than asked for: NaN
    current_.resize(rows_.size());
}

double Resistance::operator()(const double* y) {
    size_t count = rows_.size();
    if (count < 2) return nan;
    double mean_x = 0.0, mean_i = 0.0;
    for (size_t i = 0; i < count; ++i) {
        current_[i] = std::pow(10.0, y[rows_[i]]);
        mean_x += x_[i];
        mean_i += current_[i];
    }
    mean_x /= (double) count;
    mean_i /= (double) count;
    double sxy = 0.0, sxx = 0.0;
    for (size_t i = 0; i < count; ++i) {
        double dx = x_[i] - mean_x;
        sxy += dx * (current_[i] - mean_i);
        sxx += dx * dx;
    }
    double slope = sxy / sxx;
    return slope > 0.0 ? 1.0 / slope : nan;
}

namespace {

// x as a 1-D float64 array and y as one curve per row over it.
struct Curves {
    Curves(const py::Call& g, nb::handle x_given, nb::handle y_given) {
        nb::object np = g("np");
        nb::object float64 = np.attr("float64");
        x_array = np.attr("ascontiguousarray")(x_given, "dtype"_a = float64);
        y_array = np.attr("ascontiguousarray")(y_given, "dtype"_a = float64);
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
        x = std::make_unique<core::Float64Array>(x_array, ndarray, 1);
        y = std::make_unique<core::Float64Array>(y_array, ndarray, (int) y_dims);
        single = y_dims == 1;
        n = x->shape(0);
        rows = single ? 1 : y->shape(0);
        Py_ssize_t points = y->shape(single ? 0 : 1);
        if (points != n) {
            PyErr_Format(PyExc_ValueError, "y must have len(x) = %zd points per curve, not %zd", n, points);
            throw nb::python_error();
        }
    }

    const double* x_data() const { return x->contiguous(); }
    const double* row(Py_ssize_t i) const { return y->contiguous() + i * n; }

    nb::object x_array, y_array;
    std::unique_ptr<core::Float64Array> x, y;
    Py_ssize_t n = 0, rows = 0;
    bool single = false;
};

// A scalar parameter, or one value per curve.
struct PerCurve {
    PerCurve(const py::Call& g, const char* name, nb::handle given, const Curves& curves) {
        nb::object np = g("np");
        array = np.attr("asarray")(given, "dtype"_a = np.attr("float64"));  // ascontiguousarray makes 0-D 1-D
        Py_ssize_t dims = nb::cast<Py_ssize_t>(array.attr("ndim"));
        if (dims == 0) {
            value = nb::cast<double>(array.attr("item")());
            return;
        }
        if (dims == 1 && !curves.single) {
            array = np.attr("ascontiguousarray")(array);
            view = std::make_unique<core::Float64Array>(array, np.attr("ndarray"), 1);
            if (view->shape(0) == curves.rows) return;
        }
        nb::object shape = array.attr("shape");
        PyErr_Format(PyExc_ValueError, "%s must be a number or one value per curve (%zd,), not of shape %R", name,
                     curves.rows, shape.ptr());
        throw nb::python_error();
    }

    bool each() const { return view != nullptr; }
    double operator[](Py_ssize_t i) const { return view ? view->contiguous()[i] : value; }

    nb::object array;
    std::unique_ptr<core::Float64Array> view;
    double value = nan;
};

// The result of one value per curve: a float for one curve, else an (m,) float64 array.
template <class PerRow>
nb::object per_row(const py::Call& g, const Curves& curves, PerRow&& compute) {
    if (curves.single) return nb::float_(compute(Py_ssize_t(0)));
    nb::object np = g("np"), ndarray = np.attr("ndarray");
    nb::object out = core::empty(np, ndarray, {curves.rows});
    core::Float64Array view(out, ndarray, 1, true);  // held while the values are written
    double* values = view.contiguous();
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
    nb::handle points = g[2];
    if (!PyLong_Check(points.ptr()) || PyBool_Check(points.ptr())) {
        PyErr_Format(PyExc_TypeError, "points must be an int, not %.200s", Py_TYPE(points.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t count = PyLong_AsSsize_t(points.ptr());
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "points must be at least 2, not %zd", count);
        throw nb::python_error();
    }
    Curves curves(g, g[0], g[1]);
    Resistance resistance(curves.x_data(), curves.n, count);
    return per_row(g, curves, [&](Py_ssize_t i) { return resistance(curves.row(i)); });
}

}  // namespace korva::curve::metrics
