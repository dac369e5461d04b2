// HistGradientBoostingRegressor: the baseline plus each iteration's tree value, in iteration order
// (numpy's adds: 0.0 + baseline, then + value). Its trees compare the raw float64 input with their
// thresholds; a NaN takes the node's missing-value side; a categorical split sends the category to
// the left when its raw bitset holds it, to the right when the feature's known categories do, and
// to the missing-value side otherwise (a negative value too). A model fitted with categorical
// features first encodes each row as its preprocessor does (Columns below).
#include "korva/curve/core/native/tree_walk.hpp"

#include <cmath>

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

// The predictors' input built from a query row as the estimator's preprocessor builds it: the
// categorical columns first, in their order, each value replaced by the index of the category equal
// to it (unknown values and NaN become NaN), then the other columns as they are. Without a
// preprocessor, the row itself.
struct Columns {
    std::vector<Py_ssize_t> source;                // input column -> the query's column
    std::vector<std::vector<double>> categories;   // the encoded input columns' categories, NaN left out

    Py_ssize_t encoded() const { return (Py_ssize_t) categories.size(); }

    // Input column j's value for the query's value; false where the encoder raises (an infinity).
    bool value(Py_ssize_t j, double raw, double& out) const {
        if (j >= encoded() || raw != raw) {
            out = raw;
            return true;
        }
        if (std::isinf(raw)) return false;
        const std::vector<double>& known = categories[(size_t) j];
        auto at = std::lower_bound(known.begin(), known.end(), raw);
        out = at != known.end() && *at == raw ? (double) (at - known.begin()) : NAN;
        return true;
    }
};

bool is_text(nb::handle value, const char* text) {
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

void expect(bool holds) {
    if (!holds) throw Unexpected{};
}

// Neither the class nor the instance has `name` (what scikit-learn looks up and uses when present).
bool absent(nb::handle obj, const char* name) {
    if (has_instance_attribute(obj, name)) return false;
    return !nb::steal(_PyType_LookupRef(Py_TYPE(obj.ptr()), py::s(name).ptr())).is_valid();
}

// The class compares and hashes as an object does (the column transformer compares its transformers
// with "drop" and looks them up in a set).
bool compares_as_object(nb::handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    return type->tp_richcompare == PyBaseObject_Type.tp_richcompare && type->tp_hash == PyBaseObject_Type.tp_hash;
}

// dict[key] held, or an invalid object when the key is missing.
nb::object dict_item(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());  // borrowed
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}

// The transformer is of the exact class, its methods `names` are scikit-learn's own, it compares
// and hashes as an object, its output is the default container and it knows no feature names.
void plain_transformer(nb::handle transformer, const char* module, const char* name,
                       std::initializer_list<const char*> names) {
    expect(is_exactly(transformer, module, name) && compares_as_object(transformer));
    for (const char* method : names) expect(own_method(transformer, method));
    nb::object config = attribute(transformer, "_sklearn_output_config");
    expect(PyDict_CheckExact(config.ptr()) && PyDict_GET_SIZE(config.ptr()) == 1);
    nb::object output = dict_item(config, py::s("transform"));
    expect(output.is_valid() && is_text(output, "default"));
    expect(absent(transformer, "feature_names_in_"));
}

// An exact boolean ndarray of `width` items.
std::vector<uint8_t> mask(nb::handle columns, Py_ssize_t width) {
    std::vector<uint8_t> values = array_values<uint8_t>(columns, 1);
    expect((Py_ssize_t) values.size() == width && is_text(attribute(attribute(columns, "dtype"), "char"), "?"));
    return values;
}

// scikit-learn's check_array, the function HGB's module calls by that name (or the one it defines).
bool is_check_array(nb::handle function) {
    if (!PyFunction_Check(function.ptr())) return false;
    PyObject* module = PyFunction_GetModule(function.ptr());  // borrowed from the function
    if (!module || !PyUnicode_Check(module)) return false;
    const char* text = PyUnicode_AsUTF8(module);
    if (!text) throw nb::python_error();
    if (std::strncmp(text, "sklearn.", 8) != 0) return false;
    return function.is(py::loaded_attribute("sklearn.ensemble._hist_gradient_boosting.gradient_boosting", "check_array")) ||
           function.is(py::loaded_attribute("sklearn.utils.validation", "check_array"));
}

