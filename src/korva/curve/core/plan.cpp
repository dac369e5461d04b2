// A request resolved once for all its devices: the configuration, the curves and variants in
// record order, the models with how each estimator is called, and the blend weights. The guards
// of the vectorised path live here: whatever they do not vouch for takes the literal steps.
#include "korva/curve/core/core.hpp"

#include "korva/curve/core/float64.hpp"
#include "korva/curve/core/native/native.hpp"

#include <cmath>
#include <cstring>
#include <map>

namespace korva::curve::core {

using namespace nb::literals;

namespace {

// The labels of the Series the table's NLD transform returns, in order.
const char* const nld_derived_labels[] = {"W", "Nf", "A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP"};

// The parameters of _predict_single_curve: a prediction parameter of one of these names makes
// the call fail the way the literal steps report it.
const char* const single_curve_parameters[] = {"models", "device_inputs", "device_type", "curve_type",
                                               "variant", "x_coords", "config"};


// d[key] for an exact dict; NotVectorisable when the key is absent (the literal steps raise).
nb::object item(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        throw NotVectorisable{};
    }
    return nb::borrow(value);
}

nb::object item(nb::handle dict, const char* key) { return item(dict, py::s(key)); }

nb::object exact_dict(nb::object obj) {
    if (!PyDict_CheckExact(obj.ptr())) throw NotVectorisable{};
    return obj;
}

// A curve type, device type or variant label: exact str, whose hashing and comparison run no code.
nb::handle exact_str(nb::handle obj) {
    if (!PyUnicode_CheckExact(obj.ptr())) throw NotVectorisable{};
    return obj;
}

// A variant value that pd.Series(variant) keeps as the same float64: a float, or an int that
// float64 holds exactly.
double variant_value(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow || (number == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            throw NotVectorisable{};
        }
        if (number > (1LL << 53) || number < -(1LL << 53)) throw NotVectorisable{};
        return (double) number;
    }
    throw NotVectorisable{};
}

// Keyword arguments for _predict_single_curve: str keys, none of them one of its parameters.
bool plain_keywords(nb::handle params) {
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(params.ptr(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        for (const char* name : single_curve_parameters)
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) return false;
    }
    return true;
}

// d[key] is `expected` (both absent counts too); d an exact dict, key an exact str.
bool item_is(nb::handle dict, nb::handle key, nb::handle expected) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value == expected.ptr();
}

bool item_is(nb::handle dict, const char* key, nb::handle expected) { return item_is(dict, py::s(key), expected); }

class Resolver {
public:
    Resolver(const Context& ctx, Stacking stacking) : ctx_(ctx), stacking_(stacking) {
        curve_globals_ = ctx.curve_globals;
        np_ = ctx.g("np");
        ndarray_ = np_.attr("ndarray");
    }

    // Everything resolved is held here: resolving runs Python code (attribute lookups, the
    // smoothstep), which may rebind or free what the dicts held a moment ago.
    Plan resolve(nb::handle models, nb::handle device_type, nb::handle curve_types, nb::handle given_config) {
        Plan plan;
        exact_str(device_type);
        if (!given_config.is_none()) exact_dict(nb::borrow(given_config));  // its truth runs no code
        plan.config = exact_dict(ctx_.config(given_config, device_type));

        nb::object params = nb::borrow(PyDict_GetItemWithError(plan.config.ptr(), py::s("PREDICTION_PARAMS").ptr()));
        if (!params.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            params = nb::dict();
        }
        plan.params = params;
        nb::object order;
        plan.auto_linear_blend = prediction_parameters(params, plan.blend_requested, order);
        plan.blend_item = nb::borrow(PyDict_GetItemWithError(params.ptr(), py::s("auto_linear_blend").ptr()));
        if (PyErr_Occurred()) throw nb::python_error();

        inputs(plan);

        nb::object curve_info = exact_dict(item(plan.config, "CURVE_INFO"));
        nb::object requested;
        if (curve_types.is_none())
            requested = nb::steal(PyDict_Keys(curve_info.ptr()));
        else if (PyList_CheckExact(curve_types.ptr()) || PyTuple_CheckExact(curve_types.ptr()))
            requested = nb::borrow(curve_types);
        else
            throw NotVectorisable{};  // any other iterable: the literal steps iterate it per device
        if (!requested.is_valid()) throw nb::python_error();

        plan.models = exact_dict(item(exact_dict(nb::borrow(models)), device_type));
        nb::object curves = nb::steal(PySequence_Tuple(requested.ptr()));  // held while resolving
        if (!curves.is_valid()) throw nb::python_error();
        for (nb::handle curve_type : curves)
            add_curve(plan, curve_info, plan.models, exact_str(curve_type), plan.blend_requested, order);
        return plan;
    }

private:
    // The keyword arguments every _predict_single_curve call gets: a plain dict of str keys, none
    // of them a parameter name, and an "auto_linear_blend" that compares and truncates as a number.
    // Returns that "auto_linear_blend" (0 when absent).
    nb::object prediction_parameters(nb::handle params, bool& blend_requested, nb::object& order) {
        exact_dict(nb::borrow(params));
        if (!plain_keywords(params)) throw NotVectorisable{};
        nb::object blend = nb::borrow(PyDict_GetItemWithError(params.ptr(), py::s("auto_linear_blend").ptr()));
        if (!blend.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::int_(0);  // the default: no blend
        }
        if (!PyLong_CheckExact(blend.ptr()) && !PyFloat_CheckExact(blend.ptr())) throw NotVectorisable{};
        blend_requested = py::compare(blend, nb::int_(0), Py_GT);
        if (blend_requested) {
            order = nb::steal(PyNumber_Long(blend.ptr()));  // int(): raises for an infinite float, as the steps would
            if (!order.is_valid()) throw nb::python_error();
        }
        return blend;
    }

