// The allow-list table of korva.utils.safeload: each exact (module, qualified name) pair a stream may
// name, the one object it resolves to and how a stream may use it. The list is what pickle
// (protocols 2 to 5) and dill write for the estimators curve models are made of, fitted, and for
// plain data; no other spelling of a listed object is on it, and nothing outside it is ever imported.
// A caller's `trusted` names are exact pairs resolved the same way, never to objects that run code.
#include "korva/utils/safeload/safeload.hpp"

#include <algorithm>
#include <cstring>

namespace korva::utils::safeload {

namespace {

const Entry entries[] = {
    // ---- plain data: narrowed argument forms (no codec names, no iterables but a list of the stream's)
    {"builtins", "set", Role::set, nullptr},              // set(list): protocols 2 and 3 write sets so
    {"builtins", "frozenset", Role::frozenset, nullptr},  // frozenset(list)
    {"builtins", "complex", Role::complex, nullptr},      // complex(real, imag), two numbers
    {"builtins", "bytearray", Role::bytearray, nullptr},  // bytearray(bytes) below protocol 5
    {"builtins", "bytes", Role::bytes, nullptr},          // bytes(): protocol 2's empty bytes
    {"builtins", "slice", Role::slice, nullptr},          // slice(start, stop, step) of ints or None
    {"builtins", "range", Role::range, nullptr},          // range(start, stop, step) of ints
    {"_codecs", "encode", Role::encode, "_encode"},       // protocol 2's bytes: encode(text, "latin1") only
    {"collections", "OrderedDict", Role::ordered_dict, nullptr},  // OrderedDict(), filled by SETITEMS
    {"functools", "partial", Role::partial, nullptr},  // only partial(check_array, ...): HGB's numeric columns

    // ---- numpy arrays, dtypes and scalars: arrays only through korva's checked steps ------------
    {"numpy", "ndarray", Role::reference, nullptr},  // the class _reconstruct is handed, never called
    {"numpy", "dtype", Role::dtype, nullptr},        // dtype("f8"-like code, align, copy), one BUILD, checked
    {"numpy", "float64", Role::reference, nullptr},  // a dtype in a parameter list (HGB's encoder)
    {"numpy._core.multiarray", "_reconstruct", Role::reconstruct, "_reconstruct"},  // empty ndarray, one BUILD
    {"numpy._core.multiarray", "scalar", Role::scalar, "_scalar"},             // a scalar from its raw bytes
    {"numpy._core.numeric", "_frombuffer", Role::frombuffer, "_frombuffer"},   // protocol 5's arrays

    // ---- numpy's random state (estimators keep random generators) --------------------------------
    {"numpy.random._pickle", "__bit_generator_ctor", Role::bit_generator, "_bit_generator_ctor"},
    {"numpy.random._pickle", "__generator_ctor", Role::generator, "_generator_ctor"},
    {"numpy.random._pickle", "__randomstate_ctor", Role::random_state, "_randomstate_ctor"},
    {"numpy.random._mt19937", "MT19937", Role::reference, nullptr},  // the bit generators, handed to their ctor
    {"numpy.random._pcg64", "PCG64", Role::reference, nullptr},
    {"numpy.random._pcg64", "PCG64DXSM", Role::reference, nullptr},
    {"numpy.random._philox", "Philox", Role::reference, nullptr},
    {"numpy.random._sfc64", "SFC64", Role::reference, nullptr},
    {"numpy.random.bit_generator", "SeedSequence", Role::reference, nullptr},
    {"numpy.random.bit_generator", "__pyx_unpickle_SeedSequence", Role::seed_sequence, "_unpickle_seed_sequence"},

    // ---- dill -------------------------------------------------------------------------------------
    {"dill._dill", "_create_array", Role::create_array, "_create_array"},  // _reconstruct and a checked state
    {"dill._dill", "_load_type", Role::load_type, "_load_type"},           // plain data types and partial only

    // ---- scikit-learn containers ---------------------------------------------------------------
    {"sklearn.utils._bunch", "Bunch", Role::mapping, nullptr},  // a dict with attribute access
    {"sklearn.utils.validation", "check_array", Role::reference, nullptr},  // what HGB's partial wraps
    {"sklearn.pipeline", "Pipeline", Role::instance, nullptr},
    {"sklearn.ensemble._voting", "VotingRegressor", Role::instance, nullptr},
    {"sklearn.compose._column_transformer", "ColumnTransformer", Role::instance, nullptr},  // HGB's categories
    {"sklearn.preprocessing._encoders", "OrdinalEncoder", Role::instance, nullptr},
    {"sklearn.preprocessing._function_transformer", "FunctionTransformer", Role::instance, nullptr},

    // ---- trees and forests ----------------------------------------------------------------------
    {"sklearn.tree._classes", "DecisionTreeRegressor", Role::instance, nullptr},
    {"sklearn.tree._classes", "ExtraTreeRegressor", Role::instance, nullptr},
    {"sklearn.tree._tree", "Tree", Role::tree, nullptr},  // sizes checked first; nodes checked after the last opcode
    {"sklearn.ensemble._forest", "RandomForestRegressor", Role::instance, nullptr},
    {"sklearn.ensemble._forest", "ExtraTreesRegressor", Role::instance, nullptr},

    // ---- gradient boosting, with its losses and links ------------------------------------------
    {"sklearn.ensemble._gb", "GradientBoostingRegressor", Role::instance, nullptr},
    {"sklearn.ensemble._hist_gradient_boosting.gradient_boosting", "HistGradientBoostingRegressor", Role::instance,
     nullptr},
    {"sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor", Role::instance, nullptr},
    {"sklearn.ensemble._hist_gradient_boosting.binning", "_BinMapper", Role::instance, nullptr},
    {"sklearn._loss.loss", "HalfSquaredError", Role::instance, nullptr},
    {"sklearn._loss.loss", "AbsoluteError", Role::instance, nullptr},
    {"sklearn._loss.loss", "HuberLoss", Role::instance, nullptr},
    {"sklearn._loss.loss", "PinballLoss", Role::instance, nullptr},
    {"sklearn._loss.loss", "HalfPoissonLoss", Role::instance, nullptr},
    {"sklearn._loss.loss", "HalfGammaLoss", Role::instance, nullptr},
    {"sklearn._loss._loss", "CyHalfSquaredError", Role::cy_loss, nullptr},  // compiled, REDUCE with its parameter
    {"sklearn._loss._loss", "CyAbsoluteError", Role::cy_loss, nullptr},
    {"sklearn._loss._loss", "CyHuberLoss", Role::cy_loss, nullptr},
    {"sklearn._loss._loss", "CyPinballLoss", Role::cy_loss, nullptr},
    {"sklearn._loss._loss", "CyHalfPoissonLoss", Role::cy_loss, nullptr},
    {"sklearn._loss._loss", "CyHalfGammaLoss", Role::cy_loss, nullptr},
    {"sklearn._loss.link", "IdentityLink", Role::instance, nullptr},
    {"sklearn._loss.link", "LogLink", Role::instance, nullptr},
    {"sklearn._loss.link", "Interval", Role::instance, nullptr},  // a link's domain: two floats and two flags

    // ---- nearest neighbours ------------------------------------------------------------------------
    {"sklearn.neighbors._regression", "KNeighborsRegressor", Role::instance, nullptr},
    {"sklearn.neighbors._regression", "RadiusNeighborsRegressor", Role::instance, nullptr},
    {"sklearn.neighbors._kd_tree", "KDTree", Role::reference, nullptr},  // handed to newObj
    {"sklearn.neighbors._kd_tree", "newObj", Role::new_object, "_new_object"},  // cls.__new__(cls) of its module's class
    {"sklearn.neighbors._ball_tree", "BallTree", Role::reference, nullptr},
    {"sklearn.neighbors._ball_tree", "newObj", Role::new_object, "_new_object"},
    {"sklearn.metrics._dist_metrics", "newObj", Role::new_object, "_new_object"},
    {"sklearn.metrics._dist_metrics", "EuclideanDistance64", Role::reference, nullptr},
    {"sklearn.metrics._dist_metrics", "ManhattanDistance64", Role::reference, nullptr},
    {"sklearn.metrics._dist_metrics", "ChebyshevDistance64", Role::reference, nullptr},
    {"sklearn.metrics._dist_metrics", "MinkowskiDistance64", Role::reference, nullptr},

    // ---- linear models, the dummy and the scalers --------------------------------------------------
    {"sklearn.linear_model._base", "LinearRegression", Role::instance, nullptr},
    {"sklearn.linear_model._ridge", "Ridge", Role::instance, nullptr},
    {"sklearn.linear_model._coordinate_descent", "Lasso", Role::instance, nullptr},
    {"sklearn.linear_model._coordinate_descent", "ElasticNet", Role::instance, nullptr},
    {"sklearn.linear_model._bayes", "BayesianRidge", Role::instance, nullptr},
    {"sklearn.linear_model._huber", "HuberRegressor", Role::instance, nullptr},
    {"sklearn.linear_model._stochastic_gradient", "SGDRegressor", Role::instance, nullptr},
    {"sklearn.dummy", "DummyRegressor", Role::instance, nullptr},
    {"sklearn.preprocessing._data", "StandardScaler", Role::instance, nullptr},
    {"sklearn.preprocessing._data", "MinMaxScaler", Role::instance, nullptr},
};

// Exact older spellings that picklers write for listed objects: protocol 2's names for the builtins,
// numpy 1.x's module names, dill's old module name. Each is one more exact pair, nothing is derived.
struct Alias {
    const char* module;
    const char* name;
    const char* listed_module;
    const char* listed_name;
};

const Alias aliases[] = {
    {"__builtin__", "set", "builtins", "set"},
    {"__builtin__", "frozenset", "builtins", "frozenset"},
    {"__builtin__", "complex", "builtins", "complex"},
    {"__builtin__", "bytearray", "builtins", "bytearray"},
    {"__builtin__", "bytes", "builtins", "bytes"},
    {"__builtin__", "slice", "builtins", "slice"},
    {"__builtin__", "xrange", "builtins", "range"},
    {"numpy.core.multiarray", "_reconstruct", "numpy._core.multiarray", "_reconstruct"},
    {"numpy.core.multiarray", "scalar", "numpy._core.multiarray", "scalar"},
    {"numpy.core.numeric", "_frombuffer", "numpy._core.numeric", "_frombuffer"},
    {"dill.dill", "_create_array", "dill._dill", "_create_array"},
    {"dill.dill", "_load_type", "dill._dill", "_load_type"},
};

// Objects no `trusted` name can add, by any spelling: they run code, import modules, walk attributes
// or unpickle again. Compared by identity with the loaded objects (nothing is imported to compare).
const std::pair<const char*, const char*> never_trusted[] = {
    {"builtins", "eval"}, {"builtins", "exec"}, {"builtins", "compile"}, {"builtins", "__import__"},
    {"builtins", "getattr"}, {"builtins", "setattr"}, {"builtins", "delattr"}, {"builtins", "globals"},
    {"builtins", "locals"}, {"builtins", "vars"}, {"builtins", "open"}, {"builtins", "breakpoint"},
    {"builtins", "input"}, {"builtins", "type"}, {"builtins", "object"},
    {"types", "CodeType"}, {"types", "FunctionType"}, {"types", "ModuleType"}, {"types", "MethodType"},
    {"importlib", "import_module"}, {"importlib", "__import__"}, {"runpy", "run_module"}, {"runpy", "run_path"},
    {"operator", "attrgetter"}, {"operator", "methodcaller"}, {"copyreg", "_reconstructor"},
    {"pickle", "loads"}, {"pickle", "load"}, {"pickle", "Unpickler"}, {"pickle", "_loads"}, {"pickle", "_load"},
    {"pickle", "_Unpickler"}, {"_pickle", "loads"}, {"_pickle", "load"}, {"_pickle", "Unpickler"},
    {"marshal", "loads"}, {"marshal", "load"},
    {"posix", "system"}, {"posix", "popen"}, {"posix", "execv"}, {"posix", "execve"}, {"posix", "fork"},
    {"posix", "posix_spawn"}, {"posix", "remove"}, {"posix", "unlink"}, {"posix", "kill"},
    {"os", "system"}, {"os", "popen"}, {"os", "execv"}, {"os", "execve"}, {"os", "execl"}, {"os", "execlp"},
    {"os", "execvp"}, {"os", "spawnv"}, {"os", "spawnl"}, {"os", "fork"}, {"os", "remove"}, {"os", "unlink"},
    {"subprocess", "Popen"}, {"subprocess", "call"}, {"subprocess", "run"}, {"subprocess", "check_call"},
    {"subprocess", "check_output"}, {"subprocess", "getoutput"}, {"subprocess", "getstatusoutput"},
    {"dill", "loads"}, {"dill", "load"}, {"dill", "Unpickler"},
    {"dill._dill", "loads"}, {"dill._dill", "load"}, {"dill._dill", "Unpickler"},
    {"dill._dill", "_create_code"}, {"dill._dill", "_create_function"}, {"dill._dill", "_create_cell"},
    {"dill._dill", "_create_lock"}, {"dill._dill", "_create_rlock"}, {"dill._dill", "_import_module"},
    {"dill._dill", "_get_attr"}, {"dill._dill", "_eval_repr"}, {"dill._dill", "_load_type"},
    {"dill._dill", "_create_type"}, {"dill._dill", "_create_filehandle"}, {"dill._dill", "_create_namedtuple"},
    {"numpy", "load"}, {"numpy", "fromfile"}, {"numpy.lib.format", "read_array"}, {"pandas", "read_pickle"},
};

// Modules whose functions and classes start processes, run or compile code, import, load libraries,
// unpickle, walk attributes or open files (and their submodules): nothing defined in one is added,
// whatever name it is reached by; its `__module__` says where an object was defined.
const char* const never_trusted_modules[] = {
    "builtins", "os", "posix", "nt", "subprocess", "_posixsubprocess", "pty", "signal", "sys", "gc",
    "ctypes", "_ctypes", "importlib", "pkgutil", "zipimport", "runpy", "pydoc", "inspect", "types", "operator",
    "_operator", "code", "codeop", "timeit", "cProfile", "profile", "_lsprof", "pdb", "bdb", "trace", "doctest",
    "pickle", "_pickle", "copyreg", "marshal", "shelve", "dill", "cloudpickle", "joblib", "pandas.io.pickle",
    "multiprocessing", "concurrent", "threading", "_thread", "io", "_io", "shutil", "tempfile", "socket", "_socket",
    "webbrowser",
};

bool in_module_family(std::string_view module) {
    for (const char* family : never_trusted_modules) {
        std::string_view f(family);
        if (module == f || (module.size() > f.size() && module.substr(0, f.size()) == f && module[f.size()] == '.'))
            return true;
    }
    return false;
}

// Where an object was defined, by its `__module__` (read on the object itself, as the interpreter
// names it); empty when it has none.
std::string defined_in(nb::handle obj) {
    nb::object module = nb::steal(PyObject_GetAttrString(obj.ptr(), "__module__"));
    if (!module.is_valid()) {
        PyErr_Clear();
        return {};
    }
    return PyUnicode_CheckExact(module.ptr()) ? text_of(module) : std::string();
}

}  // namespace

uint8_t allowed(Role role) {
    switch (role) {
        case Role::reference: return 0;
        case Role::instance: return allow_newobj | allow_build;
        case Role::mapping: return allow_newobj | allow_build | allow_items;
        case Role::ordered_dict: return allow_reduce | allow_build | allow_items;
        case Role::dtype: case Role::reconstruct: case Role::bit_generator: case Role::random_state:
        case Role::seed_sequence: case Role::tree: case Role::new_object: case Role::partial:
            return allow_reduce | allow_build;
        case Role::trusted: return allow_reduce | allow_newobj | allow_build | allow_items;
        default: return allow_reduce;
    }
}

int entry_count() { return (int) (sizeof entries / sizeof entries[0]); }

const Entry& entry(int index) { return entries[index]; }

int find_entry(std::string_view module, std::string_view name) {
    for (int i = 0; i < entry_count(); ++i)
        if (module == entries[i].module && name == entries[i].name) return i;
    for (const Alias& alias : aliases)
        if (module == alias.module && name == alias.name) return find_entry(alias.listed_module, alias.listed_name);
    return -1;
}

std::string full_name(const Entry& e) { return std::string(e.module) + "." + e.name; }

nb::object default_trusted() {
    nb::list names;
    for (const Entry& e : entries) {
        std::string name = full_name(e);
        names.append(nb::str(name.data(), name.size()));
    }
    nb::object result = nb::steal(PyFrozenSet_New(names.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

std::vector<TrustedName> trusted_names(const py::Call& g, nb::handle names) {
    std::vector<TrustedName> result;
    nb::object items = nb::steal(PyObject_GetIter(names.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    while (nb::object item = nb::steal(PyIter_Next(items.ptr()))) {
        if (!PyUnicode_Check(item.ptr()))
            py::raise(g("TypeError"), py::f_string("trusted names must be str, not ", nb::repr(item.type())));
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (!text) throw nb::python_error();
        std::string spelled(text, (size_t) size);
        size_t dot = spelled.rfind('.');
        // "module.qualname" with a qualname of one name: no attribute walk can be asked for. A name
        // without a module matches nothing, and the refusal names what the stream does spell.
        if (dot == std::string::npos || dot == 0 || dot + 1 == spelled.size()) continue;
        result.push_back({spelled.substr(0, dot), spelled.substr(dot + 1), spelled});
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return result;
}

nb::object original(const char* module, const char* name) {
    return nb::getattr(py::import(module), name);
}

nb::object original(const Entry& e) { return original(e.module, e.name); }

nb::object resolve(Context& ctx, const Entry& e) {
    return e.narrowed ? ctx.g(e.narrowed) : nb::borrow(ctx.original(e.module, e.name));
}

nb::object resolve_trusted(Context& ctx, const TrustedName& name, int& as_entry) {
    const py::Call& g = ctx.g;
    as_entry = -1;
    if (name.module == "__main__") refuse(g, name.spelled);
    nb::object obj;
    try {
        nb::object module = py::import(name.module.c_str());
        obj = nb::getattr(module, name.name.c_str());
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        refuse(g, name.spelled + " (not found)");
    }
    if (PyModule_Check(obj.ptr())) refuse(g, name.spelled + " (a module)");
    for (const auto& [module, attribute] : never_trusted)
        if (obj.is(py::loaded_attribute(module, attribute))) refuse(g, name.spelled);
    // another spelling of a listed object: the listed steps apply to it, narrowed ones included
    for (int i = 0; i < entry_count(); ++i)
        if (obj.is(py::loaded_attribute(entries[i].module, entries[i].name))) {
            as_entry = i;
            return resolve(ctx, entries[i]);
        }
    if (in_module_family(name.module) || in_module_family(defined_in(obj)))
        refuse(g, name.spelled + " (of a module that runs code or processes, imports, unpickles or opens files)");
    ctx.add_trusted(obj);
    return obj;
}

std::string text_of(nb::handle value) {
    nb::object text = PyUnicode_Check(value.ptr()) ? nb::borrow(value) : nb::object(nb::repr(value));
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!chars) {
        PyErr_Clear();
        return "?";
    }
    return std::string(chars, (size_t) size);
}

std::string shown(nb::handle value) {
    constexpr Py_ssize_t cut = 64;
    PyObject* p = value.ptr();
    if (PyUnicode_CheckExact(p) || PyBytes_CheckExact(p)) {
        Py_ssize_t n = PyUnicode_CheckExact(p) ? PyUnicode_GET_LENGTH(p) : PyBytes_GET_SIZE(p);
        nb::object head = nb::steal(PySequence_GetSlice(p, 0, std::min(n, cut)));
        if (!head.is_valid()) {
            PyErr_Clear();
            return "?";
        }
        return text_of(nb::repr(head)) + (n > cut ? "..." : "");
    }
    if (PyLong_CheckExact(p)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        return overflow ? std::string("<int>") : std::to_string(n);
    }
    if (PyFloat_CheckExact(p) || PyBool_Check(p) || value.is_none()) return text_of(nb::repr(value));
    return std::string("<") + Py_TYPE(p)->tp_name + ">";
}

void raise_untrusted(const py::Call& g, nb::handle message, nb::handle refused) {
    nb::object type = g("MTDUntrustedError");
    nb::object error = type(message);
    nb::setattr(error, "refused", refused);
    PyErr_SetObject(type.ptr(), error.ptr());
    throw nb::python_error();
}

void refuse(const py::Call& g, const std::string& what) {
    nb::str message(what.data(), what.size());
    raise_untrusted(g, message, nb::make_tuple(message));
}

}  // namespace korva::utils::safeload
