// The single-device fast path of korva.curve.mos_utils.predict_curves_for_inputs: within the loop
// of the literal steps, each variant's submodel curves through the vectorised curve core, with the
// same query matrices handed to the same predict calls in the same order, without the per-curve
// pandas steps. The guards: a plain float64 Series, the module's own globals, and a configuration
// the core resolves in full (the table's or plain dicts, lists and numbers, with no transform but
// the table's own); checked before the first variant and, since a model's predict can change any
// of them, again after every prediction, together with everything the plan resolved that the
// literal steps read again. From the first difference on, the literal steps run.
#include "korva/curve/core/core.hpp"

#include <cstring>

namespace korva::curve::mos_utils {

using namespace nb::literals;

namespace {

// The module's own globals: the ones the curve steps read, each still what the module bound.
bool globals_hold(const core::Context& ctx) {
    if (!core::curve_module_is_original(ctx)) return false;
    nb::handle globals = ctx.curve_globals;
    return py::is_function(ctx.curve_if_bound("_predict_from_submodels"), _predict_from_submodels, globals) &&
           py::is_function(ctx.curve_if_bound("_smoothstep"), _smoothstep, globals) &&
           ctx.curve_if_bound("VotingRegressor").is(py::loaded_attribute("sklearn.ensemble", "VotingRegressor")) &&
           ctx.curve_if_bound("comb").is(py::loaded_attribute("scipy.special", "comb"));
}

// Those globals as they were when globals_hold() held (the builtins' names among them unbound):
// later checks need only see that each is still the same object.
class GlobalsSeen {
public:
    void capture(const core::Context& ctx) {
        globals_ = ctx.curve_globals;
        for (const char* name : {"predict_curves_for_inputs", "_predict_single_curve", "np", "pd",
                                 "_predict_from_submodels", "_smoothstep", "VotingRegressor", "comb"})
            seen_.emplace_back(nb::str(name), ctx.curve_if_bound(name));
        for (const char* name : core::builtins_used) seen_.emplace_back(nb::str(name), nb::object());
    }