    void inputs(Plan& plan) {
        nb::object base_cols = item(plan.config, "BASE_INPUT_COLS");
        if (!PyList_CheckExact(base_cols.ptr())) throw NotVectorisable{};
        for (nb::handle label : base_cols) plan.base_labels.push_back(nb::borrow(exact_str(label)));
        plan.base_cols = base_cols;

        if (!py::contains(plan.config, py::s("INPUT_TRANSFORM"))) {
            plan.inputs = Inputs::columns;
            return;
        }
        plan.transform = item(plan.config, "INPUT_TRANSFORM");
        if (!py::is_function(plan.transform, mos_utils::nld_input_transform, curve_globals_)) {
            plan.inputs = Inputs::transform;
            return;
        }
        plan.inputs = Inputs::nld_transform;
        for (nb::handle label : plan.base_labels) {
            Py_ssize_t found = -1;
            for (Py_ssize_t i = 0; i < (Py_ssize_t) std::size(nld_derived_labels); ++i)
                if (PyUnicode_CompareWithASCIIString(label.ptr(), nld_derived_labels[i]) == 0) found = i;
            if (found < 0) throw NotVectorisable{};  // the selection raises KeyError per device
            plan.nld_columns.push_back(found);
        }
    }

    ModelCalls model_calls(nb::handle model) {
        ModelCalls calls;
        calls.model = nb::borrow(model);
        nb::object through = ctx_.curve("_predict_from_submodels");
        if (stacking_ == Stacking::one_device ||
            !py::is_function(through, mos_utils::_predict_from_submodels, curve_globals_)) {
            calls.through = through;
            return calls;
        }
        int is_ensemble = PyObject_IsInstance(model.ptr(), ctx_.curve("VotingRegressor").ptr());
        if (is_ensemble < 0) throw nb::python_error();
        if (is_ensemble) {
            nb::object estimators = model.attr("estimators_");
            if (!PyList_CheckExact(estimators.ptr()) || PyList_GET_SIZE(estimators.ptr()) == 0) throw NotVectorisable{};
            nb::object held = nb::steal(PySequence_Tuple(estimators.ptr()));  // reading them runs Python code
            if (!held.is_valid()) throw nb::python_error();
            for (nb::handle estimator : held) calls.submodels.push_back(submodel(estimator));
            return calls;
        }
        int has_predict = PyObject_HasAttrWithError(model.ptr(), py::s("predict").ptr());
        if (has_predict < 0) throw nb::python_error();
        if (!has_predict) throw NotVectorisable{};  // the ValueError of the literal steps
        calls.submodels.push_back(submodel(model));
        return calls;
    }

