"""Inputs korva.curve.metrics refuses before anything is predicted, grouped by kind: criteria that
contradict each other or the curves, devices whose inputs cannot be right, models that are missing,
repeated columns, a training domain that does not fit, and x that is not increasing."""
import numpy as np
import pandas as pd
import pytest

import curve_models as cm
import metric_models as mm
from korva.curve import metrics, mos_utils


class _Refuses:
    def predict(self, X):
        raise AssertionError("predicted before the arguments were checked")


REFUSING = {"PLD": {c: _Refuses() for c in cm.CURVES["PLD"]}, "NLD": {c: _Refuses() for c in cm.CURVES["NLD"]}}


def refused(error, match, devices=None, device_type="PLD", models=REFUSING, **kwargs):
    devices = mm.pld_devices([0.5, 1.0]) if devices is None else devices
    with pytest.raises(error, match=match):
        metrics.predict_device_metrics(models, devices, device_type, **kwargs)


# --- criteria against each other and against the curves -------------------------------------------

@pytest.mark.parametrize("criteria, match", [
    ({"vd_lin": 3.3}, r"criterion vd_lin \(3.3\) must be below vd_sat \(3.3\)"),          # DIBL = inf
    ({"vd_lin": 3.3, "vd_sat": 0.1}, "vd_lin .* must be below vd_sat"),                  # DIBL's sign flipped
    ({"v_on": 0.5, "v_off": 1.0}, r"criterion v_off \(1.0\) must be below v_on \(0.5\)"),  # a negative on/off
    ({"vd_sat": 3300.0}, r"vd_sat \(3300.0\) lies outside the x range \[0.0, 3.65\] of curve 'id-vd-0'"),
    ({"v_on": 3300.0}, r"v_on \(3300.0\): curve 'id-vd-0' of config has no variant at Vg = -3300.0"),
    ({"v_on": 3.0}, r"v_on \(3.0\): curve 'id-vd-0' of config has no variant at Vg = -3.0"),
    ({"vth_norm": "W/L"}, "vth_norm must be 'w/l', 'w' or 'abs'"),
    ({"area": -1.0}, "area must be a finite positive number, a column name"),
    ({"i_vth": "no such column"}, "criterion i_vth names no column of devices: 'no such column'"),
    ({"i_bv": pd.Series([1e-6, 1e-6], index=["x", "y"])}, "criterion i_bv: a Series must have the index of devices"),
    ({"area": np.ones(3)}, r"criterion area: an array must hold one value per device \(2\), not 3"),
])
def test_criteria_checked_against_each_other_and_the_curves(criteria, match):
    refused(ValueError, match, criteria=criteria)


def test_a_series_criterion_needs_a_pandas_frame():
    dd = pytest.importorskip("dask.dataframe")
    devices = mm.pld_devices([0.5, 1.0])
    refused(ValueError, "a criterion given as a Series or an array needs a pandas DataFrame",
            devices=dd.from_pandas(devices, 1),
            criteria={"i_vth": pd.Series(1e-7, index=devices.index)})


def test_nld_criteria_checked_against_its_curves():
    refused(ValueError, r"v_on \(7.5\) lies outside the x range \[0.0, 6.0\] of curve 'id-vg'",
            devices=pd.DataFrame(cm.device_inputs("NLD", 2)), device_type="NLD", criteria={"v_on": 7.5})


# --- each device's inputs -----------------------------------------------------------------------------

@pytest.mark.parametrize("column, value, needs", [
    ("Length", 0.0, "a finite positive number, not 0.0"),
    ("Length", -0.5, "a finite positive number, not -0.5"),
    ("Length", np.nan, "a finite positive number, not nan"),
    ("Finger Width", np.inf, "a finite positive number, not inf"),
    ("nf", "four", "a finite positive number, not 'four'"),
    ("C", np.nan, "a finite number, not nan"),
    ("i_th", -1e-7, "a finite positive number, not -1e-07"),
])
def test_a_device_whose_input_cannot_be_right(column, value, needs):
    devices = mm.pld_devices([0.5, 1.0, 1.5]).assign(i_th=1e-7).astype(object)
    devices.loc["L1", column] = value
    subject = "criterion i_vth (column 'i_th')" if column == "i_th" else f"input '{column}'"
    message = f"device 'L1': {subject} must be {needs}"
    refused(ValueError, message.replace("(", r"\(").replace(")", r"\)"), devices=devices, criteria={"i_vth": "i_th"})
    frame = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", criteria={"i_vth": "i_th"}, errors="return")
    assert frame.error.tolist() == [None, "ValueError: " + message, None]
    assert frame.vth_lin.isna().tolist() == [False, True, False]
    good = metrics.predict_device_metrics(mm.pld_models(), devices.drop(index="L1").astype(float), "PLD",
                                          criteria={"i_vth": "i_th"})
    pd.testing.assert_frame_equal(frame.drop(index="L1", columns="error"), good, check_exact=True)


