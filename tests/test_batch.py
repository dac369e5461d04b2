"""korva.curve.batch.predict_curves_for_frame: the curves of many devices at once must be what
predict_curves_for_inputs gives device by device (to the bit in exact mode; fast mode differs by
the linear models' sums, which korva makes in its own order), as records or as a tidy frame; bad input is refused before any prediction; a failing
device costs no other device its result; the module's globals are late-bound."""
import contextlib
import functools
import inspect
import pickle
from pathlib import Path

import joblib

import numpy as np
import pandas as pd
import pytest
import sklearn.base
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor, HistGradientBoostingRegressor,
                              RandomForestRegressor, VotingRegressor)
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.neighbors import KNeighborsRegressor
from scipy.special import comb
from sklearn.tree import DecisionTreeRegressor, ExtraTreeRegressor

import curve_models as cm
from conftest import run_python
from korva.curve import batch, mos_utils

predict_frame = batch.predict_curves_for_frame
TESTS = str(Path(__file__).resolve().parent)


def frame_of(devices, prefix):
    frame = pd.DataFrame(devices)
    frame.index = [f"{prefix}{i}" for i in range(len(frame))]
    return frame


@pytest.fixture(scope="module")
def models():
    # log-space ensembles of LinearRegression, Ridge, a tree and k-nearest neighbours; linear
    # ensembles of three: the blend repeats the smaller stack, and both kinds of estimator occur
    return cm.all_models(n_estimators=4, linear_estimators=3)


@pytest.fixture(scope="module")
def pld():
    return frame_of(cm.pld_inputs(14, seed=5), "P")


@pytest.fixture(scope="module")
def nld():
    return frame_of(cm.nld_inputs(25, seed=6), "N")


def per_device(models, devices, device_type, curve_types=None, config=None):
    """The reference: each device on the literal steps (its fast path shares the core with the
    batch), which an equal but foreign `comb` in mos_utils forces; the batch does not mind it."""
    original = mos_utils.comb
    mos_utils.comb = functools.partial(comb)
    try:
        return [mos_utils.predict_curves_for_inputs(models, devices.iloc[i], device_type, curve_types, config)
                for i in range(len(devices))]
    finally:
        mos_utils.comb = original


def custom_transform(d):
    # not the table's transform: the batch applies it device by device
    return pd.Series({"A": d["A"] * 2.0, "B": d["B"], "C+D+E": d["C"] + d["D"] + d["E"], "C/(C+D+E)": 0.5,
                      "(C+D)/(C+D+E)": 0.25, "S": d["D"] - d["E"], "HP": d["A"] + 1.0})


CASES = {
    "PLD": ("PLD", None, None),
    "PLD subset": ("PLD", ["id-vd-0", "breakdown", "id-vd-0"], None),
    "NLD": ("NLD", None, None),
    "NLD blend order 1": ("NLD", ["id-vd"], "blend-1"),
    "NLD own transform": ("NLD", None, "transform"),
}


def case_config(name):
    if name == "blend-1":
        return dict(mos_utils._DEVICE_CONFIG["NLD"], PREDICTION_PARAMS={"auto_linear_blend": 1, "unused": 2})
    if name == "transform":
        return dict(mos_utils._DEVICE_CONFIG["NLD"], INPUT_TRANSFORM=custom_transform)
    return None


@pytest.mark.parametrize("chunk_size", [None, 4])
@pytest.mark.parametrize("case", CASES)
def test_exact_mode_gives_the_per_device_records(models, pld, nld, case, chunk_size):
    device_type, curve_types, config_name = CASES[case]
    devices = pld if device_type == "PLD" else nld
    config = case_config(config_name)
    expected = per_device(models, devices, device_type, curve_types, config)
    got = predict_frame(models, devices, device_type, curve_types, config, exact=True, chunk_size=chunk_size)
    assert got == expected  # float for float
    table = (config or mos_utils._DEVICE_CONFIG[device_type])["CURVE_INFO"]
    for record in got[-1]:  # the table's own variant dicts, lists of the record's own
        assert record["_variant_dict"] is table[record["curve_type"]]["variants"][record["curve_variant"] or "default"]
    assert got[0][0]["x_coords"] is not got[1][0]["x_coords"]


