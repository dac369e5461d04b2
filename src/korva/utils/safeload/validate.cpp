// The checks of korva.utils.safeload on the finished object graph, after the last opcode: every
// structure compiled code follows by a stored number (tree nodes and features, boosting stages and
// predictors, categorical bitsets, neighbour trees, metric weights) is
// checked against the arrays it indexes, and against every estimator that hands it data: each owner
// checks each of its parts, so a part shared by two owners is checked in both contexts. Every dtype is
// checked as it finally is. Nothing here can be undone by a later BUILD: there is none.
#include "korva/utils/safeload/safeload.hpp"

#include <algorithm>

namespace korva::utils::safeload {

namespace {

constexpr int max_depth = 200;

class Walker {
public:
    explicit Walker(Context& ctx) : ctx_(ctx), g_(ctx.g) {
        ndarray_ = nb::borrow(ctx.numpy_ndarray());
        generic_ = nb::borrow(ctx.original("numpy", "generic"));
        tree_ = loaded("sklearn.tree._tree", "Tree");
        node_dtype_ = loaded("sklearn.tree._tree", "NODE_DTYPE");
        decision_trees_[0] = loaded("sklearn.tree._classes", "DecisionTreeRegressor");
        decision_trees_[1] = loaded("sklearn.tree._classes", "ExtraTreeRegressor");
        forests_[0] = loaded("sklearn.ensemble._forest", "RandomForestRegressor");
        forests_[1] = loaded("sklearn.ensemble._forest", "ExtraTreesRegressor");
        gb_ = loaded("sklearn.ensemble._gb", "GradientBoostingRegressor");
        hgb_ = loaded("sklearn.ensemble._hist_gradient_boosting.gradient_boosting", "HistGradientBoostingRegressor");
        predictor_ = loaded("sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor");
        record_dtype_ = loaded("sklearn.ensemble._hist_gradient_boosting.common", "PREDICTOR_RECORD_DTYPE");
        column_transformer_ = loaded("sklearn.compose._column_transformer", "ColumnTransformer");
        ordinal_encoder_ = loaded("sklearn.preprocessing._encoders", "OrdinalEncoder");
        function_transformer_ = loaded("sklearn.preprocessing._function_transformer", "FunctionTransformer");
        partial_ = loaded("functools", "partial");
        check_array_ = loaded("sklearn.utils.validation", "check_array");
        float64_type_ = loaded("numpy", "float64");
        kd_tree_ = loaded("sklearn.neighbors._kd_tree", "KDTree");
        kd_node_dtype_ = loaded("sklearn.neighbors._kd_tree", "NodeData");
        ball_tree_ = loaded("sklearn.neighbors._ball_tree", "BallTree");
        ball_node_dtype_ = loaded("sklearn.neighbors._ball_tree", "NodeData");
        minkowski_ = loaded("sklearn.metrics._dist_metrics", "MinkowskiDistance64");
        neighbors_[0] = loaded("sklearn.neighbors._regression", "KNeighborsRegressor");
        neighbors_[1] = loaded("sklearn.neighbors._regression", "RadiusNeighborsRegressor");
        float64_ = ctx.numpy_dtype()("float64");
        intp_ = ctx.numpy_dtype()("intp");
        uint32_ = ctx.numpy_dtype()("uint32");
        dummy_ = loaded("sklearn.dummy", "DummyRegressor");
    }

    void walk(nb::handle obj, int depth = 0) {
        PyObject* p = obj.ptr();
        if (obj.is_none() || PyBool_Check(p) || PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyComplex_CheckExact(p) ||
            PyUnicode_CheckExact(p) || PyBytes_CheckExact(p) || PyByteArray_CheckExact(p) || PySlice_Check(p) ||
            PyRange_Check(p))
            return;
        if (PyCallable_Check(p) && !callable_allowed(obj)) fail(PyType_Check(p) ? "a class where data belongs"
                                                                                : "a function where data belongs");
        if (PyType_Check(p)) return;
        if (PyObject_TypeCheck(p, (PyTypeObject*) ctx_.numpy_dtype().ptr())) return check_dtype(ctx_, obj);
        if (PyObject_TypeCheck(p, (PyTypeObject*) generic_.ptr())) return check_dtype(ctx_, obj.attr("dtype"));
        if (depth > max_depth) fail("nested too deeply");
        if (!seen_.insert(p).second) return;
        held_.append(obj);
        nb::handle type = obj.type();
        if (type.is(ndarray_)) return walk_array(obj, depth);
        if (PyTuple_Check(p) || PyList_Check(p) || PyAnySet_Check(p)) {
            nb::object items = nb::steal(PySequence_List(p));
            if (!items.is_valid()) throw nb::python_error();
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
                Part part(this, "[" + std::to_string(i) + "]");
                walk(PyList_GET_ITEM(items.ptr(), i), depth + 1);
            }
            return;
        }
        if (PyDict_Check(p)) {
            nb::object items = nb::steal(PyDict_Items(p));
            if (!items.is_valid()) throw nb::python_error();
            // a Bunch serves its keys as attributes (and a caller's mapping class may too)
            bool attributes = !PyDict_CheckExact(p);
            for (nb::handle pair : items) {
                Part part(this, "[" + key_text(pair[0]) + "]");
                if (attributes && PyUnicode_CheckExact(pair[0].ptr())) {
                    std::string why = refused_attribute(nb::handle(), pair[0].ptr());
                    if (!why.empty()) fail(why);
                }
                walk(pair[0], depth + 1);
                walk(pair[1], depth + 1);
            }
            // a mapping's own attributes (a Bunch's, an OrderedDict's) are walked below
        }
        if (check_owner(obj)) walk_attributes(obj, depth);
    }

