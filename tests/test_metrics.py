"""korva.curve.metrics: the primitives on curves whose answer is known in closed form, the figures
of a sweep through models that predict analytic curves, and the figures of a sweep equal to those
computed from the batch's records of the same devices."""
import numpy as np
import pandas as pd
import pytest

import curve_models as cm
import metric_models as mm
from korva.curve import batch, metrics, mos_utils

X = np.linspace(-0.1, 3.65, 101)  # the transfer curves' grid


def rel(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300), initial=0.0)


# --- primitives ---------------------------------------------------------------------------------

def transfer(vt, swing, level=-7.0, x=X):
    """log10 I exactly linear in x, at `level` when x == vt, one decade per `swing` volts."""
    return level + (np.asarray(x)[None, :] - np.asarray(vt, float)[:, None]) / np.asarray(swing, float)[:, None]


def test_primitives_on_closed_form_curves():
    vt, swing = np.array([0.3, 0.75, 1.2, 2.05]), np.array([0.06, 0.08, 0.1, 0.2])
    y = transfer(vt, swing)
    assert rel(metrics.crossing(X, y, -7.0), vt) < 1e-9
    assert rel(metrics.subthreshold_swing(X, y, -7.0), 1000 * swing) < 1e-9
    assert rel(metrics.subthreshold_swing(X, y[2:], -7.0, decades=1.0), 1000 * swing[2:]) < 1e-9  # 3 points or more
    assert rel(metrics.value_at(X, y, 3.3), -7.0 + (3.3 - vt) / swing) < 1e-9
    # a level and an x0 per curve; one curve gives a float
    levels = np.array([-8.0, -7.5, -7.0, -6.5])
    assert rel(metrics.crossing(X, y, levels), vt + (levels + 7.0) * swing) < 1e-9
    assert rel(metrics.value_at(X, y, vt), np.full(4, -7.0)) < 1e-9
    single = metrics.crossing(X, y[1], -7.0)
    assert type(single) is float and abs(single - 0.75) < 1e-9
    # an output curve exactly linear in current: R = 1 / g
    vd = np.linspace(0.0, 3.65, 101)
    g = np.array([1e-3, 2.5e-5, 4e-7])
    y_out = np.log10(g[:, None] * vd[None, :] + 1e-20)
    assert rel(metrics.on_resistance(vd, y_out), 1 / g) < 1e-9
    assert rel(metrics.on_resistance(vd, y_out, points=20), 1 / g) < 1e-9


@pytest.mark.parametrize("case, y, level, expected", [
    ("crosses back below: the first crossing counts", [-9, -8, -6, -8, -9, -5], -7.0, 1.5),
    ("starts at the level", [-7, -6, -5, -4, -3, -2], -7.0, np.nan),
    ("never reaches it", [-9, -9, -8.5, -8, -7.5, -7.01], -7.0, np.nan),
    ("NaN before the crossing", [-9, np.nan, -8, -6, -5, -4], -7.0, np.nan),
    ("NaN after the crossing does not matter", [-9, -8, -6, np.nan, -5, -4], -7.0, 1.5),
    ("reaches it exactly at a point", [-9, -8, -7, -6, -5, -4], -7.0, 2.0),
    ("NaN level", [-9, -8, -6, -5, -4, -3], np.nan, np.nan),
])
def test_crossing_cases(case, y, level, expected):
    got = metrics.crossing(np.arange(6.0), np.array(y, float), level)
    assert (np.isnan(got) and np.isnan(expected)) or abs(got - expected) < 1e-12, case


@pytest.mark.parametrize("x0, expected", [(-0.5, np.nan), (0.0, -9.0), (2.25, -6.75), (5.0, -4.0), (5.1, np.nan),
                                          (np.nan, np.nan)])
def test_value_at_inside_and_outside_the_sweep(x0, expected):
    y = np.array([-9.0, -8.0, -7.0, -6.0, -5.0, -4.0])
    got = metrics.value_at(np.arange(6.0), y, x0)
    assert (np.isnan(got) and np.isnan(expected)) or got == expected


@pytest.mark.parametrize("case, y", [
    ("two points in the window", [-12.0, -9.5, -8.5, -5.0, -4.0, -3.0]),
    ("falling", [-4.0, -5.0, -6.0, -7.0, -8.0, -9.0]),
    ("flat", [-8.0, -8.0, -8.0, -8.0, -8.0, -8.0]),
    ("NaN everywhere", [np.nan] * 6),
])
def test_swing_without_a_positive_slope_on_three_points_is_nan(case, y):
    assert np.isnan(metrics.subthreshold_swing(np.arange(6.0), np.array(y), -7.0)), case