def row_by_row(estimator, X):
    # a linear model's prediction as a sum along each row alone: no row depends on another
    return (X * estimator.coef_).sum(axis=1) + estimator.intercept_


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_linear_models_with_a_replaced_predict_see_each_device_alone(monkeypatch, models, pld, nld, device_type):
    """Fast mode computes the linear classes' predictions itself; one whose predict has been
    replaced is called as in exact mode, with each device's own matrix, and the records are the
    per-device ones to the bit."""
    devices = pld if device_type == "PLD" else nld
    rows = {LinearRegression: [], Ridge: []}
    for cls, seen in rows.items():
        monkeypatch.setattr(cls, "predict", lambda self, X, seen=seen: seen.append(len(X)) or row_by_row(self, X))
    expected = per_device(models, devices, device_type)
    for exact in (True, False):
        for seen in rows.values():
            seen.clear()
        assert predict_frame(models, devices, device_type, exact=exact) == expected
        assert all(seen and set(seen) == {101} for seen in rows.values())


def tree_models():
    """PLD models of single trees: they predict a device with a NaN input, so such a device,
    which the batch leaves to the per-device steps, still has curves."""
    return single_model(DecisionTreeRegressor(max_depth=5, random_state=0))


@pytest.mark.parametrize("device_type, curve_types, setup", [
    ("PLD", None, "plain"),
    ("NLD", ["id-vd"], "plain"),
    ("PLD", [], "plain"),
    ("PLD", ["id-vd-0", "breakdown"], "a NaN input"),      # one device through the per-device steps
    ("NLD", None, "a text column"),                        # every device through them
    ("PLD", ["id-vg-lin"], "replaced driver"),             # no plan: the frame built from records
])
def test_frame_holds_the_records(monkeypatch, models, pld, nld, device_type, curve_types, setup):
    devices = pld if device_type == "PLD" else nld
    if setup == "a NaN input":
        models = tree_models()
        devices = devices.copy()
        devices.iloc[3, 0] = np.nan
    elif setup == "a text column":
        devices = devices.assign(name="device")
    elif setup == "replaced driver":
        original = mos_utils.predict_curves_for_inputs
        monkeypatch.setattr(mos_utils, "predict_curves_for_inputs", lambda *args: original(*args))
    records = predict_frame(models, devices, device_type, curve_types, exact=True)
    frame = predict_frame(models, devices, device_type, curve_types, exact=True, output="frame")
    assert list(frame.columns) == ["device", "curve_type", "curve_variant", "point", "x", "y", "y_std"]
    assert [str(t) for t in frame.dtypes] == ["category"] * 3 + ["int16"] + ["float64"] * 3
    assert list(frame["device"].cat.categories) == list(devices.index)
    rows = [(label, r["curve_type"], r["curve_variant"], p, x, y, s)
            for label, recs in zip(devices.index, records) for r in recs
            for p, (x, y, s) in enumerate(zip(r["x_coords"], r["y_coords"], r["y_coords_std"]))]
    expected = pd.DataFrame(rows, columns=frame.columns)
    got = frame.astype({"device": object, "curve_type": object, "curve_variant": object, "point": int})
    got["curve_variant"] = got["curve_variant"].where(got["curve_variant"].notna(), None)
    pd.testing.assert_frame_equal(got, expected.astype(got.dtypes.to_dict()), check_exact=True)
    table = mos_utils._DEVICE_CONFIG[device_type]["CURVE_INFO"]
    shown = curve_types if curve_types is not None else list(table)
    assert frame.attrs["curves"] == {
        c: {k: table[c][k] for k in ("x_label", "x_unit", "y_label", "y_unit")} for c in shown}


# ---- which estimators see stacked rows ------------------------------------------------------------

ROW_EXACT = [
    DecisionTreeRegressor(max_depth=6, random_state=0),
    ExtraTreeRegressor(random_state=0),
    RandomForestRegressor(n_estimators=5, max_depth=5, random_state=0),
    ExtraTreesRegressor(n_estimators=5, random_state=0),
    GradientBoostingRegressor(n_estimators=10, random_state=0),
    HistGradientBoostingRegressor(max_iter=10),
    KNeighborsRegressor(n_neighbors=5),
    KNeighborsRegressor(n_neighbors=9, weights="distance", algorithm="ball_tree"),
    DummyRegressor(strategy="median"),
]
PER_DEVICE_WHEN_EXACT = [LinearRegression(), Ridge(alpha=0.5)]
ALWAYS_PER_DEVICE = [
    KNeighborsRegressor(n_neighbors=5, algorithm="brute"),  # distance rounding can swap neighbours
    RandomForestRegressor(n_estimators=4, n_jobs=2, random_state=0),  # threads add in any order
    GradientBoostingRegressor(n_estimators=5, init=LinearRegression(), random_state=0),
    type("OwnTree", (DecisionTreeRegressor,), {})(max_depth=3),  # a subclass may predict otherwise
]


