"""korva's own evaluation of the tree, boosting and neighbour classes the batch stacks: for random
fitted models of each supported configuration, every value is the estimator's own predict on the
same query matrix, bit for bit (NaN inputs too where the class takes them, its exceptions where it
refuses them), and scikit-learn never sees a stacked matrix. Anything the guards do not vouch for
(a subclass, a patched predict, an odd fitted state) is predicted by the estimator itself."""
import numpy as np
import pytest
import sklearn.base
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor, HistGradientBoostingRegressor,
                              RandomForestRegressor)
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor, ExtraTreeRegressor

import native_models as nm
from korva.curve import batch

ESTIMATORS = {
    "tree": DecisionTreeRegressor(max_depth=7, random_state=0),
    "tree best-first": DecisionTreeRegressor(max_leaf_nodes=40, random_state=1),
    "tree one leaf": DecisionTreeRegressor(min_samples_split=10**6),
    "extra tree": ExtraTreeRegressor(random_state=2),
    "forest": RandomForestRegressor(n_estimators=6, max_depth=9, random_state=0),
    "forest one job": RandomForestRegressor(n_estimators=3, min_samples_leaf=4, n_jobs=1, random_state=1),
    "extra trees": ExtraTreesRegressor(n_estimators=5, bootstrap=True, random_state=0),
    "boosting": GradientBoostingRegressor(n_estimators=40, max_depth=3, random_state=0),
    "boosting zero init": GradientBoostingRegressor(n_estimators=20, init="zero", random_state=0),
    "boosting huber": GradientBoostingRegressor(n_estimators=20, loss="huber", subsample=0.7, random_state=0),
    "boosting quantile": GradientBoostingRegressor(n_estimators=15, loss="quantile", alpha=0.3, random_state=0),
    "boosting absolute, rate 1": GradientBoostingRegressor(n_estimators=10, loss="absolute_error",
                                                           learning_rate=1, max_leaf_nodes=5, random_state=0),
    "boosting, a dummy as init": GradientBoostingRegressor(n_estimators=10, init=DummyRegressor(strategy="median"),
                                                           random_state=0),
    "histogram boosting": HistGradientBoostingRegressor(max_iter=30, random_state=0),
    "histogram boosting absolute": HistGradientBoostingRegressor(max_iter=20, loss="absolute_error", random_state=0),
    "histogram boosting quantile": HistGradientBoostingRegressor(max_iter=15, loss="quantile", quantile=0.8,
                                                                 max_leaf_nodes=5, random_state=0),
    "neighbours": KNeighborsRegressor(),
    "neighbours 1, leaves of 1": KNeighborsRegressor(n_neighbors=1, leaf_size=1),
    "neighbours distance": KNeighborsRegressor(n_neighbors=7, weights="distance", leaf_size=5),
    "neighbours minkowski 2": KNeighborsRegressor(n_neighbors=12, metric="minkowski", p=2, algorithm="kd_tree"),
    "ball tree": KNeighborsRegressor(n_neighbors=4, algorithm="ball_tree", leaf_size=3),
    "ball tree distance": KNeighborsRegressor(n_neighbors=9, weights="distance", algorithm="ball_tree"),
    "ball tree euclidean, 17": KNeighborsRegressor(n_neighbors=17, metric="euclidean", algorithm="ball_tree"),
}

# the classes whose predict takes NaN (the trees route it by each node's missing-value side)
TAKES_NAN = ("tree", "tree best-first", "extra tree", "forest", "extra trees", "histogram boosting",
             "histogram boosting quantile")


@pytest.mark.parametrize("name", ESTIMATORS)
def test_each_value_is_the_estimators_own(monkeypatch, name):
    models = nm.fit(ESTIMATORS[name], seed=len(name))
    frame = nm.devices(9)
    table = nm.config()
    validations = nm.Validations(monkeypatch)
    assert nm.compare(models, frame, table, exact=True) == []
    assert not validations.stacked()


@pytest.mark.parametrize("name", TAKES_NAN)
def test_nan_inputs_take_the_missing_value_side(monkeypatch, name):
    # trained with missing values, so that nodes send NaN either way; NaN among the x values and
    # as a variant value, an infinity where the class takes it (histogram boosting)
    models = nm.fit(ESTIMATORS[name], seed=3, nan=0.15)
    x = np.linspace(-0.1, 3.65, 31)
    x[[0, 7, 8, 30]] = np.nan
    if name.startswith("histogram"):
        x[12], x[13] = np.inf, -np.inf
    table = nm.config(x=x, variants={"a": {"Vb": 1.0}, "missing": {"Vb": np.nan}})
    validations = nm.Validations(monkeypatch)
    assert nm.compare(models, nm.devices(6), table, exact=True) == []
    assert not validations.stacked()


