"""Surrogate ensembles trained on the closed-form device family (tools/device_family.py): the models
the demo and the benchmarks predict with, trained once per setting and cached on disk.

    import family_models
    models = family_models.load_models("20k")             # {"PLD": {...}, "NLD": {...}}, cached
    models = family_models.load_models("tiny")            # seconds: for tests

Each curve type gets a VotingRegressor over korva's query rows (the device's static inputs, the
variant's value, x) predicting log10 of the clipped |Id|: forests (RandomForest, ExtraTrees),
boosting (GradientBoosting, HistGradientBoosting), nearest neighbours and a ridge line. Every curve
but "breakdown" also gets a ".linear" ensemble predicting |Id| itself, which korva blends in toward
the high end of x. Breakdown has none: its high end spans ten decades below the 1 uA/um criterion
and a model of the linear current cannot resolve them, so the blend would move BV.

Training rows come from devices sampled over the family's design ranges, shared by all curve types
of a device type as one set of measured devices would be: each device gives 5 random grid points of
one variant of each curve, so a "20k" model has seen 4,000 devices, a "200k" model 40,000 (fewer
points from more devices generalise better than whole curves of a few). Seeds are fixed; the same
setting trains the same models.

`load_models(name, members=...)` keeps only some kinds of estimator in every ensemble (the fitted
ones, no retraining): ("rf", "et", "gb", "hgb") for forests and boosting alone.

The cache lives in build/family_models/ (ignored by git), one pickle per setting, named by a hash of
the two tools' source, the setting and the versions of scikit-learn, numpy and Python; a change to
any of them trains anew. `python tools/family_models.py [setting ...]` trains and reports time and size.
"""
import ast
import dataclasses
import hashlib
import inspect
import json
import os
import pickle
import platform
import sys
import time
from pathlib import Path

import numpy as np
import sklearn
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor, HistGradientBoostingRegressor,
                              RandomForestRegressor, VotingRegressor)
from sklearn.linear_model import Ridge
from sklearn.neighbors import KNeighborsRegressor
from threadpoolctl import threadpool_limits

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import device_family as fam  # noqa: E402

CACHE_DIR = HERE.parent / "build" / "family_models"
# A device in the middle of the design ranges (device_family.RANGES), for sweeps of one input.
NOMINAL = {
    "PLD": {"Finger Width": 5.0, "Length": 1.0, "nf": 4.0, "Si pitch": 0.9, "A": 0.1, "C": 3.0, "E": 7.25},
    "NLD": {"A": 0.6, "B": 1.2, "C": 0.8, "D": 2.2, "E": 1.6},
}
NO_LINEAR_MODEL = ("breakdown",)


@dataclasses.dataclass(frozen=True)
class Setting:
    """How one set of models is trained."""
    rows: int                          # training rows per curve type
    points: int                        # grid points a device contributes to a curve
    log_kinds: tuple                   # the log-space ensemble's estimators
    linear_kinds: tuple                # the ".linear" ensemble's estimators
    trees: int = 16                    # trees of each forest
    max_leaf_nodes: int = 2048         # each forest tree's leaves (bounds the model's size)
    gb_stages: int = 200               # GradientBoosting stages (depth 5, subsample 0.8)
    hgb_iter: int = 300                # HistGradientBoosting iterations (63 leaves)
    neighbours: int = 5
    seed: int = 20240


LOG_KINDS = ("rf", "et", "gb", "hgb", "knn", "ridge")
LINEAR_KINDS = ("et", "hgb", "knn", "ridge")
TREES = ("rf", "et", "gb", "hgb")     # forests and boosting: the members worth keeping (see the README)
SETTINGS = {
    "tiny": Setting(rows=2_000, points=5, log_kinds=LOG_KINDS, linear_kinds=LINEAR_KINDS, trees=4, max_leaf_nodes=256,
                    gb_stages=30, hgb_iter=40),
    "20k": Setting(rows=20_000, points=5, log_kinds=LOG_KINDS, linear_kinds=LINEAR_KINDS),
    "200k": Setting(rows=200_000, points=5, log_kinds=LOG_KINDS, linear_kinds=LINEAR_KINDS),
}


# ---------------------------------------------------------------------------------------------
# training rows

@dataclasses.dataclass
class Plan:
    """The training devices of one device type, shared by all its curve types as one set of
    measured devices would be: each device contributes `points` random grid points of one variant
    (the same variant position and points on every curve)."""
    devices: object
    variant: np.ndarray      # (n,) position of the device's variant in each curve's variant table
    picks: np.ndarray        # (n, points) grid indices