    // The callables a finished graph may hold, each only in the attribute scikit-learn keeps it in: an
    // encoder's `dtype` (numpy's float64), a FunctionTransformer's `func` (the partial of check_array,
    // checked as one), an ensemble's `_loss` (the listed loss objects); and what a caller trusted. A
    // class or function anywhere else would be called by whatever reads the attribute it sits in (a
    // method it shadows, a Bunch key, a parameter scikit-learn calls).
    bool callable_allowed(nb::handle obj) {
        nb::handle type = obj.type();
        if (ctx_.is_trusted(obj) || ctx_.is_trusted(type)) return true;
        const std::string where = path_.empty() ? std::string() : path_.back();
        if (obj.is(float64_type_)) return where == "dtype";
        if (type.is(partial_)) return where == "func";
        if (PyType_Check(obj.ptr()) || where != "_loss") return false;
        for (int i = 0; i < entry_count(); ++i)
            if (entry(i).role == Role::instance && std::string_view(entry(i).module) == "sklearn._loss.loss" &&
                type.is(ctx_.loaded(entry(i).module, entry(i).name)))
                return true;
        return false;
    }

    [[noreturn]] void fail(const std::string& what) {
        std::string text;
        size_t arrays = 0;
        for (const std::string& part : path_) {
            if (!part.empty() && part[0] == array_item[0]) {
                text += array_index(array_dims_[arrays++], std::stoll(part.substr(1)));
                continue;
            }
            text += (text.empty() || part[0] == '[') ? part : "." + part;
        }
        text = (text.empty() ? std::string("the loaded object") : text) + ": " + what;
        refuse(g_, text);
    }

private:
    Context& ctx_;
    const py::Call& g_;
    nb::object ndarray_, generic_, tree_, node_dtype_, decision_trees_[2], forests_[2], gb_, hgb_, predictor_,
        record_dtype_, column_transformer_, ordinal_encoder_, function_transformer_, partial_, check_array_,
        float64_type_, kd_tree_, kd_node_dtype_, ball_tree_, ball_node_dtype_, minkowski_, neighbors_[2], float64_, intp_,
        uint32_;
    nb::object dummy_;
    std::unordered_set<PyObject*> seen_, trees_checked_;
    // What a predictor's nodes ask of the ensemble that calls it, found once: the largest feature
    // index a split reads and the features of its categorical splits.
    struct PredictorNeeds {
        long long max_feature = -1;
        std::vector<long long> categorical;
    };
    std::unordered_map<PyObject*, PredictorNeeds> predictors_checked_;
    nb::list held_;  // everything visited stays alive until the walk ends
    std::vector<std::string> path_;
    // The shapes of the object arrays being walked, outermost first: a path part that starts with
    // array_item is the flat index of an item of the next one.
    std::vector<std::vector<long long>> array_dims_;
    static constexpr const char* array_item = "\x01";

    // One step of the path to what is being checked, for the message.
    struct Part {
        Part(Walker* walker, std::string name) : walker_(walker) { walker_->path_.push_back(std::move(name)); }
        ~Part() { walker_->path_.pop_back(); }
        Walker* walker_;
    };

    nb::object loaded(const char* module, const char* name) { return nb::borrow(ctx_.loaded(module, name)); }

    bool is_a(nb::handle obj, nb::handle cls) const {
        return PyType_Check(cls.ptr()) && PyObject_TypeCheck(obj.ptr(), (PyTypeObject*) cls.ptr());
    }

    // A dict key as the path shows it: the repr of a plain key (cut short), the type's name of any other.
    static std::string key_text(nb::handle key) { return shown(key); }

    // An instance's attribute dict, or an invalid object for one without.
    static nb::object attributes(nb::handle obj) {
        PyTypeObject* type = Py_TYPE(obj.ptr());
        if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return {};
        nb::object dict = nb::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
        if (!dict.is_valid()) {
            PyErr_Clear();
            return {};
        }
        return PyDict_Check(dict.ptr()) ? dict : nb::object();
    }

    static nb::object attribute(const nb::object& dict, const char* name) {
        if (!dict.is_valid()) return {};
        PyObject* value = PyDict_GetItemString(dict.ptr(), name);
        return value ? nb::borrow(value) : nb::object();
    }

