// The narrowed constructors and BUILD rules of korva.utils.safeload: what a REDUCE of a listed name
// runs, in the only argument forms that cannot import or run anything, and how a BUILD applies a
// state to what it made. Arrays come only from numpy's own steps after korva has checked every
// argument (dtype, shape, data length), and a dtype's state is applied once, to a dtype of the
// stream's own, and then compared with the dtype numpy makes itself from the same layout.
#include "korva/utils/safeload/safeload.hpp"

#include <algorithm>

namespace korva::utils::safeload {

namespace {

[[noreturn]] void refuse_arguments(const py::Call& g, const std::string& what) {
    refuse(g, "constructor arguments refused: " + what);
}

[[noreturn]] void refuse_state(const py::Call& g, const std::string& what) { refuse(g, "state refused: " + what); }

[[noreturn]] void refuse_dtype(const py::Call& g, const char* what) {
    refuse(g, std::string("inconsistent dtype refused: ") + what);
}

bool is_exact_int(nb::handle value) { return PyLong_CheckExact(value.ptr()); }

// An exact int in [low, high]; false for anything else.
bool int_in(nb::handle value, long long low, long long high, long long* out = nullptr) {
    if (!is_exact_int(value)) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || n < low || n > high) return false;
    if (out) *out = n;
    return true;
}

bool text_is(nb::handle value, const char* text) {
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

nb::handle item(nb::handle tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple.ptr(), i); }
Py_ssize_t size(nb::handle tuple) { return PyTuple_GET_SIZE(tuple.ptr()); }

nb::object call(nb::handle callable, nb::handle args) {
    nb::object result = nb::steal(PyObject_Call(callable.ptr(), args.ptr(), nullptr));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// A shape: an exact tuple of exact ints >= 0 whose product stays far below any real allocation.
bool shape_of(nb::handle shape, long long& count, int max_ndim = 64) {
    if (!PyTuple_CheckExact(shape.ptr()) || size(shape) > max_ndim) return false;
    count = 1;
    for (Py_ssize_t i = 0; i < size(shape); ++i) {
        long long n = 0;
        if (!int_in(item(shape, i), 0, 1LL << 48, &n)) return false;
        if (n != 0 && count > (1LL << 48) / n) return false;
        count *= n;
    }
    return true;
}

// A dtype korva has checked, not waiting for its state, and without object fields inside a record.
nb::object plain_dtype(Context& ctx, nb::handle dtype, bool objects_allowed) {
    check_dtype(ctx, dtype);
    nb::object d = nb::borrow(dtype);
    if (py::truthy(d.attr("hasobject")) && (!objects_allowed || !py::equals(d.attr("kind"), "O")))
        refuse_arguments(ctx.g, "an array of a dtype with object fields");
    return d;
}

long long itemsize_of(nb::handle dtype) { return nb::cast<long long>(dtype.attr("itemsize")); }

const char* const bit_generators[][2] = {
    {"numpy.random._mt19937", "MT19937"}, {"numpy.random._pcg64", "PCG64"}, {"numpy.random._pcg64", "PCG64DXSM"},
    {"numpy.random._philox", "Philox"},   {"numpy.random._sfc64", "SFC64"},
};

// A bit generator named as numpy's pickles name them: a listed class, or one of their names.
bool bit_generator_name(Context& ctx, nb::handle value) {
    for (auto [module, name] : bit_generators)
        if (text_is(value, name) || value.is(ctx.original(module, name))) return true;
    return false;
}

// A bit generator instance of exactly a listed class, or a listed name.
bool bit_generator_or_name(Context& ctx, nb::handle value) {
    for (auto [module, name] : bit_generators)
        if (text_is(value, name) || value.type().is(ctx.original(module, name))) return true;
    return false;
}

// The classes each of scikit-learn's newObj helpers may be handed: those of its own module.
bool new_object_class(Context& ctx, const Entry& e, nb::handle cls) {
    static const char* const metrics[] = {"EuclideanDistance64", "ManhattanDistance64", "ChebyshevDistance64",
                                          "MinkowskiDistance64"};
    if (std::string_view(e.module) == "sklearn.neighbors._kd_tree") return cls.is(ctx.original(e.module, "KDTree"));
    if (std::string_view(e.module) == "sklearn.neighbors._ball_tree") return cls.is(ctx.original(e.module, "BallTree"));
    for (const char* metric : metrics)
        if (cls.is(ctx.original(e.module, metric))) return true;
    return false;
}

nb::object plain_set(Context& ctx, const Entry& e, nb::handle args) {
    bool frozen = e.role == Role::frozenset;
    if (size(args) > 1 || (size(args) == 1 && !PyList_CheckExact(item(args, 0).ptr())))
        refuse_arguments(ctx.g, std::string(e.name) + " of anything but a list");
    nb::object result = nb::steal(frozen ? PyFrozenSet_New(nullptr) : PySet_New(nullptr));
    if (!result.is_valid()) throw nb::python_error();
    if (size(args) == 0) return result;
    nb::object items = nb::borrow(item(args, 0));
    ctx.charge(PyList_GET_SIZE(items.ptr()), 48 * PyList_GET_SIZE(items.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object value = nb::borrow(PyList_GET_ITEM(items.ptr(), i));  // a hash may run a listed class's code
        ctx.hash_guard(result.ptr(), value.ptr());
        if (PySet_Add(result.ptr(), value.ptr()) < 0) throw nb::python_error();
    }
    return result;
}

// The checks of an ndarray's pickled state (version, shape, dtype, order, data), before numpy's own
// __setstate__ applies it: numpy trusts the data length and the dtype's layout it is handed.
void check_array_state(Context& ctx, nb::handle state) {
    const py::Call& g = ctx.g;
    if (!PyTuple_CheckExact(state.ptr()) || size(state) != 5 || !int_in(item(state, 0), 1, 1))
        refuse_arguments(g, "an array state that is not numpy's");
    long long count = 0;
    if (!shape_of(item(state, 1), count)) refuse_arguments(g, "an array shape");
    nb::object dtype = plain_dtype(ctx, item(state, 2), true);
    if (!PyBool_Check(item(state, 3).ptr())) refuse_arguments(g, "an array order");
    nb::handle data = item(state, 4);
    if (py::truthy(dtype.attr("hasobject"))) {
        if (!PyList_CheckExact(data.ptr()) || PyList_GET_SIZE(data.ptr()) != count)
            refuse_arguments(g, "object array items that do not match its shape");
        ctx.charge(count, 8 * count);
        return;
    }
    long long itemsize = itemsize_of(dtype);
    if (itemsize < 1) refuse_arguments(g, "an array of empty items");
    Py_ssize_t length = PyBytes_CheckExact(data.ptr())       ? PyBytes_GET_SIZE(data.ptr())
                        : PyByteArray_CheckExact(data.ptr()) ? PyByteArray_GET_SIZE(data.ptr())
                                                             : -1;
    if (count > (1LL << 48) / itemsize || length != count * itemsize)
        refuse_arguments(g, "array data that does not match its shape");
    ctx.charge(0, length);
}

void apply_array_state(Context& ctx, nb::handle array, nb::handle state) {
    if (!array.type().is(ctx.numpy_ndarray())) refuse_arguments(ctx.g, "a state for what is not an ndarray");
    check_array_state(ctx, state);
    build_generic(array, state);
}

nb::object reconstruct(Context& ctx, nb::handle args) {
    // numpy pickles an array as an empty one of shape (0,) that its state then fills: any other
    // shape would only reserve memory
    if (size(args) != 3 || !item(args, 0).is(ctx.numpy_ndarray()))
        refuse_arguments(ctx.g, "_reconstruct of anything but numpy.ndarray");
    nb::handle shape = item(args, 1), typecode = item(args, 2);
    if (!PyTuple_CheckExact(shape.ptr()) || size(shape) != 1 || !int_in(item(shape, 0), 0, 0))
        refuse_arguments(ctx.g, "_reconstruct of a non-empty shape");
    if (!PyBytes_CheckExact(typecode.ptr()) || PyBytes_GET_SIZE(typecode.ptr()) != 1 ||
        PyBytes_AS_STRING(typecode.ptr())[0] != 'b')
        refuse_arguments(ctx.g, "_reconstruct of another type code");
    return call(ctx.original("numpy._core.multiarray", "_reconstruct"), args);
}

nb::object frombuffer(Context& ctx, nb::handle args) {
    const py::Call& g = ctx.g;
    if (size(args) < 4 || size(args) > 5) refuse_arguments(g, "_frombuffer arguments");
    nb::handle buffer = item(args, 0);
    Py_ssize_t length = PyBytes_CheckExact(buffer.ptr())       ? PyBytes_GET_SIZE(buffer.ptr())
                        : PyByteArray_CheckExact(buffer.ptr()) ? PyByteArray_GET_SIZE(buffer.ptr())
                                                               : -1;
    if (length < 0) refuse_arguments(g, "_frombuffer of anything but bytes");
    nb::object dtype = plain_dtype(ctx, item(args, 1), false);
    long long count = 0, itemsize = itemsize_of(dtype);
    if (!shape_of(item(args, 2), count)) refuse_arguments(g, "_frombuffer shape");
    if (itemsize < 1 || count > (1LL << 48) / itemsize || count * itemsize != length)
        refuse_arguments(g, "_frombuffer data that does not match its shape");
    nb::handle order = item(args, 3);
    if (!text_is(order, "C") && !text_is(order, "F") && !text_is(order, "K")) refuse_arguments(g, "_frombuffer order");
    if (size(args) == 5 && !item(args, 4).is_none()) {
        // numpy's order of the axes of an array that is neither C- nor F-contiguous: a permutation
        nb::handle axes = item(args, 4);
        Py_ssize_t ndim = size(item(args, 2));
        if (!text_is(order, "K") || !PyTuple_CheckExact(axes.ptr()) || size(axes) != ndim)
            refuse_arguments(g, "_frombuffer axis order");
        std::vector<bool> seen((size_t) ndim, false);
        for (Py_ssize_t i = 0; i < ndim; ++i) {
            long long axis = 0;
            if (!int_in(item(axes, i), 0, ndim - 1, &axis) || seen[(size_t) axis]) refuse_arguments(g, "_frombuffer axis order");
            seen[(size_t) axis] = true;
        }
    }
    return call(ctx.original("numpy._core.numeric", "_frombuffer"), args);
}

nb::object scalar(Context& ctx, nb::handle args) {
    if (size(args) != 2) refuse_arguments(ctx.g, "scalar arguments");
    nb::object dtype = plain_dtype(ctx, item(args, 0), false);
    nb::handle raw = item(args, 1);
    if (!PyBytes_CheckExact(raw.ptr()) || PyBytes_GET_SIZE(raw.ptr()) != itemsize_of(dtype) || itemsize_of(dtype) < 1)
        refuse_arguments(ctx.g, "scalar bytes that do not match its dtype");
    return call(ctx.original("numpy._core.multiarray", "scalar"), args);
}

nb::object dtype(Context& ctx, nb::handle args) {
    // what numpy's own pickles hand dtype(): a type code of a kind and a size, never a string numpy
    // would parse further (shapes in a dtype string go through a literal parser)
    if (size(args) != 3 || !PyUnicode_CheckExact(item(args, 0).ptr())) refuse_arguments(ctx.g, "dtype arguments");
    std::string spelled = text_of(item(args, 0));
    bool code = spelled.size() >= 2 && spelled.size() <= 11 && std::strchr("biufcmMOSUV", spelled[0]) && spelled[0];
    for (size_t i = 1; code && i < spelled.size(); ++i) code = spelled[i] >= '0' && spelled[i] <= '9';
    if (!code) refuse_arguments(ctx.g, "dtype code " + spelled);
    if (!int_in(item(args, 1), 0, 1) && !PyBool_Check(item(args, 1).ptr())) refuse_arguments(ctx.g, "dtype align");
    nb::object made = ctx.numpy_dtype()(item(args, 0), nb::bool_(py::truthy(item(args, 1))), nb::bool_(true));
    ctx.add_pending(made);
    return made;
}

// BUILD on a dtype: the state numpy's pickles carry, checked part by part, applied by numpy, and the
// result compared with what numpy makes itself from the same layout.
void build_dtype(Context& ctx, nb::handle dtype, nb::handle state) {
    const py::Call& g = ctx.g;
    if (!PyTuple_CheckExact(state.ptr()) || (size(state) != 8 && size(state) != 9) || !int_in(item(state, 0), 3, 4))
        refuse_dtype(g, "a state that is not numpy's");
    nb::handle endian = item(state, 1), subarray = item(state, 2), names = item(state, 3), fields = item(state, 4);
    if (!text_is(endian, "<") && !text_is(endian, ">") && !text_is(endian, "|") && !text_is(endian, "="))
        refuse_dtype(g, "byte order");
    if (!subarray.is_none()) {
        long long count = 0;
        if (!PyTuple_CheckExact(subarray.ptr()) || size(subarray) != 2 || !shape_of(item(subarray, 1), count, 32))
            refuse_dtype(g, "subarray");
        check_dtype(ctx, item(subarray, 0));
    }
    if (!names.is_none()) {
        if (!PyTuple_CheckExact(names.ptr()) || !PyDict_CheckExact(fields.ptr()) || PyDict_GET_SIZE(fields.ptr()) != size(names))
            refuse_dtype(g, "field names");
        for (Py_ssize_t i = 0; i < size(names); ++i) {
            if (!PyUnicode_CheckExact(item(names, i).ptr())) refuse_dtype(g, "field names");
            int found = PyDict_Contains(fields.ptr(), item(names, i).ptr());
            if (found < 0) throw nb::python_error();
            if (!found) refuse_dtype(g, "field names");
        }
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(fields.ptr(), &at, &key, &value)) {
            if (!PyTuple_CheckExact(value) || PyTuple_GET_SIZE(value) != 2 || !int_in(PyTuple_GET_ITEM(value, 1), 0, 1LL << 31))
                refuse_dtype(g, "field entry");
            check_dtype(ctx, PyTuple_GET_ITEM(value, 0));
        }
    } else if (!fields.is_none()) {
        refuse_dtype(g, "fields without names");
    }
    for (int i = 5; i < 8; ++i)
        if (!int_in(item(state, i), -1, 1LL << 31)) refuse_dtype(g, "sizes");
    build_generic(dtype, state);
    ctx.built(dtype);
    check_dtype(ctx, dtype);
}

// Fields of a dtype counted each time they appear: nested records that share a dtype list it again
// at every place, so a few hundred bytes of stream could describe more fields than memory holds.
constexpr long long max_fields_listed = 1 << 16;

void check_dtype_at(Context& ctx, nb::handle dtype, int depth) {
    const py::Call& g = ctx.g;
    int is_dtype = PyObject_IsInstance(dtype.ptr(), ctx.numpy_dtype().ptr());
    if (is_dtype < 0) throw nb::python_error();
    if (!is_dtype) refuse_dtype(g, "not a dtype");
    if (ctx.pending(dtype)) refuse_dtype(g, "a dtype used before its state");
    if (ctx.checked(dtype)) return;
    if (depth > 32) refuse_dtype(g, "nested too deeply");
    nb::object d = nb::borrow(dtype), names = d.attr("names"), subdtype = d.attr("subdtype");
    nb::object numpy_dtype = nb::borrow(ctx.numpy_dtype()), fresh;
    // the fields a description of the dtype lists, a nested one's each time it appears: what numpy's
    // str and repr of it, and any message that names it, write out
    long long fields_listed = 1;
    try {
        if (names.is_none() && subdtype.is_none()) {
            fresh = numpy_dtype(d.attr("str"));
        } else if (names.is_none()) {
            if (!PyTuple_Check(subdtype.ptr()) || nb::len(subdtype) != 2) refuse_dtype(g, "subarray");
            check_dtype_at(ctx, subdtype[0], depth + 1);
            fields_listed = ctx.fields_listed(subdtype[0]);
            fresh = numpy_dtype(subdtype);
        } else {
            nb::object fields = d.attr("fields");
            nb::list field_names, formats, offsets;
            fields_listed = 0;
            for (nb::handle name : names) {
                nb::object field = fields[name];
                if (!PyTuple_Check(field.ptr()) || nb::len(field) != 2) refuse_dtype(g, "field titles");
                check_dtype_at(ctx, field[0], depth + 1);
                fields_listed += ctx.fields_listed(field[0]);
                if (fields_listed > max_fields_listed) refuse_dtype(g, "more than 65536 fields, nested ones counted where they appear");
                field_names.append(name);
                formats.append(field[0]);
                offsets.append(field[1]);
            }
            nb::dict spec;
            spec["names"] = field_names;
            spec["formats"] = formats;
            spec["offsets"] = offsets;
            spec["itemsize"] = d.attr("itemsize");
            spec["aligned"] = d.attr("isalignedstruct");
            fresh = numpy_dtype(spec);
        }
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError) && !error.matches(PyExc_KeyError)) throw;
        refuse_dtype(g, "a layout numpy does not make");
    }
    for (const char* attribute : {"itemsize", "alignment", "flags", "hasobject", "byteorder", "kind"})
        if (!py::equals(fresh.attr(attribute), d.attr(attribute))) refuse_dtype(g, "a layout numpy does not make");
    if (!py::equals(fresh, d)) refuse_dtype(g, "a layout numpy does not make");
    ctx.mark_checked(dtype, fields_listed);
}