@pytest.mark.parametrize("x, y, points", [
    (np.arange(6.0), np.log10([1e-9, 5e-9, 4e-9, 3e-9, 2e-9, 1e-9]), 5),    # falling current: g < 0
    (np.arange(6.0), np.log10(np.arange(6.0) * 1e-3 + 1e-9), 6),            # only 5 points with x > 0
    (np.arange(6.0), np.array([-9, -8, np.nan, -7, -6, -5.0]), 5),          # a NaN among them
])
def test_on_resistance_undefined(x, y, points):
    assert np.isnan(metrics.on_resistance(x, y, points))


def test_noisy_curves_keep_threshold_and_swing():
    rng = np.random.default_rng(14)
    vt, swing = 0.7, 0.08
    y = transfer(np.full(1000, vt), np.full(1000, swing)) + rng.normal(0.0, 0.02, (1000, X.size))
    vth = metrics.crossing(X, y, -7.0)
    ss = metrics.subthreshold_swing(X, y, -7.0)
    assert np.isfinite(vth).all() and np.isfinite(ss).all()
    assert vth.std() <= 5e-3 and abs(vth.mean() - vt) <= 5e-3
    assert abs(ss.mean() / (1000 * swing) - 1) <= 0.05
    assert np.mean(np.abs(ss / (1000 * swing) - 1)) <= 0.05


