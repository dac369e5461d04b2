// scikit-learn's decision trees and the ensembles that sum them: DecisionTreeRegressor and
// ExtraTreeRegressor, RandomForestRegressor and ExtraTreesRegressor, GradientBoostingRegressor.
// Their predict rounds the input to float32 and compares it, as a double, with each node's float64
// threshold; a NaN takes the node's missing-value side where the tree accepts NaN. A tree's value
// is its leaf's as stored; a forest adds its trees' values in estimator order to 0.0 and divides
// once by their count; gradient boosting adds learning_rate x each stage's value to the initial
// prediction, stage by stage.
#include "korva/curve/core/native/tree_walk.hpp"

namespace korva::curve::core::native {

namespace {

// The nodes of several trees in korva's memory, 16 bytes each: a split's threshold or a leaf's
// value, laid out depth first so that a split's left child follows it, with its right child's index
// into the whole array.
struct Trees {
    struct Node {
        double threshold;  // a leaf's value
        int32_t right;
        int16_t feature;
        uint8_t missing_left, is_leaf;
    };
    std::vector<Node> nodes;
    std::vector<int64_t> roots;

    bool leaf(int64_t n) const { return nodes[n].is_leaf; }
    double value(int64_t n) const { return nodes[n].threshold; }
    Py_ssize_t feature(int64_t n) const { return nodes[n].feature; }
    double threshold(int64_t n) const { return nodes[n].threshold; }
    bool missing_left(int64_t n) const { return nodes[n].missing_left; }
    int64_t left(int64_t n) const { return n + 1; }
    int64_t right(int64_t n) const { return nodes[n].right; }
    bool categorical(int64_t) const { return false; }
    bool goes_left(int64_t, double) const { return false; }

    // Appends the fitted `tree_` of a tree estimator, checked: one output of one value, children
    // after their parent and in range, each node the child of one parent only (every walk ends),
    // features below `width`, thresholds numbers.
    void add(nb::handle estimator, Py_ssize_t width) {
        nb::object tree = attribute(estimator, "tree_");
        if (!is_exactly(tree, "sklearn.tree._tree", "Tree")) throw Unexpected{};
        if (whole(attribute(tree, "n_outputs")) != 1 || whole(attribute(tree, "max_n_classes")) != 1) throw Unexpected{};
        ArrayView<int64_t> left(attribute(tree, "children_left"), 1), right(attribute(tree, "children_right"), 1);
        ArrayView<int64_t> feature(attribute(tree, "feature"), 1);
        ArrayView<double> threshold(attribute(tree, "threshold"), 1), value(attribute(tree, "value"), 3);
        ArrayView<uint8_t> missing(attribute(tree, "missing_go_to_left"), 1);
        int64_t count = left.shape(0);
        if (count < 1 || right.shape(0) != count || feature.shape(0) != count || threshold.shape(0) != count ||
            missing.shape(0) != count || value.shape(0) != count || value.shape(1) != 1 || value.shape(2) != 1 ||
            width > INT16_MAX || (int64_t) nodes.size() + count > INT32_MAX)
            throw Unexpected{};
        roots.push_back((int64_t) nodes.size());
        std::vector<uint8_t> seen((size_t) count, 0);
        std::vector<std::pair<int64_t, int64_t>> stack{{0, -1}};  // a node, and its parent whose right child it is
        while (!stack.empty()) {
            auto [i, parent] = stack.back();
            stack.pop_back();
            if (seen[i]) throw Unexpected{};
            seen[i] = 1;
            int64_t at = (int64_t) nodes.size();
            if (parent >= 0) nodes[parent].right = (int32_t) at;
            if (left[i] == -1) {
                nodes.push_back({value(i, 0, 0), -1, 0, missing[i], 1});
                continue;
            }
            if (left[i] <= i || left[i] >= count || right[i] <= i || right[i] >= count) throw Unexpected{};
            if (feature[i] < 0 || feature[i] >= width || threshold[i] != threshold[i]) throw Unexpected{};
            nodes.push_back({threshold[i], -1, (int16_t) feature[i], missing[i], 0});
            stack.emplace_back(right[i], at);
            stack.emplace_back(left[i], -1);  // next: right after its parent
        }
    }
};

// What the estimators' input check does with the rows of a block: round them to float32, refuse an
// infinity (or a value float32 cannot hold) and, unless the trees accept missing values, a NaN.
// False when predict would refuse them.
struct Float32Rows {
    std::vector<double> fixed, xs;  // each device's fixed part; the x values in sorted order
    Py_ssize_t fixed_count = 0;
    bool nan_allowed;