bool is_nan_float(nb::handle value) {
    return PyFloat_CheckExact(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
}

// The column transformer HGB builds over categorical features, as it builds it, with every method
// its transform runs scikit-learn's own; the columns it makes of a query row. Throws Unexpected for
// anything else.
Columns preprocessed_columns(nb::handle estimator, nb::handle preprocessor, Py_ssize_t width) {
    plain_transformer(preprocessor, "sklearn.compose", "ColumnTransformer",
                      {"transform", "_call_func_on_transformers", "_iter", "_validate_output", "_hstack",
                       "__sklearn_tags__"});
    expect(absent(preprocessor, "_routing_repr") && absent(preprocessor, "__sklearn_is_fitted__"));
    expect(whole(attribute(preprocessor, "n_features_in_")) == width);
    expect(attribute(preprocessor, "n_jobs").is_none() && attribute(preprocessor, "transformer_weights").is_none());
    expect(attribute(preprocessor, "sparse_output_").ptr() == Py_False);

    // the fitted list: the encoder, check_array over the other columns, the dropped remainder
    nb::object fitted = attribute(preprocessor, "transformers_");
    expect(PyList_CheckExact(fitted.ptr()) && PyList_GET_SIZE(fitted.ptr()) == 3);
    nb::object entries = nb::steal(PySequence_Tuple(fitted.ptr()));
    if (!entries.is_valid()) throw nb::python_error();
    auto entry = [&](Py_ssize_t i, const char* name) {
        nb::handle item = PyTuple_GET_ITEM(entries.ptr(), i);
        expect(PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 3 &&
               is_text(PyTuple_GET_ITEM(item.ptr(), 0), name));
        return item;
    };
    nb::handle encoder_entry = entry(0, "encoder"), numerical_entry = entry(1, "numerical"),
               remainder = entry(2, "remainder");
    expect(is_text(PyTuple_GET_ITEM(remainder.ptr(), 1), "drop"));
    nb::handle rest = PyTuple_GET_ITEM(remainder.ptr(), 2);
    expect(PyList_CheckExact(rest.ptr()) && PyList_GET_SIZE(rest.ptr()) == width);
    for (Py_ssize_t i = 0; i < width; ++i) expect(PyList_GET_ITEM(rest.ptr(), i) == Py_False);

    std::vector<uint8_t> categorical = mask(PyTuple_GET_ITEM(encoder_entry.ptr(), 2), width);
    std::vector<uint8_t> numerical = mask(PyTuple_GET_ITEM(numerical_entry.ptr(), 2), width);
    std::vector<uint8_t> marked = mask(attribute(estimator, "is_categorical_"), width);
    std::vector<uint8_t> remapped = mask(attribute(estimator, "_is_categorical_remapped"), width);
    Columns columns;
    for (Py_ssize_t j = 0; j < width; ++j) {
        expect(!categorical[j] == !marked[j] && !categorical[j] != !numerical[j]);
        if (categorical[j]) columns.source.push_back(j);
    }
    Py_ssize_t encoded = (Py_ssize_t) columns.source.size();
    expect(encoded > 0);
    for (Py_ssize_t j = 0; j < width; ++j) {
        if (numerical[j]) columns.source.push_back(j);
        expect(!remapped[j] == !(j < encoded));
    }

    // the ordinal encoder: unknown and missing values to NaN, float64 out, no infrequent categories
    nb::handle encoder = PyTuple_GET_ITEM(encoder_entry.ptr(), 1);
    plain_transformer(encoder, "sklearn.preprocessing", "OrdinalEncoder",
                      {"transform", "_transform", "_check_X", "_map_infrequent_categories", "__sklearn_tags__"});
    expect(is_text(attribute(encoder, "categories"), "auto"));
    expect(is_text(attribute(encoder, "handle_unknown"), "use_encoded_value"));
    expect(is_nan_float(attribute(encoder, "unknown_value")) && is_nan_float(attribute(encoder, "encoded_missing_value")));
    expect(attribute(encoder, "dtype").is(py::loaded_attribute("numpy", "float64")));
    expect(attribute(encoder, "_infrequent_enabled").ptr() == Py_False);
    expect(whole(attribute(encoder, "n_features_in_")) == encoded);
    nb::object categories = attribute(encoder, "categories_");
    expect(PyList_CheckExact(categories.ptr()) && PyList_GET_SIZE(categories.ptr()) == encoded);
    nb::object held = nb::steal(PySequence_Tuple(categories.ptr()));
    if (!held.is_valid()) throw nb::python_error();
    // the columns whose categories end in NaN, as the encoder records them: column -> NaN's index
    nb::object missing = attribute(encoder, "_missing_indices");
    expect(PyDict_CheckExact(missing.ptr()));
    Py_ssize_t with_nan = 0;
    for (Py_ssize_t i = 0; i < encoded; ++i) {
        std::vector<double> values = array_values<double>(PyTuple_GET_ITEM(held.ptr(), i), 1);
        expect(!values.empty());
        bool nan_last = values.back() != values.back();
        if (nan_last) values.pop_back();
        for (size_t k = 0; k < values.size(); ++k)  // numbers, strictly increasing (one of 0.0 and -0.0)
            expect(values[k] == values[k] && (k == 0 || values[k - 1] < values[k]));
        nb::object index = dict_item(missing, nb::int_(i));
        if (nan_last) {
            ++with_nan;
            expect(index.is_valid() && whole(index) == (Py_ssize_t) values.size());
        } else {
            expect(!index.is_valid());
        }
        columns.categories.push_back(std::move(values));
    }
    expect(PyDict_GET_SIZE(missing.ptr()) == with_nan);

    // check_array(X, dtype=[float64], ensure_all_finite=False) over the other columns: float64 as it is
    nb::handle function = PyTuple_GET_ITEM(numerical_entry.ptr(), 1);
    plain_transformer(function, "sklearn.preprocessing", "FunctionTransformer",
                      {"transform", "_transform", "__sklearn_tags__"});
    expect(attribute(function, "validate").ptr() == Py_False && attribute(function, "kw_args").is_none() &&
           attribute(function, "feature_names_out").is_none());
    nb::object partial = attribute(function, "func");
    expect(partial.type().is(py::loaded_attribute("functools", "partial")));
    nb::object check = attribute(partial, "func"), args = attribute(partial, "args"),
               keywords = attribute(partial, "keywords");
    expect(is_check_array(check));
    expect(PyTuple_CheckExact(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 0);
    expect(PyDict_CheckExact(keywords.ptr()) && PyDict_GET_SIZE(keywords.ptr()) == 2);
    nb::object float64 = py::loaded_attribute("numpy", "float64");
    nb::object dtype = dict_item(keywords, py::s("dtype")), finite = dict_item(keywords, py::s("ensure_all_finite"));
    expect(dtype.is_valid() && PyList_CheckExact(dtype.ptr()) && PyList_GET_SIZE(dtype.ptr()) == 1 &&
           PyList_GET_ITEM(dtype.ptr(), 0) == float64.ptr());
    expect(finite.ptr() == Py_False);

    // what the column transformer's tags read: the transformers as given, the same two kinds
    nb::object given = attribute(preprocessor, "transformers");
    expect(PyList_CheckExact(given.ptr()) && PyList_GET_SIZE(given.ptr()) == 2);
    nb::object pair = nb::steal(PySequence_Tuple(given.ptr()));
    if (!pair.is_valid()) throw nb::python_error();
    const char* kinds[] = {"OrdinalEncoder", "FunctionTransformer"};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        nb::handle item = PyTuple_GET_ITEM(pair.ptr(), i);
        expect(PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 3);
        nb::handle transformer = PyTuple_GET_ITEM(item.ptr(), 1);
        expect(is_exactly(transformer, "sklearn.preprocessing", kinds[i]) && compares_as_object(transformer) &&
               own_method(transformer, "__sklearn_tags__"));
    }
    return columns;
}

class HistBoostingKernel final : public Kernel {
public:
    HistBoostingKernel(Predictors predictors, Columns columns, Py_ssize_t width, double baseline)
        : predictors_(std::move(predictors)), columns_(std::move(columns)), width_(width), baseline_(baseline) {
        for (Py_ssize_t j = 0; j < width_; ++j)
            if (columns_.source[j] == width_ - 1) x_column_ = j;
    }

    // Predictor by predictor over all the devices, so that one tree's nodes stay in the cache;
    // each row still receives the iterations' values in their order.
    bool predict(const Rows& rows, double* out, Py_ssize_t stride) const override {
        if (rows.width() != width_) return false;
        Py_ssize_t points = rows.points;
        // each device's input row (x's place unused) and the x values, sorted as the walk needs them
        std::vector<double> fixed((size_t) (rows.devices * width_), 0.0);
        for (Py_ssize_t d = 0; d < rows.devices; ++d)
            for (Py_ssize_t j = 0; j < width_; ++j) {
                if (j == x_column_) continue;
                double& value = fixed[d * width_ + j];
                if (!columns_.value(j, rows.fixed(d, columns_.source[j]), value) || !category_in_range(j, value))
                    return false;
            }
        std::vector<double> xs((size_t) points);
        std::vector<Py_ssize_t> order(rows.x_order, rows.x_order + points);
        Py_ssize_t numbers = rows.x_numbers;
        if (x_column_ < columns_.encoded()) {
            // an encoded x: its values in an order of their own (the unknown ones are NaN now)
            std::vector<double> encoded((size_t) points);
            for (Py_ssize_t r = 0; r < points; ++r)
                if (!columns_.value(x_column_, rows.x[r], encoded[r])) return false;
            std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
                bool a_nan = encoded[a] != encoded[a], b_nan = encoded[b] != encoded[b];
                if (a_nan || b_nan) return !a_nan && b_nan;
                return encoded[a] < encoded[b];
            });
            for (Py_ssize_t i = 0; i < points; ++i) xs[i] = encoded[order[i]];
            numbers = 0;
            while (numbers < points && xs[numbers] == xs[numbers]) ++numbers;
        } else {
            for (Py_ssize_t i = 0; i < points; ++i) xs[i] = rows.x[order[i]];
        }
        for (Py_ssize_t i = 0; i < points; ++i)
            if (!category_in_range(x_column_, xs[i])) return false;
        FloatingFlags flags;  // numpy's adds report an overflow
        std::vector<double> sums((size_t) (rows.devices * points), 0.0 + baseline_);
        std::vector<Span> stack;
        for (int64_t root : predictors_.roots)
            for (Py_ssize_t d = 0; d < rows.devices; ++d) {
                double* at = sums.data() + d * points;
                const double* own = fixed.data() + d * width_;
                Query query{own, x_column_, xs.data(), numbers, points};
                walk(predictors_, root, query, stack,
                     [&](Py_ssize_t lo, Py_ssize_t hi, double value) {
                         for (Py_ssize_t i = lo; i < hi; ++i) at[i] = at[i] + value;
                     },
                     [&](int64_t node, Py_ssize_t i) {
                         at[i] = at[i] + predictors_.finish(node, own, x_column_, xs[i]);
                     });
            }
        if (flags.raised()) return false;
        for (Py_ssize_t d = 0; d < rows.devices; ++d) {
            const double* at = sums.data() + d * points;
            double* row = out + d * stride;
            for (Py_ssize_t i = 0; i < points; ++i) row[order[i]] = at[i];
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
    Columns columns_;
    Py_ssize_t width_, x_column_ = 0;
    double baseline_;
};

}  // namespace