@pytest.mark.parametrize("call, error, match", [
    (lambda: metrics.crossing(np.ones((2, 3)), np.ones(3), 0.0), ValueError, "x must be one-dimensional"),
    (lambda: metrics.crossing(np.arange(3.0), np.ones(4), 0.0), ValueError, "len\\(x\\) = 3 points"),
    (lambda: metrics.crossing(np.arange(3.0), np.ones((2, 3)), [0.0, 1.0, 2.0]), ValueError, "one value per curve"),
    (lambda: metrics.value_at(np.arange(3.0), np.ones(3), [0.0]), ValueError, "one value per curve"),
    (lambda: metrics.subthreshold_swing(np.arange(3.0), np.ones(3), 0.0, decades=0), ValueError, "decades"),
    (lambda: metrics.on_resistance(np.arange(3.0), np.ones(3), points=1), ValueError, "at least 2"),
    (lambda: metrics.on_resistance(np.arange(3.0), np.ones(3), points=2.0), TypeError, "points must be an int"),
    (lambda: metrics.small_signal_resistance(np.arange(3.0), np.ones(3), points=1), ValueError, "at least 2"),
    (lambda: metrics.minimum_swing(np.arange(3.0), np.ones(3), 0.0, decades=-1.0), ValueError, "decades"),
    (lambda: metrics.max_gm_threshold(np.arange(3.0), np.ones(3), vd=np.nan), ValueError, "vd must be a finite"),
])
def test_primitive_argument_errors(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_minimum_swing_is_the_steepest_local_slope_of_the_subthreshold_region():
    # two exponential segments, 90 then 70 mV/decade, reaching the level -7 at x = 1.0
    x = np.linspace(-0.1, 3.65, 101)
    knee = 0.6
    y = np.where(x < knee, -7.0 - (1.0 - knee) / 0.07 + (x - knee) / 0.09, -7.0 + (x - 1.0) / 0.07)
    assert abs(metrics.minimum_swing(x, y, -7.0) / 70.0 - 1) < 1e-9
    # the region ends at the level: a steeper part above it (beyond the reach of a local fit) does not count
    steep = np.where(x < 1.2, y, -7.0 + 0.2 / 0.07 + (x - 1.2) / 0.03)
    assert abs(metrics.minimum_swing(x, steep, -7.0) / 70.0 - 1) < 1e-9
    # a zigzag floor 0.3 decades deep (steeper than the curve) is kept out; so is anything beyond `decades`
    floor = np.maximum(y, -12.0 + 0.3 * (np.arange(101) % 2))
    assert abs(metrics.minimum_swing(x, floor, -7.0) / 70.0 - 1) < 1e-9
    assert abs(metrics.minimum_swing(x, steep, -7.0, decades=10.0) / 70.0 - 1) < 1e-9
    assert abs(metrics.minimum_swing(x, y, -7.0, decades=1.0) / 70.0 - 1) < 1e-9
    # on NLD's 60 mV grid, with one level per curve
    grid = np.linspace(0.0, 6.0, 101)
    curves = transfer(np.array([0.9, 1.4]), np.array([0.07, 0.1]), x=grid)
    assert rel(metrics.minimum_swing(grid, curves, np.array([-7.0, -7.0])), [70.0, 100.0]) < 1e-9
    assert np.isnan(metrics.minimum_swing(x, y, -25.0))  # above the level from the first point


@pytest.mark.parametrize("knee, coarse", [(2.0, False), (0.1, True)])
def test_small_signal_resistance_of_a_square_law(knee, coarse):
    # I = g x (1 - x / (2 knee)) up to the knee: dI/dx = g at x = 0; a knee within two grid points
    # leaves too few points in the linear region, and the value is the chord x / I of the first
    vd = np.linspace(0.0, 3.65, 101)
    g = np.array([1e-3, 2e-5])
    y = mm.square_law(g[:, None], vd[None, :], knee)
    ron, flagged = metrics.small_signal_resistance(vd, y)
    assert flagged.tolist() == [coarse, coarse]
    expected = vd[1] / 10 ** y[:, 1] if coarse else 1 / g
    assert rel(ron, expected) < 1e-9
    one, flag = metrics.small_signal_resistance(vd, y[0], points=3)
    assert type(flag) is bool and flag is coarse and abs(one / expected[0] - 1) < 1e-9


def test_max_gm_threshold_of_a_square_then_linear_curve():
    # I = c u^2 / (2 a) for 0 <= u <= a, c (u - a / 2) beyond (u = x - v0): gm reaches its maximum c at
    # u = a and keeps it; the tangent there meets I = 0 at v0 + a / 2
    x = np.linspace(-0.1, 3.65, 101)
    v0, a, c = np.array([0.5, 0.8]), 0.6, np.array([2e-4, 5e-6])
    u = np.clip(x[None, :] - v0[:, None], 0.0, None)
    current = np.where(u <= a, c[:, None] * u ** 2 / (2 * a), c[:, None] * (u - a / 2)) + 1e-20
    vth, gm = metrics.max_gm_threshold(x, np.log10(current), vd=0.1)
    assert rel(gm, c) < 1e-6 and np.max(np.abs(vth - (v0 + a / 2 - 0.05))) < 1e-9
    assert np.isnan(metrics.max_gm_threshold(x, np.full(101, -9.0))[0])  # flat: no positive gm


def test_max_gm_threshold_passes_over_no_window_that_could_be_steepest():
    # random walks in log current (falling stretches, NaNs) on uneven grids (windows of 1 to 16 points
    # either side), against every window computed: it skips only those that cannot be the steepest
    rng = np.random.default_rng(31)
    for trial in range(40):
        x = np.cumsum(rng.uniform(0.005, 0.1, 40))
        y = np.cumsum(rng.normal(0.0, 0.6, (30, 40)), axis=1) - 8.0
        y[rng.integers(0, 30, 5), rng.integers(0, 40, 5)] = np.nan
        vth, gm = metrics.max_gm_threshold(x, y, vd=0.2)
        current = 10.0 ** y
        slopes = np.full((30, 40), -np.inf)
        for i in range(40):
            window = np.flatnonzero(np.abs(x - x[i]) <= 0.08)  # the local fit: within 80 mV, both sides
            if window[0] == i or window[-1] == i:
                continue
            dx = x[window] - x[window].mean()
            slopes[:, i] = current[:, window] @ dx / (dx @ dx)
        slopes[np.isnan(slopes)] = -np.inf
        at = np.argmax(slopes, axis=1)
        best = slopes[np.arange(30), at]
        best[~(best > 0)] = np.nan  # no rising window: NaN
        np.testing.assert_allclose(gm, best, rtol=1e-12, equal_nan=True, err_msg=str(trial))
        expected = x[at] - current[np.arange(30), at] / best - 0.1
        np.testing.assert_allclose(vth, expected, rtol=0, atol=1e-9 * x[-1], equal_nan=True, err_msg=str(trial))


# --- figures of a sweep on analytic curves --------------------------------------------------------

PLD_COLUMNS = ["vth_lin", "vth_lin_std", "vth_sat", "vth_sat_std", "ss", "ss_std", "dibl", "dibl_std",
               "body_effect", "body_effect_std", "log_ion", "log_ion_std", "log_ioff", "log_ioff_std", "on_off",
               "on_off_std", "ron", "ron_std", "log_idsat", "log_idsat_std", "bv", "bv_std", "bv_censored",
               "vth_gm", "vth_gm_std", "gm_max", "gm_max_std", "ron_w", "ron_w_std", "ron_sp", "ron_sp_std",
               "log_idsat_w", "log_idsat_w_std", "ron_coarse", "vth_lin_status", "vth_sat_status"]
NLD_COLUMNS = ["vth", "vth_std", "ss", "ss_std", "log_ion", "log_ion_std", "log_ioff", "log_ioff_std", "on_off",
               "on_off_std", "ron", "ron_std", "vth_gm", "vth_gm_std", "gm_max", "gm_max_std", "ron_sp", "ron_sp_std",
               "ron_coarse", "vth_status"]
FLAGS = ["bv_censored", "ron_coarse", "vth_lin_status", "vth_sat_status", "vth_status"]


@pytest.mark.parametrize("exact", [False, True])
def test_pld_sweep_figures_in_closed_form(exact):
    lengths = [0.1, 0.35, 0.8, 1.5, 2.2, 4.5]
    devices = mm.pld_devices(lengths)
    frame = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", exact=exact, chunk_size=4)
    assert list(frame.columns) == PLD_COLUMNS and list(frame.index) == list(devices.index)
    floats = frame.drop(columns=[c for c in FLAGS if c in frame])
    assert (floats.dtypes == np.float64).all() and frame.bv_censored.dtype == bool and frame.ron_coarse.dtype == bool
    assert list(frame.vth_lin_status.cat.categories) == ["found", "above_at_start", "never_reached", "nan_before_level"]
    assert (frame.vth_lin_status == "found").all() and not frame.ron_coarse.any()
    expected = mm.expected_pld(devices)
    for column, values in expected.items():
        if column == "bv":
            continue
        assert rel(frame[column], values) < 1e-9 or np.max(np.abs(frame[column] - values)) < 1e-12, column
    # the spread: each submodel's threshold moves by its shift, so do ion and ioff in decades
    shifts = np.array(mm.SHIFTS)
    swing = frame.ss / 1000
    assert rel(frame.log_ion_std, shifts.std() / swing) < 1e-9
    assert rel(frame.log_ioff_std, shifts.std() / swing) < 1e-9
    vd = np.linspace(0, 3.65, 101)
    w = (devices["Finger Width"] * devices.nf).to_numpy()
    idsat = [np.interp(3.3, vd, mm.square_law(1e-4 * wi / li, vd, mm.PLD_KNEE)) for wi, li in zip(w, devices.Length)]
    assert rel(frame.log_idsat, idsat) < 1e-9
    assert rel(frame.log_idsat_w, np.array(idsat) - np.log10(w)) < 1e-9
    assert rel(frame.ron_w, w / mm.pld_params(devices.to_numpy(float))["g"]) < 1e-9
    assert frame.ron_sp.isna().all()  # no area given
    # breakdown: inside the sweep, then beyond its end (censored at x[-1] = 15 V)
    bv = mm.pld_params(devices.to_numpy(float))["bv"]
    inside = bv + shifts.max() < 15.0
    assert rel(frame.bv[inside], bv[inside] + shifts.mean()) < 1e-9
    assert rel(frame.bv_std[inside], np.full(inside.sum(), shifts.std())) < 1e-9
    assert list(frame.bv_censored) == [False, False, False, False, False, True]
    assert frame.bv.iloc[-1] == 15.0 and frame.bv_std.iloc[-1] == 0.0


def test_breakdown_at_or_above_the_level_from_the_first_point():
    devices = mm.pld_devices([-0.9])
    models = mm.pld_models()  # the analytic models refuse W/L <= 0: give a positive one, a negative breakdown
    devices["Length"] = 0.2
    models["PLD"]["breakdown"] = mm.ensemble(lambda c, s: _Constant(-3.0), "breakdown")
    frame = metrics.predict_device_metrics(models, devices, "PLD")
    assert frame.bv.iloc[0] == 0.0 and not frame.bv_censored.iloc[0]


@pytest.mark.parametrize("i_vth, status", [(1e-18, "above_at_start"), (1e40, "never_reached"),
                                            (1e-7, "found")])
def test_threshold_status_says_why_a_threshold_is_missing(i_vth, status):
    frame = metrics.predict_device_metrics(mm.pld_models(), mm.pld_devices([0.5, 1.0]), "PLD",
                                           criteria={"i_vth": i_vth})
    assert (frame.vth_lin_status == status).all() and (frame.vth_sat_status == status).all()
    assert frame.vth_lin.isna().all() == (status != "found")


def test_threshold_status_of_a_curve_with_nan():
    models = mm.pld_models()
    models["PLD"]["id-vg-lin"] = mm.ensemble(lambda c, s: _Constant(np.nan), "id-vg-lin")
    frame = metrics.predict_device_metrics(models, mm.pld_devices([0.5]), "PLD")
    assert frame.vth_lin_status.iloc[0] == "nan_before_level" and frame.vth_sat_status.iloc[0] == "found"


class _Constant:
    def __init__(self, value):
        self.value = value

    def predict(self, X):
        return np.full(len(X), self.value)


def test_nld_sweep_figures_in_closed_form():
    raw = pd.DataFrame({"A": [0.5, 1.0, 2.0], "B": [0.2, 1.0, 3.0], "C": 1.0, "D": 1.0, "E": 1.0})
    frame = metrics.predict_device_metrics(mm.nld_models(), raw, "NLD")
    assert list(frame.columns) == NLD_COLUMNS
    shifts = np.array(mm.SHIFTS)
    vt = 1.0 + 0.3 * raw.A + shifts.mean()
    assert rel(frame.vth, vt) < 1e-9 and rel(frame.vth_std, np.full(3, shifts.std())) < 1e-9
    assert rel(frame.ss, np.full(3, 1000 * mm.NLD_SWING)) < 1e-9
    assert rel(frame.log_ion, -7 + (6.0 - vt) / mm.NLD_SWING) < 1e-9
    assert rel(frame.ron, 1 / (1e-4 * (1 + raw.B))) < 1e-9 and not frame.ron_coarse.any()
    # W = L = 1 for NLD: the criteria are absolute currents
    lower = metrics.predict_device_metrics(mm.nld_models(), raw, "NLD", criteria={"i_vth": 1e-8, "v_on": 3.0})
    assert rel(lower.vth, vt - mm.NLD_SWING) < 1e-9
    assert rel(lower.log_ion, -7 + (3.0 - vt) / mm.NLD_SWING) < 1e-9
    assert lower.attrs["metrics"]["criteria"] == {"i_vth": 1e-8, "i_bv": 1e-6, "ss_decades": 4.0, "vd_lin": 0.1,
                                                  "vd_sat": 3.3, "v_on": 3.0, "v_off": 0.0, "ron_points": 5,
                                                  "vth_norm": "w/l", "area": None}


def test_attrs_name_unit_curve_and_variant():
    frame = metrics.predict_device_metrics(mm.pld_models(), mm.pld_devices([0.5]), "PLD")
    columns = frame.attrs["metrics"]["columns"]
    assert list(columns) == PLD_COLUMNS
    assert columns["vth_lin"] == {"unit": "V", "curve": "id-vg-lin", "variant": "Vb=0.00"}
    assert columns["ron_std"] == {"unit": "ohm", "curve": "id-vd-0", "variant": "Vg=-3.30"}
    assert columns["dibl"]["curve"] == ["id-vg-lin", "id-vg-sat"] and columns["dibl"]["unit"] == "mV/V"
    assert columns["bv"] == {"unit": "V", "curve": "breakdown", "variant": None}
    assert columns["ron_sp"]["unit"] == "ohm*[area]" and columns["gm_max"]["unit"] == "A/V"
    assert columns["vth_sat_status"] == {"unit": None, "curve": "id-vg-sat", "variant": "Vb=0.00"}
    assert frame.attrs["metrics"]["criteria"]["v_on"] == 3.3


# --- checks before any prediction -----------------------------------------------------------------

class _Refuses:
    def predict(self, X):
        raise AssertionError("predicted before the arguments were checked")


REFUSING = {"PLD": {c: _Refuses() for c in cm.CURVES["PLD"]}}


@pytest.mark.parametrize("criteria, error, match", [
    ({"i_th": 1e-7}, ValueError, "unknown criterion 'i_th'"),
    ({"i_vth": 0.0}, ValueError, "i_vth must be a finite positive number"),
    ({"i_bv": -1e-6}, ValueError, "i_bv"),
    ({"vd_sat": float("inf")}, ValueError, "vd_sat"),
    ({"ss_decades": float("nan")}, ValueError, "ss_decades"),
    ({"v_on": "3.3"}, ValueError, "v_on"),
    ({"v_on": True}, ValueError, "v_on"),
    ({"v_off": -0.1}, ValueError, "v_off must be a finite number >= 0"),
    ({"ron_points": 1}, ValueError, "ron_points must be an int >= 2"),
    ({"ron_points": 5.0}, ValueError, "ron_points"),
    ([("i_vth", 1e-7)], TypeError, "criteria must be a dict or None"),
])
def test_criteria_are_checked_first(criteria, error, match):
    with pytest.raises(error, match=match):
        metrics.predict_device_metrics(REFUSING, mm.pld_devices([0.5]), "PLD", criteria=criteria)


def test_criteria_accept_zero_v_off_and_numpy_numbers():
    frame = metrics.predict_device_metrics(mm.pld_models(), mm.pld_devices([0.5]), "PLD",
                                           criteria={"v_off": 0, "ron_points": np.int64(3), "i_vth": np.float32(1e-7)})
    assert frame.attrs["metrics"]["criteria"]["ron_points"] == 3


def pld_config(curve=None, drop_variant=None):
    config = {k: v for k, v in mos_utils._DEVICE_CONFIG["PLD"].items()}
    info = {c: dict(entry) for c, entry in config["CURVE_INFO"].items()}
    if curve:
        del info[curve]
    if drop_variant:
        c, label = drop_variant
        info[c]["variants"] = {k: v for k, v in info[c]["variants"].items() if k != label}
    config["CURVE_INFO"] = info
    return config


@pytest.mark.parametrize("config, match", [
    (pld_config(curve="breakdown"), "config has no curve 'breakdown'"),
    (pld_config(curve="id-vg-sat"), "config has no curve 'id-vg-sat'"),
    (pld_config(drop_variant=("id-vd-0", "Vg=-3.30")),
     "v_on \\(3.3\\): curve 'id-vd-0' of config has no variant at Vg = -3.3"),
    (pld_config(drop_variant=("id-vg-lin", "Vb=0.00")), "curve 'id-vg-lin' of config has no variant 'Vb=0.00'"),
])
def test_config_lacking_a_needed_curve_or_variant(config, match):
    with pytest.raises(ValueError, match=match):
        metrics.predict_device_metrics(REFUSING, mm.pld_devices([0.5]), "PLD", config=config)


def test_body_effect_reads_the_variants_of_the_config():
    config = pld_config()
    variants = config["CURVE_INFO"]["id-vg-lin"]["variants"]
    config["CURVE_INFO"]["id-vg-lin"] = dict(config["CURVE_INFO"]["id-vg-lin"],
                                             variants={k: variants[k] for k in ("Vb=0.00", "Vb=1.65", "Vb=3.30")})
    frame = metrics.predict_device_metrics(mm.pld_models(), mm.pld_devices([0.5, 1.0]), "PLD", config=config)
    assert rel(frame.body_effect, np.full(2, mm.BODY)) < 1e-9
    assert frame.attrs["metrics"]["columns"]["body_effect"]["variant"] == ["Vb=0.00", "Vb=1.65", "Vb=3.30"]
    config["CURVE_INFO"]["id-vg-lin"]["variants"] = {"Vb=0.00": {"Vb": 0.0}, "Vx=1.00": {"Vx": 1.0}}
    with pytest.raises(ValueError, match="variant 'Vx=1.00' of curve 'id-vg-lin' of config has no 'Vb' value"):
        metrics.predict_device_metrics(REFUSING, mm.pld_devices([0.5]), "PLD", config=config)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"device_type": "XLD"}, ValueError, "device_type must be 'PLD' or 'NLD'"),
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return'"),
    ({"chunk_size": 0}, ValueError, "chunk_size must be at least 1"),
    ({"devices": [1, 2]}, TypeError, "devices must be a pandas or dask DataFrame"),
    ({"devices": mm.pld_devices([0.5]).drop(columns=["nf"])}, KeyError, "nf"),
])
def test_bad_arguments_are_refused(kwargs, error, match):
    arguments = {"models": REFUSING, "devices": mm.pld_devices([0.5]), "device_type": "PLD", **kwargs}
    with pytest.raises(error, match=match):
        metrics.predict_device_metrics(**arguments)


