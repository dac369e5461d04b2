// The vectorised curve core: the steps of predict_curves_for_inputs carried out for a block of
// devices at once, giving bit for bit what the per-device steps give. Shared by korva.curve.batch
// and the single-device fast path of korva.curve.mos_utils; it has no Python module of its own.
#pragma once

#include "korva/curve/mos_utils.hpp"
#include "korva/curve/core/float64.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace korva::curve::core {

namespace native {
class Kernel;
struct RowsData;
}  // namespace native

// Which estimators may predict the query rows of many devices in one call.
enum class Stacking {
    exact,       // only those whose prediction of a row never depends on the other rows, to the bit
    rounding,    // also those that differ by floating-point rounding only (BLAS-based linear models)
    one_device,  // none: every model goes through _predict_from_submodels with the device's matrix
};

// Thrown when something the vectorised steps rely on does not hold for the data at hand (a model
// that returns another dtype or shape, an array of another shape than planned, say). The batch then
// takes the devices one by one and the single-device path the literal steps; one that escapes
// them reaches the function type, which reports it as an internal error.
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

    nb::object curve(const char* name) const;        // a global of mos_utils, read now (NameError if unbound)
    nb::object curve_if_bound(const char* name) const;  // the same, invalid when unbound

    // `config or _DEVICE_CONFIG[device_type]`: the configuration a request uses.
    nb::object config(nb::handle given, nb::handle device_type) const;

private:
    bool own_ = false;  // made by mos_utils's own function: names are read as its code reads them
};

// The keys of a curve entry that name its axes, in record order.
extern const char* const axis_keys[4];

// One estimator of a model: its bound `predict`, and whether it may see many devices' rows.
struct Submodel {
    nb::object predict;
    bool stacks;
    nb::object estimator;  // the estimator itself (on worker threads, see predict_with_own_tree)
    // korva may evaluate its stacked rows itself: `native` holds the kernel when it was read with the
    // plan (the linear classes); the others' are read for each block (see NativeKernels).
    bool native_candidate = false;
    std::shared_ptr<const native::Kernel> native;
    bool only_native = false;  // stacks through its kernel alone (its predict sees one device's rows)
};

// How the submodel predictions of one model are obtained.
struct ModelCalls {
    nb::object model;
    std::vector<Submodel> submodels;  // the ensemble's estimators in order, or the model itself
    nb::object through;               // set instead for Stacking::one_device, or when
                                      // _predict_from_submodels is not mos_utils's own: it is then
                                      // called per device, with that device's matrix
};

// One curve type at one of its variants: one record per device.
struct Job {
    nb::object curve_type, variant_label, variant, curve_info, variants, x_coords;
    Py_ssize_t points = 0;
    std::vector<double> variant_values;
    bool is_default = false;  // the label equals "default": the record's curve_variant is None
    ModelCalls log_model;
    nb::object linear_name;   // f"{curve_type}.linear"
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
    nb::object params;     // its "PREDICTION_PARAMS" (absent: a dict of our own)
    nb::object models;     // models[device_type]
    nb::object base_cols;  // its "BASE_INPUT_COLS"
    std::vector<nb::object> base_labels;  // their items, as resolved
    Inputs inputs = Inputs::columns;
    nb::object transform;
    std::vector<Py_ssize_t> nld_columns;  // with nld_transform: which derived input each base column is
    std::vector<Job> jobs;
    Py_ssize_t max_points = 0;
    nb::object auto_linear_blend;  // the prediction parameter as given (absent: 0)
    nb::object blend_item;         // the same, invalid when absent
    bool blend_requested = false;  // auto_linear_blend > 0
    bool worker_threads = false;   // blocks are predicted on several threads at once
};

// The raw labels the table's NLD transform reads, in the order its columns are passed here.
extern const char* const nld_raw_labels[5];

// Names the curve steps take from the builtins; one bound in mos_utils would shadow it there.
extern const char* const builtins_used[6];

// Whether korva.curve.mos_utils still holds its own predict_curves_for_inputs and
// _predict_single_curve and the modules and builtins its steps use; when not, only the
// module's own function can say what a device's curves are.
bool curve_module_is_original(const Context& ctx);

