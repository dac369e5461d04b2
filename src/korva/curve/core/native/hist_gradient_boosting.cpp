// HistGradientBoostingRegressor: the baseline plus each iteration's tree value, in iteration order
// (numpy's adds: 0.0 + baseline, then + value). Its trees compare the raw float64 input with their
// thresholds; a NaN takes the node's missing-value side; a categorical split sends the category to
// the left when its raw bitset holds it, to the right when the feature's known categories do, and
// to the missing-value side otherwise (a negative value too).
#include "korva/curve/core/native/tree_walk.hpp"

namespace korva::curve::core::native {

namespace {

struct Predictors {
    struct Node {
        double value;      // a leaf's value
        double threshold;  // a numeric split's
        int64_t left, right;
        int32_t feature;
        uint32_t bitset;   // a categorical split's row in `raw_bitsets`
        uint8_t missing_left, is_leaf, is_categorical;
    };
    std::vector<Node> nodes;
    std::vector<int64_t> roots;
    std::vector<uint32_t> raw_bitsets;    // 8 words a row, all predictors' rows one after another
    std::vector<uint32_t> known_bitsets;  // 8 words per categorical feature
    std::vector<uint32_t> feature_map;    // feature -> its row in known_bitsets
    std::vector<uint8_t> categorical_feature;

    bool leaf(int64_t n) const { return nodes[n].is_leaf; }
    double value(int64_t n) const { return nodes[n].value; }
    Py_ssize_t feature(int64_t n) const { return nodes[n].feature; }
    double threshold(int64_t n) const { return nodes[n].threshold; }
    bool missing_left(int64_t n) const { return nodes[n].missing_left; }
    int64_t left(int64_t n) const { return nodes[n].left; }
    int64_t right(int64_t n) const { return nodes[n].right; }
    bool categorical(int64_t n) const { return nodes[n].is_categorical; }

    // A value that is not NaN at a categorical split (values from 256 on are refused before).
    bool goes_left(int64_t n, double value) const {
        const Node& node = nodes[n];
        if (value < 0) return node.missing_left;
        auto category = (uint32_t) (uint8_t) value;  // the truncation the predictor's cast makes
        if (in_bitset(raw_bitsets, node.bitset, category)) return true;
        if (in_bitset(known_bitsets, feature_map[node.feature], category)) return false;
        return node.missing_left;
    }

    // The rest of one row's walk from `n`, with its x value `x`.
    double finish(int64_t n, const double* fixed, Py_ssize_t x_column, double x) const {
        while (!nodes[n].is_leaf) {
            Py_ssize_t f = nodes[n].feature;
            double value = f == x_column ? x : fixed[f];
            bool left;
            if (value != value) left = nodes[n].missing_left;
            else if (nodes[n].is_categorical) left = goes_left(n, value);
            else left = value <= nodes[n].threshold;
            n = left ? nodes[n].left : nodes[n].right;
        }
        return nodes[n].value;
    }

    static bool in_bitset(const std::vector<uint32_t>& bitsets, uint32_t row, uint32_t category) {
        return (bitsets[(size_t) row * 8 + category / 32] >> (category % 32)) & 1;
    }

