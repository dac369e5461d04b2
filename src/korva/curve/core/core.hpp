// The vectorised curve core: the steps of predict_curves_for_inputs carried out for a block of
// devices at once, giving bit for bit what the per-device steps give. Shared by korva.curve.batch
// and the single-device fast path of korva.curve.mos_utils; it has no Python module of its own.
#pragma once

#include "korva/curve/mos_utils.hpp"
#include "korva/curve/core/float64.hpp"

#include <exception>
#include <optional>
#include <vector>

namespace korva::curve::core {

// Which estimators may predict the query rows of many devices in one call.
enum class Stacking {
    exact,       // only those whose prediction of a row never depends on the other rows, to the bit
    rounding,    // also those that differ by floating-point rounding only (BLAS-based linear models)
    one_device,  // none: a single device's own matrix serves all its estimators
};

// Thrown when something the vectorised steps rely on does not hold for the data at hand (a model
// that returns another dtype or shape, say). The caller then runs the literal steps instead; every
// caller catches it (the std::exception base only keeps a slip from ending the process).
struct NotVectorisable : std::exception {
    const char* what() const noexcept override { return "the vectorised curve steps cannot take this data"; }
};

// What a request reads at each call: the calling function's globals (numpy) and the namespace of
// korva.curve.mos_utils, whose table and functions the curve steps use.
struct Context {
    Context(const py::Call& g, nb::handle curve_module);
    explicit Context(const py::Call& g);  // called from mos_utils itself: its globals are g's

    const py::Call& g;
    nb::object curve_module;   // korva.curve.mos_utils, as the caller names it
    nb::object curve_globals;  // its namespace; invalid when that is not a module

    nb::object curve(const char* name) const;  // a global of mos_utils, read now
};

// One estimator of a model: its bound `predict`, and whether it may see many devices' rows.
struct Submodel {
    nb::object predict;
    bool stacks;
};

// How the submodel predictions of one model are obtained.
struct ModelCalls {
    nb::object model;
    std::vector<Submodel> submodels;  // the ensemble's estimators in order, or the model itself
    nb::object through;               // set when _predict_from_submodels is not mos_utils's own:
                                      // it is then called per device, with that device's matrix
    bool needs_device_matrices() const;
    bool needs_stacked_matrix() const;
};

// One curve type at one of its variants: one record per device.
struct Job {
    nb::object curve_type, variant_label, variant, curve_info, x_coords;
    Py_ssize_t points = 0;
    std::vector<double> variant_values;
    bool is_default = false;  // the label equals "default": the record's curve_variant is None
    ModelCalls log_model;
    bool blends = false;
    ModelCalls linear_model;  // when blending
    nb::object weights;       // the smoothstep weights, when blending
};

enum class Inputs {
    columns,        // no transform: the base inputs are the device's own values
    nld_transform,  // the table's own NLD transform, computed here over whole columns
    transform,      // any other transform: applied to each device's Series
};

// A request resolved once for all its devices: configuration, curves, variants, models, blends.
struct Plan {
    nb::object config;     // the configuration in use (the caller's or the table's)
    nb::object base_cols;  // its "BASE_INPUT_COLS"
    Inputs inputs = Inputs::columns;
    nb::object transform;
    std::vector<Py_ssize_t> nld_columns;  // with nld_transform: which derived input each base column is
    std::vector<Job> jobs;
    Py_ssize_t max_points = 0;
    nb::object auto_linear_blend;  // the prediction parameter as given (absent: 0)
};

// The raw labels the table's NLD transform reads, in the order its columns are passed here.
extern const char* const nld_raw_labels[5];

// Whether korva.curve.mos_utils still holds its own predict_curves_for_inputs and
// _predict_single_curve and the modules and builtins its steps use; when not, only the
// module's own function can say what a device's curves are.
bool curve_module_is_original(const Context& ctx);

// Resolves a request as predict_curves_for_inputs would for every device. Empty when a guard
// fails or a step of the resolution would raise: those requests take the literal steps.
std::optional<Plan> make_plan(const Context& ctx, nb::handle models, nb::handle device_type, nb::handle curve_types,
                              nb::handle config, Stacking stacking);

// Whether `estimator.predict` may see many devices' rows at once under `stacking`.
bool stacks(nb::handle estimator, Stacking stacking);

// The base inputs of devices whose raw inputs "A" to "E" are the columns of `raw` (an (n, 5)
// float64 array): an (n, len(base_cols)) float64 array, as the NLD transform and the selection by
// "BASE_INPUT_COLS" give them. A device whose arithmetic left the normal numbers (where numpy's
// scalar arithmetic warns) gets NaN throughout, which sends it down the literal steps.
nb::object nld_base_inputs(const Context& ctx, const Plan& plan, nb::handle raw);

// Receives the submodel stack of each job for a block of devices: an (n, submodels, points)
// float64 array, blended when the job blends.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual void job(size_t index, const Job& job, nb::handle stack) = 0;
};

// The query matrices of one job for a block of devices: row r of device d is [base inputs of d,
// variant values, x[r]], the layout np.hstack([np.tile(inputs, (points, 1)), x.reshape(-1, 1)])
// gives. Each is built at first use; a device's own matrix serves all its estimators, as in the
// per-device steps, and for a single device it is the stacked one too.
class Queries {
public:
    Queries(nb::handle np, nb::handle ndarray, const Float64Array& base, const Job& job);
    nb::handle device(Py_ssize_t d);
    nb::handle stacked();
    Py_ssize_t devices() const { return devices_; }
    Py_ssize_t points() const { return points_; }

private:
    nb::object build(Py_ssize_t first, Py_ssize_t count);

    nb::handle np_, ndarray_;
    const Float64Array& base_;
    Py_ssize_t devices_, base_count_, points_, width_;
    const std::vector<double>& variant_;
    std::vector<double> x_;
    nb::object stacked_;
    std::vector<nb::object> own_;
};

// The blend of (devices, submodels, points) stacks: the log-space stack into log10 of the floored
// linear-scale one, the smaller stack's submodels repeated, along the smoothstep weights.
nb::object blend(nb::handle np, nb::object log_stack, nb::handle linear_stack, nb::handle weights);

// Predicts every job of `plan` for the devices whose base inputs are the rows of `base` (an
// (n, len(base_cols)) float64 array). Throws NotVectorisable when a model's result is not what
// the vectorised steps handle.
void predict_block(const Context& ctx, const Plan& plan, nb::handle base, BlockSink& sink);

// One curve record, its eleven keys in the order predict_curves_for_inputs gives them, from the
// values of one device: its x coordinates, mean, standard deviation and submodel curves as lists.
nb::dict curve_record(const Job& job, nb::handle x_coords, nb::handle y, nb::handle y_std, nb::handle submodels);

}  // namespace korva::curve::core