    // An estimator that stacks may have a kernel of korva's. The linear classes stack in fast mode
    // only through theirs, whose sums do not depend on the other rows: without it, each device's
    // rows are predicted alone, as in exact mode.
    Submodel submodel(nb::handle estimator) {
        nb::object predict = estimator.attr("predict");
        bool stacking = stacks(estimator, Stacking::exact);
        bool linear = !stacking && stacking_ == Stacking::rounding && stacks(estimator, Stacking::rounding);
        std::shared_ptr<const native::Kernel> kernel;
        if (linear) kernel = native::kernel_for(estimator, true);  // a few numbers: read once
        if (linear && kernel) stacking = true;
        bool candidate = stacking && (kernel || native::has_kernel(estimator, linear));
        return {predict, stacking, nb::borrow(estimator), candidate, std::move(kernel), linear};
    }

    // _smoothstep(np.linspace(0, 1, num=points), x_min=0, x_max=1, N=order), once per point count.
    nb::object weights(Py_ssize_t points, nb::handle order) {
        auto known = weights_.find(points);
        if (known != weights_.end()) return known->second;
        nb::object positions = np_.attr("linspace")(nb::int_(0), nb::int_(1), "num"_a = nb::int_(points));
        nb::object result = ctx_.curve("_smoothstep")(positions, "x_min"_a = nb::int_(0), "x_max"_a = nb::int_(1),
                                                      "N"_a = order);
        if (!Float64Array(result, ndarray_, 1).has_shape({points})) throw NotVectorisable{};
        weights_.emplace(points, result);
        return result;
    }

    void add_curve(Plan& plan, nb::handle curve_info, nb::handle device_models, nb::handle curve_type,
                   bool blend_requested, nb::handle order) {
        nb::object info = exact_dict(item(curve_info, curve_type));
        nb::object variants = exact_dict(item(info, "variants"));
        nb::object x_coords = item(info, "x_range");
        Py_ssize_t points = Float64Array(x_coords, ndarray_, 1).shape(0);
        for (const char* key : axis_keys) item(info, key);

        ModelCalls log_model = model_calls(item(device_models, curve_type));
        nb::str linear_name = py::f_string("", curve_type, ".linear");  // an exact str: formatting runs no code
        bool blends = blend_requested && py::contains(device_models, linear_name);
        ModelCalls linear_model;
        nb::object blend_weights;
        if (blends) {
            linear_model = model_calls(item(device_models, linear_name));
            blend_weights = weights(points, order);
        }

        // The variants' labels and dicts held as a list of pairs: nothing below may change them.
        nb::object pairs = nb::steal(PyDict_Items(variants.ptr()));
        if (!pairs.is_valid()) throw nb::python_error();
        for (nb::handle pair : pairs) {
            nb::handle label = exact_str(PyTuple_GET_ITEM(pair.ptr(), 0));
            nb::object variant = exact_dict(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
            Job job;
            job.curve_type = nb::borrow(curve_type);
            job.variant_label = nb::borrow(label);
            job.variant = variant;
            job.curve_info = info;
            job.variants = variants;
            job.x_coords = x_coords;
            job.points = points;
            PyObject *name, *value;
            Py_ssize_t inner = 0;
            while (PyDict_Next(variant.ptr(), &inner, &name, &value))
                job.variant_values.push_back(variant_value(value));
            job.is_default = py::equals(label, "default");
            job.log_model = log_model;
            job.linear_name = linear_name;
            job.blends = blends;
            job.linear_model = linear_model;
            job.weights = blend_weights;
            plan.jobs.push_back(std::move(job));
        }
        plan.max_points = std::max(plan.max_points, points);
    }

    const Context& ctx_;
    Stacking stacking_;
    nb::object curve_globals_, np_, ndarray_;
    std::map<Py_ssize_t, nb::object> weights_;
};

}  // namespace

const char* const nld_raw_labels[5] = {"A", "B", "C", "D", "E"};

const char* const builtins_used[6] = {"isinstance", "hasattr", "len", "int", "zip", "ValueError"};

Context::Context(const py::Call& g, nb::handle curve_module) : g(g), curve_module(nb::borrow(curve_module)) {
    if (PyModule_Check(curve_module.ptr())) curve_globals = nb::borrow(PyModule_GetDict(curve_module.ptr()));
}

Context::Context(const py::Call& g) : g(g), curve_globals(nb::borrow(g.globals())), own_(true) {}

nb::object Context::curve_if_bound(const char* name) const {
    PyObject* value = nullptr;
    int found = curve_globals.is_valid() ? PyDict_GetItemStringRef(curve_globals.ptr(), name, &value)
                                         : PyObject_GetOptionalAttrString(curve_module.ptr(), name, &value);
    if (found < 0) throw nb::python_error();
    return nb::steal(value);
}

