"""A tour of korva: the module tree, object fingerprints, MTD dump containers (saved encrypted,
loaded from the file and over HTTP), device curve prediction with a plot of the curves, a
design sweep: the curves of 500 devices predicted in one batch call, with a plot of the drain
current at a fixed bias against the swept geometry, and the figures of merit of a PLD drift sweep
(400 devices) predicted by ensembles trained on a closed-form device family, against that family's
own figures, with the Pareto front of specific on-resistance and breakdown, and a design search (the
front of specific on-resistance and breakdown at a breakdown floor and a threshold window, robust to
two standard deviations of the ensemble) with the Sobol indices of the figures.

Run it with `./dev.sh demo`; it writes its files into demo/out/."""
import functools
import http.server
import json
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.ensemble import VotingRegressor
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.tree import DecisionTreeRegressor

import korva
import korva.curve.batch as curve_batch
import korva.curve.design as design
import korva.curve.metrics as curve_metrics
import korva.curve.mos_utils as mos_utils
from korva.utils import hash as korva_hash
from korva.utils import mtdump

OUT = Path(__file__).resolve().parent / "out"


def section(title):
    print(f"\n=== {title} " + "=" * max(0, 66 - len(title)))


def show_module_tree():
    section("Module tree (one extension file)")
    print("extension file:", Path(korva.__file__).name)
    for name in sorted(m for m in sys.modules if m == "korva" or m.startswith("korva.")):
        print("  ", name)


def show_fingerprints():
    section("Object fingerprints")
    for obj in [42, "korva", {"device": "NLD", "A": 1.0}, np.arange(5)]:
        print(f"  obj_to_hash({obj!r:32}) = {korva_hash.obj_to_hash(obj)}")
    print("  size=16:", korva_hash.obj_to_hash("korva", size=16))


def train_regressor(rng):
    X = rng.normal(size=(400, 6))
    y = X @ rng.normal(size=6) + 0.1 * rng.normal(size=400)
    return Ridge(alpha=0.5).fit(X, y), X


def serve_directory(directory):
    """A local HTTP server on 127.0.0.1 for the demonstration of loading by URL."""
    class QuietHandler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(QuietHandler, directory=str(directory))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def show_dump(rng):
    section("MTD dump: an encrypted scikit-learn model")
    model, X = train_regressor(rng)
    path = OUT / "model.mtd"
    result = mtdump.save_dump(model, path, passphrase="auto", meta={"purpose": "demo", "rows": len(X)})
    print("save_dump returned keys:", list(result), "| checksum", result["checksum"][:16] + "...")
    print("passphrase (Base64 key, keep it safe):", result["passphrase"])
    print("file size:", path.stat().st_size, "bytes")

    loaded, info = mtdump.load_dump(path, passphrase=result["passphrase"], return_info=True)
    print("dump info:")
    summary = {"version": info["version"], "dump": info["dump"], "meta": info["meta"],
               "environment": info["environment"], "modules": f"{len(info['modules'])} distributions"}
    print("  " + json.dumps(summary, indent=2).replace("\n", "\n  "))

    server = serve_directory(OUT)
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/model.mtd"
        over_http = mtdump.load_dump(url, passphrase=result["passphrase"])
    finally:
        server.shutdown()
        server.server_close()
    same_file = np.array_equal(model.predict(X), loaded.predict(X))
    same_http = np.array_equal(model.predict(X), over_http.predict(X))
    print(f"predictions equal after loading from the file: {same_file}; over HTTP ({url}): {same_http}")

    try:
        mtdump.load_dump(path)
    except mtdump.MTDDecryptionError as error:
        print("loading without the passphrase:", type(error).__name__, "-", error)


# ---- device curves -----------------------------------------------------------------------------

PLD_DEVICE = pd.Series({"Finger Width": 2.0, "Length": 0.5, "nf": 4.0, "Si pitch": 1.2, "A": 1.0, "C": 3.0, "E": 5.0})