def training_data(seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1, 5, size=(300, 8))
    return X, X @ rng.normal(size=8) + np.sin(X[:, -1]) + rng.normal(0, 0.1, 300)


@pytest.mark.parametrize("estimator", ROW_EXACT, ids=lambda e: repr(e))
def test_stacked_estimators_predict_each_row_alone(estimator):
    """The classes and settings that exact mode stacks: a device's rows predict the same, to the
    bit, alone and amid 60 other devices' rows, wherever they sit in the stack."""
    X, y = training_data()
    estimator.fit(X, y)
    rng = np.random.default_rng(1)
    x = np.linspace(0, 3.65, 101)
    blocks = [np.hstack([np.tile(rng.uniform(-1, 5, 7), (101, 1)), x.reshape(-1, 1)]) for _ in range(61)]
    alone = np.concatenate([estimator.predict(b) for b in blocks])
    for start in (0, 7):
        stacked = estimator.predict(np.vstack(blocks[start:] + blocks[:start]))
        assert np.array_equal(np.roll(stacked, start * 101), alone)


class Recording:
    """Records the query matrices a class's predict receives (the class itself stays the same)."""

    def __init__(self, monkeypatch, cls):
        self.queries, original = [], cls.predict

        def predict(estimator, X):
            self.queries.append(np.array(X, copy=True))
            return original(estimator, X)

        monkeypatch.setattr(cls, "predict", predict)


def single_model(estimator):
    """The PLD models: a fresh copy of `estimator` per curve, no ensembles, no blend."""
    rng = np.random.default_rng(3)
    models = {}
    for curve_type, (x0, x1, n_variant) in cm.CURVES["PLD"].items():
        X, y = cm._training_set(rng, 7, n_variant, (x0, x1), 200)
        models[curve_type] = sklearn.base.clone(estimator).fit(X, y)
    return {"PLD": models}


@pytest.mark.parametrize("estimator, exact, stacked", [
    (DecisionTreeRegressor(max_depth=4), True, True),
    (KNeighborsRegressor(), True, True),
    (LinearRegression(), True, False),
    (LinearRegression(), False, False),  # fast mode: korva's own sums, or (predict replaced) per device
    *[(e, exact, False) for e in ALWAYS_PER_DEVICE for exact in (True, False)],
], ids=repr)
def test_estimators_see_the_per_device_matrices(monkeypatch, pld, estimator, exact, stacked):
    """Each estimator gets the very matrices of the per-device steps: one call each, or, when it
    may stack, one call per curve and variant holding those matrices one after another."""
    models = single_model(estimator)
    recording = Recording(monkeypatch, type(estimator))
    expected_records = per_device(models, pld, "PLD", ["id-vg-sat"])
    expected = [q.tobytes() for q in recording.queries]
    recording.queries.clear()
    got = predict_frame(models, pld, "PLD", ["id-vg-sat"], exact=exact)
    if exact and getattr(estimator, "n_jobs", None) is None:  # threads sum trees in any order
        assert got == expected_records
    variants = len(mos_utils._DEVICE_CONFIG["PLD"]["CURVE_INFO"]["id-vg-sat"]["variants"])
    assert len(recording.queries) == (variants if stacked else variants * len(pld))
    assert all(q.dtype == np.float64 and q.flags.c_contiguous for q in recording.queries)
    blocks = [block.tobytes() for q in recording.queries for block in np.split(q, len(q) // 101)]
    assert sorted(blocks) == sorted(expected)


@pytest.mark.parametrize("n_jobs, default_jobs, stacked", [
    (None, None, True),
    (1, 2, True),
    (None, 2, False),       # None means joblib's default, which parallel_config raised
    (2**100, None, False),  # too large for a C long
])
def test_forests_stack_on_one_job_only(monkeypatch, pld, n_jobs, default_jobs, stacked):
    """A forest stacks when joblib makes one job of its n_jobs; whatever it makes of it, the plan
    stands for the ensemble's other estimators."""
    X, y = cm._training_set(np.random.default_rng(3), 7, 1, (-0.1, 3.65), 200)
    model = VotingRegressor([("forest", RandomForestRegressor(n_estimators=3, max_depth=4, random_state=0)),
                             ("tree", ExtraTreeRegressor(random_state=0))]).fit(X, y)
    model.estimators_[0].n_jobs = n_jobs
    forest, tree = Recording(monkeypatch, RandomForestRegressor), Recording(monkeypatch, ExtraTreeRegressor)
    with joblib.parallel_config(n_jobs=default_jobs) if default_jobs else contextlib.nullcontext():
        predict_frame({"PLD": {"id-vg-sat": model}}, pld, "PLD", ["id-vg-sat"], exact=True)
    variants = len(mos_utils._DEVICE_CONFIG["PLD"]["CURVE_INFO"]["id-vg-sat"]["variants"])
    assert len(forest.queries) == (variants if stacked else variants * len(pld))
    assert len(tree.queries) == variants


# ---- input checks, failures ------------------------------------------------------------------------

class CountingModel:
    calls = 0

    def predict(self, X):
        CountingModel.calls += 1
        return np.zeros(len(X))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"devices": [1, 2]}, TypeError, "pandas DataFrame with one row per device, not list"),
    ({"devices": "frame-series"}, TypeError, "not pandas.Series"),
    ({"devices": "missing-columns"}, KeyError, "['Length', 'nf']"),
    ({"devices": "repeated-labels", "output": "frame"}, ValueError, "repeats ['P0']"),
    ({"output": "dict"}, ValueError, "output must be 'records' or 'frame', not 'dict'"),
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return', not 'ignore'"),
    ({"output": "frame", "errors": "return"}, ValueError, "errors='return' needs output='records'"),
    ({"chunk_size": 0}, ValueError, "chunk_size must be at least 1"),
    ({"chunk_size": 2.0}, TypeError, "chunk_size must be an int or None, not float"),
])
def test_bad_input_is_refused_before_any_prediction(pld, kwargs, error, message):
    named = {"frame-series": pld.iloc[0], "missing-columns": pld.drop(columns=["Length", "nf"]),
             "repeated-labels": pd.concat([pld.iloc[:2], pld.iloc[:1]])}
    devices = kwargs.get("devices", pld)
    devices = named.get(devices, devices) if isinstance(devices, str) else devices
    models = {"PLD": {c: CountingModel() for c in cm.CURVES["PLD"]}}
    CountingModel.calls = 0
    with pytest.raises(error) as raised:
        predict_frame(models, devices, "PLD", **{k: v for k, v in kwargs.items() if k != "devices"})
    assert message in str(raised.value) and CountingModel.calls == 0