def test_a_failing_device_with_errors_return_and_raise():
    devices = mm.pld_devices([0.3, 0.6, 0.9])
    devices.loc["L1", "E"] = 20.0
    models = mm.pld_models()
    models["PLD"]["id-vg-sat"] = mm.ensemble(_RefusesE, "id-vg-sat")
    frame = metrics.predict_device_metrics(models, devices, "PLD", errors="return")
    assert list(frame.columns) == PLD_COLUMNS + ["error"]
    assert frame.error.iloc[1] == "ValueError: E out of range"
    assert frame.error.iloc[0] is None and frame.error.iloc[2] is None
    assert frame.drop(columns=FLAGS + ["error"], errors="ignore").iloc[1].isna().all()
    assert not frame.bv_censored.iloc[1] and not frame.ron_coarse.iloc[1] and pd.isna(frame.vth_lin_status.iloc[1])
    alone = metrics.predict_device_metrics(models, devices.iloc[[0, 2]], "PLD")
    pd.testing.assert_frame_equal(frame.drop(columns="error").iloc[[0, 2]], alone)
    with pytest.raises(ValueError, match="E out of range") as caught:
        metrics.predict_device_metrics(models, devices, "PLD")
    assert "device 'L1'" in caught.value.__notes__[0]


class _RefusesE(mm.AnalyticPLD):
    def predict(self, X):
        if np.any(np.asarray(X)[:, 6] > 10):
            raise ValueError("E out of range")
        return super().predict(X)


