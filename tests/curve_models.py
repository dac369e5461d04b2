"""Synthetic device inputs and small trained models for the curve-prediction tests and benchmark.

Everything is built from numpy Generators with fixed seeds, so two calls with the same arguments
give equal inputs and models with equal predictions. The curve tables here are written out on
their own (not read from korva), so the models can be built before korva is imported.

Also holds a plain-Python replay of the curve algorithm (`replay_curves`), used as the reference
the extension's results are compared with, and by the benchmark to time the pandas/numpy steps.
"""
import numpy as np
import pandas as pd
from scipy.special import comb
from sklearn.ensemble import VotingRegressor
from sklearn.linear_model import Lasso, LinearRegression, Ridge
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor

PLD_INPUTS = ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]
NLD_RAW_INPUTS = ["A", "B", "C", "D", "E"]
NLD_BASE_INPUTS = ["A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP"]

# curve type -> (x start, x stop, number of variant columns) of each device's curves
CURVES = {
    "PLD": {
        "breakdown": (0.0, 15.0, 0),
        "id-vg-sat": (-0.1, 3.65, 1),
        "id-vg-lin": (-0.1, 3.65, 1),
        "id-vd-0": (0.0, 3.65, 1),
        "id-vd-3.3": (0.0, 3.65, 1),
    },
    "NLD": {
        "id-vg": (0.0, 6.0, 0),
        "id-vd": (0.0, 100.0, 0),
    },
}

# The estimators a log-space ensemble is made of, in this order (the first `n` are used).
ESTIMATOR_KINDS = ("lr", "ridge", "tree", "knn", "lasso")
# The batch benchmark's ensemble: two trees of different depth, nearest neighbours, two linear fits.
BENCHMARK_KINDS = ("tree", "deep tree", "knn", "ridge", "lr")


def _estimator(kind, seed):
    if kind == "lr":
        return LinearRegression()
    if kind == "ridge":
        return Ridge(alpha=1.0)
    if kind == "tree":
        return DecisionTreeRegressor(max_depth=4, random_state=seed)
    if kind == "deep tree":
        return DecisionTreeRegressor(max_depth=8, random_state=seed)
    if kind == "knn":
        return KNeighborsRegressor(n_neighbors=5)
    if kind == "lasso":
        return Lasso(alpha=1e-3, max_iter=2000)
    raise ValueError(kind)


def _ensemble(n_estimators, seed, kinds=ESTIMATOR_KINDS):
    kinds = kinds[:n_estimators]
    return VotingRegressor([(f"{kind.replace(' ', '_')}{i}", _estimator(kind, seed + i))
                            for i, kind in enumerate(kinds)])


# ---------------------------------------------------------------------------------------------
# Device inputs

def pld_inputs(n, seed=1):
    """`n` PLD devices, each a float64 Series over the seven PLD input labels (plus one extra
    label, "Comment", that the models never see)."""
    rng = np.random.default_rng(seed)
    devices = []
    for _ in range(n):
        values = {
            "Finger Width": rng.uniform(0.5, 20.0),
            "Length": rng.uniform(0.05, 2.0),
            "nf": float(rng.integers(1, 16)),
            "Si pitch": rng.uniform(0.1, 1.0),
            "A": rng.normal(),
            "C": rng.uniform(0.0, 5.0),
            "E": rng.lognormal(),
        }
        devices.append(pd.Series(values, dtype="float64"))
    return devices


def nld_inputs(n, seed=2):
    """`n` NLD devices, each a Series over the raw labels "A" to "E" (positive floats)."""
    rng = np.random.default_rng(seed)
    return [pd.Series(dict(zip(NLD_RAW_INPUTS, rng.uniform(0.1, 5.0, size=5))), dtype="float64")
            for _ in range(n)]


def device_inputs(device_type, n, seed=None):
    if device_type == "PLD":
        return pld_inputs(n, 1 if seed is None else seed)
    return nld_inputs(n, 2 if seed is None else seed)


# ---------------------------------------------------------------------------------------------
# Models

def _training_set(rng, n_static, n_variant, x_range, n_rows):
    """Random query rows in the layout the models receive (static inputs, variant values, x) and
    a smooth log10-current target with a little noise."""
    x0, x1 = x_range
    static = rng.uniform(-1.0, 5.0, size=(n_rows, n_static))
    variant = rng.uniform(-3.3, 3.3, size=(n_rows, n_variant))
    x = rng.uniform(x0, x1, size=(n_rows, 1))
    X = np.hstack([static, variant, x])
    t = (x[:, 0] - x0) / (x1 - x0)
    y_log = -12.0 + 6.0 * t + 0.1 * static.sum(axis=1) + 0.2 * variant.sum(axis=1) + rng.normal(0, 0.05, n_rows)
    return X, y_log


def build_models(device_type, *, n_estimators=4, linear_estimators=3, n_rows=200, seed=0,
                 curve_types=None, kinds=ESTIMATOR_KINDS):
    """Trained models for one device type: {curve type: log-space model, "<curve type>.linear":
    linear-scale model}. The log-space model is a VotingRegressor of `n_estimators` estimators;
    the linear model a VotingRegressor of `linear_estimators` estimators (a plain LinearRegression
    when 1), so the two stacks differ in size and the blend repeats the smaller one. Pass
    `linear_estimators=0` to leave the linear models out. Both ensembles take the first estimators
    of `kinds`."""
    rng = np.random.default_rng(seed)
    n_static = len(PLD_INPUTS) if device_type == "PLD" else len(NLD_BASE_INPUTS)
    models = {}
    for i, (curve_type, (x0, x1, n_variant)) in enumerate(CURVES[device_type].items()):
        X, y_log = _training_set(rng, n_static, n_variant, (x0, x1), n_rows)
        if curve_types is not None and curve_type not in curve_types:
            continue
        models[curve_type] = _ensemble(n_estimators, seed + 10 * i, kinds).fit(X, y_log)
        if linear_estimators:
            # the current itself: tiny values, some of which the linear fits push below zero
            y_lin = 10.0 ** y_log * 1e3 - 2e-10
            linear = (LinearRegression() if linear_estimators == 1
                      else _ensemble(linear_estimators, seed + 10 * i + 5, kinds))
            models[f"{curve_type}.linear"] = linear.fit(X, y_lin)
    return models


