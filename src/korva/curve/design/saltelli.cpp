// Sobol indices from a Saltelli design: the first-order estimator of Saltelli et al. (2010) and
// Jansen's total-order estimator, on outputs normalised to zero mean and unit variance, with
// bootstrap confidence half-widths, computed in one fixed order whatever the machine.
#include "korva/curve/design/design.hpp"

#include <cmath>

namespace korva::curve::design {

namespace {

// The outputs of one base point: A, AB_1 .. AB_d, B.
struct Point {
    const double* y;
    size_t dims;
    double a() const { return y[0]; }
    double ab(size_t j) const { return y[1 + j]; }
    double b() const { return y[dims + 1]; }
};

struct Estimate {
    std::vector<double> s1, st;
};

// Both estimators over the base points picked by `rows` (base point indices).
template <class Rows>
Estimate estimate(const std::vector<Point>& points, const Rows& rows, size_t n, size_t dims) {
    // The variance of A and B together (ddof 0), about their mean.
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += points[rows(i)].a();
    for (size_t i = 0; i < n; ++i) sum += points[rows(i)].b();
    double mean = sum / (double) (2 * n), squares = 0.0;
    for (size_t i = 0; i < n; ++i) squares += (points[rows(i)].a() - mean) * (points[rows(i)].a() - mean);
    for (size_t i = 0; i < n; ++i) squares += (points[rows(i)].b() - mean) * (points[rows(i)].b() - mean);
    double variance = squares / (double) (2 * n);
    Estimate e{std::vector<double>(dims), std::vector<double>(dims)};
    for (size_t j = 0; j < dims; ++j) {
        double first = 0.0, total = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const Point& p = points[rows(i)];
            first += p.b() * (p.ab(j) - p.a());
            total += (p.a() - p.ab(j)) * (p.a() - p.ab(j));
        }
        e.s1[j] = first / (double) n / variance;
        e.st[j] = 0.5 * (total / (double) n) / variance;
    }
    return e;
}

// The sample standard deviation (ddof 1) of each input's bootstrap values.
std::vector<double> spread(const std::vector<std::vector<double>>& values) {
    size_t r = values.size(), dims = values.empty() ? 0 : values[0].size();
    std::vector<double> result(dims, NAN);
    for (size_t j = 0; j < dims && r > 1; ++j) {
        double sum = 0.0;
        for (size_t k = 0; k < r; ++k) sum += values[k][j];
        double mean = sum / (double) r, squares = 0.0;
        for (size_t k = 0; k < r; ++k) squares += (values[k][j] - mean) * (values[k][j] - mean);
        result[j] = std::sqrt(squares / (double) (r - 1));
    }
    return result;
}

}  // namespace

Indices sobol_indices(const std::vector<double>& y, size_t dims, const std::vector<int64_t>& resample,
                      size_t resamples, double z) {
    size_t step = dims + 2, n = y.size() / step;
    // Normalised outputs: the estimators are biased for outputs far from zero mean.
    double sum = 0.0;
    for (double v : y) sum += v;
    double mean = sum / (double) y.size(), squares = 0.0;
    for (double v : y) squares += (v - mean) * (v - mean);
    double deviation = std::sqrt(squares / (double) y.size());
    std::vector<double> normal(y.size());
    for (size_t i = 0; i < y.size(); ++i) normal[i] = (y[i] - mean) / deviation;
    std::vector<Point> points;
    for (size_t i = 0; i < n; ++i) points.push_back({normal.data() + i * step, dims});

    Estimate whole = estimate(points, [](size_t i) { return i; }, n, dims);
    std::vector<std::vector<double>> s1(resamples), st(resamples);
    for (size_t k = 0; k < resamples; ++k) {
        // Resample k takes base points resample[i, k], i < n, as numpy's A[r] indexes them.
        Estimate e = estimate(points, [&](size_t i) { return (size_t) resample[i * resamples + k]; }, n, dims);
        s1[k] = std::move(e.s1);
        st[k] = std::move(e.st);
    }
    Indices indices{whole.s1, spread(s1), whole.st, spread(st)};
    for (size_t j = 0; j < dims; ++j) {
        indices.s1_conf[j] *= z;
        indices.st_conf[j] *= z;
    }
    return indices;
}

}  // namespace korva::curve::design