    void walk_attributes(nb::handle obj, int depth) {
        nb::object dict = attributes(obj);
        if (!dict.is_valid()) return;
        nb::object items = nb::steal(PyDict_Items(dict.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        // a caller's class may hold what its own code put there; listed classes hold data only
        nb::handle cls = ctx_.is_trusted(obj.type()) ? nb::handle() : obj.type();
        for (nb::handle pair : items) {
            std::string why = refused_attribute(cls, pair[0].ptr());
            if (!why.empty()) fail(why);
            Part part(this, PyUnicode_GET_LENGTH(pair[0].ptr()) <= 256 ? text_of(pair[0]) : shown(pair[0]));
            walk(pair[1], depth + 1);
        }
    }

    void walk_array(nb::handle array, int depth) {
        nb::object dtype = array.attr("dtype");
        check_dtype(ctx_, dtype);
        if (!py::equals(dtype.attr("kind"), "O")) return;
        nb::tuple shape = nb::borrow<nb::tuple>(array.attr("shape"));
        nb::object flat = array.attr("ravel")().attr("tolist")();
        if (!PyList_Check(flat.ptr())) fail("object array");
        std::vector<long long> dims;
        for (nb::handle d : shape) dims.push_back(nb::cast<long long>(d));
        // the item's place in the path is its flat index; a message spells it out in the array's shape
        array_dims_.push_back(std::move(dims));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flat.ptr()); ++i) {
            Part part(this, array_item + std::to_string(i));
            walk(PyList_GET_ITEM(flat.ptr(), i), depth + 1);
        }
        array_dims_.pop_back();
    }

    // The C-order index of item `flat` of an array of shape `dims`, as "[i, j]".
    static std::string array_index(const std::vector<long long>& dims, long long flat) {
        std::string index;
        for (size_t axis = dims.size(); axis-- > 0;) {
            long long extent = dims[axis] > 0 ? dims[axis] : 1;
            index = std::to_string(flat % extent) + (index.empty() ? "" : ", ") + index;
            flat /= extent;
        }
        return "[" + index + "]";
    }

    long long integer(const nb::object& value, const char* name, long long low = 0, long long high = 1LL << 40) {
        Part part(this, name);
        if (!value.is_valid() || !PyLong_Check(value.ptr())) fail("not an integer");
        int overflow = 0;
        long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (result == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow || result < low || result > high) fail("integer out of range");
        return result;
    }

    // The array is an ndarray (exact type) of `dtype` and rank `ndim`, C-contiguous.
    void array(ArrayView& out, const nb::object& obj, nb::handle dtype, int ndim) {
        if (!obj.is_valid() || !obj.type().is(ndarray_)) fail("not an ndarray");
        check_dtype(ctx_, obj.attr("dtype"));
        if (!py::equals(obj.attr("dtype"), dtype)) fail("unexpected dtype");
        if (!out.acquire(obj)) fail("array not contiguous");
        if (out.ndim() != ndim) fail("unexpected number of dimensions");
        if (out.itemsize() != nb::cast<Py_ssize_t>(dtype.attr("itemsize"))) fail("unexpected item size");
    }

    static Py_ssize_t offset(nb::handle dtype, const char* field) {
        return nb::cast<Py_ssize_t>(dtype.attr("fields")[field][1]);
    }

    // ---- owners: what each checks of its parts --------------------------------------------
    // The checks an object makes of its parts; false when its attributes are not to be walked.
    bool check_owner(nb::handle obj) {
        nb::handle type = obj.type();
        if (type.is(tree_)) return check_tree(obj), true;
        if (type.is(predictor_)) return check_predictor(obj), true;
        if (type.is(kd_tree_)) return check_binary_tree(obj, kd_node_dtype_, 2), true;
        if (type.is(ball_tree_)) return check_binary_tree(obj, ball_node_dtype_, 1), true;
        if (type.is(partial_)) return check_partial(obj), false;  // (reading its __dict__ would make one)
        nb::object dict = attributes(obj);
        if (!dict.is_valid()) return true;
        long long width = -1;
        if (nb::object n = attribute(dict, "n_features_in_"); n.is_valid()) {
            width = integer(n, "n_features_in_");
            check_per_feature_arrays(dict, width);
        }
        if (is_a(obj, decision_trees_[0]) || is_a(obj, decision_trees_[1])) check_decision_tree(dict, width);
        else if (is_a(obj, forests_[0]) || is_a(obj, forests_[1])) check_forest(dict, width);
        else if (is_a(obj, gb_)) check_gradient_boosting(dict, width);
        else if (is_a(obj, hgb_)) check_hist_gradient_boosting(dict, width);
        else if (is_a(obj, neighbors_[0]) || is_a(obj, neighbors_[1])) check_neighbors(dict, width);
        else if (is_a(obj, function_transformer_)) check_function_transformer(dict);
        return true;
    }