def test_device_metrics_checks_the_geometry_and_reads_criteria_from_the_inputs():
    devices = mm.pld_devices([0.5])
    records = mos_utils.predict_curves_for_inputs(mm.pld_models(), devices.iloc[0], "PLD")
    with pytest.raises(ValueError, match="device 'L0': input 'Length' must be a finite positive number, not -0.5"):
        metrics.device_metrics(records, devices.iloc[0].replace(0.5, -0.5), "PLD")
    with pytest.raises(ValueError, match="criterion i_vth names no input of the device: 'i_th'"):
        metrics.device_metrics(records, devices.iloc[0], "PLD", {"i_vth": "i_th"})
    with pytest.raises(ValueError, match="a Series or an array is for predict_device_metrics"):
        metrics.device_metrics(records, devices.iloc[0], "PLD", {"area": pd.Series([1.0], index=["L0"])})


# --- models and columns -------------------------------------------------------------------------------

@pytest.mark.parametrize("models, match", [
    ({"PLD": {c: _Refuses() for c in cm.CURVES["PLD"] if c != "breakdown"}},
     r"models\['PLD'\] has no model for the curves \['breakdown'\], which the figures of merit read"),
    ({"NLD": {}}, "models has no entry for device type 'PLD'.$"),
    (REFUSING["PLD"], "models has no entry for device type 'PLD': it holds curve models, as models"),
])
def test_missing_models_are_named(models, match):
    refused(KeyError, match, models=models)


def test_repeated_columns_are_named():
    devices = mm.pld_devices([0.5, 1.0])
    repeated = pd.concat([devices, devices.Length], axis=1)
    refused(ValueError, r"devices has repeated columns \['Length'\]", devices=repeated)


# --- the training domain ------------------------------------------------------------------------------

@pytest.mark.parametrize("domain, error, match", [
    ({"Width": (1.0, 2.0)}, ValueError, "domain: 'Width' is not a column of devices"),
    ({"Length": (2.0, 1.0)}, ValueError, r"the range of 'Length' must be \(low, high\)"),
    ({"Length": (np.nan, 1.0)}, ValueError, "the range of 'Length'"),
    ({"Length": 1.0}, ValueError, "the range of 'Length'"),
    (pd.DataFrame({"x": [0.0, 3.65], "y": [-9.0, -3.0]}), ValueError, "shares no column with devices"),
    ([("Length", (0, 1))], TypeError, "domain must be None, a dict"),
])
def test_bad_domains(domain, error, match):
    refused(error, match, domain=domain)


def test_in_domain_from_bounds_or_the_training_inputs():
    devices = mm.pld_devices([0.2, 0.5, 1.0, 3.0])
    devices.loc["L2", "C"] = 9.0
    training = pd.DataFrame({"Length": [0.4, 2.0, 1.1], "C": [1.0, 3.0, 2.0], "x": [0.0, 1.0, 2.0]})
    by_frame = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", domain=training)
    assert by_frame.in_domain.tolist() == [False, True, False, False]
    assert by_frame.attrs["metrics"]["domain"] == {"Length": (0.4, 2.0), "C": (1.0, 3.0)}
    by_dict = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD", domain={"Length": (0.4, 2.0)})
    assert by_dict.in_domain.tolist() == [False, True, True, False]
    plain = metrics.predict_device_metrics(mm.pld_models(), devices, "PLD")
    pd.testing.assert_frame_equal(by_dict.drop(columns="in_domain"), plain, check_exact=True)  # still computed


# --- x that is not increasing ---------------------------------------------------------------------------

PRIMITIVES = [
    lambda x, y: metrics.crossing(x, y, -7.0),
    lambda x, y: metrics.value_at(x, y, 1.0),
    lambda x, y: metrics.subthreshold_swing(x, y, -7.0),
    lambda x, y: metrics.on_resistance(x, y),
    lambda x, y: metrics.minimum_swing(x, y, -7.0),
    lambda x, y: metrics.small_signal_resistance(x, y),
    lambda x, y: metrics.max_gm_threshold(x, y),
]


@pytest.mark.parametrize("x", [np.linspace(3.0, 0.0, 7), np.array([0.0, 0.5, 1.0, 0.9, 2.0, 2.5, 3.0]),
                               np.array([0.0, 0.5, np.nan, 1.5, 2.0, 2.5, 3.0])])
@pytest.mark.parametrize("primitive", PRIMITIVES)
def test_every_primitive_refuses_an_x_that_is_not_increasing(primitive, x):
    with pytest.raises(ValueError, match="x must be increasing"):
        primitive(x, np.linspace(-9.0, -5.0, 7))


def test_a_decreasing_x_range_in_the_config_is_refused():
    config = {k: v for k, v in mos_utils._DEVICE_CONFIG["PLD"].items()}
    config["CURVE_INFO"] = {c: dict(e) for c, e in config["CURVE_INFO"].items()}
    config["CURVE_INFO"]["breakdown"]["x_range"] = np.linspace(15.0, 0.0, 101)
    refused(ValueError, "the x of curve 'breakdown' of config must be increasing", config=config)