nb::object tree(Context& ctx, nb::handle args) {
    // Tree(n_features, n_classes, n_outputs) reserves per output and class before any state arrives
    const py::Call& g = ctx.g;
    long long outputs = 0;
    if (size(args) != 3 || !int_in(item(args, 0), 0, (1LL << 31) - 1) || !int_in(item(args, 2), 1, 1 << 20, &outputs))
        refuse_arguments(g, "Tree sizes");
    nb::handle classes = item(args, 1);
    ArrayView view;
    if (!classes.type().is(ctx.numpy_ndarray()) || !view.acquire(classes) || view.ndim() != 1 ||
        view.dim(0) != outputs || view.itemsize() != 8 || !py::equals(classes.attr("dtype").attr("kind"), "i"))
        refuse_arguments(g, "Tree sizes");
    long long largest = 0;
    for (Py_ssize_t i = 0; i < outputs; ++i) {
        long long n = view.at<int64_t>(i);
        if (n < 1 || n > (1 << 20)) refuse_arguments(g, "Tree class counts");
        largest = std::max(largest, n);
    }
    if (outputs * largest > (1 << 24)) refuse_arguments(g, "Tree class counts");
    ctx.charge(1, 16 * outputs * largest);
    return call(ctx.original("sklearn.tree._tree", "Tree"), args);
}

}  // namespace

