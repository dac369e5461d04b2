"""Hostile callbacks against the curve core: a model's predict, a curve type's formatting or a
replaced allocator that frees, patches, resizes or raises while korva holds or reads what they
touch. The single-device function must give what its literal steps give (records or the same
exception) whatever they do; the batch must give a result or a Python exception, and the literal
steps' records whenever the callbacks leave the data as it was. Each case runs in a fresh
interpreter, so that a crash fails the case rather than the test run."""
import functools
import warnings
from pathlib import Path

import numpy as np
import pytest
from sklearn.ensemble import VotingRegressor

import curve_models as cm
from conftest import run_json
from korva.curve import mos_utils

TESTS = str(Path(__file__).resolve().parent)

# In the child: fresh models, device and configuration for every run (the callbacks change them),
# the module globals restored after every run, and the literal steps forced by an equal but
# foreign _predict_from_submodels (the batch takes that one device by device).
_CHILD = r'''
import copy, functools, json, sys
sys.path.insert(0, TESTS)
import numpy as np, pandas as pd
import curve_models as cm
from korva.curve import batch, mos_utils

MODELS = cm.all_models(n_estimators=2, linear_estimators=2)
TABLE = mos_utils._DEVICE_CONFIG["PLD"]
SAVED = {m: dict(vars(m)) for m in (mos_utils, batch)}
NP_EMPTY = np.empty

def restore():
    np.empty = NP_EMPTY
    for module, names in SAVED.items():
        for name in set(vars(module)) - set(names):
            delattr(module, name)
        for name, value in names.items():
            setattr(module, name, value)

def once(action):
    """A model wrapper whose first predict runs `action` first."""
    class Hostile:
        done = False
        def __init__(self, inner):
            self.inner = inner
        def predict(self, X):
            if not Hostile.done:
                Hostile.done = True
                action()
            return self.inner.predict(X)
    return Hostile

def fresh():
    models = {"PLD": dict(MODELS["PLD"])}
    device = cm.pld_inputs(1, seed=3)[0]
    config = dict(TABLE, CURVE_INFO=copy.deepcopy(TABLE["CURVE_INFO"]),
                  PREDICTION_PARAMS=dict(TABLE["PREDICTION_PARAMS"]))
    return dict(models=models, device=device, config=config, curve_types=None)

def outcome(call):
    try:
        return ["ok", repr(call())]
    except Exception as error:
        return ["raised", type(error).__name__, str(error)]

def run(kind, literal):
    state = fresh()
    setup(state)
    if literal:
        mos_utils._predict_from_submodels = functools.partial(mos_utils._predict_from_submodels)
    s = state
    try:
        if kind == "single":
            return outcome(lambda: mos_utils.predict_curves_for_inputs(
                s["models"], s["device"], "PLD", s["curve_types"], s["config"]))
        if kind == "batch":
            frame = pd.DataFrame([s["device"]] * 3, index=["a", "b", "c"])
            return outcome(lambda: batch.predict_curves_for_frame(
                s["models"], frame, "PLD", s["curve_types"], s["config"], exact=True))
        device = s["device"]
        return outcome(lambda: [mos_utils.predict_curves_for_inputs(
            s["models"], device.copy(), "PLD", s["curve_types"], s["config"]) for _ in range(3)])
    finally:
        restore()

result = {"literal": run("single", True), "single": run("single", False),
          "literal batch": run("literal batch", True), "batch": run("batch", False)}
print(json.dumps(result))
'''

