// korva.curve.metrics: device figures of merit (thresholds, subthreshold swing, transconductance,
// on and off current, DIBL, body effect, on-resistance, breakdown voltage) from predicted curves, for
// one device's records or a whole sweep predicted chunk by chunk. The module body lives in metrics.cpp.
#pragma once

#include "korva/curve/core/float64.hpp"
#include "korva/module_body.hpp"

#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace korva::curve::metrics {

namespace nb = nanobind;

// ---- The kernels on one curve (kernels.cpp): x non-decreasing, y log10 of a current.

// The least-squares line of y on x over n points, in two passes (the means, then the centred sums),
// so that the slope of a few points stays exact to rounding. slope is NaN with fewer than two
// points or when every x is the same.
struct Line {
    double slope, mean_x, mean_y;
    double at_zero() const { return mean_y - slope * mean_x; }  // the intercept
};
Line fit_line(const double* x, const double* y, size_t n);

// How a curve meets a level: crossing from below between two points, already at or above it at the
// first point, never, or not decidable (a NaN before the level is reached, or a NaN level). The
// order is that of the categories of the threshold status columns.
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

// The local fits around each point of a grid: the points within local_half_span of it, when there
// is at least one on each side; and for each, log10 of the largest slope its line can have per unit
// of the largest value it is fitted to (values >= 0).
class Windows {
public:
    Windows(const double* x, Py_ssize_t n);
    bool has(Py_ssize_t i) const { return first_[i] < i && last_[i] > i; }
    Py_ssize_t first(Py_ssize_t i) const { return first_[i]; }
    Py_ssize_t size(Py_ssize_t i) const { return last_[i] - first_[i] + 1; }
    double bound(Py_ssize_t i) const { return bound_[i]; }
    double highest_bound() const { return highest_bound_; }

private:
    std::vector<Py_ssize_t> first_, last_;
    std::vector<double> bound_;
    double highest_bound_ = -std::numeric_limits<double>::infinity();
};

// The minimum point swing in mV/decade: 1000 / the steepest local slope of y over the points of the
// subthreshold region (before y first reaches the level, at most `decades` under it, and at least
// floor_clearance above the lowest y there).
double lowest_swing(const Windows& windows, const double* x, const double* y, Py_ssize_t n, double level,
                     double decades);

// The linear-extrapolation threshold: at the point where the slope gm of 10**y (its local fit) is
// steepest, where the tangent through the point meets zero current, less vd / 2.
struct Extrapolation {
    double vth, gm;
};
Extrapolation extrapolated_threshold(const Windows& windows, const double* x, const double* y, Py_ssize_t n,
                                     double vd, std::vector<double>& scratch);

// 1 / (least-squares slope of 10**y on x over the first `points` points with x > 0).
class Resistance {
public:
    Resistance(const double* x, Py_ssize_t n, Py_ssize_t points);
    double operator()(const double* y);

private:
    std::vector<double> x_, current_;
    std::vector<Py_ssize_t> rows_;
};

// The small-signal resistance dx/dI at x -> 0: the chord conductances I/x of the first `points`
// points with x > 0, as long as they stay within linear_region of the first one, extrapolated
// linearly to x = 0. With fewer than min(3, points) such points the grid is too coarse: the value
// is then the chord resistance x/I of the first point, flagged.
class SmallSignal {
public:
    SmallSignal(const double* x, Py_ssize_t n, Py_ssize_t points);
    struct Value {
        double ron;
        bool coarse;
    };
    Value operator()(const double* y);

private:
    std::vector<double> x_, chord_;
    std::vector<Py_ssize_t> rows_;
    size_t needed_;
};

// np.std(values) for n float64 values (ddof 0): numpy's pairwise sums, in its order. The values
// are overwritten (with their squared deviations).
double numpy_std(double* values, size_t n);

// ---- Arrays handed back by numpy (arrays.cpp).

// The float64 values of `array`, read through the buffer protocol with its own strides: the memory
// itself when C-contiguous, else a copy. RuntimeError naming `what` when `array` is not an exact
// `ndarray` of float64 with `ndim` dimensions.
class Doubles {
public:
    Doubles(nb::handle array, nb::handle ndarray, int ndim, const char* what);
    Py_ssize_t shape(int axis) const { return view_->shape(axis); }
    const double* data() const { return copy_.empty() ? view_->contiguous() : copy_.data(); }
    // RuntimeError naming `what` unless the shape is `shape`.
    void expect(std::initializer_list<Py_ssize_t> shape, const char* what) const;

private:
    nb::object array_;
    std::unique_ptr<core::Float64Array> view_;
    std::vector<double> copy_;
};

// ---- Criteria, device types and which curves the figures read (criteria.cpp, layout.cpp).

enum class DeviceKind { pld, nld };

// "PLD" or "NLD"; ValueError for anything else.
DeviceKind device_kind(nb::handle device_type);

// The current the threshold level is per: W/L, W or none.
enum class VthNorm { w_over_l, w, absolute };

// A criterion that may take one value per device: a number for all, or the name of a column of the
// devices, a pandas Series aligned with them, or a 1-D array of one value per device.
struct PerDevice {
    double value;       // NaN: not given (area)
    nb::object source;  // invalid: `value` for every device
};