std::shared_ptr<const Kernel> hist_boosting_kernel(nb::handle estimator) {
    for (const char* name : {"_raw_predict", "_preprocess_X", "_predict_iterations"})
        if (!own_method(estimator, name)) return nullptr;
    nb::object in_fit = nb::getattr(estimator, "_in_fit", Py_False);
    if (!PyBool_Check(in_fit.ptr()) || in_fit.ptr() != Py_False) return nullptr;
    if (whole(attribute(estimator, "n_trees_per_iteration_")) != 1) return nullptr;
    nb::object link = attribute(attribute(estimator, "_loss"), "link");
    if (!is_exactly(link, "sklearn._loss.link", "IdentityLink") || !own_method(link, "inverse")) return nullptr;
    Py_ssize_t width = features_in(estimator);
    // categorical features go through the preprocessor first: the predictors see its columns
    Columns columns;
    nb::object preprocessor = attribute(estimator, "_preprocessor");
    if (preprocessor.is_none()) {
        for (Py_ssize_t j = 0; j < width; ++j) columns.source.push_back(j);
    } else {
        columns = preprocessed_columns(estimator, preprocessor, width);
    }
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
    // the encoded columns are exactly the categorical ones the predictors know
    if (columns.encoded())
        for (Py_ssize_t f = 0; f < width; ++f)
            if ((bool) predictors.categorical_feature[f] != (f < columns.encoded())) return nullptr;

    nb::object iterations = attribute(estimator, "_predictors");
    if (!PyList_CheckExact(iterations.ptr())) return nullptr;
    nb::object held = nb::steal(PySequence_Tuple(iterations.ptr()));
    if (!held.is_valid()) throw nb::python_error();
    for (nb::handle iteration : held) {
        if (!PyList_CheckExact(iteration.ptr()) || PyList_GET_SIZE(iteration.ptr()) != 1) return nullptr;
        predictors.add(nb::borrow(PyList_GET_ITEM(iteration.ptr(), 0)), width);
    }
    return std::make_shared<HistBoostingKernel>(std::move(predictors), std::move(columns), width, baseline[0]);
}

}  // namespace korva::curve::core::native