def with_bad_devices(devices):
    bad = devices.copy()
    bad.iloc[2, bad.columns.get_loc("Length")] = np.nan
    bad.iloc[5, bad.columns.get_loc("A")] = np.inf
    return bad


@pytest.mark.parametrize("exact", [True, False])
def test_failing_devices_keep_the_others_results(models, pld, exact):
    bad = with_bad_devices(pld)
    got = predict_frame(models, bad, "PLD", exact=exact, errors="return", chunk_size=4)
    for i, entry in enumerate(got):
        try:
            expected = mos_utils.predict_curves_for_inputs(models, bad.iloc[i], "PLD")
        except Exception as error:
            assert type(entry) is type(error) and str(entry) == str(error) and i in (2, 5)
            continue
        if exact:
            assert entry == expected
        else:
            assert [r["curve_type"] for r in entry] == [r["curve_type"] for r in expected]
    with pytest.raises(ValueError, match="NaN") as raised:
        predict_frame(models, bad, "PLD", exact=exact)
    assert raised.value.__notes__ == ["while predicting the curves of device 'P2' (row 2 of devices)"]


def test_devices_of_another_dtype_take_the_per_device_steps(models, pld):
    # a text column makes every row Series an object one: the records are still those of each row
    named = pld.assign(name=[f"device {i}" for i in range(len(pld))])
    assert predict_frame(models, named, "PLD", exact=True) == per_device(models, named, "PLD")


# ---- late binding ----------------------------------------------------------------------------------

def shifted_submodels(model, X):
    return mos_utils_original["_predict_from_submodels"](model, X) + 0.5


mos_utils_original = {"_predict_from_submodels": mos_utils._predict_from_submodels}


@pytest.mark.parametrize("name, replacement", [
    ("_smoothstep", lambda x, x_min=0, x_max=1, N=1: np.clip(x, 0, 1) ** 2),
    ("_predict_from_submodels", shifted_submodels),
    ("_DEVICE_CONFIG", {"PLD": dict(mos_utils._DEVICE_CONFIG["PLD"], PREDICTION_PARAMS={"auto_linear_blend": 2}),
                        "NLD": mos_utils._DEVICE_CONFIG["NLD"]}),
    ("VotingRegressor", type("NotAnEnsemble", (), {})),
])
def test_replaced_helpers_change_what_the_batch_does(monkeypatch, models, pld, name, replacement):
    before = predict_frame(models, pld, "PLD", exact=True)
    monkeypatch.setattr(mos_utils, name, replacement)
    expected = per_device(models, pld, "PLD")
    got = predict_frame(models, pld, "PLD", exact=True)
    assert got == expected and got != before


