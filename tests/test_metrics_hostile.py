"""korva.curve.metrics against what a caller can replace or hand in at the edges: a replaced
module global `np`, curve tables with an empty x range, ensembles large enough for numpy's pairwise
sums, Pareto fronts with infinite objectives, repeated labels. Crash cases run in a fresh
interpreter, so that a crash fails the test rather than the run."""
import numpy as np
import pandas as pd
import pytest

import metric_models as mm
from conftest import run_json
from korva.curve import batch, metrics

# --- a replaced korva.curve.metrics.np --------------------------------------------------------------

# numpy, except that ascontiguousarray hands back a strided view of a copy (every value where asked
# for, but not C-contiguous), or, for "short", a one-dimensional array without its last value.
_REPLACED_NP = r'''
import json, sys, types
import numpy as real
sys.path.insert(0, TESTS)
import metric_models as mm
from korva.curve import metrics, mos_utils

def strided(a, dtype=None):
    a = real.asarray(a, dtype=dtype)
    if a.ndim == 0:
        a = a.reshape(1)
    wide = real.repeat(a, 2, axis=-1)
    return wide[..., ::2]

def short(a, dtype=None):
    a = real.ascontiguousarray(a, dtype=dtype)
    return a[:-1] if a.ndim == 1 and len(a) > 1 else a

fake = types.ModuleType("numpy")
fake.__dict__.update({k: getattr(real, k) for k in dir(real) if not k.startswith("__")})
fake.ascontiguousarray = {"strided": strided, "short": short}[MODE]
x = real.linspace(-0.1, 3.65, 101)
y = -7.0 + (x[None, :] - real.array([[0.4], [0.9]])) / 0.08
devices = mm.pld_devices([0.5, 1.0])
models = mm.pld_models()
records = mos_utils.predict_curves_for_inputs(models, devices.iloc[0], "PLD")
def figures(series):
    return [v for v in series.tolist() if isinstance(v, float)]

plain = {"crossing": metrics.crossing(x, y, -7.0).tolist(),
         "device": figures(metrics.device_metrics(records, devices.iloc[0], "PLD"))}
metrics.np = fake
out = {}
for name, call in [("crossing", lambda: real.asarray(metrics.crossing(x, y, -7.0)).tolist()),
                   ("device", lambda: figures(metrics.device_metrics(records, devices.iloc[0], "PLD"))),
                   ("sweep", lambda: metrics.predict_device_metrics(models, devices, "PLD").vth_lin.tolist())]:
    try:
        out[name] = call()
    except Exception as e:
        out[name] = type(e).__name__ + ": " + str(e)
print(json.dumps({"plain": plain, "out": out}))
'''


def _replaced_np(mode):
    import os
    code = _REPLACED_NP.replace("TESTS", repr(os.path.dirname(__file__))).replace("MODE", repr(mode))
    return run_json(code)


def test_strided_arrays_from_a_replaced_np_give_the_same_figures():
    got = _replaced_np("strided")
    assert got["out"]["crossing"] == got["plain"]["crossing"]
    assert np.array_equal(got["out"]["device"], got["plain"]["device"], equal_nan=True)
    assert isinstance(got["out"]["sweep"], list)


def test_short_arrays_from_a_replaced_np_are_refused_where_read():
    # an x one point short of the curves is refused as any such x is; the geometry of two devices in
    # one value is refused before any prediction
    got = _replaced_np("short")
    assert got["out"]["crossing"].startswith("ValueError: y must have len(x) = 100 points")
    assert got["out"]["sweep"].startswith("RuntimeError") and "Finger Width" in got["out"]["sweep"]


# --- an empty x range ------------------------------------------------------------------------------

