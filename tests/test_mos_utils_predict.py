"""korva.curve.mos_utils predictions: submodel stacks, the query matrix and the log/linear blend of
one curve, the curve records of the driver, failures in step order, and late binding of globals."""
import types

import numpy as np
import pandas as pd
import pytest
from sklearn.ensemble import VotingRegressor
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.tree import DecisionTreeRegressor

from curve_models import smoothstep as smoothstep_formula
import korva.curve.mos_utils as mu

CONFIG = mu._DEVICE_CONFIG
PLD_INPUTS = pd.Series({"Finger Width": 1.5, "Length": 0.25, "nf": 4.0, "Si pitch": 0.7, "A": 1.1, "B": 9.0,
                        "C": 3.3, "E": 5.5})
NLD_INPUTS = pd.Series({"A": 0.1, "B": 0.2, "C": 0.3, "D": 0.4, "E": 0.5, "Unused": 7.0})


class Recorder:
    """A model that keeps every query it receives and predicts a fixed linear function of it."""

    def __init__(self, offset=0.0, scale=1.0):
        self.offset, self.scale, self.queries = offset, scale, []

    def predict(self, X):
        self.queries.append(X)
        return self.offset + self.scale * np.sin(np.asarray(X, dtype=float).sum(axis=1))


def ensemble(*estimators):
    vr = VotingRegressor([(f"m{i}", LinearRegression()) for i in range(len(estimators))])
    vr.estimators_ = list(estimators)  # fitted submodels as the ensemble exposes them
    return vr


def fitted_ensemble(n_features, seed=0):
    rng = np.random.default_rng(seed)
    X, y = rng.normal(size=(60, n_features)), rng.normal(size=60)
    return VotingRegressor([("lin", LinearRegression()), ("ridge", Ridge(alpha=2.0)),
                            ("tree", DecisionTreeRegressor(max_depth=3, random_state=seed))]).fit(X, y)


def expected_blend(log_stack, linear_stack, N):
    weights = smoothstep_formula(np.linspace(0, 1, num=log_stack.shape[1]), 0, 1, N)
    return log_stack * (1 - weights) + np.log10(np.clip(linear_stack, 1e-14, None)) * weights


def query(static, variant, x):
    return np.hstack([np.tile(np.array(list(static) + list(variant), dtype=float), (len(x), 1)), x.reshape(-1, 1)])


# ---- _predict_from_submodels --------------------------------------------------------------------

def test_ensemble_gives_one_row_per_estimator():
    vr = fitted_ensemble(8)
    X = np.random.default_rng(1).normal(size=(101, 8))
    got = mu._predict_from_submodels(vr, X)
    assert got.shape == (3, 101)
    assert np.array_equal(got, np.array([est.predict(X) for est in vr.estimators_]))
    assert not np.allclose(got[0], vr.predict(X))


def test_plain_model_and_call_protocol():
    model, X = Recorder(), np.ones((101, 8))
    got = mu._predict_from_submodels(model, X)
    assert got.shape == (1, 101) and np.array_equal(got[0], Recorder().predict(X))
    assert len(model.queries) == 1 and model.queries[0] is X
    parts = [Recorder(i) for i in range(4)]
    assert mu._predict_from_submodels(ensemble(*parts), X=X).shape == (4, 101)
    assert [len(p.queries) for p in parts] == [1] * 4


def test_empty_ensemble():
    got = mu._predict_from_submodels(ensemble(), np.ones((5, 2)))
    assert got.shape == (0,)


class PredictRaises:
    def __init__(self, error):
        self.error = error

    @property
    def predict(self):
        raise self.error


