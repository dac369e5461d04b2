// Which estimators may predict the query rows of many devices in one call. Only exact
// scikit-learn classes named here, with the settings checked here, are trusted; anything else
// (other classes, subclasses, an instance with its own `predict`) predicts device by device.
#include "korva/curve/core/core.hpp"

#include <cstring>

namespace korva::curve::core {

namespace {

enum class Rows {
    independent,  // a row's prediction never depends on the other rows, to the bit
    rounding,     // it may differ in the last bits (BLAS kernels group rows differently)
};

struct KnownClass {
    const char* module;  // the public module that exports the class
    const char* name;
    Rows rows;
    bool (*settings_allow)(nb::handle estimator);  // nullptr: every setting
};

// Trees add up in estimator order on one thread; with worker threads the order would vary. A
// forest's n_jobs of None means joblib's current default, which parallel_config can raise; so
// only what joblib.effective_n_jobs(n_jobs) makes of it counts.
bool forest_allows(nb::handle estimator) {
    nb::object n_jobs = nb::getattr(estimator, "n_jobs", nb::none());
    if (!n_jobs.is_none() && !PyLong_CheckExact(n_jobs.ptr())) return false;
    nb::object effective_n_jobs = py::loaded_attribute("joblib", "effective_n_jobs");
    if (effective_n_jobs.is_none()) return false;
    nb::object effective = effective_n_jobs(n_jobs);
    if (!PyLong_CheckExact(effective.ptr())) return false;
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(effective.ptr(), &overflow);  // a huge n_jobs overflows
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return !overflow && value == 1;
}

// Boosting starts from the initial estimator's prediction: a constant, or zero.
bool boosting_allows(nb::handle estimator) {
    nb::object init = nb::getattr(estimator, "init_", nb::none());
    if (PyUnicode_CheckExact(init.ptr())) return py::equals(init, "zero");
    return init.type().is(py::loaded_attribute("sklearn.dummy", "DummyRegressor"));
}

// Neighbours found by a tree search are those of each row alone; brute force computes distances
// through matrix products, whose rounding can change which neighbour is nearest.
bool neighbours_allow(nb::handle estimator) {
    nb::object method = nb::getattr(estimator, "_fit_method", nb::none());
    nb::object weights = nb::getattr(estimator, "weights", nb::none());
    bool tree_search = py::equals(method, "kd_tree") || py::equals(method, "ball_tree");
    bool known_weights = PyUnicode_Check(weights.ptr()) &&
                         (py::equals(weights, "uniform") || py::equals(weights, "distance"));
    return tree_search && known_weights;
}

const KnownClass known_classes[] = {
    {"sklearn.tree", "DecisionTreeRegressor", Rows::independent, nullptr},
    {"sklearn.tree", "ExtraTreeRegressor", Rows::independent, nullptr},
    {"sklearn.ensemble", "RandomForestRegressor", Rows::independent, forest_allows},
    {"sklearn.ensemble", "ExtraTreesRegressor", Rows::independent, forest_allows},
    {"sklearn.ensemble", "GradientBoostingRegressor", Rows::independent, boosting_allows},
    {"sklearn.ensemble", "HistGradientBoostingRegressor", Rows::independent, nullptr},
    {"sklearn.neighbors", "KNeighborsRegressor", Rows::independent, neighbours_allow},
    {"sklearn.neighbors", "RadiusNeighborsRegressor", Rows::independent, neighbours_allow},
    {"sklearn.dummy", "DummyRegressor", Rows::independent, nullptr},
    {"sklearn.linear_model", "LinearRegression", Rows::rounding, nullptr},
    {"sklearn.linear_model", "Ridge", Rows::rounding, nullptr},
    {"sklearn.linear_model", "Lasso", Rows::rounding, nullptr},
    {"sklearn.linear_model", "ElasticNet", Rows::rounding, nullptr},
    {"sklearn.linear_model", "BayesianRidge", Rows::rounding, nullptr},
    {"sklearn.linear_model", "HuberRegressor", Rows::rounding, nullptr},
    {"sklearn.linear_model", "SGDRegressor", Rows::rounding, nullptr},
};

}  // namespace

bool stacks(nb::handle estimator, Stacking stacking) {
    // An instance attribute `predict` replaces the class's method for this estimator alone.
    nb::object instance_dict = nb::getattr(estimator, "__dict__", nb::none());
    if (!PyDict_Check(instance_dict.ptr())) return false;
    if (py::contains(instance_dict, py::s("predict"))) return false;

    nb::object type = nb::borrow(estimator.type());  // held: the settings' getattr can run code
    for (const KnownClass& known : known_classes) {
        if (std::strcmp(known.name, ((PyTypeObject*) type.ptr())->tp_name) != 0) continue;
        if (!type.is(py::loaded_attribute(known.module, known.name))) continue;
        if (known.rows == Rows::rounding && stacking == Stacking::exact) return false;
        return !known.settings_allow || known.settings_allow(estimator);
    }
    return false;
}

}  // namespace korva::curve::core