    bool unchanged() const {
        for (const auto& [name, value] : seen_) {
            PyObject* now = PyDict_GetItemWithError(globals_.ptr(), name.ptr());
            if (!now && PyErr_Occurred()) throw nb::python_error();
            if (now != value.ptr()) return false;
        }
        return true;
    }

private:
    nb::object globals_;
    std::vector<std::pair<nb::str, nb::object>> seen_;
};

// The device's inputs as the plan read them: the raw values (the base input columns, or "A" to
// "E" for the table's NLD transform) at their positions in the Series.
struct DeviceRead {
    nb::object type;                   // pd.Series when read
    nb::object index;                  // the Series' index when read: positions hold while it does
    std::vector<Py_ssize_t> positions;
    std::vector<double> values;
};

// type(device_inputs) is pd.Series, of dtype float64, its values an ndarray of float64.
std::optional<nb::object> series_values(const core::Context& ctx, nb::handle device_inputs) {
    if (!device_inputs.type().is(ctx.g("pd").attr("Series"))) return std::nullopt;
    nb::object np = ctx.g("np");
    if (!core::is_float64(np, device_inputs.attr("dtype"))) return std::nullopt;
    return device_inputs.attr("to_numpy")();
}

// Reads the labels by position, as a selection by label finds them (a scalar lookup per label
// is far cheaper than get_indexer, which builds an index of the labels first). Empty when a label
// is missing (the literal steps raise for it) or the Series is not what the guards ask for.
std::optional<DeviceRead> read_device(const core::Context& ctx, const core::Plan& plan, nb::handle device_inputs) {
    std::optional<nb::object> all_values = series_values(ctx, device_inputs);
    if (!all_values) return std::nullopt;
    DeviceRead read;
    read.type = nb::borrow(device_inputs.type());
    read.index = device_inputs.attr("index");
    if (!py::truthy(read.index.attr("is_unique"))) return std::nullopt;
    nb::list labels;
    if (plan.inputs == core::Inputs::columns)
        for (const nb::object& label : plan.base_labels) labels.append(label);
    else
        for (const char* label : core::nld_raw_labels) labels.append(label);
    nb::object get_loc = read.index.attr("get_loc");
    for (nb::handle label : labels) {
        nb::object position;
        try {
            position = get_loc(label);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            return std::nullopt;
        }
        if (!PyLong_CheckExact(position.ptr())) return std::nullopt;
        Py_ssize_t at = PyLong_AsSsize_t(position.ptr());
        if (at == -1 && PyErr_Occurred()) throw nb::python_error();
        read.positions.push_back(at);
    }
    nb::object np = ctx.g("np");
    core::Float64Array all(*all_values, np.attr("ndarray"), 1);
    for (Py_ssize_t at : read.positions) {
        if (at < 0 || at >= all.shape(0)) return std::nullopt;
        read.values.push_back(all.at(at));
    }
    return read;
}

// Whether the Series, still of the type read, holds at the same positions of the same index the
// very values read (as float64 values: its dtype cannot have changed otherwise).
bool device_unchanged(const DeviceRead& read, nb::handle device_inputs, nb::handle ndarray) {
    if (!device_inputs.type().is(read.type) || !device_inputs.attr("index").is(read.index)) return false;
    core::Float64Array all(device_inputs.attr("to_numpy")(), ndarray, 1);
    for (size_t i = 0; i < read.positions.size(); ++i) {
        Py_ssize_t at = read.positions[i];
        if (at >= all.shape(0)) return false;
        double value = all.at(at);
        if (std::memcmp(&value, &read.values[i], sizeof value) != 0) return false;
    }
    return true;
}

// The device's base inputs, a (1, n_base) float64 array: the values read, or the NLD transform's
// derived inputs of them; invalid when the transform's arithmetic would not stay within the
// normal numbers (numpy's scalar arithmetic would warn).
nb::object base_inputs(const core::Context& ctx, const core::Plan& plan, const DeviceRead& read) {
    nb::object np = ctx.g("np");
    nb::object ndarray = np.attr("ndarray");
    Py_ssize_t count = (Py_ssize_t) read.values.size();
    nb::object values = core::empty(np, ndarray, {1, count});
    {
        core::Float64Array out(values, ndarray, 2, true);
        for (Py_ssize_t i = 0; i < count; ++i) out.at(0, i) = read.values[i];
    }
    if (plan.inputs == core::Inputs::columns) return values;

    nb::object base = core::nld_base_inputs(ctx, plan, values);
    core::Float64Array derived(base, ndarray, 2);
    for (Py_ssize_t i = 0; i < derived.shape(1); ++i)
        if (derived.at(0, i) != derived.at(0, i)) return {};  // NaN: the transform's arithmetic would warn
    return base;
}

}  // namespace

struct FastCurves::State {
    State(const py::Call& g) : g(g), ctx(g) {}

    const py::Call& g;
    core::Context ctx;
    GlobalsSeen seen;
    core::Plan plan;
    DeviceRead read;
    nb::object np, ndarray, base;
    size_t next = 0;  // the plan's job for the next variant

    // What the plan resolved from the request, as the literal steps would read it now.
    bool request_holds(const core::Job& job) {
        return checked([&] {
            return seen.unchanged() && core::plan_holds(plan, job, g[0], g[2]) && device_unchanged(read, g[1], ndarray);
        });
    }

    // After the log-space prediction: what the rest of the variant's literal steps read.
    bool blend_holds(const core::Job& job) {
        return checked([&] { return seen.unchanged() && core::blend_holds(plan, job, g[0], g[2], ndarray); });
    }

    // A check that cannot be made (a replaced library function raised, say) counts as a difference:
    // the literal steps then meet whatever raised at their own step, or nothing.
    template <class Check>
    static bool checked(Check&& check) {
        try {
            return check();
        } catch (const core::NotVectorisable&) {
            return false;
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            return false;
        }
    }