// Whether `type(dtype) is type(np.dtype("float64")) and dtype == np.dtype("float64")`: the dtype
// whose values a Float64Array reads as they are.
bool is_float64(nb::handle np, nb::handle dtype);

// Whether what `plan` resolved for `job` is what the literal steps of one device would read now:
// the configuration's entries, the prediction parameters, models[device_type][curve_type] and
// the variant's values. The single-device path asks this after each prediction.
bool plan_holds(const Plan& plan, const Job& job, nb::handle models, nb::handle device_type);

// After the log-space prediction of `job`: whether the literal steps would blend into the very
// linear model planned, over an x range of the planned shape.
bool blend_holds(const Plan& plan, const Job& job, nb::handle models, nb::handle device_type, nb::handle ndarray);

// Whether the job's x range is still a 1-D float64 array of the planned length.
bool x_range_holds(const Job& job, nb::handle ndarray);

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
    // Reads the job's x range as it is now; NotVectorisable when it no longer has the planned shape.
    Queries(nb::handle np, nb::handle ndarray, const Float64Array& base, const Job& job);
    nb::handle device(Py_ssize_t d);
    nb::handle stacked();
    // The same rows as korva's own copies, for the native kernels.
    const native::RowsData& native_rows();
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
    std::shared_ptr<native::RowsData> native_rows_;
};

// What one model predicts for the devices of `queries`: `stack`, their (devices, submodels,
// points) float64 stack, checked; and, for a model called through _predict_from_submodels for a
// single device, `returned`, its result as returned (then `stack` is invalid when that is not a
// (submodels, points) float64 array). NotVectorisable for any other result not of that shape.
struct Prediction {
    nb::object stack, returned;
};
// The kernels of the estimators of one block's current curve: each read from its estimator's fitted
// state when a job first needs it, and let go when the jobs move on to another curve's models, so
// that one curve's copies are held at a time (a copy of a forest's nodes is not small).
class NativeKernels {
public:
    // The kernel of `submodel` for a block of `devices` devices; null when it has none (the
    // estimator's own predict runs), or for a few devices, whose rows it predicts quickly itself.
    std::shared_ptr<const native::Kernel> kernel(const Submodel& submodel, Py_ssize_t devices);
    // Lets go of every kernel but those of `job`'s estimators.
    void keep_only(const Job& job);

private:
    std::vector<std::pair<nb::object, std::shared_ptr<const native::Kernel>>> kernels_;
};

Prediction predict_model(nb::handle np, nb::handle ndarray, const ModelCalls& calls, Queries& queries,
                         bool worker_threads = false, NativeKernels* kernels = nullptr);

// On a worker thread: the bound `predict` of a shallow copy of a scikit-learn neighbours estimator
// that searches a tree of its own over the same arrays, which gives what the estimator gives.
// Invalid when `estimator` is not one whose predict and tree are scikit-learn's own.
nb::object predict_with_own_tree(nb::handle estimator);

// The blend of (devices, submodels, points) stacks: the log-space stack into log10 of the floored
// linear-scale one, the smaller stack's submodels repeated, along the smoothstep weights.
// NotVectorisable when a product or sum would raise a floating-point flag: the literal steps blend
// row by row and so report the first such row's operation, which whole-array operations cannot.
nb::object blend(nb::handle np, nb::handle ndarray, nb::handle log_stack, nb::handle linear_stack, nb::handle weights);

// Predicts every job of `plan` for the devices whose base inputs are the rows of `base` (an
// (n, len(base_cols)) float64 array). Throws NotVectorisable when a model's result is not what
// the vectorised steps handle.
void predict_block(const Context& ctx, const Plan& plan, nb::handle base, BlockSink& sink);

// One curve record with its eleven keys in the order predict_curves_for_inputs gives them, from
// values computed in that order; the axis labels are read from `curve_info` last.
nb::dict curve_record(nb::handle curve_type, nb::handle curve_variant, nb::handle variant_dict, nb::handle x_coords,
                      nb::handle y, nb::handle y_std, nb::handle submodels, nb::handle curve_info);
// The same for a planned job.
nb::dict curve_record(const Job& job, nb::handle x_coords, nb::handle y, nb::handle y_std, nb::handle submodels);

}  // namespace korva::curve::core
