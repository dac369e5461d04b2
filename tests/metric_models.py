"""Models whose `predict` returns analytic curves for each device, so that every figure of merit
korva.curve.metrics extracts is known in closed form.

Each model reads the query rows as korva builds them: the device's base inputs, the variant
values, then x. The transfer curves are exactly exponential (linear in log10 I); the output curve
is a square law, I = g x (1 - x / (2 VK)) up to its knee VK and flat beyond, so its chord
conductance I / x falls linearly from g at x = 0; the breakdown curve is exponential through its
criterion.
VotingRegressor ensembles of them (`ensemble`) give the spread columns: submodel j shifts the
threshold and breakdown voltages by SHIFTS[j].
"""
import numpy as np
import pandas as pd
from sklearn.ensemble import VotingRegressor

SHIFTS = (-0.02, 0.0, 0.05)
I_VTH, I_BV = 1e-7, 1e-6
VD_LIN, VD_SAT, V_ON = 0.1, 3.3, 3.3
BODY = 0.15          # V/V: the threshold shift per volt of Vb
BV_SLOPE = 0.5       # V per decade of the breakdown curve
NLD_SWING = 0.2      # V per decade: the NLD grid has a point every 60 mV
PLD_KNEE = 2.0       # V: the knee of the PLD output curve
NLD_KNEE = 30.0      # V: the knee of the NLD output curve (its grid has a point every volt)


def square_law(g, x, knee):
    """log10 of g x (1 - x / (2 knee)) below the knee and g knee / 2 beyond (a floor of 1e-20 A at 0)."""
    current = np.where(x < knee, g * x * (1.0 - x / (2.0 * knee)), g * knee / 2.0)
    return np.log10(current + 1e-20)


def pld_params(inputs):
    """Per device (rows of an array over the PLD base inputs): W/L, W, the linear threshold at
    Vb=0, the swing in V/decade, the DIBL coefficient, the output conductance and the breakdown."""
    fw, length, nf, c = inputs[:, 0], inputs[:, 1], inputs[:, 2], inputs[:, 5]
    w = fw * nf
    return {
        "wl": w / length, "w": w,
        "vt": 0.4 + 0.3 * length,
        "swing": 0.065 + 0.004 * c,
        "eta": 0.01 + 0.04 / (1.0 + length),
        "g": 1e-4 * w / length,
        "bv": 2.0 + 3.0 * length,
    }


class AnalyticPLD:
    """One PLD curve type; `shift` moves the threshold and breakdown voltages."""

    def __init__(self, curve_type, shift=0.0):
        self.curve_type, self.shift = curve_type, shift

    def predict(self, X):
        X = np.asarray(X, dtype=float)
        p = pld_params(X[:, :7])
        if np.any(p["wl"] <= 0) or np.any(~np.isfinite(X[:, :7])):
            raise ValueError("the analytic model needs a positive, finite geometry")
        x = X[:, -1]
        if self.curve_type in ("id-vg-lin", "id-vg-sat"):
            vt = p["vt"] + self.shift + BODY * X[:, 7]
            if self.curve_type == "id-vg-sat":
                vt = vt - p["eta"] * (VD_SAT - VD_LIN)
            return np.log10(I_VTH * p["wl"]) + (x - vt) / p["swing"]
        if self.curve_type.startswith("id-vd"):
            return square_law(p["g"], x, PLD_KNEE)
        return np.log10(I_BV * p["w"]) + (x - (p["bv"] + self.shift)) / BV_SLOPE


class AnalyticNLD:
    """One NLD curve type over the NLD base inputs (A, B, C+D+E, ...)."""

    def __init__(self, curve_type, shift=0.0, knee=NLD_KNEE):
        self.curve_type, self.shift, self.knee = curve_type, shift, knee

    def predict(self, X):
        X = np.asarray(X, dtype=float)
        a, b, x = X[:, 0], X[:, 1], X[:, -1]
        if self.curve_type == "id-vg":
            return np.log10(I_VTH) + (x - (1.0 + 0.3 * a + self.shift)) / NLD_SWING
        return square_law(1e-4 * (1.0 + b), x, self.knee)


def ensemble(make, curve_type, shifts=SHIFTS):
    model = VotingRegressor([(f"m{j}", make(curve_type, s)) for j, s in enumerate(shifts)])
    model.estimators_ = [make(curve_type, s) for s in shifts]
    return model


def pld_models(shifts=SHIFTS):
    return {"PLD": {c: ensemble(AnalyticPLD, c, shifts)
                    for c in ("breakdown", "id-vg-sat", "id-vg-lin", "id-vd-0", "id-vd-3.3")}}


def nld_models(shifts=SHIFTS):
    return {"NLD": {c: ensemble(AnalyticNLD, c, shifts) for c in ("id-vg", "id-vd")}}


def pld_devices(lengths, finger_width=2.0, nf=4.0, c=2.5):
    lengths = np.asarray(lengths, dtype=float)
    frame = pd.DataFrame({"Finger Width": finger_width, "Length": lengths, "nf": nf, "Si pitch": 0.5, "A": 0.0,
                          "C": c, "E": 1.0})
    frame.index = [f"L{i}" for i in range(len(frame))]
    return frame


def expected_pld(devices, shifts=SHIFTS):
    """The figures of the analytic PLD models in closed form (those that are linear in the shift)."""
    p = pld_params(devices[["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]].to_numpy(float))
    shifts = np.asarray(shifts)
    mean_shift = shifts.mean()
    vth_lin = p["vt"] + mean_shift
    vth_sat = vth_lin - p["eta"] * (VD_SAT - VD_LIN)
    y_th = np.log10(I_VTH * p["wl"])
    return {
        "vth_lin": vth_lin, "vth_lin_std": np.full(len(devices), shifts.std()),
        "vth_sat": vth_sat, "vth_sat_std": np.full(len(devices), shifts.std()),
        "ss": 1000.0 * p["swing"], "ss_std": np.zeros(len(devices)),
        "dibl": 1000.0 * p["eta"], "dibl_std": np.zeros(len(devices)),
        "body_effect": np.full(len(devices), BODY), "body_effect_std": np.zeros(len(devices)),
        "log_ion": y_th + (V_ON - vth_sat) / p["swing"],
        "log_ioff": y_th + (0.0 - vth_sat) / p["swing"],
        "on_off": V_ON / p["swing"],
        "ron": 1.0 / p["g"], "ron_std": np.zeros(len(devices)),
        "bv": p["bv"] + mean_shift,
    }
