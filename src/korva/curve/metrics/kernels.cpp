// The kernels the figures are made of, one curve at a time (crossings, interpolation, the one
// least-squares line, swings, extrapolated threshold, on-resistances), and numpy's standard deviation.
#include "korva/curve/metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korva::curve::metrics {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A local fit takes the points within 80 mV of its centre: 5 points on a 37.5 mV grid, 3 on a
// 60 mV one, about a decade either side of a steep subthreshold slope.
constexpr double local_half_span = 0.08;
// The swing's region keeps half a decade clear of the lowest current under the level (a leakage
// floor, or the clipping of the training data).
constexpr double floor_clearance = 0.5;
// The on-resistance fit stops before the first chord conductance below 3/4 of the first point's:
// a square-law curve is then at most halfway to saturation.
constexpr double linear_region = 0.75;

// numpy's pairwise summation of float64 (the unrolled blocks of 8 up to 128 values, halves beyond).
double pairwise_sum(const double* a, size_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i) sum += a[i];
        return sum;
    }
    if (n <= 128) {
        double r[8];
        std::copy(a, a + 8, r);
        size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (size_t k = 0; k < 8; ++k) r[k] += a[i + k];
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += a[i];
        return sum;
    }
    size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

}  // namespace

Line fit_line(const double* x, const double* y, size_t n) {
    if (n < 2) return {nan, nan, nan};
    double sum_x = 0.0, sum_y = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum_x += x[i];
        sum_y += y[i];
    }
    double mean_x = sum_x / (double) n, mean_y = sum_y / (double) n, sxy = 0.0, sxx = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double dx = x[i] - mean_x;
        sxy += dx * (y[i] - mean_y);
        sxx += dx * dx;
    }
    return {sxy / sxx, mean_x, mean_y};
}

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
    double floor = level - decades;
    std::vector<double> xs, ys;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (y[i] >= floor && y[i] <= level) {
            xs.push_back(x[i]);
            ys.push_back(y[i]);
        }
    if (xs.size() < 3) return nan;
    double slope = fit_line(xs.data(), ys.data(), xs.size()).slope;
    return slope > 0.0 ? 1000.0 / slope : nan;
}

Windows::Windows(const double* x, Py_ssize_t n)
    : first_((size_t) n), last_((size_t) n), bound_((size_t) n, std::numeric_limits<double>::infinity()) {
    Py_ssize_t first = 0, last = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        while (x[i] - x[first] > local_half_span) ++first;
        if (last < i) last = i;
        while (last + 1 < n && x[last + 1] - x[i] <= local_half_span) ++last;
        first_[i] = first;
        last_[i] = last;
        if (!has(i)) continue;
        // A line through values v >= 0 rises at most max(v) * (sum of the positive x - mean) / Sxx.
        double mean = 0.0, sxx = 0.0, rising = 0.0;
        for (Py_ssize_t k = first; k <= last; ++k) mean += x[k];
        mean /= (double) (last - first + 1);
        for (Py_ssize_t k = first; k <= last; ++k) {
            double dx = x[k] - mean;
            sxx += dx * dx;
            if (dx > 0.0) rising += dx;
        }
        bound_[i] = std::log10(rising / sxx);  // +inf when every x is the same: never passed over
        if (!(bound_[i] <= highest_bound_)) highest_bound_ = bound_[i];
    }
}

double lowest_swing(const Windows& windows, const double* x, const double* y, Py_ssize_t n, double level,
                    double decades) {
    if (std::isnan(level)) return nan;
    Py_ssize_t end = 0;  // the region ends where the curve first reaches the level
    double lowest = std::numeric_limits<double>::infinity();
    for (; end < n && !(y[end] >= level); ++end) lowest = std::min(lowest, y[end]);  // NaN: not the lowest
    double bottom = std::max(lowest + floor_clearance, level - decades);
    double steepest = -std::numeric_limits<double>::infinity();
    for (Py_ssize_t i = 0; i < end; ++i)
        if (y[i] >= bottom && windows.has(i)) {
            Py_ssize_t first = windows.first(i);
            double slope = fit_line(x + first, y + first, (size_t) windows.size(i)).slope;
            if (slope > steepest) steepest = slope;
        }
    return steepest > 0.0 ? 1000.0 / steepest : nan;
}