// ---- the context ---------------------------------------------------------------------------

Context::Context(const py::Call& g, Budget* budget) : g(g), budget_(budget) {}

nb::handle Context::numpy_dtype() {
    if (!dtype_.is_valid()) dtype_ = nb::borrow(original("numpy", "dtype"));
    return dtype_;
}

nb::handle Context::numpy_ndarray() {
    if (!ndarray_.is_valid()) ndarray_ = nb::borrow(original("numpy", "ndarray"));
    return ndarray_;
}

nb::handle Context::original(const char* module, const char* name) {
    std::string key = std::string(module) + '\n' + name;
    auto found = originals_.find(key);
    if (found != originals_.end()) return found->second;
    nb::object obj = safeload::original(module, name);
    return originals_.emplace(std::move(key), std::move(obj)).first->second;
}

nb::handle Context::loaded(const char* module, const char* name) {
    auto found = originals_.find(std::string(module) + '\n' + name);
    if (found != originals_.end()) return found->second;
    if (py::loaded_module(module).is_none()) return nb::none();
    return original(module, name);
}

void Context::add_trusted(nb::handle obj) {
    if (trusted_.insert(obj.ptr()).second) held_.push_back(nb::borrow(obj));
}

bool Context::is_trusted(nb::handle obj) const { return trusted_.count(obj.ptr()) != 0; }

