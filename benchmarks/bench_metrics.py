"""Speed and memory of korva.curve.metrics.

  ratio      predict_device_metrics(models, devices, "PLD") on 1,000 PLD devices against
             predict_curves_for_frame(models, devices, "PLD", output="frame") on the same devices,
             in the same run, fast and exact mode (target: at most 0.55 of the frame's time);
  primitives crossing, value_at, subthreshold_swing, on_resistance, minimum_swing,
             small_signal_resistance and max_gm_threshold on a 100,000 x 101 array (target: at most
             50 ms each);
  memory     the peak resident growth of predict_device_metrics on 100,000 PLD devices, in a fresh
             interpreter, beyond the models and inputs (target: at most 400 MB);
  pareto     pareto_front on 100,000 rows with 2 objectives (target: at most 0.5 s).

The models are bench_batch.py's "benchmark" ensemble (a VotingRegressor per curve and per ".linear"
model of two trees, nearest neighbours, Ridge and LinearRegression), the devices its PLD frame. The
ratio is also measured, beside it, on the ensembles trained on the closed-form device family
(bench_batch.FAMILY: "family", forests, boosting, nearest neighbours and ridge on 20,000 rows a
curve, and "family-trees", its forests and boosting alone), with devices of the family's ranges.
Times are CPU time of this process (time.process_time), best of several interleaved rounds, with
BLAS/OpenMP pinned to one thread. Peak memory: the rise of VmHWM (reset through /proc/self/clear_refs
just before the call) over VmRSS before it, after the models and devices are built and a warm-up
call on two devices has run; it includes the result.

    python benchmarks/bench_metrics.py [--quick] [--no-memory] [--no-family]
--quick measures the memory on 10,000 devices and extrapolates (the growth that scales with the
device count is the result frame), and takes fewer rounds. Results: a table on stdout and
benchmarks/out/bench_metrics.json. Nothing here asserts on time.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import ctypes  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
import bench_batch  # noqa: E402  (build_models, device_frame, status_kib: the batch benchmark's own)

from korva.curve import batch, metrics  # noqa: E402

perf = time.process_time
MIB = 1 << 20
RATIO_DEVICES = 1_000
MEMORY_DEVICES = 100_000
PRIMITIVE_SHAPE = (100_000, 101)
PARETO_ROWS = 100_000
TARGETS = {"ratio": 0.55, "primitive_s": 0.050, "memory_bytes": 400e6, "pareto_s": 0.5}


def best_of(rounds, *fns):
    """The best CPU time of each function over `rounds` interleaved rounds."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t = perf()
            fn()
            best[i] = min(best[i], perf() - t)
    return best


def measure_ratio(rounds, ensemble="benchmark"):
    models = bench_batch.build_models(ensemble, "PLD")
    devices = bench_batch.device_frame("PLD", RATIO_DEVICES, ensemble)
    out = {}
    for mode, exact in (("fast", False), ("exact", True)):
        frame_s, metrics_s = best_of(
            rounds,
            lambda: batch.predict_curves_for_frame(models, devices, "PLD", exact=exact, output="frame"),
            lambda: metrics.predict_device_metrics(models, devices, "PLD", exact=exact))
        out[mode] = {"frame_s": frame_s, "metrics_s": metrics_s, "ratio": metrics_s / frame_s}
    return out


def measure_primitives(rounds):
    rng = np.random.default_rng(0)
    m, n = PRIMITIVE_SHAPE
    x = np.linspace(-0.1, 3.65, n)
    vt = rng.uniform(0.3, 1.5, m)
    y = -7.0 + (x[None, :] - vt[:, None]) / 0.08 + rng.normal(0.0, 0.02, (m, n))
    vd = np.linspace(0.0, 3.65, n)
    y_out = np.log10(rng.uniform(1e-5, 1e-3, m)[:, None] * vd[None, :] + 1e-12)
    calls = {
        "crossing": lambda: metrics.crossing(x, y, -7.0),
        "value_at": lambda: metrics.value_at(x, y, 3.3),
        "subthreshold_swing": lambda: metrics.subthreshold_swing(x, y, -7.0),
        "on_resistance": lambda: metrics.on_resistance(vd, y_out),
        "minimum_swing": lambda: metrics.minimum_swing(x, y, -7.0),
        "small_signal_resistance": lambda: metrics.small_signal_resistance(vd, y_out),
        "max_gm_threshold": lambda: metrics.max_gm_threshold(x, y),
    }
    times = best_of(rounds, *calls.values())
    return dict(zip(calls, times))


def measure_pareto(rounds):
    rng = np.random.default_rng(1)
    frame = pd.DataFrame({"ron": rng.lognormal(size=PARETO_ROWS), "bv": rng.normal(10.0, 2.0, PARETO_ROWS)})
    (seconds,) = best_of(rounds, lambda: metrics.pareto_front(frame, minimize=["ron"], maximize=["bv"]))
    return {"seconds": seconds, "front": int(metrics.pareto_front(frame, minimize=["ron"], maximize=["bv"]).sum())}


