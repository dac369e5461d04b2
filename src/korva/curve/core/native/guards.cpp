// Which estimators korva evaluates itself, and the readers of their fitted state. An estimator
// qualifies by exact class, by the methods its predict runs being scikit-learn's own (neither the
// class nor the instance patched), by fitted without feature names (its predict would warn about
// an unnamed array), and by a fitted state of the expected shapes and dtypes, copied here once.
#include "korva/curve/core/native/native.hpp"

#include <algorithm>
#include <cfenv>
#include <cstring>
#include <type_traits>

namespace korva::curve::core::native {

namespace {

struct NativeClass {
    const char* module;  // the public module that exports the class
    const char* name;
    std::shared_ptr<const Kernel> (*make)(nb::handle estimator);
    bool linear;  // computed in korva's own order: fast mode only
};

const NativeClass native_classes[] = {
    {"sklearn.tree", "DecisionTreeRegressor", tree_kernel, false},
    {"sklearn.tree", "ExtraTreeRegressor", tree_kernel, false},
    {"sklearn.ensemble", "RandomForestRegressor", forest_kernel, false},
    {"sklearn.ensemble", "ExtraTreesRegressor", forest_kernel, false},
    {"sklearn.ensemble", "GradientBoostingRegressor", gradient_boosting_kernel, false},
    {"sklearn.ensemble", "HistGradientBoostingRegressor", hist_boosting_kernel, false},
    {"sklearn.neighbors", "KNeighborsRegressor", neighbours_kernel, false},
    {"sklearn.linear_model", "LinearRegression", linear_kernel, true},
    {"sklearn.linear_model", "Ridge", linear_kernel, true},
    {"sklearn.linear_model", "Lasso", linear_kernel, true},
    {"sklearn.linear_model", "ElasticNet", linear_kernel, true},
    {"sklearn.linear_model", "BayesianRidge", linear_kernel, true},
    {"sklearn.linear_model", "HuberRegressor", linear_kernel, true},
    {"sklearn.linear_model", "SGDRegressor", linear_kernel, true},
};

// The struct-module codes numpy gives a native buffer of T.
template <class T>
bool format_is(const char* format, Py_ssize_t itemsize) {
    if (!format || itemsize != (Py_ssize_t) sizeof(T)) return false;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
    if (format[0] == 0 || format[1] != 0) return false;
    char code = format[0];
    if constexpr (std::is_same_v<T, double>) return code == 'd';
    else if constexpr (std::is_same_v<T, float>) return code == 'f';
    else if constexpr (std::is_same_v<T, int64_t>) return code == 'l' || code == 'q';
    else if constexpr (std::is_same_v<T, uint32_t>) return code == 'I';
    else if constexpr (std::is_same_v<T, uint8_t>) return code == 'B' || code == '?';
    else return false;
}

}  // namespace

bool has_instance_attribute(nb::handle obj, const char* name) {
    nb::object dict = nb::getattr(obj, "__dict__", nb::none());
    if (!PyDict_Check(dict.ptr())) return true;
    return py::contains(dict, py::s(name));
}

nb::object attribute(nb::handle obj, const char* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(obj.ptr(), name, &value) < 0) throw nb::python_error();
    if (!value) throw Unexpected{};
    return nb::steal(value);
}

Py_ssize_t whole(nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) throw Unexpected{};
    Py_ssize_t number = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw Unexpected{};
    }
    return number;
}

Py_ssize_t features_in(nb::handle estimator) {
    Py_ssize_t count = whole(attribute(estimator, "n_features_in_"));
    if (count < 1) throw Unexpected{};
    return count;
}

double real(nb::handle value) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    std::vector<Py_ssize_t> shape;
    std::vector<double> values = array_values<double>(value, 1, &shape);
    if (values.size() != 1) throw Unexpected{};
    return values[0];
}

template <class T>
std::vector<T> array_values(nb::handle array, int ndim, std::vector<Py_ssize_t>* shape) {
    if (!array.type().is(py::loaded_attribute("numpy", "ndarray"))) throw Unexpected{};
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        throw Unexpected{};
    }
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
    if (view.ndim != ndim || !format_is<T>(view.format, view.itemsize)) throw Unexpected{};
    Py_ssize_t count = 1;
    for (int axis = 0; axis < ndim; ++axis) {
        if (view.shape[axis] < 0 || (view.shape[axis] && count > PY_SSIZE_T_MAX / 16 / view.shape[axis]))
            throw Unexpected{};
        count *= view.shape[axis];
    }
    if (shape) shape->assign(view.shape, view.shape + ndim);
    std::vector<T> values((size_t) count);
    if (PyBuffer_IsContiguous(&view, 'C')) {
        if (count) std::memcpy(values.data(), view.buf, sizeof(T) * (size_t) count);
        return values;
    }
    if (ndim == 1) {  // a field of a structured array, say: one stride
        const char* at = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < count; ++i, at += view.strides[0]) std::memcpy(&values[i], at, sizeof(T));
        return values;
    }
    std::vector<Py_ssize_t> index((size_t) ndim, 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char* at = static_cast<const char*>(view.buf);
        for (int axis = 0; axis < ndim; ++axis) at += index[axis] * view.strides[axis];
        std::memcpy(&values[i], at, sizeof(T));
        for (int axis = ndim - 1; axis >= 0; --axis) {
            if (++index[axis] < view.shape[axis]) break;
            index[axis] = 0;
        }
    }
    return values;
}

