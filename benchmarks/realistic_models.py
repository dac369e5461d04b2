"""Trained ensembles whose training rows look like korva's query rows, for the per-kind figures of
bench_batch.py: for each curve, sampled devices x every variant of the curve x the curve's own x grid
(so a sweep's rows share the training rows' x values and lie between their devices), with a smooth
log10-current target (a threshold that moves with the device and the variant, a subthreshold slope, a
saturating on-current). The ensembles mix the estimator kinds users train: forests, boosting and
nearest neighbours with linear fits beside them.

Fitting takes a while at 200,000 rows; the fitted models are kept in benchmarks/out/ by their
parameters and read back from there."""
import pickle
from pathlib import Path

import numpy as np
from sklearn.ensemble import (GradientBoostingRegressor, HistGradientBoostingRegressor, RandomForestRegressor,
                              VotingRegressor)
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.neighbors import KNeighborsRegressor

import curve_models as cm

OUT = Path(__file__).resolve().parent / "out"

# The estimator kinds, each as users configure it for curves of this size.
KINDS = {
    "neighbours": lambda: KNeighborsRegressor(n_neighbors=5),
    "neighbours, ball tree, distance": lambda: KNeighborsRegressor(n_neighbors=5, weights="distance",
                                                                  algorithm="ball_tree"),
    "histogram boosting": lambda: HistGradientBoostingRegressor(max_iter=200, random_state=0),
    "boosting": lambda: GradientBoostingRegressor(n_estimators=200, max_depth=4, random_state=0),
    "forest": lambda: RandomForestRegressor(n_estimators=30, min_samples_leaf=3, random_state=0),
    "linear": lambda: Ridge(alpha=1e-3),
}
ENSEMBLE = ("forest", "boosting", "histogram boosting", "neighbours", "linear")  # one VotingRegressor per curve


def training_set(table, curve_type, rows, seed):
    """(X, y_log) of about `rows` rows: devices x variants x x grid, as the curve steps lay them out."""
    info = table["CURVE_INFO"][curve_type]
    x = np.asarray(info["x_range"], dtype=float)
    variants = [np.array(list(v.values()), dtype=float) for v in info["variants"].values()]
    n_devices = max(2, rows // (len(variants) * len(x)))
    rng = np.random.default_rng(seed)
    X, y = [], []
    for device in cm.pld_inputs(n_devices, seed=seed):
        base = device[table["BASE_INPUT_COLS"]].to_numpy(float)
        w_over_l = base[0] * base[2] / base[1]
        vth = 0.45 + 0.08 * base[4] + 0.03 * base[6] + 0.05 * np.log(base[1])
        for variant in variants:
            shift = 0.1 * float(variant.sum()) if len(variant) else 0.0
            overdrive = (x - vth - shift) / 0.12
            y_log = (-13.0 + 0.4 * np.log10(w_over_l) + 7.5 / (1.0 + np.exp(-overdrive))
                     + 0.02 * base[5] * x + rng.normal(0, 0.01, len(x)))
            X.append(np.hstack([np.tile(np.concatenate([base, variant]), (len(x), 1)), x.reshape(-1, 1)]))
            y.append(y_log)
    return np.vstack(X), np.concatenate(y)


def models(kinds, rows, table, seed=7, linear=True):
    """{"PLD": {curve: VotingRegressor of `kinds`, "<curve>.linear": VotingRegressor of two linear fits}}
    (without the ".linear" models when `linear` is false), fitted or read back from benchmarks/out."""
    name = "-".join(k.replace(" ", "_").replace(",", "") for k in kinds)
    path = OUT / f"realistic_{name}_{rows}_{seed}_{int(linear)}.pkl"
    if path.exists():
        return pickle.loads(path.read_bytes())
    fitted = {}
    for i, curve_type in enumerate(table["CURVE_INFO"]):
        X, y_log = training_set(table, curve_type, rows, seed + i)
        fitted[curve_type] = VotingRegressor([(k.replace(" ", "_"), KINDS[k]()) for k in kinds]).fit(X, y_log)
        if linear:
            y_linear = 10.0 ** y_log
            fitted[f"{curve_type}.linear"] = VotingRegressor([("ridge", Ridge(alpha=1e-3)),
                                                              ("lr", LinearRegression())]).fit(X, y_linear)
    out = {"PLD": fitted}
    OUT.mkdir(exist_ok=True)
    path.write_bytes(pickle.dumps(out, protocol=5))
    return out
