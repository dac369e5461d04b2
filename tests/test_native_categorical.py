"""korva's own evaluation of HistGradientBoostingRegressor fitted with categorical features: each
query row encoded as the estimator's preprocessor encodes it (categories with gaps, negative ones, NaN
among the training categories; unknown values, -0.0 and NaN at predict time; x itself categorical),
every value the estimator's own predict, bit for bit, with predict never run; an infinity in a
categorical column raises predict's own exception. A preprocessor that is not the one scikit-learn
builds, or whose methods are replaced, makes korva call predict."""
import functools

import numpy as np
import pytest
import sklearn
from sklearn.compose import ColumnTransformer
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.ensemble._hist_gradient_boosting import gradient_boosting
from sklearn.preprocessing import FunctionTransformer, OrdinalEncoder
from sklearn.utils.validation import check_array

import native_models as nm
from korva.curve import batch
from korva.utils import mtdump, safeload

NF = [1.0, 3.0, 4.0, 8.0, 12.0, 15.0]  # "nf" (column 2) with gaps: devices with 13 or 14 are unknown
VB = [-1.0, 0.0, 0.82, 2.48]           # the variant column (id-vg-sat's column 7), negative categories
X = [-0.1, 0.5, 1.0, 2.0, 3.0]         # x's training values
COLUMNS = {"nf": 2, "Vb": 7, "x": -1}


def fit(categorical, seed=0, nan=0.0, max_iter=25):
    """Per curve a model trained on rows whose "nf", Vb and x take the values above (NaN among
    them with probability `nan`), with the columns named in `categorical` categorical."""
    rng = np.random.default_rng(seed)
    models = {}
    for curve in nm.CURVES:
        width = 9 if curve == "id-vg-sat" else 8
        X_train, y = nm.training_rows(rng, width, 400)
        X_train[:, 2], X_train[:, -1] = rng.choice(NF, 400), rng.choice(X, 400)
        if width == 9:
            X_train[:, 7] = rng.choice(VB, 400)
        y += X_train[:, 2] % 3 - np.cos(3 * X_train[:, -1])  # splits worth making on each column
        for column in (2, 7, -1):
            X_train[rng.random(400) < nan, column] = np.nan
        columns = [COLUMNS[c] % width for c in categorical if COLUMNS[c] < width - 1]
        models[curve] = HistGradientBoostingRegressor(max_iter=max_iter, categorical_features=columns,
                                                      random_state=seed).fit(X_train, y)
    return {"PLD": models}


@pytest.fixture
def predict_runs(monkeypatch):
    """The number of times a HistGradientBoostingRegressor's own predict runs."""
    runs, original = [], gradient_boosting._openmp_effective_n_threads
    monkeypatch.setattr(gradient_boosting, "_openmp_effective_n_threads", lambda *a: runs.append(1) or original(*a))
    return runs


def query(x=(-0.1, 0.5, 0.7, np.nan, 1.0, -0.0, 2.0, 3.0, 9.0, 2.0)):
    return nm.config(x=np.array(x), variants={"known": {"Vb": -1.0}, "zero": {"Vb": -0.0}, "unknown": {"Vb": 1.65},
                                              "missing": {"Vb": np.nan}})


CASES = {
    "one column": (["nf"], 0.0),
    "two columns": (["nf", "Vb"], 0.0),
    "NaN among the categories": (["nf", "Vb"], 0.1),
    "x categorical": (["x"], 0.0),
    "x and the variant, NaN among them": (["Vb", "x"], 0.1),
}


@pytest.mark.parametrize("case", CASES)
def test_categorical_models_are_evaluated_as_predict_does(predict_runs, case):
    categorical, nan = CASES[case]
    models = fit(categorical, seed=len(case), nan=nan)
    x = [-0.1, 0.5, 0.7, np.nan, 1.0, -0.0, 2.0, 3.0, 9.0, 2.0]
    if "x" not in categorical:
        x += [np.inf, -np.inf]  # a numerical column takes infinities
    frame, table = nm.devices(8), query(x)
    assert set(frame["nf"]) & set(NF) and set(frame["nf"]) - set(NF)  # known and unknown devices
    del predict_runs[:]  # fitting runs it too
    batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
    assert predict_runs == []
    assert nm.compare(models, frame, table, exact=True) == []


