"""The closed-form device family (tools/device_family.py) keeps its own physics claims: monotone
curves, the limits its equations promise, and figures that korva extracts from its exact curves
agreeing with the closed-form ones."""
import dataclasses
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import device_family as fam  # noqa: E402

from korva.curve import metrics, mos_utils  # noqa: E402


@pytest.fixture(scope="module", params=["PLD", "NLD"])
def family(request):
    devices = fam.sample_devices(request.param, 12, seed=7)
    return request.param, devices, fam.curves(devices, request.param)


def test_curves_rise_with_their_bias_and_order_by_variant(family):
    device_type, devices, table = family
    for (curve_type, label), (x, y) in table.items():
        assert np.all(np.diff(y, axis=1) >= -1e-9), (curve_type, label)
    if device_type == "PLD":
        # more reverse body bias, higher threshold: less current in strong inversion
        vb = [table[("id-vg-lin", f"Vb={v}")][1][:, 60] for v in ("0.00", "0.82", "1.65", "2.48", "3.30")]
        assert np.all(np.diff(np.array(vb), axis=0) < 0)
        vg = [table[("id-vd-0", f"Vg=-{v}")][1][:, 50] for v in ("0.50", "1.20", "1.90", "2.60", "3.30")]
        assert np.all(np.diff(np.array(vg), axis=0) > 0)


def test_series_resistance_solution_satisfies_its_equation():
    devices = fam.sample_devices("PLD", 50, seed=3)
    p = fam.device_params(devices, "PLD").column()
    vd = np.linspace(0.01, 3.65, 40)[None, :]
    current = fam.channel_current(p, 3.3, vd, 0.0)
    rt = p.r_s + fam.drift_resistance(p, 3.3)
    again = fam.intrinsic_current(p, 3.3 - current * p.r_s, vd - current * rt, current * p.r_s)
    np.testing.assert_allclose(again, current, rtol=1e-10)
    assert np.all(current < vd / rt)


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_on_resistance_is_the_slope_of_the_exact_curve_at_zero(device_type):
    devices = fam.sample_devices(device_type, 20, seed=4)
    p = fam.device_params(devices, device_type)
    vg = 3.3 if device_type == "PLD" else 6.0
    dv = 1e-6
    slope = fam.drain_current(p, vg, np.full(len(devices), dv), 0.0) / dv
    np.testing.assert_allclose(1.0 / slope, fam.on_resistance(p, vg), rtol=1e-4)


def test_weak_inversion_swing_tends_to_n_vt_ln10():
    devices, device_type, process = fam.special_case("long_channel_400K", n=10, seed=2)
    truth = fam.truth(devices, device_type, process=process)
    assert np.all(truth["dibl_vt"] < 1e-3)
    np.testing.assert_allclose(truth["ss_min"], truth["ss"], rtol=0.01)
    np.testing.assert_allclose(truth["ss"], 1000 * truth["n"] * 8.617333e-5 * 400 * np.log(10), rtol=1e-6)


def test_geometry_moves_the_figures_the_physical_way():
    base = pd.DataFrame([{"Finger Width": 10.0, "Length": 1.0, "nf": 4.0, "Si pitch": 0.8, "A": 0.2, "C": 3.0,
                          "E": 7.0}] * 4)
    swept = {"Length": [0.4, 0.5, 0.7, 2.0], "Si pitch": [0.4, 0.7, 1.0, 1.3], "Finger Width": [2.0, 5.0, 10.0, 20.0]}
    t = {k: fam.truth(base.assign(**{k: v}), "PLD") for k, v in swept.items()}
    assert np.all(np.diff(t["Length"]["vth_sat"]) > 0) and np.all(np.diff(t["Length"]["dibl"]) < 0)
    assert np.all(np.diff(t["Si pitch"]["r_series"]) > 0) and np.all(np.diff(t["Si pitch"]["bv"]) > 0)
    assert np.all(np.diff(t["Finger Width"]["r_series"]) < 0)
    np.testing.assert_allclose(t["Finger Width"]["ron_w"], t["Finger Width"]["ron_w"].iloc[0], rtol=0.05)


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_korva_extracts_the_known_figures_from_the_exact_curves(device_type):
    devices = fam.sample_devices(device_type, 10, seed=9)
    truth = fam.truth(devices, device_type)
    got = pd.DataFrame([metrics.device_metrics(r, devices.iloc[i], device_type)
                        for i, r in enumerate(fam.records(devices, device_type))])
    for column in ("vth_lin", "vth_sat", "vth"):
        if column in got:
            np.testing.assert_allclose(got[column].astype(float), truth[column], atol=2e-3)
    np.testing.assert_allclose(got["log_ion"].astype(float), truth["log_ion"], atol=0.01)
    if device_type == "PLD":
        np.testing.assert_allclose(got["body_effect"].astype(float), truth["body_effect"], atol=2e-3)
        assert not truth["bv_censored"].all()
        np.testing.assert_allclose(got["bv"].astype(float), truth["bv"], atol=0.15)


def test_exact_models_answer_korvas_queries_with_the_closed_form():
    for device_type in ("PLD", "NLD"):
        devices = fam.sample_devices(device_type, 2, seed=1)
        records = mos_utils.predict_curves_for_inputs(fam.exact_models(device_type), devices.iloc[1], device_type)
        table = fam.curves(devices, device_type)
        for record in records:
            expected = table[(record["curve_type"], record["curve_variant"] or "default")][1][1]
            np.testing.assert_allclose(record["y_coords"], expected, rtol=0, atol=1e-9)


def test_special_cases():
    devices, _, process = fam.special_case("leakage_floor", n=6, seed=1, floor_decades=1.2)
    level = np.log10(1e-7 * devices["Finger Width"] * devices["nf"] / devices["Length"])
    x, y = fam.curves(devices, "PLD", ["id-vg-lin"], process=process)[("id-vg-lin", "Vb=0.00")]
    np.testing.assert_allclose(y[:, 0], level - 1.2, atol=1e-3)
    devices, _, process = fam.special_case("nld_channel_dominated", n=6)
    assert np.all(fam.truth(devices, "NLD", process=process).eval("r_channel / ron") > 0.6)
    with pytest.raises(ValueError, match="PLD process"):
        fam.device_params(devices, "NLD", dataclasses.replace(process, device_type="PLD"))


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_training_rows_are_the_rows_korva_queries(device_type):
    import family_models

    class Recorder:
        def __init__(self):
            self.queries = []

        def predict(self, X):
            self.queries.append(np.array(X))
            return np.zeros(len(X))

    plan = family_models.training_plan(device_type, 12, 4, seed=5)
    for curve_type in fam.CURVE_BIASES[device_type]:
        X, y_log, y_lin = family_models.training_rows(device_type, curve_type, plan)
        recorder = Recorder()
        device = plan.devices.iloc[2]
        mos_utils.predict_curves_for_inputs({device_type: {curve_type: recorder}}, device, device_type, [curve_type])
        variants = len(fam.device_config(device_type)["CURVE_INFO"][curve_type]["variants"])
        korva_rows = recorder.queries[plan.variant[2] % variants][plan.picks[2]]
        np.testing.assert_array_equal(X[8:12], korva_rows)
        np.testing.assert_allclose(10 ** y_log[8:12], np.maximum(y_lin[8:12], fam.I_CLIP), rtol=1e-12)
