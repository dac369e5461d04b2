"""korva.curve.batch under hostile callbacks, by kind: code that frees (rebinds, deletes) what a call
holds, patches the module's globals, resizes or reshapes arrays, or makes a step raise. Whatever it
does, the interpreter survives, and the batch gives the per-device results or a clear exception.
Cases that could crash run in a fresh interpreter."""
import collections
import gc
import textwrap
import threading
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import curve_models as cm
from conftest import run_json
from korva.curve import batch

predict_frame = batch.predict_curves_for_frame
TESTS = str(Path(__file__).resolve().parent)
CURVES = ["id-vd-0", "breakdown"]

# Six PLD devices and small ensembles, in the child interpreter.
CHILD = f"""
import json, sys, types
sys.path.insert(0, {TESTS!r})
import numpy, pandas as pd
import curve_models as cm
from korva.curve import batch
models = cm.all_models(n_estimators=2, linear_estimators=2)
devices = pd.DataFrame(cm.pld_inputs(6, seed=5), index=[f"P{{i}}" for i in range(6)])
CURVES = {CURVES!r}

def outcome(call):
    try:
        return ["result", call()]
    except Exception as error:
        return [type(error).__name__, str(error)]

def replace_np(empty):
    stand_in = types.ModuleType("numpy_stand_in")
    stand_in.__dict__.update({{k: v for k, v in vars(numpy).items() if not k.startswith("__")}})
    stand_in.empty = empty
    batch.np = stand_in
"""


def in_child(code, **kwargs):
    return run_json(CHILD + textwrap.dedent(code), **kwargs)


@pytest.fixture(scope="module")
def models():
    return cm.all_models(n_estimators=2, linear_estimators=2)


@pytest.fixture(scope="module")
def pld():
    return pd.DataFrame(cm.pld_inputs(6, seed=5), index=[f"P{i}" for i in range(6)])


# ---------------------------------------------------------------------------------------------
# free / rebind

@pytest.mark.parametrize("rebind", ['f.__kwdefaults__["output"] = "".join(["fr", "ame"])',
                                    'del f.__kwdefaults__["output"]'], ids=["rebind", "delete"])
def test_keyword_only_defaults_are_held_for_the_call(rebind):
    # The call bound output="records" and errors="raise" from __kwdefaults__; a __bool__ run later
    # in the call frees those defaults (fresh objects take their memory) but not the call's values.
    out = in_child(f"""
        f = batch.predict_curves_for_frame
        class Exact:
            def __bool__(self):
                {rebind}
                f.__kwdefaults__["errors"] = "".join(["ret", "urn"])
                global churn
                churn = [("x" + str(i)) * 2 for i in range(1000)]
                return True
        print(json.dumps(outcome(lambda: f(models, [1, 2], "PLD", exact=Exact()))))
    """)
    assert out == ["TypeError", "devices must be a pandas DataFrame with one row per device, not list"]


# ---------------------------------------------------------------------------------------------
# patch: the module's own numpy replaced by a stand-in whose `empty` gives other arrays

@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize("empty", ["fortran", "short", "long"])
def test_arrays_from_a_replaced_np_are_checked(empty, exact):
    out = in_child(f"""
        def empty(shape, dtype=float, order="C"):
            shape = (shape,) if isinstance(shape, int) else tuple(shape)
            if {empty!r} == "fortran":  # the block's (devices, submodels, points) stacks
                return numpy.empty(shape, dtype, order="F" if len(shape) == 3 else "C")
            return numpy.empty((shape[0] // 2 if {empty!r} == "short" else shape[0] + 3,) + shape[1:], dtype)
        def run(output, exact={exact}):
            return batch.predict_curves_for_frame(models, devices, "PLD", CURVES, exact=exact, output=output)
        # what the per-device steps give: exact mode's records (fast mode's linear sums are korva's own)
        reference = {{output: run(output, exact=True) for output in ("records", "frame")}}
        replace_np(empty)
        records, frame = outcome(lambda: run("records")), outcome(lambda: run("frame"))
        print(json.dumps([records[0], records[1] == reference["records"],
                          frame if frame[0] != "result" else ["result", frame[1].equals(reference["frame"])]]))
    """)
    # records: the block's steps refuse the arrays and every device takes the per-device steps
    assert out[:2] == ["result", True]
    if empty == "fortran":
        assert out[2] == ["result", True]
    else:  # the frame's own columns
        assert out[2] == ["RuntimeError", f"korva.curve.batch.np.empty({6 * 606}) did not give the frame's y column "
                          f"as a C-contiguous float64 numpy array of {6 * 606} values (or it was resized since)"]


