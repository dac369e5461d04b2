// The structure validators of korva.utils.safeload: after a stream has been loaded, every index
// that compiled code will follow without a bounds check (tree children and features, boosting
// predictor nodes, k-d and ball tree index arrays, metric weights) is checked in C++ over the
// arrays' buffers, once their type, dtype, shape and contiguity are known; the arrays an estimator
// holds per feature must agree with its n_features_in_.
#include "korva/utils/safeload/safeload.hpp"

#include <cstring>
#include <string>
#include <unordered_set>

namespace korva::utils::safeload {

namespace {

// A C-contiguous buffer of an ndarray whose type, dtype and rank were checked first.
class ArrayBuffer {
public:
    ArrayBuffer() = default;
    ~ArrayBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;

    bool acquire(nb::handle array) {
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    int ndim() const { return view_.ndim; }
    Py_ssize_t dim(int i) const { return view_.shape[i]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    const char* data() const { return (const char*) view_.buf; }

    template <class T>
    T field(Py_ssize_t row, Py_ssize_t offset) const {
        T value;
        std::memcpy(&value, data() + row * view_.itemsize + offset, sizeof(T));
        return value;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

class Validator {
public:
    Validator(const py::Call& g, nb::handle numpy) : g_(g), numpy_(nb::borrow(numpy)) {
        ndarray_ = numpy_.attr("ndarray");
        float64_ = numpy_.attr("dtype")("float64");
        intp_ = numpy_.attr("dtype")("intp");
        tree_ = py::loaded_attribute("sklearn.tree._tree", "Tree");
        node_dtype_ = py::loaded_attribute("sklearn.tree._tree", "NODE_DTYPE");
        predictor_ = py::loaded_attribute("sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor");
        record_dtype_ = py::loaded_attribute("sklearn.ensemble._hist_gradient_boosting.common", "PREDICTOR_RECORD_DTYPE");
        kd_tree_ = py::loaded_attribute("sklearn.neighbors._kd_tree", "KDTree");
        kd_node_dtype_ = py::loaded_attribute("sklearn.neighbors._kd_tree", "NodeData");
        ball_tree_ = py::loaded_attribute("sklearn.neighbors._ball_tree", "BallTree");
        ball_node_dtype_ = py::loaded_attribute("sklearn.neighbors._ball_tree", "NodeData");
        minkowski_ = py::loaded_attribute("sklearn.metrics._dist_metrics", "MinkowskiDistance64");
    }

    // `n_features` is the n_features_in_ of the nearest estimator above (-1: none known).
    void walk(nb::handle obj, const std::string& path, long long n_features, int depth = 0) {
        if (obj.is_none() || PyLong_CheckExact(obj.ptr()) || PyFloat_CheckExact(obj.ptr()) ||
            PyUnicode_CheckExact(obj.ptr()) || PyBytes_CheckExact(obj.ptr()) || PyBool_Check(obj.ptr()) ||
            PyType_Check(obj.ptr()))
            return;  // (a class is a reference to code, not data: nothing in it came from the stream)
        // The stream decides the nesting: the walk goes as deep as real models do, and no deeper.
        if (depth > max_depth) fail(path, "nested too deeply");
        if (!seen_.insert(obj.ptr()).second) return;
        held_.append(obj);
        nb::handle type = obj.type();
        if (type.is(tree_)) return check_tree(obj, path, n_features);
        if (type.is(predictor_)) return check_predictor(obj, path, n_features);
        if (type.is(kd_tree_)) return check_binary_tree(obj, path, n_features, kd_node_dtype_, 2);
        if (type.is(ball_tree_)) return check_binary_tree(obj, path, n_features, ball_node_dtype_, 1);
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
            nb::object items = nb::steal(PySequence_Fast(obj.ptr(), "a sequence"));
            if (!items.is_valid()) throw nb::python_error();
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
                walk(PySequence_Fast_GET_ITEM(items.ptr(), i), path + "[" + std::to_string(i) + "]", n_features,
                     depth + 1);
            return;
        }
        if (PyDict_Check(obj.ptr())) {
            nb::list items = nb::borrow<nb::list>(nb::steal(PyDict_Items(obj.ptr())));
            for (nb::handle item : items)
                walk(item[1], path + "[" + key_text(item[0]) + "]", n_features, depth + 1);
            return;
        }
        if (type.is(ndarray_)) {
            check_dtype(g_, obj.attr("dtype"));
            return walk_object_array(obj, path, n_features, depth);
        }
        if (Py_TYPE(obj.ptr())->tp_dictoffset != 0 || PyType_HasFeature(Py_TYPE(obj.ptr()), Py_TPFLAGS_MANAGED_DICT))
            walk_instance(obj, path, n_features, depth);
    }

private:
    const py::Call& g_;
    nb::object numpy_, ndarray_, float64_, intp_;
    nb::object tree_, node_dtype_, predictor_, record_dtype_, kd_tree_, kd_node_dtype_, ball_tree_,
        ball_node_dtype_, minkowski_;
    static constexpr int max_depth = 200;
    std::unordered_set<PyObject*> seen_;
    nb::list held_;  // everything visited stays alive until the walk ends

    static std::string utf8(nb::handle text) {
        Py_ssize_t size = 0;
        const char* chars = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!chars) throw nb::python_error();
        return std::string(chars, (size_t) size);
    }

    // A dict key as the path shows it: the repr of a plain key, the type's name of any other (whose
    // repr would run the class's own code).
    static std::string key_text(nb::handle key) {
        if (PyUnicode_CheckExact(key.ptr()) || PyLong_CheckExact(key.ptr()) || PyFloat_CheckExact(key.ptr()) ||
            PyBytes_CheckExact(key.ptr()) || key.is_none() || PyBool_Check(key.ptr()))
            return utf8(nb::repr(key));
        return std::string("<") + Py_TYPE(key.ptr())->tp_name + ">";
    }

    static std::string join(const std::string& path, const std::string& name) {
        return path.empty() ? name : path + "." + name;
    }

    [[noreturn]] void fail(const std::string& path, const char* what) {
        std::string text = (path.empty() ? std::string("the loaded object") : path) + ": " + what;
        nb::str message(text.c_str(), text.size());
        raise_untrusted(g_, message, nb::make_tuple(message));
    }

    // The object is an ndarray (exact type) of `dtype` and rank `ndim`, C-contiguous.
    void array(ArrayBuffer& out, nb::handle obj, nb::handle dtype, int ndim, const std::string& path) {
        if (!obj.type().is(ndarray_)) fail(path, "not an ndarray");
        if (!py::equals(obj.attr("dtype"), dtype)) fail(path, "unexpected dtype");
        if (!out.acquire(obj)) fail(path, "array not contiguous");
        if (out.ndim() != ndim) fail(path, "unexpected number of dimensions");
        if (out.itemsize() != nb::cast<Py_ssize_t>(dtype.attr("itemsize"))) fail(path, "unexpected item size");
    }

    Py_ssize_t offset(nb::handle dtype, const char* field) {
        return nb::cast<Py_ssize_t>(dtype.attr("fields")[field][1]);
    }

    long long integer(nb::handle value, const std::string& path) {
        if (!PyLong_Check(value.ptr())) fail(path, "not an integer");
        int overflow = 0;
        long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (result == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow || result < 0) fail(path, "integer out of range");
        return result;
    }

    void walk_object_array(nb::handle obj, const std::string& path, long long n_features, int depth) {
        nb::object dtype = obj.attr("dtype");
        if (!py::equals(dtype.attr("kind"), "O")) return;
        nb::tuple shape = nb::borrow<nb::tuple>(obj.attr("shape"));
        nb::list flat = nb::borrow<nb::list>(obj.attr("ravel")().attr("tolist")());
        std::vector<long long> dims;
        for (nb::handle d : shape) dims.push_back(nb::cast<long long>(d));
        for (size_t i = 0; i < flat.size(); ++i) {
            // the C-order index of item i, as "[i, j]"
            std::string index;
            size_t rest = i;
            for (size_t axis = dims.size(); axis-- > 0;) {
                size_t extent = dims[axis] > 0 ? (size_t) dims[axis] : 1;
                index = std::to_string(rest % extent) + (index.empty() ? "" : ", ") + index;
                rest /= extent;
            }
            walk(flat[i], path + "[" + index + "]", n_features, depth + 1);
        }
    }

    void walk_instance(nb::handle obj, const std::string& path, long long n_features, int depth) {
        nb::object attributes = nb::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
        if (!attributes.is_valid()) {
            PyErr_Clear();
            return;
        }
        if (!PyDict_Check(attributes.ptr())) return;
        nb::dict dict = nb::borrow<nb::dict>(attributes);
        if (dict.contains("n_features_in_")) {
            n_features = integer(dict["n_features_in_"], join(path, "n_features_in_"));
            check_per_feature_arrays(dict, path, n_features);
        }
        nb::list items = nb::borrow<nb::list>(nb::steal(PyDict_Items(dict.ptr())));
        for (nb::handle item : items)
            if (PyUnicode_Check(item[0].ptr())) walk(item[1], join(path, utf8(item[0])), n_features, depth + 1);
    }

    // The fitted arrays whose last axis runs over the input features.
    void check_per_feature_arrays(const nb::dict& dict, const std::string& path, long long n_features) {
        for (const char* name : {"coef_", "mean_", "var_", "scale_", "min_", "data_min_", "data_max_",
                                 "data_range_", "_fit_X"}) {
            if (!dict.contains(name)) continue;
            nb::object value = dict[name];
            if (!value.type().is(ndarray_)) continue;
            nb::tuple shape = nb::borrow<nb::tuple>(value.attr("shape"));
            if (shape.size() == 0 || nb::cast<long long>(shape[shape.size() - 1]) != n_features)
                fail(join(path, name), "shape does not match n_features_in_");
        }
    }

    void check_tree(nb::handle tree, const std::string& path, long long n_features) {
        nb::object state = tree.attr("__getstate__")();
        long long node_count = integer(state["node_count"], path);
        long long max_depth = integer(state["max_depth"], path);
        long long tree_features = integer(tree.attr("n_features"), path);
        long long outputs = integer(tree.attr("n_outputs"), path);
        long long classes = integer(tree.attr("max_n_classes"), path);
        if (n_features >= 0 && tree_features != n_features) fail(path, "n_features does not match n_features_in_");
        if (node_count < 1) fail(path, "tree without nodes");

        ArrayBuffer nodes, values;
        array(nodes, state["nodes"], node_dtype_, 1, path);
        if (nodes.dim(0) != node_count) fail(path, "nodes array does not match node_count");
        array(values, state["values"], float64_, 3, path);
        if (values.dim(0) != node_count || values.dim(1) != outputs || values.dim(2) != classes)
            fail(path, "value not shaped to node_count");

        Py_ssize_t left_at = offset(node_dtype_, "left_child"), right_at = offset(node_dtype_, "right_child");
        Py_ssize_t feature_at = offset(node_dtype_, "feature");
        std::vector<uint8_t> parents((size_t) node_count, 0);
        // decision_path sizes its output by max_depth: no path may be longer
        std::vector<long long> depth((size_t) node_count, 0);
        for (Py_ssize_t i = 0; i < node_count; ++i) {
            auto left = nodes.field<Py_intptr_t>(i, left_at), right = nodes.field<Py_intptr_t>(i, right_at);
            if (left == -1 && right == -1) continue;  // a leaf
            if (left <= i || right <= i || left >= node_count || right >= node_count)
                fail(path, "child index out of range");
            if (left == right || ++parents[(size_t) left] > 1 || ++parents[(size_t) right] > 1)
                fail(path, "node with two parents");
            auto feature = nodes.field<Py_intptr_t>(i, feature_at);
            if (feature < 0 || feature >= tree_features) fail(path, "feature index out of range");
            depth[(size_t) left] = depth[(size_t) right] = depth[(size_t) i] + 1;
            if (depth[(size_t) left] > max_depth) fail(path, "tree deeper than its max_depth");
        }
        for (size_t i = 1; i < parents.size(); ++i)
            if (parents[i] != 1) fail(path, "node without a parent");
    }

    void check_predictor(nb::handle predictor, const std::string& path, long long n_features) {
        ArrayBuffer nodes, bitsets;
        array(nodes, predictor.attr("nodes"), record_dtype_, 1, join(path, "nodes"));
        Py_ssize_t count = nodes.dim(0);
        if (count < 1) fail(path, "predictor without nodes");
        nb::object raw_bitsets = predictor.attr("raw_left_cat_bitsets");
        nb::object uint32 = numpy_.attr("dtype")("uint32");
        array(bitsets, raw_bitsets, uint32, 2, join(path, "raw_left_cat_bitsets"));
        ArrayBuffer binned;
        array(binned, predictor.attr("binned_left_cat_bitsets"), uint32, 2, join(path, "binned_left_cat_bitsets"));
        if (binned.dim(0) != bitsets.dim(0) || bitsets.dim(1) != 8 || binned.dim(1) != 8)
            fail(path, "categorical bitsets misshaped");

        Py_ssize_t leaf_at = offset(record_dtype_, "is_leaf"), left_at = offset(record_dtype_, "left");
        Py_ssize_t right_at = offset(record_dtype_, "right"), feature_at = offset(record_dtype_, "feature_idx");
        Py_ssize_t categorical_at = offset(record_dtype_, "is_categorical");
        Py_ssize_t bitset_at = offset(record_dtype_, "bitset_idx");
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (nodes.field<uint8_t>(i, leaf_at)) continue;
            auto left = nodes.field<uint32_t>(i, left_at), right = nodes.field<uint32_t>(i, right_at);
            // children after their parent: the walk down always ends
            if (left <= i || right <= i || left >= count || right >= count) fail(path, "child index out of range");
            auto feature = nodes.field<Py_intptr_t>(i, feature_at);
            if (feature < 0 || (n_features >= 0 && feature >= n_features)) fail(path, "feature index out of range");
            if (nodes.field<uint8_t>(i, categorical_at) && nodes.field<uint32_t>(i, bitset_at) >= bitsets.dim(0))
                fail(path, "categorical bitset index out of range");
        }
    }

    void check_binary_tree(nb::handle tree, const std::string& path, long long n_features, nb::handle node_dtype,
                           Py_ssize_t bound_rows) {
        nb::object state = tree.attr("__getstate__")();
        ArrayBuffer data, index, node_data, bounds;
        array(data, state[0], float64_, 2, join(path, "data"));
        Py_ssize_t samples = data.dim(0), features = data.dim(1);
        if (n_features >= 0 && features != n_features) fail(join(path, "data"), "shape does not match n_features_in_");
        array(index, state[1], intp_, 1, join(path, "idx_array"));
        if (index.dim(0) != samples) fail(join(path, "idx_array"), "length does not match data");
        std::vector<uint8_t> taken((size_t) samples, 0);
        for (Py_ssize_t i = 0; i < samples; ++i) {
            auto at = index.field<Py_intptr_t>(i, 0);
            if (at < 0 || at >= samples || taken[(size_t) at]++) fail(join(path, "idx_array"), "index out of range");
        }

        long long n_nodes = integer(state[6], join(path, "n_nodes"));
        array(node_data, state[2], node_dtype, 1, join(path, "node_data"));
        if (n_nodes < 1 || node_data.dim(0) != n_nodes) fail(join(path, "node_data"), "length does not match n_nodes");
        Py_ssize_t start_at = offset(node_dtype, "idx_start"), end_at = offset(node_dtype, "idx_end");
        Py_ssize_t leaf_at = offset(node_dtype, "is_leaf");
        for (Py_ssize_t i = 0; i < n_nodes; ++i) {
            auto start = node_data.field<Py_intptr_t>(i, start_at), end = node_data.field<Py_intptr_t>(i, end_at);
            if (start < 0 || start > end || end > samples) fail(join(path, "node_data"), "index out of range");
            if (!node_data.field<Py_intptr_t>(i, leaf_at) && 2 * i + 2 >= n_nodes)
                fail(join(path, "node_data"), "child index out of range");
        }
        array(bounds, state[3], float64_, 3, join(path, "node_bounds"));
        if (bounds.dim(0) != bound_rows || bounds.dim(1) != n_nodes || bounds.dim(2) != features)
            fail(join(path, "node_bounds"), "shape does not match the tree");

        nb::object weights = state[12];
        if (!weights.is_none()) {
            ArrayBuffer weight;
            array(weight, weights, float64_, 1, join(path, "sample_weight"));
            if (weight.dim(0) != samples) fail(join(path, "sample_weight"), "length does not match data");
        }
        nb::object metric = state[11];
        if (metric.type().is(minkowski_)) {
            ArrayBuffer w;
            array(w, metric.attr("__getstate__")()[1], float64_, 1, join(path, "dist_metric"));
            if (w.dim(0) != 0 && w.dim(0) != features) fail(join(path, "dist_metric"), "weights do not match data");
        }
    }
};

[[noreturn]] void refuse_dtype(const py::Call& g, const char* what) {
    nb::object message = py::f_string("inconsistent dtype refused: ", nb::str(what));
    raise_untrusted(g, message, nb::make_tuple(message));
}

long long nonnegative(const py::Call& g, nb::handle value) {
    if (!PyLong_Check(value.ptr())) refuse_dtype(g, "not an integer");
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || result < 0) refuse_dtype(g, "negative or huge size");
    return result;
}

void check_dtype_at(const py::Call& g, nb::handle dtype_type, nb::handle dtype, int depth) {
    if (depth > 32) refuse_dtype(g, "nested too deeply");
    int is_dtype = PyObject_IsInstance(dtype.ptr(), dtype_type.ptr());
    if (is_dtype < 0) throw nb::python_error();
    if (!is_dtype) return;  // a type code or spec: numpy parses it itself
    long long itemsize = nonnegative(g, dtype.attr("itemsize"));
    nb::object names = dtype.attr("names"), fields = dtype.attr("fields"), subdtype = dtype.attr("subdtype");
    if (!subdtype.is_none()) {
        if (!PyTuple_Check(subdtype.ptr()) || PyTuple_GET_SIZE(subdtype.ptr()) != 2) refuse_dtype(g, "subarray");
        nb::object base = subdtype[0];
        check_dtype_at(g, dtype_type, base, depth + 1);
        long long count = 1;
        nb::object shape = subdtype[1];
        if (!PyTuple_Check(shape.ptr())) refuse_dtype(g, "subarray shape");
        for (nb::handle extent : nb::borrow<nb::tuple>(shape)) {
            long long n = nonnegative(g, extent);
            if (n != 0 && count > (1LL << 40) / n) refuse_dtype(g, "subarray too large");
            count *= n;
        }
        if (count * nonnegative(g, base.attr("itemsize")) != itemsize) refuse_dtype(g, "subarray size");
    }
    if (names.is_none()) {
        if (!fields.is_none()) refuse_dtype(g, "fields without names");
        return;
    }
    if (!PyTuple_Check(names.ptr()) || fields.is_none()) refuse_dtype(g, "names without fields");
    for (nb::handle name : nb::borrow<nb::tuple>(names)) {
        if (!PyUnicode_CheckExact(name.ptr()) || !py::contains(fields, name)) refuse_dtype(g, "field names");
        nb::object field = fields[name];
        if (!PyTuple_Check(field.ptr()) || PyTuple_GET_SIZE(field.ptr()) < 2) refuse_dtype(g, "field entry");
        nb::object field_type = field[0];
        int ok = PyObject_IsInstance(field_type.ptr(), dtype_type.ptr());
        if (ok < 0) throw nb::python_error();
        if (!ok) refuse_dtype(g, "field type");
        check_dtype_at(g, dtype_type, field_type, depth + 1);
        long long offset = nonnegative(g, field[1]);
        if (offset + nonnegative(g, field_type.attr("itemsize")) > itemsize) refuse_dtype(g, "field outside the item");
    }
}

}  // namespace

void check_dtype(const py::Call& g, nb::handle dtype) {
    nb::object numpy = py::loaded_module("numpy");
    if (numpy.is_none()) return;
    check_dtype_at(g, numpy.attr("dtype"), dtype, 0);
}

void validate_structures(const py::Call& g, nb::handle obj) {
    // Without numpy loaded there is no array to check, and nothing that indexes one.
    nb::object numpy = py::loaded_module("numpy");
    if (numpy.is_none()) return;
    Validator(g, numpy).walk(obj, "", -1);
}

}  // namespace korva::utils::safeload
