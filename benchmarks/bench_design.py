"""Speed of korva.curve.design.

  search       search_designs(models, "PLD", space, {"ron": "min", "bv": "max"}, {"vth_lin": (1.5, 2.2)},
               robust=1, budget=1,000) against predict_device_metrics on 1,000 PLD devices of the same
               space in one call, in the same run (target: at most 1.5 x the one call);
  own work     the part of the search spent outside predict_device_metrics (the Sobol start, the
               devices frames, scoring, NSGA-II, the fronts, the result frame), measured by timing
               the calls the search makes;
  sensitivity  sensitivity(...) of three figures to the seven inputs with 128 base points (1,152
               devices) against predict_device_metrics on as many devices in one call.

The models are bench_batch.py's "benchmark" ensemble (a VotingRegressor per curve and per ".linear"
model of two trees, nearest neighbours, Ridge and LinearRegression); the space spans the ranges of
its PLD devices. Times are CPU time of this process (time.process_time), best of several
interleaved rounds, with BLAS/OpenMP pinned to one thread.

    python benchmarks/bench_design.py [--quick]
--quick: a budget of 500 and 64 base points, fewer rounds. Results: a table on stdout and
benchmarks/out/bench_design.json. Nothing here asserts on time.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import types  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
import bench_batch  # noqa: E402  (build_models: the batch benchmark's ensembles)
from bench_metrics import best_of  # noqa: E402  (interleaved rounds, best CPU time of each)

from korva.curve import design, metrics  # noqa: E402

perf = time.process_time
TARGETS = {"search_ratio": 1.5}
SPACE = {"Finger Width": (0.5, 20.0), "Length": (0.05, 2.0), "nf": [float(n) for n in range(1, 16)],
         "Si pitch": (0.1, 1.0), "A": (-2.0, 2.0), "C": (0.0, 5.0), "E": (0.2, 5.0)}
OBJECTIVES = {"ron": "min", "bv": "max"}
CONSTRAINTS = {"vth_lin": (1.5, 2.2)}


def random_devices(n, seed):
    """n devices drawn uniformly from SPACE (nf from its allowed values)."""
    rng = np.random.default_rng(seed)
    columns = {}
    for name, spec in SPACE.items():
        columns[name] = rng.choice(spec, n) if isinstance(spec, list) else rng.uniform(*spec, n)
    return pd.DataFrame(columns)


class TimedMetrics:
    """Stands in for the design module's `metrics` global: the same function, its calls timed."""

    def __init__(self):
        self.seconds, self.calls = 0.0, 0

    def predict_device_metrics(self, *args, **kwargs):
        t = perf()
        try:
            return metrics.predict_device_metrics(*args, **kwargs)
        finally:
            self.seconds += perf() - t
            self.calls += 1


def measure_search(models, budget, rounds):
    devices = random_devices(budget, 5)

    def search():
        return design.search_designs(models, "PLD", SPACE, OBJECTIVES, CONSTRAINTS, robust=1.0, budget=budget,
                                     seed=3)

    one_call = lambda: metrics.predict_device_metrics(models, devices, "PLD")  # noqa: E731
    search_s, call_s = best_of(rounds, search, one_call)
    # the search once more, with its predictions timed
    timed = TimedMetrics()
    design.metrics = timed
    try:
        t = perf()
        frame = search()
        total = perf() - t
    finally:
        design.metrics = metrics
    info = frame.attrs["search"]
    return {"budget": budget, "search_s": search_s, "one_call_s": call_s, "ratio": search_s / call_s,
            "own_s": total - timed.seconds, "own_share": (total - timed.seconds) / total,
            "predict_calls": timed.calls, "generations": info["generations"], "front": len(frame),
            "feasible": info["feasible"]}


def measure_sensitivity(models, samples, rounds):
    figures = ["ron", "bv", "vth_lin"]
    devices = random_devices(samples * (len(SPACE) + 2), 6)
    sens_s, call_s = best_of(
        rounds,
        lambda: design.sensitivity(models, "PLD", SPACE, figures, samples=samples, seed=4),
        lambda: metrics.predict_device_metrics(models, devices, "PLD"))
    return {"samples": samples, "devices": len(devices), "sensitivity_s": sens_s, "one_call_s": call_s,
            "ratio": sens_s / call_s}


def print_report(results):
    s = results["search"]
    verdict = "ok" if s["ratio"] <= TARGETS["search_ratio"] else "MISSED"
    print(f"search_designs, budget {s['budget']:,} ({s['generations']} generations after the start, "
          f"{s['predict_calls']} predict calls incl. the argument check), benchmark ensemble (CPU s, best round)")
    print(f"  search {s['search_s']:7.3f}  one predict_device_metrics call on {s['budget']:,} devices "
          f"{s['one_call_s']:7.3f}  ratio {s['ratio']:.3f}  (target <= {TARGETS['search_ratio']})  {verdict}")
    print(f"  outside the predictions: {s['own_s']:.3f} s, {100 * s['own_share']:.1f} % of the search; "
          f"front {s['front']} designs, {s['feasible']} feasible evaluated")
    v = results["sensitivity"]
    print(f"sensitivity, {v['samples']} base points x 7 inputs ({v['devices']:,} devices), 3 figures")
    print(f"  sensitivity {v['sensitivity_s']:7.3f}  one predict_device_metrics call {v['one_call_s']:7.3f}  "
          f"ratio {v['ratio']:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a budget of 500, 64 base points, fewer rounds")
    args, _ = parser.parse_known_args()  # run_all.py hands every script the same options
    rounds = 2 if args.quick else 3
    started = time.perf_counter()
    models = bench_batch.build_models("benchmark", "PLD")
    metrics.predict_device_metrics(models, random_devices(2, 0), "PLD")  # first-call costs
    results = {"meta": {"quick": args.quick, "clock": "process_time", "targets": TARGETS}}
    results["search"] = measure_search(models, 500 if args.quick else 1_000, rounds)
    results["sensitivity"] = measure_sensitivity(models, 64 if args.quick else 128, rounds)
    results["meta"]["elapsed_s"] = time.perf_counter() - started
    print_report(results)
    out = HERE / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_design.json").write_text(json.dumps(results, indent=2))
    print(f"\nwritten {out / 'bench_design.json'} ({results['meta']['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