@pytest.mark.parametrize("name", ["predict_curves_for_inputs", "_predict_single_curve"])
def test_replaced_driver_is_called_per_device(monkeypatch, models, pld, name):
    expected = per_device(models, pld, "PLD")
    calls, original = [], getattr(mos_utils, name)

    def replacement(*args, **kwargs):
        calls.append(args[1].name)
        return original(*args, **kwargs)

    monkeypatch.setattr(mos_utils, name, replacement)
    assert predict_frame(models, pld, "PLD") == expected  # fast mode asked for: no shortcut around it
    per_call = 1 if name == "predict_curves_for_inputs" else 21
    assert calls == [label for label in pld.index for _ in range(per_call)]


# ---- the function, progress, optional packages -------------------------------------------------------

def test_signature_and_pickling():
    assert str(inspect.signature(predict_frame)) == (
        "(models: dict, devices: pandas.DataFrame, device_type: str, curve_types: Optional[list] = None, "
        "config: Optional[dict] = None, *, exact: bool = False, output: str = 'records', errors: str = 'raise', "
        "chunk_size: Optional[int] = None, progress: bool = False, n_jobs: Optional[int] = None) "
        "-> Union[list, pandas.DataFrame]")
    assert predict_frame.__doc__ is None and batch.__doc__ is None
    assert pickle.loads(pickle.dumps(predict_frame)) is predict_frame


def reference_frame(models, devices, device_type, curve_types=None, config=None, *, exact=False,
                    output="records", errors="raise", chunk_size=None, progress=False, n_jobs=None):
    pass


@pytest.mark.parametrize("args, kwargs, cleared", [
    ((1, 2, 3, 4, 5, 6), {}, False),
    ((1, 2, 3, 4, 5, 6), {"exact": True}, False),
    ((1, 2), {}, False),
    ((1, 2, 3), {"exct": True}, False),
    ((1, 2, 3), {"exact": True, "output": 1, "models": 2}, False),
    ((1, 2, 3), {"output": 1}, True),  # no __kwdefaults__: the others are missing
])
def test_keyword_only_binding_errors_match_def(monkeypatch, args, kwargs, cleared):
    if cleared:
        monkeypatch.setattr(reference_frame, "__kwdefaults__", None)
        monkeypatch.setattr(predict_frame, "__kwdefaults__", None)
    with pytest.raises(TypeError) as expected:
        reference_frame(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        predict_frame(*args, **kwargs)
    assert str(actual.value) == str(expected.value).replace("reference_frame", "predict_curves_for_frame")


@pytest.mark.parametrize("tqdm, line", [(True, "korva curves: 100%"), (False, "korva curves: 3/3 devices\n")])
def test_progress_on_stderr(tqdm, line):
    # in a child: tqdm leaves a monitor thread behind, which later forks here would inherit
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {TESTS!r})
        import pandas as pd
        import curve_models as cm
        from korva.curve import batch
        models = cm.all_models(n_estimators=1, linear_estimators=0)
        batch.predict_curves_for_frame(models, pd.DataFrame(cm.nld_inputs(3)), "NLD", progress=True, chunk_size=2)
    """, block=[] if tqdm else ["tqdm"])
    assert line in proc.stderr and proc.stdout == ""


def test_module_needs_no_dask_until_given_a_dask_frame():
    proc = run_python("""
        import sys
        from korva.curve import batch
        FakeFrame = type("DataFrame", (), {"__module__": "dask.dataframe.dask_expr._collection"})
        try:
            batch.predict_curves_for_frame({}, FakeFrame(), "PLD", output="frame")
        except ImportError as error:
            print(error)
        print("dask" in sys.modules)
    """, block=["dask"])
    assert proc.stdout.splitlines() == [
        "predicting the curves of a dask DataFrame needs dask: pip install 'dask[dataframe]'", "False"]


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(models, pld, enabled):
    # a finished block's records are built with the cyclic collector paused; afterwards, and after
    # a failure, it is as the caller left it
    import gc
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        predict_frame(models, pld, "PLD", chunk_size=5)
        assert gc.isenabled() is enabled
        with pytest.raises(ValueError):
            predict_frame(models, with_bad_devices(pld), "PLD")
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
