"""The figures of merit on the curves of the closed-form device family (tools/device_family.py),
whose figures are known without a grid: the textbook swing and on-resistance, the thresholds, the
extrapolated threshold and gm_max, breakdown, and the criteria that change them."""
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import device_family as fam  # noqa: E402

from korva.curve import metrics  # noqa: E402


def figures(devices, device_type, process=None, criteria=None):
    """korva's figures of each device from its exact curves (records of one submodel)."""
    records = fam.records(devices, device_type, process=process)
    each = [metrics.device_metrics(r, devices.iloc[i], device_type, criteria) for i, r in enumerate(records)]
    frame = pd.DataFrame(each, index=devices.index)
    frame.attrs = each[0].attrs
    return frame


@pytest.fixture(scope="module")
def long_channel():
    devices, device_type, process = fam.special_case("long_channel_400K", n=16, seed=5)
    return figures(devices, device_type, process), fam.truth(devices, device_type, process=process)


def test_swing_and_on_resistance_of_long_channels_at_400k(long_channel):
    got, truth = long_channel
    # the minimum point swing is n Vt ln 10 within 5 % (the window fit to the level was 21-29 % high)
    assert np.all(np.abs(got.ss / truth.ss - 1) < 0.05)
    # Ron at Vd -> 0, series and drift resistance and mobility degradation included, within 2 %
    assert np.all(np.abs(got.ron / truth.ron - 1) < 0.02) and not got.ron_coarse.any()
    assert np.all(np.abs(got.ron_w / truth.ron_w - 1) < 0.02)


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_thresholds_transconductance_and_currents_on_the_design_ranges(device_type):
    devices = fam.sample_devices(device_type, 24, seed=9)
    got, truth = figures(devices, device_type), fam.truth(devices, device_type)
    vth = "vth_lin" if device_type == "PLD" else "vth"
    assert np.all(np.abs(got[vth] - truth[vth]) < 1.5e-3)
    assert (got[vth + "_status"] == "found").all()
    assert np.all(np.isfinite(got.ss)) and np.all(got.ss >= truth.ss_min * 0.999)
    # the max-gm extrapolation, on the linear transfer curve, with the textbook vd / 2
    assert np.all(np.abs(got.gm_max / truth.gm_max - 1) < 0.12)
    assert np.all(np.abs(got.vth_gm - (truth.vth_gm_intercept - 0.05)) < 0.02)
    assert np.all(np.abs(got.log_ion - truth.log_ion) < 1e-3)
    if device_type == "PLD":
        assert np.all(np.abs(got.vth_sat - truth.vth_sat) < 1.5e-3)
        assert np.all(np.abs(got.dibl - truth.dibl) < 0.3)
        assert np.all(np.abs(got.body_effect - truth.body_effect) < 1e-3)
        assert np.all(np.abs(got.log_idsat_w - truth.log_idsat_w) < 1e-3)
        assert np.all(np.abs(got.bv - truth.bv) < 0.15) and (got.bv_censored == truth.bv_censored).all()
        assert np.all(np.abs(got.ron / truth.ron - 1) < 0.02)


@pytest.mark.parametrize("floor", [1.2, 1.7])
def test_a_leakage_floor_under_the_level_stays_out_of_the_swing(floor):
    devices, device_type, process = fam.special_case("leakage_floor", n=16, seed=6, floor_decades=floor)
    got, truth = figures(devices, device_type, process), fam.truth(devices, device_type, process=process)
    ratio = got.ss / truth.ss
    assert np.all(ratio < 2.0) and np.all(ratio >= truth.ss_min / truth.ss * 0.999)


def test_swing_is_finite_for_healthy_nld_devices_on_their_60_mv_grid():
    devices = fam.sample_devices("NLD", 25, seed=10)
    got = figures(devices, "NLD")
    assert np.all(np.isfinite(got.ss)) and np.all(got.ss < 2 * fam.truth(devices, "NLD").ss)


def test_on_resistance_on_a_grid_too_coarse_is_the_chord_and_flagged():
    devices, device_type, process = fam.special_case("nld_channel_dominated", n=8, seed=7)
    got, truth = figures(devices, device_type, process), fam.truth(devices, device_type, process=process)
    assert got.ron_coarse.all()
    # the chord x / Id at the first point of the 1 V grid: an upper bound, never a fit into saturation
    chord = 1.0 / fam.curve_current(devices, "NLD", "id-vd", {}, x=[1.0], process=process)[:, 0]
    assert np.allclose(got.ron, chord, rtol=1e-9) and np.all(got.ron > truth.ron)


@pytest.mark.parametrize("norm", ["w/l", "w", "abs"])
def test_threshold_current_normalisation(norm):
    devices = fam.sample_devices("PLD", 8, seed=12)
    i_vth = {"w/l": 1e-7, "w": 2e-8, "abs": 3e-7}[norm]
    criteria = {"vth_norm": norm, "i_vth": i_vth}
    got = figures(devices, "PLD", criteria=criteria)
    truth = fam.truth(devices, "PLD", criteria=criteria)
    assert np.all(np.abs(got.vth_lin - truth.vth_lin) < 1.5e-3)
    assert got.attrs["metrics"]["criteria"]["vth_norm"] == norm


def test_criteria_per_device_equal_the_figures_of_each_value():
    devices = fam.sample_devices("PLD", 12, seed=13)
    devices["i_th"] = np.where(np.arange(12) % 2, 1e-7, 3e-8)
    area = fam.area(devices, "PLD")  # an array in row order, as a Series in the next call
    models = fam.exact_models("PLD")
    per_device = metrics.predict_device_metrics(models, devices, "PLD", criteria={"i_vth": "i_th", "area": area})
    by_series = metrics.predict_device_metrics(models, devices, "PLD",
                                               criteria={"i_vth": "i_th", "area": pd.Series(area, devices.index)})
    pd.testing.assert_frame_equal(per_device, by_series, check_exact=True)
    for value in (1e-7, 3e-8):
        rows = devices.i_th == value
        alone = metrics.predict_device_metrics(models, devices[rows], "PLD", criteria={"i_vth": value})
        pd.testing.assert_series_equal(per_device.vth_lin[rows], alone.vth_lin, check_exact=True)
    assert per_device.ron_sp.equals(per_device.ron * area)
    assert per_device.attrs["metrics"]["criteria"]["i_vth"] == {"column": "i_th"}
    # device_metrics reads a column-name criterion from the device's inputs
    one = metrics.device_metrics(fam.records(devices.iloc[[3]], "PLD")[0], devices.iloc[3], "PLD", {"i_vth": "i_th"})
    assert one.vth_lin == per_device.vth_lin.iloc[3]