    // Appends one TreePredictor's nodes, checked: children after their parent and in range,
    // features below `width`, numeric thresholds numbers, bitset rows in range.
    void add(nb::handle predictor, Py_ssize_t width) {
        if (!is_exactly(predictor, "sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor") ||
            !own_method(predictor, "predict"))
            throw Unexpected{};
        nb::object table = attribute(predictor, "nodes");
        auto field = [&](const char* name) { return table[py::s(name)]; };
        std::vector<double> value = array_values<double>(field("value"), 1);
        std::vector<int64_t> feature = array_values<int64_t>(field("feature_idx"), 1);
        std::vector<double> threshold = array_values<double>(field("num_threshold"), 1);
        std::vector<uint8_t> missing = array_values<uint8_t>(field("missing_go_to_left"), 1);
        std::vector<uint32_t> left = array_values<uint32_t>(field("left"), 1);
        std::vector<uint32_t> right = array_values<uint32_t>(field("right"), 1);
        std::vector<uint8_t> is_leaf = array_values<uint8_t>(field("is_leaf"), 1);
        std::vector<uint8_t> is_categorical = array_values<uint8_t>(field("is_categorical"), 1);
        std::vector<uint32_t> bitset = array_values<uint32_t>(field("bitset_idx"), 1);
        std::vector<Py_ssize_t> shape;
        std::vector<uint32_t> bitsets = array_values<uint32_t>(attribute(predictor, "raw_left_cat_bitsets"), 2, &shape);
        if (shape[1] != 8) throw Unexpected{};
        int64_t count = (int64_t) value.size();
        for (size_t size : {feature.size(), threshold.size(), missing.size(), left.size(), right.size(),
                            is_leaf.size(), is_categorical.size(), bitset.size()})
            if ((int64_t) size != count) throw Unexpected{};
        if (count < 1) throw Unexpected{};
        int64_t offset = (int64_t) nodes.size();
        uint32_t bitset_offset = (uint32_t) (raw_bitsets.size() / 8);
        roots.push_back(offset);
        for (int64_t i = 0; i < count; ++i) {
            Node node{value[i], threshold[i], -1, -1, 0, 0, missing[i], is_leaf[i] != 0, is_categorical[i] != 0};
            if (!node.is_leaf) {
                if (left[i] <= i || left[i] >= count || right[i] <= i || right[i] >= count) throw Unexpected{};
                if (feature[i] < 0 || feature[i] >= width) throw Unexpected{};
                if (node.is_categorical) {
                    if (bitset[i] >= (uint64_t) shape[0] || !categorical_feature[feature[i]]) throw Unexpected{};
                    node.bitset = bitset_offset + bitset[i];
                } else if (threshold[i] != threshold[i]) {
                    throw Unexpected{};
                }
                node.left = offset + left[i];
                node.right = offset + right[i];
                node.feature = (int32_t) feature[i];
            }
            nodes.push_back(node);
        }
        raw_bitsets.insert(raw_bitsets.end(), bitsets.begin(), bitsets.end());
    }
};

class HistBoostingKernel final : public Kernel {
public:
    HistBoostingKernel(Predictors predictors, Py_ssize_t width, double baseline)
        : predictors_(std::move(predictors)), width_(width), baseline_(baseline) {}

    // Predictor by predictor over all the devices, so that one tree's nodes stay in the cache;
    // each row still receives the iterations' values in their order.
    bool predict(const Rows& rows, double* out, Py_ssize_t stride) const override {
        if (rows.width() != width_) return false;
        Py_ssize_t x_column = width_ - 1, points = rows.points, fixed_count = rows.fixed_count();
        std::vector<double> xs((size_t) points), fixed((size_t) (rows.devices * fixed_count));
        for (Py_ssize_t i = 0; i < points; ++i) {
            xs[i] = rows.x[rows.x_order[i]];
            if (!category_in_range(x_column, xs[i])) return false;
        }
        for (Py_ssize_t d = 0; d < rows.devices; ++d)
            for (Py_ssize_t j = 0; j < fixed_count; ++j) {
                double value = rows.fixed(d, j);
                if (!category_in_range(j, value)) return false;
                fixed[d * fixed_count + j] = value;
            }
        FloatingFlags flags;  // numpy's adds report an overflow
        std::vector<double> sums((size_t) (rows.devices * points), 0.0 + baseline_);
        std::vector<Span> stack;
        for (int64_t root : predictors_.roots)
            for (Py_ssize_t d = 0; d < rows.devices; ++d) {
                double* at = sums.data() + d * points;
                const double* own = fixed.data() + d * fixed_count;
                Query query{own, x_column, xs.data(), rows.x_numbers, points};
                walk(predictors_, root, query, stack,
                     [&](Py_ssize_t lo, Py_ssize_t hi, double value) {
                         for (Py_ssize_t i = lo; i < hi; ++i) at[i] = at[i] + value;
                     },
                     [&](int64_t node, Py_ssize_t i) {
                         at[i] = at[i] + predictors_.finish(node, own, x_column, xs[i]);
                     });
            }
        if (flags.raised()) return false;
        for (Py_ssize_t d = 0; d < rows.devices; ++d) {
            const double* at = sums.data() + d * points;
            double* row = out + d * stride;
            for (Py_ssize_t i = 0; i < points; ++i) row[rows.x_order[i]] = at[i];
        }
        return true;
    }

private:
    // A categorical feature's value must be NaN, negative or below 256: beyond, the predictor's
    // cast to a byte is the compiler's to define, and its own predict answers.
    bool category_in_range(Py_ssize_t feature, double value) const {
        return !predictors_.categorical_feature[feature] || value != value || value < 256.0;
    }