def test_category_codes_from_a_replaced_np_are_checked(monkeypatch, models, pld):
    stand_in = types.ModuleType("numpy_stand_in")
    stand_in.__dict__.update({k: v for k, v in vars(np).items() if not k.startswith("__")})
    stand_in.repeat = lambda values, repeats: np.repeat(values, repeats) + 100
    monkeypatch.setattr(batch, "np", stand_in)
    with pytest.raises(ValueError, match="codes need to be between -1 and len"):
        predict_frame(models, pld, "PLD", CURVES, output="frame")


# ---------------------------------------------------------------------------------------------
# resize / reshape

def test_frame_column_resized_by_a_model():
    # np.empty of the module hands its arrays to a model, which shrinks them while it predicts
    out = in_child("""
        kept = []
        def empty(shape, dtype=float, order="C"):
            array = numpy.empty(shape, dtype, order=order)
            kept.append(array)
            return array
        class Shrinking:
            def __init__(self, inner):
                self.inner = inner
            def predict(self, X):
                for array in kept:
                    if array.ndim == 1 and array.size > 1:
                        array.resize(1, refcheck=False)
                return self.inner.predict(X)
        models["PLD"]["id-vd-0"] = Shrinking(models["PLD"]["id-vd-0"])
        replace_np(empty)
        print(json.dumps(outcome(lambda: batch.predict_curves_for_frame(models, devices, "PLD", CURVES,
                                                                        output="frame") is None)))
    """)
    assert out[0] == "RuntimeError" and out[1].endswith("(or it was resized since)")


@pytest.mark.parametrize("target, output, n_jobs", [
    ("query", "records", 1),   # a block's query matrix, filled in place
    ("query", "frame", 2),
    ("stack", "records", 1),   # the stack each prediction is copied into
    ("column", "frame", 1),    # the frame's y column, written block by block
])
def test_a_base_property_cannot_shrink_what_korva_copies(target, output, n_jobs):
    # The module's np is a stand-in whose ndarray is a Python subclass with a `base` property. Reading
    # it hands the array to another thread, which shrinks it (resize, refcheck=False) as soon as it
    # gets the GIL. Each array is marked with what it is for; the column is shrunk when a block's
    # summaries are read, just before they are written into it. One device's copy is over before
    # another thread could take the GIL, so for the stack the property waits for the shrink.
    out = in_child(f"""
        import ctypes, queue, threading
        ctypes.CDLL(None).mallopt(-3, 1 << 16)  # M_MMAP_THRESHOLD: freed big arrays leave the address space
        TARGET = {target!r}
        many = pd.DataFrame(cm.pld_inputs(2000, seed=5), index=[f"P{{i}}" for i in range(2000)])
        handed, shrunk, kept, reads = queue.Queue(), threading.Event(), [], []

        class Array(numpy.ndarray):
            @property
            def base(self):
                kind = self.__dict__.get("kind")
                reads.append(kind)
                if kind == TARGET and (kind != "stack" or reads.count("stack") == 1001):
                    kept.append(self)
                    if kind != "column":
                        handed.put(kind)
                elif kind is None and self.ndim == 2 and kept:  # a block's summaries, read before the write
                    handed.put(kind)
                if TARGET == "stack" and kept and not shrunk.is_set():
                    shrunk.wait()
                return None

        def shrink():
            while True:
                handed.get()
                while kept:
                    kept.pop().resize(1, refcheck=False)
                shrunk.set()

        def empty(shape, dtype=float, order="C"):
            array = Array(shape, dtype, order=order)
            array.kind = {{1: "column", 2: "query", 3: "stack"}}.get(array.ndim)
            return array

        class Owned:  # predicts per device, into an Array of its own
            def __init__(self, inner):
                self.inner = inner
            def predict(self, X):
                values = self.inner.predict(X)
                array = Array(values.shape)
                array[...] = values
                array.kind = "prediction"
                return array

        for table in models.values():
            for model in table.values():
                model.estimators_ = [Owned(e) for e in model.estimators_]
        from korva.curve import mos_utils
        for info in mos_utils._DEVICE_CONFIG["PLD"]["CURVE_INFO"].values():
            info["x_range"] = info["x_range"].view(Array)
        def run():
            return batch.predict_curves_for_frame(models, many, "PLD", ["breakdown"], exact=True, output={output!r},
                                                  n_jobs={n_jobs})
        reference = run()
        threading.Thread(target=shrink, daemon=True).start()
        replace_np(empty)
        batch.np.ndarray = Array
        for name in ("ascontiguousarray", "linspace"):
            setattr(batch.np, name, lambda *a, f=getattr(numpy, name), **k: f(*a, **k).view(Array))
        got = outcome(run)
        if got[0] == "result":
            got[1] = got[1] == reference if {output!r} == "records" else bool(got[1].equals(reference))
        print(json.dumps(got))
    """, timeout=240)
    assert out == ["result", True]


