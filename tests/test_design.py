"""korva.curve.design: the functions' Python surface, arguments refused before any prediction, what
a search promises of every design it returns (constraints met at its robustness, non-dominated,
sorted, inside the space), the same frame for a seed at any n_jobs, failing and censored devices,
a space that runs out, and replaced globals that hand back arrays of another kind."""
import inspect
import pickle
import types

import numpy as np
import pandas as pd
import pytest

import design_models as dm
from conftest import run_json
from korva.curve import design, metrics

SPACE = {"Length": (0.5, 5.0), "Finger Width": (1.0, 10.0), "nf": [1, 2, 4, 8]}
FIXED = {"Si pitch": 0.5, "A": 0.0, "C": 2.5, "E": 1.0}
OBJECTIVES = {"ron": "min", "bv": "max"}
CONSTRAINTS = {"vth_lin": (0.6, 1.2), "bv": (4.0, None)}


class Counted(dm.DesignPLD):
    """Counts the predict calls of every instance (a class attribute, shared)."""
    calls = 0

    def predict(self, X):
        type(self).calls += 1
        return super().predict(X)


@pytest.fixture(scope="module")
def models():
    return dm.models(dm.simple_params)


def search(models, **kwargs):
    args = dict(space=SPACE, objectives=OBJECTIVES, constraints=CONSTRAINTS, fixed=FIXED, budget=300, seed=5)
    args.update(kwargs)
    return design.search_designs(models, "PLD", args.pop("space"), args.pop("objectives"), args.pop("constraints"),
                                 **args)


def test_python_surface():
    for f in (design.search_designs, design.sensitivity):
        assert f.__module__ == "korva.curve.design" and f.__doc__ is None
        assert pickle.loads(pickle.dumps(f)) is f
    assert str(inspect.signature(design.search_designs)) == (
        "(models: dict, device_type: str, space: dict, objectives: dict, constraints: Optional[dict] = None, *, "
        "fixed: Optional[dict] = None, criteria: Optional[dict] = None, config: Optional[dict] = None, "
        "robust: float = 0.0, budget: int = 2000, seed: Optional[int] = None, exact: bool = False, "
        "n_jobs: Optional[int] = None, progress: bool = False) -> pandas.DataFrame")
    assert list(inspect.signature(design.sensitivity).parameters) == [
        "models", "device_type", "space", "figures", "fixed", "criteria", "config", "samples", "seed", "exact",
        "n_jobs", "progress"]
    with pytest.raises(TypeError, match=r"search_designs\(\) missing 1 required positional argument: 'objectives'"):
        design.search_designs({}, "PLD", {})
    with pytest.raises(TypeError, match="takes from 4 to 5 positional arguments but 6 were given"):
        design.search_designs({}, "PLD", {}, {}, None, {})


SEARCH_REFUSALS = [
    (dict(objectives={"nothing": "min"}), ValueError, "objectives names 'nothing', which is not a figure"),
    (dict(objectives={"ron_std": "min"}), ValueError, "not a figure"),
    (dict(constraints={"bv_censored": (0, 1)}), ValueError, "constraints names 'bv_censored'"),
    (dict(objectives={"ron": "minimise"}), ValueError, r"objectives\['ron'\] must be 'min' or 'max'"),
    (dict(objectives={}), ValueError, "one to three figures, not 0"),
    (dict(objectives={"ron": "min", "bv": "max", "ss": "min", "dibl": "min"}), ValueError, "not 4"),
    (dict(space={**SPACE, "Length": (2.0, 2.0)}), ValueError, r"space\['Length'\] is an empty range"),
    (dict(space={**SPACE, "Length": (3.0, 2.0)}), ValueError, "an inverted range"),
    (dict(space={**SPACE, "Length": (1.0, float("nan"))}), ValueError, "finite number"),
    (dict(space={**SPACE, "nf": []}), ValueError, "empty list of allowed values"),
    (dict(space={**SPACE, "nf": "1248"}), TypeError, "range or a list of allowed values"),
    (dict(space={**SPACE, "nf": [1, "2"]}), TypeError, "real number"),
    (dict(space={}), ValueError, "space names no input"),
    (dict(space={**SPACE, "Width": (1.0, 2.0)}), ValueError, r"not read by device type 'PLD': \['Width'\]"),
    (dict(fixed={"A": 0.0, "C": 2.5, "E": 1.0}), ValueError, r"missing from both space and fixed: \['Si pitch'\]"),
    (dict(fixed={**FIXED, "nf": 2.0}), ValueError, r"in both space and fixed: \['nf'\]"),
    (dict(fixed={**FIXED, "A": True}), TypeError, "must be a real number, not bool"),
    (dict(constraints={"vth_lin": (1.2, 0.6)}), ValueError, r"constraints\['vth_lin'\] is an inverted range"),
    (dict(constraints={"vth_lin": (None, None)}), ValueError, "bounds nothing"),
    (dict(constraints={"vth_lin": 1.2}), ValueError, "must be \\(low, high\\)"),
    (dict(budget=0), ValueError, "budget must be at least 1"),
    (dict(budget=-5), ValueError, "budget must be at least 1"),
    (dict(budget=1500.0), TypeError, "budget must be an int"),
    (dict(budget=True), TypeError, "budget must be an int"),
    (dict(robust=-1.0), ValueError, "robust must be"),
    (dict(seed=-1), ValueError, "seed must be a non-negative int"),
    (dict(n_jobs=0), ValueError, "n_jobs must not be 0"),
    (dict(criteria={"i_vth": -1.0}), ValueError, "i_vth"),
]


