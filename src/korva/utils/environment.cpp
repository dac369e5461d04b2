// What produced a dump: the interpreter and scientific package versions (environment snapshot),
// and the installed version of every top-level module loaded in the process.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

namespace {

// The top-level name of a loaded module, or an invalid object for names starting with "_".
nb::object top_level_name(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
        if (length > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_') return {};
        Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, 1);
        if (dot == -2) throw nb::python_error();
        if (dot < 0) return nb::borrow(name);
        nb::object head = nb::steal(PyUnicode_Substring(name.ptr(), 0, dot));
        if (!head.is_valid()) throw nb::python_error();
        return head;
    }
    // Anything else behaves as its own methods say (m.startswith('_'), m.split('.')[0]).
    if (py::truthy(name.attr("startswith")("_"))) return {};
    return name.attr("split")(".")[0];
}

}  // namespace

nb::object _get_environment_info(const py::Call& g) {
    static const char* const packages[] = {"scipy", "numpy", "pandas", "sklearn", "torch", "xgboost"};
    nb::dict env_info;
    env_info["python"] = g("sys").attr("version");
    for (const char* pkg : packages) {
        nb::str name(pkg);
        nb::str key(std::string_view(pkg) == "sklearn" ? "scikit-learn" : pkg);
        try {
            nb::object lib = g("importlib").attr("import_module")(name);
            nb::object version = g("getattr")(lib, "__version__", nb::none());
            env_info[key] = version;
        } catch (nb::python_error& error) {
            if (!error.matches(g("ImportError"))) throw;
            env_info[key] = nb::none();
        }
    }
    return env_info;
}

nb::object _get_loaded_modules_info(const py::Call& g) {
    // One pass over a snapshot of sys.modules' keys, finished before any lookup can import more.
    nb::object loaded = nb::steal(PySequence_List(g("sys").attr("modules").ptr()));
    if (!loaded.is_valid()) throw nb::python_error();
    nb::object names = nb::steal(PySet_New(nullptr));
    if (!names.is_valid()) throw nb::python_error();
    for (nb::handle module_name : loaded) {
        nb::object top = top_level_name(module_name);
        if (top.is_valid() && PySet_Add(names.ptr(), top.ptr()) < 0) throw nb::python_error();
    }
    nb::object top_level_modules = g("sorted")(names);

    // Most names are not distributions, so the expected PackageNotFoundError is handled right at
    // the call, without a C++ exception for each of them.
    nb::dict versions;
    for (nb::handle module_name : top_level_modules) {
        nb::object version_of = g("importlib").attr("metadata").attr("version");
        PyObject* version = PyObject_CallOneArg(version_of.ptr(), module_name.ptr());
        if (version) {
            versions[module_name] = nb::steal(version);
            continue;
        }
        nb::object raised = nb::steal(PyErr_GetRaisedException());
        nb::object not_found = g("importlib").attr("metadata").attr("PackageNotFoundError");
        if (!PyErr_GivenExceptionMatches(raised.ptr(), not_found.ptr())) {
            PyErr_SetRaisedException(raised.release().ptr());
            throw nb::python_error();
        }
    }
    return versions;
}

}  // namespace korva::utils::mtdump