void Context::charge(long long items, long long bytes) {
    if (!budget_) return;
    budget_->items += items;
    budget_->bytes += bytes;
    if (budget_->items > budget_->max_items)
        refuse(g, "the stream holds more than max_items=" + std::to_string(budget_->max_items) + " values");
    if (budget_->bytes > budget_->max_bytes)
        refuse(g, "the stream builds more than max_bytes=" + std::to_string(budget_->max_bytes) + " bytes");
}

void Context::charge_checks(long long steps) {
    if (!budget_) return;
    checks_ += steps;
    if (checks_ > budget_->max_items)
        refuse(g, "checking the loaded object takes more than max_items=" + std::to_string(budget_->max_items) +
                      " steps");
}

void Context::hash_guard(PyObject* container, PyObject* key) {
    if (PyUnicode_CheckExact(key) || PyBytes_CheckExact(key)) return;  // hashed with the interpreter's secret
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1 && PyErr_Occurred()) throw nb::python_error();
    uint64_t slot = ((uint64_t) (uintptr_t) container * 0x9E3779B97F4A7C15ULL) ^ (uint64_t) hash;
    if (++hashes_[slot] > 32) refuse(g, "keys that share one hash value");
}

void Context::add_pending(nb::handle dtype) {
    if (pending_.insert(dtype.ptr()).second) held_.push_back(nb::borrow(dtype));
}