@pytest.mark.parametrize("model, error, message", [
    ({"predict": 1}, ValueError, "Model must have a 'predict' method or be a VotingRegressor."),
    (PredictRaises(AttributeError("gone")), ValueError,
     "Model must have a 'predict' method or be a VotingRegressor."),
    (PredictRaises(RuntimeError("broken")), RuntimeError, "broken"),
    (VotingRegressor([("lin", LinearRegression())]), AttributeError, "estimators_"),
])
def test_submodel_errors(model, error, message):
    with pytest.raises(error) as info:
        mu._predict_from_submodels(model, np.ones((3, 2)))
    assert message in str(info.value)


# ---- _predict_single_curve: the query matrix -------------------------------------------------------

@pytest.mark.parametrize("device, curve, variant, static, width", [
    ("PLD", "breakdown", {}, [1.5, 0.25, 4.0, 0.7, 1.1, 3.3, 5.5], 8),
    ("PLD", "id-vg-sat", {"Vb": 0.82}, [1.5, 0.25, 4.0, 0.7, 1.1, 3.3, 5.5, 0.82], 9),
    ("PLD", "id-vd-3.3", {"Vg": -2.6}, [1.5, 0.25, 4.0, 0.7, 1.1, 3.3, 5.5, -2.6], 9),
    ("NLD", "id-vd", {}, None, 8),
])
def test_query_matrix_columns(device, curve, variant, static, width):
    inputs = PLD_INPUTS if device == "PLD" else NLD_INPUTS
    if static is None:
        t = CONFIG["NLD"]["INPUT_TRANSFORM"](inputs)
        static = [t[k] for k in ("A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP")]
    log_model, linear_model = Recorder(), Recorder(1e-9)
    models = {device: {curve: log_model, curve + ".linear": linear_model}}
    x = CONFIG[device]["CURVE_INFO"][curve]["x_range"]
    mu._predict_single_curve(models, inputs, device, curve, variant, x, auto_linear_blend=2)
    (X,), (X_linear,) = log_model.queries, linear_model.queries
    assert X is X_linear  # one query matrix serves both models
    assert X.shape == (101, width)
    assert np.array_equal(X, query(static, [], x))


def test_empty_config_means_the_table_and_custom_configs_are_used_as_given():
    models = {"NLD": {"id-vg": Recorder()}}
    x = np.linspace(0, 6, 101)
    a = mu._predict_single_curve(models, NLD_INPUTS, "NLD", "id-vg", {}, x)
    b = mu._predict_single_curve(models, NLD_INPUTS, "NLD", "id-vg", {}, x, {})
    assert np.array_equal(a, b)
    custom = {"BASE_INPUT_COLS": ["B", "A"]}  # no transform: the raw inputs are selected
    model = Recorder()
    mu._predict_single_curve({"X": {"c": model}}, NLD_INPUTS, "X", "c", {"Vz": 2.0}, x[:3], custom)
    assert np.array_equal(model.queries[0], query([0.2, 0.1, 2.0], [], x[:3]))


# ---- _predict_single_curve: blending ---------------------------------------------------------------

@pytest.mark.parametrize("linear, kwargs", [
    (False, {"auto_linear_blend": 5}),
    (True, {}),
    (True, {"auto_linear_blend": 0}),
    (True, {"auto_linear_blend": -2.5}),
])
def test_no_blend_returns_the_log_stack(linear, kwargs):
    log_model, linear_model = fitted_ensemble(9, seed=3), Recorder()
    models = {"PLD": {"id-vg-lin": log_model, **({"id-vg-lin.linear": linear_model} if linear else {})}}
    x = CONFIG["PLD"]["CURVE_INFO"]["id-vg-lin"]["x_range"]
    got = mu._predict_single_curve(models, PLD_INPUTS, "PLD", "id-vg-lin", {"Vb": 1.65}, x, None, unused=1, **kwargs)
    X = query([1.5, 0.25, 4.0, 0.7, 1.1, 3.3, 5.5, 1.65], [], x)
    assert np.array_equal(got, np.array([est.predict(X) for est in log_model.estimators_]))
    assert linear_model.queries == []


