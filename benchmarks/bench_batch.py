"""Throughput and memory of korva.curve.batch.predict_curves_for_frame over many devices.

For 1, 10, 100, 1,000 and 10,000 PLD devices and 1,000 NLD devices (one DataFrame row each), in
fast mode (exact=False: linear models see the stacked rows too) and exact mode (exact=True: only
trees and nearest neighbours do), with output="records" and output="frame", it measures:

  batch   predict_curves_for_frame(models, devices, device_type, exact=..., output=...);
  loop    predict_curves_for_inputs(models, devices.iloc[i], device_type) for each of the first
          50 devices, as users call it (its single-device fast path runs): the per-device cost that
          the batch replaces ("x loop" is the batch's devices per second over the loop's); "x lit."
          is the same against the loop on the literal steps (bench_curves.literal_steps), what
          every per-device call cost before that fast path;
  floor   the bare predict() of every estimator of every curve and variant on the stacked query
          matrices, built with numpy beforehand in the batch's own blocks of 131072 query rows
          (1297 devices); "x floor" is the batch's time over it. The exact floor calls the linear
          models on each device's rows instead, as exact mode must. Once per run, every matrix the
          estimators receive during the batch call is checked equal, bit for bit, to the floor's.

Two ensembles, each a VotingRegressor per curve and per ".linear" model, trained on 200 rows as
tests/curve_models.py does: "benchmark" (a tree of depth 4, one of depth 8, KNeighborsRegressor,
Ridge, LinearRegression) and "no-knn" (the same without the nearest neighbours).

Times are CPU time of this process (time.process_time), best of several interleaved rounds (fewer
when a round is long), with BLAS/OpenMP pinned to one thread. Peak memory is measured in a fresh
interpreter per case: the rise of the resident set's high-water mark (VmHWM in /proc/self/status,
reset through /proc/self/clear_refs just before the call) over the resident set before it, after
the models and devices are built and one warm-up call on two devices has run; it includes the
result. That call's CPU time is reported too ("1st call"): unlike the best round, it pays for the
process's allocator growing its heap for the first time. Records
output is measured up to 1,000 PLD devices: beyond, the result alone holds gigabytes of floats.

Threads: at 10,000 PLD devices (2,000 under --quick), output="frame", fast mode, both ensembles,
the wall time (time.perf_counter, best of rounds) of n_jobs=1, 2 and -1 (every core) side by side in
one run, the speed-up over n_jobs=1, a check that every n_jobs gives the n_jobs=1 frame to the bit,
and each call's peak memory in a fresh interpreter against the frame plus n_jobs x 256 MiB.
os.cpu_count() is recorded with the figures. In the same rounds, the machine's ceiling: one process
per core, each with n_jobs=1 on its share of the devices, all started at once; n_jobs=1's time over
theirs is the most any n_jobs can gain on this machine for this work.

--sweep-memory adds the memory of a 100,000-device PLD sweep (no-knn ensemble, fast mode,
output="frame") against the frame's own size (frame.memory_usage(deep=True).sum()) plus 256 MiB.

    python benchmarks/bench_batch.py [--quick] [--no-memory] [--sweep-memory]
--quick skips 10,000 devices and the sweep and takes fewer rounds. Results: a table on stdout and
benchmarks/out/bench_batch.json. Nothing here asserts on time.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import ctypes  # noqa: E402
import gc  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import resource  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from collections import defaultdict  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import sklearn  # noqa: E402
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor,  # noqa: E402
                              HistGradientBoostingRegressor, RandomForestRegressor)
from sklearn.neighbors import KNeighborsRegressor  # noqa: E402
from sklearn.tree import DecisionTreeRegressor  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tools"))
import bench_curves  # noqa: E402  (numpy_queries, curve_plan, literal_steps)
import curve_models as cm  # noqa: E402
import device_family as fam  # noqa: E402
import family_models  # noqa: E402

from korva.curve import batch, mos_utils  # noqa: E402

perf = time.process_time
MIB = 1 << 20

ENSEMBLES = {
    "benchmark": cm.BENCHMARK_KINDS,
    "no-knn": tuple(kind for kind in cm.BENCHMARK_KINDS if kind != "knn"),
}
# The ensembles trained on the closed-form device family (tools/family_models.py, setting "20k",
# cached in build/family_models/): all six kinds of estimator, and forests and boosting alone.
# Their devices are drawn from the family's design ranges.
FAMILY = {"family": None, "family-trees": family_models.TREES}
FAMILY_SETTING = "20k"
FAMILY_UP_TO = {False: 1_000, True: 100}  # devices, by --quick: 10,000 would take an hour a case
MODEL_SEEDS = {"PLD": 3, "NLD": 4}
DEVICE_SEEDS = {"PLD": 11, "NLD": 12}
SIZES = {"PLD": (1, 10, 100, 1_000, 10_000), "NLD": (1_000,)}
RECORDS_UP_TO = 1_000       # records output beyond this would hold gigabytes of Python floats
LOOP_SAMPLE = 50            # devices of the per-device loop
BLOCK_DEVICES = 131072 // 101  # the batch's default block: 131072 query rows of 101-point curves
# Estimators whose prediction of a row never depends on the other rows: the exact mode stacks these
# (with the settings used here: KNeighborsRegressor searches a kd-tree, the forests have n_jobs=None,
# the boosting its default initial estimator), and the check below sees it.
ROW_INDEPENDENT = (DecisionTreeRegressor, KNeighborsRegressor, RandomForestRegressor, ExtraTreesRegressor,
                   GradientBoostingRegressor, HistGradientBoostingRegressor)
MIN_SAMPLE_S = 0.3          # a short call is repeated within one timing until about this long
SWEEP_DEVICES = 100_000
SWEEP_ALLOWANCE = 256 * MIB
THREAD_DEVICES = {False: 10_000, True: 2_000}  # by --quick
THREAD_N_JOBS = (1, 2, -1)
THREAD_ALLOWANCE = 256 * MIB  # a thread's working set beside the frame

# ---------------------------------------------------------------------------------------------
# models, devices and the floor


def build_models(ensemble, device_type):
    if ensemble in FAMILY:
        return {device_type: family_models.load_models(FAMILY_SETTING, members=FAMILY[ensemble])[device_type]}
    kinds = ENSEMBLES[ensemble]
    return {device_type: cm.build_models(device_type, n_estimators=len(kinds), linear_estimators=len(kinds),
                                         seed=MODEL_SEEDS[device_type], kinds=kinds)}


def device_frame(device_type, n, ensemble="benchmark"):
    """n devices as rows of a float64 DataFrame over the device type's raw inputs."""
    if ensemble in FAMILY:
        return fam.sample_devices(device_type, n, seed=DEVICE_SEEDS[device_type])
    series = cm.device_inputs(device_type, n, seed=DEVICE_SEEDS[device_type])
    return pd.DataFrame(np.array([s.to_numpy() for s in series]), columns=series[0].index)


