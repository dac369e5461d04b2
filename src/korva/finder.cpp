// The finder and loader on sys.meta_path that serves korva's submodules from the extension file.
#include "korva/finder.hpp"

#include "korva/module_tree.hpp"
#include "korva/package.hpp"

namespace korva {

using namespace nb::literals;

namespace {

constexpr const char* finder_type_name = "korva._ModuleTreeFinder";

// find_spec(fullname, path=None, target=None)
PyObject* find_spec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fullname", "path", "target", nullptr};
    PyObject *fullname, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OO:find_spec", const_cast<char**>(keywords), &fullname,
                                     &path, &target))
        return nullptr;
    try {
        const ModuleEntry* entry = find_module_entry(fullname);
        if (!entry) Py_RETURN_NONE;
        nb::handle package = package_module_of(Py_TYPE(self));
        nb::object origin = nb::getattr(package, "__file__", nb::none());
        nb::object spec = py::import_from("importlib.machinery", "ModuleSpec")(
            nb::handle(fullname), nb::handle(self), "origin"_a = origin, "is_package"_a = entry->is_package);
        if (!origin.is_none()) spec.attr("has_location") = true;
        return spec.release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    }
}

// create_module(spec): None asks the import system for a plain module object.
PyObject* create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

// exec_module(module): runs the body of the module in the tree that carries this name.
PyObject* exec_module(PyObject* self, PyObject* module) {
    // The interpreter's loaders refuse what they cannot run: the bodies need a module's namespace.
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "exec_module() argument must be a module, not %.200s", Py_TYPE(module)->tp_name);
        return nullptr;
    }
    try {
        nb::object name = nb::handle(module).attr("__name__");
        const ModuleEntry* entry = find_module_entry(name);
        if (!entry) {
            PyErr_Format(PyExc_ImportError, "korva has no module named %R", name.ptr());
            return nullptr;
        }
        if (entry->body) entry->body(ModuleBody(module, shared_types(package_module_of(Py_TYPE(self)))));
        Py_RETURN_NONE;
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return nullptr;
}

void finder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int finder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyMethodDef finder_methods[] = {
    {"find_spec", (PyCFunction) (void (*)(void)) find_spec, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"create_module", create_module, METH_O, nullptr},
    {"exec_module", exec_module, METH_O, nullptr},
    {nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_dealloc, (void*) finder_dealloc},
    {Py_tp_traverse, (void*) finder_traverse},
    {Py_tp_methods, finder_methods},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    finder_type_name,
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    finder_slots,
};

}  // namespace

nb::object create_finder_type(nb::handle package_module) {
    nb::object type = nb::steal(PyType_FromModuleAndSpec(package_module.ptr(), &finder_spec, nullptr));
    if (!type.is_valid()) throw nb::python_error();
    return type;
}

void install_finder(nb::handle finder_type) {
    auto* type = reinterpret_cast<PyTypeObject*>(finder_type.ptr());
    nb::object finder = nb::steal(type->tp_alloc(type, 0));
    if (!finder.is_valid()) throw nb::python_error();
    // sys.meta_path is whatever the user put there: only its own len, [], pop and insert are used.
    nb::object meta_path = py::import("sys").attr("meta_path");
    // A re-imported package (after `del sys.modules["korva"]`) must not leave a stale finder behind.
    for (Py_ssize_t i = (Py_ssize_t) nb::len(meta_path) - 1; i >= 0; --i) {
        nb::object other = meta_path[i];
        if (std::string_view(Py_TYPE(other.ptr())->tp_name) == finder_type_name) meta_path.attr("pop")(i);
    }
    meta_path.attr("insert")(0, finder);
}

}  // namespace korva
