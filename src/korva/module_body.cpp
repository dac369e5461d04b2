// The statements of a module body, performed through the interpreter as Python would.
#include "korva/module_body.hpp"

namespace korva {

using namespace nb::literals;

namespace {
nb::handle module_dict(nb::handle module) { return PyModule_GetDict(module.ptr()); }
}  // namespace

nb::object ModuleBody::operator()(const char* name) const {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(module_dict(module_).ptr(), name, &value);
    if (found == 0) found = PyDict_GetItemStringRef(PyEval_GetBuiltins(), name, &value);
    if (found < 0) throw nb::python_error();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::steal(value);
}

void ModuleBody::bind(const char* name, nb::handle value) const {
    if (PyDict_SetItemString(module_dict(module_).ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

void ModuleBody::import(const char* module, const char* as_name) const {
    if (as_name) {
        bind(as_name, py::import(module));
        return;
    }
    // Plain `import a.b` binds the top-level package `a`.
    nb::object top = nb::steal(PyImport_ImportModuleLevel(module, module_dict(module_).ptr(), nullptr, nullptr, 0));
    if (!top.is_valid()) throw nb::python_error();
    nb::str dotted(module);
    nb::object first = dotted.attr("partition")(".")[0];
    if (PyDict_SetItem(module_dict(module_).ptr(), first.ptr(), top.ptr()) < 0) throw nb::python_error();
}

void ModuleBody::import_from(const char* module, std::initializer_list<const char*> names) const {
    nb::list fromlist;
    for (const char* name : names) fromlist.append(name);
    nb::object source = nb::steal(
        PyImport_ImportModuleLevel(module, module_dict(module_).ptr(), nullptr, fromlist.ptr(), 0));
    if (!source.is_valid()) throw nb::python_error();
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttrString(source.ptr(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            throw nb::python_error();
        }
        bind(name, nb::steal(value));
    }
}

void ModuleBody::import_relative(std::initializer_list<const char*> names) const {
    nb::list fromlist;
    for (const char* name : names) fromlist.append(name);
    nb::object package = nb::steal(
        PyImport_ImportModuleLevel("", module_dict(module_).ptr(), nullptr, fromlist.ptr(), 1));
    if (!package.is_valid()) throw nb::python_error();
    for (const char* name : names) bind(name, package.attr(name));
}

nb::object ModuleBody::def(const py::FunctionSpec& spec) const {
    return py::define(types_.function_type, module_, spec);
}

nb::object ModuleBody::exception_class(const char* name, nb::handle base) const {
    nb::dict namespace_;
    namespace_["__module__"] = (*this)("__name__");
    namespace_["__qualname__"] = name;
    nb::object cls = (*this)("type")(name, nb::make_tuple(base), namespace_);
    bind(name, cls);
    return cls;
}

}  // namespace korva