    // The fitted arrays whose last axis runs over the input features.
    void check_per_feature_arrays(const nb::object& dict, long long width) {
        for (const char* name : {"coef_", "mean_", "var_", "scale_", "min_", "data_min_", "data_max_", "data_range_",
                                 "_fit_X"}) {
            nb::object value = attribute(dict, name);
            if (!value.is_valid() || !value.type().is(ndarray_)) continue;
            nb::tuple shape = nb::borrow<nb::tuple>(value.attr("shape"));
            Part part(this, name);
            if (shape.size() == 0 || nb::cast<long long>(shape[shape.size() - 1]) != width)
                fail("shape does not match n_features_in_");
        }
    }

    // A fitted decision tree: its Tree reads rows of the width its estimator validated.
    void check_decision_tree(const nb::object& dict, long long width) {
        nb::object tree = attribute(dict, "tree_");
        if (!tree.is_valid()) return;
        Part part(this, "tree_");
        if (!tree.type().is(tree_)) fail("not a Tree");
        check_tree(tree);
        if (width < 0) fail("a fitted tree without n_features_in_");
        if (integer(tree.attr("n_features"), "n_features") != width) fail("n_features does not match n_features_in_");
    }

    // A tree that an ensemble calls with data it validated itself: its estimator's width and its
    // Tree's are the ensemble's.
    void check_stage_tree(nb::handle estimator, long long width, bool single_output) {
        ctx_.charge_checks(1);
        if (!is_a(estimator, decision_trees_[0]) && !is_a(estimator, decision_trees_[1])) fail("not a decision tree");
        nb::object dict = attributes(estimator);
        nb::object tree = attribute(dict, "tree_");
        if (integer(attribute(dict, "n_features_in_"), "n_features_in_") != width)
            fail("n_features_in_ does not match the ensemble's");
        Part part(this, "tree_");
        if (!tree.is_valid() || !tree.type().is(tree_)) fail("not a Tree");
        check_tree(tree);
        if (integer(tree.attr("n_features"), "n_features") != width) fail("n_features does not match the ensemble's");
        if (single_output && (integer(tree.attr("n_outputs"), "n_outputs") != 1 ||
                              integer(tree.attr("max_n_classes"), "max_n_classes") != 1))
            fail("a stage with more than one output");
    }

    void check_forest(const nb::object& dict, long long width) {
        nb::object estimators = attribute(dict, "estimators_");
        if (!estimators.is_valid()) return;
        if (width < 0) fail("a fitted forest without n_features_in_");
        Part part(this, "estimators_");
        if (!PyList_CheckExact(estimators.ptr())) fail("not a list");
        nb::object items = nb::steal(PySequence_List(estimators.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            Part index(this, "[" + std::to_string(i) + "]");
            check_stage_tree(PyList_GET_ITEM(items.ptr(), i), width, false);
        }
    }

    // predict_stages writes each stage's value into the column of its index: the stages are a 2-D
    // object array exactly n_trees_per_iteration_ wide, which a regressor's raw predictions are.
    void check_gradient_boosting(const nb::object& dict, long long width) {
        nb::object estimators = attribute(dict, "estimators_");
        if (!estimators.is_valid()) return;
        if (width < 0) fail("a fitted ensemble without n_features_in_");
        long long per_iteration = integer(attribute(dict, "n_trees_per_iteration_"), "n_trees_per_iteration_", 1, 1);
        check_initial_estimator(dict);
        Part part(this, "estimators_");
        if (!estimators.type().is(ndarray_) || !py::equals(estimators.attr("dtype").attr("kind"), "O"))
            fail("not an object array");
        nb::tuple shape = nb::borrow<nb::tuple>(estimators.attr("shape"));
        if (shape.size() != 2 || nb::cast<long long>(shape[1]) != per_iteration)
            fail("shape does not match n_trees_per_iteration_");
        nb::object flat = estimators.attr("ravel")().attr("tolist")();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flat.ptr()); ++i) {
            Part index(this, "[" + std::to_string(i / per_iteration) + ", " + std::to_string(i % per_iteration) + "]");
            check_stage_tree(PyList_GET_ITEM(flat.ptr(), i), width, true);
        }
    }

    // The stages add their values in place, row by row, to the initial estimator's predictions: those
    // must be one value per row. "zero", or the single-output DummyRegressor boosting fits itself.
    void check_initial_estimator(const nb::object& dict) {
        nb::object init = attribute(dict, "init_");
        if (!init.is_valid()) return;
        Part part(this, "init_");
        if (PyUnicode_CheckExact(init.ptr()) && py::equals(init, "zero")) return;
        if (!init.type().is(dummy_)) fail("an initial estimator other than \"zero\" or a DummyRegressor");
        nb::object init_dict = attributes(init);
        if (integer(attribute(init_dict, "n_outputs_"), "n_outputs_") != 1) fail("an initial estimator with more than one output");
        nb::object constant = attribute(init_dict, "constant_");
        Part inner(this, "constant_");
        if (!constant.is_valid() || !constant.type().is(ndarray_) || nb::len(nb::object(constant.attr("shape"))) > 2 ||
            nb::cast<long long>(constant.attr("size")) != 1)
            fail("not one value");
    }