@pytest.mark.parametrize("blend, order", [(5, 5), (3, 3), (0.5, 0), (3.9, 3), (True, 1)])
def test_blend_follows_the_smoothstep_ramp(blend, order):
    log_model = fitted_ensemble(8, seed=4)
    linear_model = ensemble(Recorder(2e-6, 3e-6), Recorder(0.0, 1e-3), Recorder(-1.0, 0.5))  # some <= 0
    models = {"PLD": {"breakdown": log_model, "breakdown.linear": linear_model}}
    x = CONFIG["PLD"]["CURVE_INFO"]["breakdown"]["x_range"]
    got = mu._predict_single_curve(models, PLD_INPUTS, "PLD", "breakdown", {}, x, auto_linear_blend=blend)
    X = linear_model.estimators_[0].queries[0]
    log_stack = np.array([est.predict(X) for est in log_model.estimators_])
    linear_stack = np.array([est.predict(X) for est in linear_model.estimators_])
    assert np.array_equal(got, expected_blend(log_stack, linear_stack, order))
    assert np.array_equal(got[:, 0], log_stack[:, 0])
    assert np.array_equal(got[:, -1], np.log10(np.clip(linear_stack[:, -1], 1e-14, None)))
    assert got[2, -1] == -14.0  # every prediction of the third linear submodel is floored


@pytest.mark.parametrize("n_log, n_lin, pairs", [
    (2, 3, [(0, 0), (1, 1), (0, 2)]),
    (3, 1, [(0, 0), (1, 0), (2, 0)]),
    (3, 5, [(0, 0), (1, 1), (2, 2), (0, 3), (1, 4)]),
    (5, 2, [(0, 0), (1, 1), (2, 0), (3, 1), (4, 0)]),
])
def test_unequal_stacks_are_paired_by_repetition(n_log, n_lin, pairs):
    logs = [Recorder(-5.0 - i) for i in range(n_log)]
    lins = [Recorder(10.0 ** -(i + 3), 1e-9) for i in range(n_lin)]
    models = {"NLD": {"id-vg": ensemble(*logs), "id-vg.linear": ensemble(*lins)}}
    x = np.linspace(0, 6, 11)
    got = mu._predict_single_curve(models, NLD_INPUTS, "NLD", "id-vg", {}, x, auto_linear_blend=3)
    X = logs[0].queries[0]
    want = [expected_blend(logs[i].predict(X)[None], lins[j].predict(X)[None], 3)[0] for i, j in pairs]
    assert np.array_equal(got, np.array(want))


def test_single_point_curve_keeps_the_log_prediction():
    log_model = Recorder(-7.0)
    models = {"NLD": {"id-vd": log_model, "id-vd.linear": Recorder(1e-3)}}
    got = mu._predict_single_curve(models, NLD_INPUTS, "NLD", "id-vd", {}, np.array([2.0]), auto_linear_blend=3)
    assert np.array_equal(got, log_model.predict(log_model.queries[0])[None])


def test_linear_model_name_is_formatted_from_the_curve_type():
    log_model, linear_model = Recorder(-3.0), Recorder(0.5)
    models = {"dev": {7: log_model, "7.linear": linear_model}}
    config = {"BASE_INPUT_COLS": ["A"]}
    mu._predict_single_curve(models, NLD_INPUTS, "dev", 7, {}, np.linspace(0, 1, 5), config, auto_linear_blend=1)
    assert len(linear_model.queries) == 1


