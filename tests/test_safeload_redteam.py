"""korva.utils.safeload against files that pass for models: objects whose attributes answer the
lookups numpy and scikit-learn make on them (a Bunch or an instance holding __array_interface__, a
method shadowed by its instance, a class where data belongs), names that make predict pick code the
checks never saw (a neighbour metric scipy serves, an initial estimator of another shape), states that
reach the listed classes' own __setstate__ code before any check, parts shared by many owners, long
refusal lists, and the table's objects rebound while a load runs. The ones that crash are read in a
fresh interpreter under an audit hook; mtdump.load_dump (and predict) shows that each is hostile."""
import copy
import copyreg
import functools
import io
import json
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import GradientBoostingRegressor, HistGradientBoostingRegressor, VotingRegressor
from sklearn.ensemble._hist_gradient_boosting.predictor import TreePredictor
from sklearn.linear_model import LinearRegression
from sklearn.neighbors import KDTree, KNeighborsRegressor
from sklearn.neighbors._kd_tree import newObj
from sklearn.pipeline import Pipeline
from sklearn.tree import DecisionTreeRegressor
from sklearn.tree._tree import Tree
from sklearn.utils import Bunch
from sklearn.utils.validation import check_array

import korva.utils.mtdump as D
import korva.utils.safeload as S

from safeload_streams import Stream, container, f8, write
from test_safeload_budgets import _CHILD, HANG_GUARD_S, UNDER_ASAN

HERE = os.path.dirname(os.path.abspath(__file__))
RNG = np.random.default_rng(0)
X = RNG.normal(size=(60, 3))
Y = X[:, 0] + 0.1 * RNG.normal(size=len(X))
NOWHERE = {"data": (0x10, False), "shape": (64,), "typestr": "<f8", "version": 3}  # numpy's view of address 0x10


def dump_with(path, obj, replace):
    """Pickles obj as pickle would, except that objects `replace` answers for (obj -> reduce tuple or
    None) are written as it says: states no fitted estimator has, made of listed objects only."""
    class Pickler(pickle.Pickler):
        def reducer_override(self, value):
            reduced = replace(value)
            return NotImplemented if reduced is None else reduced
    buffer = io.BytesIO()
    Pickler(buffer, protocol=5).dump(obj)
    write(path, buffer.getvalue())
    return path


def with_state(cls, state):
    return copyreg.__newobj__, (cls,), state


# ---------------------------------------------------------------------------------------------
# Files that crash the process, in load_dump itself or in the predict of what it returns.

def knn_scipy_metric(path):
    # the brute-force path hands a metric name scipy serves, with the file's parameters, to scipy's
    # compiled loops, which read VI as n_features x n_features whatever its size
    wide = RNG.normal(size=(20, 3000))
    model = KNeighborsRegressor(3, algorithm="brute", metric="mahalanobis",
                                metric_params={"VI": np.eye(3000)}).fit(wide, wide[:, 0])
    model.effective_metric_params_ = {"VI": np.eye(1)}
    model._fit_X = np.asfortranarray(model._fit_X)  # off sklearn's own (checked) distance code
    D.save_dump(model, path)
    return "metric: a name outside the table's: 'mahalanobis'", (5, 3000)


def gb_initial_estimator(path):
    # predict_stages adds each stage's value in place at row i of the initial predictions: two
    # two-output dummies averaged by a VotingRegressor make those 2 rows long, whatever X is
    model = GradientBoostingRegressor(n_estimators=3, random_state=0).fit(X, Y)
    two_outputs = np.column_stack([Y, Y])
    voting = VotingRegressor([("a", DummyRegressor()), ("b", DummyRegressor())]).fit(X, Y)
    for estimator in voting.estimators_:
        estimator.fit(X, two_outputs)
    model.init_ = voting
    D.save_dump(model, path)
    return 'init_: an initial estimator other than "zero" or a DummyRegressor', (3_000_000, 3)


