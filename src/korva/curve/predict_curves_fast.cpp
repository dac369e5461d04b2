// korva.curve.mos_utils.predict_curves_for_inputs for one device through the vectorised curve core:
// the same query matrices, handed to the same predict calls in the same order, and the same records,
// without the per-curve pandas steps. The guards, checked on every call, are all in guards_hold():
// a plain float64 Series, the module's own globals, and a configuration the core resolves in full
// (the table's or plain dicts, lists and numbers, with no transform but the table's own). Once the
// first prediction is made there is no turning back: from there on every step is the literal one
// or gives what it gives, and an exception is the one the literal steps raise at that point.
#include "korva/curve/core/core.hpp"

namespace korva::curve::mos_utils {

using namespace nb::literals;

namespace {

bool guards_hold(const core::Context& ctx, nb::handle device_inputs) {
    if (!core::curve_module_is_original(ctx)) return false;
    nb::handle globals = ctx.curve_globals;
    if (!py::is_function(ctx.curve("_predict_from_submodels"), _predict_from_submodels, globals)) return false;
    if (!py::is_function(ctx.curve("_smoothstep"), _smoothstep, globals)) return false;
    if (!ctx.curve("VotingRegressor").is(py::loaded_attribute("sklearn.ensemble", "VotingRegressor"))) return false;
    if (!ctx.curve("comb").is(py::loaded_attribute("scipy.special", "comb"))) return false;
    // type(device_inputs) is pd.Series with the float64 dtype and one value per label
    if (!device_inputs.type().is(ctx.g("pd").attr("Series"))) return false;
    nb::object dtype = device_inputs.attr("dtype");
    nb::object float64 = ctx.g("np").attr("dtype")("float64");
    if (!dtype.type().is(float64.type()) || !py::equals(dtype, float64)) return false;
    return py::truthy(device_inputs.attr("index").attr("is_unique"));
}

// The device's base inputs, a (1, n_base) float64 array, read by label as the selection (and the
// table's NLD transform) read them; invalid when a label is missing or the transform's arithmetic
// would not stay within the normal numbers.
nb::object base_inputs(const core::Context& ctx, const core::Plan& plan, nb::handle device_inputs) {
    nb::object np = ctx.g("np");
    nb::object ndarray = np.attr("ndarray");
    nb::list labels;
    if (plan.inputs == core::Inputs::columns)
        labels = nb::borrow<nb::list>(plan.base_cols);
    else
        for (const char* label : core::nld_raw_labels) labels.append(label);

    // Each label's position, as the index finds it for a selection (a scalar lookup per label is
    // far cheaper than get_indexer, which builds an index of the labels first).
    nb::object get_loc = device_inputs.attr("index").attr("get_loc");
    core::Float64Array all(device_inputs.attr("to_numpy")(), ndarray, 1);
    Py_ssize_t count = nb::len(labels);
    nb::object values = core::empty(np, {1, count});
    core::Float64Array out(values, ndarray, 2, true);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object position;
        try {
            position = get_loc(labels[i]);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            return {};  // a missing label: the literal steps raise for it
        }
        if (!PyLong_CheckExact(position.ptr())) return {};
        out.at(0, i) = all.at(PyLong_AsSsize_t(position.ptr()));
    }
    if (plan.inputs == core::Inputs::columns) return values;

    nb::object base = core::nld_base_inputs(ctx, plan, values);
    core::Float64Array derived(base, ndarray, 2);
    for (Py_ssize_t i = 0; i < derived.shape(1); ++i)
        if (derived.at(0, i) != derived.at(0, i)) return {};  // NaN: the transform's arithmetic would warn
    return base;
}

// An (submodels, points) float64 array: what the vectorised blend takes as it is.
bool plain_stack(nb::handle stack, nb::handle ndarray, Py_ssize_t points) {
    try {
        core::Float64Array values(stack, ndarray, 2);
        return values.shape(0) > 0 && values.shape(1) == points;
    } catch (const core::NotVectorisable&) {
        return false;
    }
}

}  // namespace

std::optional<nb::object> predict_curves_fast(const py::Call& g) {
    nb::handle models = g[0], device_inputs = g[1], device_type = g[2], curve_types = g[3], config = g[4];
    core::Context ctx(g);
    if (!guards_hold(ctx, device_inputs)) return std::nullopt;
    std::optional<core::Plan> plan =
        core::make_plan(ctx, models, device_type, curve_types, config, core::Stacking::one_device);
    if (!plan || plan->inputs == core::Inputs::transform) return std::nullopt;
    nb::object base;
    try {
        base = base_inputs(ctx, *plan, device_inputs);
    } catch (const core::NotVectorisable&) {
    }
    if (!base.is_valid()) return std::nullopt;

    nb::object np = g("np");
    nb::object ndarray = np.attr("ndarray");
    nb::object predict = g("_predict_from_submodels");
    nb::object mean = np.attr("mean"), std = np.attr("std");
    core::Float64Array inputs(base, ndarray, 2);
    nb::list curve_list;
    for (const core::Job& job : plan->jobs) {
        core::Queries queries(np, ndarray, inputs, job);
        nb::handle X_query = queries.device(0);
        nb::object y_preds_submodels = predict(job.log_model.model, X_query);
        if (job.blends) {
            nb::object y_linear = predict(job.linear_model.model, X_query);
            if (plain_stack(y_preds_submodels, ndarray, job.points) && plain_stack(y_linear, ndarray, job.points)) {
                nb::object one_device = np.attr("newaxis");
                y_preds_submodels = core::blend(np, y_preds_submodels[one_device], y_linear[one_device],
                                                job.weights)[nb::int_(0)];
            } else {
                y_preds_submodels = blend_submodels(g, y_preds_submodels, y_linear, job.x_coords,
                                                    plan->auto_linear_blend);
            }
        }
        // The record's values in key order, as the literal steps compute them.
        nb::object x_coords = job.x_coords.attr("tolist")();
        nb::object y_coords = mean(y_preds_submodels, "axis"_a = 0).attr("tolist")();
        nb::object y_coords_std = std(y_preds_submodels, "axis"_a = 0).attr("tolist")();
        nb::object curves = y_preds_submodels.attr("tolist")();
        curve_list.append(core::curve_record(job, x_coords, y_coords, y_coords_std, curves));
    }
    return curve_list;
}

}  // namespace korva::curve::mos_utils
