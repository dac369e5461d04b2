// The figures of one device from its curves: each figure on the mean curves, and its spread as the
// standard deviation (ddof 0) of the same figure on each submodel's curves. Both the chunks of a
// sweep and single devices' records come here, so the two give the same numbers.
#include "korva/curve/metrics/metrics.hpp"

#include <cmath>
#include <limits>

namespace korva::curve::metrics {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Figure {
    const char* name;
    const char* unit;
};

const Figure pld_figures[] = {{"vth_lin", "V"},       {"vth_sat", "V"},       {"ss", "mV/decade"},
                              {"dibl", "mV/V"},       {"body_effect", "V/V"}, {"log_ion", "log10(A)"},
                              {"log_ioff", "log10(A)"}, {"on_off", "decades"}, {"ron", "ohm"},
                              {"log_idsat", "log10(A)"}, {"bv", "V"}};
const Figure nld_figures[] = {{"vth", "V"},          {"ss", "mV/decade"},       {"log_ion", "log10(A)"},
                              {"log_ioff", "log10(A)"}, {"on_off", "decades"}, {"ron", "ohm"}};

std::pair<const Figure*, size_t> figures_of(DeviceKind kind) {
    if (kind == DeviceKind::pld) return {pld_figures, std::size(pld_figures)};
    return {nld_figures, std::size(nld_figures)};
}

// The sources figure `i` reads, in figures_of order.
std::vector<size_t> sources_of(const Layout& l, size_t i) {
    if (l.kind == DeviceKind::nld) return {i < 2 ? l.vth : i < 5 ? l.transfer : l.output};
    switch (i) {
        case 0:
        case 2: return {l.vth};
        case 1:
        case 5:
        case 6:
        case 7: return {l.transfer};
        case 3: return {l.vth, l.transfer};
        case 4: {
            std::vector<size_t> all;
            for (size_t s = 0; s < l.vb.size(); ++s) all.push_back(s);
            return all;
        }
        case 8:
        case 9: return {l.output};
        default: return {l.breakdown};
    }
}

// Least-squares slope of the finite pairs (two passes); NaN with fewer than two.
double slope_of(const std::vector<double>& xs, const std::vector<double>& ys) {
    double mean_x = 0.0, mean_y = 0.0;
    size_t n = 0;
    for (size_t i = 0; i < xs.size(); ++i)
        if (std::isfinite(ys[i])) {
            mean_x += xs[i];
            mean_y += ys[i];
            ++n;
        }
    if (n < 2) return nan;
    mean_x /= (double) n;
    mean_y /= (double) n;
    double sxy = 0.0, sxx = 0.0;
    for (size_t i = 0; i < xs.size(); ++i)
        if (std::isfinite(ys[i])) {
            double dx = xs[i] - mean_x;
            sxy += dx * (ys[i] - mean_y);
            sxx += dx * dx;
        }
    return sxy / sxx;
}

// The figures of one device on one set of its curves: the mean curves (j = -1) or submodel j's,
// submodel j of a curve with fewer submodels being its j modulo their count.
class Extraction {
public:
    Extraction(const Layout& layout, const Criteria& c, Geometry geometry, const std::vector<CurveView>& curves)
        : l_(layout), c_(c), curves_(curves), vth_level_(std::log10(c.i_vth * geometry.w_over_l)),
          bv_level_(std::log10(c.i_bv * geometry.w)), ion_(at(layout.transfer, c.v_on)),
          ioff_(at(layout.transfer, c.v_off)), idsat_(at(layout.output, c.vd_sat)),
          ron_(curves[layout.output].x, curves[layout.output].n, c.ron_points) {}

    void compute(Py_ssize_t j, double* f, bool* censored) {
        const CurveView& t = curves_[l_.vth];
        double vth = cross(t.x, y(l_.vth, j), t.n, vth_level_).x;
        double ss = swing(t.x, y(l_.vth, j), t.n, vth_level_, c_.ss_decades);
        double ion = ion_(y(l_.transfer, j)), ioff = ioff_(y(l_.transfer, j));
        double ron = ron_(y(l_.output, j));
        if (l_.kind == DeviceKind::nld) {
            double values[] = {vth, ss, ion, ioff, ion - ioff, ron};
            std::copy(std::begin(values), std::end(values), f);
            return;
        }
        const CurveView& s = curves_[l_.transfer];
        double vth_sat = cross(s.x, y(l_.transfer, j), s.n, vth_level_).x;
        vths_.clear();
        for (size_t k = 0; k < l_.vb.size(); ++k)
            vths_.push_back(cross(curves_[k].x, y(k, j), curves_[k].n, vth_level_).x);
        const CurveView& b = curves_[l_.breakdown];
        Crossing breakdown = cross(b.x, y(l_.breakdown, j), b.n, bv_level_);
        double bv = breakdown.reach == Reach::starts_above ? b.x[0]
                    : breakdown.reach == Reach::never      ? b.x[b.n - 1]
                                                           : breakdown.x;
        double dibl = 1000.0 * (vth - vth_sat) / (c_.vd_sat - c_.vd_lin);
        double values[] = {vth, vth_sat, ss, dibl, slope_of(l_.vb, vths_), ion, ioff, ion - ioff, ron,
                           idsat_(y(l_.output, j)), bv};
        std::copy(std::begin(values), std::end(values), f);
        *censored = breakdown.reach == Reach::never;
    }

private:
    Interpolation at(size_t source, double x0) const { return Interpolation(curves_[source].x, curves_[source].n, x0); }