def synthetic_log_current(inputs, variant, x):
    """A smooth made-up device response: log10 of a current that rises with the bias x and, like a
    transistor's, with the first input (a width) over the second (a length)."""
    scale = 0.05 * np.tanh(inputs.sum() / 50.0) + 0.02 * variant
    geometry = 0.5 * np.log10(inputs[0] / inputs[1])
    return -12.0 + geometry + 9.0 * (1.0 - np.exp(-np.abs(x) * (0.6 + scale)))


def train_device_models(rng, device_type):
    config = mos_utils._DEVICE_CONFIG[device_type]
    n_base = len(config["BASE_INPUT_COLS"])
    models = {}
    for curve_type, curve in config["CURVE_INFO"].items():
        has_variant = bool(curve["input_cols"])
        x_range = curve["x_range"]
        rows = 3000
        base = rng.uniform(0.5, 5.0, size=(rows, n_base))
        variant = rng.choice([0.0, 0.82, 1.65, 2.48, 3.3], size=rows) if has_variant else np.zeros(rows)
        x = rng.uniform(x_range[0], x_range[-1], size=rows)
        y = np.array([synthetic_log_current(b, v, xi) for b, v, xi in zip(base, variant, x)])
        y += 0.05 * rng.normal(size=rows)
        X = np.column_stack([base, variant, x]) if has_variant else np.column_stack([base, x])
        models[curve_type] = VotingRegressor([
            ("lin", LinearRegression()),
            ("ridge", Ridge(alpha=1.0)),
            ("tree", DecisionTreeRegressor(max_depth=8, random_state=0)),
        ]).fit(X, y)
        models[curve_type + ".linear"] = DecisionTreeRegressor(max_depth=8, random_state=1).fit(X, 10.0 ** y)
    return models


def show_curves(rng):
    section("Device curves")
    models = {"PLD": train_device_models(rng, "PLD"), "NLD": train_device_models(rng, "NLD")}
    pld = PLD_DEVICE
    nld = pd.Series({"A": 1.0, "B": 2.0, "C": 3.0, "D": 4.0, "E": 5.0})
    records = {"PLD": mos_utils.predict_curves_for_inputs(models, pld, "PLD"),
               "NLD": mos_utils.predict_curves_for_inputs(models, nld, "NLD")}
    for device, curves in records.items():
        print(f"{device}: {len(curves)} curves")
        for rec in curves:
            y = np.array(rec["y_coords"])
            print(f"  {rec['curve_type']:10} {str(rec['curve_variant']):10} {rec['y_label']} from {y[0]:7.3f} "
                  f"to {y[-1]:7.3f} {rec['y_unit']}; max submodel std {max(rec['y_coords_std']):.3f}")
    plot_curves(records)
    return models