    bool read(const Rows& rows) {
        xs.resize((size_t) rows.points);
        for (Py_ssize_t i = 0; i < rows.points; ++i) {
            double x = rows.x[rows.x_order[i]];
            if (!accepted(x)) return false;
            xs[i] = as_float32(x);
        }
        fixed_count = rows.fixed_count();
        fixed.resize((size_t) (rows.devices * fixed_count));
        for (Py_ssize_t d = 0; d < rows.devices; ++d)
            for (Py_ssize_t j = 0; j < fixed_count; ++j) {
                double value = rows.fixed(d, j);
                if (!accepted(value)) return false;
                fixed[d * fixed_count + j] = as_float32(value);
            }
        return true;
    }
    bool accepted(double value) const { return value != value ? nan_allowed : float32_finite(value); }
    Query query(const Rows& rows, Py_ssize_t d) const {
        return {fixed.data() + d * fixed_count, rows.width() - 1, xs.data(), rows.x_numbers, rows.points};
    }
};

// How the trees' values make the prediction.
enum class Sum {
    one,       // the single tree's value as stored
    average,   // 0.0 + each tree's value in order, divided by the count
    boosting,  // initial + scale * value, stage by stage
};

class TreesKernel final : public Kernel {
public:
    TreesKernel(Trees trees, Py_ssize_t width, bool nan_allowed, Sum sum, double initial, double scale)
        : trees_(std::move(trees)), width_(width), nan_allowed_(nan_allowed), sum_(sum), initial_(initial),
          scale_(scale) {}

