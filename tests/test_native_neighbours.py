"""korva's own neighbour searches on data built with exact ties (points on an integer grid, repeated
points, queries on and between the grid's points): the same neighbours in the same order as the
tree's search, so the averages agree to the bit; and a differential fuzz of every kernel family on
random training sets and random queries."""
import numpy as np
import pandas as pd
import pytest
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor, HistGradientBoostingRegressor,
                              RandomForestRegressor)
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor, ExtraTreeRegressor

import native_models as nm


def grid_models(estimator, seed, n=500, span=3):
    """Fitted on points of an integer grid (many of them repeated), random targets."""
    rng = np.random.default_rng(seed)
    models = {}
    for curve in nm.CURVES:
        width = 9 if curve == "id-vg-sat" else 8
        X = rng.integers(0, span, size=(n, width)).astype(float)
        X[:, -1] = rng.integers(-1, 5, size=n)
        models[curve] = type(estimator)(**estimator.get_params()).fit(X, rng.normal(size=n))
    return {"PLD": models}


def grid_devices(n, seed):
    rng = np.random.default_rng(seed)
    columns = ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]
    return pd.DataFrame(rng.integers(0, 3, size=(n, len(columns))).astype(float), columns=columns,
                        index=[f"G{i}" for i in range(n)])


GRID_TABLE = nm.config(x=np.arange(-1.5, 5.0, 0.5), variants={"0": {"Vb": 0.0}, "1": {"Vb": 1.0}, "half": {"Vb": 1.5}})


def tied_rows(models, frame, k):
    """How many query rows have a tie inside their k nearest, and at the k-th."""
    inside = boundary = 0
    for curve in nm.CURVES:
        estimator = models["PLD"][curve]
        for _, _, X in nm.query_matrices(frame, GRID_TABLE, curve):
            d, _ = estimator.kneighbors(X, n_neighbors=min(k + 1, estimator.n_samples_fit_))
            inside += int(np.sum(np.any(d[:, 1:k] == d[:, :k - 1], axis=1)))
            if d.shape[1] > k:
                boundary += int(np.sum(d[:, k] == d[:, k - 1]))
    return inside, boundary


@pytest.mark.parametrize("algorithm", ["kd_tree", "ball_tree"])
@pytest.mark.parametrize("k, weights, leaf_size", [
    (1, "uniform", 1), (3, "distance", 2), (5, "uniform", 10), (5, "distance", 40), (8, "uniform", 3),
    (16, "distance", 5), (40, "uniform", 8),
])
def test_ties_come_out_in_the_trees_order(monkeypatch, algorithm, k, weights, leaf_size):
    estimator = KNeighborsRegressor(n_neighbors=k, weights=weights, algorithm=algorithm, leaf_size=leaf_size)
    models = grid_models(estimator, seed=k + leaf_size)
    frame = grid_devices(8, seed=k)
    inside, boundary = tied_rows(models, frame, k)
    assert (k == 1 or inside > 100) and boundary > 100  # the data has what the test is about
    validations = nm.Validations(monkeypatch)
    assert nm.compare(models, frame, GRID_TABLE, exact=True) == []
    assert not validations.stacked()


# ---- differential fuzz ---------------------------------------------------------------------------------

def random_estimator(rng):
    kind = rng.integers(0, 8)
    seed = int(rng.integers(0, 1000))
    if kind == 0:
        return DecisionTreeRegressor(max_depth=int(rng.integers(1, 14)), min_samples_leaf=int(rng.integers(1, 5)),
                                     random_state=seed)
    if kind == 1:
        return ExtraTreeRegressor(max_leaf_nodes=int(rng.integers(2, 60)), random_state=seed)
    if kind == 2:
        return RandomForestRegressor(n_estimators=int(rng.integers(1, 6)), max_depth=int(rng.integers(2, 12)),
                                     random_state=seed)
    if kind == 3:
        return ExtraTreesRegressor(n_estimators=int(rng.integers(1, 5)), random_state=seed)
    if kind == 4:
        return GradientBoostingRegressor(n_estimators=int(rng.integers(1, 30)), max_depth=int(rng.integers(1, 5)),
                                         learning_rate=float(rng.uniform(0.01, 1)), random_state=seed)
    if kind == 5:
        return HistGradientBoostingRegressor(max_iter=int(rng.integers(1, 20)), max_leaf_nodes=int(rng.integers(2, 20)),
                                             random_state=seed)
    return KNeighborsRegressor(n_neighbors=int(rng.integers(1, 12)), weights=["uniform", "distance"][kind - 6],
                               algorithm=["kd_tree", "ball_tree"][int(rng.integers(0, 2))],
                               leaf_size=int(rng.integers(1, 40)))


