// Out-of-line parts of the glue: imports, raising, formatting and the `with` protocol.
#include "korva/py/glue.hpp"

namespace korva::py {

nb::object import(const char* name) {
    // Like `import a.b` followed by reading `a.b`: the leaf module, through __import__.
    nb::object module = nb::steal(PyImport_ImportModule(name));
    if (!module.is_valid()) throw nb::python_error();
    return module;
}

nb::object import_from(const char* module, const char* name) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    if (!mod.is_valid()) throw nb::python_error();
    // `from m import n` falls back to the submodule m.n, and reports a missing name as ImportError.
    PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw nb::python_error();
}

nb::object loaded_module(const char* name) {
    PyObject* module = PyImport_GetModule(nb::str(name).ptr());
    if (module) return nb::steal(module);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
}

nb::object loaded_attribute(const char* module, const char* name) {
    return nb::getattr(loaded_module(module), name, nb::none());
}

void raise(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

void raise(nb::handle type, const char* message) { raise(type, nb::str(message)); }

void raise_in_handler(const nb::python_error& caught, nb::handle type, nb::handle message) {
    // Make `caught` the exception being handled, so the interpreter chains it as __context__.
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(caught.value().ptr());
    PyErr_SetObject(type.ptr(), message.ptr());
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    throw nb::python_error();
}

void raise_in_handler(const nb::python_error& caught, nb::handle type, const char* message) {
    raise_in_handler(caught, type, nb::str(message));
}

nb::str f_string(const char* prefix, nb::handle value, const char* suffix) {
    nb::object text = nb::steal(PyObject_Format(value.ptr(), nullptr));
    if (!text.is_valid()) throw nb::python_error();
    nb::object joined = nb::steal(PyUnicode_FromFormat("%s%U%s", prefix, text.ptr(), suffix));
    if (!joined.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(joined);
}

bool truthy(nb::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool compare(nb::handle a, nb::handle b, int op) {
    nb::object result = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result.is_valid()) throw nb::python_error();
    return truthy(result);
}

bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

nb::object slice(nb::handle start, nb::handle stop) {
    nb::object result = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

bool equals(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool equals(nb::handle a, const char* b) { return equals(a, nb::str(b)); }

nb::object sub(nb::handle generic, std::initializer_list<nb::handle> args) {
    if (args.size() == 1) return generic[*args.begin()];
    nb::object key = nb::steal(PyTuple_New((Py_ssize_t) args.size()));
    if (!key.is_valid()) throw nb::python_error();
    Py_ssize_t i = 0;
    for (nb::handle arg : args) PyTuple_SET_ITEM(key.ptr(), i++, arg.inc_ref().ptr());
    return generic[key];
}

namespace detail {

nb::object enter(nb::handle manager, nb::object& exit) {
    // Special methods are looked up on the type, as the `with` statement does. The first lookup can
    // run code that gives the manager another class, so the type is held.
    nb::object type = nb::borrow(manager.type());
    nb::object enter_method = nb::getattr(type, "__enter__", nb::none());
    exit = nb::getattr(type, "__exit__", nb::none());
    if (enter_method.is_none() || exit.is_none()) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw nb::python_error();
    }
    return enter_method(manager);
}

bool exit_with_error(nb::handle manager, nb::handle exit, const nb::python_error& error) {
    // While __exit__ runs, the error is the exception being handled (errors inside chain to it).
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(error.value().ptr());
    nb::object type = nb::borrow((PyObject*) Py_TYPE(error.value().ptr()));  // held while __exit__ runs
    PyObject* args[] = {manager.ptr(), type.ptr(), error.value().ptr(), nullptr};
    nb::object traceback = error.traceback();
    args[3] = traceback.is_valid() ? traceback.ptr() : Py_None;
    PyObject* result = PyObject_Vectorcall(exit.ptr(), args, 4, nullptr);
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    if (!result) throw nb::python_error();
    nb::object suppress = nb::steal(result);
    return truthy(suppress);
}

void exit_cleanly(nb::handle manager, nb::handle exit) {
    exit(manager, nb::none(), nb::none(), nb::none());
}

}  // namespace detail
}  // namespace korva::py