    bool start();
    nb::object variant(const core::Job& job);
};

FastCurves::FastCurves(const py::Call& g) {
    auto state = std::make_unique<State>(g);
    if (State::checked([&] { return state->start(); })) state_ = std::move(state);
}

// The guards, the plan and the device's inputs: whether the core can take this request.
bool FastCurves::State::start() {
    nb::handle models = g[0], device_inputs = g[1], device_type = g[2], curve_types = g[3], config = g[4];
    if (!globals_hold(ctx)) return false;
    seen.capture(ctx);
    std::optional<core::Plan> made =
        core::make_plan(ctx, models, device_type, curve_types, config, core::Stacking::one_device);
    if (!made || made->inputs == core::Inputs::transform) return false;
    plan = std::move(*made);
    std::optional<DeviceRead> device = read_device(ctx, plan, device_inputs);
    if (!device) return false;
    read = std::move(*device);
    base = base_inputs(ctx, plan, read);
    np = g("np");
    ndarray = np.attr("ndarray");
    return base.is_valid();
}

FastCurves::~FastCurves() = default;

void FastCurves::begin(nb::handle config, nb::handle pred_params) {
    if (!state_) return;
    // The plan reads the prediction parameters as they are; absent, the literal steps' own {}
    // cannot change.
    if (!config.is(state_->plan.config)) {
        state_.reset();
        return;
    }
    bool own_params = !py::contains(config, py::s("PREDICTION_PARAMS"));
    if (!own_params && !pred_params.is(state_->plan.params)) state_.reset();
}

nb::object FastCurves::curve(nb::handle predict, nb::handle curve_type, nb::handle curve_info, nb::handle variants,
                             nb::handle x_coords, nb::handle variant_label, nb::handle variant_dict) {
    if (!state_) return {};
    State& s = *state_;
    if (s.next >= s.plan.jobs.size()) {
        state_.reset();
        return {};
    }
    const core::Job& job = s.plan.jobs[s.next];
    bool same = job.curve_type.is(curve_type) && job.curve_info.is(curve_info) && job.variants.is(variants) &&
                job.x_coords.is(x_coords) && job.variant_label.is(variant_label) && job.variant.is(variant_dict) &&
                py::is_function(predict, _predict_single_curve, s.ctx.curve_globals);
    // The first variant follows the plan directly; any later one follows predictions.
    if (!same || (s.next > 0 && !s.request_holds(job))) {
        state_.reset();
        return {};
    }
    ++s.next;
    return s.variant(job);
}

// _predict_single_curve for one planned variant. Up to the first prediction a difference still
// leaves the whole variant to the literal steps; after it, they take over where the core stops.
nb::object FastCurves::State::variant(const core::Job& job) {
    core::Float64Array inputs(base, ndarray, 2);
    std::optional<core::Queries> queries;
    nb::object X_query;
    try {
        queries.emplace(np, ndarray, inputs, job);
        X_query = nb::borrow(queries->device(0));
    } catch (const core::NotVectorisable&) {
        next = plan.jobs.size();
        return {};  // the x range is no longer the planned one, or numpy.empty not what it was asked
    }
    core::Prediction log = core::predict_model(np, ndarray, job.log_model, *queries);
    nb::handle auto_linear_blend = plan.auto_linear_blend;
    if (!blend_holds(job)) {
        next = plan.jobs.size();  // the literal steps from here on
        return blend_if_asked(g, g[0], g[2], job.curve_type, job.x_coords, X_query, log.returned, auto_linear_blend);
    }
    if (!job.blends) return log.returned;
    core::Prediction linear = core::predict_model(np, ndarray, job.linear_model, *queries);
    if (!checked([&] { return seen.unchanged() && core::x_range_holds(job, ndarray); })) next = plan.jobs.size();
    else if (log.stack.is_valid() && linear.stack.is_valid()) {
        try {
            return core::blend(np, ndarray, log.stack, linear.stack, job.weights)[nb::int_(0)];
        } catch (const core::NotVectorisable&) {
        }
    }
    return blend_submodels(g, log.returned, linear.returned, job.x_coords, auto_linear_blend);
}

}  // namespace korva::curve::mos_utils