bool Context::pending(nb::handle dtype) const { return pending_.count(dtype.ptr()) != 0; }

void Context::built(nb::handle dtype) { pending_.erase(dtype.ptr()); }

bool Context::checked(nb::handle dtype) const { return checked_.count(dtype.ptr()) != 0; }

void Context::mark_checked(nb::handle dtype, long long fields_listed) {
    if (checked_.emplace(dtype.ptr(), fields_listed).second) held_.push_back(nb::borrow(dtype));
}

long long Context::fields_listed(nb::handle dtype) const {
    auto found = checked_.find(dtype.ptr());
    return found == checked_.end() ? 1 : found->second;
}

// ---- the array view ------------------------------------------------------------------------

ArrayView::~ArrayView() {
    if (held_) PyBuffer_Release(&view_);
}

bool ArrayView::acquire(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    return true;
}

// ---- REDUCE and BUILD ------------------------------------------------------------------------

int load_type_entry(std::string_view name) {
    for (const char* plain : {"bytes", "bytearray", "complex", "slice", "set", "frozenset"})
        if (name == plain) return find_entry("builtins", plain);
    if (name == "PartialType") return find_entry("functools", "partial");
    return -1;
}

nb::object construct(Context& ctx, const Entry& e, nb::handle args) {
    const py::Call& g = ctx.g;
    Py_ssize_t n = size(args);
    switch (e.role) {
        case Role::set: case Role::frozenset: return plain_set(ctx, e, args);
        case Role::complex:
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!PyFloat_CheckExact(item(args, i).ptr()) && !is_exact_int(item(args, i))) n = -1;
            if (n < 1 || n > 2) refuse_arguments(g, "complex of anything but two numbers");
            return call((PyObject*) &PyComplex_Type, args);
        case Role::bytearray: {
            if (n > 1 || (n == 1 && !PyBytes_CheckExact(item(args, 0).ptr())))
                refuse_arguments(g, "bytearray of anything but bytes");
            if (n == 1) ctx.charge(1, PyBytes_GET_SIZE(item(args, 0).ptr()));
            return call((PyObject*) &PyByteArray_Type, args);
        }
        case Role::bytes:
            if (n != 0) refuse_arguments(g, "bytes with arguments");
            return nb::steal(PyBytes_FromStringAndSize(nullptr, 0));
        case Role::slice: case Role::range:
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!is_exact_int(item(args, i)) && !(e.role == Role::slice && item(args, i).is_none())) n = -1;
            if (n < 1 || n > 3) refuse_arguments(g, std::string(e.name) + " of anything but ints");
            return call(e.role == Role::slice ? (PyObject*) &PySlice_Type : (PyObject*) &PyRange_Type, args);
        case Role::encode: {
            // any other codec name would have the codec registry import a module of that name
            if (n != 2 || !PyUnicode_CheckExact(item(args, 0).ptr()) ||
                !(text_is(item(args, 1), "latin1") || text_is(item(args, 1), "latin-1"))) {
                std::string codec = n == 2 ? shown(item(args, 1)) : "?";
                refuse(g, "_codecs.encode(..., " + codec + ")");
            }
            nb::object encoded = nb::steal(PyUnicode_AsLatin1String(item(args, 0).ptr()));
            if (!encoded.is_valid()) throw nb::python_error();
            ctx.charge(0, PyBytes_GET_SIZE(encoded.ptr()));
            return encoded;
        }
        case Role::ordered_dict:
            if (n != 0) refuse_arguments(g, "OrderedDict with arguments");
            return call(ctx.original(e.module, e.name), args);
        case Role::partial:
            if (n != 1 || !item(args, 0).is(ctx.original("sklearn.utils.validation", "check_array")))
                refuse_arguments(g, "partial of anything but check_array");
            return call(ctx.original(e.module, e.name), args);
        case Role::cy_loss:
            if (n > 1 || (n == 1 && !PyFloat_CheckExact(item(args, 0).ptr()) && !is_exact_int(item(args, 0))))
                refuse_arguments(g, std::string(e.name) + " of anything but a number");
            return call(ctx.original(e.module, e.name), args);
        case Role::dtype: return dtype(ctx, args);
        case Role::reconstruct: return reconstruct(ctx, args);
        case Role::scalar: return scalar(ctx, args);
        case Role::frombuffer: return frombuffer(ctx, args);
        case Role::create_array: {
            // dill's array helper: f(*args), then the array's state, with f numpy's _reconstruct
            if (n < 3 || n > 4 || !item(args, 0).is(resolve(ctx, entry(find_entry("numpy._core.multiarray", "_reconstruct")))) ||
                !PyTuple_CheckExact(item(args, 1).ptr()) || (n == 4 && !item(args, 3).is_none()))
                refuse_arguments(g, "_create_array arguments");
            nb::object array = reconstruct(ctx, item(args, 1));
            apply_array_state(ctx, array, item(args, 2));
            return array;
        }
        case Role::load_type: {
            int index = n == 1 && PyUnicode_CheckExact(item(args, 0).ptr())
                            ? load_type_entry(text_of(item(args, 0)))
                            : -1;
            if (index < 0) refuse(g, "dill._dill._load_type(" + (n == 1 ? shown(item(args, 0)) : std::string("...")) + ")");
            return resolve(ctx, entry(index));
        }
        case Role::bit_generator:
            if (n > 1 || (n == 1 && !bit_generator_name(ctx, item(args, 0))))
                refuse_arguments(g, "a bit generator that is not numpy's");
            return call(ctx.original(e.module, e.name), args);
        case Role::generator: case Role::random_state: {
            nb::object bit_generator_ctor = resolve(ctx, entry(find_entry("numpy.random._pickle", "__bit_generator_ctor")));
            if (n < 1 || n > 2 || !bit_generator_or_name(ctx, item(args, 0)) || (n == 2 && !item(args, 1).is(bit_generator_ctor)))
                refuse_arguments(g, "a generator of a bit generator that is not numpy's");
            return call(ctx.original(e.module, e.name), nb::make_tuple(item(args, 0)));
        }
        case Role::seed_sequence:
            if (n != 3 || !item(args, 0).is(ctx.original("numpy.random.bit_generator", "SeedSequence")) ||
                !is_exact_int(item(args, 1)) || !item(args, 2).is_none())
                refuse_arguments(g, "a seed sequence state");
            return call(ctx.original(e.module, e.name), args);
        case Role::tree: return tree(ctx, args);
        case Role::new_object:
            if (n != 1 || !new_object_class(ctx, e, item(args, 0))) refuse_arguments(g, "newObj of a class not its own");
            return call(ctx.original(e.module, e.name), args);
        default: refuse(g, "REDUCE of " + full_name(e));
    }
}

