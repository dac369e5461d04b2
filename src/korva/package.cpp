// PyInit_korva and the `korva` package itself: a package with no statements of its own whose
// initialisation creates the shared types and installs the finder for the rest of the tree.
#include "korva/package.hpp"

#include "korva/finder.hpp"

namespace korva {

namespace {

PackageState& state_of(nb::handle package_module) {
    return *static_cast<PackageState*>(PyModule_GetState(package_module.ptr()));
}

int package_exec(PyObject* module) {
    // nanobind's object API keeps a per-extension context (string caches and the like). Its
    // anchor goes into our state rather than the package namespace, which binds nothing.
    if (!nb::register_module(module)) return -1;
    try {
        PackageState& state = state_of(module);
        nb::dict namespace_ = nb::borrow<nb::dict>(PyModule_GetDict(module));
        state.nanobind_anchor = namespace_.attr("pop")("__nanobind_internals__", nb::none()).release().ptr();
        nb::object function_type, reduce_step_type;
        py::create_function_types(module, function_type, reduce_step_type);
        nb::object finder_type = create_finder_type(module);
        state.function_type = function_type.release().ptr();
        state.reduce_step_type = reduce_step_type.release().ptr();
        state.finder_type = finder_type.release().ptr();
        // An empty __path__ makes `korva` a package; its submodules come from the finder.
        if (PyObject_SetAttrString(module, "__path__", nb::list().ptr()) < 0) throw nb::python_error();
        install_finder(state.finder_type);
        return 0;
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    }
    return -1;
}

int package_traverse(PyObject* module, visitproc visit, void* arg) {
    PackageState& state = state_of(module);
    Py_VISIT(state.function_type);
    Py_VISIT(state.reduce_step_type);
    Py_VISIT(state.finder_type);
    Py_VISIT(state.nanobind_anchor);
    return 0;
}

int package_clear(PyObject* module) {
    PackageState& state = state_of(module);
    Py_CLEAR(state.function_type);
    Py_CLEAR(state.reduce_step_type);
    Py_CLEAR(state.finder_type);
    Py_CLEAR(state.nanobind_anchor);
    return 0;
}

void package_free(void* module) { package_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot package_slots[] = {
    {Py_mod_exec, (void*) package_exec},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

}  // namespace

PyModuleDef package_definition = {
    PyModuleDef_HEAD_INIT,
    "korva",
    nullptr,
    sizeof(PackageState),
    nullptr,
    package_slots,
    package_traverse,
    package_clear,
    package_free,
};

nb::handle package_module_of(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &package_definition);
    if (!module) throw nb::python_error();
    return module;
}

SharedTypes shared_types(nb::handle package_module) {
    PackageState& state = state_of(package_module);
    return SharedTypes{state.function_type, state.reduce_step_type};
}

}  // namespace korva

PyMODINIT_FUNC PyInit_korva(void) {
    return PyModuleDef_Init(&korva::package_definition);
}