@pytest.mark.parametrize("change, error, message", SEARCH_REFUSALS)
def test_search_refuses_bad_arguments_before_any_prediction(change, error, message):
    Counted.calls = 0
    with pytest.raises(error, match=message):
        search(dm.models(make=Counted), **change)
    assert Counted.calls == 0


@pytest.mark.parametrize("change, error, message", [
    (dict(figures=["ron", "nothing"]), ValueError, "figures names 'nothing'"),
    (dict(figures=[]), ValueError, "figures names no figure"),
    (dict(figures=["ron", "ron"]), ValueError, "figures names 'ron' twice"),
    (dict(samples=1), ValueError, "samples must be at least 2"),
    (dict(space={"Length": (1.0, 0.5)}), ValueError, "inverted range"),
    (dict(device_type="XYZ"), ValueError, "device_type must be 'PLD' or 'NLD'"),
])
def test_sensitivity_refuses_bad_arguments_before_any_prediction(change, error, message):
    Counted.calls = 0
    args = dict(device_type="PLD", space={"Length": (0.5, 5.0)}, figures="ron",
                fixed={"Finger Width": 2.0, "nf": 4.0, **FIXED}, samples=8)
    args.update(change)
    with pytest.raises(error, match=message):
        design.sensitivity(dm.models(make=Counted), args.pop("device_type"), args.pop("space"), args.pop("figures"),
                           **args)
    assert Counted.calls == 0


@pytest.mark.parametrize("robust", [0.0, 1.0, 2.5])
def test_every_design_meets_the_constraints_at_its_robustness(models, robust):
    frame = search(models, robust=robust)
    assert len(frame) > 5
    k = robust
    for figure, (low, high) in CONSTRAINTS.items():
        spread = k * frame[f"{figure}_std"] if k else 0.0
        if low is not None:
            assert (frame[figure] - spread >= low).all()
        if high is not None:
            assert (frame[figure] + spread <= high).all()
    # non-dominated at the same robustness, sorted by the first objective, inside the space
    robust_frame = pd.DataFrame({"ron": frame.ron + k * frame.ron_std, "bv": frame.bv - k * frame.bv_std})
    assert metrics.pareto_front(robust_frame, minimize="ron", maximize="bv").all()
    assert frame.ron.is_monotonic_increasing
    assert frame.Length.between(0.5, 5.0).all() and frame["Finger Width"].between(1.0, 10.0).all()
    assert set(frame.nf) <= {1.0, 2.0, 4.0, 8.0} and (frame[list(FIXED)] == pd.Series(FIXED)).all().all()
    assert list(frame.columns[:7]) == [*SPACE, *FIXED] and frame.index.name == "evaluation"
    assert "error" not in frame.columns and "bv_censored" in frame.columns
    info = frame.attrs["search"]
    assert info["evaluations"] == 300 and len(info["hypervolume"]) == info["generations"] + 1
    assert np.all(np.diff(info["hypervolume"]) >= 0) and info["hypervolume"][-1] > 0
    assert set(info["reference_point"]) == {"ron", "bv"} and info["settings"]["robust"] == robust
    assert "ron" in frame.attrs["metrics"]["columns"]


