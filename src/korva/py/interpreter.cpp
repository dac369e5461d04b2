// Objects korva keeps for each interpreter, in the interpreter's own dict.
#include "korva/py/interpreter.hpp"

namespace korva::py {

namespace {

// The interpreter's dict (borrowed), or nullptr once it is gone.
PyObject* interpreter_dict() { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }

void destroy_capsule(PyObject* capsule) {
    void* pointer = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    auto destroy = reinterpret_cast<void (*)(void*)>(PyCapsule_GetContext(capsule));
    if (pointer && destroy) destroy(pointer);
    PyErr_Clear();
}

}  // namespace

nb::object interpreter_value_if_made(const char* key) {
    PyObject* dict = interpreter_dict();
    if (!dict) return nb::object();
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(dict, key, &value) < 0) throw nb::python_error();  // an exact dict, a str key
    return nb::steal(value);
}

nb::object interpreter_value(const char* key, nb::object (*make)()) {
    nb::object value = interpreter_value_if_made(key);
    if (value.is_valid()) return value;
    PyObject* dict = interpreter_dict();
    if (!dict) py::raise(PyExc_RuntimeError, "the interpreter is finalised");
    value = make();
    // `make` may have run code that kept a value meanwhile: the first one kept wins.
    PyObject* kept = nullptr;
    if (PyDict_SetDefaultRef(dict, nb::str(key).ptr(), value.ptr(), &kept) < 0) throw nb::python_error();
    return nb::steal(kept);
}

namespace detail {

nb::object capsule_of(void* pointer, const char* key, void (*destroy)(void*)) {
    nb::object capsule = nb::steal(PyCapsule_New(pointer, key, destroy_capsule));
    if (!capsule.is_valid()) {
        destroy(pointer);
        throw nb::python_error();
    }
    if (PyCapsule_SetContext(capsule.ptr(), reinterpret_cast<void*>(destroy)) < 0) throw nb::python_error();
    return capsule;
}

void* capsule_pointer(nb::handle capsule, const char* key) {
    void* pointer = PyCapsule_GetPointer(capsule.ptr(), key);
    if (!pointer) throw nb::python_error();
    return pointer;
}

}  // namespace detail

}  // namespace korva::py