def random_models(rng, estimator):
    models = {}
    for curve in nm.CURVES:
        width = 9 if curve == "id-vg-sat" else 8
        n = int(rng.integers(20, 300))
        X, y = nm.training_rows(rng, width, n, integers=bool(rng.integers(0, 2)))
        pairs = rng.integers(0, n, size=(n // 8, 2))
        X[pairs[:, 0]] = X[pairs[:, 1]]  # repeated points
        models[curve] = type(estimator)(**estimator.get_params()).fit(X, y)
    return {"PLD": models}


def random_queries(rng):
    frame = nm.devices(int(rng.integers(2, 7)), seed=int(rng.integers(0, 1000)))  # one device: predict's own
    if rng.integers(0, 2):
        frame = frame.round()
    x = np.sort(rng.uniform(-1, 5, size=int(rng.integers(1, 60))))
    if rng.integers(0, 2):
        x = np.round(x * 2) / 2
    return frame, nm.config(x=rng.permutation(x), variants={"v": {"Vb": float(np.round(rng.uniform(-1, 4)))}})


@pytest.mark.parametrize("seed", range(6))
def test_differential_fuzz(seed):
    rng = np.random.default_rng(1000 + seed)
    for _ in range(12):
        estimator = random_estimator(rng)
        models = random_models(rng, estimator)
        frame, table = random_queries(rng)
        assert nm.compare(models, frame, table, exact=True) == [], repr(estimator)


# ---- training rows laid out as curves are ------------------------------------------------------------

LATTICE = np.array([0.0, 0.5, 1.0, 2.0])


def curve_models(estimator, rng, groups, grid, repeats):
    """Fitted on rows as curves lay them out: groups of fixed columns from a small lattice (so
    queries meet groups at equal sums), each group on the x grid or a part of it, some rows
    repeated."""
    models = {}
    for curve in nm.CURVES:
        width = 9 if curve == "id-vg-sat" else 8
        fixed = rng.choice(LATTICE, size=(groups, width - 1))
        X = np.hstack([np.repeat(fixed, len(grid), axis=0), np.tile(grid, groups)[:, None]])
        if len(grid) > 4:  # a third of the curves stop early or start late: near some x, only far ones
            keep = np.ones((groups, len(grid)), dtype=bool)
            cut = rng.integers(1, len(grid), size=groups)
            short = rng.random(groups) < 1 / 3
            keep[short] = np.where(rng.random((short.sum(), 1)) < 0.5, np.arange(len(grid)) < cut[short, None],
                                   np.arange(len(grid)) >= cut[short, None])
            X = X[keep.ravel()]
        X = np.vstack([X, X[rng.integers(0, len(X), size=repeats)]])
        params = estimator.get_params()
        if params["n_neighbors"] is None:
            params["n_neighbors"] = len(X)
        models[curve] = type(estimator)(**params).fit(X, rng.normal(size=len(X)))
    return {"PLD": models}


def lattice_devices(rng, n):
    columns = ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]
    return pd.DataFrame(rng.choice(LATTICE, size=(n, len(columns))), columns=columns, index=[f"L{i}" for i in range(n)])


# Queries on the training grid and beyond both of its ends (the end rows reach much further than the
# middle ones), with exact ties inside the k nearest and at the k-th (equal sums, a symmetric grid,
# repeated rows), and k up to every training row.
@pytest.mark.parametrize("algorithm", ["kd_tree", "ball_tree"])
@pytest.mark.parametrize("k, weights, groups, points, repeats, leaf_size", [
    (1, "uniform", 30, 21, 0, 30), (3, "distance", 20, 21, 40, 5), (5, "uniform", 40, 21, 60, 30),
    (5, "distance", 40, 21, 0, 12), (10, "uniform", 25, 21, 30, 3), (7, "distance", 3, 21, 2, 1),
    (5, "uniform", 300, 3, 0, 8), (9, "distance", 200, 2, 10, 20), (None, "uniform", 2, 4, 3, 4),
    (None, "distance", 2, 4, 0, 30),
])
def test_curve_layout_against_predict(monkeypatch, algorithm, k, weights, groups, points, repeats, leaf_size):
    rng = np.random.default_rng([len(algorithm), k or 0, len(weights), groups, repeats])
    grid = np.linspace(-1.0, 4.0, points)
    estimator = KNeighborsRegressor(n_neighbors=k, weights=weights, algorithm=algorithm, leaf_size=leaf_size)
    models = curve_models(estimator, rng, groups, grid, repeats)
    frame = lattice_devices(rng, 6)
    table = nm.config(x=np.linspace(-2.5, 5.5, 33), variants={"0": {"Vb": 0.0}, "1": {"Vb": 1.0}})
    validations = nm.Validations(monkeypatch)
    assert nm.compare(models, frame, table, exact=True) == []
    assert not validations.stacked()


@pytest.mark.parametrize("seed", range(4))
def test_curve_layout_differential(seed):
    rng = np.random.default_rng(2000 + seed)
    for _ in range(8):
        estimator = KNeighborsRegressor(n_neighbors=int(rng.integers(1, 12)), weights=["uniform", "distance"][seed % 2],
                                        algorithm=["kd_tree", "ball_tree"][int(rng.integers(0, 4)) // 3],
                                        leaf_size=int(rng.integers(1, 40)))
        grid = np.sort(rng.uniform(-1, 4, size=int(rng.integers(3, 30))))
        if rng.integers(0, 2):
            grid = np.round(grid * 4) / 4
        models = curve_models(estimator, rng, int(rng.integers(2, 40)), grid, int(rng.integers(0, 20)))
        frame = lattice_devices(rng, int(rng.integers(2, 6)))
        if rng.integers(0, 2):  # devices off the lattice too
            frame += rng.normal(0, float(rng.choice([1e-9, 0.01, 0.3])), size=frame.shape)
        x = np.concatenate([grid, rng.uniform(-2, 5, size=int(rng.integers(0, 30)))])
        table = nm.config(x=rng.permutation(x), variants={"v": {"Vb": float(rng.choice(LATTICE))}})
        assert nm.compare(models, frame, table, exact=True) == [], repr(estimator)


# A tree whose bounds no longer hold its points (its arrays are writeable) searches differently:
# korva answers as that tree does, the shortcut's argument not holding there.
@pytest.mark.parametrize("algorithm", ["kd_tree", "ball_tree"])
def test_tree_with_shrunk_bounds(algorithm):
    rng = np.random.default_rng(7)
    estimator = KNeighborsRegressor(n_neighbors=5, algorithm=algorithm, leaf_size=4)
    models = curve_models(estimator, rng, 30, np.linspace(-1.0, 4.0, 21), 0)
    for model in models["PLD"].values():
        _, _, node_data, node_bounds = model._tree.get_arrays()
        if algorithm == "kd_tree":
            centre = (node_bounds[0] + node_bounds[1]) / 2
            node_bounds[0] = centre - (centre - node_bounds[0]) * 0.3
            node_bounds[1] = centre + (node_bounds[1] - centre) * 0.3
        else:
            node_data["radius"] *= 0.3
    frame = lattice_devices(rng, 4)
    table = nm.config(x=np.linspace(-1.0, 4.0, 41), variants={"0": {"Vb": 0.0}})
    assert nm.compare(models, frame, table, exact=True) == []
