"""Models, configurations and comparisons for the tests of korva's own evaluation of estimators:
what predict_curves_for_frame gives for each device, curve and variant, next to what the
estimator's own predict gives for the same query matrix, bit for bit."""
import copy

import numpy as np
import pandas as pd
import sklearn.base
import sklearn.utils.validation

import curve_models as cm
from korva.curve import batch, mos_utils

CURVES = ["id-vg-sat", "breakdown"]  # a curve with a variant column (9 columns) and one without (8)


def config(x=None, variants=None):
    """The PLD table with no blend; `x` replaces the x range of both curves, `variants` the
    variants of id-vg-sat."""
    table = copy.deepcopy(mos_utils._DEVICE_CONFIG["PLD"])
    table["PREDICTION_PARAMS"] = {}
    for curve in CURVES:
        if x is not None:
            table["CURVE_INFO"][curve]["x_range"] = np.asarray(x, dtype=float)
    if variants is not None:
        table["CURVE_INFO"]["id-vg-sat"]["variants"] = variants
    return table


def devices(n, seed=5):
    return pd.DataFrame(cm.pld_inputs(n, seed=seed), index=[f"D{i}" for i in range(n)])


def training_rows(rng, width, n, nan=0.0, integers=False):
    """Random query-like rows: device inputs in their ranges, a variant value, x last."""
    X = rng.uniform(-0.5, 4.0, size=(n, width))
    X[:, 0] = rng.uniform(0.5, 20.0, n)
    X[:, 2] = rng.integers(1, 16, n)
    if integers:
        X = np.round(X)
    y = np.sin(X[:, -1]) * 3 + X[:, :-1] @ rng.normal(size=width - 1) * 0.1 + rng.normal(0, 0.05, n)
    if nan:
        X[rng.random(X.shape) < nan] = np.nan
    return X, y


def fit(estimator, seed=0, rows=300, nan=0.0):
    """A fresh copy of `estimator` per curve, fitted on rows of the curve's width."""
    rng = np.random.default_rng(seed)
    models = {}
    for curve in CURVES:
        width = 9 if curve == "id-vg-sat" else 8
        X, y = training_rows(rng, width, rows, nan)
        models[curve] = sklearn.base.clone(estimator).fit(X, y)
    return {"PLD": models}


def query_matrices(frame, table, curve):
    """[(row, variant label, X)] of one curve, X built with numpy as the curve steps build it."""
    info = table["CURVE_INFO"][curve]
    x = np.asarray(info["x_range"], dtype=float)
    out = []
    for i in range(len(frame)):
        base = frame.iloc[i][table["BASE_INPUT_COLS"]].to_numpy(float)
        for label, variant in info["variants"].items():
            fixed = np.concatenate([base, np.array(list(variant.values()), dtype=float)])
            out.append((i, label, np.hstack([np.tile(fixed, (len(x), 1)), x.reshape(-1, 1)])))
    return out


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def compare(models, frame, table, **kwargs):
    """Every submodel curve of the batch's records against the estimator's own predict on the same
    matrix, as bit patterns: a list of the differing (row, curve, variant)."""
    records = batch.predict_curves_for_frame(models, frame, "PLD", CURVES, table, **kwargs)
    differing = []
    for curve in CURVES:
        estimator = models["PLD"][curve]
        for i, label, X in query_matrices(frame, table, curve):
            record = next(r for r in records[i] if r["curve_type"] == curve and
                          (r["curve_variant"] or "default") == label)
            if not np.array_equal(bits(record["_y_coords"][0]), bits(estimator.predict(X))):
                differing.append((i, curve, label))
    return differing


def outcomes(entries):
    return [(type(e).__name__, str(e)) if isinstance(e, Exception) else "records" for e in entries]


def batch_and_device_outcomes(models, frame, table):
    """What the batch gives each device with errors="return", next to what the per-device steps
    give it (its records or its exception), both as outcomes(); and the batch's entries."""
    got = batch.predict_curves_for_frame(models, frame, "PLD", CURVES, table, exact=True, errors="return")
    expected = []
    for i in range(len(frame)):
        try:
            expected.append(mos_utils.predict_curves_for_inputs(models, frame.iloc[i], "PLD", CURVES, table))
        except Exception as error:
            expected.append(error)
    return outcomes(got), outcomes(expected), got


class Validations:
    """The number of rows of every array scikit-learn's input checks see (its predict checks the
    stacked rows; korva's own evaluation checks nothing through it)."""

    def __init__(self, monkeypatch):
        self.rows, original = [], sklearn.utils.validation.check_array

        def check_array(array, *args, **kwargs):
            self.rows.append(len(array) if hasattr(array, "__len__") else -1)
            return original(array, *args, **kwargs)

        monkeypatch.setattr(sklearn.utils.validation, "check_array", check_array)

    def stacked(self):
        """Whether scikit-learn checked a matrix of more than one device's rows."""
        return any(n > 101 for n in self.rows)