SINGLE_CURVE_ERRORS = [  # (arguments, keyword arguments, error, first words of the message)
    (({"ABC": {}}, PLD_INPUTS, "ABC", "breakdown", {}, np.ones(3)), {}, KeyError, "'ABC'"),
    (({"PLD": {}}, None, "PLD", "breakdown", {}, np.ones(3)), {}, KeyError, "'breakdown'"),  # before inputs
    (({"PLD": {"breakdown": Recorder()}}, NLD_INPUTS, "PLD", "breakdown", {}, np.ones(3)), {}, KeyError, ""),
    (({"NLD": {"id-vg": Recorder()}}, PLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)), {}, KeyError, "'D'"),
    (({"NLD": {"id-vg": Recorder()}}, NLD_INPUTS, "NLD", "id-vg", {}, [0.0, 1.0]), {}, AttributeError, "'list'"),
    (({"NLD": {"id-vg": {}}}, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)), {}, ValueError, "Model must"),
    (({"NLD": {"id-vg": Recorder(), "id-vg.linear": Recorder()}}, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)),
     {"auto_linear_blend": None}, TypeError, "'>' not supported"),
    (({"NLD": {"id-vg": Recorder(), "id-vg.linear": ensemble()}}, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)),
     {"auto_linear_blend": 3}, ZeroDivisionError, ""),
    (({"NLD": {"id-vg": ensemble(), "id-vg.linear": Recorder()}}, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)),
     {"auto_linear_blend": 3}, ZeroDivisionError, ""),
    (({"NLD": {"id-vg": Recorder(), "id-vg.linear": {}}}, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3)),
     {"auto_linear_blend": 3}, ValueError, "Model must"),
]


@pytest.mark.parametrize("args, kwargs, error, message", SINGLE_CURVE_ERRORS)
def test_single_curve_failures(args, kwargs, error, message):
    with pytest.raises(error) as info:
        mu._predict_single_curve(*args, **kwargs)
    assert str(info.value).startswith(message)


# ---- predict_curves_for_inputs -------------------------------------------------------------------

RECORD_KEYS = ["curve_type", "curve_variant", "_variant_dict", "x_coords", "y_coords", "y_coords_std", "_y_coords",
               "x_label", "x_unit", "y_label", "y_unit"]


@pytest.fixture(scope="module")
def pld_models():
    models = {}
    for curve, entry in CONFIG["PLD"]["CURVE_INFO"].items():
        width = 8 + len(entry["input_cols"])
        models[curve] = fitted_ensemble(width, seed=len(models))
        models[curve + ".linear"] = ensemble(Recorder(1e-6, 1e-6), Recorder(1e-5, 2e-6))
    return {"PLD": models}


def test_pld_records(pld_models):
    records = mu.predict_curves_for_inputs(pld_models, PLD_INPUTS, "PLD")
    assert len(records) == 21
    assert [(r["curve_type"], r["curve_variant"]) for r in records] == [
        (curve, None if label == "default" else label)
        for curve, entry in CONFIG["PLD"]["CURVE_INFO"].items() for label in entry["variants"]]
    for record in records:
        assert list(record) == RECORD_KEYS
        entry = CONFIG["PLD"]["CURVE_INFO"][record["curve_type"]]
        label = record["curve_variant"] or "default"
        assert record["_variant_dict"] is entry["variants"][label]
        stack = mu._predict_single_curve(pld_models, PLD_INPUTS, "PLD", record["curve_type"],
                                         record["_variant_dict"], entry["x_range"], auto_linear_blend=5)
        assert stack.shape == (3, 101)
        assert record["x_coords"] == entry["x_range"].tolist() and type(record["x_coords"][0]) is float
        assert record["y_coords"] == np.mean(stack, axis=0).tolist()
        assert record["y_coords_std"] == np.std(stack, axis=0).tolist()
        assert record["_y_coords"] == stack.tolist()
        assert [record[k] for k in RECORD_KEYS[7:]] == [entry[k] for k in ("x_label", "x_unit", "y_label", "y_unit")]
    sat = [r for r in records if r["curve_type"] == "id-vg-sat"]
    assert all(len(r["x_coords"]) == 101 and r["x_coords"][0] == -0.1 and r["x_coords"][-1] == 3.65 for r in sat)


