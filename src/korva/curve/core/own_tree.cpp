// Neighbour searches on worker threads. scikit-learn's KDTree and BallTree count the distances and
// nodes of every search in fields of the tree object, and some distance metrics (Mahalanobis) keep
// a scratch vector in the metric object. Threads searching one tree write the same memory at every
// step: they run little faster than one thread, and with such a metric they corrupt each other's
// distances. So a chunk on a worker thread searches a tree of its own: a new tree object over the
// same arrays (the tree's pickling state hands them over without copying them) with a metric of its
// own, in a shallow copy of the estimator.
#include "korva/curve/core/core.hpp"

#include <cstring>

namespace korva::curve::core {

namespace {

struct NeighboursClass {
    const char* name;    // in sklearn.neighbors
    const char* search;  // the method its predict searches with
};

const NeighboursClass neighbours_classes[] = {
    {"KNeighborsRegressor", "kneighbors"},
    {"RadiusNeighborsRegressor", "radius_neighbors"},
};

const char* const tree_classes[] = {"KDTree", "BallTree"};

// Whether `type.name` is a plain function that scikit-learn's neighbours package defines: what it
// does with `self` is then known, and it reads a copy's attributes as the original's.
bool sklearn_neighbours_method(nb::handle type, const char* name) {
    nb::object method = nb::getattr(type, name, nb::none());
    if (!PyFunction_Check(method.ptr())) return false;
    nb::object module = nb::borrow(PyFunction_GetModule(method.ptr()));
    if (!module.is_valid() || !PyUnicode_Check(module.ptr())) return false;
    const char* text = PyUnicode_AsUTF8(module.ptr());
    if (!text) throw nb::python_error();
    return std::strncmp(text, "sklearn.neighbors.", std::strlen("sklearn.neighbors.")) == 0;
}

// A new object of `original`'s own compiled type from its pickling state, as unpickling builds it;
// the arrays the state holds are shared, not copied.
nb::object rebuilt(nb::handle original) {
    nb::object type = nb::borrow(original.type());
    nb::object copy = type.attr("__new__")(type);
    copy.attr("__setstate__")(original.attr("__getstate__")());
    return copy;
}

const NeighboursClass* neighbours_class(nb::handle type) {
    for (const NeighboursClass& known : neighbours_classes)
        if (std::strcmp(known.name, ((PyTypeObject*) type.ptr())->tp_name) == 0 &&
            type.is(py::loaded_attribute("sklearn.neighbors", known.name)))
            return &known;
    return nullptr;
}

bool is_tree_class(nb::handle type) {
    for (const char* name : tree_classes)
        if (type.is(py::loaded_attribute("sklearn.neighbors", name))) return true;
    return false;
}

bool is_sklearn_metric(nb::handle item) {
    nb::object module = nb::getattr(item.type(), "__module__", nb::none());
    return PyUnicode_Check(module.ptr()) && py::equals(module, "sklearn.metrics._dist_metrics");
}

// A tree over `tree`'s arrays with counters and a distance metric of its own; invalid when its
// pickling state does not hold exactly one of scikit-learn's compiled metrics.
nb::object own_tree(nb::handle tree) {
    nb::object state = tree.attr("__getstate__")();
    if (!PyTuple_CheckExact(state.ptr())) return {};
    nb::object items = nb::steal(PySequence_List(state.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    int metrics = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        if (!is_sklearn_metric(item)) continue;
        ++metrics;
        nb::object metric = rebuilt(item);
        PyList_SetItem(items.ptr(), i, metric.release().ptr());
    }
    if (metrics != 1) return {};
    nb::object type = nb::borrow(tree.type());
    nb::object copy = type.attr("__new__")(type);
    nb::object own_state = nb::steal(PyList_AsTuple(items.ptr()));
    if (!own_state.is_valid()) throw nb::python_error();
    copy.attr("__setstate__")(own_state);
    return copy;
}

}  // namespace

nb::object predict_with_own_tree(nb::handle estimator) {
    nb::object type = nb::borrow(estimator.type());
    const NeighboursClass* known = neighbours_class(type);
    if (!known || ((PyTypeObject*) type.ptr())->tp_new != PyBaseObject_Type.tp_new) return {};
    if (!sklearn_neighbours_method(type, "predict") || !sklearn_neighbours_method(type, known->search)) return {};
    nb::object attributes = nb::getattr(estimator, "__dict__", nb::none());
    if (!PyDict_CheckExact(attributes.ptr()) || py::contains(attributes, py::s("predict"))) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(attributes.ptr(), py::s("_tree").ptr(), &found) < 0) throw nb::python_error();
    nb::object tree = nb::steal(found);
    if (!tree.is_valid() || !is_tree_class(nb::borrow(tree.type()))) return {};
    try {
        nb::object tree_copy = own_tree(tree);
        if (!tree_copy.is_valid()) return {};
        nb::object copy = nb::steal(PyBaseObject_Type.tp_new((PyTypeObject*) type.ptr(), nb::tuple().ptr(), nullptr));
        if (!copy.is_valid()) throw nb::python_error();
        nb::object own_attributes = nb::steal(PyObject_GenericGetDict(copy.ptr(), nullptr));
        if (!own_attributes.is_valid() || PyDict_Update(own_attributes.ptr(), attributes.ptr()) < 0 ||
            PyDict_SetItem(own_attributes.ptr(), py::s("_tree").ptr(), tree_copy.ptr()) < 0)
            throw nb::python_error();
        return copy.attr("predict");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return {};  // the shared estimator then predicts, as it would without threads
    }
}

}  // namespace korva::curve::core