def pyplot():
    """matplotlib.pyplot on the Agg backend, or None (said on stdout) when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no plot)")
        return None
    return plt


def plot_curves(records):
    plt = pyplot()
    if plt is None:
        return
    panels = [("PLD", "breakdown"), ("PLD", "id-vg-sat"), ("PLD", "id-vd-0"), ("NLD", "id-vg"), ("NLD", "id-vd")]
    fig, axes = plt.subplots(1, len(panels), figsize=(4 * len(panels), 3.6))
    for ax, (device, curve_type) in zip(axes, panels):
        for rec in records[device]:
            if rec["curve_type"] != curve_type:
                continue
            x, y, std = (np.array(rec[k]) for k in ("x_coords", "y_coords", "y_coords_std"))
            line, = ax.plot(x, y, label=rec["curve_variant"] or "default")
            ax.fill_between(x, y - std, y + std, color=line.get_color(), alpha=0.25)
            ax.set_xlabel(f"{rec['x_label']} [{rec['x_unit']}]")
            ax.set_ylabel(f"{rec['y_label']} [{rec['y_unit']}]")
        ax.set_title(f"{device} {curve_type}")
        ax.legend(fontsize=6)
    fig.tight_layout()
    target = OUT / "curves.png"
    fig.savefig(target, dpi=110)
    print("plot of the curves with their submodel spread:", target)


# ---- design sweep ------------------------------------------------------------------------------

SWEPT = "Length"
SWEEP_CURVE, SWEEP_VARIANT, SWEEP_BIAS = "id-vd-0", "Vg=-3.30", 1.1  # the drain current at -Vd = 1.1 V


def show_design_sweep(models):
    section("Design sweep: 500 devices in one batch call, on every core")
    devices = pd.DataFrame([PLD_DEVICE] * 500).reset_index(drop=True)
    devices[SWEPT] = np.linspace(0.5, 5.0, len(devices))
    started = time.perf_counter()
    frame = curve_batch.predict_curves_for_frame(models, devices, "PLD", output="frame", n_jobs=-1)
    elapsed = time.perf_counter() - started
    print(f"{len(devices)} PLD devices, {SWEPT} from {devices[SWEPT].iloc[0]} to {devices[SWEPT].iloc[-1]}, "
          f"the other inputs fixed: {elapsed:.2f} s, {len(devices) / elapsed:,.0f} devices/s (wall clock, "
          f"n_jobs=-1: {os.cpu_count()} cores)")
    print(f"tidy frame: {len(frame):,} rows x {list(frame.columns)}, "
          f"{frame.memory_usage(deep=True).sum() / 2**20:.1f} MiB")

    # one curve and variant at the point nearest the bias: one row per device, in device order
    curve = frame[(frame["curve_type"] == SWEEP_CURVE) & (frame["curve_variant"] == SWEEP_VARIANT)]
    point = curve["point"].iloc[np.argmin(np.abs(curve["x"].to_numpy() - SWEEP_BIAS))]
    at_bias = curve[curve["point"] == point]
    swept = devices.loc[at_bias["device"].astype(devices.index.dtype), SWEPT].to_numpy()
    one = mos_utils.predict_curves_for_inputs(models, devices.iloc[0], "PLD")
    record = next(r for r in one if r["curve_type"] == SWEEP_CURVE and r["curve_variant"] == SWEEP_VARIANT)
    print(f"device 0 at that bias: {float(at_bias['y'].iloc[0])!r} here, "
          f"{record['y_coords'][point]!r} from predict_curves_for_inputs")
    plot_sweep(frame.attrs["curves"][SWEEP_CURVE], swept, at_bias)


def plot_sweep(axes_info, swept, at_bias):
    plt = pyplot()
    if plt is None:
        return
    y, std = at_bias["y"].to_numpy(), at_bias["y_std"].to_numpy()
    bias = at_bias["x"].iloc[0]
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    line, = ax.plot(swept, y, label="mean over the submodels")
    ax.fill_between(swept, y - std, y + std, color=line.get_color(), alpha=0.3, label="± submodel std")
    ax.set_xlabel(f"{SWEPT} (swept device input)")
    ax.set_ylabel(f"{axes_info['y_label']} [{axes_info['y_unit']}]")
    ax.set_title(f"PLD {SWEEP_CURVE}, {SWEEP_VARIANT}, {axes_info['x_label']} = {bias:.3g} {axes_info['x_unit']}")
    ax.legend()
    fig.tight_layout()
    target = OUT / "design_sweep.png"
    fig.savefig(target, dpi=110)
    print("plot of the drain current against the swept input:", target)


# ---- figures of merit ---------------------------------------------------------------------------

TOOLS = Path(__file__).resolve().parent.parent / "tools"
# A PLD drift sweep: the drift length ("Si pitch", um) against the drift doping ("C", 1e16 cm^-3), the
# classic LDMOS trade-off of specific on-resistance against breakdown; and a Length sweep for the
# threshold's roll-off. The other inputs: a 10 um x 4 finger device with a 7 nm oxide.
FAMILY_DEVICE = {"Finger Width": 10.0, "Length": 0.5, "nf": 4.0, "Si pitch": 1.0, "A": 0.2, "C": 3.0, "E": 7.0}
DRIFT_LENGTHS = np.linspace(0.4, 1.5, 20)
DRIFT_DOPINGS = np.linspace(1.0, 5.0, 20)
ROLL_OFF_LENGTHS = np.geomspace(0.4, 5.0, 30)
MOHM_MM2 = 1e3  # ohm um^2 per mOhm mm^2


def family_tools():
    """The closed-form device family and the ensembles trained on it (tools/, trained once and cached
    in build/family_models/)."""
    sys.path.insert(0, str(TOOLS))
    import device_family
    import family_models
    return device_family, family_models


def family_sweep(columns):
    grid = pd.MultiIndex.from_product(list(columns.values()), names=list(columns)).to_frame(index=False)
    devices = pd.DataFrame([FAMILY_DEVICE] * len(grid))
    for name in columns:
        devices[name] = grid[name].to_numpy()
    return devices


def show_device_metrics():
    section("Figures of merit: a PLD drift sweep, 400 devices, from surrogates of a device family")
    fam, family_models = family_tools()
    # the forests and the boosting of the "20k" ensembles (the neighbours and the ridge line are
    # decades off in log current, and a sixth of the mean each)
    models = family_models.load_models("20k", members=family_models.TREES)
    domain = {name: (low, high) for name, (low, high, _) in fam.RANGES["PLD"].items()}

    devices = family_sweep({"Si pitch": DRIFT_LENGTHS, "C": DRIFT_DOPINGS})
    devices.index = [f"Ld{ld:.3f}-Nd{nd:.2f}" for ld, nd in zip(devices["Si pitch"], devices["C"])]
    devices["area"] = fam.area(devices, "PLD")  # um^2: W x (Length + drift + contacts)
    started = time.perf_counter()
    figures = curve_metrics.predict_device_metrics(models, devices, "PLD", criteria={"area": "area"}, domain=domain,
                                                   n_jobs=-1)
    elapsed = time.perf_counter() - started
    print(f"{len(devices):,} devices: {elapsed:.2f} s, {len(devices) / elapsed:,.0f} devices/s "
          f"(wall clock, n_jobs=-1); "
          f"{figures.shape[1]} columns; all inside the training domain: {bool(figures.in_domain.all())}")
    shown = ["vth_lin", "vth_gm", "ss", "dibl", "gm_max", "on_off", "ron", "ron_sp", "log_idsat_w", "bv"]
    units = figures.attrs["metrics"]["columns"]
    print(figures[shown].describe().loc[["mean", "min", "max"]].to_string(float_format=lambda v: f"{v:.4g}"))
    print("units:", {c: units[c]["unit"] for c in shown}, "([W] um, [area] um^2)")

    # the surrogates against the closed-form figures of the same devices
    truth = fam.truth(devices, "PLD")
    truth["ron_sp"] = truth["ron"] * devices["area"]
    truth["vth_gm"] = truth["vth_gm_intercept"] - 0.05
    print("surrogate - closed form: median |error| (median spread _std)")
    for column in ("vth_lin", "ss", "ron_sp", "bv", "log_idsat_w", "vth_gm"):
        error = figures[column] - truth[column]
        relative = column in ("ron_sp", "ss")
        scale = truth[column].abs() if relative else 1.0
        print(f"  {column:12} {np.nanmedian(np.abs(error / scale)):.3g}{' (relative)' if relative else ''}"
              f"  ({np.nanmedian(figures[column + '_std'] / scale):.3g})")
    missing = int((figures.vth_lin_status != "found").sum())
    print(f"censored breakdowns (bv beyond the 15 V sweep): {int(figures.bv_censored.sum())}; ron from a coarse "
          f"grid: {int(figures.ron_coarse.sum())}; thresholds not found: {missing}")

    # the trade-off: specific on-resistance against breakdown, each taken at its worse side (1 std)
    front = curve_metrics.pareto_front(figures, minimize=["ron_sp"], maximize=["bv"], robust=1.0)
    truth_front = curve_metrics.pareto_front(truth, minimize=["ron_sp"], maximize=["bv"])
    print(f"Pareto front (min ron_sp, max bv, robust=1): {int(front.sum())} devices; "
          f"of the closed form's: {int(truth_front.sum())}")
    table = figures.loc[front, ["ron_sp", "ron_sp_std", "bv", "bv_std", "bv_censored"]].join(devices[["Si pitch", "C"]])
    table[["ron_sp", "ron_sp_std"]] /= MOHM_MM2
    print(table.sort_values("bv").rename(columns={"ron_sp": "ron_sp mOhm mm2", "ron_sp_std": "std"})
          .head(10).to_string(float_format=lambda v: f"{v:.4g}"))

    roll_off = family_sweep({"Length": ROLL_OFF_LENGTHS})
    roll_figures = curve_metrics.predict_device_metrics(models, roll_off, "PLD", n_jobs=-1)
    plot_device_metrics(devices, figures, front, truth, truth_front, roll_off, roll_figures, fam.truth(roll_off, "PLD"))


def plot_device_metrics(devices, figures, front, truth, truth_front, roll_off, roll_figures, roll_truth):
    plt = pyplot()
    if plt is None:
        return
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.6))
    length = roll_off["Length"]
    roll_truth = roll_truth.assign(vth_gm=roll_truth["vth_gm_intercept"] - 0.05)
    for column, label, color in (("vth_lin", "constant current (1e-7 A x W/L)", "tab:blue"),
                                 ("vth_gm", "max-gm extrapolation", "tab:orange")):
        y, std = roll_figures[column], roll_figures[column + "_std"]
        left.plot(length, y, color=color, label=f"{column}: {label}")
        left.fill_between(length, y - std, y + std, color=color, alpha=0.2)
        left.plot(length, roll_truth[column], color=color, linestyle="--", linewidth=1, label=f"{column}, closed form")
    left.set_xscale("log")
    ticks = [0.5, 1.0, 2.0, 5.0]
    left.set_xticks(ticks, [f"{t:g}" for t in ticks])
    left.xaxis.set_minor_formatter(plt.NullFormatter())
    left.set_xlabel("Length [um]")
    left.set_ylabel("|Vth| [V]  (id-vg-lin, |Vd| = 0.1 V)")
    left.set_title("Threshold roll-off (band: ± submodel std)")
    left.legend(fontsize=7)

    ron_sp = figures["ron_sp"] / MOHM_MM2
    right.scatter(truth["ron_sp"] / MOHM_MM2, truth["bv"], color="0.8", s=6, label="closed form, every device")
    points = right.scatter(ron_sp, figures["bv"], c=devices["Si pitch"], cmap="viridis", s=9, alpha=0.8)
    censored = figures["bv_censored"].to_numpy()
    right.scatter(ron_sp[censored], figures.loc[censored, "bv"], marker="^", s=22, facecolors="none",
                  edgecolors="tab:red", linewidths=0.7, label="censored: breakdown beyond the 15 V sweep")
    right.scatter(ron_sp[front], figures.loc[front, "bv"], color="black", marker="D", s=14,
                  label="Pareto front (min ron_sp, max bv; robust=1)")
    exact = truth[truth_front].sort_values("ron_sp")
    right.plot(exact["ron_sp"] / MOHM_MM2, exact["bv"], color="tab:red", linestyle="--", linewidth=1,
               label="closed-form front")
    right.set_xscale("log")
    low = min(ron_sp.min(), truth["ron_sp"].min() / MOHM_MM2)
    high = max(ron_sp.max(), truth["ron_sp"].max() / MOHM_MM2)
    ticks = [t for t in (5, 10, 20, 30, 50, 100, 200, 500) if low <= t <= high]
    right.set_xticks(ticks, [f"{t:g}" for t in ticks])
    right.xaxis.set_minor_formatter(plt.NullFormatter())
    right.set_xlabel("specific on-resistance ron_sp [mOhm mm^2]  (id-vd-0, |Vg| = 3.3 V)")
    right.set_ylabel("bv [V]  (at 1e-6 A per um of W)")
    right.set_title("Breakdown against specific on-resistance")
    fig.colorbar(points, ax=right, label="drift length (Si pitch) [um]")
    right.legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    target = OUT / "device_metrics.png"
    fig.savefig(target, dpi=110)
    print("plot of the figures of merit:", target)


# ---- design search ------------------------------------------------------------------------------
# The PLD's drift (length "Si pitch" and doping "C"), channel length and threshold-adjust dose "A"
# searched for the lowest specific on-resistance and the highest breakdown, with breakdown at least
# 12 V and the threshold within [0.6, 0.9] V at two standard deviations of the ensemble; the finger
# width, the finger count and the oxide stay those of the figures' sweep. The area of each design
# (for ron_sp) is the family's layout area, called on every generation's devices.

DESIGN_SPACE = {"Si pitch": (0.4, 1.5), "C": (1.0, 5.0), "Length": (0.4, 5.0), "A": (-0.3, 0.5)}
DESIGN_FIXED = {name: value for name, value in FAMILY_DEVICE.items() if name not in DESIGN_SPACE}
DESIGN_RON = "ron_sp"
BV_FLOOR, VTH_WINDOW, ROBUST = 12.0, (0.6, 0.9), 2.0
SENSITIVITY_SPACE = {"Finger Width": (1.0, 20.0), "Length": (0.4, 5.0), "nf": [1.0, 2.0, 4.0, 8.0, 16.0],
                     "Si pitch": (0.4, 1.5), "A": (-0.3, 0.5), "C": (1.0, 5.0), "E": (6.5, 8.0)}


def show_design_search():
    section(f"Design search: lowest {DESIGN_RON} at bv >= {BV_FLOOR:g} V, vth_lin in {VTH_WINDOW}, robust={ROBUST:g}")
    fam, family_models = family_tools()
    models = family_models.load_models("20k", members=family_models.TREES)
    criteria = {"area": lambda devices: fam.area(devices, "PLD")}
    cloud = family_sweep({"Si pitch": np.linspace(0.4, 1.5, 12), "C": np.linspace(1.0, 5.0, 12),
                          "A": np.linspace(-0.3, 0.5, 5)})
    cloud = curve_metrics.predict_device_metrics(models, cloud, "PLD", criteria={"area": fam.area(cloud, "PLD")},
                                                 n_jobs=-1)
    started = time.perf_counter()
    found = design.search_designs(models, "PLD", DESIGN_SPACE, {DESIGN_RON: "min", "bv": "max"},
                                  {"bv": (BV_FLOOR, None), "vth_lin": VTH_WINDOW}, fixed=DESIGN_FIXED,
                                  criteria=criteria, robust=ROBUST, budget=1000, seed=1, n_jobs=-1)
    elapsed = time.perf_counter() - started
    info = found.attrs["search"]
    print(f"{info['evaluations']} designs evaluated ({info['generations']} generations after a Sobol start of "
          f"{info['settings']['initial_sample']['size']}): {elapsed:.2f} s; {info['feasible']} feasible, "
          f"{len(found)} on the front; hypervolume {info['hypervolume'][0]:.4g} -> {info['hypervolume'][-1]:.4g}")
    if found.empty:
        print("no design meets the constraints at this robustness; closest:", info["closest"])
    else:
        columns = list(DESIGN_SPACE) + [DESIGN_RON, f"{DESIGN_RON}_std", "bv", "bv_std", "vth_lin",
                   "vth_lin_std"]
        print(f"the lowest {DESIGN_RON} that clears the constraints at {ROBUST:g} standard deviations:")
        print(found[columns].head(1).to_string(float_format=lambda v: f"{v:.4g}"))
        print(f"the front, {DESIGN_RON} against bv (first rows):")
        print(found[columns].head(6).to_string(float_format=lambda v: f"{v:.4g}"))
    started = time.perf_counter()
    indices = design.sensitivity(models, "PLD", SENSITIVITY_SPACE, [DESIGN_RON, "bv", "vth_lin"],
                                 criteria=criteria, samples=256, seed=1, n_jobs=-1)
    print(f"Sobol indices, 256 base points x {len(SENSITIVITY_SPACE)} inputs "
          f"({indices.attrs['sensitivity']['evaluations']:,} devices): {time.perf_counter() - started:.2f} s; "
          "total indices ST:")
    print(indices.pivot(index="input", columns="figure", values="ST").loc[list(SENSITIVITY_SPACE)]
          .to_string(float_format=lambda v: f"{v:.3f}"))
    plot_design_search(cloud, found, indices)


def plot_design_search(cloud, found, indices):
    plt = pyplot()
    if plt is None:
        return
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 4.8))
    left.scatter(cloud[DESIGN_RON] / MOHM_MM2, cloud["bv"], s=6, color="0.75", label=f"grid sweep ({len(cloud):,} devices)")
    if not found.empty:
        left.errorbar(found[DESIGN_RON] / MOHM_MM2, found["bv"], xerr=ROBUST * found[f"{DESIGN_RON}_std"] / MOHM_MM2,
                      yerr=ROBUST * found["bv_std"], fmt="none", ecolor="tab:blue", alpha=0.25, linewidth=0.8)
        # markers only: the front's designs are compared at their worse sides, not where they are drawn
        left.scatter(found[DESIGN_RON] / MOHM_MM2, found["bv"], color="black", marker="D", s=14,
                     label=f"front found (robust={ROBUST:g}; bars: ±{ROBUST:g} std)")
    left.axhline(BV_FLOOR, color="tab:red", linestyle="--", linewidth=0.9, label=f"bv floor {BV_FLOOR:g} V")
    left.set_xscale("log")
    ticks = [20, 30, 50, 100, 200]
    left.set_xticks(ticks, [f"{t:g}" for t in ticks])
    left.xaxis.set_minor_formatter(plt.NullFormatter())
    left.set_xlabel(f"{DESIGN_RON} [mOhm mm^2]")
    left.set_ylabel("bv [V]")
    left.set_title(f"Search (vth_lin in {VTH_WINDOW} V) over the grid sweep's cloud")
    left.legend(fontsize=7, loc="lower right")

    inputs = list(SENSITIVITY_SPACE)
    figures = list(dict.fromkeys(indices["figure"]))
    width = 0.8 / len(figures)
    for k, figure in enumerate(figures):
        rows = indices[indices["figure"] == figure].set_index("input").loc[inputs]
        x = np.arange(len(inputs)) + (k - (len(figures) - 1) / 2) * width
        right.bar(x, rows["ST"], width, yerr=rows["ST_conf"], capsize=2, label=f"{figure}: ST")
        right.scatter(x, rows["S1"], color="black", s=10, zorder=3, label="S1" if k == 0 else None)
    right.set_xticks(np.arange(len(inputs)), inputs, rotation=20)
    right.set_ylabel("Sobol index")
    right.set_title("Sensitivity: total (bars, 95 % bootstrap interval) and first order (dots)")
    right.legend(fontsize=7)
    fig.tight_layout()
    target = OUT / "design_search.png"
    fig.savefig(target, dpi=110)
    print("plot of the front and the Sobol indices:", target)


def main():
    OUT.mkdir(exist_ok=True)
    rng = np.random.default_rng(7)
    show_module_tree()
    show_fingerprints()
    show_dump(rng)
    models = show_curves(rng)
    show_design_sweep(models)
    show_device_metrics()
    show_design_search()


if __name__ == "__main__":
    main()