@pytest.mark.parametrize("seed", range(4))
def test_random_categorical_models(predict_runs, seed):
    rng = np.random.default_rng(seed)
    for _ in range(4):
        categorical = [c for c in COLUMNS if rng.integers(0, 2)] or ["x"]
        models = fit(categorical, seed=int(rng.integers(0, 1000)), nan=float(rng.choice([0.0, 0.05])),
                     max_iter=int(rng.integers(1, 20)))
        x = rng.choice(X + [0.7, -0.0, 4.0, np.nan], size=int(rng.integers(1, 30)))
        frame, table = nm.devices(int(rng.integers(2, 6)), seed=int(rng.integers(0, 1000))), query(x)
        del predict_runs[:]
        batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
        assert predict_runs == [], categorical
        assert nm.compare(models, frame, table, exact=True) == [], categorical


def test_a_global_output_setting_changes_nothing(predict_runs):
    # the preprocessor's own setting ("default") wins over the configuration's
    models, frame, table = fit(["nf", "x"]), nm.devices(4), query()
    with sklearn.config_context(transform_output="pandas"):
        del predict_runs[:]
        batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
        assert predict_runs == []
        assert nm.compare(models, frame, table, exact=True) == []


@pytest.mark.parametrize("serializer", ["pickle", "dill"])
def test_models_the_safe_loader_builds_are_evaluated_too(tmp_path, predict_runs, serializer):
    path = tmp_path / "models.mtd"
    mtdump.save_dump(fit(["nf", "Vb", "x"], nan=0.05), path, serializer=serializer)
    models, frame, table = safeload.load_dump(path), nm.devices(4), query()
    del predict_runs[:]
    batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
    assert predict_runs == []
    assert nm.compare(models, frame, table, exact=True) == []


@pytest.mark.parametrize("categorical, x, variant", [
    (["Vb"], [0.0, 1.0], np.inf),        # the encoder refuses an infinity
    (["x"], [0.5, -np.inf, 1.0], 0.0),
    (["nf"], [0.5, np.inf, 1.0], np.inf),  # in numerical columns it is taken
])
def test_an_infinity_in_a_categorical_column_is_predicts_exception(categorical, x, variant):
    models = fit(categorical)
    table = nm.config(x=x, variants={"v": {"Vb": variant}})
    frame = nm.devices(3)
    got, expected, entries = nm.batch_and_device_outcomes(models, frame, table)
    assert got == expected
    assert all(isinstance(e, ValueError) for e in entries) == (categorical != ["nf"])


# ---- the guards ---------------------------------------------------------------------------------------

def counted(cls, name, monkeypatch):
    original = getattr(cls, name)
    monkeypatch.setattr(cls, name, lambda self, *args, **kwargs: original(self, *args, **kwargs))


def replace_check_array(model):
    def own(X, **kwargs):
        return check_array(X, **kwargs)

    model._preprocessor.transformers_[1][1].func = functools.partial(own, dtype=[np.float64], ensure_all_finite=False)


def encoder(model):
    return model._preprocessor.transformers_[0][1]


TAMPERED = {
    "the encoder's transform set on it": lambda m: setattr(encoder(m), "transform", type(encoder(m)).transform.__get__(encoder(m))),
    "the column transformer's _hstack set on it": lambda m: setattr(m._preprocessor, "_hstack", m._preprocessor._hstack),
    "unknown values encoded as -1": lambda m: setattr(encoder(m), "unknown_value", -1.0),
    "categories out of order": lambda m: encoder(m).categories_.__setitem__(0, encoder(m).categories_[0][::-1].copy()),
    "transformer weights": lambda m: setattr(m._preprocessor, "transformer_weights", {"encoder": 2.0}),
    "another function than check_array": replace_check_array,
    "the remainder left out": lambda m: m._preprocessor.transformers_.pop(),
}
PATCHED = {
    "OrdinalEncoder.transform": (OrdinalEncoder, "transform"),
    "OrdinalEncoder._transform": (OrdinalEncoder, "_transform"),
    "ColumnTransformer.transform": (ColumnTransformer, "transform"),
    "ColumnTransformer._iter": (ColumnTransformer, "_iter"),
    "FunctionTransformer.transform": (FunctionTransformer, "transform"),
}


@pytest.mark.parametrize("case", list(TAMPERED) + list(PATCHED))
def test_a_preprocessor_not_vouched_for_is_run(monkeypatch, predict_runs, case):
    models = fit(["nf", "Vb"])
    if case in TAMPERED:
        for model in models["PLD"].values():
            TAMPERED[case](model)
    else:
        counted(*PATCHED[case], monkeypatch)
    frame, table = nm.devices(5), query()
    del predict_runs[:]
    batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table, exact=True)
    assert predict_runs  # the estimator's own predict answered
    assert nm.compare(models, frame, table, exact=True) == []
