"""predict_curves_for_frame with n_jobs: chunks predicted on several threads give exactly what one
thread gives (records, frame, failures, their order); bad values are refused before any prediction;
BLAS is held to one thread per worker only while the workers run; the chunks really overlap;
neighbour searches on threads do not share a tree; and calls from several threads at once do not
disturb each other."""
import copy
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import threadpoolctl
from sklearn.neighbors import KNeighborsRegressor

import curve_models as cm
from conftest import run_json
from korva.curve import batch, metrics, mos_utils

predict_frame = batch.predict_curves_for_frame
TESTS = str(Path(__file__).resolve().parent)
A = mos_utils._DEVICE_CONFIG["PLD"]["BASE_INPUT_COLS"].index("A")


@pytest.fixture(scope="module")
def models():
    return cm.all_models(n_estimators=4, linear_estimators=3)


def devices(n, seed=5, prefix="P"):
    frame = pd.DataFrame(cm.pld_inputs(n, seed=seed))
    frame.index = [f"{prefix}{i}" for i in range(n)]
    return frame


def with_bad_rows(frame, rows):
    bad = frame.copy()
    for row in rows:
        bad.iloc[row, bad.columns.get_loc("Length")] = np.nan
    return bad


def same(got, expected):
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        assert got.attrs == expected.attrs
    else:
        assert len(got) == len(expected)
        for entry, reference in zip(got, expected):
            if isinstance(reference, Exception):
                assert type(entry) is type(reference) and str(entry) == str(reference)
            else:
                assert entry == reference


@pytest.mark.parametrize("n_jobs, chunk_size", [
    (2, 5),     # three uneven chunks: one thread takes two
    (3, 7),     # two chunks: one thread idle
    (2, 1),     # a chunk per device
    (-1, 4),    # every core
    (64, None), # more threads than devices, the default chunk size
])
@pytest.mark.parametrize("output, errors, bad_rows", [
    ("records", "raise", ()),
    ("records", "return", (3, 11)),
    ("frame", "raise", ()),
])
@pytest.mark.parametrize("exact", [True, False])
def test_threads_give_what_one_thread_gives(models, n_jobs, chunk_size, output, errors, bad_rows, exact):
    sweep = with_bad_rows(devices(23), bad_rows)
    kwargs = dict(exact=exact, output=output, errors=errors, chunk_size=chunk_size)
    expected = predict_frame(models, sweep, "PLD", **kwargs)
    same(predict_frame(models, sweep, "PLD", n_jobs=n_jobs, **kwargs), expected)
    if bad_rows:
        assert [i for i, entry in enumerate(expected) if isinstance(entry, Exception)] == list(bad_rows)


@pytest.mark.parametrize("n_jobs", [2, 5])
def test_default_chunks_cut_for_threads_keep_the_linear_models_bits(models, n_jobs):
    # one default chunk on one thread; pieces of 64 devices on several: the linear models of
    # exact=False, summed by korva row by row, give the same bits
    sweep = devices(200, seed=9)
    expected = predict_frame(models, sweep, "PLD", output="frame")
    same(predict_frame(models, sweep, "PLD", output="frame", n_jobs=n_jobs), expected)


@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize("n_jobs, chunk_size", [(2, 5), (3, None)])
def test_figures_of_merit_on_threads_are_those_of_one_thread(models, exact, n_jobs, chunk_size):
    sweep = with_bad_rows(devices(23, seed=7), (4,))
    kwargs = dict(exact=exact, chunk_size=chunk_size, errors="return")
    expected = metrics.predict_device_metrics(models, sweep, "PLD", **kwargs)
    got = metrics.predict_device_metrics(models, sweep, "PLD", n_jobs=n_jobs, **kwargs)
    same(got, expected)
    assert got.error.notna().tolist() == [i == 4 for i in range(23)]


def with_neighbours(models, **settings):
    """models with each KNeighborsRegressor refitted on its own training rows with `settings`."""
    out = {}
    for device_type, table in models.items():
        out[device_type] = {}
        for name, model in table.items():
            model = copy.deepcopy(model)
            for i, estimator in enumerate(model.estimators_):
                if isinstance(estimator, KNeighborsRegressor):
                    X, y = estimator._fit_X, estimator._y
                    metric_params = {"V": np.cov(X.T) + np.eye(X.shape[1])} if settings.get("metric") else None
                    model.estimators_[i] = KNeighborsRegressor(metric_params=metric_params, **settings).fit(X, y)
            out[device_type][name] = model
    return out


