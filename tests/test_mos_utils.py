"""korva.curve.mos_utils: the module namespace, the function signatures, the _DEVICE_CONFIG table,
the NLD input transform (values, exact arithmetic, pickling) and the smoothstep ramp."""
import inspect
import pickle
from fractions import Fraction
from typing import Optional

import cloudpickle
import dill
import numpy as np
import pandas as pd
import pytest
from scipy.special import comb

from conftest import run_json
from curve_models import smoothstep as smoothstep_formula
import korva.curve.mos_utils as mu

CONFIG = mu._DEVICE_CONFIG
TRANSFORM = CONFIG["NLD"]["INPUT_TRANSFORM"]
VB = [0.0, 0.82, 1.65, 2.48, 3.3]
VG = [-0.5, -1.2, -1.9, -2.6, -3.3]


# ---- module namespace and signatures ------------------------------------------------------

def test_namespace_in_a_fresh_interpreter():
    assert run_json("""
        import json, sys
        import korva.curve.mos_utils as mu
        print(json.dumps([[n for n in vars(mu) if not n.startswith('__')],
                          'korva.utils' in sys.modules, mu.__doc__, hasattr(mu, '__all__')]))
    """) == [["Optional", "np", "pd", "comb", "VotingRegressor", "_smoothstep", "_DEVICE_CONFIG",
              "_predict_from_submodels", "_predict_single_curve", "predict_curves_for_inputs"],
             False, None, False]


def test_imported_names_are_the_library_objects():
    from sklearn.ensemble import VotingRegressor
    assert (mu.np, mu.pd, mu.comb, mu.VotingRegressor, mu.Optional) == (np, pd, comb, VotingRegressor, Optional)


@pytest.mark.parametrize("name, signature", [
    ("_smoothstep", "(x, x_min=0, x_max=1, N=1)"),
    ("_predict_from_submodels", "(model, X)"),
    ("_predict_single_curve", "(models: dict, device_inputs: pandas.Series, device_type: str, curve_type: str, "
                              "variant: dict, x_coords: numpy.ndarray, config: Optional[dict] = None, **pred_kwargs)"),
    ("predict_curves_for_inputs", "(models: dict, device_inputs: pandas.Series, device_type: str, "
                                  "curve_types: list = None, config: Optional[dict] = None) -> list"),
])
def test_signatures(name, signature):
    f = getattr(mu, name)
    assert str(inspect.signature(f)) == signature
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "korva.curve.mos_utils"
    assert f.__doc__ is None
    assert pickle.loads(pickle.dumps(f)) is f


def test_annotations_are_the_objects_themselves():
    assert mu._smoothstep.__defaults__ == (0, 1, 1)
    assert mu._smoothstep.__annotations__ == {} == mu._predict_from_submodels.__annotations__
    assert mu._predict_from_submodels.__defaults__ is None
    single = mu._predict_single_curve.__annotations__
    assert list(single) == ["models", "device_inputs", "device_type", "curve_type", "variant", "x_coords", "config"]
    assert [single[k] for k in list(single)[:6]] == [dict, pd.Series, str, str, dict, np.ndarray]
    assert single["device_inputs"] is pd.Series and single["x_coords"] is np.ndarray
    assert single["config"] == Optional[dict]
    assert mu._predict_single_curve.__defaults__ == (None,)
    driver = mu.predict_curves_for_inputs.__annotations__
    assert list(driver) == ["models", "device_inputs", "device_type", "curve_types", "config", "return"]
    assert list(driver.values()) == [dict, pd.Series, str, list, Optional[dict], list]
    assert mu.predict_curves_for_inputs.__defaults__ == (None, None)


# ---- the configuration table ----------------------------------------------------------------