def bunch_array_interface(path):
    # numpy looks __array_interface__ up on the instance, and a Bunch serves its keys as attributes:
    # the intercept becomes an array at an address of the file's choosing
    model = LinearRegression().fit(X, Y)
    model.intercept_ = Bunch(__array_interface__=dict(NOWHERE, shape=()))
    D.save_dump(model, path)
    return ("a key of a mapping that serves attributes: attribute __array_interface__ (a name looked up on the "
            "instance by protocol)"), (10, 3)


def instance_array_interface(path):
    # the same through an instance's own attributes (any listed class's)
    model = LinearRegression().fit(X, Y)
    holder = DummyRegressor()
    holder.__dict__["__array_interface__"] = dict(NOWHERE, shape=())
    model.intercept_ = holder
    D.save_dump(model, path)
    return "state refused: attribute __array_interface__ (a name looked up on the instance by protocol)", (10, 3)


def kd_tree_sample_weight(path):
    # KDTree.__setstate__ takes np.asarray of its sample weights and sums them: during load_dump
    model = KNeighborsRegressor(3, algorithm="kd_tree").fit(X, Y)
    evil = Bunch(__array_interface__=dict(NOWHERE, shape=(len(X),)))

    def replace(value):
        if type(value) is KDTree:
            state = list(value.__getstate__())
            state[12] = evil
            return newObj, (KDTree,), tuple(state)
    dump_with(path, model, replace)
    return ("a key of a mapping that serves attributes: attribute __array_interface__ (a name looked up on the "
            "instance by protocol)"), None


CRASHING = {"knn scipy metric": knn_scipy_metric, "gb initial estimator": gb_initial_estimator,
            "bunch __array_interface__": bunch_array_interface, "instance __array_interface__": instance_array_interface,
            "kd tree sample weight": kd_tree_sample_weight}

_SAFE_CHILD = r'''
import json, sys
import numpy as np
import korva.utils.safeload as S
path, shape = sys.argv[1], json.loads(sys.argv[2])
# everything the listed names reach is imported first: any import during the load is the file's
for full in S.DEFAULT_TRUSTED:
    module, _, name = full.rpartition(".")
    getattr(__import__("importlib").import_module(module), name)
events, auditing = [], [False]
def audit(event, args):
    if auditing[0] and event in ("import", "exec", "compile", "os.system", "subprocess.Popen", "ctypes.dlopen",
                                 "pickle.find_class", "code.__new__", "function.__new__", "marshal.loads"):
        events.append(event)
sys.addaudithook(audit)
auditing[0] = True
try:
    model = S.load_dump(path)
    outcome = {"refused": None}
except S.MTDUntrustedError as error:
    outcome = {"refused": list(error.refused), "message": str(error)}
auditing[0] = False
if outcome["refused"] is None and shape:
    model.predict(np.random.default_rng(0).normal(size=shape))
outcome["events"] = events
print(json.dumps(outcome))
'''


def _no_fault_report_env():
    # a sanitizer build must let a fault through as a plain signal rather than report it
    return dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:handle_sigbus=0:"
                "handle_abort=0")