    // The predictors read the preprocessed rows by feature index, the categorical ones through the
    // bin mapper's map of categorical features: all of it must agree with the estimator's width.
    void check_hist_gradient_boosting(const nb::object& dict, long long width) {
        nb::object predictors = attribute(dict, "_predictors");
        if (!predictors.is_valid()) return;
        if (width < 0) fail("a fitted ensemble without n_features_in_");
        // set only while fit runs: predict would take the rows for binned ones, unchecked and unconverted
        if (attribute(dict, "_in_fit").is_valid()) {
            Part part(this, "_in_fit");
            fail("an ensemble in the middle of its fit");
        }
        nb::object categorical;
        {
            Part part(this, "_bin_mapper");
            nb::object mapper = attribute(dict, "_bin_mapper");
            nb::object mapper_dict = mapper.is_valid() ? attributes(mapper) : nb::object();
            Part inner(this, "is_categorical_");
            categorical = attribute(mapper_dict, "is_categorical_");
            if (!categorical.is_valid() || !categorical.type().is(ndarray_)) fail("not an ndarray");
            nb::tuple shape = nb::borrow<nb::tuple>(categorical.attr("shape"));
            if (shape.size() != 1 || nb::cast<long long>(shape[0]) != width) fail("shape does not match n_features_in_");
            nb::object kind = categorical.attr("dtype").attr("kind");
            if (!py::equals(kind, "b") && !py::equals(kind, "u") && !py::equals(kind, "i")) fail("not a mask");
            categorical = ctx_.numpy_ndarray().attr("astype")(categorical, "bool");
        }
        ArrayView is_categorical;
        if (!is_categorical.acquire(categorical)) fail("is_categorical_ not contiguous");
        {
            Part part(this, "_predictors");
            if (!PyList_CheckExact(predictors.ptr())) fail("not a list");
            nb::object outer = nb::steal(PySequence_List(predictors.ptr()));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outer.ptr()); ++i) {
                Part index(this, "[" + std::to_string(i) + "]");
                nb::handle row = PyList_GET_ITEM(outer.ptr(), i);
                if (!PyList_CheckExact(row.ptr())) fail("not a list");
                nb::object inner = nb::steal(PySequence_List(row.ptr()));
                for (Py_ssize_t k = 0; k < PyList_GET_SIZE(inner.ptr()); ++k) {
                    Part column(this, "[" + std::to_string(k) + "]");
                    check_predictor_in(PyList_GET_ITEM(inner.ptr(), k), width, is_categorical);
                }
            }
        }
        nb::object preprocessor = attribute(dict, "_preprocessor");
        if (preprocessor.is_valid() && !preprocessor.is_none()) {
            Part part(this, "_preprocessor");
            check_preprocessor(preprocessor, width);
        }
    }

    void check_predictor_in(nb::handle predictor, long long width, const ArrayView& is_categorical) {
        if (!predictor.type().is(predictor_)) fail("not a TreePredictor");
        const PredictorNeeds& needs = check_predictor(predictor);
        ctx_.charge_checks(1 + (long long) needs.categorical.size());
        if (needs.max_feature >= width) fail("feature index out of range");
        for (long long feature : needs.categorical)
            if (!is_categorical.at<uint8_t>(feature)) fail("a categorical split on a feature that is not categorical");
    }

    // HGB's ColumnTransformer, as HGB builds it: an ordinal encoder and check_array over disjoint
    // columns that together cover every input feature, so that the rows are as wide as before.
    void check_preprocessor(nb::handle preprocessor, long long width) {
        if (!preprocessor.type().is(column_transformer_)) fail("not a ColumnTransformer");
        nb::object dict = attributes(preprocessor);
        if (integer(attribute(dict, "n_features_in_"), "n_features_in_") != width) fail("n_features_in_ does not match");
        nb::object weights = attribute(dict, "transformer_weights");
        if (weights.is_valid() && !weights.is_none()) fail("transformer weights");
        nb::object transformers = attribute(dict, "transformers_");
        Part part(this, "transformers_");
        if (!transformers.is_valid() || !PyList_CheckExact(transformers.ptr())) fail("not a list");
        ctx_.charge_checks(width);
        std::vector<uint8_t> covered((size_t) width, 0);
        // with data frames the columns are taken by the indices recorded per transformer name
        nb::object indices = attribute(dict, "_transformer_to_input_indices");
        if (!indices.is_valid() || !PyDict_CheckExact(indices.ptr())) fail("column indices");
        nb::object items = nb::steal(PySequence_List(transformers.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            Part index(this, "[" + std::to_string(i) + "]");
            nb::handle step = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_CheckExact(step.ptr()) || PyTuple_GET_SIZE(step.ptr()) != 3) fail("not a transformer entry");
            nb::handle transformer = PyTuple_GET_ITEM(step.ptr(), 1);
            if (PyUnicode_CheckExact(transformer.ptr()) && py::equals(transformer, "drop")) continue;
            if (!transformer.type().is(ordinal_encoder_) && !transformer.type().is(function_transformer_))
                fail("a transformer HGB does not make");
            nb::object columns = nb::borrow(PyTuple_GET_ITEM(step.ptr(), 2));
            ArrayView mask;
            if (!columns.type().is(ndarray_) || !py::equals(columns.attr("dtype").attr("kind"), "b") ||
                !mask.acquire(columns) || mask.ndim() != 1 || mask.dim(0) != width)
                fail("columns that are not a mask of every feature");
            PyObject* recorded = PyDict_GetItemWithError(indices.ptr(), PyTuple_GET_ITEM(step.ptr(), 0));
            if (!recorded && PyErr_Occurred()) throw nb::python_error();
            if (!recorded || !PyList_CheckExact(recorded)) fail("column indices that do not match its columns");
            // the recorded indices are the mask's positions, in order, compared one by one
            long long selected = 0;
            for (Py_ssize_t c = 0; c < width; ++c) {
                if (!mask.at<uint8_t>(c)) continue;
                if (++covered[(size_t) c] > 1) fail("columns that do not cover each feature once");
                long long at = -1;
                if (selected >= PyList_GET_SIZE(recorded) ||
                    !int_value(PyList_GET_ITEM(recorded, (Py_ssize_t) selected), at) || at != c)
                    fail("column indices that do not match its columns");
                ++selected;
            }
            if (selected != PyList_GET_SIZE(recorded)) fail("column indices that do not match its columns");
            nb::object transformer_dict = attributes(transformer);
            if (integer(attribute(transformer_dict, "n_features_in_"), "n_features_in_") != selected)
                fail("n_features_in_ does not match its columns");
        }
        for (uint8_t count : covered)
            if (count != 1) fail("columns that do not cover each feature once");
    }

    // The neighbours' names: a metric name picks the function predict calls, and the parameters go to
    // it as they are (a name scipy serves would take matrices it does not check against the data).
    // Only the metrics of the table, their parameters checked against the data's width.
    void check_neighbors(const nb::object& dict, long long width) {
        ctx_.charge_checks(1);
        static const char* const metrics[] = {"minkowski", "euclidean", "l2", "manhattan", "l1", "cityblock",
                                              "chebyshev", "infinity"};
        auto one_of = [](const nb::object& value, std::initializer_list<const char*> names) {
            for (const char* name : names)
                if (py::equals(value, name)) return true;
            return false;
        };
        auto name_in = [&](const char* name, bool metric) {
            nb::object value = attribute(dict, name);
            Part part(this, name);
            if (!value.is_valid() || value.is_none()) return;
            if (!PyUnicode_CheckExact(value.ptr())) fail("not a name");
            bool known = false;
            if (metric)
                for (const char* name : metrics) known = known || py::equals(value, name);
            else
                known = one_of(value, {"uniform", "distance"});
            if (!known) fail("a name outside the table's: " + shown(value));
        };
        name_in("weights", false);
        name_in("metric", true);
        name_in("effective_metric_", true);
        for (const char* name : {"metric_params", "effective_metric_params_"}) {
            nb::object params = attribute(dict, name);
            Part part(this, name);
            if (!params.is_valid() || params.is_none()) continue;
            if (!PyDict_CheckExact(params.ptr())) fail("not a dict");
            PyObject *key, *value;
            Py_ssize_t at = 0;
            while (PyDict_Next(params.ptr(), &at, &key, &value)) {
                if (text_key(key, "p")) {
                    if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) fail("p that is not a number");
                } else if (text_key(key, "w")) {
                    if (value == Py_None) continue;
                    ArrayView w;
                    Part inner(this, "w");
                    array(w, nb::borrow(value), float64_, 1);
                    if (w.dim(0) != width) fail("weights do not match n_features_in_");
                } else {
                    fail("a metric parameter outside the table's metrics'");
                }
            }
        }
        nb::object method = attribute(dict, "_fit_method");
        nb::object tree = attribute(dict, "_tree");
        if (method.is_valid()) {
            Part part(this, "_fit_method");
            if (!PyUnicode_CheckExact(method.ptr()) || !one_of(method, {"brute", "kd_tree", "ball_tree"}))
                fail("an algorithm outside the table's");
        }
        if (tree.is_valid() && !tree.is_none()) {
            Part part(this, "_tree");
            if (!tree.type().is(kd_tree_) && !tree.type().is(ball_tree_)) fail("not a KDTree or BallTree");
            if (width < 0) fail("a fitted estimator without n_features_in_");
            ArrayView data;
            array(data, tree.attr("__getstate__")()[0], float64_, 2);
            if (data.dim(1) != width) fail("shape does not match n_features_in_");
        }
    }

    void check_function_transformer(const nb::object& dict) {
        for (const char* name : {"func", "inverse_func"}) {
            nb::object value = attribute(dict, name);
            Part part(this, name);
            if (value.is_valid() && !value.is_none() && !value.type().is(partial_)) fail("a function other than check_array");
        }
        for (const char* name : {"kw_args", "inv_kw_args"}) {
            nb::object value = attribute(dict, name);
            Part part(this, name);
            if (value.is_valid() && !value.is_none() && !(PyDict_CheckExact(value.ptr()) && PyDict_GET_SIZE(value.ptr()) == 0))
                fail("keyword arguments");
        }
    }

    // functools.partial of check_array with the keywords HGB gives it (check_array calls nothing of them).
    void check_partial(nb::handle partial) {
        if (!partial.attr("func").is(check_array_)) fail("a partial of anything but check_array");
        // the type's own __reduce__: an attribute of the instance's could answer for it
        PyObject* reduce = _PyType_Lookup(Py_TYPE(partial.ptr()), nb::str("__reduce__").ptr());
        if (!reduce) fail("a partial without its __reduce__");
        nb::object state = nb::borrow(reduce)(partial)[2];
        if (!state[3].is_none()) fail("partial attributes");
        nb::object args = partial.attr("args"), keywords = partial.attr("keywords");
        if (!PyTuple_CheckExact(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 0) fail("partial arguments");
        if (!PyDict_CheckExact(keywords.ptr())) fail("partial keywords");
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(keywords.ptr(), &at, &key, &value)) {
            nb::handle v = value;
            if (text_key(key, "dtype")) {
                bool ok = PyList_CheckExact(value) || PyTuple_CheckExact(value);
                for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(value); ++i)
                    ok = PySequence_Fast_GET_ITEM(value, i) == float64_type_.ptr();
                if (!ok && !v.is(float64_type_) && !v.is_none()) fail("partial dtype");
            } else if (text_key(key, "ensure_all_finite") || text_key(key, "force_all_finite")) {
                if (!PyBool_Check(value) && !(PyUnicode_CheckExact(value) && py::equals(v, "allow-nan")))
                    fail("partial keywords");
            } else {
                fail("partial keywords");
            }
        }
    }

    // An exact int that fits a long long.
    static bool int_value(PyObject* value, long long& out) {
        if (!PyLong_CheckExact(value)) return false;
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (out == -1 && PyErr_Occurred()) throw nb::python_error();
        return !overflow;
    }

    static bool text_key(PyObject* key, const char* text) {
        return PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, text) == 0;
    }

    // ---- the compiled structures themselves ----------------------------------------------------
    void check_tree(nb::handle tree) {
        if (!trees_checked_.insert(tree.ptr()).second) return;
        held_.append(tree);
        // the node and value views __getstate__ hands out are node_count long over capacity's memory
        if (integer(tree.attr("node_count"), "node_count") > integer(tree.attr("capacity"), "capacity"))
            fail("node_count past the tree's capacity");
        nb::object state = tree.attr("__getstate__")();
        long long node_count = integer(nb::object(state["node_count"]), "node_count");
        long long depth_limit = integer(nb::object(state["max_depth"]), "max_depth");
        long long features = integer(tree.attr("n_features"), "n_features");
        long long outputs = integer(tree.attr("n_outputs"), "n_outputs");
        long long classes = integer(tree.attr("max_n_classes"), "max_n_classes");
        if (node_count < 1) fail("tree without nodes");
        ArrayView nodes, values;
        array(nodes, state["nodes"], node_dtype_, 1);
        if (nodes.dim(0) != node_count) fail("nodes array does not match node_count");
        array(values, state["values"], float64_, 3);
        if (values.dim(0) != node_count || values.dim(1) != outputs || values.dim(2) != classes)
            fail("value not shaped to node_count");
        Py_ssize_t left_at = offset(node_dtype_, "left_child"), right_at = offset(node_dtype_, "right_child");
        Py_ssize_t feature_at = offset(node_dtype_, "feature");
        std::vector<uint8_t> parents((size_t) node_count, 0);
        // decision_path sizes its output by max_depth: no path may be longer
        std::vector<long long> depth((size_t) node_count, 0);
        for (Py_ssize_t i = 0; i < node_count; ++i) {
            auto left = nodes.at<Py_intptr_t>(i, left_at), right = nodes.at<Py_intptr_t>(i, right_at);
            if (left == -1 && right == -1) continue;  // a leaf
            if (left <= i || right <= i || left >= node_count || right >= node_count) fail("child index out of range");
            if (left == right || ++parents[(size_t) left] > 1 || ++parents[(size_t) right] > 1)
                fail("node with two parents");
            auto feature = nodes.at<Py_intptr_t>(i, feature_at);
            if (feature < 0 || feature >= features) fail("feature index out of range");
            depth[(size_t) left] = depth[(size_t) right] = depth[(size_t) i] + 1;
            if (depth[(size_t) left] > depth_limit) fail("tree deeper than its max_depth");
        }
        for (size_t i = 1; i < parents.size(); ++i)
            if (parents[i] != 1) fail("node without a parent");
    }

    const PredictorNeeds& check_predictor(nb::handle predictor) {
        auto known = predictors_checked_.find(predictor.ptr());
        if (known != predictors_checked_.end()) return known->second;
        PredictorNeeds needs;
        ArrayView nodes, bitsets, binned;
        array(nodes, predictor.attr("nodes"), record_dtype_, 1);
        Py_ssize_t count = nodes.dim(0);
        if (count < 1) fail("predictor without nodes");
        array(bitsets, predictor.attr("raw_left_cat_bitsets"), uint32_, 2);
        array(binned, predictor.attr("binned_left_cat_bitsets"), uint32_, 2);
        if (binned.dim(0) != bitsets.dim(0) || bitsets.dim(1) != 8 || binned.dim(1) != 8)
            fail("categorical bitsets misshaped");
        Py_ssize_t leaf_at = offset(record_dtype_, "is_leaf"), left_at = offset(record_dtype_, "left");
        Py_ssize_t right_at = offset(record_dtype_, "right"), categorical_at = offset(record_dtype_, "is_categorical");
        Py_ssize_t bitset_at = offset(record_dtype_, "bitset_idx"), feature_at = offset(record_dtype_, "feature_idx");
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (nodes.at<uint8_t>(i, leaf_at)) continue;
            auto left = nodes.at<uint32_t>(i, left_at), right = nodes.at<uint32_t>(i, right_at);
            // children after their parent: the walk down always ends
            if (left <= i || right <= i || left >= count || right >= count) fail("child index out of range");
            auto feature = nodes.at<int64_t>(i, feature_at);
            if (feature < 0) fail("feature index out of range");
            needs.max_feature = std::max<long long>(needs.max_feature, feature);
            if (nodes.at<uint8_t>(i, categorical_at)) {
                if (nodes.at<uint32_t>(i, bitset_at) >= bitsets.dim(0)) fail("categorical bitset index out of range");
                needs.categorical.push_back(feature);
            }
        }
        std::sort(needs.categorical.begin(), needs.categorical.end());
        needs.categorical.erase(std::unique(needs.categorical.begin(), needs.categorical.end()), needs.categorical.end());
        held_.append(predictor);
        return predictors_checked_.emplace(predictor.ptr(), std::move(needs)).first->second;
    }

    void check_binary_tree(nb::handle tree, nb::handle node_dtype, Py_ssize_t bound_rows) {
        nb::object state = tree.attr("__getstate__")();
        if (!PyTuple_Check(state.ptr()) || nb::len(state) < 13) fail("tree state");
        ArrayView data, index, node_data, bounds;
        Py_ssize_t samples = 0, features = 0;
        {
            Part part(this, "data");
            array(data, state[0], float64_, 2);
            samples = data.dim(0), features = data.dim(1);
        }
        {
            Part part(this, "idx_array");
            array(index, state[1], intp_, 1);
            if (index.dim(0) != samples) fail("length does not match data");
            std::vector<uint8_t> taken((size_t) samples, 0);
            for (Py_ssize_t i = 0; i < samples; ++i) {
                auto at = index.at<Py_intptr_t>(i);
                if (at < 0 || at >= samples || taken[(size_t) at]++) fail("index out of range");
            }
        }
        integer(state[4], "leaf_size", 1);  // breadth-first queries divide by it
        long long n_nodes = integer(state[6], "n_nodes");
        {
            Part part(this, "node_data");
            array(node_data, state[2], node_dtype, 1);
            if (n_nodes < 1 || node_data.dim(0) != n_nodes) fail("length does not match n_nodes");
            Py_ssize_t start_at = offset(node_dtype, "idx_start"), end_at = offset(node_dtype, "idx_end");
            Py_ssize_t leaf_at = offset(node_dtype, "is_leaf");
            for (Py_ssize_t i = 0; i < n_nodes; ++i) {
                auto start = node_data.at<Py_intptr_t>(i, start_at), end = node_data.at<Py_intptr_t>(i, end_at);
                if (start < 0 || start > end || end > samples) fail("index out of range");
                if (!node_data.at<Py_intptr_t>(i, leaf_at) && 2 * i + 2 >= n_nodes) fail("child index out of range");
            }
        }
        {
            Part part(this, "node_bounds");
            array(bounds, state[3], float64_, 3);
            if (bounds.dim(0) != bound_rows || bounds.dim(1) != n_nodes || bounds.dim(2) != features)
                fail("shape does not match the tree");
        }
        nb::object weights = state[12];
        if (!weights.is_none()) {
            Part part(this, "sample_weight");
            ArrayView weight;
            array(weight, weights, float64_, 1);
            if (weight.dim(0) != samples) fail("length does not match data");
        }
        nb::object metric = state[11];
        if (metric.type().is(minkowski_)) {
            Part part(this, "dist_metric");
            ArrayView w;
            array(w, metric.attr("__getstate__")()[1], float64_, 1);
            if (w.dim(0) != 0 && w.dim(0) != features) fail("weights do not match data");
        }
    }
};

}  // namespace

void validate(Context& ctx, nb::handle root) {
    // Without numpy loaded nothing was made that compiled code indexes.
    if (py::loaded_module("numpy").is_none()) return;
    Walker(ctx).walk(root);
}

}  // namespace korva::utils::safeload