    Predictors predictors_;
    Py_ssize_t width_;
    double baseline_;
};

}  // namespace

std::shared_ptr<const Kernel> hist_boosting_kernel(nb::handle estimator) {
    for (const char* name : {"_raw_predict", "_preprocess_X", "_predict_iterations"})
        if (!own_method(estimator, name)) return nullptr;
    // Categorical features go through a column transformer first; the model must see its input as is.
    if (!attribute(estimator, "_preprocessor").is_none()) return nullptr;
    nb::object in_fit = nb::getattr(estimator, "_in_fit", Py_False);
    if (!PyBool_Check(in_fit.ptr()) || in_fit.ptr() != Py_False) return nullptr;
    if (whole(attribute(estimator, "n_trees_per_iteration_")) != 1) return nullptr;
    nb::object link = attribute(attribute(estimator, "_loss"), "link");
    if (!is_exactly(link, "sklearn._loss.link", "IdentityLink") || !own_method(link, "inverse")) return nullptr;
    Py_ssize_t width = features_in(estimator);
    std::vector<Py_ssize_t> shape;
    std::vector<double> baseline = array_values<double>(attribute(estimator, "_baseline_prediction"), 2, &shape);
    if (shape[0] != 1 || shape[1] != 1) return nullptr;

    Predictors predictors;
    nb::object bin_mapper = attribute(estimator, "_bin_mapper");
    if (!is_exactly(bin_mapper, "sklearn.ensemble._hist_gradient_boosting.binning", "_BinMapper") ||
        !own_method(bin_mapper, "make_known_categories_bitsets"))
        return nullptr;
    nb::object known = bin_mapper.attr("make_known_categories_bitsets")();
    if (!PyTuple_CheckExact(known.ptr()) || PyTuple_GET_SIZE(known.ptr()) != 2) return nullptr;
    std::vector<Py_ssize_t> known_shape;
    predictors.known_bitsets = array_values<uint32_t>(PyTuple_GET_ITEM(known.ptr(), 0), 2, &known_shape);
    predictors.feature_map = array_values<uint32_t>(PyTuple_GET_ITEM(known.ptr(), 1), 1);
    if (known_shape[1] != 8 || (Py_ssize_t) predictors.feature_map.size() != width) return nullptr;
    // the categorical features: those the bin mapper marks
    nb::object marked = attribute(bin_mapper, "is_categorical_");
    predictors.categorical_feature.assign((size_t) width, 0);
    if (!marked.is_none()) {
        std::vector<uint8_t> flags = array_values<uint8_t>(marked, 1);
        if ((Py_ssize_t) flags.size() != width) return nullptr;
        for (Py_ssize_t f = 0; f < width; ++f) {
            predictors.categorical_feature[f] = flags[f] != 0;
            if (flags[f] && predictors.feature_map[f] >= (uint64_t) known_shape[0]) return nullptr;
        }
    }

    nb::object iterations = attribute(estimator, "_predictors");
    if (!PyList_CheckExact(iterations.ptr())) return nullptr;
    nb::object held = nb::steal(PySequence_Tuple(iterations.ptr()));
    if (!held.is_valid()) throw nb::python_error();
    for (nb::handle iteration : held) {
        if (!PyList_CheckExact(iteration.ptr()) || PyList_GET_SIZE(iteration.ptr()) != 1) return nullptr;
        predictors.add(nb::borrow(PyList_GET_ITEM(iteration.ptr(), 0)), width);
    }
    return std::make_shared<HistBoostingKernel>(std::move(predictors), width, baseline[0]);
}

}  // namespace korva::curve::core::native