def training_plan(device_type, rows, points, seed):
    rng = np.random.default_rng(seed)
    n = -(-rows // points)
    devices = fam.sample_devices(device_type, n, seed=int(rng.integers(2 ** 31)))
    variant = rng.integers(5, size=n)
    picks = np.array([np.sort(rng.choice(101, points, replace=False)) for _ in range(n)])
    return Plan(devices, variant, picks)


def training_rows(device_type, curve_type, plan, rows=None, process=None):
    """(X, log10 |Id| clipped, |Id|) of one curve type over korva's query layout: the static inputs,
    the variant's value, x."""
    info = fam.device_config(device_type)["CURVE_INFO"][curve_type]
    x = np.asarray(info["x_range"], dtype=float)
    variants = list(info["variants"].values())
    n = len(plan.variant)
    chosen = plan.variant % len(variants)
    params = fam.device_params(plan.devices, device_type, process)
    current = np.empty((n, len(x)))
    for j, variant in enumerate(variants):
        picked = np.flatnonzero(chosen == j)
        if picked.size:
            current[picked] = fam.curve_current(None, device_type, curve_type, variant, x,
                                                params=params.take(picked))
    per = plan.picks.shape[1]
    blocks = [np.repeat(fam.static_inputs(plan.devices, device_type), per, axis=0)]
    for key in info["input_cols"]:
        values = np.array([float(v[key]) for v in variants])
        blocks.append(np.repeat(values[chosen], per)[:, None])
    blocks.append(x[plan.picks].reshape(-1, 1))
    X = np.hstack(blocks)
    y_lin = current[np.arange(n)[:, None], plan.picks].ravel()
    rows = rows or len(X)
    return X[:rows], fam.log_current(y_lin)[:rows], y_lin[:rows]


# ---------------------------------------------------------------------------------------------
# ensembles

def estimator(kind, setting, seed, X):
    if kind == "rf":
        return RandomForestRegressor(n_estimators=setting.trees, max_leaf_nodes=setting.max_leaf_nodes,
                                     max_features=0.6, random_state=seed)
    if kind == "et":
        return ExtraTreesRegressor(n_estimators=setting.trees, max_leaf_nodes=setting.max_leaf_nodes,
                                   random_state=seed)
    if kind == "gb":
        return GradientBoostingRegressor(n_estimators=setting.gb_stages, max_depth=5, learning_rate=0.1,
                                         subsample=0.8, random_state=seed)
    if kind == "hgb":
        return HistGradientBoostingRegressor(max_iter=setting.hgb_iter, learning_rate=0.1, max_leaf_nodes=63,
                                             early_stopping=False, random_state=seed)
    if kind == "knn":
        # on the raw inputs, as korva queries them: a weighted metric would need a ball tree, 80 times slower
        return KNeighborsRegressor(n_neighbors=setting.neighbours, weights="distance", algorithm="kd_tree")
    if kind == "ridge":
        return Ridge(alpha=1.0)
    raise ValueError(f"unknown estimator kind {kind!r}")


def ensemble(kinds, setting, seed, X, y):
    members = [(f"{kind}{i}", estimator(kind, setting, seed + i, X)) for i, kind in enumerate(kinds)]
    # one OpenMP thread: HistGradientBoosting's threads on a shared machine cost 30 times the CPU
    with threadpool_limits(1):
        return VotingRegressor(members).fit(X, y)


def train(setting, device_types=("PLD", "NLD"), progress=None):
    """{device_type: {curve_type: model, curve_type + ".linear": model}} and per-model training
    seconds (CPU time of this process)."""
    models, seconds = {}, {}
    for t, device_type in enumerate(device_types):
        models[device_type] = {}
        plan = training_plan(device_type, setting.rows, setting.points, setting.seed + 1000 * t)
        for c, curve_type in enumerate(fam.CURVE_BIASES[device_type]):
            seed = setting.seed + 1000 * t + 10 * c
            X, y_log, y_lin = training_rows(device_type, curve_type, plan, setting.rows)
            started = time.process_time()
            models[device_type][curve_type] = ensemble(setting.log_kinds, setting, seed, X, y_log)
            seconds[f"{device_type} {curve_type}"] = time.process_time() - started
            if progress:
                progress(f"{device_type} {curve_type}: {len(X):,} rows, {seconds[f'{device_type} {curve_type}']:.1f} s")
            if curve_type in NO_LINEAR_MODEL or not setting.linear_kinds:
                continue
            started = time.process_time()
            models[device_type][f"{curve_type}.linear"] = ensemble(setting.linear_kinds, setting, seed + 5, X, y_lin)
            seconds[f"{device_type} {curve_type}.linear"] = time.process_time() - started
            if progress:
                progress(f"{device_type} {curve_type}.linear: {seconds[f'{device_type} {curve_type}.linear']:.1f} s")
    return models, seconds


# ---------------------------------------------------------------------------------------------
# the cache

def code_digest(source):
    """The syntax tree of Python source without its docstrings: comments, docstrings and layout
    do not change a model."""
    tree = ast.parse(source)
    for node in ast.walk(tree):
        body = getattr(node, "body", None)
        if (isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and body and isinstance(body[0], ast.Expr)
                and isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str)):
            node.body = body[1:] or [ast.Pass()]
    return ast.dump(tree).encode()


