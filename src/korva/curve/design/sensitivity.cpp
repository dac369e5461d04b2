// korva.curve.design.sensitivity: first-order and total Sobol indices of figures of merit with
// respect to the searched inputs, from a Saltelli design on a scrambled Sobol sequence predicted in
// one predict_device_metrics call, as a tidy frame (one row per figure and input).
#include "korva/curve/design/design.hpp"

#include <cmath>

namespace korva::curve::design {

namespace {

constexpr size_t resamples = 100;           // bootstrap resamples of the base points
constexpr double confidence_level = 0.95;
constexpr double z_value = 1.959963984540054;  // the normal quantile at 0.5 + confidence_level / 2

struct SensitivityRequest {
    Predictor predictor;
    Space space;
    std::vector<nb::object> figures;
    Py_ssize_t samples = 0;
    nb::object seed;
};

// sensitivity(models, device_type, space, figures, *, fixed=None, criteria=None, config=None,
// samples=1024, seed=None, exact=False, n_jobs=None, progress=False): every argument checked
// before anything is predicted.
SensitivityRequest read_request(const py::Call& g) {
    SensitivityRequest r;
    r.predictor = {.models = g[0], .device_type = g[1], .config = g[6], .criteria = g[5], .exact = g[9],
                   .n_jobs = g[10], .progress = py::truthy(g[11])};
    r.figures = read_names(g, g[3], "figures");
    r.samples = read_count(g[7], "samples", 2);
    r.seed = read_seed(g, g[8]);
    r.space = read_space(g, g[2], g[4], r.predictor.device_type, r.predictor.config);
    std::vector<std::string> available = r.predictor.figures(g, r.space);
    for (const nb::object& figure : r.figures) check_figure(figure, available, "figures");
    return r;
}

// The Saltelli design in the unit cube, base point after base point: A, A with column j taken
// from B for each input j, B; A and B are the two halves of a 2d-dimensional scrambled Sobol
// sample drawn from numpy's default_rng(seed).
std::vector<double> saltelli_design(const py::Call& g, size_t dims, size_t samples, nb::handle seed) {
    nb::object rng = g("np").attr("random").attr("default_rng")(seed);
    nb::object base = g("qmc").attr("Sobol")(2 * dims, "scramble"_a = true, "rng"_a = rng).attr("random")(samples);
    std::vector<double> ab = copy_float64(base, {(Py_ssize_t) samples, (Py_ssize_t) (2 * dims)}, "the Sobol sample");
    for (double u : ab)
        if (!(u >= 0.0 && u <= 1.0)) py::raise(PyExc_RuntimeError, "the Sobol sample left the unit cube");
    size_t step = dims + 2;
    std::vector<double> unit(samples * step * dims);
    for (size_t i = 0; i < samples; ++i) {
        const double *a = &ab[i * 2 * dims], *b = a + dims;
        double* rows = &unit[i * step * dims];
        for (size_t k = 0; k < step; ++k)
            for (size_t j = 0; j < dims; ++j) {
                bool from_b = k == step - 1 || k == j + 1;
                rows[k * dims + j] = from_b ? b[j] : a[j];
            }
    }
    return unit;
}

// The indices of one figure over the base points whose every output is finite; the share of base
// points dropped is reported.
Indices figure_indices(const py::Call& g, const std::vector<double>& y, size_t dims, nb::handle seed,
                       double& dropped) {
    size_t step = dims + 2, n = y.size() / step;
    std::vector<double> kept;
    for (size_t i = 0; i < n; ++i) {
        bool complete = true;
        for (size_t k = 0; k < step; ++k) complete = complete && std::isfinite(y[i * step + k]);
        if (complete) kept.insert(kept.end(), y.begin() + (std::ptrdiff_t) (i * step),
                                  y.begin() + (std::ptrdiff_t) ((i + 1) * step));
    }
    size_t count = kept.size() / step;
    dropped = (double) (n - count) / (double) n;
    if (count < 2) {
        std::vector<double> none(dims, NAN);
        return {none, none, none, none};
    }
    // The resamples as numpy's default_rng(seed) draws them for `count` base points.
    nb::object rng = g("np").attr("random").attr("default_rng")(seed);
    nb::object draws = rng.attr("integers")(count, "size"_a = nb::make_tuple(count, resamples), "dtype"_a = g("np").attr("int64"));
    std::vector<int64_t> resample = copy_int64(draws, {(Py_ssize_t) count, (Py_ssize_t) resamples}, "the bootstrap resamples");
    for (int64_t row : resample)
        if (row < 0 || (size_t) row >= count) py::raise(PyExc_RuntimeError, "a bootstrap resample left the sample");
    return sobol_indices(kept, dims, resample, resamples, z_value);
}

}  // namespace

nb::object sensitivity(const py::Call& g) {
    // 1. The request, checked before anything is predicted.
    SensitivityRequest request = read_request(g);
    size_t dims = request.space.dims(), samples = (size_t) request.samples;

    // 2. The Saltelli design's figures, in one call.
    std::vector<double> unit = saltelli_design(g, dims, samples, request.seed);
    Py_ssize_t rows = (Py_ssize_t) (samples * (dims + 2));
    nb::object devices = request.space.devices(g, unit.data(), rows, 0);
    nb::object figures = request.predictor.predict(g, devices, true);

    // 3. The indices of each figure, one row per figure and input.
    nb::list figure_column, input_column;
    std::vector<double> s1, s1_conf, st, st_conf;
    nb::dict dropped;
    for (const nb::object& figure : request.figures) {
        double share = 0.0;
        Indices indices = figure_indices(g, read_column(g, figures, figure, rows), dims, request.seed, share);
        dropped[figure] = share;
        for (size_t j = 0; j < dims; ++j) {
            figure_column.append(figure);
            input_column.append(request.space.searched[j].name);
        }
        s1.insert(s1.end(), indices.s1.begin(), indices.s1.end());
        s1_conf.insert(s1_conf.end(), indices.s1_conf.begin(), indices.s1_conf.end());
        st.insert(st.end(), indices.st.begin(), indices.st.end());
        st_conf.insert(st_conf.end(), indices.st_conf.begin(), indices.st_conf.end());
    }
    nb::dict columns;
    columns["figure"] = figure_column;
    columns["input"] = input_column;
    Py_ssize_t n = (Py_ssize_t) s1.size();
    columns["S1"] = float64_array(g, s1, n, 1).attr("ravel")();
    columns["S1_conf"] = float64_array(g, s1_conf, n, 1).attr("ravel")();
    columns["ST"] = float64_array(g, st, n, 1).attr("ravel")();
    columns["ST_conf"] = float64_array(g, st_conf, n, 1).attr("ravel")();
    nb::object frame = g("pd").attr("DataFrame")(columns, "copy"_a = true);

    // 4. What was done, in attrs["sensitivity"].
    Failures failures = failures_of(figures);
    nb::dict info;
    info["samples"] = samples;
    info["evaluations"] = rows;
    info["dropped"] = dropped;
    info["failed"] = failures.count;
    info["first_error"] = failures.first;
    info["resamples"] = resamples;
    info["confidence_level"] = confidence_level;
    info["method"] = "Saltelli design on a scrambled Sobol sequence; first order: Saltelli 2010, total: Jansen";
    info["seed"] = request.seed;
    info["space"] = request.space.describe_space();
    info["fixed"] = request.space.describe_fixed();
    nb::object attrs = frame.attr("attrs");
    attrs["metrics"] = figures.attr("attrs").attr("get")("metrics");
    attrs["sensitivity"] = info;
    return frame;
}

}  // namespace korva::curve::design