def floor_blocks(models, devices, device_type):
    """Per block of BLOCK_DEVICES devices, per curve and variant: the stacked query matrix and the
    estimators of the log-space and linear models. The matrices are the per-device ones of
    bench_curves.numpy_queries, one under the other."""
    jobs = bench_curves.curve_plan(models, devices.iloc[0], device_type)  # also checks numpy == pandas
    blocks = []
    for start in range(0, len(devices), BLOCK_DEVICES):
        rows = range(start, min(start + BLOCK_DEVICES, len(devices)))
        per_device = [bench_curves.numpy_queries(devices.iloc[i], device_type) for i in rows]
        blocks.append([(np.concatenate([queries[j] for queries in per_device]), len(rows), log + lin)
                       for j, (_, log, lin) in enumerate(jobs)])
        del per_device
    return blocks


def floor_calls(blocks, exact):
    """(estimator, matrix) of every predict call the floor makes, in the batch's order."""
    calls = []
    for block in blocks:
        for X, n, estimators in block:
            points = len(X) // n
            for est in estimators:
                if exact and not isinstance(est, ROW_INDEPENDENT):
                    calls.extend((est, X[d * points:(d + 1) * points]) for d in range(n))
                else:
                    calls.append((est, X))
    return calls


def run_floor(calls):
    for est, X in calls:
        est.predict(X)


# ---------------------------------------------------------------------------------------------
# the one-off check: the floor's matrices are what the estimators receive

def digest(X):
    return X.shape, X.dtype.str, X.flags.c_contiguous, hashlib.blake2b(X.tobytes(), digest_size=16).digest()


class ReceivedMatrices:
    """Records a digest of every matrix each estimator's predict receives, by wrapping predict on
    the estimators' classes (an instance attribute would take the estimator off the stacked path)."""

    def __init__(self, models):
        self.classes = {type(est) for per_type in models.values() for model in per_type.values()
                        for est in model.estimators_}
        self.received = defaultdict(list)

    def __enter__(self):
        self.own = {cls: cls.__dict__.get("predict") for cls in self.classes}
        for cls in self.classes:
            def predict(est, X, _original=cls.predict):
                self.received[id(est)].append(digest(X))
                return _original(est, X)
            cls.predict = predict
        return self

    def __exit__(self, *exc):
        for cls, own in self.own.items():
            if own is None:
                del cls.predict
            else:
                cls.predict = own


def check_floor_matrices(ensemble, device_type, n, exact):
    models = build_models(ensemble, device_type)
    devices = device_frame(device_type, n, ensemble)
    expected = defaultdict(list)
    for est, X in floor_calls(floor_blocks(models, devices, device_type), exact):
        expected[id(est)].append(digest(X))
    with ReceivedMatrices(models) as recorder:
        batch.predict_curves_for_frame(models, devices, device_type, exact=exact, output="frame")
    same = dict(recorder.received) == dict(expected)
    calls = sum(len(v) for v in recorder.received.values())
    print(f"  check {device_type} x{n} {'exact' if exact else 'fast'}: {calls} predict calls, "
          f"matrices {'identical to' if same else 'DIFFERENT from'} the floor's", file=sys.stderr, flush=True)
    return {"device_type": device_type, "devices": n, "ensemble": ensemble, "exact": exact,
            "predict_calls": calls, "identical": same}


# ---------------------------------------------------------------------------------------------
# timing

def repeated(fn, first_s):
    """fn made into one timing sample of about MIN_SAMPLE_S: (sample, calls per sample)."""
    k = max(1, math.ceil(MIN_SAMPLE_S / max(first_s, 1e-6)))

    def sample():
        for _ in range(k):
            fn()
    return sample, k


def best_times(candidates, max_rounds, min_rounds, budget_s):
    """Per-call CPU time of each candidate, the best of several rounds in which the candidates take
    turns (so load from elsewhere hits them alike). The first round calls each once to calibrate
    how often a short call is repeated; it counts only for calls of a second or more, whose
    first-call costs are lost in the noise. Rounds stop at max_rounds, or from min_rounds on when
    the next would take the time spent past budget_s."""
    started = perf()
    samples, best = {}, {}
    for name, fn in candidates.items():
        t = perf()
        fn()
        first = perf() - t
        samples[name] = repeated(fn, first)
        best[name] = first if first >= 1.0 else math.inf
    rounds = 1 if all(math.isfinite(v) for v in best.values()) else 0
    round_s = perf() - started
    while rounds < max_rounds:
        if rounds >= min_rounds and perf() - started + round_s > budget_s:
            break
        t0 = perf()
        for name, (sample, k) in samples.items():
            t = perf()
            sample()
            best[name] = min(best[name], (perf() - t) / k)
        round_s = perf() - t0
        rounds += 1
    return best, rounds