def test_progress_bar_over_the_devices(capsys):
    metrics.predict_device_metrics(mm.pld_models(), mm.pld_devices([0.3, 0.6, 0.9]), "PLD", progress=True)
    assert "3/3" in capsys.readouterr().err


# --- the same figures as the batch's records -------------------------------------------------------

@pytest.fixture(scope="module")
def trained():
    return cm.all_models(n_estimators=4, linear_estimators=3)


def from_records(records, devices, device_type):
    return pd.DataFrame([metrics.device_metrics(r, devices.iloc[i], device_type) for i, r in enumerate(records)],
                        index=devices.index)


@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_sweep_equals_figures_of_the_batch_records(trained, device_type, exact):
    devices = pd.DataFrame(cm.device_inputs(device_type, 23, seed=21))
    devices.index = [f"d{i}" for i in range(len(devices))]
    frame = metrics.predict_device_metrics(trained, devices, device_type, exact=exact, chunk_size=6)
    records = batch.predict_curves_for_frame(trained, devices, device_type, exact=exact, chunk_size=6)
    expected = from_records(records, devices, device_type).astype(frame.dtypes.to_dict())
    pd.testing.assert_frame_equal(frame, expected, check_exact=True)
    assert frame.iloc[:, :3].notna().all().all()  # a comparison of figures, not of NaNs


