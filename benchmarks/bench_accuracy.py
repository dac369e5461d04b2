"""Accuracy of korva.curve.metrics' figures predicted by surrogate ensembles trained on the closed-form
device family (tools/family_models.py), on held-out devices of the same design ranges.

For every figure in predict_device_metrics' frame (read from the frame, so new figures join in):
  surrogate   predict_device_metrics(models, devices, ...) with the trained ensembles;
  exact       the same call with tools/device_family.py's exact models: korva's own extraction on
              the closed-form curves, on the configured grids (spread 0);
  truth       the closed-form figure of the continuous curve (device_family.truth), where the
              family knows it under the frame's name.
The table gives the median and 95th percentile of |surrogate - truth|, |surrogate - exact| and
|exact - truth| (relative, in %, for resistances, conductances and currents), and how
often the truth (and the exact extraction) lies within 2 x the figure's _std. NaN figures are
counted, not compared; a censored BV is compared only where neither side is censored.

    python benchmarks/bench_accuracy.py [--setting 20k[,200k]] [--members all,trees] [--devices 500] [--quick]
--quick uses the "tiny" models and 60 devices. The models are trained on first use and cached
(tools/family_models.py). Results: markdown tables on stdout and benchmarks/out/bench_accuracy.json.
"""
import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import device_family as fam  # noqa: E402
import family_models  # noqa: E402

from korva.curve import metrics  # noqa: E402

HELD_OUT_SEED = {"PLD": 90_001, "NLD": 90_002}
MEMBERS = {"all": None, "trees": family_models.TREES}
LABELS = {"all": "all six kinds", "trees": "forests + boosting"}


def figure_columns(frame):
    """The float figures of the frame that carry a _std, in frame order."""
    return [c for c in frame.columns if not c.endswith("_std") and f"{c}_std" in frame.columns
            and frame[c].dtype == np.float64]


def is_relative(unit, *columns):
    """Resistances, conductances and currents are compared in %: figures with a positive value in a
    unit that is not a voltage, a logarithm or a count of decades."""
    values = np.concatenate([np.asarray(c, dtype=float) for c in columns])
    values = values[np.isfinite(values)]
    return ("V" not in unit and not unit.startswith("log") and unit != "decades" and values.size > 0
            and values.min() > 0)


def difference(a, b, relative):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return np.abs(a - b) / np.abs(b) * 100 if relative else np.abs(a - b)


def stats(errors):
    errors = errors[np.isfinite(errors)]
    if errors.size == 0:
        return {"n": 0, "median": None, "p95": None}
    return {"n": int(errors.size), "median": float(np.median(errors)), "p95": float(np.percentile(errors, 95))}


def compare(device_type, surrogate, exact, truth):
    rows = []
    units = surrogate.attrs.get("metrics", {}).get("columns", {})
    usable = pd.Series(True, index=surrogate.index)
    if "bv_censored" in surrogate:
        censored = surrogate["bv_censored"].to_numpy() | exact["bv_censored"].to_numpy()
        censored |= truth["bv_censored"].to_numpy() if "bv_censored" in truth else False
    for name in figure_columns(surrogate):
        mask = usable.to_numpy().copy()
        if name == "bv" and "bv_censored" in surrogate:
            mask &= ~censored
        s, e, std = (surrogate[name].to_numpy(), exact[name].to_numpy(), surrogate[f"{name}_std"].to_numpy())
        t = truth[name].to_numpy() if name in truth else None
        unit = units.get(name, {}).get("unit", "")
        relative = bool(is_relative(unit, e, t if t is not None else e))
        row = {"device_type": device_type, "figure": name, "unit": f"% ({unit})" if relative else unit,
               "relative": relative, "nan_surrogate": int(np.isnan(s).sum()), "nan_exact": int(np.isnan(e).sum()),
               "surrogate_vs_exact": stats(difference(s[mask], e[mask], relative)),
               "exact_within_2std": float(np.mean((np.abs(s - e) <= 2 * std)[mask & np.isfinite(s) & np.isfinite(e)]))
               if np.any(mask & np.isfinite(s) & np.isfinite(e)) else None}
        if t is not None:
            finite = mask & np.isfinite(s) & np.isfinite(t)
            row["surrogate_vs_truth"] = stats(difference(s[mask], t[mask], relative))
            row["exact_vs_truth"] = stats(difference(e[mask], t[mask], relative))
            row["truth_within_2std"] = float(np.mean((np.abs(s - t) <= 2 * std)[finite])) if finite.any() else None
        rows.append(row)
    if "bv_censored" in surrogate:
        rows.append({"device_type": device_type, "figure": "bv_censored", "unit": "",
                     "agreement_with_exact": float(np.mean(surrogate["bv_censored"] == exact["bv_censored"])),
                     "agreement_with_truth": float(np.mean(surrogate["bv_censored"].to_numpy()
                                                           == truth["bv_censored"].to_numpy()))})
    return rows