@pytest.mark.parametrize("settings", [
    dict(algorithm="kd_tree", p=1),  # Manhattan: korva's own kernel takes the Euclidean searches
    # the metric keeps a scratch vector: threads in one tree would corrupt each other's distances
    dict(algorithm="ball_tree", metric="mahalanobis"),
])
def test_neighbour_searches_on_threads_use_trees_of_their_own(models, settings):
    models = with_neighbours(models, **settings)
    trees = [e._tree for m in models["PLD"].values() for e in m.estimators_ if isinstance(e, KNeighborsRegressor)]
    sweep = devices(120, seed=3)
    expected = predict_frame(models, sweep, "PLD", output="frame", chunk_size=6)
    calls = [tree.get_n_calls() for tree in trees]
    for _ in range(3):
        same(predict_frame(models, sweep, "PLD", output="frame", chunk_size=6, n_jobs=2), expected)
    assert calls[0] > 0 and [tree.get_n_calls() for tree in trees] == calls


def test_a_replaced_neighbours_predict_is_called_on_the_estimators_themselves(models, monkeypatch):
    sweep = devices(12, seed=4)
    expected = predict_frame(models, sweep, "PLD", output="frame", chunk_size=3)
    original, seen = KNeighborsRegressor.predict, set()

    def predict(self, X):
        seen.add(id(self))
        return original(self, X)

    monkeypatch.setattr(KNeighborsRegressor, "predict", predict)
    same(predict_frame(models, sweep, "PLD", output="frame", chunk_size=3, n_jobs=2), expected)
    assert seen == {id(e) for m in models["PLD"].values() for e in m.estimators_ if isinstance(e, KNeighborsRegressor)}