def test_devices_through_the_per_device_steps_give_the_same_figures(trained, monkeypatch):
    # A replaced predict_curves_for_inputs sends every device through it, and so its records
    devices = pd.DataFrame(cm.device_inputs("PLD", 9, seed=22))
    stacked = metrics.predict_device_metrics(trained, devices, "PLD", exact=True, chunk_size=4)
    calls = []
    original = mos_utils.predict_curves_for_inputs

    def counted(*args, **kwargs):
        calls.append(args[3])
        return original(*args, **kwargs)

    monkeypatch.setattr(mos_utils, "predict_curves_for_inputs", counted)
    literal = metrics.predict_device_metrics(trained, devices, "PLD", exact=True, chunk_size=4)
    assert len(calls) == 9 and calls[0] == ["id-vg-lin", "id-vg-sat", "id-vd-0", "breakdown"]
    pd.testing.assert_frame_equal(literal, stacked, check_exact=True)


def test_a_device_with_a_missing_input_fails_alone(trained):
    devices = pd.DataFrame(cm.device_inputs("PLD", 5, seed=23))
    devices.iloc[2, 1] = np.nan
    frame = metrics.predict_device_metrics(trained, devices, "PLD", errors="return")
    assert frame.error.iloc[2] == "ValueError: device 2: input 'Length' must be a finite positive number, not nan"
    assert frame.vth_lin.isna().tolist() == [False, False, True, False, False]
    assert frame.drop(columns=["error"] + FLAGS, errors="ignore").iloc[2].isna().all()