@pytest.mark.parametrize("name", ["boosting", "neighbours", "ball tree", "tree", "forest"])
@pytest.mark.parametrize("value", [np.nan, np.inf, 1e39])
def test_values_predict_refuses_raise_its_exception(name, value):
    """NaN where the class refuses it, an infinity, a value float32 cannot hold (trees): predict's
    own exception, device by device, as the per-device steps raise it."""
    if name in TAKES_NAN and value != value:
        pytest.skip("the class takes NaN")
    models = nm.fit(ESTIMATORS[name], seed=4)
    table = nm.config(x=[0.0, 1.0, value, 2.0])
    frame = nm.devices(3)
    got, expected, entries = nm.batch_and_device_outcomes(models, frame, table)
    assert got == expected
    refused = not (value == 1e39 and name.startswith(("neighbours", "ball")))  # float64 holds it
    assert all(isinstance(e, ValueError) == refused for e in entries)


# ---- the guards ---------------------------------------------------------------------------------------

def subclass(estimator):
    return type("Own" + type(estimator).__name__, (type(estimator),), {})(**estimator.get_params())


def as_subclass(fitted):
    """The same fitted estimator, as an instance of a subclass of its class."""
    own = object.__new__(type("Own" + type(fitted).__name__, (type(fitted),), {}))
    own.__dict__.update(fitted.__dict__)
    return own


def with_feature_names(estimator):
    import pandas as pd
    models = nm.fit(estimator)
    for curve, model in models["PLD"].items():
        width = model.n_features_in_
        X, y = nm.training_rows(np.random.default_rng(0), width, 200)
        model.fit(pd.DataFrame(X, columns=[f"c{j}" for j in range(width)]), y)
    return models


def tampered(models, change):
    for model in models["PLD"].values():
        change(model)
    return models


def share_a_subtree(model):
    # the root's right child made its left one: scikit-learn's walk still ends, but a node with two
    # parents is not a tree korva lays out
    for tree in model.estimators_ if hasattr(model, "estimators_") else [model]:
        tree.tree_.children_right[0] = tree.tree_.children_left[0]


GUARDED = {
    "a node with two parents": lambda: tampered(nm.fit(ESTIMATORS["forest"]), share_a_subtree),
    "a subclass": lambda: nm.fit(subclass(ESTIMATORS["tree"])),
    "an instance predict": lambda: tampered(nm.fit(ESTIMATORS["forest"]),
                                            lambda m: setattr(m, "predict", type(m).predict.__get__(m))),
    "an instance kneighbors": lambda: tampered(nm.fit(ESTIMATORS["neighbours"]),
                                               lambda m: setattr(m, "kneighbors", type(m).kneighbors.__get__(m))),
    "fitted with feature names": lambda: with_feature_names(ESTIMATORS["histogram boosting"]),
    "a verbose forest": lambda: tampered(nm.fit(ESTIMATORS["forest"]), lambda m: setattr(m, "verbose", 1)),
    "a forest tree of another class": lambda: tampered(
        nm.fit(ESTIMATORS["forest"]), lambda m: m.estimators_.__setitem__(0, as_subclass(m.estimators_[0]))),
    "integer targets": lambda: tampered(nm.fit(ESTIMATORS["neighbours"]), lambda m: setattr(m, "_y", m._y.astype(int))),
}


def poisson_fit(estimator):
    # the poisson loss needs positive targets
    models = nm.fit(DecisionTreeRegressor())
    for curve, model in models["PLD"].items():
        X, y = nm.training_rows(np.random.default_rng(1), model.n_features_in_, 200)
        models["PLD"][curve] = sklearn.base.clone(estimator).fit(X, np.exp(y / 3))
    return models


GUARDED["a log link"] = lambda: poisson_fit(HistGradientBoostingRegressor(max_iter=5, loss="poisson"))


@pytest.mark.parametrize("case", GUARDED)
def test_anything_not_vouched_for_predicts_itself(monkeypatch, case):
    models = GUARDED[case]()
    frame, table = nm.devices(5), nm.config()
    validations = nm.Validations(monkeypatch)
    assert nm.compare(models, frame, table, exact=True) == []
    # the estimator's own predict saw the stacked rows (or the rows of each device)
    assert validations.rows


@pytest.mark.parametrize("method", ["predict", "kneighbors"])
def test_a_patched_class_method_is_run(monkeypatch, method):
    models = nm.fit(ESTIMATORS["neighbours"])
    frame, table = nm.devices(4), nm.config()
    original, seen = getattr(KNeighborsRegressor, method), []

    def patched(self, *args, **kwargs):
        seen.append(len(args[0]) if args else 0)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(KNeighborsRegressor, method, patched)
    assert nm.compare(models, frame, table, exact=True) == []
    assert seen and max(seen) > 101  # the stacked rows went through it


def test_fitted_state_changed_between_calls_is_read_again():
    models = nm.fit(ESTIMATORS["tree"])
    frame, table = nm.devices(4), nm.config()
    first = batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
    for model in models["PLD"].values():
        model.tree_.value[:] = 7.5  # every leaf now says 7.5
    second = batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
    assert first != second
    assert {v for records in second for r in records for v in r["_y_coords"][0]} == {7.5}