def max_relative_difference(records, reference):
    """Largest difference in the y values, standard deviations and submodel curves of two lists of
    device records, relative to each curve's scale (its largest |y|), as the fast mode is bounded."""
    worst = 0.0
    for got, want in zip(records, reference):
        for a, b in zip(got, want):
            scale = max(float(np.max(np.abs(b["y_coords"]))), np.finfo(float).tiny)
            for key in ("y_coords", "y_coords_std", "_y_coords"):
                worst = max(worst, float(np.max(np.abs(np.subtract(a[key], b[key])))) / scale)
    return worst


def agreement_with_loop(ensemble, device_type, loop):
    """The batch's records of the loop's devices against the loop's: exact mode identical, fast mode
    within BLAS rounding."""
    models = build_models(ensemble, device_type)
    exact = batch.predict_curves_for_frame(models, loop["devices"], device_type, exact=True)
    fast = batch.predict_curves_for_frame(models, loop["devices"], device_type, exact=False)
    return {"exact_identical": exact == loop["records"],
            "fast_max_rel_diff": max_relative_difference(fast, loop["records"])}


def measure_group(ensemble, device_type, settings, loop):
    """Every size of one ensemble and device type: the batch in each mode and output, both floors."""
    models = build_models(ensemble, device_type)
    predict = batch.predict_curves_for_frame
    results = []
    for n in SIZES[device_type]:
        if n > settings["max_devices"] or (ensemble in FAMILY and n > settings["family_max_devices"]):
            continue
        devices = device_frame(device_type, n, ensemble)
        blocks = floor_blocks(models, devices, device_type)
        floors = {exact: floor_calls(blocks, exact) for exact in (False, True)}
        candidates = {("floor", False): lambda: run_floor(floors[False]),
                      ("floor", True): lambda: run_floor(floors[True])}
        outputs = ("records", "frame") if n <= RECORDS_UP_TO else ("frame",)
        for exact in (False, True):
            for output in outputs:
                candidates[(output, exact)] = (lambda exact=exact, output=output:
                                               predict(models, devices, device_type, exact=exact, output=output))
        times, rounds = best_times(candidates, settings["rounds"], min_rounds=2, budget_s=settings["budget_s"])
        for (output, exact), seconds in times.items():
            if output == "floor":
                continue
            case = {"device_type": device_type, "devices": n, "ensemble": ensemble,
                    "mode": "exact" if exact else "fast", "output": output, "seconds": seconds, "rounds": rounds,
                    "devices_per_s": n / seconds, "loop_ratio": (n / seconds) / loop["devices_per_s"],
                    "literal_loop_ratio": (n / seconds) / loop["literal_devices_per_s"],
                    "floor_s": times[("floor", False)], "floor_ratio": seconds / times[("floor", False)],
                    "exact_floor_s": times[("floor", True)], "exact_floor_ratio": seconds / times[("floor", True)]}
            results.append(case)
            print(f"  timed {device_type} x{n:<6} {ensemble:12} {case['mode']:5} {output:7} "
                  f"{case['devices_per_s']:9.1f} devices/s  x{case['loop_ratio']:.1f} loop  "
                  f"{case['floor_ratio']:.2f}x floor  ({rounds} rounds)", file=sys.stderr, flush=True)
        del blocks, floors, candidates
    return results


def measure_loop(ensemble, device_type, settings):
    models = build_models(ensemble, device_type)
    devices = device_frame(device_type, LOOP_SAMPLE, ensemble)
    fns = {"loop": mos_utils.predict_curves_for_inputs,
           "literal": bench_curves.literal_steps(mos_utils.predict_curves_for_inputs)}
    records = {name: [fn(models, devices.iloc[i], device_type) for i in range(LOOP_SAMPLE)]
               for name, fn in fns.items()}
    times, rounds = best_times({name: (lambda fn=fn: [fn(models, devices.iloc[i], device_type)
                                                      for i in range(LOOP_SAMPLE)])
                                for name, fn in fns.items()},
                               settings["rounds"], min_rounds=2, budget_s=settings["budget_s"])
    seconds, literal = times["loop"] / LOOP_SAMPLE, times["literal"] / LOOP_SAMPLE
    print(f"  timed {device_type} loop {ensemble:12} {1 / seconds:9.1f} devices/s, on the literal steps "
          f"{1 / literal:.1f} ({rounds} rounds)", file=sys.stderr, flush=True)
    return {"devices": devices, "seconds_per_device": seconds, "devices_per_s": 1 / seconds,
            "literal_seconds_per_device": literal, "literal_devices_per_s": 1 / literal,
            "literal_identical": records["literal"] == records["loop"], "rounds": rounds,
            "records": records["loop"]}


# ---------------------------------------------------------------------------------------------
# peak memory, one fresh interpreter per case

def status_kib():
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0])
    return fields


def child_memory(spec):
    """In a fresh interpreter: the resident growth of one batch call over the state just before it."""
    device_type, n = spec["device_type"], spec["devices"]
    models = build_models(spec["ensemble"], device_type)
    devices = device_frame(device_type, n, spec["ensemble"])
    kwargs = {"exact": spec["exact"], "output": spec["output"], "n_jobs": spec.get("n_jobs")}
    batch.predict_curves_for_frame(models, devices.iloc[:2], device_type, **kwargs)  # first-call costs
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # what building the devices freed goes back to the system
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib()["VmRSS"]
    usage = resource.getrusage(resource.RUSAGE_SELF)
    t = perf()
    result = batch.predict_curves_for_frame(models, devices, device_type, **kwargs)
    seconds = perf() - t
    peak = status_kib()["VmHWM"]
    after = resource.getrusage(resource.RUSAGE_SELF)
    out = {"peak_growth_bytes": (peak - before) * 1024, "rss_before_bytes": before * 1024, "seconds": seconds,
           "system_seconds": after.ru_stime - usage.ru_stime, "minor_faults": after.ru_minflt - usage.ru_minflt}
    if spec["output"] == "frame":
        out["frame_bytes"] = int(result.memory_usage(deep=True).sum())
        out["frame_rows"] = len(result)
    return out


