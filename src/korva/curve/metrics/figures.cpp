// The figures of one device from its curves: each figure on the mean curves, and its spread as the
// standard deviation (ddof 0, as np.std) of the same figure on each submodel's curves. Both the
// chunks of a sweep and single devices' records come here, so the two give the same numbers.
#include "korva/curve/metrics/metrics.hpp"

#include <cmath>
#include <limits>

namespace korva::curve::metrics {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Every figure either device type has, in the order Extraction computes them.
enum Fig : size_t {
    vth_lin, vth_sat, ss, dibl, body_effect, log_ion, log_ioff, on_off, ron, log_idsat, bv,
    vth_gm, gm_max, ron_w, ron_sp, log_idsat_w, all_figures
};

struct Figure {
    Fig id;
    const char* name;
    const char* unit;
};

// Each device type's figures in column order: those it has always had, then (after PLD's
// bv_censored) the later ones, so that the columns of the first keep their places.
const Figure pld_figures[] = {
    {vth_lin, "vth_lin", "V"},          {vth_sat, "vth_sat", "V"},          {ss, "ss", "mV/decade"},
    {dibl, "dibl", "mV/V"},             {body_effect, "body_effect", "V/V"}, {log_ion, "log_ion", "log10(A)"},
    {log_ioff, "log_ioff", "log10(A)"}, {on_off, "on_off", "decades"},       {ron, "ron", "ohm"},
    {log_idsat, "log_idsat", "log10(A)"}, {bv, "bv", "V"},                   {vth_gm, "vth_gm", "V"},
    {gm_max, "gm_max", "A/V"},          {ron_w, "ron_w", "ohm*[W]"},        {ron_sp, "ron_sp", "ohm*[area]"},
    {log_idsat_w, "log_idsat_w", "log10(A/[W])"}};
constexpr size_t pld_first_later = 11;
const Figure nld_figures[] = {{vth_lin, "vth", "V"},          {ss, "ss", "mV/decade"},
                              {log_ion, "log_ion", "log10(A)"}, {log_ioff, "log_ioff", "log10(A)"},
                              {on_off, "on_off", "decades"},  {ron, "ron", "ohm"},
                              {vth_gm, "vth_gm", "V"},        {gm_max, "gm_max", "A/V"},
                              {ron_sp, "ron_sp", "ohm*[area]"}};

std::pair<const Figure*, size_t> figures_of(DeviceKind kind) {
    if (kind == DeviceKind::pld) return {pld_figures, std::size(pld_figures)};
    return {nld_figures, std::size(nld_figures)};
}

// The sources a figure reads.
std::vector<size_t> sources_of(const Layout& l, Fig figure) {
    switch (figure) {
        case vth_lin:
        case ss:
        case vth_gm:
        case gm_max: return {l.vth};
        case vth_sat:
        case log_ion:
        case log_ioff:
        case on_off: return {l.transfer};
        case dibl: return {l.vth, l.transfer};
        case body_effect: {
            std::vector<size_t> all;
            for (size_t s = 0; s < l.vb.size(); ++s) all.push_back(s);
            return all;
        }
        case ron:
        case ron_w:
        case ron_sp:
        case log_idsat:
        case log_idsat_w: return {l.output};
        default: return {l.breakdown};
    }
}

// The figures of one device on one set of its curves: the mean curves (j = -1) or submodel j's,
// submodel j of a curve with fewer submodels being its j modulo their count.
class Extraction {
public:
    Extraction(const Layout& layout, const Criteria& c, const Device& device, const std::vector<CurveView>& curves)
        : l_(layout), c_(c), device_(device), curves_(curves),
          vth_level_(std::log10(device.i_vth * (c.vth_norm == VthNorm::w_over_l ? device.w_over_l
                                                : c.vth_norm == VthNorm::w      ? device.w
                                                                                : 1.0))),
          bv_level_(std::log10(device.i_bv * device.w)), ion_(at(layout.transfer, c.v_on)),
          ioff_(at(layout.transfer, c.v_off)), idsat_(at(layout.output, c.vd_sat)),
          ron_(curves[layout.output].x, curves[layout.output].n, c.ron_points),
          windows_(curves[layout.vth].x, curves[layout.vth].n) {}

