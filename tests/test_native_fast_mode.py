"""Fast mode's contract: the linear classes' predictions are korva's own sums, in one fixed order
(the products of a row's columns added left to right, then the intercept), so every value is the
same for any n_jobs and chunk_size and on any machine; everything else is exact mode's. Checked at
several hundred devices, where chunks and the pieces of threads cut the stacked matrices."""
import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import (BayesianRidge, ElasticNet, HuberRegressor, Lasso, LinearRegression, Ridge,
                                  SGDRegressor)

import curve_models as cm
import native_models as nm
from korva.curve import batch

LINEAR = [LinearRegression(), LinearRegression(fit_intercept=False), Ridge(alpha=0.3), Lasso(alpha=1e-3),
          ElasticNet(alpha=1e-3, l1_ratio=0.3), BayesianRidge(), HuberRegressor(max_iter=500),
          SGDRegressor(random_state=0)]


def fixed_order(estimator, X):
    """X @ coef_ + intercept_ as korva sums it, with numpy's elementwise operations only."""
    coef = np.ravel(estimator.coef_)
    total = X[:, 0] * coef[0]
    for j in range(1, X.shape[1]):
        total = total + X[:, j] * coef[j]
    return total + np.ravel(estimator.intercept_)[0]


@pytest.mark.parametrize("estimator", LINEAR, ids=repr)
def test_linear_predictions_are_sums_in_one_fixed_order(monkeypatch, estimator):
    models = nm.fit(estimator, seed=2)
    frame, table = nm.devices(7), nm.config()
    validations = nm.Validations(monkeypatch)
    records = batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, table)
    assert not validations.rows  # scikit-learn's predict never ran
    for curve in nm.CURVES:
        for i, label, X in nm.query_matrices(frame, table, curve):
            record = next(r for r in records[i] if r["curve_type"] == curve and (r["curve_variant"] or "default") == label)
            assert np.array_equal(nm.bits(record["_y_coords"][0]), nm.bits(fixed_order(models["PLD"][curve], X)))
    # exact mode: the estimators' own predict, device by device
    assert nm.compare(models, frame, table, exact=True) == []


@pytest.fixture(scope="module")
def ensembles():
    return cm.all_models(n_estimators=3, linear_estimators=3)


@pytest.fixture(scope="module")
def sweep():
    return pd.DataFrame(cm.pld_inputs(700, seed=21), index=[f"S{i}" for i in range(700)])


def bitwise_equal(a, b):
    assert list(a.columns) == list(b.columns)
    for column in a.columns:
        if a[column].dtype == np.float64:
            assert np.array_equal(nm.bits(a[column].to_numpy()), nm.bits(b[column].to_numpy())), column
        else:
            assert a[column].equals(b[column]), column


@pytest.mark.parametrize("kwargs", [dict(n_jobs=2), dict(n_jobs=3), dict(chunk_size=64), dict(chunk_size=37, n_jobs=2),
                                    dict(chunk_size=1)])
def test_same_values_for_every_n_jobs_and_chunk_size(ensembles, sweep, kwargs):
    if kwargs.get("chunk_size") == 1:
        sweep = sweep.iloc[:40]
    expected = batch.predict_curves_for_frame(ensembles, sweep, "PLD", output="frame")
    bitwise_equal(batch.predict_curves_for_frame(ensembles, sweep, "PLD", output="frame", **kwargs), expected)


@pytest.mark.parametrize("kwargs", [dict(chunk_size=5), dict(n_jobs=2, chunk_size=9), dict(chunk_size=2)])
def test_a_failing_device_leaves_its_chunk_the_same_values(ensembles, sweep, kwargs):
    """A device whose input float32 cannot hold makes the trees raise, and a chunk of it fails in the
    core: the other devices of that chunk are retried one by one there, not on the per-device steps."""
    devices = sweep.iloc[:30].copy()
    devices.iloc[[4, 17], 1] = 1e39
    expected = batch.predict_curves_for_frame(ensembles, devices, "PLD", errors="return")
    got = batch.predict_curves_for_frame(ensembles, devices, "PLD", errors="return", **kwargs)
    assert [i for i, e in enumerate(got) if isinstance(e, Exception)] == [4, 17]
    for a, b in zip(got, expected):
        if not isinstance(a, Exception):
            assert all(np.array_equal(nm.bits(x["_y_coords"]), nm.bits(y["_y_coords"])) for x, y in zip(a, b))


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # the spread of infinities
def test_an_overflowing_linear_model_is_left_to_its_predict_for_that_device_alone(monkeypatch):
    """A sum that overflows would make numpy warn: that device's rows go to the estimator's own
    predict, the other devices keep korva's sums."""
    models = nm.fit(LinearRegression(), seed=1)
    for model in models["PLD"].values():
        model.coef_ = np.full(model.n_features_in_, 2.0)
    frame = nm.devices(6)
    frame.iloc[2, 0] = 1e308  # Finger Width: 2e308 overflows
    validations = nm.Validations(monkeypatch)
    with np.errstate(over="ignore"):
        records = batch.predict_curves_for_frame(models, frame, "PLD", nm.CURVES, nm.config())
    assert validations.rows == [101] * 6  # that device's rows, once per curve and variant
    for curve in nm.CURVES:
        for i, label, X in nm.query_matrices(frame, nm.config(), curve):
            record = next(r for r in records[i] if r["curve_type"] == curve and (r["curve_variant"] or "default") == label)
            if i == 2:
                assert np.all(np.isinf(record["_y_coords"][0]))
            else:
                assert np.array_equal(nm.bits(record["_y_coords"][0]), nm.bits(fixed_order(models["PLD"][curve], X)))


def test_the_ensembles_see_no_stacked_matrix(monkeypatch, ensembles, sweep):
    validations = nm.Validations(monkeypatch)
    batch.predict_curves_for_frame(ensembles, sweep.iloc[:50], "PLD", output="frame")
    assert not validations.stacked()