def all_models(**kwargs):
    """The models mapping for both device types: {"PLD": {...}, "NLD": {...}}."""
    return {device_type: build_models(device_type, **kwargs) for device_type in CURVES}


# ---------------------------------------------------------------------------------------------
# Plain-Python replay of the curve algorithm (the reference korva must match bit for bit)

def submodel_predictions(model, X):
    if isinstance(model, VotingRegressor):
        return np.array([est.predict(X) for est in model.estimators_])
    if hasattr(model, "predict"):
        return np.array([model.predict(X)])
    raise ValueError("Model must have a 'predict' method or be a VotingRegressor.")


def smoothstep(x, x_min=0, x_max=1, N=1):
    x = np.clip((x - x_min) / (x_max - x_min), 0, 1)
    result = 0
    for n in range(0, N + 1):
        result += comb(N + n, n) * comb(2 * N + 1, N - n) * (-x) ** n
    result *= x ** (N + 1)
    return result


def query_matrix(device_inputs, config, variant, x_coords):
    """The query matrix of one curve and variant, assembled as the algorithm prescribes."""
    static = config["INPUT_TRANSFORM"](device_inputs) if "INPUT_TRANSFORM" in config else device_inputs
    series = [static[config["BASE_INPUT_COLS"]]]
    if variant:
        series.append(pd.Series(variant))
    input_series = pd.concat(series)
    repeated = np.tile(input_series.values, (len(x_coords), 1))
    return np.hstack([repeated, x_coords.reshape(-1, 1)])


def replay_single_curve(models, device_inputs, device_type, curve_type, variant, x_coords, config,
                        predict=submodel_predictions, **pred_kwargs):
    model = models[device_type][curve_type]
    X = query_matrix(device_inputs, config, variant, x_coords)
    y_log = predict(model, X)
    blend = pred_kwargs.get("auto_linear_blend", 0)
    linear_name = f"{curve_type}.linear"
    if not (blend > 0 and linear_name in models[device_type]):
        return y_log
    y_lin = np.log10(np.clip(predict(models[device_type][linear_name], X), 1e-14, None))
    n_log, n_lin = y_log.shape[0], y_lin.shape[0]
    if n_log < n_lin:
        y_log = np.tile(y_log, (int(np.ceil(n_lin / n_log)), 1))[:n_lin, :]
    elif n_log > n_lin:
        y_lin = np.tile(y_lin, (int(np.ceil(n_log / n_lin)), 1))[:n_log, :]
    weights = smoothstep(np.linspace(0, 1, num=len(x_coords)), x_min=0, x_max=1, N=int(blend))
    return np.array([a * (1 - weights) + b * weights for a, b in zip(y_log, y_lin)])


def replay_curves(models, device_inputs, device_type, config, predict=submodel_predictions):
    """The list of curve records for one device; `predict(model, X)` stands in for the
    submodel predictions (the benchmark passes a lookup of precomputed results)."""
    params = config.get("PREDICTION_PARAMS", {})
    records = []
    for curve_type, info in config["CURVE_INFO"].items():
        x_coords = info["x_range"]
        for label, variant in info["variants"].items():
            y = replay_single_curve(models, device_inputs, device_type, curve_type, variant, x_coords, config,
                                    predict=predict, **params)
            records.append({
                "curve_type": curve_type,
                "curve_variant": None if label == "default" else label,
                "_variant_dict": variant,
                "x_coords": x_coords.tolist(),
                "y_coords": np.mean(y, axis=0).tolist(),
                "y_coords_std": np.std(y, axis=0).tolist(),
                "_y_coords": y.tolist(),
                "x_label": info["x_label"],
                "x_unit": info["x_unit"],
                "y_label": info["y_label"],
                "y_unit": info["y_unit"],
            })
    return records


# ---------------------------------------------------------------------------------------------
# Worker-side helpers (module-level, so process pools pickle them by reference)

def apply_pickled(payload, loader, series):
    """Restores a pickled callable with `loader` ("cloudpickle", "dill" or "pickle") in this
    process and applies it to `series`; returns the result and where it came from."""
    import importlib
    import sys
    restored = importlib.import_module(loader).loads(payload)
    return {
        "result": restored(series),
        "name": restored.__name__,
        "module_loaded": "korva.curve.mos_utils" in sys.modules,
    }


def apply_callable(fn, series):
    return fn(series)


def korva_module_state(*_):
    """What a worker sees of korva: the module file and whether mos_utils is imported."""
    import sys
    mod = sys.modules.get("korva")
    return {"korva_file": getattr(mod, "__file__", None), "mos_utils": "korva.curve.mos_utils" in sys.modules}


def nld_transform(d):
    """The NLD input transform, written out: the base inputs from the raw labels "A" to "E"."""
    a, b, c, dd, e = d["A"], d["B"], d["C"], d["D"], d["E"]
    return pd.Series({
        "W": 10, "Nf": 2, "A": a, "B": b,
        "C+D+E": (c + dd) + e,
        "C/(C+D+E)": c / ((c + dd) + e),
        "(C+D)/(C+D+E)": (c + dd) / ((c + dd) + e),
        "S": dd + e,
        "HP": (((((0.77 + a) + b) + c) + dd) + e) + 0.1,
    })
