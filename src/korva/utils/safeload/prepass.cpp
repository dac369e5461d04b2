// The dtype pre-pass of korva.utils.safeload. In protocols 0 to 4 (and through dill's array helper)
// an array's dtype travels inside the array's pickled state, which numpy applies without checking the
// dtype's field layout, and a dtype with inconsistent fields crashes numpy when it is first compared or
// cast. So when a stream rebuilds arrays that way, it is first replayed with every listed global but
// numpy.dtype and plain data standing in as an inert object that only checks the dtypes it is handed:
// only dtypes and plain values are built for real, and every dtype reaching an array's state or a
// constructor is checked before the real load runs.
#include "korva/utils/safeload/safeload.hpp"

namespace korva::utils::safeload {

namespace {

// Calls the type's `_check` (korva's _check_dtypes) on what an inert object was handed.
int check_handed(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* check = PyObject_GetAttrString((PyObject*) type, "_check");
    if (!check) return -1;
    PyObject* result = PyObject_CallFunctionObjArgs(check, args ? args : Py_None, kwargs ? kwargs : Py_None, nullptr);
    Py_DECREF(check);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

PyObject* inert_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (check_handed(type, args, kwargs) < 0) return nullptr;
    return type->tp_alloc(type, 0);
}

int inert_init(PyObject*, PyObject*, PyObject*) { return 0; }

PyObject* inert_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return inert_new(Py_TYPE(self), args, kwargs);
}

// __setstate__, append, extend, add: check, keep nothing.
PyObject* inert_take(PyObject* self, PyObject* args) {
    if (check_handed(Py_TYPE(self), args, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

int inert_set_item(PyObject* self, PyObject* key, PyObject* value) {
    PyObject* pair = PyTuple_Pack(2, key, value ? value : Py_None);
    if (!pair) return -1;
    int result = check_handed(Py_TYPE(self), pair, nullptr);
    Py_DECREF(pair);
    return result;
}

void inert_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef inert_methods[] = {
    {"__setstate__", inert_take, METH_VARARGS, nullptr},
    {"append", inert_take, METH_VARARGS, nullptr},
    {"extend", inert_take, METH_VARARGS, nullptr},
    {"add", inert_take, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot inert_slots[] = {
    {Py_tp_new, (void*) inert_new},
    {Py_tp_init, (void*) inert_init},
    {Py_tp_call, (void*) inert_call},
    {Py_tp_dealloc, (void*) inert_dealloc},
    {Py_tp_methods, inert_methods},
    {Py_mp_ass_subscript, (void*) inert_set_item},
    {0, nullptr},
};

PyType_Spec inert_spec = {"korva.utils.safeload._Inert", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, inert_slots};

void check_dtypes_in(const py::Call& g, nb::handle dtype_type, nb::handle value, int depth) {
    if (depth > 64) return;  // the pickle's own nesting limit is far below any real state's
    int is_dtype = PyObject_IsInstance(value.ptr(), dtype_type.ptr());
    if (is_dtype < 0) throw nb::python_error();
    if (is_dtype) return check_dtype(g, value);
    if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
        nb::object items = nb::steal(PySequence_Fast(value.ptr(), "a sequence"));
        if (!items.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
            check_dtypes_in(g, dtype_type, PySequence_Fast_GET_ITEM(items.ptr(), i), depth + 1);
    } else if (PyDict_Check(value.ptr())) {
        nb::object values = nb::steal(PyDict_Values(value.ptr()));
        if (!values.is_valid()) throw nb::python_error();
        check_dtypes_in(g, dtype_type, values, depth + 1);
    }
}

}  // namespace

nb::object _check_dtypes(const py::Call& g) {
    nb::object numpy = py::loaded_module("numpy");
    if (!numpy.is_none()) {
        nb::object dtype_type = numpy.attr("dtype");
        check_dtypes_in(g, dtype_type, g[0], 0);
        check_dtypes_in(g, dtype_type, g[1], 0);
    }
    return nb::none();
}

nb::object _prepass_find_class(const py::Call& g) {
    auto [module, name, full] = check_global(g);
    // dtypes, and the plain data their states are made of, are built for real
    for (const char* real : {"numpy.dtype", "_codecs.encode", "dill._dill._load_type"})
        if (py::equals(full, real)) return find_class(g);
    if (py::equals(module, "builtins") || py::equals(module, "collections")) return find_class(g);
    return g("_Inert");
}

void define_prepass(const ModuleBody& m) {
    nb::object inert = nb::steal(PyType_FromSpec(&inert_spec));
    if (!inert.is_valid()) throw nb::python_error();
    nb::setattr(inert, "_check", py::make_function(m.types().function_type, m.module(),
                                                    {"_check_dtypes", _check_dtypes, {{"args"}, {"kwargs"}}}));
    m.bind("_Inert", inert);

    nb::dict namespace_;
    namespace_["__module__"] = m("__name__");
    namespace_["__qualname__"] = "_DtypePrepass";
    namespace_["find_class"] = py::make_function(
        m.types().function_type, m.module(),
        {"find_class", _prepass_find_class, {{"self"}, {"module_name", m("str")}, {"global_name", m("str")}}, m("Any")});
    nb::object cls = m("type")("_DtypePrepass", nb::make_tuple(m("_RestrictedUnpickler")), namespace_);
    m.bind("_DtypePrepass", cls);
}

}  // namespace korva::utils::safeload
