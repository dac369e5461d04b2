// A request resolved once for all its devices: the configuration, the curves and variants in
// record order, the models with how each estimator is called, and the blend weights. The guards
// of the vectorised path live here: whatever they do not vouch for takes the literal steps.
#include "korva/curve/core/core.hpp"

#include "korva/curve/core/float64.hpp"

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

// Names the curve steps take from the builtins; one bound in mos_utils would shadow it there.
const char* const builtins_used[] = {"isinstance", "hasattr", "len", "int", "zip", "ValueError"};

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

nb::handle exact_dict(nb::handle obj) {
    if (!PyDict_CheckExact(obj.ptr())) throw NotVectorisable{};
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

class Resolver {
public:
    Resolver(const Context& ctx, Stacking stacking) : ctx_(ctx), stacking_(stacking) {
        curve_globals_ = ctx.curve_globals;
        np_ = ctx.g("np");
        ndarray_ = np_.attr("ndarray");
    }

    Plan resolve(nb::handle models, nb::handle device_type, nb::handle curve_types, nb::handle given_config) {
        Plan plan;
        plan.config = configuration(device_type, given_config);

        nb::object params = nb::borrow(PyDict_GetItemWithError(plan.config.ptr(), py::s("PREDICTION_PARAMS").ptr()));
        if (!params.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            params = nb::dict();
        }
        bool blend_requested = false;
        nb::object order;
        plan.auto_linear_blend = prediction_parameters(params, blend_requested, order);

        inputs(plan);

        nb::handle curve_info = exact_dict(item(plan.config, "CURVE_INFO"));
        nb::object requested;
        if (curve_types.is_none())
            requested = nb::steal(PyDict_Keys(curve_info.ptr()));
        else if (PyList_CheckExact(curve_types.ptr()) || PyTuple_CheckExact(curve_types.ptr()))
            requested = nb::borrow(curve_types);
        else
            throw NotVectorisable{};  // any other iterable: the literal steps iterate it per device
        if (!requested.is_valid()) throw nb::python_error();

        nb::handle device_models = exact_dict(item(exact_dict(models), device_type));
        for (nb::handle curve_type : requested) add_curve(plan, curve_info, device_models, curve_type, blend_requested, order);
        return plan;
    }

private:
    // config or _DEVICE_CONFIG[device_type]
    nb::object configuration(nb::handle device_type, nb::handle given) {
        if (!given.is_none()) {
            exact_dict(given);
            if (PyDict_GET_SIZE(given.ptr()) > 0) return nb::borrow(given);
        }
        nb::object table = ctx_.curve("_DEVICE_CONFIG");
        return nb::borrow(exact_dict(item(exact_dict(table), device_type)));
    }

    // The keyword arguments every _predict_single_curve call gets: a plain dict of str keys, none
    // of them a parameter name, and an "auto_linear_blend" that compares and truncates as a number.
    // Returns that "auto_linear_blend" (0 when absent).
    nb::object prediction_parameters(nb::handle params, bool& blend_requested, nb::object& order) {
        exact_dict(params);
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(params.ptr(), &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) throw NotVectorisable{};
            for (const char* name : single_curve_parameters)
                if (PyUnicode_CompareWithASCIIString(key, name) == 0) throw NotVectorisable{};
        }
        nb::object blend = nb::borrow(PyDict_GetItemWithError(params.ptr(), py::s("auto_linear_blend").ptr()));
        if (!blend.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::int_(0);  // the default: no blend
        }
        if (!PyLong_CheckExact(blend.ptr()) && !PyFloat_CheckExact(blend.ptr())) throw NotVectorisable{};
        blend_requested = py::compare(blend, nb::int_(0), Py_GT);
        if (blend_requested) order = ctx_.g("int")(blend);  // raises for an infinite float, as the steps would
        return blend;
    }

    void inputs(Plan& plan) {
        nb::object base_cols = item(plan.config, "BASE_INPUT_COLS");
        if (!PyList_CheckExact(base_cols.ptr())) throw NotVectorisable{};
        for (nb::handle label : base_cols)
            if (!PyUnicode_CheckExact(label.ptr())) throw NotVectorisable{};
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
        for (nb::handle label : base_cols) {
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
        if (!py::is_function(through, mos_utils::_predict_from_submodels, curve_globals_)) {
            calls.through = through;
            return calls;
        }
        if (stacking_ == Stacking::one_device) return calls;  // called through _predict_from_submodels
        int is_ensemble = PyObject_IsInstance(model.ptr(), ctx_.curve("VotingRegressor").ptr());
        if (is_ensemble < 0) throw nb::python_error();
        if (is_ensemble) {
            nb::object estimators = model.attr("estimators_");
            if (!PyList_CheckExact(estimators.ptr()) || PyList_GET_SIZE(estimators.ptr()) == 0) throw NotVectorisable{};
            for (nb::handle estimator : estimators)
                calls.submodels.push_back({estimator.attr("predict"), stacks(estimator, stacking_)});
            return calls;
        }
        int has_predict = PyObject_HasAttrWithError(model.ptr(), py::s("predict").ptr());
        if (has_predict < 0) throw nb::python_error();
        if (!has_predict) throw NotVectorisable{};  // the ValueError of the literal steps
        calls.submodels.push_back({model.attr("predict"), stacks(model, stacking_)});
        return calls;
    }

    // _smoothstep(np.linspace(0, 1, num=points), x_min=0, x_max=1, N=order), once per point count.
    nb::object weights(Py_ssize_t points, nb::handle order) {
        auto known = weights_.find(points);
        if (known != weights_.end()) return known->second;
        nb::object positions = np_.attr("linspace")(nb::int_(0), nb::int_(1), "num"_a = nb::int_(points));
        nb::object result = ctx_.curve("_smoothstep")(positions, "x_min"_a = nb::int_(0), "x_max"_a = nb::int_(1),
                                                      "N"_a = order);
        Float64Array check(result, ndarray_, 1);
        if (check.shape(0) != points) throw NotVectorisable{};
        weights_.emplace(points, result);
        return result;
    }

    void add_curve(Plan& plan, nb::handle curve_info, nb::handle device_models, nb::handle curve_type,
                   bool blend_requested, nb::handle order) {
        nb::handle info = exact_dict(item(curve_info, curve_type));
        nb::handle variants = exact_dict(item(info, "variants"));
        nb::object x_coords = item(info, "x_range");
        Py_ssize_t points = Float64Array(x_coords, ndarray_, 1).shape(0);
        for (const char* label : {"x_label", "x_unit", "y_label", "y_unit"}) item(info, label);

        ModelCalls log_model = model_calls(item(device_models, curve_type));
        nb::str linear_name = py::f_string("", curve_type, ".linear");
        bool blends = blend_requested && py::contains(device_models, linear_name);
        ModelCalls linear_model;
        nb::object blend_weights;
        if (blends) {
            linear_model = model_calls(item(device_models, linear_name));
            blend_weights = weights(points, order);
        }

        PyObject *label, *variant;
        Py_ssize_t position = 0;
        while (PyDict_Next(variants.ptr(), &position, &label, &variant)) {
            Job job;
            job.curve_type = nb::borrow(curve_type);
            job.variant_label = nb::borrow(label);
            job.variant = nb::borrow(exact_dict(variant));
            job.curve_info = nb::borrow(info);
            job.x_coords = x_coords;
            job.points = points;
            PyObject *name, *value;
            Py_ssize_t inner = 0;
            while (PyDict_Next(variant, &inner, &name, &value)) job.variant_values.push_back(variant_value(value));
            job.is_default = py::equals(label, "default");
            job.log_model = log_model;
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

Context::Context(const py::Call& g, nb::handle curve_module) : g(g), curve_module(nb::borrow(curve_module)) {
    if (PyModule_Check(curve_module.ptr())) curve_globals = nb::borrow(PyModule_GetDict(curve_module.ptr()));
}

Context::Context(const py::Call& g) : g(g), curve_globals(nb::borrow(g.globals())) {}

nb::object Context::curve(const char* name) const {
    if (!curve_globals.is_valid()) return curve_module.attr(name);
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(curve_globals.ptr(), name, &value);
    if (found < 0) throw nb::python_error();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::steal(value);
}

bool ModelCalls::needs_device_matrices() const {
    if (through.is_valid()) return true;
    for (const Submodel& submodel : submodels)
        if (!submodel.stacks) return true;
    return false;
}

bool ModelCalls::needs_stacked_matrix() const {
    if (through.is_valid()) return false;
    for (const Submodel& submodel : submodels)
        if (submodel.stacks) return true;
    return false;
}

bool curve_module_is_original(const Context& ctx) {
    if (!ctx.curve_globals.is_valid()) return false;
    nb::handle globals = ctx.curve_globals;
    auto global = [&](const char* name) -> nb::object {
        PyObject* value = PyDict_GetItemString(globals.ptr(), name);  // borrowed; the dict holds it
        return value ? nb::borrow(value) : nb::object();
    };
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