class Probe:
    """A model that is called per device: sleeps (releasing the GIL) for some devices, fails for others,
    and notes when each call ran, on which thread and with how many BLAS threads."""

    def __init__(self, slow=(), fail=(), delay=0.0):
        self.slow, self.fail, self.delay = set(slow), set(fail), delay
        self.calls = []

    def predict(self, X):
        device = int(X[0, A])
        start = time.perf_counter()
        if device in self.slow or self.delay:
            time.sleep(self.delay or 0.3)
        blas = [pool["num_threads"] for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas"]
        self.calls.append((device, threading.get_ident(), start, time.perf_counter(), blas))
        if device in self.fail:
            raise ValueError(f"device {device} cannot be predicted")
        return np.full(len(X), -9.0 + device / 100)


def probe_devices(n):
    sweep = devices(n)
    sweep["A"] = np.arange(n, dtype=float)
    return sweep


def test_the_first_failing_row_is_raised_not_the_first_in_time():
    # chunk 0 fails late (row 2 sleeps first), chunk 4 fails at once: row 2's exception is raised
    probe = Probe(slow={2}, fail={2, 13})
    models = {"PLD": {"breakdown": probe}}
    with pytest.raises(ValueError, match="device 2 cannot") as raised:
        predict_frame(models, probe_devices(15), "PLD", ["breakdown"], chunk_size=3, n_jobs=2)
    assert raised.value.__notes__ == ["while predicting the curves of device 'P2' (row 2 of devices)"]
    failed_at = {device: end for device, _, _, end, _ in probe.calls if device in (2, 13)}
    assert failed_at[13] < failed_at[2]  # the later row did fail first in time
    # no chunk after a failing one starts: nothing past row 14's chunk, and its own rows stop at 13
    assert 14 not in {device for device, *_ in probe.calls}


def test_chunks_overlap_and_blas_is_held_to_one_thread_meanwhile():
    probe = Probe(delay=0.2)
    models = {"PLD": {"breakdown": probe}}
    with threadpoolctl.threadpool_limits(limits=2, user_api="blas"):
        before = threadpoolctl.threadpool_info()
        records = predict_frame(models, probe_devices(4), "PLD", ["breakdown"], chunk_size=1, n_jobs=2)
        assert threadpoolctl.threadpool_info() == before
    assert [r[0]["y_coords"][0] for r in records] == [-9.0, -8.99, -8.98, -8.97]
    spans = sorted((start, end, thread) for _, thread, start, end, _ in probe.calls)
    assert len({thread for *_, thread in spans}) == 2
    assert any(later[0] < earlier[1] and later[2] != earlier[2] for earlier, later in zip(spans, spans[1:]))
    assert all(blas == [1] * len(blas) for *_, blas in probe.calls)


def test_blas_limits_are_restored_when_the_call_raises():
    models = {"PLD": {"breakdown": Probe(fail={1})}}
    with threadpoolctl.threadpool_limits(limits=2, user_api="blas"):
        before = threadpoolctl.threadpool_info()
        with pytest.raises(ValueError, match="device 1"):
            predict_frame(models, probe_devices(4), "PLD", ["breakdown"], chunk_size=1, n_jobs=2)
        assert threadpoolctl.threadpool_info() == before


# In a fresh interpreter: BLAS at 3 threads, set by a thread that has ended (threadpoolctl lets one
# live thread at a time control OpenBLAS), a Probe that notes the BLAS threads each predict sees and
# may wait for an event first, and one call of four devices on two threads.
_BLAS_CHILD = f"""
import json, sys, threading
sys.path.insert(0, {TESTS!r})
import numpy as np, pandas as pd, threadpoolctl
import curve_models as cm
from korva.curve import batch

def blas():
    return [pool["num_threads"] for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas"]

setter = threading.Thread(target=threadpoolctl.threadpool_limits, kwargs=dict(limits=3, user_api="blas"))
setter.start()
setter.join()
BEFORE = blas()

class Probe:
    def __init__(self, on_first=None, wait_for=None):
        self.on_first, self.wait_for, self.seen, self.lock = on_first, wait_for, [], threading.Lock()
    def predict(self, X):
        with self.lock:
            first, self.on_first = self.on_first, None
        if first:
            first()
        if self.wait_for:
            self.wait_for.wait(60)
        self.seen.append(blas())
        return np.full(len(X), -9.0)

def call(probe):
    devices = pd.DataFrame(cm.pld_inputs(4, seed=1))
    batch.predict_curves_for_frame({{"PLD": {{"breakdown": probe}}}}, devices, "PLD", ["breakdown"], chunk_size=1,
                                   n_jobs=2)

def on_thread(target):
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
"""


def blas_child(code):
    return run_json(_BLAS_CHILD + textwrap.dedent(code))


def test_blas_is_held_for_calls_from_any_thread_in_turn():
    out = blas_child("""
        first, second = Probe(), Probe()
        call(first)
        on_thread(lambda: call(second))
        print(json.dumps([BEFORE, first.seen, second.seen, blas()]))
    """)
    before, first, second, after = out
    assert before and set(before) == {3}
    assert first == second == [[1] * len(before)] * 4
    assert after == before


def test_a_user_limit_on_another_thread_is_honoured_after_a_call():
    out = blas_child("""
        call(Probe())
        inside = []
        def limited():
            with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
                inside.append(blas())
        on_thread(limited)
        print(json.dumps([BEFORE, inside[0], blas()]))
    """)
    before, inside, after = out
    assert inside == [1] * len(before) and after == before


def test_overlapping_calls_restore_blas_when_the_last_leaves():
    # The main thread's call comes in first and leaves first, while the second thread's call runs on:
    # the second keeps BLAS at one thread until it leaves, then the limits are as they were.
    out = blas_child("""
        second_in, first_out = threading.Event(), threading.Event()
        second = Probe(on_first=second_in.set, wait_for=first_out)
        other = threading.Thread(target=call, args=(second,), daemon=True)
        first = Probe(on_first=lambda: (other.start(), second_in.wait(60)))
        try:
            call(first)
        finally:
            first_out.set()
        other.join()
        print(json.dumps([BEFORE, first.seen, second.seen, blas()]))
    """)
    before, first, second, after = out
    assert first == second == [[1] * len(before)] * 4
    assert after == before


def test_calls_from_several_threads_at_once(models):
    sweeps = [devices(17, seed=s, prefix=f"S{s}") for s in range(4)]
    expected = [predict_frame(models, sweep, "PLD", output="frame", chunk_size=3) for sweep in sweeps]
    got = [None] * len(sweeps)

    def call(i):
        got[i] = predict_frame(models, sweeps[i], "PLD", output="frame", chunk_size=3, n_jobs=2)

    threads = [threading.Thread(target=call, args=(i,)) for i in range(len(sweeps))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    for frame, reference in zip(got, expected):
        same(frame, reference)


@pytest.mark.parametrize("n_jobs, error, message", [
    (0, ValueError, "n_jobs must not be 0"),
    (1.5, TypeError, "n_jobs must be an int or None, not float"),
    (True, TypeError, "n_jobs must be an int or None, not bool"),
    ("2", TypeError, "n_jobs must be an int or None, not str"),
])
def test_bad_n_jobs_is_refused_before_any_prediction(n_jobs, error, message):
    probe = Probe()
    with pytest.raises(error, match=message):
        predict_frame({"PLD": {"breakdown": probe}}, probe_devices(3), "PLD", ["breakdown"], n_jobs=n_jobs)
    assert probe.calls == []


def test_dask_frames_refuse_threads(models):
    dd = pytest.importorskip("dask.dataframe")
    lazy = dd.from_pandas(devices(4), npartitions=2)
    with pytest.raises(ValueError, match="n_jobs is not available for a dask DataFrame"):
        predict_frame(models, lazy, "PLD", output="frame", n_jobs=2)
    with pytest.raises(ValueError, match="n_jobs is not available for a dask DataFrame"):
        metrics.predict_device_metrics(models, lazy, "PLD", n_jobs=-1)
    assert predict_frame(models, lazy, "PLD", output="frame", n_jobs=1).compute().shape[0] > 0