PLD_CURVES = {  # curve type: input_cols, x_col, x_label, variants, (start, stop)
    "breakdown": ([], "Neg_Vd_curve", "-Vd", {"default": {}}, (0, 15)),
    "id-vg-sat": (["Vb"], "Neg_Vg_curve", "-Vg", {f"Vb={v:.2f}": {"Vb": v} for v in VB}, (-0.1, 3.65)),
    "id-vg-lin": (["Vb"], "Neg_Vg_curve", "-Vg", {f"Vb={v:.2f}": {"Vb": v} for v in VB}, (-0.1, 3.65)),
    "id-vd-0": (["Vg"], "Neg_Vd_curve", "-Vd", {f"Vg={v:.2f}": {"Vg": v} for v in VG}, (0, 3.65)),
    "id-vd-3.3": (["Vg"], "Neg_Vd_curve", "-Vd", {f"Vg={v:.2f}": {"Vg": v} for v in VG}, (0, 3.65)),
}
NLD_CURVES = {
    "id-vg": ([], "VG_curve", "Vg", {"default": {}}, (0, 6)),
    "id-vd": ([], "VD_curve", "Vd", {"default": {}}, (0, 100)),
}


def test_device_configurations():
    assert list(CONFIG) == ["PLD", "NLD"]
    assert list(CONFIG["PLD"]) == ["BASE_INPUT_COLS", "CURVE_INFO", "PREDICTION_PARAMS"]
    assert list(CONFIG["NLD"]) == ["BASE_INPUT_COLS", "CURVE_INFO", "INPUT_TRANSFORM", "PREDICTION_PARAMS"]
    assert CONFIG["PLD"]["BASE_INPUT_COLS"] == ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]
    assert CONFIG["NLD"]["BASE_INPUT_COLS"] == ["A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP"]
    assert CONFIG["PLD"]["PREDICTION_PARAMS"] == {"auto_linear_blend": 5}
    assert CONFIG["NLD"]["PREDICTION_PARAMS"] == {"auto_linear_blend": 3}
    assert type(CONFIG["NLD"]["PREDICTION_PARAMS"]["auto_linear_blend"]) is int


@pytest.mark.parametrize("device, curves, y_col, y_label", [
    ("PLD", PLD_CURVES, "Log10_Neg_Clipped_Id_curve", "log10(-Id)"),
    ("NLD", NLD_CURVES, "Log10_Clipped_ID_curve", "log10(Id)"),
])
def test_curve_entries(device, curves, y_col, y_label):
    info = CONFIG[device]["CURVE_INFO"]
    assert list(info) == list(curves)
    for curve_type, (input_cols, x_col, x_label, variants, (start, stop)) in curves.items():
        entry = info[curve_type]
        assert list(entry) == ["input_cols", "x_col", "y_col", "x_label", "y_label", "x_unit", "y_unit",
                               "variants", "x_range"]
        assert entry["input_cols"] == input_cols
        assert (entry["x_col"], entry["y_col"], entry["x_label"], entry["y_label"], entry["x_unit"],
                entry["y_unit"]) == (x_col, y_col, x_label, y_label, "V", "log10(A)")
        assert list(entry["variants"]) == list(variants) and entry["variants"] == variants
        for variant in entry["variants"].values():
            assert all(type(v) is float and list(variant) == entry["input_cols"] for v in variant.values())
        x = entry["x_range"]
        assert type(x) is np.ndarray and x.dtype == np.float64 and x.shape == (101,)
        assert np.array_equal(x, np.linspace(start, stop, 101))
        assert (x[0], x[-1]) == (start, stop)


def test_variant_labels_keep_two_decimals_and_the_sign():
    sat = CONFIG["PLD"]["CURVE_INFO"]["id-vg-sat"]["variants"]
    vd0 = CONFIG["PLD"]["CURVE_INFO"]["id-vd-0"]["variants"]
    assert list(sat) == ["Vb=0.00", "Vb=0.82", "Vb=1.65", "Vb=2.48", "Vb=3.30"]
    assert list(vd0) == ["Vg=-0.50", "Vg=-1.20", "Vg=-1.90", "Vg=-2.60", "Vg=-3.30"]
    assert sat["Vb=3.30"] == {"Vb": 3.3} and vd0["Vg=-0.50"] == {"Vg": -0.5}


def test_no_container_is_shared_between_entries():
    seen = {}

    def visit(obj, path):
        if isinstance(obj, (dict, list, np.ndarray)):
            assert id(obj) not in seen, f"{path} is the same object as {seen[id(obj)]}"
            seen[id(obj)] = path
        if isinstance(obj, dict):
            for key, value in obj.items():
                visit(value, path + (key,))
        elif isinstance(obj, list):
            for i, value in enumerate(obj):
                visit(value, path + (i,))

    visit(CONFIG, ())
    assert "INPUT_TRANSFORM" not in CONFIG["PLD"]
    # equal empty dicts and equal ranges, but distinct objects
    assert CONFIG["NLD"]["CURVE_INFO"]["id-vg"]["variants"]["default"] == {}
    sat, lin = (CONFIG["PLD"]["CURVE_INFO"][c]["x_range"] for c in ("id-vg-sat", "id-vg-lin"))
    assert np.array_equal(sat, lin) and not np.shares_memory(sat, lin)