def measure(setting, members, device_type, n):
    kinds = MEMBERS[members] if members in MEMBERS else tuple(members.split("+"))
    models, info = family_models.load_models(setting, with_info=True, members=kinds)
    devices = fam.sample_devices(device_type, n, seed=HELD_OUT_SEED[device_type])
    started = time.process_time()
    surrogate = metrics.predict_device_metrics(models, devices, device_type)
    seconds = time.process_time() - started
    exact = metrics.predict_device_metrics(fam.exact_models(device_type), devices, device_type)
    truth = fam.truth(devices, device_type)
    return {"setting": setting, "members": members, "device_type": device_type, "devices": n,
            "predict_cpu_s": seconds, "train_cpu_s": info["train_cpu_s"], "cache_bytes": info["cache_bytes"],
            "rows": compare(device_type, surrogate, exact, truth)}


def cell(s, digits):
    if not s or s["median"] is None:
        return "-"
    return f"{s['median']:.{digits}g} / {s['p95']:.{digits}g}"


def share(value):
    return "-" if value is None else f"{100 * value:.0f} %"


def markdown(result):
    lines = [f"**{result['device_type']}**, {result['devices']} held-out devices, setting \"{result['setting']}\", "
             f"members {result['members']}: predict_device_metrics {result['predict_cpu_s']:.1f} s CPU",
             "",
             "| figure | unit | surrogate vs truth (median / p95) | surrogate vs exact | exact vs truth "
             "| truth within 2 std | exact within 2 std | NaN (surrogate / exact) |",
             "|---|---|---|---|---|---|---|---|"]
    for row in result["rows"]:
        if row["figure"] == "bv_censored":
            lines.append(f"| bv_censored | | agrees {share(row['agreement_with_truth'])} | agrees "
                         f"{share(row['agreement_with_exact'])} | | | | |")
            continue
        lines.append(f"| {row['figure']} | {row['unit']} | {cell(row.get('surrogate_vs_truth'), 3)} | "
                     f"{cell(row['surrogate_vs_exact'], 3)} | {cell(row.get('exact_vs_truth'), 3)} | "
                     f"{share(row.get('truth_within_2std'))} | {share(row['exact_within_2std'])} | "
                     f"{row['nan_surrogate']} / {row['nan_exact']} |")
    return "\n".join(lines)


def summary(results):
    """One table over the ensembles measured: per figure, |surrogate - truth| of each ensemble,
    the truth's coverage by 2 std, and korva's own extraction on the exact curves."""
    names = [f"\"{r['setting']}\", {LABELS.get(r['members'], r['members'])}" for r in results
             if r["device_type"] == "PLD"]
    head = ("| device | figure | unit | " + " | ".join(f"{m}: median / p95" for m in names)
            + " | truth within 2 std (in this order) | exact curves vs truth: median / p95 |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for device_type in ("PLD", "NLD"):
        runs = [r for r in results if r["device_type"] == device_type]
        for i, row in enumerate(runs[0]["rows"]):
            if "surrogate_vs_truth" not in row:
                continue
            same = [r["rows"][i] for r in runs]
            lines.append(f"| {device_type} | {row['figure']} | {row['unit']} | "
                         + " | ".join(cell(x["surrogate_vs_truth"], 2) for x in same) + " | "
                         + " / ".join(share(x["truth_within_2std"]) for x in same)
                         + f" | {cell(row['exact_vs_truth'], 2)} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--setting", default="20k",
                        help="comma-separated: " + ", ".join(family_models.SETTINGS))
    parser.add_argument("--members", default="all,trees",
                        help="comma-separated: " + ", ".join(MEMBERS) + ", or kinds joined by + (rf+hgb)")
    parser.add_argument("--devices", type=int, default=500)
    parser.add_argument("--quick", action="store_true", help='"tiny" models, 60 devices')
    args, _ = parser.parse_known_args()  # run_all.py hands every script the same options
    settings, n = (["tiny"], 60) if args.quick else (args.setting.split(","), args.devices)
    started = time.perf_counter()
    results = []
    for setting in settings:
        for members in args.members.split(","):
            for device_type in ("PLD", "NLD"):
                result = measure(setting, members, device_type, n)
                results.append(result)
                print(markdown(result) + "\n", flush=True)
    if len(results) > 2:
        print(summary(results) + "\n")
    out = HERE / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_accuracy.json").write_text(json.dumps({"results": results,
                                                         "elapsed_s": time.perf_counter() - started}, indent=2))
    print(f"written {out / 'bench_accuracy.json'} ({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