    // Tree by tree over all the devices, so that one tree's nodes stay in the cache; each row
    // still receives its trees' values in their order.
    bool predict(const Rows& rows, double* out, Py_ssize_t stride) const override {
        if (rows.width() != width_) return false;
        Float32Rows values{.nan_allowed = nan_allowed_};
        if (!values.read(rows)) return false;
        Py_ssize_t points = rows.points;
        std::vector<double> sums((size_t) (rows.devices * points), sum_ == Sum::boosting ? initial_ : 0.0);
        std::vector<Span> stack;
        auto one_row = [](int64_t, Py_ssize_t) {};
        FloatingFlags flags;  // numpy's adds in a forest report an overflow
        for (int64_t root : trees_.roots) {
            for (Py_ssize_t d = 0; d < rows.devices; ++d) {
                double* at = sums.data() + d * points;
                Query query = values.query(rows, d);
                if (sum_ == Sum::one)
                    walk(trees_, root, query, stack,
                         [&](Py_ssize_t lo, Py_ssize_t hi, double value) { std::fill(at + lo, at + hi, value); }, one_row);
                else if (sum_ == Sum::average)
                    walk(trees_, root, query, stack, [&](Py_ssize_t lo, Py_ssize_t hi, double value) {
                        for (Py_ssize_t i = lo; i < hi; ++i) at[i] = at[i] + value;
                    }, one_row);
                else
                    walk(trees_, root, query, stack, [&](Py_ssize_t lo, Py_ssize_t hi, double value) {
                        double step = scale_ * value;
                        for (Py_ssize_t i = lo; i < hi; ++i) at[i] = at[i] + step;
                    }, one_row);
            }
        }
        if (sum_ == Sum::average) {
            double count = (double) trees_.roots.size();
            for (double& value : sums) value = value / count;
            if (flags.raised()) return false;
        }
        for (Py_ssize_t d = 0; d < rows.devices; ++d) {
            const double* at = sums.data() + d * points;
            double* row = out + d * stride;
            for (Py_ssize_t i = 0; i < points; ++i) row[rows.x_order[i]] = at[i];
        }
        return true;
    }

private:
    Trees trees_;
    Py_ssize_t width_;
    bool nan_allowed_;
    Sum sum_;
    double initial_, scale_;
};

// numpy.zeros((1, width), float32): what the estimators' own checks are asked about below.
nb::object one_row(Py_ssize_t width) {
    nb::object np = py::import("numpy");
    return np.attr("zeros")(nb::make_tuple(nb::int_(1), nb::int_(width)), np.attr("float32"));
}

// Whether the tree's input check lets NaN through (the tree then routes it by its nodes' flags).
bool accepts_nan(nb::handle tree, Py_ssize_t width) {
    if (!own_method(tree, "_support_missing_values") || !own_method(tree, "__sklearn_tags__")) throw Unexpected{};
    return py::truthy(tree.attr("_support_missing_values")(one_row(width)));
}

bool is_tree_estimator(nb::handle obj) {
    return is_exactly(obj, "sklearn.tree", "DecisionTreeRegressor") || is_exactly(obj, "sklearn.tree", "ExtraTreeRegressor");
}

bool quiet(nb::handle estimator) {
    nb::object verbose = attribute(estimator, "verbose");
    return (PyLong_CheckExact(verbose.ptr()) || PyBool_Check(verbose.ptr())) && !py::truthy(verbose);
}

}  // namespace

std::shared_ptr<const Kernel> tree_kernel(nb::handle estimator) {
    if (!own_method(estimator, "_validate_X_predict") || whole(attribute(estimator, "n_outputs_")) != 1) return nullptr;
    Py_ssize_t width = features_in(estimator);
    Trees trees;
    trees.add(estimator, width);
    return std::make_shared<TreesKernel>(std::move(trees), width, accepts_nan(estimator, width), Sum::one, 0.0, 1.0);
}

std::shared_ptr<const Kernel> forest_kernel(nb::handle estimator) {
    if (!own_method(estimator, "_validate_X_predict") || whole(attribute(estimator, "n_outputs_")) != 1 ||
        !quiet(estimator))
        return nullptr;
    Py_ssize_t width = features_in(estimator);
    nb::object estimators = attribute(estimator, "estimators_");
    if (!PyList_CheckExact(estimators.ptr()) || PyList_GET_SIZE(estimators.ptr()) == 0) return nullptr;
    nb::object held = nb::steal(PySequence_Tuple(estimators.ptr()));  // the list may change as we read
    if (!held.is_valid()) throw nb::python_error();
    Trees trees;
    for (nb::handle tree : held) {
        // the forest calls each tree's predict, which checks the width once more
        if (!is_tree_estimator(tree) || !own_method(tree, "predict") || !own_method(tree, "_validate_X_predict") ||
            features_in(tree) != width)
            return nullptr;
        trees.add(tree, width);
    }
    bool nan_allowed = accepts_nan(PyTuple_GET_ITEM(held.ptr(), 0), width);
    return std::make_shared<TreesKernel>(std::move(trees), width, nan_allowed, Sum::average, 0.0, 1.0);
}

std::shared_ptr<const Kernel> gradient_boosting_kernel(nb::handle estimator) {
    for (const char* name : {"_raw_predict", "_raw_predict_init", "_check_initialized"})
        if (!own_method(estimator, name)) return nullptr;
    if (whole(attribute(estimator, "n_trees_per_iteration_")) != 1) return nullptr;
    Py_ssize_t width = features_in(estimator);
    nb::object init = attribute(estimator, "init_");
    if (!PyUnicode_CheckExact(init.ptr()) && !(is_exactly(init, "sklearn.dummy", "DummyRegressor") &&
                                               own_method(init, "predict")))
        return nullptr;
    if (PyUnicode_CheckExact(init.ptr()) && !py::equals(init, "zero")) return nullptr;
    // predict_stages takes learning_rate as a C double
    nb::object learning_rate = attribute(estimator, "learning_rate");
    if (!PyFloat_Check(learning_rate.ptr()) && !PyLong_Check(learning_rate.ptr())) return nullptr;
    double scale = PyFloat_AsDouble(learning_rate.ptr());
    if (scale == -1.0 && PyErr_Occurred()) throw nb::python_error();

    // estimators_: an (n_stages, 1) object array of trees, walked in stage order
    nb::object stages = attribute(estimator, "estimators_");
    if (!stages.type().is(py::loaded_attribute("numpy", "ndarray"))) return nullptr;
    nb::object shape = attribute(stages, "shape");
    if (!PyTuple_CheckExact(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 2 ||
        whole(PyTuple_GET_ITEM(shape.ptr(), 1)) != 1)
        return nullptr;
    Py_ssize_t count = whole(PyTuple_GET_ITEM(shape.ptr(), 0));
    if (count < 1) return nullptr;
    nb::object column = nb::steal(PySequence_List(stages.attr("ravel")().ptr()));
    if (!column.is_valid()) throw nb::python_error();
    if (PyList_GET_SIZE(column.ptr()) != count) return nullptr;
    Trees trees;
    for (nb::handle tree : column) {
        if (!is_exactly(tree, "sklearn.tree", "DecisionTreeRegressor")) return nullptr;
        trees.add(tree, width);
    }
    nb::handle first = PyList_GET_ITEM(column.ptr(), 0);
    if (!own_method(first, "_validate_X_predict")) return nullptr;

    // The initial prediction, the same for every row: what the estimator's own step gives a row.
    nb::object raw = estimator.attr("_raw_predict_init")(one_row(width));
    std::vector<Py_ssize_t> raw_shape;
    std::vector<double> initial = array_values<double>(raw, 2, &raw_shape);
    if (raw_shape[0] != 1 || raw_shape[1] != 1) return nullptr;
    return std::make_shared<TreesKernel>(std::move(trees), width, false, Sum::boosting, initial[0], scale);
}

}  // namespace korva::curve::core::native
