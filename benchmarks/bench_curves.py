"""Cost of korva's curve prediction against the model predictions it cannot avoid.

For one PLD device (21 curve records) and one NLD device (2 records), with a VotingRegressor of
five small scikit-learn estimators per curve plus a ".linear" ensemble for blending, it measures:

  korva      predict_curves_for_inputs(models, device, device_type), end to end, as users call it:
             on a plain float Series with the module's own globals its guarded fast path runs;
  literal    the same call on the literal steps (a guard made to fail: mos_utils's `comb` replaced
             by an equal callable), which is what every call cost before the fast path; checked to
             give the same records;
  (1) bare   every estimator's own predict() on the same query matrices, which are built here with
             numpy beforehand (checked equal to what the models receive): the floor no
             implementation of the algorithm can go below;
  (2) steps  the pandas and numpy steps the algorithm prescribes (Series build for the NLD input
             transform, Series selection and concat, np.tile/hstack, stacking the predictions,
             clip/log10, smoothstep, the blend rows, mean/std/tolist and the record dict), replayed
             in plain Python on cached predictions; broken down step by step;
  (3) own    literal - (1) - (2): what korva's own code adds to the literal steps. The same
             difference is also taken for the plain-Python replay run end to end
             (replay - (1) - (2)): what is left there is not code but the cost of running the
             predicts amid the pandas steps (caches, garbage collection).

The ratios korva / bare and literal / bare stand side by side: the fast path's gain.
It also maps predict_curves_for_inputs over N devices serially and with a ProcessPoolExecutor of
two workers (devices per second), and writes everything to benchmarks/out/bench_curves.json.
Numbers are per device, the best of several interleaved rounds, in CPU time of this process
(time.process_time; --wall for time.perf_counter); BLAS/OpenMP threads are pinned to 1 so
"per core" means one core. The mapping over many devices is timed by the wall clock.
Usage: python benchmarks/bench_curves.py [--quick] [--wall]
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import concurrent.futures  # noqa: E402
import functools  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from itertools import repeat  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import curve_models as cm  # noqa: E402

from korva.curve import mos_utils  # noqa: E402
from scipy.special import comb  # noqa: E402

QUICK = "--quick" in sys.argv
# Per-device costs are single-threaded: by default they are taken as this process's CPU time,
# which other processes competing for the cores barely disturb; --wall takes the wall clock.
WALL = "--wall" in sys.argv
perf = time.perf_counter if WALL else time.process_time
ROUNDS = 5 if QUICK else 9          # timing rounds; the best round is reported
DEVICES_PER_ROUND = 3 if QUICK else 6
MAP_DEVICES = {"PLD": 12 if QUICK else 40, "NLD": 60 if QUICK else 240}


def python_config(device_type):
    """The built-in configuration with the NLD transform replaced by its plain-Python twin, so
    that the replay's Series build counts as a pandas step rather than as korva's code."""
    config = dict(mos_utils._DEVICE_CONFIG[device_type])
    if "INPUT_TRANSFORM" in config:
        config["INPUT_TRANSFORM"] = cm.nld_transform
    return config


def numpy_queries(device, device_type):
    """The query matrix of every curve and variant, built from the Series values with numpy alone
    (what a pandas-free fast path would do)."""
    config = mos_utils._DEVICE_CONFIG[device_type]
    if device_type == "NLD":
        a, b, c, d, e = device["A"], device["B"], device["C"], device["D"], device["E"]
        base = np.array([a, b, (c + d) + e, c / ((c + d) + e), (c + d) / ((c + d) + e), d + e,
                         (((((0.77 + a) + b) + c) + d) + e) + 0.1])
    else:
        base = device.to_numpy()[device.index.get_indexer(config["BASE_INPUT_COLS"])]
    queries = []
    for info in config["CURVE_INFO"].values():
        x = info["x_range"]
        for variant in info["variants"].values():
            X = np.empty((len(x), len(base) + len(variant) + 1))
            X[:, :len(base)] = base
            X[:, len(base):-1] = list(variant.values())
            X[:, -1] = x
            queries.append(X)
    return queries


def curve_plan(models, device, device_type):
    """Per curve and variant: the query matrix built with numpy (checked equal, bit for bit, to
    the one the algorithm assembles with pandas) and the estimators of the log-space and the
    linear model."""
    config = mos_utils._DEVICE_CONFIG[device_type]
    queries = iter(numpy_queries(device, device_type))
    plan = []
    for curve_type, info in config["CURVE_INFO"].items():
        x = info["x_range"]
        for variant in info["variants"].values():
            X = next(queries)
            expected = cm.query_matrix(device, python_config(device_type), variant, x)
            assert X.dtype == expected.dtype and np.array_equal(X, expected), "query matrices differ"
            assert X.tobytes() == expected.tobytes() and X.flags.c_contiguous == expected.flags.c_contiguous
            log_model = models[device_type][curve_type]
            lin_model = models[device_type].get(f"{curve_type}.linear")
            plan.append((X, log_model.estimators_, lin_model.estimators_ if lin_model is not None else []))
    return plan


def bare_predict(plan):
    for X, log_estimators, lin_estimators in plan:
        for est in log_estimators:
            est.predict(X)
        for est in lin_estimators:
            est.predict(X)


def cached_predictions(plan):
    """The per-estimator predictions in the order the algorithm asks for them."""
    out = []
    for X, log_estimators, lin_estimators in plan:
        out.append([est.predict(X) for est in log_estimators])
        if lin_estimators:
            out.append([est.predict(X) for est in lin_estimators])
    return out


def replay_with_cache(models, device, device_type, config, cache):
    """The algorithm's pandas/numpy steps with the predict calls replaced by cached results
    (stacked with np.array, as the submodel step does)."""
    it = iter(cache)
    return cm.replay_curves(models, device, device_type, config, predict=lambda model, X: np.array(next(it)))


STEPS = ["transform: Series from dict", "select base cols (pandas)", "variant Series + concat",
         "np.tile + hstack", "stack predictions (np.array)", "clip + log10", "linspace + smoothstep",
         "blend rows + np.array", "mean/std/tolist + record"]


def replay_steps_timed(models, device, device_type, config, cache, acc):
    """Replays the steps of one device with a timer around each, adding into `acc`."""
    it = iter(cache)
    params = config.get("PREDICTION_PARAMS", {})
    blend = params.get("auto_linear_blend", 0)
    for curve_type, info in config["CURVE_INFO"].items():
        x_coords = info["x_range"]
        for label, variant in info["variants"].items():
            t0 = perf()
            static = config["INPUT_TRANSFORM"](device) if "INPUT_TRANSFORM" in config else device
            t1 = perf()
            series = [static[config["BASE_INPUT_COLS"]]]
            t2 = perf()
            if variant:
                series.append(pd.Series(variant))
            input_series = pd.concat(series)
            t3 = perf()
            X = np.hstack([np.tile(input_series.values, (len(x_coords), 1)), x_coords.reshape(-1, 1)])
            t4 = perf()
            y_log = np.array(next(it))
            t5 = perf()
            acc[STEPS[0]] += t1 - t0
            acc[STEPS[1]] += t2 - t1
            acc[STEPS[2]] += t3 - t2
            acc[STEPS[3]] += t4 - t3
            acc[STEPS[4]] += t5 - t4
            y = y_log
            if blend > 0 and f"{curve_type}.linear" in models[device_type]:
                t5 = perf()
                y_lin_raw = np.array(next(it))
                t6 = perf()
                y_lin = np.log10(np.clip(y_lin_raw, 1e-14, None))
                n_log, n_lin = y_log.shape[0], y_lin.shape[0]
                if n_log < n_lin:
                    y_log = np.tile(y_log, (int(np.ceil(n_lin / n_log)), 1))[:n_lin, :]
                elif n_log > n_lin:
                    y_lin = np.tile(y_lin, (int(np.ceil(n_log / n_lin)), 1))[:n_log, :]
                t7 = perf()
                weights = cm.smoothstep(np.linspace(0, 1, num=len(x_coords)), x_min=0, x_max=1, N=int(blend))
                t8 = perf()
                y = np.array([a * (1 - weights) + b * weights for a, b in zip(y_log, y_lin)])
                t9 = perf()
                acc[STEPS[4]] += t6 - t5
                acc[STEPS[5]] += t7 - t6
                acc[STEPS[6]] += t8 - t7
                acc[STEPS[7]] += t9 - t8
            t10 = perf()
            {"curve_type": curve_type, "curve_variant": None if label == "default" else label,
             "_variant_dict": variant, "x_coords": x_coords.tolist(), "y_coords": np.mean(y, axis=0).tolist(),
             "y_coords_std": np.std(y, axis=0).tolist(), "_y_coords": y.tolist(), "x_label": info["x_label"],
             "x_unit": info["x_unit"], "y_label": info["y_label"], "y_unit": info["y_unit"]}
            acc[STEPS[8]] += perf() - t10


def per_device(fns, devices):
    """Time per device of each `fn(device)` in `fns` over `devices`: the candidates take turns
    within every round (so load from elsewhere hits them alike) and the best round counts."""
    samples = {name: [] for name in fns}
    for _ in range(ROUNDS):
        for name, fn in fns.items():
            t = perf()
            for d in devices:
                fn(d)
            samples[name].append((perf() - t) / len(devices))
    return {name: min(v) for name, v in samples.items()}


def literal_steps(predict):
    """`predict` run on the literal steps: one guard of the fast path (mos_utils's own `comb`)
    fails for the duration of the call, with a callable that computes the same."""
    foreign_comb = functools.partial(comb)

    def call(*args):
        mos_utils.comb = foreign_comb
        try:
            return predict(*args)
        finally:
            mos_utils.comb = comb
    return call


def measure_device_type(device_type, models):
    devices = cm.device_inputs(device_type, DEVICES_PER_ROUND, seed=42)
    py_config = python_config(device_type)
    predict = mos_utils.predict_curves_for_inputs
    literal = literal_steps(predict)
    plans = {id(d): curve_plan(models, d, device_type) for d in devices}
    caches = {id(d): cached_predictions(plans[id(d)]) for d in devices}

    # the replay must reproduce korva's records bit for bit, or the attribution means nothing
    for d in devices:
        assert predict(models, d, device_type) == cm.replay_curves(models, d, device_type, py_config), \
            f"{device_type}: korva and the replay disagree"
        assert literal(models, d, device_type) == predict(models, d, device_type)
        assert replay_with_cache(models, d, device_type, py_config, caches[id(d)]) == \
            predict(models, d, device_type)

    for d in devices:  # warm-up
        predict(models, d, device_type)
        literal(models, d, device_type)
        bare_predict(plans[id(d)])
    times = per_device({
        "korva": lambda d: predict(models, d, device_type),
        "literal": lambda d: literal(models, d, device_type),
        "bare": lambda d: bare_predict(plans[id(d)]),
        "steps": lambda d: replay_with_cache(models, d, device_type, py_config, caches[id(d)]),
        "replay": lambda d: cm.replay_curves(models, d, device_type, py_config),
    }, devices)
    korva_t, literal_t, bare_t, steps_t = times["korva"], times["literal"], times["bare"], times["steps"]
    replay_t = times["replay"]

    rounds = []
    for _ in range(ROUNDS):
        acc = dict.fromkeys(STEPS, 0.0)
        for d in devices:
            replay_steps_timed(models, d, device_type, py_config, caches[id(d)], acc)
        rounds.append(acc)
    breakdown = {k: min(r[k] for r in rounds) / len(devices) for k in STEPS}

    n_records = len(predict(models, devices[0], device_type))
    n_predicts = sum(len(p[1]) + len(p[2]) for p in plans[id(devices[0])])
    return {
        "records": n_records,
        "predict_calls": n_predicts,
        "korva_s": korva_t,
        "literal_s": literal_t,
        "bare_predict_s": bare_t,
        "steps_s": steps_t,
        "own_s": literal_t - bare_t - steps_t,
        "python_replay_s": replay_t,
        "replay_remainder_s": replay_t - bare_t - steps_t,
        "literal_minus_replay_s": literal_t - replay_t,
        "ratio_korva_over_bare": korva_t / bare_t,
        "ratio_literal_over_bare": literal_t / bare_t,
        "fast_path_gain": 1 - korva_t / literal_t,
        "devices_per_s_per_core": 1.0 / korva_t,
        "steps_breakdown_s": breakdown,
    }


def measure_map(models):
    perf = time.perf_counter
    out = {}
    fn = mos_utils.predict_curves_for_inputs
    for device_type, n in MAP_DEVICES.items():
        devices = cm.device_inputs(device_type, n, seed=99)
        t = perf()
        serial = [fn(models, d, device_type) for d in devices]
        serial_t = perf() - t
        t = perf()
        with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
            cold = list(pool.map(fn, repeat(models), devices, repeat(device_type), chunksize=max(1, n // 16)))
            cold_t = perf() - t
            t = perf()
            warm = list(pool.map(fn, repeat(models), devices, repeat(device_type), chunksize=max(1, n // 16)))
            warm_t = perf() - t
        assert cold == serial and warm == serial, "pool results differ from the serial ones"
        out[device_type] = {
            "devices": n,
            "serial_devices_per_s": n / serial_t,
            "pool2_devices_per_s_incl_startup": n / cold_t,
            "pool2_devices_per_s_warm": n / warm_t,
            "speedup_warm": serial_t / warm_t,
        }
    return out


def us(seconds):
    return f"{seconds * 1e6:10.0f}"


def main():
    t = perf()
    models = {
        "PLD": cm.build_models("PLD", n_estimators=5, linear_estimators=5, seed=3),
        "NLD": cm.build_models("NLD", n_estimators=5, linear_estimators=5, seed=4),
    }
    print(f"models: 5 + 5 estimators per curve (trained in {perf() - t:.2f} s); "
          f"{'quick' if QUICK else 'full'} run, {ROUNDS} rounds x {DEVICES_PER_ROUND} devices")
    results = {"quick": QUICK, "clock": "perf_counter" if WALL else "process_time", "cpu_count": os.cpu_count(), "per_device": {}, "map": {}}
    for device_type in ("PLD", "NLD"):
        results["per_device"][device_type] = measure_device_type(device_type, models)

    print(f"\nPer device (microseconds of {'wall' if WALL else 'CPU'} time, best round; "
          "replay checked bit-identical with korva):")
    print(f"{'':36}{'PLD':>10} {'share':>6}{'NLD':>12} {'share':>6}")
    rows = [("korva predict_curves_for_inputs", "korva_s"), ("  the same on the literal steps", "literal_s"),
            ("(1) bare estimator predict", "bare_predict_s"),
            ("(2) pandas/numpy steps (replay)", "steps_s"), ("(3) korva's own code (literal)", "own_s"),
            ("plain-Python replay, end to end", "python_replay_s"),
            ("    its remainder: replay-(1)-(2)", "replay_remainder_s"),
            ("literal - plain-Python replay", "literal_minus_replay_s")]
    pld, nld = results["per_device"]["PLD"], results["per_device"]["NLD"]
    for label, key in rows:
        print(f"{label:36}{us(pld[key])} {pld[key] / pld['literal_s']:6.1%}  {us(nld[key])} "
              f"{nld[key] / nld['literal_s']:6.1%}")
    print("  (2) broken down (timed step by step, timer overhead included):")
    for step in STEPS:
        a, b = pld["steps_breakdown_s"][step], nld["steps_breakdown_s"][step]
        print(f"    {step:32}{us(a)} {a / pld['literal_s']:6.1%}  {us(b)} {b / nld['literal_s']:6.1%}")
    for label, key, fmt in (("records per device", "records", "{:>10}".format),
                            ("estimator predict calls", "predict_calls", "{:>10}".format),
                            ("ratio korva / bare predict", "ratio_korva_over_bare", "{:>10.3f}".format),
                            ("ratio literal steps / bare predict", "ratio_literal_over_bare", "{:>10.3f}".format),
                            ("fast path gain", "fast_path_gain", "{:>10.1%}".format),
                            ("devices / s / core (korva)", "devices_per_s_per_core", "{:>10.1f}".format)):
        print(f"{label:36}{fmt(pld[key])}        {fmt(nld[key])}")

    results["map"] = measure_map(models)
    print("\nMapping over many devices (devices per second):")
    print(f"{'':6}{'N':>6}{'serial':>10}{'pool(2)':>10}{'pool warm':>11}{'speed-up':>10}")
    for device_type, m in results["map"].items():
        print(f"{device_type:6}{m['devices']:>6}{m['serial_devices_per_s']:>10.1f}"
              f"{m['pool2_devices_per_s_incl_startup']:>10.1f}{m['pool2_devices_per_s_warm']:>11.1f}"
              f"{m['speedup_warm']:>9.2f}x")
    print(f"(cores: {os.cpu_count()})")

    out = Path(__file__).resolve().parent / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_curves.json").write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