Extrapolation extrapolated_threshold(const Windows& windows, const double* x, const double* y, Py_ssize_t n,
                                     double vd, std::vector<double>& scratch) {
    // gm from the local fit around each point, the tangent through the point itself. A window's
    // slope is at most 10**max(y) times its bound, so the windows that cannot reach the steepest
    // found so far (from the top end down, where it usually is) are passed over without their
    // currents, and so are all the lower ones once the highest y below them cannot.
    scratch.resize(2 * (size_t) n);
    double *highest = scratch.data(), *current = scratch.data() + n;
    for (Py_ssize_t i = 0; i < n; ++i) highest[i] = i == 0 || y[i] > highest[i - 1] ? y[i] : highest[i - 1];
    double steepest = -std::numeric_limits<double>::infinity(), needed = steepest;
    Py_ssize_t at = -1;
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (!windows.has(i)) continue;
        Py_ssize_t first = windows.first(i), size = windows.size(i);
        if (highest[first + size - 1] + windows.highest_bound() < needed) break;
        double top = y[first];
        for (Py_ssize_t k = 1; k < size; ++k) top = y[first + k] > top ? y[first + k] : top;
        if (top + windows.bound(i) < needed) continue;
        for (Py_ssize_t k = first; k < first + size; ++k) current[k] = std::pow(10.0, y[k]);
        double slope = fit_line(x + first, current + first, (size_t) size).slope;
        if (slope >= steepest) {  // from the top down: a tie goes to the lower point
            steepest = slope;
            at = i;
            needed = std::log10(slope) - 1e-9;  // rounding margin
        }
    }
    if (!(steepest > 0.0)) return {nan, nan};
    return {x[at] - std::pow(10.0, y[at]) / steepest - vd / 2.0, steepest};
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
    if (rows_.size() < 2) return nan;
    for (size_t i = 0; i < rows_.size(); ++i) current_[i] = std::pow(10.0, y[rows_[i]]);
    double slope = fit_line(x_.data(), current_.data(), rows_.size()).slope;
    return slope > 0.0 ? 1.0 / slope : nan;
}

SmallSignal::SmallSignal(const double* x, Py_ssize_t n, Py_ssize_t points)
    : needed_((size_t) std::min<Py_ssize_t>(3, points)) {
    for (Py_ssize_t i = 0; i < n && (Py_ssize_t) rows_.size() < points; ++i)
        if (x[i] > 0.0) {
            rows_.push_back(i);
            x_.push_back(x[i]);
        }
    chord_.resize(rows_.size());
}

SmallSignal::Value SmallSignal::operator()(const double* y) {
    if (rows_.empty()) return {nan, false};
    double first = std::pow(10.0, y[rows_[0]]) / x_[0];
    if (!(first > 0.0) || !std::isfinite(first)) return {nan, false};
    size_t linear = 0;
    for (; linear < rows_.size(); ++linear) {
        chord_[linear] = std::pow(10.0, y[rows_[linear]]) / x_[linear];
        if (!(chord_[linear] >= linear_region * first) || !std::isfinite(chord_[linear])) break;
    }
    if (linear < needed_) return {1.0 / first, true};
    double conductance = fit_line(x_.data(), chord_.data(), linear).at_zero();
    return {conductance > 0.0 ? 1.0 / conductance : nan, false};
}

double numpy_std(double* values, size_t n) {
    // As np.std: the mean, then the mean of the squared deviations, each a reduction that starts
    // from 0 and adds the pairwise sum of all the values.
    double mean = (0.0 + pairwise_sum(values, n)) / (double) n;
    for (size_t i = 0; i < n; ++i) {
        double d = values[i] - mean;
        values[i] = d * d;
    }
    return std::sqrt((0.0 + pairwise_sum(values, n)) / (double) n);
}

}  // namespace korva::curve::metrics
