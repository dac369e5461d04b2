"""Models for korva.curve.design whose figures of merit are known in closed form: the analytic
curves of metric_models (exponential transfer curves, a linear output curve, an exponential
breakdown curve) over device parameters that a function of the seven PLD inputs gives.

Submodel j of an ensemble shifts the threshold and breakdown voltages by SHIFTS[j] and scales the
output conductance by 1 + SHIFTS[j], so that vth_lin, bv and ron all have a spread. The figures
are then, with s the mean shift: vth_lin = vt + s, bv = bv + s (x[-1] = 15 V when censored),
ron = 1 / (g (1 + s)) within the on-resistance fit's rounding.
"""
import numpy as np
from sklearn.ensemble import VotingRegressor

import metric_models as mm

SHIFTS = mm.SHIFTS
CURVES = ("breakdown", "id-vg-sat", "id-vg-lin", "id-vd-0", "id-vd-3.3")
INPUTS = ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]


def simple_params(inputs):
    """metric_models' device: ron = Length / (1e-4 W), bv = 2 + 3 Length, vt = 0.4 + 0.3 Length."""
    return mm.pld_params(inputs)


def rich_params(inputs):
    """Every input matters. ron falls with W = Finger Width x nf, rises with Length and E, and is
    lowest at Si pitch 0.8 and A 0.3; bv rises with Length, peaks at E 2.5 and C 2; vt rises with
    Length. The front (min ron, max bv, vt bounded) lies at Finger Width and nf at their maxima,
    Si pitch 0.8, A 0.3, C 2, and is traced by Length and E in [0, 2.5]."""
    fw, length, nf, pitch, a, c, e = (inputs[:, i] for i in range(7))
    p = mm.pld_params(inputs)
    w = fw * nf
    ron = length * (1 + 0.5 * (pitch - 0.8) ** 2) * (1 + 0.4 * (a - 0.3) ** 2) * (1 + 0.12 * e) / (1e-4 * w)
    p["g"] = 1.0 / ron
    p["bv"] = 1.0 + 2.2 * length * (1.0 + 0.25 * e - 0.05 * e ** 2) * (1.0 - 0.06 * (c - 2.0) ** 2)
    return p


def ishigami(x1, x2, x3, a=7.0, b=0.1):
    return np.sin(x1) + a * np.sin(x2) ** 2 + b * x3 ** 4 * np.sin(x1)


def output_params(function, columns=(3, 4, 5)):
    """Device parameters whose ron is 20 + function(inputs at `columns`) (by default "Si pitch",
    "A" and "C"); vt depends on Length alone and the swing on E alone, as in simple_params."""
    def params(inputs):
        p = mm.pld_params(inputs)
        p["g"] = 1.0 / (20.0 + function(*(inputs[:, i] for i in columns)))
        p["swing"] = 0.065 + 0.004 * inputs[:, 6]
        return p
    return params


def ishigami_indices(a=7.0, b=0.1):
    """The analytic first-order and total indices of the Ishigami function."""
    v1 = 0.5 * (1 + b * np.pi ** 4 / 5) ** 2
    v2 = a ** 2 / 8
    v13 = b ** 2 * np.pi ** 8 * (1 / 18 - 1 / 50)
    v = v1 + v2 + v13
    return np.array([v1, v2, 0.0]) / v, np.array([v1 + v13, v2, v13]) / v


class DesignPLD:
    """One PLD curve type of a device whose parameters `params` gives."""

    def __init__(self, curve_type, shift=0.0, params=simple_params):
        self.curve_type, self.shift, self.params = curve_type, shift, params

    def predict(self, X):
        X = np.asarray(X, dtype=float)
        p = self.params(X[:, :7])
        if np.any(p["wl"] <= 0) or np.any(~np.isfinite(X[:, :7])):
            raise ValueError("the analytic model needs a positive, finite geometry")
        x = X[:, -1]
        if self.curve_type in ("id-vg-lin", "id-vg-sat"):
            vt = p["vt"] + self.shift + mm.BODY * X[:, 7]
            if self.curve_type == "id-vg-sat":
                vt = vt - p["eta"] * (mm.VD_SAT - mm.VD_LIN)
            return np.log10(mm.I_VTH * p["wl"]) + (x - vt) / p["swing"]
        if self.curve_type.startswith("id-vd"):
            return np.log10(p["g"] * (1.0 + self.shift) * x + 1e-12)
        return np.log10(mm.I_BV * p["w"]) + (x - (p["bv"] + self.shift)) / mm.BV_SLOPE


def models(params=simple_params, shifts=SHIFTS, make=DesignPLD):
    out = {}
    for curve in CURVES:
        ensemble = VotingRegressor([(f"m{j}", make(curve, s, params)) for j, s in enumerate(shifts)])
        ensemble.estimators_ = [make(curve, s, params) for s in shifts]
        out[curve] = ensemble
    return {"PLD": out}


def hypervolume_2d(ron, bv, reference):
    """The area that points (ron to minimise, bv to maximise) dominate up to reference (ron, bv)."""
    points = sorted(zip(np.asarray(ron, float), -np.asarray(bv, float)))
    area, lowest = 0.0, -reference[1]
    for r, nb in points:
        if r < reference[0] and nb < lowest:
            area += (reference[0] - r) * (lowest - nb)
            lowest = nb
    return area


def sobol_g(*x, a=(0.0, 1.0, 4.5, 9.0)):
    """Sobol's G function of inputs in [0, 1] with the coefficients `a`."""
    return np.prod([(np.abs(4 * xi - 2) + ai) / (1 + ai) for xi, ai in zip(x, a)], axis=0)