def test_a_tighter_robustness_gives_up_designs(models):
    plain, robust = search(models), search(models, robust=3.0)
    assert robust.vth_lin.max() <= 1.2 - 3 * robust.vth_lin_std.min() + 1e-12
    assert plain.vth_lin.max() > robust.vth_lin.max()


def test_same_seed_same_frame_at_any_n_jobs(models):
    one = search(models, robust=1.0, n_jobs=1)
    two = search(models, robust=1.0, n_jobs=2)
    pd.testing.assert_frame_equal(one, two, check_exact=True)
    assert one.attrs == two.attrs
    other = search(models, robust=1.0, seed=6)
    assert not one.index.equals(other.index)
    drawn = search(models, seed=None, budget=100)
    again = search(models, seed=drawn.attrs["search"]["seed"], budget=100)
    pd.testing.assert_frame_equal(drawn, again, check_exact=True)
    s1 = design.sensitivity(models, "PLD", SPACE, ["ron", "bv"], fixed=FIXED, samples=16, seed=2, n_jobs=1)
    s2 = design.sensitivity(models, "PLD", SPACE, ["ron", "bv"], fixed=FIXED, samples=16, seed=2, n_jobs=2)
    pd.testing.assert_frame_equal(s1, s2, check_exact=True)


class FailsLong(dm.DesignPLD):
    def predict(self, X):
        if np.any(np.asarray(X)[:, 1] > 3.0):
            raise RuntimeError("no model beyond Length 3")
        return super().predict(X)


def test_failing_devices_are_infeasible_and_counted():
    frame = search(dm.models(make=FailsLong), constraints=None)
    info = frame.attrs["search"]
    assert info["evaluations"] == 300 and info["failed"] > 0
    assert "RuntimeError: no model beyond Length 3" in info["first_error"]
    assert len(frame) and (frame.Length <= 3.0).all()


def test_no_feasible_design_says_how_close_the_best_came(models):
    frame = search(models, constraints={"bv": (20.0, None), "vth_lin": (None, 1.2)}, budget=100)
    assert frame.empty and list(frame.columns[:7]) == [*SPACE, *FIXED]
    closest = frame.attrs["search"]["closest"]
    assert closest["largest"][0] == "bv" and 4.9 < closest["largest"][1] < 17.0
    assert closest["excess"]["vth_lin"] == 0.0 and frame.attrs["search"]["reference_point"] is None


def test_a_censored_breakdown_counts_as_its_lower_bound(models):
    # bv = 2 + 3 Length + 0.01 reaches the end of the breakdown sweep (15 V) beyond Length 4.33
    frame = search(models, space={"Length": (3.0, 5.0), "Finger Width": (1.0, 10.0)}, fixed={**FIXED, "nf": 4.0},
                   constraints={"bv": (14.5, None)})
    assert frame.bv_censored.any() and (frame.bv >= 14.5).all()


def test_a_discrete_space_runs_out_without_repeats(models):
    space = {"Length": list(np.linspace(0.5, 5.0, 10)), "Finger Width": [1.0, 4.0, 10.0], "nf": [1, 2, 4, 8]}
    frame = search(models, space=space, budget=1000)
    assert frame.attrs["search"]["evaluations"] <= 120
    grid = pd.MultiIndex.from_product(list(space.values()), names=list(space)).to_frame(index=False).assign(**FIXED)
    every = metrics.predict_device_metrics(models, grid, "PLD")
    feasible = every[every.vth_lin.between(0.6, 1.2) & (every.bv >= 4.0)]
    best = feasible[metrics.pareto_front(feasible, minimize="ron", maximize="bv")]
    assert sorted(frame.ron) == sorted(best.ron)


def test_progress_shows_one_bar_over_the_budget(models, capsys):
    search(models, budget=60, progress=True)
    assert "60/60" in capsys.readouterr().err


# --- replaced globals: what comes back is checked where it is read ---------------------------------