template <class T>
ArrayView<T>::ArrayView(nb::handle array, int ndim) {
    if (!array.type().is(py::loaded_attribute("numpy", "ndarray"))) throw Unexpected{};
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        throw Unexpected{};
    }
    bool shaped = view_.ndim == ndim;
    for (int axis = 0; shaped && axis < ndim; ++axis) shaped = view_.shape[axis] >= 0;
    if (!shaped || !format_is<T>(view_.format, view_.itemsize)) {
        PyBuffer_Release(&view_);
        throw Unexpected{};
    }
}

template class ArrayView<double>;
template class ArrayView<int64_t>;
template class ArrayView<uint8_t>;

template std::vector<double> array_values<double>(nb::handle, int, std::vector<Py_ssize_t>*);
template std::vector<float> array_values<float>(nb::handle, int, std::vector<Py_ssize_t>*);
template std::vector<int64_t> array_values<int64_t>(nb::handle, int, std::vector<Py_ssize_t>*);
template std::vector<uint32_t> array_values<uint32_t>(nb::handle, int, std::vector<Py_ssize_t>*);
template std::vector<uint8_t> array_values<uint8_t>(nb::handle, int, std::vector<Py_ssize_t>*);

bool own_method(nb::handle obj, const char* name, const char* package) {
    if (has_instance_attribute(obj, name)) return false;
    nb::object method = nb::steal(_PyType_LookupRef(Py_TYPE(obj.ptr()), py::s(name).ptr()));
    if (!method.is_valid() || !PyFunction_Check(method.ptr())) return false;
    PyObject* module = PyFunction_GetModule(method.ptr());  // borrowed from the function
    if (!module || !PyUnicode_Check(module)) return false;
    const char* text = PyUnicode_AsUTF8(module);
    if (!text) throw nb::python_error();
    return std::strncmp(text, package, std::strlen(package)) == 0;
}

bool is_exactly(nb::handle obj, const char* module, const char* name) {
    nb::object type = py::loaded_attribute(module, name);
    return !type.is_none() && obj.type().is(type);
}

FloatingFlags::FloatingFlags() { std::feclearexcept(FE_ALL_EXCEPT); }

bool FloatingFlags::raised() const { return std::fetestexcept(FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO) != 0; }

bool has_kernel(nb::handle estimator, bool linear) {
    nb::handle type = estimator.type();
    for (const NativeClass& known : native_classes)
        if (std::strcmp(known.name, ((PyTypeObject*) type.ptr())->tp_name) == 0 &&
            type.is(py::loaded_attribute(known.module, known.name)))
            return !known.linear || linear;
    return false;
}

std::shared_ptr<const Kernel> kernel_for(nb::handle estimator, bool linear) {
    nb::object type = nb::borrow(estimator.type());  // held: the readers below run Python code
    for (const NativeClass& known : native_classes) {
        if (std::strcmp(known.name, ((PyTypeObject*) type.ptr())->tp_name) != 0) continue;
        if (!type.is(py::loaded_attribute(known.module, known.name))) continue;
        if (known.linear && !linear) return nullptr;
        try {
            if (has_instance_attribute(estimator, "feature_names_in_") || !own_method(estimator, "predict"))
                return nullptr;
            return known.make(estimator);
        } catch (const Unexpected&) {
            return nullptr;
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            return nullptr;  // a reader that raises: the estimator's own predict says what happens
        }
    }
    return nullptr;
}

void RowsData::sort_x() {
    Py_ssize_t points = (Py_ssize_t) x.size();
    x_order.resize((size_t) points);
    for (Py_ssize_t r = 0; r < points; ++r) x_order[r] = r;
    std::stable_sort(x_order.begin(), x_order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
        bool a_nan = x[a] != x[a], b_nan = x[b] != x[b];
        if (a_nan || b_nan) return !a_nan && b_nan;
        return x[a] < x[b];
    });
    x_numbers = 0;
    while (x_numbers < points && x[x_order[x_numbers]] == x[x_order[x_numbers]]) ++x_numbers;
}

Rows RowsData::rows() const {
    Rows rows;
    rows.base = base.data();
    rows.devices = devices;
    rows.base_count = base_count;
    rows.variant = variant.data();
    rows.variant_count = (Py_ssize_t) variant.size();
    rows.x = x.data();
    rows.points = (Py_ssize_t) x.size();
    rows.x_order = x_order.data();
    rows.x_numbers = x_numbers;
    return rows;
}

}  // namespace korva::curve::core::native