def test_nld_records_with_single_submodels():
    models = {"NLD": {"id-vg": Recorder(-6.0), "id-vd": Recorder(-4.0), "id-vd.linear": Recorder(1e-4, 1e-5)}}
    records = mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD")
    assert [(r["curve_type"], r["curve_variant"], r["_variant_dict"]) for r in records] == [
        ("id-vg", None, {}), ("id-vd", None, {})]
    for record in records:
        assert record["_y_coords"] == [record["y_coords"]]
        assert record["y_coords_std"] == [0.0] * 101
    assert records[0]["x_label"] == "Vg" and records[1]["y_label"] == "log10(Id)"


@pytest.mark.parametrize("curve_types, expected", [
    (["id-vd-0", "breakdown"], ["id-vd-0"] * 5 + ["breakdown"]),
    (["breakdown", "breakdown"], ["breakdown", "breakdown"]),
    ((c for c in ["id-vg-lin"]), ["id-vg-lin"] * 5),
], ids=["list", "repeated", "generator"])
def test_curve_types_select_and_order(pld_models, curve_types, expected):
    records = mu.predict_curves_for_inputs(pld_models, PLD_INPUTS, "PLD", curve_types)
    assert [r["curve_type"] for r in records] == expected


def test_empty_curve_types_predict_nothing():
    assert mu.predict_curves_for_inputs({}, None, "NLD", curve_types=[]) == []


def test_mutating_a_variant_dict_reaches_the_table():
    models = {"PLD": {"id-vg-sat": Recorder()}}
    table_variant = CONFIG["PLD"]["CURVE_INFO"]["id-vg-sat"]["variants"]["Vb=0.82"]
    record = mu.predict_curves_for_inputs(models, PLD_INPUTS, "PLD", ["id-vg-sat"])[1]
    try:
        record["_variant_dict"]["Vb"] = 9.5
        assert table_variant == {"Vb": 9.5}
        models["PLD"]["id-vg-sat"].queries.clear()
        mu.predict_curves_for_inputs(models, PLD_INPUTS, "PLD", ["id-vg-sat"])
        assert models["PLD"]["id-vg-sat"].queries[1][0, -2] == 9.5
    finally:
        table_variant["Vb"] = 0.82


def single_curve_in_python(models, device_inputs, device_type, curve_type, variant, x_coords, config=None,
                           **pred_kwargs):
    """Same parameters as the module's function: gives the interpreter's own binding errors."""


single_curve_in_python.__module__ = "korva.curve.mos_utils"
single_curve_in_python.__qualname__ = "_predict_single_curve"


class KeyErrorMapping:
    def keys(self):
        return ["auto_linear_blend"]

    def __getitem__(self, key):
        raise KeyError(key)


@pytest.mark.parametrize("params", [5, None, [("a", 1)], {"config": 1}, {"models": 1, "x": 2}, {1: 2},
                                    KeyErrorMapping()], ids=repr)
def test_prediction_params_are_unpacked_like_the_interpreter_does(params):
    config = {**CONFIG["NLD"], "PREDICTION_PARAMS": params}
    models = {"NLD": {"id-vg": Recorder(), "id-vd": Recorder()}}
    with pytest.raises(TypeError) as want:
        single_curve_in_python(models, NLD_INPUTS, "NLD", "id-vg", {}, np.ones(3), config, **params)
    with pytest.raises(TypeError) as got:
        mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", config=config)
    assert str(got.value) == str(want.value)
    assert got.value.__context__ is None and got.value.__cause__ is None


def test_mapping_prediction_params():
    class Params:
        def keys(self):
            return ["auto_linear_blend"]

        def __getitem__(self, key):
            return 3

    models = {"NLD": {"id-vg": Recorder(-5.0), "id-vg.linear": Recorder(1e-3)}}
    config = {**CONFIG["NLD"], "PREDICTION_PARAMS": Params()}
    got = mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", ["id-vg"], config)
    assert got == mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", ["id-vg"])
    assert got[0]["_y_coords"][0][0] == -5.0 + np.sin(models["NLD"]["id-vg"].queries[0][0].sum())