@pytest.mark.parametrize("kind", CRASHING)
def test_crashing_file_is_refused(tmp_path, kind):
    path = tmp_path / "crafted.mtd"
    message, shape = CRASHING[kind](path)
    proc = subprocess.run([sys.executable, "-c", _SAFE_CHILD, str(path), json.dumps(shape)], capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc  # not a crash
    outcome = json.loads(proc.stdout.strip().splitlines()[-1])
    assert outcome["events"] == []
    assert outcome["refused"] is not None and message in outcome["message"], outcome


@pytest.mark.parametrize("kind", CRASHING)
def test_crashing_file_crashes_mtdump(tmp_path, kind):
    path = tmp_path / "crafted.mtd"
    _, shape = CRASHING[kind](path)
    code = textwrap.dedent(f"""
        import numpy as np, korva.utils.mtdump as D
        model = D.load_dump({str(path)!r})
        print("loaded", flush=True)
        model.predict(np.random.default_rng(0).normal(size={shape!r}))
        print("predicted", flush=True)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=_no_fault_report_env(),
                          timeout=300)
    assert proc.returncode < 0 and "predicted" not in proc.stdout, proc
    assert ("loaded" in proc.stdout) == (shape is not None)  # None: it crashes while loading


# ---------------------------------------------------------------------------------------------
# Objects that would have code of the file's choosing called, or that answer lookups for another
# object, refused whether or not the class in question crashes today.

def _predictor_with_nodes(nodes):
    model = HistGradientBoostingRegressor(max_iter=2).fit(X, Y)
    return model, lambda value: with_state(TreePredictor, dict(vars(value), nodes=nodes)) \
        if type(value) is TreePredictor else None


def _partial_state(func, args, keywords, attributes):
    return lambda value: (functools.partial, (check_array,), (func, args, keywords, attributes)) \
        if type(value) is functools.partial else None


def _with(obj, **attributes):
    obj = copy.copy(obj)
    obj.__dict__.update(attributes)
    return obj


def _knn(**attributes):
    return _with(KNeighborsRegressor(3, algorithm="brute").fit(X, Y), **attributes)


LINEAR = LinearRegression().fit(X, Y)
HGB_FUNCTION = HistGradientBoostingRegressor(max_iter=2, categorical_features=[2]).fit(
    np.column_stack([X[:, :2], RNG.integers(0, 4, len(X))]), Y)

REFUSED = {
    "a method shadowed by its instance": (lambda: _with(LINEAR, predict=1),
                                          "state refused: attribute predict (shadows what its class defines)"),
    "a protocol name on an instance": (lambda: _with(LINEAR, __sklearn_is_fitted__=True),
                                       "state refused: attribute __sklearn_is_fitted__ (a name looked up on the "
                                       "instance by protocol)"),
    "a class as an attribute": (lambda: _with(LINEAR, _more_tags=np.ndarray), "_more_tags: a class where data belongs"),
    "a class in an object array": (lambda: {"a": np.array([[1, 2], [np.ndarray, 3]], dtype=object)},
                                   "['a'][1, 0]: a class where data belongs"),
    "a function as an attribute": (lambda: _with(LINEAR, helper=check_array), "helper: a function where data belongs"),
    "a Bunch as a pipeline step": (lambda: Pipeline([("scale", Bunch(transform=np.ndarray)), ("model", LINEAR)]),
                                   "steps[0][1]['transform']: a class where data belongs"),
    "a loss object as a method": (lambda: Pipeline([("scale", Bunch(transform=HGB_FUNCTION._loss)), ("model", LINEAR)]),
                                  "steps[0][1]['transform']: a function where data belongs"),
    "the check_array partial outside a transformer": (lambda: {"f": HGB_FUNCTION._preprocessor.transformers_[1][1].func},
                                                      "['f']: a function where data belongs"),
    "a metric parameter scipy would take": (lambda: _knn(effective_metric_params_={"p": 2, "VI": np.eye(1)}),
                                            "effective_metric_params_: a metric parameter outside the table's "
                                            "metrics'"),
    "minkowski weights of another width": (lambda: _knn(effective_metric_="minkowski",
                                                        effective_metric_params_={"p": 3, "w": np.ones(1)}),
                                           "effective_metric_params_.w: weights do not match n_features_in_"),
    "an algorithm name": (lambda: _knn(_fit_method="pyfunc"), "_fit_method: an algorithm outside the table's"),
    "a weights name": (lambda: _knn(weights="callable"), "weights: a name outside the table's: 'callable'"),
    "an ensemble in the middle of its fit": (  # predict would skip validating and converting the rows
        lambda: _with(HistGradientBoostingRegressor(max_iter=2).fit(X, Y), _in_fit=True),
        "_in_fit: an ensemble in the middle of its fit"),
    "a two-output initial estimator": (
        lambda: _with(GradientBoostingRegressor(n_estimators=2).fit(X, Y),
                      init_=DummyRegressor().fit(X, np.column_stack([Y, Y]))),
        "init_: an initial estimator with more than one output"),
}

# Files whose states reach the listed classes' own __setstate__ code: checked before it runs
# (before, a Bunch answered that code's attribute lookups, astype included).
STATES = {
    "a TreePredictor's nodes": (lambda: _predictor_with_nodes(Bunch(dtype=1, astype=1)),
                                "state refused: a TreePredictor's nodes that is not an ndarray"),
    "a version that is not a str": (lambda: (_with(LINEAR), lambda value: with_state(
        LinearRegression, dict(vars(value), _sklearn_version=Bunch())) if type(value) is LinearRegression else None),
        "state refused: a version that is not a str"),
    "a partial with attributes": (lambda: (HGB_FUNCTION, _partial_state(check_array, (), {}, {"x": 1})),
                                  "state refused: a partial state"),
    "a partial of another function": (lambda: (HGB_FUNCTION, _partial_state(np.ndarray, (), {}, None)),
                                      "state refused: a partial state"),
    "a Tree state of other types": (lambda: (DecisionTreeRegressor(max_depth=2).fit(X, Y), lambda value: (
        Tree, value.__reduce__()[1], dict(value.__getstate__(), node_count=Bunch())) if type(value) is Tree else None),
        "state refused: a Tree state"),
}


@pytest.mark.parametrize("kind", REFUSED)
def test_refused(tmp_path, kind):
    make, message = REFUSED[kind]
    D.save_dump(make(), tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert message in str(refused.value), str(refused.value)


@pytest.mark.parametrize("kind", STATES)
def test_states_are_checked_before_their_code_runs(tmp_path, kind):
    make, message = STATES[kind]
    obj, replace = make()
    dump_with(tmp_path / "x.mtd", obj, replace)
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert message in refused.value.refused, refused.value.refused
    assert S.scan_dump(tmp_path / "x.mtd")["trusted"]  # the names are all listed: the states are the load's


def test_what_a_model_legitimately_holds_still_loads(tmp_path):
    # the callables kept where scikit-learn keeps them: the encoder's dtype, the transformer's partial,
    # the ensembles' loss objects; a brute-force minkowski with its weights
    knn = KNeighborsRegressor(3, algorithm="brute", p=3, metric_params={"w": np.ones(3)})
    models = [HGB_FUNCTION, GradientBoostingRegressor(n_estimators=2, init="zero").fit(X, Y), knn.fit(X, Y)]
    D.save_dump(models, tmp_path / "x.mtd")
    loaded = S.load_dump(tmp_path / "x.mtd")
    for model, reference in zip(loaded, D.load_dump(tmp_path / "x.mtd")):
        features = X if model is not loaded[0] else np.column_stack([X[:, :2], RNG.integers(0, 4, len(X))])
        np.testing.assert_array_equal(model.predict(features), reference.predict(features))


# ---------------------------------------------------------------------------------------------
# Budgets: the checks of parts shared by many owners, and the refusal list.

def _shared_stages(copies):
    model = GradientBoostingRegressor(n_estimators=2, max_depth=1, random_state=0).fit(X, Y)
    model.estimators_ = np.array([[model.estimators_[0, 0]]] * 2000, dtype=object)  # one stage, 2,000 times
    return [copy.copy(model) for _ in range(copies)]  # every copy holds the same stages


def _shared_predictors(copies):
    model = HistGradientBoostingRegressor(max_iter=2).fit(X, Y)
    model._predictors = [[model._predictors[0][0]]] * 2000
    return [copy.copy(model) for _ in range(copies)]


@pytest.mark.parametrize("make", [_shared_stages, _shared_predictors], ids=["gb stages", "hgb predictors"])
def test_checks_of_shared_parts_count_against_max_items(tmp_path, make):
    # each owner checks each of its parts: 200 owners of the same 2,000 parts are 400,000 checks
    # from a file of a few thousand values
    D.save_dump(make(200), tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd", max_items=100_000)
    assert refused.value.refused == ("checking the loaded object takes more than max_items=100000 steps",)
    assert len(S.load_dump(tmp_path / "x.mtd", max_items=1_000_000)) == 200


def test_the_refusal_list_is_bounded(tmp_path):
    # each distinct refused name was compared with every one before it: quadratic in the file's length
    stream = Stream(2)
    for i in range(5000):
        stream.raw(b"c" + b"m" * 200 + str(i).encode() + b"\nx\n0")
    write(tmp_path / "x.mtd", stream.raw(b"N.").raw(b""))
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert len(refused.value.refused) == 101 and refused.value.refused[-1] == "more than 100 refusals"
    scan = S.scan_dump(tmp_path / "x.mtd")
    assert not scan["trusted"] and scan["refused_opcodes"] == ["more than 100 refusals"]
    assert len(scan["globals"]) == 101  # the last one met the bound


def _measured(tmp_path, raw, **keywords):
    """load_dump in a fresh interpreter: its outcome, time and peak memory, or a hang past the guard."""
    path = tmp_path / "budget.mtd"
    path.write_bytes(raw)
    try:
        proc = subprocess.run([sys.executable, "-c", _CHILD, str(path), "load_dump", json.dumps(keywords)],
                              capture_output=True, text=True, timeout=2 * HANG_GUARD_S)
    except subprocess.TimeoutExpired:
        pytest.fail("a hang")
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcome = json.loads(proc.stdout.strip().splitlines()[-1])
    assert outcome["seconds"] < HANG_GUARD_S, outcome
    return outcome


def test_dtypes_waiting_for_their_state_cost_no_quadratic_time(tmp_path):
    # every array's dtype was looked for among all the dtypes still waiting for their state: 800,000
    # waiting dtypes and 800,000 arrays took minutes
    stream = Stream(5)
    stream.global_("numpy", "dtype")
    dtype = stream.put()
    stream.raw(b"0").text("f8")
    code = stream.put()
    stream.raw(b"0")
    for _ in range(800_000):
        stream.get(dtype).get(code).raw(b"\x89\x88\x87R0")  # dtype("f8", False, True), never given its state
    f8(stream)
    built = stream.put()
    stream.raw(b"0").global_("numpy._core.numeric", "_frombuffer")
    frombuffer = stream.put()
    stream.raw(b"0C\x08" + bytes(8))
    data = stream.put()
    stream.raw(b"0").value((1,))
    shape = stream.put()
    stream.raw(b"0").text("C")
    order = stream.put()
    stream.raw(b"0")
    for _ in range(800_000):
        stream.get(frombuffer).raw(b"(").get(data).get(built).get(shape).get(order).raw(b"tR0")
    outcome = _measured(tmp_path, container(stream.raw(b"N.")), max_items=20_000_000)
    assert outcome["error"] is None, outcome


def test_the_preprocessor_check_holds_no_list_of_the_width(tmp_path):
    # a 6 KB file: HGB 2**25 features wide (one boolean array, also the transformer's column mask);
    # the check of the columns made a list of 2**25 ints (1.6 GiB) before it compared them
    model = HistGradientBoostingRegressor(max_iter=2, categorical_features=[2]).fit(
        np.column_stack([X[:, :2], RNG.integers(0, 4, len(X))]), Y)
    wide = np.ones(1 << 25, dtype=bool)
    model.n_features_in_ = model._preprocessor.n_features_in_ = len(wide)
    model._bin_mapper.is_categorical_ = wide
    transformers = model._preprocessor.transformers_
    transformers[0] = (transformers[0][0], transformers[0][1], wide)
    D.save_dump(model, tmp_path / "x.mtd")
    assert os.path.getsize(tmp_path / "x.mtd") < 10_000
    for keywords, message in [({}, "checking the loaded object takes more than max_items=10000000 steps"),
                              ({"max_items": 1 << 30}, "_preprocessor.transformers_[0]: column indices that do "
                                                       "not match its columns")]:
        outcome = _measured(tmp_path, (tmp_path / "x.mtd").read_bytes(), **keywords)
        assert outcome["error"] == "MTDUntrustedError" and outcome["message"] == message, outcome
        if not UNDER_ASAN:
            assert outcome["peak_mib"] < 512, outcome


# ---------------------------------------------------------------------------------------------
# The table's objects rebound while a load runs (another thread, a hook): a load builds with and
# checks against the objects the stream first got, and calls no replacement.

def _rebinding_warning_hook(rebind):
    """A load warns when an estimator's version is not this scikit-learn's: the hook rebinds then,
    between the objects made before the warning and the checks after it."""
    def hook(*args, **kwargs):
        rebind()
    return hook


def test_a_class_rebound_during_the_load_does_not_skip_its_checks(tmp_path, monkeypatch):
    tree = DecisionTreeRegressor(max_depth=3).fit(X, Y).tree_
    state = tree.__getstate__()
    state["nodes"] = state["nodes"].copy()
    state["nodes"]["left_child"][0] = 2 ** 44
    tree.__setstate__(state)
    warner = DecisionTreeRegressor()  # unfitted: its state has only parameters and a version
    dump_with(tmp_path / "x.mtd", [tree, warner], lambda value: with_state(
        DecisionTreeRegressor, dict(vars(value), _sklearn_version="0.1")) if value is warner else None)

    class Imitation(Tree):
        pass
    import sklearn.tree._tree as tree_module
    monkeypatch.setattr(tree_module, "Tree", Tree)  # put back after the test
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = _rebinding_warning_hook(lambda: setattr(tree_module, "Tree", Imitation))
        with pytest.raises(S.MTDUntrustedError, match=r"^\[0\]: child index out of range$"):
            S.load_dump(tmp_path / "x.mtd")
    assert tree_module.Tree is Imitation  # the hook did run


def test_a_function_rebound_during_the_load_is_not_called(tmp_path, monkeypatch):
    import numpy._core.numeric as numeric
    calls = []

    def replacement(*args):
        calls.append(args)
        raise AssertionError("a replaced function was called")
    warner = DecisionTreeRegressor()
    # protocol 5 writes arrays through numpy's _frombuffer
    dump_with(tmp_path / "x.mtd", [np.arange(3.0), warner, np.arange(4.0)], lambda value: with_state(
        DecisionTreeRegressor, dict(vars(value), _sklearn_version="0.1")) if value is warner else None)
    monkeypatch.setattr(numeric, "_frombuffer", numeric._frombuffer)  # put back after the test
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = _rebinding_warning_hook(lambda: setattr(numeric, "_frombuffer", replacement))
        loaded = S.load_dump(tmp_path / "x.mtd")
    assert calls == [] and numeric._frombuffer is replacement  # the hook did run
    np.testing.assert_array_equal(loaded[2], np.arange(4.0))


def test_loads_in_threads_at_once(tmp_path):
    # the interpreter, its budget and its checks are the call's own; the hash threads too
    good = tmp_path / "good.mtd"
    D.save_dump(HGB_FUNCTION, good)
    bad = tmp_path / "bad.mtd"
    bunch_array_interface(bad)
    results, errors = [], []

    def run(path):
        try:
            for _ in range(5):
                results.append(type(S.load_dump(path)).__name__)
        except S.MTDUntrustedError as error:
            errors.append(error.refused)
    threads = [threading.Thread(target=run, args=(path,)) for path in (good, bad, good, bad)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == ["HistGradientBoostingRegressor"] * 10 and len(errors) == 2


# ---------------------------------------------------------------------------------------------
# `trusted` never adds what runs code, imports or walks attributes, reached by any name.

@pytest.mark.parametrize("name, argument", [
    ("timeit.timeit", "open({mark!r}, 'w')"),      # compiles and runs its statement
    ("cProfile.run", "open({mark!r}, 'w')"),       # the same, profiled
    ("pkgutil.resolve_name", "os:system"),         # imports and walks attributes
    ("pydoc.locate", "os.system"),
    ("posix.posix_spawnp", "touch"),
    ("copyreg.__newobj__", "x"),                   # cls.__new__ of any class handed to it
])
def test_trusted_refuses_what_runs_code(tmp_path, name, argument):
    mark = str(tmp_path / "ran")
    module, _, attribute = name.rpartition(".")
    write(tmp_path / "x.mtd", Stream(4).call(module, attribute, argument.format(mark=mark)).stop())
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd", trusted=[name])
    assert refused.value.refused[0].startswith(name) and not os.path.exists(mark)


@pytest.mark.parametrize("size", [2 ** 64 - 1, 2 ** 64 - 3, 2 ** 40])
def test_a_frame_past_any_stream_is_refused(tmp_path, size):
    # its end wrapped around the stream's length: the frame was ended as soon as it began
    write(tmp_path / "x.mtd", b"\x80\x04\x95" + size.to_bytes(8, "little") + b"N.")
    for reader in (S.load_dump, S.scan_dump):
        try:
            result = reader(tmp_path / "x.mtd")
        except S.MTDUntrustedError as error:
            result = {"refused_opcodes": list(error.refused)}
        assert "a frame longer than the stream" in result["refused_opcodes"], result


def test_messages_do_not_repr_what_the_file_shares(tmp_path):
    # the refusal of a codec named by a list showed the list's repr: a list of 100 references to a list
    # of 100 references to ... is a few hundred bytes of stream and 100**depth items of repr
    stream = Stream(4).global_("_codecs", "encode").text("x").raw(b"]")
    inner = stream.put()
    stream.raw(b"0")
    for _ in range(3):
        stream.raw(b"](")
        for _ in range(100):
            stream.get(inner)
        stream.raw(b"e")
        inner = stream.put()
        stream.raw(b"0")
    write(tmp_path / "x.mtd", stream.get(inner).raw(b"\x86R.").raw(b""))
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert refused.value.refused == ("_codecs.encode(..., <list>)",)
    # a long name is shown cut short
    write(tmp_path / "x.mtd", Stream(4).call("_codecs", "encode", "x", "y" * 100_000).stop())
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert refused.value.refused == ("_codecs.encode(..., '" + "y" * 64 + "'...)",)


def test_a_dtype_listing_more_fields_than_data_is_refused(tmp_path):
    # records of 60 overlapping fields that all share the record below: one byte wide, 60**3 fields
    # written out by numpy's str, which the Tree's own state check put in its error message
    nested = np.dtype("u1")
    for _ in range(3):
        nested = np.dtype({"names": [f"f{i}" for i in range(60)], "formats": [nested] * 60, "offsets": [0] * 60,
                           "itemsize": 1})
    state = {"max_depth": 0, "node_count": 0, "nodes": np.zeros(0, nested), "values": np.zeros((0, 1, 1))}
    tree = DecisionTreeRegressor(max_depth=1).fit(X, Y).tree_
    dump_with(tmp_path / "x.mtd", tree, lambda value: (Tree, value.__reduce__()[1], state) if value is tree else None)
    assert os.path.getsize(tmp_path / "x.mtd") < 10_000
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert refused.value.refused == ("inconsistent dtype refused: more than 65536 fields, nested ones counted where "
                                     "they appear",)