struct Criteria {
    PerDevice i_vth{1e-7, {}}, i_bv{1e-6, {}}, area{std::numeric_limits<double>::quiet_NaN(), {}};
    VthNorm vth_norm = VthNorm::w_over_l;
    double ss_decades = 4.0, vd_lin = 0.1, vd_sat = 3.3, v_on = 3.3, v_off = 0.0;
    Py_ssize_t ron_points = 5;
    nb::dict used;  // every criterion with the value in use, for frame.attrs["metrics"]
};

// The criteria given (None or a dict), the defaults for the rest; ValueError or TypeError for an
// unknown key, a value out of its range, or two that contradict each other.
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
    size_t vth = 0;        // the transfer curve of vth_lin (PLD) or vth, of ss, vth_gm and gm_max
    size_t transfer = 0;   // the transfer curve of vth_sat (PLD), log_ion and log_ioff
    size_t output = 0;     // the output curve of ron and log_idsat, at the gate bias v_on
    size_t breakdown = 0;  // PLD: the breakdown curve

    // The curve types, in the order predict_curves_for_inputs is asked for them.
    nb::list curve_types() const;
    // Which source a curve and variant label are (-1: none).
    Py_ssize_t find(nb::handle curve, nb::handle label) const;
};

// The layout from `curves`, a dict {curve type: {variant label: variant dict}} read from a curve
// table or from records; ValueError naming the first curve or variant `curves` lacks (`where`
// says whose table it is), or the criterion whose bias no variant has.
Layout make_layout(DeviceKind kind, nb::handle curves, const char* where, const Criteria& criteria);

// From a configuration's "CURVE_INFO"; its x ranges checked as check_curves does.
Layout layout_from_config(const py::Call& g, DeviceKind kind, nb::handle config, const Criteria& criteria);

// The x coordinates of each source must be non-decreasing, and every bias a figure reads on a curve
// inside that curve's range: ValueError naming the curve or the criterion.
void check_curves(const Layout& layout, const Criteria& criteria, const std::vector<const Doubles*>& x,
                  const char* where);

// ---- The figures of one device (figures.cpp).

// What one device's figures need besides its curves: its geometry (NLD: W = L = 1) and the
// criteria that may differ from device to device.
struct Device {
    double w_over_l = 1.0, w = 1.0;
    double i_vth = 0.0, i_bv = 0.0, area = 0.0;
};

// One source curve of a device: its x, the mean curve and `count` submodel curves, row after row.
struct CurveView {
    const double* x;
    Py_ssize_t n;
    const double* mean;
    const double* submodels;
    Py_ssize_t count;
};

// The flags of one device's figures, on its mean curves.
struct Flags {
    bool bv_censored = false, ron_coarse = false;
    signed char vth_status = -1, vth_sat_status = -1;  // a Reach, -1 for none (a failed device)
};

// One column of the figures' frame, in order.
struct Column {
    enum Type { value, spread, bv_censored, ron_coarse, vth_status, vth_sat_status } type;
    std::string name;
    size_t figure = 0;  // value and spread: which figure, in the order of the float block
};
std::vector<Column> columns_of(DeviceKind kind);

// The number of float values of a device (each figure and its spread).
size_t float_width(DeviceKind kind);

// The categories of the threshold status columns, in Reach order.
extern const char* const status_names[4];

// The figures of one device into `values` (float_width of them: each figure, then its spread) and
// `flags`.
void device_figures(const Layout& layout, const Criteria& criteria, const Device& device,
                    const std::vector<CurveView>& curves, double* values, Flags* flags);

// frame.attrs["metrics"]: each column's unit, source curve and variant, and the criteria used.
nb::dict metrics_attrs(const Layout& layout, const Criteria& criteria);

// ---- Devices (devices.cpp).

// The Device of one input Series (device_metrics): ValueError naming the device and the input or
// criterion that is not a finite positive number.
Device device_of_series(const py::Call& g, DeviceKind kind, const Criteria& criteria, nb::handle inputs);

// ---- Records (records.cpp).

// The curves of one device's records (from predict_curves_for_inputs) laid out as `layout` reads
// them. Holds the arrays and their buffers while the views are read.
class RecordCurves {
public:
    RecordCurves(const py::Call& g, const Layout& layout, nb::handle records);
    const std::vector<CurveView>& views() const { return views_; }
    std::vector<const Doubles*> x() const;

private:
    std::vector<std::unique_ptr<Doubles>> arrays_;
    std::vector<CurveView> views_;
};

// {curve type: {variant label: variant dict}} of a list of records.
nb::dict curves_of_records(nb::handle records);

// ---- The Python functions.

nb::object crossing(const py::Call& g);
nb::object value_at(const py::Call& g);
nb::object subthreshold_swing(const py::Call& g);
nb::object on_resistance(const py::Call& g);
nb::object minimum_swing(const py::Call& g);
nb::object small_signal_resistance(const py::Call& g);
nb::object max_gm_threshold(const py::Call& g);
nb::object device_metrics(const py::Call& g);
nb::object predict_device_metrics(const py::Call& g);
nb::object _predict_partition(const py::Call& g);
nb::object pareto_front(const py::Call& g);

void body(const ModuleBody& m);

}  // namespace korva::curve::metrics