    const double* y(size_t source, Py_ssize_t j) const {
        const CurveView& v = curves_[source];
        return j < 0 ? v.mean : v.submodels + (j % v.count) * v.n;
    }

    const Layout& l_;
    const Criteria& c_;
    const std::vector<CurveView>& curves_;
    double vth_level_, bv_level_;
    Interpolation ion_, ioff_, idsat_;
    Resistance ron_;
    std::vector<double> vths_;
};

}  // namespace

std::vector<std::string> float_columns(DeviceKind kind) {
    auto [figures, count] = figures_of(kind);
    std::vector<std::string> columns;
    for (size_t i = 0; i < count; ++i) {
        columns.emplace_back(figures[i].name);
        columns.push_back(std::string(figures[i].name) + "_std");
    }
    return columns;
}

void device_figures(const Layout& layout, const Criteria& criteria, Geometry geometry,
                    const std::vector<CurveView>& curves, double* values, bool* censored) {
    auto [figures, count] = figures_of(layout.kind);
    Extraction extraction(layout, criteria, geometry, curves);
    std::vector<double> mean(count);
    *censored = false;
    extraction.compute(-1, mean.data(), censored);

    // Each figure's spread runs over the submodels of the curves it reads (the most of them).
    std::vector<Py_ssize_t> submodels(count, 1);
    Py_ssize_t most = 1;
    for (size_t i = 0; i < count; ++i) {
        for (size_t s : sources_of(layout, i)) submodels[i] = std::max(submodels[i], curves[s].count);
        most = std::max(most, submodels[i]);
    }
    std::vector<double> each((size_t) most * count);
    bool ignored = false;
    for (Py_ssize_t j = 0; j < most; ++j) extraction.compute(j, each.data() + j * count, &ignored);

    for (size_t i = 0; i < count; ++i) {
        Py_ssize_t n = submodels[i];
        double sum = 0.0;  // as np.std: the mean, then the mean squared deviation from it
        for (Py_ssize_t j = 0; j < n; ++j) sum += each[j * count + i];
        double centre = sum / (double) n, squares = 0.0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            double d = each[j * count + i] - centre;
            squares += d * d;
        }
        values[2 * i] = mean[i];
        values[2 * i + 1] = std::sqrt(squares / (double) n);
    }
}

nb::dict metrics_attrs(const Layout& layout, const Criteria& criteria) {
    auto [figures, count] = figures_of(layout.kind);
    nb::dict columns;
    auto label_of = [](const Source& s) -> nb::object {
        return py::equals(s.label, "default") ? nb::none() : s.label;
    };
    for (size_t i = 0; i < count; ++i) {
        std::vector<size_t> sources = sources_of(layout, i);
        nb::list curves, variants;
        for (size_t s : sources) {
            if (!py::contains(curves, layout.sources[s].curve)) curves.append(layout.sources[s].curve);
            variants.append(label_of(layout.sources[s]));
        }
        for (const char* suffix : {"", "_std"}) {
            nb::dict entry;
            entry["unit"] = figures[i].unit;
            entry["curve"] = nb::len(curves) == 1 ? nb::object(curves[0]) : nb::object(curves);
            entry["variant"] = nb::len(variants) == 1 ? nb::object(variants[0]) : nb::object(variants);
            columns[py::f_string(figures[i].name, nb::str(suffix))] = entry;
        }
    }
    if (layout.kind == DeviceKind::pld) {
        nb::dict entry;
        entry["unit"] = nb::none();
        entry["curve"] = "breakdown";
        entry["variant"] = nb::none();
        columns["bv_censored"] = entry;
    }
    nb::dict attrs;
    attrs["columns"] = columns;
    attrs["criteria"] = nb::dict(criteria.used);
    return attrs;
}

}  // namespace korva::curve::metrics