class Column:
    """An estimator whose predict returns a column, shape (n, 1)."""

    def __init__(self, inner):
        self.inner = inner

    def predict(self, X):
        return self.inner.predict(X).reshape(-1, 1)


@pytest.mark.parametrize("mapping", [dict, collections.OrderedDict], ids=["plan", "no plan"])
def test_column_predictions_in_a_frame_are_one_clear_error(models, pld, mapping):
    columns = mapping((curve, Column(model)) for curve, model in models["PLD"].items())
    with pytest.raises(ValueError) as raised:
        predict_frame({"PLD": columns}, pld, "PLD", CURVES, output="frame")
    assert str(raised.value).startswith("the records predicted for the device in row 0 hold values that are not "
                                        "numbers: a frame needs one number per point in x_coords, y_coords and "
                                        "y_coords_std (a model whose predict returns shape (n, 1)")
    # the records hold what the per-device function gives
    assert isinstance(predict_frame({"PLD": columns}, pld, "PLD", CURVES)[0][0]["y_coords"][0], list)


# ---------------------------------------------------------------------------------------------
# raise: bad requests are refused before any prediction, whichever entry point builds them

def test_partition_task_checks_its_request():
    # _predict_partition is reachable from any dask graph, pickled or built by hand
    out = in_child("""
        part = batch._predict_partition
        print(json.dumps([outcome(lambda: part(devices, models, "PLD", None, None, False, -1)),
                          outcome(lambda: part(devices, models, "PLD", None, None, False, "3")),
                          outcome(lambda: part(devices.to_dict(), models, "PLD", None, None, False, None)),
                          outcome(lambda: len(part(devices, models, "PLD", CURVES, None, False, 2)))]))
    """, timeout=120)
    assert out == [["ValueError", "chunk_size must be at least 1, not -1"],
                   ["TypeError", "chunk_size must be an int or None, not str"],
                   ["TypeError", "devices must be a pandas DataFrame with one row per device, not dict"],
                   ["result", 6 * 606]]


def test_missing_label_is_refused_up_front(pld):
    devices = pld.copy()
    devices.index = ["P0", np.nan, "P2", "P3", "P4", "P5"]
    calls = []
    models = {"PLD": {curve: Counting(calls) for curve in cm.CURVES["PLD"]}}
    with pytest.raises(ValueError, match=r"needs an index label for every device, .* missing label \(nan\) in row 1"):
        predict_frame(models, devices, "PLD", output="frame")
    assert calls == []


class Counting:
    def __init__(self, calls):
        self.calls = calls

    def predict(self, X):
        self.calls.append(len(X))
        return np.zeros(len(X))


def test_multiindex_names_devices_by_tuples(models, pld):
    tuples = [("wafer", i // 3, i % 3) for i in range(len(pld))]
    multi = pld.set_axis(pd.MultiIndex.from_tuples(tuples))
    flat = pld.set_axis(pd.Index(tuples, tupleize_cols=False))
    frame = predict_frame(models, multi, "PLD", CURVES, output="frame")
    pd.testing.assert_frame_equal(frame, predict_frame(models, flat, "PLD", CURVES, output="frame"))
    assert list(frame["device"].cat.categories) == tuples


def test_collector_runs_while_models_predict(models, pld):
    # The collector pauses only while a finished block's records are built, which runs no Python
    # code: a model's predict and any other thread always find it as the caller left it.
    seen, stop = [], threading.Event()

    class Watching(Counting):
        def predict(self, X):
            seen.append(gc.isenabled())
            return np.zeros(len(X))

    def watch():
        while not stop.is_set():
            seen.append(gc.isenabled())

    watched = dict(models["PLD"], **{curve: Watching([]) for curve in CURVES})
    thread = threading.Thread(target=watch)
    thread.start()
    try:
        for _ in range(3):
            predict_frame({"PLD": watched}, pd.concat([pld] * 20, ignore_index=True), "PLD", CURVES, chunk_size=40)
    finally:
        stop.set()
        thread.join()
    assert gc.isenabled() and all(seen) and len(seen) > 10