def cache_key(name, setting, device_types):
    """What the trained models depend on: the family's code, the training code, the setting and
    the versions that pickle and fit them."""
    digest = hashlib.blake2b(digest_size=8)
    digest.update(code_digest((HERE / "device_family.py").read_text()))
    for function in (training_plan, training_rows, estimator, ensemble, train):
        digest.update(code_digest(inspect.getsource(function)))
    digest.update(repr((name, setting, tuple(device_types), sklearn.__version__, np.__version__,
                        platform.python_version())).encode())
    return digest.hexdigest()


def cache_path(name, device_types=("PLD", "NLD"), cache_dir=None):
    setting = SETTINGS[name]
    key = cache_key(name, setting, device_types)
    return Path(cache_dir or CACHE_DIR) / f"{name}-{'-'.join(device_types)}-{key}.pkl"


def select_members(models, kinds):
    """The same models with only the ensemble members of the given kinds (fitted estimators shared,
    not copied); a ".linear" model left with none is dropped."""
    out = {}
    for device_type, per_type in models.items():
        out[device_type] = {}
        for name, model in per_type.items():
            kept = [(label, fitted) for (label, _), fitted in zip(model.estimators, model.estimators_)
                    if label.rstrip("0123456789") in kinds]
            if not kept:
                if name.endswith(".linear"):
                    continue
                raise ValueError(f"no member of {name} is one of {kinds}")
            subset = VotingRegressor([(label, fitted) for label, fitted in kept])
            subset.estimators_ = [fitted for _, fitted in kept]
            subset.named_estimators_ = sklearn.utils.Bunch(**dict(kept))
            out[device_type][name] = subset
    return out


def load_models(name="20k", device_types=("PLD", "NLD"), cache_dir=None, progress=None, with_info=False,
                members=None):
    """The models of a setting, trained on the first call and read from the cache afterwards;
    `members` keeps only those kinds of estimator ("rf", "et", "gb", "hgb", "knn", "ridge").
    with_info=True also returns {"train_seconds": {...}, "cache_bytes": ..., "cached": bool, ...}."""
    device_types = tuple(device_types)
    path = cache_path(name, device_types, cache_dir)
    if path.exists():
        with open(path, "rb") as f:
            payload = pickle.load(f)
        info = {**payload["info"], "cached": True, "cache_bytes": path.stat().st_size, "path": str(path)}
    else:
        started = time.perf_counter()
        models, seconds = train(SETTINGS[name], device_types, progress)
        info = {"setting": name, "rows": SETTINGS[name].rows, "train_seconds": seconds,
                "train_cpu_s": sum(seconds.values()), "wall_s": time.perf_counter() - started,
                "sklearn": sklearn.__version__}
        payload = {"models": models, "info": info}
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(f".{os.getpid()}.tmp")
        with open(partial, "wb") as f:
            pickle.dump(payload, f, protocol=pickle.HIGHEST_PROTOCOL)
        os.replace(partial, path)
        for stale in path.parent.glob(f"{name}-{'-'.join(device_types)}-*.pkl"):
            if stale != path:      # the same setting trained by other code or versions
                stale.unlink()
        info = {**info, "cached": False, "cache_bytes": path.stat().st_size, "path": str(path)}
    models = payload["models"] if members is None else select_members(payload["models"], tuple(members))
    return (models, info) if with_info else models


def main(argv):
    names = argv or ["tiny", "20k"]
    for name in names:
        models, info = load_models(name, progress=lambda text: print("  " + text, flush=True), with_info=True)
        print(json.dumps({k: v for k, v in info.items() if k != "train_seconds"}, indent=1))


if __name__ == "__main__":
    main(sys.argv[1:])