_EMPTY_BREAKDOWN = r'''
import json, sys
import numpy as np
sys.path.insert(0, TESTS)
import metric_models as mm
from korva.curve import metrics, mos_utils
config = {k: v for k, v in mos_utils._DEVICE_CONFIG["PLD"].items()}
config["CURVE_INFO"] = {c: dict(e) for c, e in config["CURVE_INFO"].items()}
config["CURVE_INFO"]["breakdown"]["x_range"] = np.array([], dtype=float)
devices = mm.pld_devices([0.5, 1.0])
out = {}
try:
    metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", config=config)
except Exception as e:
    out["raise"] = type(e).__name__ + ": " + str(e)
frame = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", config=config, errors="return")
out["return"] = frame.error.tolist()
print(json.dumps(out))
'''


def test_an_empty_breakdown_range_fails_each_device_as_its_records_do():
    import os
    got = run_json(_EMPTY_BREAKDOWN.replace("TESTS", repr(os.path.dirname(__file__))))
    assert got["raise"].startswith("ValueError: the record of curve 'breakdown'")
    assert all(e.startswith("ValueError: the record of curve 'breakdown'") for e in got["return"])


# --- the spread of large ensembles -----------------------------------------------------------------

@pytest.mark.parametrize("count", [8, 9, 13, 16, 17])
def test_std_columns_are_numpys_std_for_any_ensemble_size(count):
    rng = np.random.default_rng(count)
    shifts = tuple(rng.normal(0.0, 0.03, count))
    models = mm.pld_models(shifts)
    devices = mm.pld_devices(rng.uniform(0.2, 3.0, 12))
    frame = metrics.predict_device_metrics(models, devices, "PLD")
    records = batch.predict_curves_for_frame(models, devices, "PLD", curve_types=["id-vg-lin"])
    for i, device in enumerate(records):
        lin = next(r for r in device if r["curve_variant"] == "Vb=0.00")
        wl = devices["Finger Width"].iloc[i] * devices.nf.iloc[i] / devices.Length.iloc[i]
        each = metrics.crossing(np.array(lin["x_coords"]), np.array(lin["_y_coords"]), np.log10(1e-7 * wl))
        assert frame.vth_lin_std.iloc[i] == np.std(each), i


# --- the Pareto front at the edges -----------------------------------------------------------------

@pytest.mark.parametrize("frame, minimize, maximize, expected", [
    (pd.DataFrame({"a": [1.0, 2.0], "b": [np.inf, 1.0]}), ["a", "b"], [], [True, True]),
    (pd.DataFrame({"a": [1.0, 2.0], "b": [-np.inf, 1.0]}), ["a"], ["b"], [True, True]),
    (pd.DataFrame({"a": [1.0, 1.0, 2.0], "b": [np.inf, np.inf, 0.0]}), ["a", "b"], [], [True, True, True]),
    (pd.DataFrame({"a": [1.0], "b": [np.inf]}), ["a", "b"], [], [True]),
    (pd.DataFrame({"a": [1.0], "b": [-np.inf]}), ["a"], ["b"], [True]),
    (pd.DataFrame({"a": [1.0], "b": [2.0]}), ["a"], ["b"], [True]),
    (pd.DataFrame({"a": [np.inf, 1.0], "b": [0.0, 1.0]}), ["a", "b"], [], [True, True]),
])
def test_pareto_front_with_infinite_objectives_and_one_row(frame, minimize, maximize, expected):
    assert metrics.pareto_front(frame, minimize=minimize, maximize=maximize).tolist() == expected


def test_pareto_front_repeated_label_names_the_column():
    frame = pd.DataFrame([[1.0, 2.0, 3.0]], columns=["ron", "bv", "bv"])
    with pytest.raises(ValueError, match="'bv'"):
        metrics.pareto_front(frame, minimize=["ron"], maximize=["bv"])


# --- ron_points beyond any grid ---------------------------------------------------------------------

@pytest.mark.parametrize("points", [2 ** 20 + 1, 10 ** 30])
def test_ron_points_beyond_the_grid_take_every_point(points):
    devices = mm.pld_devices([0.5, 1.0])
    frame = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", criteria={"ron_points": points})
    every = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", criteria={"ron_points": 101})
    assert frame.attrs["metrics"]["criteria"]["ron_points"] == points
    assert frame.ron.equals(every.ron)