std::string refused_attribute(nb::handle cls, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) return "an attribute name that is not a str";
    Py_ssize_t size = PyUnicode_GET_LENGTH(key);
    auto name = [&] { return size <= 64 ? text_of(key) : shown(key); };
    if (size >= 4 && PyUnicode_READ_CHAR(key, 0) == '_' && PyUnicode_READ_CHAR(key, 1) == '_' &&
        PyUnicode_READ_CHAR(key, size - 1) == '_' && PyUnicode_READ_CHAR(key, size - 2) == '_')
        return "attribute " + name() + " (a name looked up on the instance by protocol)";
    if (cls.is_valid() && PyType_Check(cls.ptr()) && _PyType_Lookup((PyTypeObject*) cls.ptr(), key))
        return "attribute " + name() + " (shadows what its class defines)";
    return {};
}

namespace {

bool is_array(Context& ctx, nb::handle value) { return value.type().is(ctx.numpy_ndarray()); }

// A state applied to an instance's attributes: an exact dict of attribute names, none of them one
// the instance may not hold (see refused_attribute).
void check_attribute_state(Context& ctx, nb::handle cls, nb::handle state) {
    if (!PyDict_CheckExact(state.ptr())) refuse_state(ctx.g, "a state that is not a dict");
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(state.ptr(), &at, &key, &value)) {
        std::string why = refused_attribute(cls, key);
        if (!why.empty()) refuse_state(ctx.g, why);
    }
}

// What a state's entry must be for the code that applies it: read before that code runs, since a
// value of another type could answer that code's attribute lookups itself.
nb::handle state_item(Context& ctx, nb::handle state, const char* key) {
    PyObject* value = PyDict_GetItemString(state.ptr(), key);
    if (!value) refuse_state(ctx.g, std::string("a state without ") + key);
    return value;
}

// Instances of the listed Python classes: their __setstate__ (scikit-learn's) reads the version
// string and, for a TreePredictor, the nodes array's dtype and astype.
void build_instance(Context& ctx, Role role, nb::handle obj, nb::handle state) {
    nb::handle cls = obj.type();
    check_attribute_state(ctx, cls, state);
    if (role == Role::instance) {
        PyObject* version = PyDict_GetItemString(state.ptr(), "_sklearn_version");
        if (version && !PyUnicode_CheckExact(version)) refuse_state(ctx.g, "a version that is not a str");
        nb::handle predictor = ctx.loaded("sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor");
        if (cls.is(predictor)) {
            for (const char* key : {"nodes", "binned_left_cat_bitsets", "raw_left_cat_bitsets"})
                if (!is_array(ctx, state_item(ctx, state, key)))
                    refuse_state(ctx.g, std::string("a TreePredictor's ") + key + " that is not an ndarray");
        }
    }
    build_generic(obj, state);
}