def test_device_metrics_series(trained):
    devices = pd.DataFrame(cm.device_inputs("PLD", 3, seed=8), index=["a", "b", "c"])
    records = mos_utils.predict_curves_for_inputs(trained, devices.loc["b"], "PLD")
    series = metrics.device_metrics(records, devices.loc["b"], "PLD")
    assert series.name == "b" and list(series.index) == PLD_COLUMNS
    assert series.attrs["metrics"]["columns"]["bv"]["unit"] == "V"
    row = metrics.predict_device_metrics(trained, devices, "PLD", exact=True).loc["b"]  # the per-device steps
    pd.testing.assert_series_equal(series, row, check_exact=True)
    missing = [r for r in records if r["curve_variant"] != "Vg=-3.30"]
    with pytest.raises(ValueError, match="curve 'id-vd-0' of records has no variant at Vg = -3.3"):
        metrics.device_metrics(missing, devices.loc["b"], "PLD")


def test_submodel_counts_that_differ_pair_by_position():
    # id-vg-sat with one model, id-vg-lin with three: dibl's spread pairs submodel j with the single one
    models = mm.pld_models()
    models["PLD"]["id-vg-sat"] = mm.AnalyticPLD("id-vg-sat")
    frame = metrics.predict_device_metrics(models, mm.pld_devices([0.5]), "PLD")
    assert frame.vth_sat_std.iloc[0] == 0.0
    shifts = np.array(mm.SHIFTS)
    assert rel(frame.dibl_std, [1000 * shifts.std() / 3.2]) < 1e-9


# --- dask -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_dask_frame_is_lazy_with_known_meta(trained, dask_client, device_type):
    import cloudpickle
    import dask.dataframe as dd
    devices = pd.DataFrame(cm.device_inputs(device_type, 24, seed=9))
    devices.index = [f"{device_type}-{i}" for i in range(len(devices))]
    training = devices.iloc[:12]  # the training domain: half of the devices' ranges
    lazy = metrics.predict_device_metrics(trained, dd.from_pandas(devices, npartitions=4, sort=False), device_type,
                                          exact=True, chunk_size=5, errors="return", domain=training)
    graph = dict(lazy.__dask_graph__())
    assert len(cloudpickle.dumps(graph)) < 1.5 * len(cloudpickle.dumps(trained))  # the models, once
    expected = metrics.predict_device_metrics(trained, devices, device_type, exact=True, errors="return",
                                              domain=training)
    assert expected.in_domain.iloc[:12].all() and not expected.in_domain.all()
    assert lazy.dtypes.to_dict() == expected.dtypes.to_dict()
    got = dask_client.compute(lazy).result()
    pd.testing.assert_frame_equal(got, expected, check_exact=True, check_index_type=False)  # dask: arrow strings


def test_dask_input_columns_checked_when_built(trained):
    dd = pytest.importorskip("dask.dataframe")
    devices = dd.from_pandas(pd.DataFrame(cm.device_inputs("PLD", 4)).drop(columns=["Length"]), npartitions=2)
    with pytest.raises(KeyError, match="Length"):
        metrics.predict_device_metrics(trained, devices, "PLD")


# --- Pareto front ---------------------------------------------------------------------------------

def brute_front(values):
    n = len(values)
    front = np.zeros(n, bool)
    for i in range(n):
        if np.isnan(values[i]).any():
            continue
        others = values[~np.isnan(values).any(axis=1)]
        dominated = ((others <= values[i]).all(axis=1) & (others < values[i]).any(axis=1)).any()
        front[i] = not dominated
    return front