class ShortFigures:
    """A stand-in for the metrics module whose frames lack the last device."""

    def predict_device_metrics(self, models, devices, *args, **kwargs):
        return metrics.predict_device_metrics(models, devices.iloc[: max(len(devices) - 1, 0)], *args, **kwargs)


class OddSobol:
    def __init__(self, *args, **kwargs):
        pass

    def random_base2(self, m):
        return np.zeros((2 ** m, 3), dtype=np.float32)

    def random(self, n):
        return np.full((n, 2), 0.5)


@pytest.mark.parametrize("name, value, error, message", [
    ("metrics", ShortFigures(), RuntimeError, "does not have the float64 dtype and shape"),
    ("qmc", types.SimpleNamespace(Sobol=OddSobol), RuntimeError, "the Sobol sample does not have"),
])
def test_replaced_globals_give_exceptions(models, monkeypatch, name, value, error, message):
    monkeypatch.setattr(design, name, value)
    with pytest.raises(error, match=message):
        search(models, budget=50)
    with pytest.raises(error, match=message):
        design.sensitivity(models, "PLD", SPACE, "ron", fixed=FIXED, samples=4, seed=1)


def test_a_deleted_global_is_a_name_error(models, monkeypatch):
    monkeypatch.delattr(design, "qmc")
    with pytest.raises(NameError, match="name 'qmc' is not defined"):
        search(models, budget=50)


def test_a_model_that_mutates_the_arguments_changes_nothing(models):
    space, fixed = dict(SPACE), dict(FIXED)

    class Meddling(dm.DesignPLD):
        def predict(self, X):
            space.clear()
            fixed["A"] = "x"
            return super().predict(X)

    frame = search(dm.models(make=Meddling), space=space, fixed=fixed, budget=80)
    assert len(frame) and (frame.A == 0.0).all()


class ItemsLie(dict):
    def items(self):
        return [("Length", "not a range")]

    def __iter__(self):
        return iter(["nothing"])


def test_dict_subclasses_are_read_as_the_dicts_they_are(models):
    frame = search(models, space=ItemsLie(SPACE), fixed=ItemsLie(FIXED), budget=60)
    assert list(frame.columns[:7]) == [*SPACE, *FIXED]


def test_nld_inputs_are_the_raw_ones_its_transform_reads():
    import metric_models as mm
    models = mm.nld_models()
    with pytest.raises(ValueError, match=r"missing from both space and fixed: \['E'\]"):
        design.search_designs(models, "NLD", {"A": (0.0, 3.0), "B": (0.0, 2.0)}, {"ron": "min"},
                              fixed={"C": 1.0, "D": 1.0})
    # vth = 1 + 0.3 A + 0.01, ron = 1 / (1e-4 (1 + B)): the best design has the largest B and A <= 2
    frame = design.search_designs(models, "NLD", {"A": (0.0, 3.0), "B": (0.0, 2.0)}, {"ron": "min"},
                                  {"vth": (None, 1.61)}, fixed={"C": 1.0, "D": 1.0, "E": 1.0}, budget=300, seed=1)
    assert len(frame) >= 1 and frame.B.iloc[0] > 1.95 and (frame.vth <= 1.61).all()


def test_a_callable_area_follows_each_design(models):
    try:
        metrics.predict_device_metrics(models, pd.DataFrame(columns=[*SPACE, *FIXED], dtype=float),
                                       "PLD", criteria={"area": 1.0})
    except ValueError:
        pytest.skip("the figures of merit have no area criterion (ron_sp) here")
    seen = []

    def area(devices):
        seen.append(len(devices))
        return devices["Finger Width"] * devices["nf"] * (devices["Length"] + 1.0)

    frame = search(models, objectives={"ron_sp": "min", "bv": "max"}, criteria={"area": area}, budget=200)
    assert len(frame) and sum(seen) == 200 and seen[0] == 0  # the argument check first, with no device
    np.testing.assert_allclose(frame.ron_sp, frame.ron * area(frame), rtol=1e-12)
    assert frame.attrs["search"]["settings"]["criteria"]["area"] == repr(area)
    assert pickle.loads(pickle.dumps(frame)).equals(frame)


def test_import_order():
    assert run_json("""
        import json, sys
        import korva.curve.design
        print(json.dumps([m for m in sys.modules if m.startswith('korva')]))
    """)[-1] == "korva.curve.design"
