// The allow-list of korva.utils.safeload: DEFAULT_TRUSTED, the names it is matched under, and the
// few names no caller can add. The list is what pickle (protocols 2 to 5) and dill write for the
// estimators curve models are made of, fitted, and for plain data; every entry is an exact
// "module.qualname", and a stream can only reach the classes on it, which is what makes the generic
// constructors below (newObj, the bit-generator constructors) safe to list.
#include "korva/utils/safeload/safeload.hpp"

#include <cstring>

namespace korva::utils::safeload {

namespace {

struct Entry {
    const char* module;
    const char* qualname;
};

const Entry default_entries[] = {
    // ---- plain data ---------------------------------------------------------------------------
    {"builtins", "set"},        // set literals (protocol 2 writes set(list) as a call)
    {"builtins", "frozenset"},  // the same for frozensets
    {"builtins", "complex"},    // complex numbers: complex(real, imag)
    {"builtins", "bytearray"},  // bytearray(bytes) below protocol 5
    {"builtins", "bytes"},      // protocol 2's bytes; also dill's type table (see _load_type)
    {"builtins", "slice"},      // slice(start, stop, step)
    {"builtins", "range"},      // range(start, stop, step); protocol 2 spells it __builtin__.xrange
    {"_codecs", "encode"},      // protocol 2's bytes: served by korva's own encode(text, "latin1") only
    {"collections", "OrderedDict"},  // an ordered dict, filled by SETITEMS

    // ---- numpy arrays, dtypes and scalars --------------------------------------------------------
    {"numpy", "ndarray"},                         // the class handed to _reconstruct, then BUILD
    {"numpy", "dtype"},                           // dtype(spec, align, copy), then BUILD with its state
    {"numpy._core.multiarray", "_reconstruct"},   // an empty ndarray of a listed class; dtype checked first
    {"numpy._core.multiarray", "scalar"},         // a scalar from its dtype and raw bytes; dtype checked first
    {"numpy._core.numeric", "_frombuffer"},       // protocol 5's arrays: frombuffer + reshape; dtype checked first

    // ---- numpy's random state (estimators keep their random_state_) ----------------------------
    {"numpy.random._pickle", "__bit_generator_ctor"},  // a bit generator by name or listed class
    {"numpy.random._pickle", "__generator_ctor"},      // a Generator around such a bit generator
    {"numpy.random._pickle", "__randomstate_ctor"},    // a RandomState around such a bit generator
    {"numpy.random._mt19937", "MT19937"},              // the bit generators themselves, by class
    {"numpy.random._pcg64", "PCG64"},
    {"numpy.random._pcg64", "PCG64DXSM"},
    {"numpy.random._philox", "Philox"},
    {"numpy.random._sfc64", "SFC64"},
    {"numpy.random.bit_generator", "SeedSequence"},                 // a bit generator's seed
    {"numpy.random.bit_generator", "__pyx_unpickle_SeedSequence"},  // its state: new + set fields

    // ---- dill ------------------------------------------------------------------------------------
    {"dill._dill", "_create_array"},  // an ndarray from a listed callable, its state and __dict__
    {"dill._dill", "_load_type"},     // served by korva's own lookup of plain data types only

    // ---- scikit-learn containers ---------------------------------------------------------------
    {"sklearn.utils._bunch", "Bunch"},  // a dict with attribute access (named_estimators_)
    {"sklearn.pipeline", "Pipeline"},
    {"sklearn.ensemble._voting", "VotingRegressor"},

    // ---- trees and forests ----------------------------------------------------------------------
    {"sklearn.tree._classes", "DecisionTreeRegressor"},
    {"sklearn.tree._classes", "ExtraTreeRegressor"},
    {"sklearn.tree._tree", "Tree"},  // korva checks its sizes first; nodes and values validated after
    {"sklearn.ensemble._forest", "RandomForestRegressor"},
    {"sklearn.ensemble._forest", "ExtraTreesRegressor"},

    // ---- gradient boosting, with its losses and links ------------------------------------------
    {"sklearn.ensemble._gb", "GradientBoostingRegressor"},
    {"sklearn.ensemble._hist_gradient_boosting.gradient_boosting", "HistGradientBoostingRegressor"},
    {"sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor"},  // nodes validated
    {"sklearn.ensemble._hist_gradient_boosting.binning", "_BinMapper"},
    {"sklearn._loss.loss", "HalfSquaredError"},  // the Python loss objects of both boostings
    {"sklearn._loss.loss", "AbsoluteError"},
    {"sklearn._loss.loss", "HuberLoss"},
    {"sklearn._loss.loss", "PinballLoss"},
    {"sklearn._loss.loss", "HalfPoissonLoss"},
    {"sklearn._loss.loss", "HalfGammaLoss"},
    {"sklearn._loss._loss", "CyHalfSquaredError"},  // their compiled closed-form parts
    {"sklearn._loss._loss", "CyAbsoluteError"},
    {"sklearn._loss._loss", "CyHuberLoss"},
    {"sklearn._loss._loss", "CyPinballLoss"},
    {"sklearn._loss._loss", "CyHalfPoissonLoss"},
    {"sklearn._loss._loss", "CyHalfGammaLoss"},
    {"sklearn._loss.link", "IdentityLink"},  // the links between raw predictions and targets
    {"sklearn._loss.link", "LogLink"},
    {"sklearn._loss.link", "Interval"},      // a link's domain: two floats and two flags

    // ---- nearest neighbours ------------------------------------------------------------------------
    {"sklearn.neighbors._regression", "KNeighborsRegressor"},
    {"sklearn.neighbors._regression", "RadiusNeighborsRegressor"},
    {"sklearn.neighbors._kd_tree", "KDTree"},       // index arrays validated before return
    {"sklearn.neighbors._kd_tree", "newObj"},       // cls.__new__(cls) for the listed classes
    {"sklearn.neighbors._ball_tree", "BallTree"},   // index arrays validated before return
    {"sklearn.neighbors._ball_tree", "newObj"},
    {"sklearn.metrics._dist_metrics", "newObj"},    // the same helper for the metrics
    {"sklearn.metrics._dist_metrics", "EuclideanDistance64"},  // minkowski p=2, the default
    {"sklearn.metrics._dist_metrics", "ManhattanDistance64"},  // p=1
    {"sklearn.metrics._dist_metrics", "ChebyshevDistance64"},  // p=inf
    {"sklearn.metrics._dist_metrics", "MinkowskiDistance64"},  // other p; weights validated

    // ---- linear models, the dummy and the scalers --------------------------------------------------
    {"sklearn.linear_model._base", "LinearRegression"},
    {"sklearn.linear_model._ridge", "Ridge"},
    {"sklearn.linear_model._coordinate_descent", "Lasso"},
    {"sklearn.linear_model._coordinate_descent", "ElasticNet"},
    {"sklearn.linear_model._bayes", "BayesianRidge"},
    {"sklearn.linear_model._huber", "HuberRegressor"},
    {"sklearn.linear_model._stochastic_gradient", "SGDRegressor"},
    {"sklearn.dummy", "DummyRegressor"},
    {"sklearn.preprocessing._data", "StandardScaler"},
    {"sklearn.preprocessing._data", "MinMaxScaler"},
};

// dill's type table holds code, function and module types too: only these names are served.
const char* const plain_types[] = {"bytes", "bytearray", "complex", "slice", "NoneType", "set", "frozenset"};

bool equals_ascii(nb::handle text, const char* ascii) {
    return PyUnicode_Check(text.ptr()) && PyUnicode_CompareWithASCIIString(text.ptr(), ascii) == 0;
}

}  // namespace

nb::object default_trusted() {
    nb::list names;
    for (const Entry& entry : default_entries)
        names.append(nb::steal(PyUnicode_FromFormat("%s.%s", entry.module, entry.qualname)));
    nb::object result = nb::steal(PyFrozenSet_New(names.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

std::pair<nb::object, nb::object> canonical(nb::handle compat, nb::handle module, nb::handle name) {
    // The renames protocol 2 readers apply (__builtin__ -> builtins, copy_reg -> copyreg, ...),
    // applied whatever the protocol: they only map to names that must still match exactly.
    nb::object pair = nb::make_tuple(module, name);
    nb::object renamed = compat.attr("NAME_MAPPING").attr("get")(pair);
    if (!renamed.is_none()) return {renamed[0], renamed[1]};
    nb::object new_module = compat.attr("IMPORT_MAPPING").attr("get")(module, module);
    // numpy 1.x wrote numpy.core.*, numpy 2 numpy._core.*; dill once lived in dill.dill.
    if (equals_ascii(new_module, "numpy.core")) new_module = py::s("numpy._core");
    else if (py::truthy(new_module.attr("startswith")("numpy.core.")))
        new_module = py::s("numpy._core.") + new_module[py::slice(nb::int_(11), {})];
    else if (equals_ascii(new_module, "dill.dill")) new_module = py::s("dill._dill");
    return {new_module, nb::borrow(name)};
}

bool never_trusted(nb::handle module, nb::handle name) {
    if (equals_ascii(module, "__main__")) return true;
    if (!equals_ascii(module, "dill._dill")) return false;
    for (const char* constructor : {"_create_code", "_create_function", "_create_cell", "_create_lock",
                                    "_create_rlock", "_import_module", "_get_attr", "_eval_repr", "_load_type_"})
        if (equals_ascii(name, constructor)) return true;
    return false;
}

const char* substitute_for(nb::handle module, nb::handle name) {
    if (equals_ascii(module, "dill._dill") && equals_ascii(name, "_load_type")) return "_load_type";
    if (equals_ascii(module, "_codecs") && equals_ascii(name, "encode")) return "_encode";
    if (equals_ascii(module, "numpy._core.numeric") && equals_ascii(name, "_frombuffer")) return "_frombuffer";
    if (equals_ascii(module, "numpy._core.multiarray") && equals_ascii(name, "_reconstruct")) return "_reconstruct";
    if (equals_ascii(module, "numpy._core.multiarray") && equals_ascii(name, "scalar")) return "_scalar";
    if (equals_ascii(module, "sklearn.tree._tree") && equals_ascii(name, "Tree")) return "_tree";
    return nullptr;
}

namespace {

[[noreturn]] void refuse_arguments(const py::Call& g, const char* what) {
    nb::object message = py::f_string("constructor arguments refused: ", nb::str(what));
    raise_untrusted(g, message, nb::make_tuple(message));
}

// A non-negative int below `limit`.
bool small_count(nb::handle value, long long limit) {
    if (!PyLong_Check(value.ptr())) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return !overflow && n >= 0 && n < limit;
}

}  // namespace

// numpy's array constructors, after the dtype they are handed has been checked (a dtype's pickled
// state is applied by numpy without a consistency check of its fields).
nb::object _frombuffer(const py::Call& g) {
    check_dtype(g, g[1]);
    return py::import("numpy._core.numeric").attr("_frombuffer")(g[0], g[1], g[2], g[3]);
}

nb::object _reconstruct(const py::Call& g) {
    // numpy pickles an array as an empty one of shape (0,) that its state then fills: a shape that
    // asks for more is only a way to reserve memory
    nb::handle shape = g[1];
    bool empty = PyTuple_Check(shape.ptr()) && PyTuple_GET_SIZE(shape.ptr()) >= 1;
    for (Py_ssize_t i = 0; empty && i < PyTuple_GET_SIZE(shape.ptr()); ++i)
        empty = small_count(PyTuple_GET_ITEM(shape.ptr(), i), 2);
    if (!empty) refuse_arguments(g, "_reconstruct of a non-empty shape");
    check_dtype(g, g[2]);
    return py::import("numpy._core.multiarray").attr("_reconstruct")(g[0], g[1], g[2]);
}

nb::object _tree(const py::Call& g) {
    // Tree(n_features, n_classes, n_outputs) reserves per output before its state says anything
    nb::handle n_features = g[0], n_classes = g[1], n_outputs = g[2];
    if (!small_count(n_features, 1LL << 31) || !small_count(n_outputs, 1LL << 20) ||
        nb::len(n_classes) == 0 || !py::equals(nb::int_(nb::len(n_classes)), n_outputs))
        refuse_arguments(g, "Tree sizes");
    for (nb::handle classes : n_classes)
        if (!small_count(nb::int_(classes), 1LL << 20)) refuse_arguments(g, "Tree class counts");
    return py::import("sklearn.tree._tree").attr("Tree")(n_features, n_classes, n_outputs);
}

nb::object _scalar(const py::Call& g) {
    check_dtype(g, g[0]);
    return py::import("numpy._core.multiarray").attr("scalar")(g[0], g[1]);
}

nb::object _encode(const py::Call& g) {
    // Any other codec name would have the codec registry import a module of that name.
    nb::handle text = g[0], encoding = g[1];
    if (!equals_ascii(encoding, "latin1") && !equals_ascii(encoding, "latin-1"))
        raise_untrusted(g, py::f_string("codec outside protocol 2's bytes refused: ", nb::repr(encoding)),
                        nb::make_tuple(py::f_string("_codecs.encode(..., ", nb::repr(encoding), ")")));
    return g("_codecs").attr("encode")(text, encoding);
}

nb::object _load_type(const py::Call& g) {
    nb::handle name = g[0];
    for (const char* type_name : plain_types)
        if (equals_ascii(name, type_name))
            return std::strcmp(type_name, "NoneType") == 0 ? nb::borrow(Py_TYPE(Py_None)) : g(type_name);
    raise_untrusted(g, py::f_string("dill type outside plain data refused: ", name),
                    nb::make_tuple(py::f_string("dill._dill._load_type(", nb::repr(name), ")")));
}

}  // namespace korva::utils::safeload