@pytest.mark.parametrize("args, error, message", [
    (({}, PLD_INPUTS, "XYZ"), KeyError, "'XYZ'"),
    (({}, PLD_INPUTS, "PLD", None, ["not", "a", "mapping"]), AttributeError, "'list' object has no attribute 'get'"),
    (({"PLD": {"breakdown": Recorder()}}, PLD_INPUTS, "PLD", ["breakdown", "nope"]), KeyError, "'nope'"),
    (({"NLD": {"id-vg": Recorder()}}, NLD_INPUTS, "NLD", "id-vg"), KeyError, "'i'"),
    (({"NLD": {"id-vg": Recorder()}}, NLD_INPUTS, "NLD"), KeyError, "'id-vd'"),
])
def test_driver_failures(args, error, message):
    with pytest.raises(error) as info:
        mu.predict_curves_for_inputs(*args)
    assert str(info.value) == message


# ---- late binding --------------------------------------------------------------------------------

def test_globals_are_looked_up_at_each_call(monkeypatch):
    models = {"NLD": {"id-vg": Recorder(-5.0), "id-vg.linear": Recorder(1e-3, 1e-4)}}
    before = mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", ["id-vg"])

    monkeypatch.setattr(mu, "_smoothstep", lambda x, x_min, x_max, N: np.ones_like(x))
    only_linear = mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", ["id-vg"])
    assert only_linear[0]["y_coords"] == np.log10(models["NLD"]["id-vg.linear"].predict(
        models["NLD"]["id-vg"].queries[-1])).tolist()
    monkeypatch.undo()

    calls = []
    monkeypatch.setattr(mu, "_predict_from_submodels", lambda model, X: calls.append(X) or np.zeros((2, len(X))))
    records = mu.predict_curves_for_inputs({"NLD": {"id-vg": Recorder()}}, NLD_INPUTS, "NLD", ["id-vg"])
    assert len(calls) == 1 and records[0]["_y_coords"] == [[0.0] * 101] * 2
    monkeypatch.undo()

    numpy_calls = []

    def counting(name):
        def call(*args, **kwargs):
            numpy_calls.append(name)
            return getattr(np, name)(*args, **kwargs)
        return call

    monkeypatch.setattr(mu, "np", types.SimpleNamespace(**{n: counting(n) for n in (
        "array", "clip", "log10", "ceil", "tile", "hstack", "linspace", "mean", "std")}))
    assert mu.predict_curves_for_inputs(models, NLD_INPUTS, "NLD", ["id-vg"]) == before
    assert numpy_calls == ["tile", "hstack", "array", "array", "clip", "log10", "linspace", "clip", "array",
                           "mean", "std"]


def test_table_comb_and_ensemble_class_are_late_bound(monkeypatch):
    x = np.linspace(0, 1, 4)
    monkeypatch.setattr(mu, "_DEVICE_CONFIG", {"NLD": {"BASE_INPUT_COLS": ["A"], "CURVE_INFO": {}}})
    assert mu._predict_single_curve({"NLD": {"c": Recorder()}}, NLD_INPUTS, "NLD", "c", {}, x).shape == (1, 4)
    assert mu.predict_curves_for_inputs({}, NLD_INPUTS, "NLD") == []
    vr, X = fitted_ensemble(2), np.ones((3, 2))
    monkeypatch.setattr(mu, "VotingRegressor", Recorder)  # the ensemble now counts as one plain model
    assert np.array_equal(mu._predict_from_submodels(vr, X), vr.predict(X)[None])
    monkeypatch.setattr(mu, "comb", lambda a, b: 0.0)
    assert mu._smoothstep(np.array([0.3, 0.7]), N=2).tolist() == [0.0, 0.0]
