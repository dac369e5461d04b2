"""The single-device fast path of predict_curves_for_inputs: under its guards it must hand every
estimator the same query matrices, in the same order, raise the same exceptions after the same
calls, and return the same records as the literal steps; whenever a guard fails the literal
steps run. Which path ran shows in pandas.concat, which only the literal steps call."""
import functools
import types

import numpy as np
import pandas as pd
import pytest
from scipy.special import comb
from sklearn.linear_model import Lasso, LinearRegression, Ridge
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor

import curve_models as cm
from korva.curve import mos_utils

ESTIMATOR_CLASSES = (LinearRegression, Ridge, DecisionTreeRegressor, KNeighborsRegressor, Lasso)


@pytest.fixture(scope="module")
def models():
    return cm.all_models(n_estimators=5, linear_estimators=3)


@pytest.fixture
def concat_calls(monkeypatch):
    calls, original = [], pd.concat
    monkeypatch.setattr(pd, "concat", lambda *a, **k: calls.append(1) or original(*a, **k))
    return calls


@pytest.fixture
def predict_log(monkeypatch):
    """Every estimator predict, in call order: (estimator, query matrix bytes, its shape)."""
    log = []
    for cls in ESTIMATOR_CLASSES:
        def predict(estimator, X, _original=cls.predict):
            log.append((id(estimator), X.dtype, X.shape, X.flags.c_contiguous, X.tobytes()))
            return _original(estimator, X)
        monkeypatch.setattr(cls, "predict", predict)
    return log


@pytest.fixture
def literal(monkeypatch):
    """Runs a call on the literal steps: mos_utils's comb replaced by an equal but foreign callable."""
    def run(*args, **kwargs):
        with monkeypatch.context() as patch:
            patch.setattr(mos_utils, "comb", functools.partial(comb))
            return mos_utils.predict_curves_for_inputs(*args, **kwargs)
    return run


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as error:
        return (type(error), str(error))


CASES = {
    "PLD": ("PLD", None, None),
    "PLD subset": ("PLD", ["id-vd-3.3", "breakdown"], None),
    "NLD": ("NLD", None, None),
    "NLD own config": ("NLD", ["id-vd"], {"BASE_INPUT_COLS": ["HP", "A", "B", "S", "C+D+E", "(C+D)/(C+D+E)", "W"],
                                          "PREDICTION_PARAMS": {"auto_linear_blend": 0.5}}),
    "PLD no blend": ("PLD", ["id-vg-lin"], {"PREDICTION_PARAMS": {}}),
}


def case_config(device_type, extra):
    if extra is None:
        return None
    return dict(mos_utils._DEVICE_CONFIG[device_type], **extra)


@pytest.mark.parametrize("case", CASES)
def test_fast_path_is_the_literal_path(models, literal, predict_log, concat_calls, case):
    device_type, curve_types, extra = CASES[case]
    config = case_config(device_type, extra)
    for device in cm.device_inputs(device_type, 3, seed=21):
        expected = literal(models, device, device_type, curve_types, config)
        expected_calls = predict_log[:]
        predict_log.clear()
        concat_calls.clear()
        got = mos_utils.predict_curves_for_inputs(models, device, device_type, curve_types, config)
        assert not concat_calls  # the fast path ran
        assert got == expected
        assert predict_log == expected_calls  # same estimators, same order, same matrices
        predict_log.clear()


class FailingOnCall:
    """A plain model that raises on its n-th predict call."""

    def __init__(self, n):
        self.n, self.calls = n, 0

    def predict(self, X):
        self.calls += 1
        if self.calls == self.n:
            raise RuntimeError(f"call {self.n}")
        return np.full(len(X), 1e-6)


@pytest.mark.parametrize("failure", ["model raises", "missing later model", "NaN input", "missing input"])
def test_exceptions_come_at_the_same_step(models, literal, predict_log, failure):
    device = cm.pld_inputs(1, seed=4)[0]
    broken = {"PLD": dict(models["PLD"])}
    if failure == "model raises":
        broken["PLD"]["id-vg-lin.linear"] = FailingOnCall(3)
    elif failure == "missing later model":
        del broken["PLD"]["id-vd-0"]
    elif failure == "NaN input":
        device = device.copy()
        device["Length"] = np.nan
    else:
        device = device.drop("Length")
    expected = outcome(literal, broken, device, "PLD")
    expected_calls = predict_log[:]
    predict_log.clear()
    if failure == "model raises":
        broken["PLD"]["id-vg-lin.linear"] = FailingOnCall(3)
    assert outcome(mos_utils.predict_curves_for_inputs, broken, device, "PLD") == expected
    assert isinstance(expected, tuple) and predict_log == expected_calls


class OwnSeries(pd.Series):
    pass


def own_transform(d):
    return pd.Series({"A": d["A"], "B": d["B"], "C+D+E": d["C"], "C/(C+D+E)": 0.5, "(C+D)/(C+D+E)": d["D"],
                      "S": d["E"], "HP": 1.0})


GUARDS = {
    "replaced global": ("PLD", lambda d: d, None, ("comb", functools.partial(comb))),
    "Series subclass": ("PLD", OwnSeries, None, None),
    "object Series": ("PLD", lambda d: d.astype(object), None, None),
    "own transform": ("NLD", lambda d: d, {"INPUT_TRANSFORM": own_transform}, None),
    "exotic config": ("NLD", lambda d: d, "mapping proxy", None),
    "numpy blend order": ("PLD", lambda d: d, {"PREDICTION_PARAMS": {"auto_linear_blend": np.int64(2)}}, None),
}


@pytest.mark.parametrize("guard", GUARDS)
def test_a_failing_guard_takes_the_literal_steps(monkeypatch, models, concat_calls, guard):
    device_type, make_inputs, extra, replaced = GUARDS[guard]
    plain = cm.device_inputs(device_type, 1, seed=8)[0]
    if extra == "mapping proxy":
        config = types.MappingProxyType(mos_utils._DEVICE_CONFIG[device_type])
    else:
        config = case_config(device_type, extra)
    # the reference: the replay of the algorithm in plain Python, on the plain inputs
    expected = cm.replay_curves(models, plain, device_type, config or mos_utils._DEVICE_CONFIG[device_type])
    if replaced:
        monkeypatch.setattr(mos_utils, *replaced)
    got = mos_utils.predict_curves_for_inputs(models, make_inputs(plain), device_type, None, config)
    assert concat_calls  # the literal steps ran
    assert got == expected