def child_memory(devices_count):
    """In a fresh interpreter: the resident growth of one call over the state just before it."""
    models = bench_batch.build_models("benchmark", "PLD")
    devices = bench_batch.device_frame("PLD", devices_count)
    metrics.predict_device_metrics(models, devices.iloc[:2], "PLD")  # first-call costs
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = bench_batch.status_kib()["VmRSS"]
    t = perf()
    result = metrics.predict_device_metrics(models, devices, "PLD")
    seconds = perf() - t
    peak = bench_batch.status_kib()["VmHWM"]
    return {"devices": devices_count, "peak_growth_bytes": (peak - before) * 1024, "seconds": seconds,
            "result_bytes": int(result.memory_usage(deep=True).sum())}


def measure_memory(devices_count):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", str(devices_count)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory child failed:\n{proc.stderr[-2000:]}")
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    scale = MEMORY_DEVICES / devices_count
    # the working set is one chunk's; what grows with the device count is the result frame
    out["estimate_bytes_at_100k"] = out["peak_growth_bytes"] + (scale - 1) * out["result_bytes"]
    out["extrapolated"] = devices_count != MEMORY_DEVICES
    return out


def print_report(results):
    print(f"predict_device_metrics vs predict_curves_for_frame(output='frame'), {RATIO_DEVICES:,} PLD devices "
          "(CPU s, best round)")
    for ensemble, per_mode in [("benchmark", results["ratio"]), *results.get("family_ratio", {}).items()]:
        for mode, r in per_mode.items():
            verdict = "ok" if r["ratio"] <= TARGETS["ratio"] else "MISSED"
            print(f"  {ensemble:12} {mode:5}  frame {r['frame_s']:7.3f}  metrics {r['metrics_s']:7.3f}  "
                  f"ratio {r['ratio']:.3f}  (target <= {TARGETS['ratio']})  {verdict}")
    print(f"primitives on {PRIMITIVE_SHAPE[0]:,} x {PRIMITIVE_SHAPE[1]} (CPU ms, best round; target <= 50 ms)")
    for name, seconds in results["primitives"].items():
        print(f"  {name:24} {1000 * seconds:7.1f}  {'ok' if seconds <= TARGETS['primitive_s'] else 'MISSED'}")
    p = results["pareto"]
    print(f"pareto_front, {PARETO_ROWS:,} rows x 2 objectives: {1000 * p['seconds']:.1f} ms ({p['front']} on the front;"
          f" target <= 500 ms)  {'ok' if p['seconds'] <= TARGETS['pareto_s'] else 'MISSED'}")
    m = results.get("memory")
    if m:
        how = f"measured on {m['devices']:,} devices, extrapolated" if m["extrapolated"] else "measured"
        print(f"peak RSS growth, {MEMORY_DEVICES:,} PLD devices: {m['estimate_bytes_at_100k'] / 1e6:.0f} MB ({how}; "
              f"growth {m['peak_growth_bytes'] / 1e6:.0f} MB at {m['devices']:,}, result {m['result_bytes'] / 1e6:.1f} MB,"
              f" {m['devices'] / m['seconds']:,.0f} devices/s; target <= 400 MB)  "
              f"{'ok' if m['estimate_bytes_at_100k'] <= TARGETS['memory_bytes'] else 'MISSED'}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        print(json.dumps(child_memory(int(sys.argv[2]))))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="memory on 10,000 devices, extrapolated; fewer rounds")
    parser.add_argument("--no-memory", action="store_true", help="time only, no memory child")
    parser.add_argument("--no-family", action="store_true",
                        help="without the ensembles trained on the device family (bench_batch.FAMILY)")
    args, _ = parser.parse_known_args()  # run_all.py hands every script the same options
    rounds = 3 if args.quick else 5
    started = time.perf_counter()
    results = {"meta": {"quick": args.quick, "clock": "process_time", "targets": TARGETS}}
    results["ratio"] = measure_ratio(rounds)
    if not args.no_family:
        results["family_ratio"] = {name: measure_ratio(2 if args.quick else 3, name) for name in bench_batch.FAMILY}
    results["primitives"] = measure_primitives(rounds)
    results["pareto"] = measure_pareto(rounds)
    if not args.no_memory and os.path.exists("/proc/self/clear_refs"):
        results["memory"] = measure_memory(10_000 if args.quick else MEMORY_DEVICES)
    results["meta"]["elapsed_s"] = time.perf_counter() - started
    print_report(results)
    out = HERE / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_metrics.json").write_text(json.dumps(results, indent=2))
    print(f"\nwritten {out / 'bench_metrics.json'} ({results['meta']['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