# name -> (setup(state) in the child's terms, whether the data stay as they were)
CASES = {
    # frees: what the plan read is rebound or deleted while it holds it
    "curve type's format rebinds the models": ('''
kept = []
class Named(str):
    def __format__(self, spec):
        state["models"]["PLD"] = dict(state["models"]["PLD"])  # an equal dict; the old one is freed
        kept.extend({} for _ in range(4))  # and its memory taken by empty dicts
        return str.__format__(self, spec)
state["curve_types"] = [Named("id-vg-lin")]
''', True),
    "predict deletes a later curve's model": ('''
m = state["models"]["PLD"]
m["id-vg-sat"] = once(lambda: m.pop("id-vd-0"))(m["id-vg-sat"])
''', False),
    "predict drops the linear model": ('''
m = state["models"]["PLD"]
m["id-vg-sat"] = once(lambda: m.pop("id-vg-lin.linear"))(m["id-vg-sat"])
''', False),
    # patches: prediction parameters, the device's Series, module globals
    "predict sets auto_linear_blend to 0": ('''
m, params = state["models"]["PLD"], state["config"]["PREDICTION_PARAMS"]
m["breakdown"] = once(lambda: params.update(auto_linear_blend=0))(m["breakdown"])
''', False),
    "predict changes the device Series": ('''
m, device = state["models"]["PLD"], state["device"]
m["breakdown"] = once(lambda: device.__setitem__("Length", 0.75))(m["breakdown"])
''', False),
    "predict replaces _smoothstep": ('''
m = state["models"]["PLD"]
def swap():
    mos_utils._smoothstep = lambda x, x_min=0, x_max=1, N=1: np.clip(x, 0, 1) ** 2
m["breakdown"] = once(swap)(m["breakdown"])
''', False),
    "predict deletes comb": ('''
m = state["models"]["PLD"]
m["breakdown"] = once(lambda: delattr(mos_utils, "comb"))(m["breakdown"])
''', False),
    "comb deleted, no blend asked for": ('''
del mos_utils.comb
state["config"]["PREDICTION_PARAMS"] = {}
''', True),
    # resizes and reshapes: x ranges, allocations
    "predict resizes the next x range": ('''
m, curves = state["models"]["PLD"], state["config"]["CURVE_INFO"]
m["breakdown"] = once(lambda: curves["id-vg-sat"]["x_range"].resize(2, refcheck=False))(m["breakdown"])
''', False),
    "predict reshapes the next x range": ('''
m, curves = state["models"]["PLD"], state["config"]["CURVE_INFO"]
m["breakdown"] = once(lambda: curves["id-vg-sat"]["x_range"].resize((5, 1), refcheck=False))(m["breakdown"])
''', False),
    "predict resizes the x range in use": ('''
m, curves = state["models"]["PLD"], state["config"]["CURVE_INFO"]
m["id-vg-sat"] = once(lambda: curves["id-vg-sat"]["x_range"].resize(7, refcheck=False))(m["id-vg-sat"])
''', False),
    "numpy.empty gives short query matrices": ('''
def short(shape, *args, **kwargs):
    if args or kwargs or not (isinstance(shape, tuple) and len(shape) == 2 and shape[1] == 9):
        return NP_EMPTY(shape, *args, **kwargs)
    return NP_EMPTY((shape[0] // 4, 9))
np.empty = short
''', True),
    "batch's np gives Fortran-order stacks": ('''
class Stand_in:
    def __getattr__(self, name):
        return getattr(np, name)
    def empty(self, shape, *args, **kwargs):
        return NP_EMPTY(shape, order="F" if len(shape) == 3 else "C")
batch.np = Stand_in()
''', True),
    "batch's np gives short arrays": ('''
class Stand_in:
    def __getattr__(self, name):
        return getattr(np, name)
    def empty(self, shape, *args, **kwargs):
        shape = (shape,) if isinstance(shape, int) else tuple(shape)
        return NP_EMPTY((max(shape[0] // 3, 1),) + shape[1:]) if shape and shape[0] > 1 else NP_EMPTY(shape)
batch.np = Stand_in()
''', True),
}


@pytest.mark.parametrize("case", CASES)
def test_hostile_callbacks(case):
    setup, data_kept = CASES[case]
    code = f"TESTS = {TESTS!r}\ndef setup(state):\n" + "".join(f"    {line}\n" for line in setup.splitlines())
    out = run_json(code + _CHILD)
    assert out["single"] == out["literal"]
    assert out["batch"][:2] != ["raised", "SystemError"]
    if data_kept:
        assert out["batch"] == out["literal batch"]


# ---- floating-point modes --------------------------------------------------------------------------

class Constant:
    """Predicts `value` everywhere, with `at` {point: value} instead at those points of each curve."""

    def __init__(self, value, at=None):
        self.value, self.at = value, at or {}

    def predict(self, X):
        y = np.full(len(X), self.value)
        for point, value in self.at.items():
            y[point::101] = value
        return y


def ensemble(*estimators):
    model = VotingRegressor([(f"e{i}", e) for i, e in enumerate(estimators)])
    model.estimators_ = list(estimators)
    return model


@pytest.mark.parametrize("mode", ["errstate", "warnings"])
def test_raising_floating_point_modes_report_the_literal_operation(mode):
    # Row 0 meets -inf + inf at point 50 (the literal steps' first failure: "in add"); row 1 has
    # inf * 0 at point 0, which whole-array products would report first ("in multiply").
    models = {"PLD": {"breakdown": ensemble(Constant(-11.0, {50: -np.inf}), Constant(-11.0)),
                      "breakdown.linear": ensemble(Constant(1e-9, {50: np.inf}), Constant(1e-9, {0: np.inf}))}}
    device = cm.pld_inputs(1, seed=3)[0]

    def outcome(literal):
        with warnings.catch_warnings(), np.errstate(all="raise" if mode == "errstate" else "warn"):
            warnings.simplefilter("error")
            original = mos_utils._predict_from_submodels
            try:
                if literal:
                    mos_utils._predict_from_submodels = functools.partial(original)
                mos_utils.predict_curves_for_inputs(models, device, "PLD", ["breakdown"])
            except Exception as error:
                return type(error), str(error)
            finally:
                mos_utils._predict_from_submodels = original

    expected = outcome(literal=True)
    assert "encountered in add" in expected[1]
    assert outcome(literal=False) == expected