    // All figures into f (all_figures of them; NaN where the device type has none), and the flags
    // when given.
    void compute(Py_ssize_t j, double* f, Flags* flags) {
        std::fill(f, f + all_figures, nan);
        const CurveView& t = curves_[l_.vth];
        const double* transfer = y(l_.vth, j);
        Crossing threshold = cross(t.x, transfer, t.n, vth_level_);
        f[vth_lin] = threshold.x;
        f[ss] = lowest_swing(windows_, t.x, transfer, t.n, vth_level_, c_.ss_decades);
        Extrapolation extrapolated = extrapolated_threshold(windows_, t.x, transfer, t.n, c_.vd_lin, scratch_);
        f[vth_gm] = extrapolated.vth;
        f[gm_max] = extrapolated.gm;
        f[log_ion] = ion_(y(l_.transfer, j));
        f[log_ioff] = ioff_(y(l_.transfer, j));
        f[on_off] = f[log_ion] - f[log_ioff];
        SmallSignal::Value resistance = ron_(y(l_.output, j));
        f[ron] = resistance.ron;
        f[ron_sp] = resistance.ron * device_.area;
        if (flags) {
            flags->ron_coarse = resistance.coarse;
            flags->vth_status = (signed char) threshold.reach;
        }
        if (l_.kind == DeviceKind::nld) return;

        const CurveView& s = curves_[l_.transfer];
        Crossing saturated = cross(s.x, y(l_.transfer, j), s.n, vth_level_);
        f[vth_sat] = saturated.x;
        f[dibl] = 1000.0 * (f[vth_lin] - saturated.x) / (c_.vd_sat - c_.vd_lin);
        vb_.clear();
        vths_.clear();
        for (size_t k = 0; k < l_.vb.size(); ++k) {
            double vth = cross(curves_[k].x, y(k, j), curves_[k].n, vth_level_).x;
            if (!std::isfinite(vth)) continue;
            vb_.push_back(l_.vb[k]);
            vths_.push_back(vth);
        }
        f[body_effect] = fit_line(vb_.data(), vths_.data(), vths_.size()).slope;
        f[log_idsat] = idsat_(y(l_.output, j));
        f[ron_w] = resistance.ron * device_.w;
        f[log_idsat_w] = f[log_idsat] - std::log10(device_.w);
        const CurveView& b = curves_[l_.breakdown];
        Crossing breakdown = cross(b.x, y(l_.breakdown, j), b.n, bv_level_);
        if (b.n > 0)
            f[bv] = breakdown.reach == Reach::starts_above ? b.x[0]
                    : breakdown.reach == Reach::never      ? b.x[b.n - 1]
                                                           : breakdown.x;
        if (flags) {
            flags->bv_censored = breakdown.reach == Reach::never;
            flags->vth_sat_status = (signed char) saturated.reach;
        }
    }

private:
    Interpolation at(size_t source, double x0) const { return Interpolation(curves_[source].x, curves_[source].n, x0); }

    const double* y(size_t source, Py_ssize_t j) const {
        const CurveView& v = curves_[source];
        return j < 0 ? v.mean : v.submodels + (j % v.count) * v.n;
    }

    const Layout& l_;
    const Criteria& c_;
    const Device& device_;
    const std::vector<CurveView>& curves_;
    double vth_level_, bv_level_;
    Interpolation ion_, ioff_, idsat_;
    SmallSignal ron_;
    Windows windows_;
    std::vector<double> vb_, vths_, scratch_;
};

}  // namespace

const char* const status_names[4] = {"found", "above_at_start", "never_reached", "nan_before_level"};