// scikit-learn's Tree: max_depth and node_count, and the node and value arrays it copies from.
void build_tree(Context& ctx, nb::handle tree, nb::handle state) {
    if (!PyDict_CheckExact(state.ptr()) || PyDict_GET_SIZE(state.ptr()) != 4) refuse_state(ctx.g, "a Tree state");
    for (const char* key : {"max_depth", "node_count"})
        if (!int_in(state_item(ctx, state, key), 0, (1LL << 31) - 1)) refuse_state(ctx.g, "a Tree state");
    for (const char* key : {"nodes", "values"})
        if (!is_array(ctx, state_item(ctx, state, key))) refuse_state(ctx.g, "a Tree state");
    build_generic(tree, state);
}

// What newObj made: a KDTree's or BallTree's state as its __getstate__ writes it (arrays, counts,
// one listed metric, the sample weights or None), or a metric's (p and two arrays).
void build_new_object(Context& ctx, nb::handle obj, nb::handle state) {
    nb::handle cls = obj.type();
    bool binary_tree = cls.is(ctx.loaded("sklearn.neighbors._kd_tree", "KDTree")) ||
                       cls.is(ctx.loaded("sklearn.neighbors._ball_tree", "BallTree"));
    if (binary_tree) {
        if (!PyTuple_CheckExact(state.ptr()) || size(state) != 13) refuse_state(ctx.g, "a neighbour tree state");
        for (Py_ssize_t i = 0; i < 4; ++i)
            if (!is_array(ctx, item(state, i))) refuse_state(ctx.g, "a neighbour tree state");
        for (Py_ssize_t i = 4; i < 11; ++i)
            if (!int_in(item(state, i), -1, 1LL << 48)) refuse_state(ctx.g, "a neighbour tree state");
        nb::handle metric = item(state, 11), weights = item(state, 12);
        if (!new_object_class(ctx, entry(find_entry("sklearn.metrics._dist_metrics", "newObj")), metric.type()) ||
            !(weights.is_none() || is_array(ctx, weights)))
            refuse_state(ctx.g, "a neighbour tree state");
    } else {
        if (!PyTuple_CheckExact(state.ptr()) || size(state) != 3 ||
            !(PyFloat_CheckExact(item(state, 0).ptr()) || is_exact_int(item(state, 0))) || !is_array(ctx, item(state, 1)) ||
            !is_array(ctx, item(state, 2)))
            refuse_state(ctx.g, "a distance metric state");
    }
    build_generic(obj, state);
}

// functools.partial's state (func, args, keywords, attributes): only check_array, no arguments,
// keywords by name (their values are checked on the finished graph) and no attributes.
void build_partial(Context& ctx, nb::handle partial, nb::handle state) {
    if (!PyTuple_CheckExact(state.ptr()) || size(state) != 4 ||
        !item(state, 0).is(ctx.original("sklearn.utils.validation", "check_array")) ||
        !PyTuple_CheckExact(item(state, 1).ptr()) || size(item(state, 1)) != 0 || !item(state, 3).is_none())
        refuse_state(ctx.g, "a partial state");
    nb::handle keywords = item(state, 2);
    if (!keywords.is_none()) {
        if (!PyDict_CheckExact(keywords.ptr())) refuse_state(ctx.g, "a partial state");
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(keywords.ptr(), &at, &key, &value))
            if (!PyUnicode_CheckExact(key)) refuse_state(ctx.g, "a partial state");
    }
    build_generic(partial, state);
}

}  // namespace

void build(Context& ctx, Role role, nb::handle obj, nb::handle state) {
    switch (role) {
        case Role::dtype: return build_dtype(ctx, obj, state);
        case Role::reconstruct: return apply_array_state(ctx, obj, state);
        case Role::instance: case Role::mapping: case Role::ordered_dict: return build_instance(ctx, role, obj, state);
        case Role::tree: return build_tree(ctx, obj, state);
        case Role::new_object: return build_new_object(ctx, obj, state);
        case Role::partial: return build_partial(ctx, obj, state);
        case Role::trusted:
            // a caller's class applies its own state, but no state may make an instance pass for another
            if (PyDict_CheckExact(state.ptr())) {
                PyObject *key, *value;
                Py_ssize_t at = 0;
                while (PyDict_Next(state.ptr(), &at, &key, &value))
                    if (PyUnicode_CheckExact(key) && !refused_attribute(nb::handle(), key).empty())
                        refuse_state(ctx.g, refused_attribute(nb::handle(), key));
            }
            return build_generic(obj, state);
        default: return build_generic(obj, state);
    }
}