@pytest.mark.parametrize("k", [1, 2, 3])
def test_pareto_front_matches_the_definition(k):
    rng = np.random.default_rng(k)
    values = rng.integers(0, 6, size=(300, k)).astype(float)  # many ties and duplicates
    values[rng.integers(0, 300, 20), rng.integers(0, k, 20)] = np.nan
    names = [f"c{i}" for i in range(k)]
    frame = pd.DataFrame(values, columns=names, index=np.arange(300)[::-1])
    minimize, maximize = names[: (k + 1) // 2], names[(k + 1) // 2:]
    signed = values * np.array([1.0] * len(minimize) + [-1.0] * len(maximize))
    front = metrics.pareto_front(frame, minimize=minimize, maximize=maximize)
    assert front.dtype == bool and front.index.equals(frame.index)
    assert (front.to_numpy() == brute_front(signed)).all()


def test_pareto_front_small_case_and_errors():
    frame = pd.DataFrame({"ron": [1.0, 2.0, 1.0, 3.0, np.nan, 0.5], "bv": [5.0, 9.0, 5.0, 8.0, 20.0, 1.0]},
                         index=list("abcdef"))
    front = metrics.pareto_front(frame, minimize="ron", maximize=["bv"])
    assert list(front[front].index) == ["a", "b", "c", "f"]
    with pytest.raises(KeyError, match="bvv"):
        metrics.pareto_front(frame, minimize=["ron"], maximize=["bvv"])
    with pytest.raises(ValueError, match="at least one column"):
        metrics.pareto_front(frame)


def epsilon_front(values, tolerance):
    """The rows no row dominates by more than the tolerance (the definition, row against row)."""
    ok = ~np.isnan(values).any(axis=1)
    front = np.zeros(len(values), bool)
    for i in np.flatnonzero(ok):
        others = values[ok]
        beyond = ((others <= values[i] + tolerance).all(axis=1) & (others < values[i] - tolerance).any(axis=1))
        front[i] = not beyond.any()
    return front


@pytest.mark.parametrize("k", [2, 3])
def test_pareto_front_with_a_tolerance_matches_the_definition(k):
    rng = np.random.default_rng(10 + k)
    values = np.round(rng.normal(size=(400, k)), 2)
    values[rng.integers(0, 400, 10), 0] = np.nan
    names = [f"c{i}" for i in range(k)]
    tolerance = {name: t for name, t in zip(names, (0.05, 0.2, 0.0))}
    frame = pd.DataFrame(values, columns=names)
    front = metrics.pareto_front(frame, minimize=names[:-1], maximize=names[-1:], tolerance=tolerance)
    signed = values * np.array([1.0] * (k - 1) + [-1.0])
    assert (front.to_numpy() == epsilon_front(signed, np.array([tolerance[n] for n in names]))).all()
    zero = metrics.pareto_front(frame, minimize=names[:-1], maximize=names[-1:], tolerance={names[0]: 0.0})
    assert zero.equals(metrics.pareto_front(frame, minimize=names[:-1], maximize=names[-1:]))


def test_pareto_front_robust_takes_each_figure_at_its_worse_side():
    frame = pd.DataFrame({"ron": [1.0, 1.1, 2.0, 0.9], "ron_std": [0.5, 0.01, 0.0, np.nan],
                          "bv": [10.0, 9.5, 12.0, 20.0], "bv_std": [0.0, 0.2, 3.0, 0.0]})
    front = metrics.pareto_front(frame, minimize="ron", maximize="bv", robust=2.0)
    # worst cases (ron + 2 std, bv - 2 std): (2.0, 10.0), (1.12, 9.1), (2.0, 6.0), NaN
    assert front.tolist() == [True, True, False, False]
    plain = pd.DataFrame({"ron": [2.0, 1.12, 2.0, np.nan], "bv": [10.0, 9.1, 6.0, 20.0]})
    assert front.tolist() == metrics.pareto_front(plain, minimize="ron", maximize="bv").tolist()


@pytest.mark.parametrize("kwargs, error, match", [
    ({"tolerance": {"vth": 0.1}}, ValueError, "tolerance names 'vth'"),
    ({"tolerance": {"ron": -0.1}}, ValueError, "the tolerance of 'ron' must be a finite number >= 0"),
    ({"tolerance": 0.1}, TypeError, "tolerance must be a dict"),
    ({"robust": -1.0}, ValueError, "robust must be a finite number >= 0"),
    ({"robust": 1.0}, KeyError, "robust needs the column 'bv_std'"),
])
def test_pareto_front_refuses_bad_tolerances(kwargs, error, match):
    frame = pd.DataFrame({"ron": [1.0, 2.0], "ron_std": [0.1, 0.1], "bv": [1.0, 2.0]})
    with pytest.raises(error, match=match):
        metrics.pareto_front(frame, minimize="ron", maximize="bv", **kwargs)