std::vector<Column> columns_of(DeviceKind kind) {
    auto [figures, count] = figures_of(kind);
    std::vector<Column> columns;
    for (size_t i = 0; i < count; ++i) {
        if (kind == DeviceKind::pld && i == pld_first_later) columns.push_back({Column::bv_censored, "bv_censored"});
        columns.push_back({Column::value, figures[i].name, i});
        columns.push_back({Column::spread, std::string(figures[i].name) + "_std", i});
    }
    columns.push_back({Column::ron_coarse, "ron_coarse"});
    if (kind == DeviceKind::pld) {
        columns.push_back({Column::vth_status, "vth_lin_status"});
        columns.push_back({Column::vth_sat_status, "vth_sat_status"});
    } else {
        columns.push_back({Column::vth_status, "vth_status"});
    }
    return columns;
}

size_t float_width(DeviceKind kind) { return 2 * figures_of(kind).second; }

void device_figures(const Layout& layout, const Criteria& criteria, const Device& device,
                    const std::vector<CurveView>& curves, double* values, Flags* flags) {
    auto [figures, count] = figures_of(layout.kind);
    Extraction extraction(layout, criteria, device, curves);
    double mean[all_figures];
    *flags = Flags{};
    extraction.compute(-1, mean, flags);

    // Each figure's spread runs over the submodels of the curves it reads (the most of them).
    std::vector<Py_ssize_t> submodels(count, 1);
    Py_ssize_t most = 1;
    for (size_t i = 0; i < count; ++i) {
        for (size_t s : sources_of(layout, figures[i].id)) submodels[i] = std::max(submodels[i], curves[s].count);
        most = std::max(most, submodels[i]);
    }
    std::vector<double> each((size_t) most * all_figures), column((size_t) most);
    for (Py_ssize_t j = 0; j < most; ++j) extraction.compute(j, each.data() + j * all_figures, nullptr);
    for (size_t i = 0; i < count; ++i) {
        Py_ssize_t n = submodels[i];
        for (Py_ssize_t j = 0; j < n; ++j) column[j] = each[j * all_figures + figures[i].id];
        values[2 * i] = mean[figures[i].id];
        values[2 * i + 1] = numpy_std(column.data(), (size_t) n);
    }
}

nb::dict metrics_attrs(const Layout& layout, const Criteria& criteria) {
    auto [figures, count] = figures_of(layout.kind);
    auto label_of = [&](size_t s) -> nb::object {
        const Source& source = layout.sources[s];
        return py::equals(source.label, "default") ? nb::none() : source.label;
    };
    auto entry = [&](const char* unit, const std::vector<size_t>& sources) {
        nb::list curves, variants;
        for (size_t s : sources) {
            if (!py::contains(curves, layout.sources[s].curve)) curves.append(layout.sources[s].curve);
            variants.append(label_of(s));
        }
        nb::dict e;
        e["unit"] = unit ? nb::object(nb::str(unit)) : nb::none();
        e["curve"] = nb::len(curves) == 1 ? nb::object(curves[0]) : nb::object(curves);
        e["variant"] = nb::len(variants) == 1 ? nb::object(variants[0]) : nb::object(variants);
        return e;
    };
    nb::dict columns;
    for (const Column& column : columns_of(layout.kind)) {
        const char* name = column.name.c_str();
        switch (column.type) {
            case Column::value:
            case Column::spread: {
                const Figure& figure = figures[column.figure];
                columns[name] = entry(figure.unit, sources_of(layout, figure.id));
                break;
            }
            case Column::bv_censored: columns[name] = entry(nullptr, {layout.breakdown}); break;
            case Column::ron_coarse: columns[name] = entry(nullptr, {layout.output}); break;
            case Column::vth_status: columns[name] = entry(nullptr, {layout.vth}); break;
            case Column::vth_sat_status: columns[name] = entry(nullptr, {layout.transfer}); break;
        }
    }
    nb::dict attrs;
    attrs["columns"] = columns;
    attrs["criteria"] = nb::dict(criteria.used);
    return attrs;
}

}  // namespace korva::curve::metrics