def memory_in_child(spec, child="--child"):
    cmd = [sys.executable, str(Path(__file__).resolve()), child, json.dumps(spec)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory child {spec} failed:\n{proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure_memory(cases):
    for case in cases:
        spec = {k: case[k] for k in ("device_type", "devices", "ensemble", "output")}
        spec["exact"] = case["mode"] == "exact"
        child = memory_in_child(spec)
        case["peak_bytes"] = child["peak_growth_bytes"]
        case["fresh_call"] = {k: child[k] for k in ("seconds", "system_seconds", "minor_faults")}
        case["fresh_devices_per_s"] = case["devices"] / child["seconds"]
        if "frame_bytes" in child:
            case["frame_bytes"] = child["frame_bytes"]
        print(f"  memory {case['device_type']} x{case['devices']:<6} {case['ensemble']:12} {case['mode']:5} "
              f"{case['output']:7} {case['peak_bytes'] / MIB:9.1f} MiB", file=sys.stderr, flush=True)


def measure_sweep():
    spec = {"device_type": "PLD", "devices": SWEEP_DEVICES, "ensemble": "no-knn", "exact": False, "output": "frame"}
    child = memory_in_child(spec)
    limit = child["frame_bytes"] + SWEEP_ALLOWANCE
    return {**spec, **child, "limit_bytes": limit, "within_limit": child["peak_growth_bytes"] <= limit,
            "devices_per_s": SWEEP_DEVICES / child["seconds"]}


# ---------------------------------------------------------------------------------------------
# threads

def effective_threads(n_jobs):
    import joblib
    return joblib.effective_n_jobs(n_jobs)


def ceiling_child(spec):
    """One of the processes of SplitProcesses: n_jobs=1 on its share of the devices, once per "go"."""
    n, part, parts = spec["devices"], spec["part"], spec["parts"]
    models = build_models(spec["ensemble"], "PLD")
    devices = device_frame("PLD", n).iloc[part * n // parts:(part + 1) * n // parts].copy()
    batch.predict_curves_for_frame(models, devices.iloc[:2], "PLD", output="frame")  # first-call costs
    print("ready", flush=True)
    for line in sys.stdin:
        if line.strip() != "go":
            break
        batch.predict_curves_for_frame(models, devices, "PLD", output="frame")
        print("done", flush=True)


class SplitProcesses:
    """The machine's own ceiling for n_jobs: as many processes as threads, each with its own models,
    running n_jobs=1 on an equal share of the devices at the same moment. No GIL, allocator or cache
    line is shared between them, so their wall time is what perfect threads could reach here; a host
    that slows one core down when the other is busy shows up in it as in the threads' figures."""

    def __init__(self, ensemble, n, parts):
        cmd = [sys.executable, str(Path(__file__).resolve()), "--ceiling-child"]
        self.procs = [subprocess.Popen(cmd + [json.dumps({"ensemble": ensemble, "devices": n, "part": i,
                                                          "parts": parts})],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                      for i in range(parts)]
        for proc in self.procs:
            self._expect(proc, "ready")

    @staticmethod
    def _expect(proc, word):
        line = proc.stdout.readline().strip()
        if line != word:
            raise RuntimeError(f"ceiling process said {line!r}, not {word!r} (exit code {proc.poll()})")

    def run(self):
        """Wall time from the moment every process is told to go until the last one is done."""
        t = time.perf_counter()
        for proc in self.procs:
            proc.stdin.write("go\n")
            proc.stdin.flush()
        for proc in self.procs:
            self._expect(proc, "done")
        return time.perf_counter() - t

    def close(self):
        for proc in self.procs:
            proc.stdin.close()
            proc.wait()


def measure_threads(settings, quick, memory):
    """Wall time of n_jobs 1, 2 and every core at THREAD_DEVICES PLD devices, frame output, fast mode,
    and beside them the same devices split over as many processes as cores (SplitProcesses)."""
    n = THREAD_DEVICES[quick]
    devices = device_frame("PLD", n)
    cores = effective_threads(-1)
    out = []
    for ensemble in ("no-knn", "benchmark"):
        models = build_models(ensemble, "PLD")
        frames = {}

        def call(n_jobs):
            frames[n_jobs] = batch.predict_curves_for_frame(models, devices, "PLD", output="frame", n_jobs=n_jobs)

        best = {n_jobs: math.inf for n_jobs in THREAD_N_JOBS}
        ceiling = math.inf
        processes = SplitProcesses(ensemble, n, cores) if cores > 1 else None
        for _ in range(2 if quick else 3):
            for n_jobs in THREAD_N_JOBS:
                t = time.perf_counter()
                call(n_jobs)
                best[n_jobs] = min(best[n_jobs], time.perf_counter() - t)
            if processes:
                ceiling = min(ceiling, processes.run())
        if processes:
            processes.close()
            print(f"  threads PLD x{n} {ensemble:12} {cores} processes {ceiling:7.2f} s wall  "
                  f"x{best[1] / ceiling:.2f}", file=sys.stderr, flush=True)
        reference = frames[1]
        for n_jobs in THREAD_N_JOBS:
            case = {"devices": n, "ensemble": ensemble, "n_jobs": n_jobs, "threads": effective_threads(n_jobs),
                    "wall_seconds": best[n_jobs], "speedup": best[1] / best[n_jobs],
                    "identical": frames[n_jobs].equals(reference)}
            if memory:
                child = memory_in_child({"device_type": "PLD", "devices": n, "ensemble": ensemble, "exact": False,
                                         "output": "frame", "n_jobs": n_jobs})
                case["peak_bytes"] = child["peak_growth_bytes"]
                case["limit_bytes"] = child["frame_bytes"] + case["threads"] * THREAD_ALLOWANCE
            out.append(case)
            print(f"  threads PLD x{n} {ensemble:12} n_jobs={n_jobs:<3} {best[n_jobs]:7.2f} s wall  "
                  f"x{case['speedup']:.2f}", file=sys.stderr, flush=True)
        if processes:
            out.append({"devices": n, "ensemble": ensemble, "processes": cores, "wall_seconds": ceiling,
                        "speedup": best[1] / ceiling})
        del frames
    return out


# ---------------------------------------------------------------------------------------------
# korva's own evaluation, kind by kind, on ensembles trained like real ones

KIND_DEVICES = {False: 400, True: 130}  # by --quick
KIND_ROWS = 20_000                      # training rows per curve (--kind-rows)


class NativeOff:
    """korva's own evaluation turned off: each estimator class's predict replaced by a plain wrapper
    of itself, which the guards do not vouch for; the estimators then predict the stacked rows
    themselves, as before korva evaluated them."""

    def __init__(self, models):
        self.classes = {type(est) for table in models.values() for model in table.values()
                        for est in model.estimators_}

    def __enter__(self):
        self.own = {cls: cls.__dict__.get("predict") for cls in self.classes}
        for cls in self.classes:
            cls.predict = (lambda original: lambda est, *args, **kwargs: original(est, *args, **kwargs))(cls.predict)
        return self

    def __exit__(self, *exc):
        for cls, own in self.own.items():
            if own is None:
                del cls.predict
            else:
                cls.predict = own


def kind_floor_calls(blocks, exact):
    """(estimator, matrix) of the floor: every estimator on the stacked matrices, but in exact mode
    the linear models on each device's rows, as exact mode must call them."""
    from sklearn.linear_model import LinearRegression, Ridge
    calls = []
    for block in blocks:
        for X, n, estimators in block:
            points = len(X) // n
            for est in estimators:
                if exact and isinstance(est, (LinearRegression, Ridge)):
                    calls.extend((est, X[d * points:(d + 1) * points]) for d in range(n))
                else:
                    calls.append((est, X))
    return calls


def kind_models(kinds, rows, linear=False):
    import realistic_models
    return realistic_models.models(kinds, rows, mos_utils._DEVICE_CONFIG["PLD"], linear=linear)


def onnx_floor(models, devices):
    """The same stacked matrices through ONNX Runtime (float64 models from skl2onnx), when both are
    installed: (seconds, identical to predict's bits), or a reason."""
    import importlib.util
    if not (importlib.util.find_spec("onnxruntime") and importlib.util.find_spec("skl2onnx")):
        return "not installed"
    try:
        import onnxruntime
        from skl2onnx import to_onnx
        blocks = floor_blocks(models, devices, "PLD")
        sessions, same = {}, True
        calls = []
        for block in blocks:
            for X, _, estimators in block:
                for est in estimators:
                    if id(est) not in sessions:
                        onx = to_onnx(est, X[:1], target_opset={"": 17, "ai.onnx.ml": 3})
                        sessions[id(est)] = onnxruntime.InferenceSession(onx.SerializeToString())
                    calls.append((sessions[id(est)], est, X))
        for session, est, X in calls[:20]:
            got = session.run(None, {session.get_inputs()[0].name: X})[0].ravel()
            same = same and np.array_equal(got, est.predict(X))
        t = perf()
        for session, _, X in calls:
            session.run(None, {session.get_inputs()[0].name: X})
        return {"seconds": perf() - t, "identical": bool(same)}
    except Exception as error:  # an optional comparison: any failure is only reported
        return f"failed: {type(error).__name__}: {error}"


def measure_kinds(settings, quick, memory, rows, only=None):
    """Per kind (one estimator per curve) and for the whole ensemble: the stacked floor (the
    estimators' own predict on the batch's stacked matrices, one thread), korva's batch with its own
    evaluation at n_jobs=1 (CPU time) and 2 (wall time, against the floor's wall time), and the batch
    as it was before (its evaluation turned off), side by side in one run."""
    import realistic_models
    benchmark_devices = device_frame("PLD", KIND_DEVICES[quick])
    cases = [(kind, (kind,), kind == "linear") for kind in realistic_models.KINDS]
    cases += [("whole ensemble, exact", realistic_models.ENSEMBLE, False),
              ("whole ensemble, fast", realistic_models.ENSEMBLE, True)]
    # the device family's ensembles as the demo and the figures use them (all six kinds: what
    # users train), on devices of the family's design ranges
    cases += [(f"family {FAMILY_SETTING}, exact", None, False), (f"family {FAMILY_SETTING}, fast", None, True)]
    out = []
    for name, kinds, fast in cases:
        if only and only not in name:
            continue
        family = kinds is None
        ensemble = family or name.startswith("whole")
        if family:
            models = build_models("family", "PLD")
            devices = device_frame("PLD", KIND_DEVICES[quick], "family")
        else:
            models = kind_models(kinds, rows, linear=ensemble)
            devices = benchmark_devices
        blocks = floor_blocks(models, devices, "PLD")
        calls = kind_floor_calls(blocks, exact=not fast)
        stacked_calls = kind_floor_calls(blocks, exact=False)
        call = (lambda n_jobs=None: batch.predict_curves_for_frame(models, devices, "PLD", exact=not fast,
                                                                    output="frame", n_jobs=n_jobs))
        reference = call()
        with NativeOff(models):
            before = call()
        identical = reference.equals(before) if not fast else None
        candidates = {"floor": lambda: run_floor(calls), "korva": call}
        if ensemble:
            candidates["stacked floor"] = lambda: run_floor(stacked_calls)

        def before_call():
            with NativeOff(models):
                call()
        candidates["before"] = before_call
        times, rounds = best_times(candidates, settings["rounds"], min_rounds=2, budget_s=settings["budget_s"])
        wall = {}
        for key, fn in (("floor", lambda: run_floor(calls)), ("korva n_jobs=2", lambda: call(2))):
            best = math.inf
            for _ in range(2 if quick else 3):
                t = time.perf_counter()
                fn()
                best = min(best, time.perf_counter() - t)
            wall[key] = best
        case = {"kind": name, "devices": len(devices), "training_rows": None if family else rows, "mode": "fast" if fast else "exact",
                "floor_s": times["floor"], "korva_s": times["korva"], "before_s": times["before"],
                "floor_ratio": times["korva"] / times["floor"], "before_ratio": times["before"] / times["floor"],
                "speedup": times["floor"] / times["korva"], "rounds": rounds,
                "floor_wall_s": wall["floor"], "korva_2_wall_s": wall["korva n_jobs=2"],
                "speedup_2": wall["floor"] / wall["korva n_jobs=2"],
                "same_as_before": identical,
                "same_for_n_jobs_2": bool(call(2).equals(reference))}
        if ensemble:
            case["stacked_floor_s"] = times["stacked floor"]
            case["stacked_floor_ratio"] = times["korva"] / times["stacked floor"]
        else:
            case["onnx"] = onnx_floor(models, devices)
        if memory and ensemble and not fast and not family:
            for native in (True, False):
                child = memory_in_child({"kinds": list(kinds), "rows": rows, "devices": len(devices),
                                         "native": native, "exact": not fast}, "--kinds-child")
                case["peak_bytes" if native else "before_peak_bytes"] = child["peak_growth_bytes"]
        out.append(case)
        print(f"  kinds {name:32} floor {case['floor_s']:7.3f} s  korva {case['korva_s']:7.3f} s "
              f"(x{case['speedup']:.1f} below)  before {case['before_s']:7.3f} s  n_jobs=2 wall "
              f"x{case['speedup_2']:.1f}", file=sys.stderr, flush=True)
    return out


def kinds_memory_child(spec):
    """In a fresh interpreter: the resident growth of one batch call of the realistic ensemble."""
    import realistic_models
    models = realistic_models.models(tuple(spec["kinds"]), spec["rows"], mos_utils._DEVICE_CONFIG["PLD"], linear=True)
    devices = device_frame("PLD", spec["devices"])
    switch = NativeOff(models) if not spec["native"] else None
    if switch:
        switch.__enter__()
    kwargs = {"exact": spec["exact"], "output": "frame"}
    batch.predict_curves_for_frame(models, devices.iloc[:2], "PLD", **kwargs)
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib()["VmRSS"]
    batch.predict_curves_for_frame(models, devices, "PLD", **kwargs)
    return {"peak_growth_bytes": (status_kib()["VmHWM"] - before) * 1024}


def print_kinds(results):
    if not results.get("kinds"):
        return
    first = results["kinds"][0]
    print(f"\nkorva's own evaluation, {first['devices']} PLD devices, estimators trained on "
          f"{first['training_rows'] or KIND_ROWS:,} rows a curve (benchmarks/realistic_models.py): time against the stacked "
          f"floor (the estimators' own predict on the batch's stacked matrices, one thread).\n"
          f"n_jobs=1 in CPU time (best of rounds), n_jobs=2 in wall time against the floor's wall time; "
          f"'before': the batch with korva's evaluation turned off. The family's rows: the ensembles of "
          f"tools/family_models.py (\"{FAMILY_SETTING}\", all six kinds) on devices of the family's ranges.")
    head = (f"{'kind':32} {'mode':5} {'floor/s':>8} {'korva/s':>8} {'x below':>8} {'x floor':>8} "
            f"{'before':>8} {'n_jobs=2':>9} {'same':>5} {'ONNX Runtime':>14}")
    print(head)
    print("-" * len(head))
    for c in results["kinds"]:
        onnx = c.get("onnx", "")
        if isinstance(onnx, dict):
            onnx = f"{c['floor_s'] / onnx['seconds']:.1f}x{'' if onnx['identical'] else ' (bits differ)'}"
        same = {True: "yes", False: "NO", None: "-"}[c["same_as_before"]]
        print(f"{c['kind']:32} {c['mode']:5} {c['floor_s']:8.3f} {c['korva_s']:8.3f} {c['speedup']:7.1f}x "
              f"{c['floor_ratio']:7.2f}x {c['before_ratio']:7.2f}x {c['speedup_2']:8.1f}x {same:>5} {str(onnx)[:14]:>14}")
        if "stacked_floor_s" in c:
            print(f"{'':32} {'':5} against the floor with the linear models stacked too: "
                  f"{c['stacked_floor_ratio']:.2f}x")
        if "peak_bytes" in c:
            print(f"{'':32} {'':5} peak memory {c['peak_bytes'] / MIB:.1f} MiB, before "
                  f"{c['before_peak_bytes'] / MIB:.1f} MiB (fresh interpreter, result included)")


# ---------------------------------------------------------------------------------------------
# report

TARGETS = [
    # (ensemble, mode, outputs, what, threshold)
    ("benchmark", "fast", ("records", "frame"), "floor", 1.15),
    ("benchmark", "fast", ("records", "frame"), "loop", 7.0),
    ("benchmark", "exact", ("records", "frame"), "loop", 2.0),
    ("no-knn", "fast", ("frame",), "loop", 50.0),
]


def evaluate_targets(cases):
    out = []
    for ensemble, mode, outputs, what, threshold in TARGETS:
        for output in outputs:
            found = [c for c in cases if (c["device_type"], c["devices"], c["ensemble"], c["mode"], c["output"])
                     == ("PLD", 1_000, ensemble, mode, output)]
            if not found:
                continue
            value = found[0]["floor_ratio" if what == "floor" else "loop_ratio"]
            met = value <= threshold if what == "floor" else value >= threshold
            text = (f"within {threshold}x of the floor" if what == "floor" else f"at least {threshold:g}x the loop")
            out.append({"ensemble": ensemble, "mode": mode, "output": output, "target": text,
                        "value": value, "met": met, "literal_loop_ratio": found[0]["literal_loop_ratio"]})
    return out


def mib(value):
    return f"{value / MIB:9.1f}" if value is not None else f"{'':9}"


def print_report(results):
    print("\nPer-device loop (predict_curves_for_inputs on the first 50 devices), as called and on the "
          "literal steps:")
    for key, loop in results["loop"].items():
        print(f"  {key:18} {loop['devices_per_s']:8.1f} devices/s  ({loop['seconds_per_device'] * 1e3:5.1f} ms "
              f"a device); literal steps {loop['literal_devices_per_s']:8.1f} devices/s "
              f"({loop['literal_seconds_per_device'] * 1e3:5.1f} ms), same records: "
              f"{'yes' if loop['literal_identical'] else 'NO'}")

    print("\nBatch, CPU time, best round: devices/s; x loop = its devices/s over the loop's (x lit.: over the "
          "loop on the literal steps);\nx floor = its time over the bare predicts on the stacked matrices (x ex.fl: "
          "over the exact floor, linear models per device).\nIn a fresh interpreter, once: 1st call/s = devices/s "
          "of that call; peak = its resident growth, result included;\nframe = frame.memory_usage(deep=True).sum().")
    head = (f"{'type':4} {'devices':>7} {'ensemble':12} {'mode':5} {'output':7} {'devices/s':>10} {'x loop':>7} "
            f"{'x lit.':>7} {'x floor':>8} {'x ex.fl':>8} {'floor/s':>9} {'1st call/s':>10} {'peak MiB':>9} "
            f"{'frame MiB':>9}")
    print(head)
    print("-" * len(head))
    previous = None
    for c in results["cases"]:
        group = (c["device_type"], c["devices"])
        if previous and group != previous:
            print()
        previous = group
        exact_floor = f"{c['exact_floor_ratio']:8.2f}" if c["mode"] == "exact" else f"{'':8}"
        fresh = f"{c['fresh_devices_per_s']:10.1f}" if "fresh_devices_per_s" in c else f"{'':10}"
        print(f"{c['device_type']:4} {c['devices']:>7,} {c['ensemble']:12} {c['mode']:5} {c['output']:7} "
              f"{c['devices_per_s']:10.1f} {c['loop_ratio']:7.1f} {c['literal_loop_ratio']:7.1f} "
              f"{c['floor_ratio']:8.2f} {exact_floor} "
              f"{c['devices'] / c['floor_s']:9.1f} {fresh} {mib(c.get('peak_bytes'))} {mib(c.get('frame_bytes'))}")

    print("\nBatch records of the loop's 50 devices against the loop's own:")
    for key, a in results["agreement"].items():
        print(f"  {key:18} exact mode {'identical' if a['exact_identical'] else 'NOT identical'}; "
              f"fast mode largest difference {a['fast_max_rel_diff']:.1e} of a curve's scale")
    checks = results["checks"]
    print("Matrices received by the estimators equal the floor's, bit for bit: "
          + ", ".join(f"{c['device_type']} x{c['devices']} {'exact' if c['exact'] else 'fast'} "
                      f"{'yes' if c['identical'] else 'NO'}" for c in checks))

    if results["targets"]:
        print("\nTargets at 1,000 PLD devices:")
        for t in results["targets"]:
            value = f"{t['value']:.2f}x floor" if "floor" in t["target"] else f"{t['value']:.1f}x loop"
            literal = "" if "floor" in t["target"] else f"  ({t['literal_loop_ratio']:.1f}x the literal loop)"
            print(f"  {t['ensemble']:9} {t['mode']:5} {t['output']:7} {t['target']:28} {value:>14}  "
                  f"{'met' if t['met'] else 'NOT met':7}{literal}")

    sweep = results.get("sweep_memory")
    if sweep:
        print(f"\n{SWEEP_DEVICES:,}-device PLD sweep, output='frame', no-knn ensemble, fast mode, fresh interpreter: "
              f"{sweep['devices_per_s']:.0f} devices/s ({sweep['system_seconds']:.1f} of {sweep['seconds']:.1f} s "
              f"CPU in the kernel), {sweep['frame_rows']:,} rows")
        print(f"  peak resident growth {sweep['peak_growth_bytes'] / MIB:.0f} MiB against frame "
              f"{sweep['frame_bytes'] / MIB:.0f} MiB + 256 MiB = {sweep['limit_bytes'] / MIB:.0f} MiB: "
              f"{'within' if sweep['within_limit'] else 'OVER'} (margin "
              f"{(sweep['limit_bytes'] - sweep['peak_growth_bytes']) / MIB:+.0f} MiB)")


def print_threads(results):
    if not results["threads"]:
        return
    first = results["threads"][0]
    print(f"\nThreads: {first['devices']:,} PLD devices, output='frame', fast mode, wall time (best of rounds) "
          f"on a machine with os.cpu_count() = {results['meta']['cpu_count']}:")
    for c in results["threads"]:
        if "processes" in c:
            print(f"  {c['ensemble']:12} ceiling: {c['processes']} processes, n_jobs=1 on 1/{c['processes']} of the "
                  f"devices each, {c['wall_seconds']:7.2f} s  speed-up x{c['speedup']:.2f}")
            continue
        peak = ""
        if "peak_bytes" in c:
            peak = (f"  peak {c['peak_bytes'] / MIB:7.1f} MiB (limit frame + {c['threads']} x 256 = "
                    f"{c['limit_bytes'] / MIB:.0f}: {'within' if c['peak_bytes'] <= c['limit_bytes'] else 'OVER'})")
        print(f"  {c['ensemble']:12} n_jobs={c['n_jobs']:<3} ({c['threads']} threads) {c['wall_seconds']:7.2f} s  "
              f"speed-up x{c['speedup']:.2f}  same frame as n_jobs=1: {'yes' if c['identical'] else 'NO'}{peak}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        print(json.dumps(child_memory(json.loads(sys.argv[2]))))
        return
    if len(sys.argv) > 2 and sys.argv[1] == "--kinds-child":
        print(json.dumps(kinds_memory_child(json.loads(sys.argv[2]))))
        return
    if len(sys.argv) > 2 and sys.argv[1] == "--ceiling-child":
        ceiling_child(json.loads(sys.argv[2]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip 10,000 devices and the sweep; fewer rounds")
    parser.add_argument("--no-memory", action="store_true", help="time only, no memory children")
    parser.add_argument("--threads-only", action="store_true", help="only the n_jobs comparison")
    parser.add_argument("--no-family", action="store_true",
                        help="without the ensembles trained on the device family (" + ", ".join(FAMILY) + ")")
    parser.add_argument("--kinds-only", action="store_true", help="only korva's own evaluation, kind by kind")
    parser.add_argument("--kinds-matching", metavar="TEXT", help="only the kinds' cases whose name contains TEXT")
    parser.add_argument("--kind-rows", type=int, default=KIND_ROWS,
                        help=f"training rows a curve for the kinds' models (default {KIND_ROWS:,})")
    parser.add_argument("--sweep-memory", action="store_true",
                        help=f"also the peak memory of a {SWEEP_DEVICES:,}-device frame (minutes)")
    args, _ = parser.parse_known_args()  # run_all.py hands every script the same options
    settings = {"rounds": 3 if args.quick else 5, "budget_s": 20.0 if args.quick else 240.0,
                "max_devices": RECORDS_UP_TO if args.quick else max(SIZES["PLD"]),
                "family_max_devices": FAMILY_UP_TO[args.quick]}
    memory = not args.no_memory and os.path.exists("/proc/self/clear_refs")
    if not args.no_memory and not memory:
        print("peak memory needs /proc/self/clear_refs (Linux): timing only", file=sys.stderr)

    started = time.perf_counter()
    results = {"meta": {"quick": args.quick, "clock": "process_time", "cpu_count": os.cpu_count(),
                        "python": sys.version.split()[0], "numpy": np.__version__, "pandas": pd.__version__,
                        "sklearn": sklearn.__version__, "block_devices": BLOCK_DEVICES,
                        "memory": "VmHWM growth over VmRSS before the call, fresh interpreter" if memory else None},
               "checks": [], "loop": {}, "agreement": {}, "cases": [], "targets": [], "threads": [], "kinds": []}
    if not args.threads_only:
        results["kinds"] = measure_kinds(settings, args.quick, memory, args.kind_rows, args.kinds_matching)
    if not args.threads_only and not args.kinds_only:
        results["checks"] = [check_floor_matrices("benchmark", "PLD", BLOCK_DEVICES + 3, exact=False),
                             check_floor_matrices("benchmark", "PLD", 4, exact=True),
                             check_floor_matrices("benchmark", "NLD", 4, exact=False),
                             check_floor_matrices("benchmark", "NLD", 4, exact=True)]
        ensembles = list(ENSEMBLES) + ([] if args.no_family else list(FAMILY))
        if not args.no_family:
            results["checks"].append(check_floor_matrices("family", "PLD", 4, exact=True))
        for device_type in SIZES:
            for ensemble in ensembles:
                key = f"{device_type} {ensemble}"
                loop = measure_loop(ensemble, device_type, settings)
                results["agreement"][key] = agreement_with_loop(ensemble, device_type, loop)
                results["cases"] += measure_group(ensemble, device_type, settings, loop)
                results["loop"][key] = {k: v for k, v in loop.items() if k not in ("records", "devices")}
                results["loop"][key]["devices"] = LOOP_SAMPLE
        results["cases"].sort(key=lambda c: (c["device_type"] != "PLD", c["devices"], c["ensemble"] != "benchmark",
                                             c["mode"] != "fast", c["output"] != "records"))
        results["targets"] = evaluate_targets(results["cases"])
        if memory:
            measure_memory(results["cases"])
    if not args.kinds_only:
        results["threads"] = measure_threads(settings, args.quick, memory)
    if args.sweep_memory and args.quick:
        print("--sweep-memory is skipped under --quick", file=sys.stderr)
    elif args.sweep_memory and memory:
        print(f"  memory: {SWEEP_DEVICES:,}-device sweep (minutes)", file=sys.stderr, flush=True)
        results["sweep_memory"] = measure_sweep()
    results["meta"]["elapsed_s"] = time.perf_counter() - started

    if not args.threads_only and not args.kinds_only:
        print_report(results)
    print_kinds(results)
    print_threads(results)
    out = HERE / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_batch.json").write_text(json.dumps(results, indent=2))
    print(f"\nwritten {out / 'bench_batch.json'} ({results['meta']['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
