// korva.curve.metrics: device figures of merit (threshold voltage, subthreshold swing, on and off
// current, DIBL, body effect, on-resistance, breakdown voltage) from predicted curves, for one
// device's records or a whole sweep predicted chunk by chunk. The module body lives in metrics.cpp.
#pragma once

#include "korva/curve/core/float64.hpp"
#include "korva/module_body.hpp"

#include <memory>
#include <string>
#include <vector>

namespace korva::curve::metrics {

namespace nb = nanobind;

// ---- The primitives on one curve (primitives.cpp): x increasing, y log10 of a current.

// How a curve meets a level: crossing from below between two points, already at or above it at the
// first point, never, or not decidable (a NaN before the level is reached, or a NaN level).
enum class Reach { crossed, starts_above, never, undefined };
struct Crossing {
    double x;  // NaN unless crossed
    Reach reach;
};
Crossing cross(const double* x, const double* y, Py_ssize_t n, double level);

// y linearly interpolated at a fixed x0, whose interval is found once for every curve on x.
class Interpolation {
public:
    Interpolation(const double* x, Py_ssize_t n, double x0);
    double operator()(const double* y) const;

private:
    Py_ssize_t left_ = -1;  // -1: x0 outside [x[0], x[n-1]]
    double weight_ = 0.0;   // where x0 lies between x[left] and x[left + 1]
    bool on_point_ = false;
};

// 1000 / (least-squares slope of y on x over the points with level - decades <= y <= level).
double swing(const double* x, const double* y, Py_ssize_t n, double level, double decades);

// 1 / (least-squares slope of 10**y on x over the first `points` points with x > 0).
class Resistance {
public:
    Resistance(const double* x, Py_ssize_t n, Py_ssize_t points);
    double operator()(const double* y);

private:
    std::vector<double> x_, current_;
    std::vector<Py_ssize_t> rows_;
};

// ---- Criteria, device types and which curves the figures read (criteria.cpp, layout.cpp).

enum class DeviceKind { pld, nld };

// "PLD" or "NLD"; ValueError for anything else.
DeviceKind device_kind(nb::handle device_type);

struct Criteria {
    double i_vth = 1e-7, i_bv = 1e-6, ss_decades = 2.0, vd_lin = 0.1, vd_sat = 3.3, v_on = 3.3, v_off = 0.0;
    Py_ssize_t ron_points = 5;
    nb::dict used;  // every criterion with the value in use, for frame.attrs["metrics"]
};

// The criteria given (None or a dict), the defaults for the rest; ValueError or TypeError for an
// unknown key or a value out of its range.
Criteria read_criteria(const py::Call& g, nb::handle criteria, DeviceKind kind);

// One curve at one variant.
struct Source {
    nb::object curve, label;  // str, str ("default" for a curve's only variant)
};

// The curves and variants the figures of a device type read, in the order they are stored.
struct Layout {
    DeviceKind kind;
    std::vector<Source> sources;
    std::vector<double> vb;  // PLD: the Vb value of "id-vg-lin" source i, for i < vb.size()
    size_t vth = 0;        // the transfer curve of vth_lin (PLD) or vth, and of ss
    size_t transfer = 0;   // the transfer curve of vth_sat (PLD), log_ion and log_ioff
    size_t output = 0;     // the output curve of ron and log_idsat
    size_t breakdown = 0;  // PLD: the breakdown curve

    // The curve types, in the order predict_curves_for_inputs is asked for them.
    nb::list curve_types() const;
    // Which source a curve and variant label are (-1: none).
    Py_ssize_t find(nb::handle curve, nb::handle label) const;
};

// The layout from `curves`, a dict {curve type: {variant label: variant dict}} read from a curve
// table or from records; ValueError naming the first curve or variant `curves` lacks (`where`
// says whose table it is).
Layout make_layout(DeviceKind kind, nb::handle curves, const char* where);

// From a configuration's "CURVE_INFO".
Layout layout_from_config(DeviceKind kind, nb::handle config);

// ---- The figures of one device (figures.cpp).

// W/L (PLD: "Finger Width" x "nf" / "Length"; NLD 1) and W (NLD 1).
struct Geometry {
    double w_over_l = 1.0, w = 1.0;
};

// One source curve of a device: its x, the mean curve and `count` submodel curves, row after row.
struct CurveView {
    const double* x;
    Py_ssize_t n;
    const double* mean;
    const double* submodels;
    Py_ssize_t count;
};

// The float columns of a device type, each figure followed by its "_std".
std::vector<std::string> float_columns(DeviceKind kind);

// The figures of one device into `values` (float_columns order) and `censored` (PLD's bv_censored).
void device_figures(const Layout& layout, const Criteria& criteria, Geometry geometry,
                    const std::vector<CurveView>& curves, double* values, bool* censored);

// frame.attrs["metrics"]: each column's unit, source curve and variant, and the criteria used.
nb::dict metrics_attrs(const Layout& layout, const Criteria& criteria);

// ---- Records (records.cpp).

// The curves of one device's records (from predict_curves_for_inputs) laid out as `layout` reads
// them. Holds the arrays and their buffers while the views are read.
class RecordCurves {
public:
    RecordCurves(const py::Call& g, const Layout& layout, nb::handle records);
    const std::vector<CurveView>& views() const { return views_; }

private:
    const core::Float64Array* hold(nb::handle array, nb::handle ndarray, int ndim);

    std::vector<nb::object> arrays_;
    std::vector<std::unique_ptr<core::Float64Array>> buffers_;
    std::vector<CurveView> views_;
};

// {curve type: {variant label: variant dict}} of a list of records.
nb::dict curves_of_records(nb::handle records);

// ---- The Python functions.

nb::object crossing(const py::Call& g);
nb::object value_at(const py::Call& g);
nb::object subthreshold_swing(const py::Call& g);
nb::object on_resistance(const py::Call& g);
nb::object device_metrics(const py::Call& g);
nb::object predict_device_metrics(const py::Call& g);
nb::object _predict_partition(const py::Call& g);
nb::object pareto_front(const py::Call& g);

void body(const ModuleBody& m);

}  // namespace korva::curve::metrics