nb::object Context::curve(const char* name) const {
    if (own_) return g(name);  // mos_utils itself: its globals, then the builtins, as its code reads them
    nb::object value = curve_if_bound(name);
    if (value.is_valid()) return value;
    if (!curve_globals.is_valid()) return curve_module.attr(name);  // the module's own AttributeError
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
}

nb::object Context::config(nb::handle given, nb::handle device_type) const {
    if (py::truthy(given)) return nb::borrow(given);
    return curve("_DEVICE_CONFIG")[device_type];
}

bool plan_holds(const Plan& plan, const Job& job, nb::handle models, nb::handle device_type) {
    nb::handle config = plan.config;
    if (PyDict_GET_SIZE(config.ptr()) == 0 || !item_is(config, "INPUT_TRANSFORM", plan.transform) ||
        !item_is(config, "BASE_INPUT_COLS", plan.base_cols))
        return false;
    nb::handle base_cols = plan.base_cols;
    if (PyList_GET_SIZE(base_cols.ptr()) != (Py_ssize_t) plan.base_labels.size()) return false;
    for (size_t i = 0; i < plan.base_labels.size(); ++i)
        if (PyList_GET_ITEM(base_cols.ptr(), (Py_ssize_t) i) != plan.base_labels[i].ptr()) return false;
    if (!plain_keywords(plan.params) || !item_is(plan.params, "auto_linear_blend", plan.blend_item)) return false;
    if (!PyDict_CheckExact(models.ptr()) || !item_is(models, device_type, plan.models)) return false;
    if (!item_is(plan.models, job.curve_type, job.log_model.model)) return false;

    PyObject *name, *value;
    Py_ssize_t position = 0;
    size_t count = 0;
    try {
        while (PyDict_Next(job.variant.ptr(), &position, &name, &value)) {
            if (count >= job.variant_values.size()) return false;
            double now = variant_value(value);
            if (std::memcmp(&now, &job.variant_values[count++], sizeof now) != 0) return false;
        }
    } catch (const NotVectorisable&) {
        return false;
    }
    return count == job.variant_values.size();
}

bool blend_holds(const Plan& plan, const Job& job, nb::handle models, nb::handle device_type, nb::handle ndarray) {
    if (!PyDict_CheckExact(models.ptr()) || !item_is(models, device_type, plan.models)) return false;
    if (plan.blend_requested) {
        int present = PyDict_Contains(plan.models.ptr(), job.linear_name.ptr());
        if (present < 0) throw nb::python_error();
        if (present != (int) job.blends) return false;
        if (job.blends && !item_is(plan.models, job.linear_name, job.linear_model.model)) return false;
    }
    return x_range_holds(job, ndarray);
}

bool x_range_holds(const Job& job, nb::handle ndarray) {
    try {
        return Float64Array(job.x_coords, ndarray, 1).has_shape({job.points});
    } catch (const NotVectorisable&) {
        return false;
    }
}

bool curve_module_is_original(const Context& ctx) {
    if (!ctx.curve_globals.is_valid()) return false;
    nb::handle globals = ctx.curve_globals;
    auto global = [&](const char* name) { return ctx.curve_if_bound(name); };
    if (!py::is_function(global("predict_curves_for_inputs"), mos_utils::predict_curves_for_inputs, globals))
        return false;
    if (!py::is_function(global("_predict_single_curve"), mos_utils::_predict_single_curve, globals)) return false;
    if (!global("np").is(py::loaded_module("numpy")) || !global("pd").is(py::loaded_module("pandas"))) return false;
    for (const char* name : builtins_used)
        if (global(name).is_valid()) return false;
    return true;
}

std::optional<Plan> make_plan(const Context& ctx, nb::handle models, nb::handle device_type, nb::handle curve_types,
                              nb::handle config, Stacking stacking) {
    try {
        return Resolver(ctx, stacking).resolve(models, device_type, curve_types, config);
    } catch (const NotVectorisable&) {
        return std::nullopt;
    } catch (nb::python_error& error) {
        // A lookup that raises here raises again, at its own step, in the literal steps.
        if (!error.matches(PyExc_Exception)) throw;
        return std::nullopt;
    }
}

}  // namespace korva::curve::core