# ---- the NLD input transform ------------------------------------------------------------------

def reference_transform(a, b, c, d, e):
    return {"W": 10, "Nf": 2, "A": a, "B": b, "C+D+E": (c + d) + e, "C/(C+D+E)": c / ((c + d) + e),
            "(C+D)/(C+D+E)": (c + d) / ((c + d) + e), "S": d + e, "HP": (((((0.77 + a) + b) + c) + d) + e) + 0.1}


def test_transform_identity():
    f = TRANSFORM
    assert f.__name__ == f.__qualname__ == "<lambda>"
    assert f.__module__ == "korva.curve.mos_utils"
    assert str(inspect.signature(f)) == "(d)"
    assert "<lambda>" not in vars(mu)


def test_transform_values():
    result = TRANSFORM(pd.Series({"A": 1.0, "B": 2.0, "C": 3.0, "D": 4.0, "E": 5.0, "Other": 9.0}))
    assert type(result) is pd.Series
    assert result.to_dict() == {"W": 10, "Nf": 2, "A": 1.0, "B": 2.0, "C+D+E": 12.0, "C/(C+D+E)": 0.25,
                                "(C+D)/(C+D+E)": 0.5833333333333334, "S": 9.0, "HP": 15.87}


def test_transform_is_bit_exact_with_the_bracketed_python_arithmetic():
    rng = np.random.default_rng(7)
    rows = rng.uniform(-1e3, 1e3, size=(400, 5)) * rng.choice([1e-6, 1.0, 1e6], size=(400, 5))
    other_order = 0
    for row in rows:
        values = [float(v) for v in row]
        got = TRANSFORM(pd.Series(dict(zip("ABCDE", values))))
        want = reference_transform(*values)
        assert list(got.index) == list(want)
        for label, value in want.items():
            assert got[label] == value, label
        a, b, c, d, e = values
        other_order += (a + b + c + d + e + 0.77 + 0.1) != want["HP"]
    assert other_order > 0  # the order of the additions is observable on these inputs


@pytest.mark.parametrize("inputs", [
    {"A": 1, "B": 2, "C": 3, "D": 4, "E": 5},
    {"A": Fraction(1, 3), "B": Fraction(2, 7), "C": Fraction(3), "D": Fraction(1, 9), "E": Fraction(5, 2)},
    {"A": np.float32(0.1), "B": np.float32(0.2), "C": np.float32(0.3), "D": np.float32(0.4), "E": np.float32(0.5)},
], ids=["int", "fraction", "float32"])
def test_transform_follows_the_operand_types(inputs):
    got = TRANSFORM(inputs)  # a plain dict works as well as a Series
    want = reference_transform(*(inputs[k] for k in "ABCDE"))
    assert list(got.index) == list(want)
    assert all(got[k] == want[k] for k in want)  # exact: Fractions stay Fractions, float32 stays float32


def test_transform_with_zero_sum_follows_the_operand_types():
    with np.errstate(invalid="ignore"):
        got = TRANSFORM(pd.Series({"A": 1.0, "B": 1.0, "C": 0.0, "D": 0.0, "E": 0.0}))
    assert np.isnan(got["C/(C+D+E)"])  # numpy scalars divide to nan with a warning
    with pytest.raises(ZeroDivisionError):
        TRANSFORM({"A": 1, "B": 1, "C": 0, "D": 0, "E": 0})


@pytest.mark.parametrize("missing", list("ABCDE"))
@pytest.mark.parametrize("kind", [pd.Series, dict])
def test_transform_missing_label(kind, missing):
    inputs = kind({k: 1.0 for k in "ABCDE" if k != missing})
    with pytest.raises(KeyError) as info:
        TRANSFORM(inputs)
    assert info.value.args[0] == missing