void build_generic(nb::handle obj, nb::handle state) {
    // the type's own __setstate__ (never the instance's: a mapping's __getattr__ could serve one)
    nb::object name = nb::steal(PyUnicode_InternFromString("__setstate__"));
    if (!name.is_valid()) throw nb::python_error();
    PyObject* setstate = _PyType_Lookup(Py_TYPE(obj.ptr()), name.ptr());
    if (setstate) {
        nb::object method = nb::borrow(setstate);
        nb::object result = nb::steal(PyObject_CallFunctionObjArgs(method.ptr(), obj.ptr(), state.ptr(), nullptr));
        if (!result.is_valid()) throw nb::python_error();
        return;
    }
    if (!PyDict_CheckExact(state.ptr())) throw nb::type_error("a state without __setstate__ must be a dict");
    nb::object dict = nb::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    if (!dict.is_valid()) throw nb::python_error();
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(state.ptr(), &at, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) throw nb::type_error("attribute names must be str");
        nb::object name_key = nb::borrow(key), held = nb::borrow(value);
        if (PyDict_SetItem(dict.ptr(), name_key.ptr(), held.ptr()) < 0) throw nb::python_error();
    }
}

void check_dtype(Context& ctx, nb::handle dtype) { check_dtype_at(ctx, dtype, 0); }

// ---- the narrowed functions a stream's listed names resolve to --------------------------------
namespace {

nb::object narrowed_call(const py::Call& g, const char* module, const char* name, std::initializer_list<nb::handle> args) {
    Context ctx(g, nullptr);
    nb::list given;
    for (nb::handle arg : args) given.append(arg);
    return construct(ctx, entry(find_entry(module, name)), nb::tuple(given));
}

nb::object _encode(const py::Call& g) { return narrowed_call(g, "_codecs", "encode", {g[0], g[1]}); }
nb::object _reconstruct(const py::Call& g) {
    return narrowed_call(g, "numpy._core.multiarray", "_reconstruct", {g[0], g[1], g[2]});
}
nb::object _scalar(const py::Call& g) { return narrowed_call(g, "numpy._core.multiarray", "scalar", {g[0], g[1]}); }
nb::object _frombuffer(const py::Call& g) {
    return narrowed_call(g, "numpy._core.numeric", "_frombuffer", {g[0], g[1], g[2], g[3], g[4]});
}
nb::object _create_array(const py::Call& g) {
    return narrowed_call(g, "dill._dill", "_create_array", {g[0], g[1], g[2], g[3]});
}
nb::object _load_type(const py::Call& g) { return narrowed_call(g, "dill._dill", "_load_type", {g[0]}); }
nb::object _bit_generator_ctor(const py::Call& g) {
    return narrowed_call(g, "numpy.random._pickle", "__bit_generator_ctor", {g[0]});
}
nb::object _generator_ctor(const py::Call& g) {
    return narrowed_call(g, "numpy.random._pickle", "__generator_ctor", {g[0]});
}
nb::object _randomstate_ctor(const py::Call& g) {
    return narrowed_call(g, "numpy.random._pickle", "__randomstate_ctor", {g[0]});
}
nb::object _unpickle_seed_sequence(const py::Call& g) {
    return narrowed_call(g, "numpy.random.bit_generator", "__pyx_unpickle_SeedSequence", {g[0], g[1], g[2]});
}
nb::object _new_object(const py::Call& g) {
    for (const char* module : {"sklearn.neighbors._kd_tree", "sklearn.neighbors._ball_tree", "sklearn.metrics._dist_metrics"}) {
        Context ctx(g, nullptr);
        if (new_object_class(ctx, entry(find_entry(module, "newObj")), g[0]))
            return construct(ctx, entry(find_entry(module, "newObj")), nb::make_tuple(g[0]));
    }
    refuse_arguments(g, "newObj of a class not its own");
}

}  // namespace

void define_narrowed(const ModuleBody& m) {
    nb::object any = m("Any"), none = nb::none();
    m.def({"_encode", _encode, {{"obj", m("str")}, {"encoding", m("str")}}, m("bytes")});
    m.def({"_reconstruct", _reconstruct, {{"subtype"}, {"shape"}, {"dtype"}}, any});
    m.def({"_scalar", _scalar, {{"dtype"}, {"obj"}}, any});
    m.def({"_frombuffer", _frombuffer, {{"buf"}, {"dtype"}, {"shape"}, {"order"}, {"axis_order", {}, none}}, any});
    m.def({"_create_array", _create_array, {{"f"}, {"args"}, {"state"}, {"npdict", {}, none}}, any});
    m.def({"_load_type", _load_type, {{"name", m("str")}}, m("type")});
    m.def({"_bit_generator_ctor", _bit_generator_ctor, {{"bit_generator", {}, nb::str("MT19937")}}, any});
    m.def({"_generator_ctor", _generator_ctor, {{"bit_generator_name", {}, nb::str("MT19937")}}, any});
    m.def({"_randomstate_ctor", _randomstate_ctor, {{"bit_generator_name", {}, nb::str("MT19937")}}, any});
    m.def({"_unpickle_seed_sequence", _unpickle_seed_sequence, {{"type"}, {"checksum"}, {"state"}}, any});
    m.def({"_new_object", _new_object, {{"cls"}}, any});
}

}  // namespace korva::utils::safeload