def test_transform_reads_and_adds_in_expression_order():
    # C + D is evaluated before E is read, so a bad sum is reported ahead of the missing label
    with pytest.raises(TypeError):
        TRANSFORM({"A": 1.0, "B": 1.0, "C": "text", "D": 1.0})
    with pytest.raises(KeyError):
        TRANSFORM({"A": 1.0, "B": 1.0, "C": "text"})


@pytest.mark.parametrize("module", [pickle, dill, cloudpickle], ids=lambda m: m.__name__)
def test_transform_pickles_as_a_reference_to_its_table_entry(module):
    data = module.dumps(TRANSFORM)
    assert module.loads(data) is TRANSFORM
    assert len(data) < 300  # a reference, not a copy of the function
    result = run_json(f"""
        import json, sys
        import {module.__name__} as serializer
        restored = serializer.loads(bytes.fromhex({data.hex()!r}))
        import pandas as pd
        import korva.curve.mos_utils as mu
        series = restored(pd.Series({{"A": 0.1, "B": 0.2, "C": 0.3, "D": 0.4, "E": 0.5}}))
        print(json.dumps([restored is mu._DEVICE_CONFIG["NLD"]["INPUT_TRANSFORM"], list(series.index),
                          list(series.values)]))
    """)
    want = TRANSFORM(pd.Series({"A": 0.1, "B": 0.2, "C": 0.3, "D": 0.4, "E": 0.5}))
    assert result == [True, list(want.index), list(want.values)]


# ---- smoothstep ---------------------------------------------------------------------------------

@pytest.mark.parametrize("N, values", [
    (3, [0.002728, 0.0705566, 0.5, 0.929443, 0.997272]),
    (5, [0.000295706, 0.0343275, 0.5, 0.965672, 0.999704]),
])
def test_smoothstep_table(N, values):
    got = mu._smoothstep(np.array([0.1, 0.25, 0.5, 0.75, 0.9]), x_min=0, x_max=1, N=N)
    assert np.allclose(got, values, rtol=1e-5, atol=0)
    assert got[2] == 0.5


def test_smoothstep_exact_values():
    got = mu._smoothstep(np.array([0.25, 0.5, 0.75]), x_min=0, x_max=1, N=3)
    assert got.tolist() == [0.070556640625, 0.5, 0.929443359375]


EXPANDED = {
    0: lambda t: t,
    1: lambda t: 3 * t**2 - 2 * t**3,
    3: lambda t: 35 * t**4 - 84 * t**5 + 70 * t**6 - 20 * t**7,
    5: lambda t: 462 * t**6 - 1980 * t**7 + 3465 * t**8 - 3080 * t**9 + 1386 * t**10 - 252 * t**11,
}


@pytest.mark.parametrize("N", range(8))
@pytest.mark.parametrize("x_min, x_max", [(0, 1), (-0.1, 3.65), (2.0, -1.0)])
def test_smoothstep_is_bit_exact_with_the_term_by_term_sum(N, x_min, x_max):
    x = np.random.default_rng(N).uniform(-1.0, 4.0, size=257)
    got = mu._smoothstep(x, x_min=x_min, x_max=x_max, N=N)
    assert np.array_equal(got, smoothstep_formula(x, x_min, x_max, N))
    t = np.clip((x - x_min) / (x_max - x_min), 0, 1)
    if N in EXPANDED:
        assert np.allclose(got, EXPANDED[N](t), atol=1e-12)
    assert got[t == 0].tolist() == [0.0] * int((t == 0).sum())
    assert np.all(np.abs(got[t == 1] - 1.0) < 1e-12)


@pytest.mark.parametrize("x, kwargs, want", [
    (0.5, {}, 0.5),                                  # defaults: S_1 on [0, 1]
    (0.25, {}, 3 * 0.25**2 - 2 * 0.25**3),
    (-3.0, {"N": 4}, 0.0),                           # clipped below
    (7.0, {"N": 4}, 1.0),                            # clipped above
    (5.0, {"x_min": 0, "x_max": 10, "N": 0}, 0.5),   # S_0 is the plain ramp
])
def test_smoothstep_scalars_and_defaults(x, kwargs, want):
    got = mu._smoothstep(x, **kwargs)
    assert got == pytest.approx(want, abs=1e-15)
    assert got == smoothstep_formula(x, **kwargs)
