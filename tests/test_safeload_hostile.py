"""korva.utils.safeload against hostile dumps, built here at run time: streams that would run code
are refused before anything is imported or called (a canary module on sys.path and a marker file
show it), and crafted structures that make mtdump.load_dump + predict crash the interpreter are
refused with the object's path."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestRegressor, VotingRegressor
from sklearn.linear_model import LinearRegression
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor

import korva.utils.mtdump as D
import korva.utils.safeload as S

from conftest import run_json

# ---------------------------------------------------------------------------------------------
# The hostile corpus. Every stream's effect, when it gets to run, is to create WORK/ran (through a
# shell command, Python code, or the canary module that creates it when imported or called).

_CANARY = '''
import os
_MARK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ran")
open(_MARK, "w").close()
def boom(*args):
    open(_MARK, "w").close()
class Boom:
    def __new__(cls, *args):
        open(_MARK, "w").close()
        return object.__new__(cls)
'''

_CORPUS = r'''
import copyreg, json, os, pickle, struct, sys
import dill, numpy, sklearn.neighbors, korva.utils.mtdump as D, korva.utils.safeload as S

WORK = sys.argv[1]
sys.path.insert(0, WORK)
MARK = os.path.join(WORK, "ran")
CMD = f"touch {MARK}".encode()

def text(s):
    s = s.encode() if isinstance(s, str) else s
    return b"\x8c" + bytes([len(s)]) + s

def stack_global(module, name):
    return text(module) + text(name) + b"\x93"

class Reduce:
    def __init__(self, *value):
        self.value = value
    def __reduce__(self):
        return self.value

nested = pickle.dumps(Reduce(os.system, (CMD.decode(),)))
with open(os.path.join(WORK, "evil.pkl"), "wb") as fh:
    fh.write(nested)
copyreg.add_extension("canary_mod", "boom", 240)
copyreg.add_extension("canary_mod", "boom2", 300)
copyreg.add_extension("canary_mod", "boom4", 70000)

# name -> (serializer, stream, effective: mtdump.load_dump would create the marker)
P0 = b"V" + CMD + b"\n"
CASES = {
    "os.system GLOBAL": ("pickle", b"cposix\nsystem\n(" + P0 + b"tR.", True),
    "os.system STACK_GLOBAL": ("pickle", b"\x80\x04" + stack_global("posix", "system") + text(CMD) + b"\x85R.", True),
    "os.system REDUCE": ("pickle", pickle.dumps(Reduce(os.system, (CMD.decode(),)), protocol=2), True),
    "memo overwrite": ("pickle", b"\x80\x04" + text("numpy") + b"\x94" + text("system") + b"\x94" + text("posix")
                       + b"q\x00h\x00h\x01\x93" + text(CMD) + b"\x85R.", True),
    "builtins.eval": ("pickle", pickle.dumps(Reduce(eval, (f"open({str(MARK)!r}, 'w')",)), protocol=4), True),
    "builtins.exec": ("pickle", pickle.dumps(Reduce(exec, (f"open({str(MARK)!r}, 'w')",)), protocol=5), True),
    "builtins.getattr": ("pickle", b"cbuiltins\ngetattr\n(cbuiltins\n__import__\n(Vos\ntRVsystem\ntR(" + P0 + b"tR.", True),
    "builtins.__import__": ("pickle", b"cbuiltins\n__import__\n(Vcanary_mod\ntR.", True),
    "__builtin__ rename": ("pickle", b"\x80\x02c__builtin__\neval\n(V" + f"open({str(MARK)!r}, 'w')".encode() + b"\ntR.", True),
    "subprocess": ("pickle", pickle.dumps(Reduce(__import__("subprocess").call, (["touch", MARK],))), True),
    "importlib": ("pickle", b"cimportlib\nimport_module\n(Vcanary_mod\ntR.", True),
    "runpy": ("pickle", b"crunpy\nrun_module\n(Vcanary_mod\ntR.", True),
    "pickle.loads": ("pickle", b"\x80\x04" + stack_global("pickle", "loads") + b"B" + struct.pack("<I", len(nested))
                     + nested + b"\x85R.", True),
    "functools.partial": ("pickle", b"cfunctools\npartial\n(cposix\nsystem\n" + P0 + b"tR)R.", True),
    "operator.attrgetter": ("pickle", b"coperator\nattrgetter\n(Vsystem\ntR(cbuiltins\n__import__\n(Vos\ntRtR(" + P0
                            + b"tR.", True),
    "operator.methodcaller": ("pickle", b"coperator\nmethodcaller\n(Vsystem\n" + P0 + b"tR(cbuiltins\n__import__\n(Vos\ntRtR.",
                              True),
    "numpy.load": ("pickle", pickle.dumps(Reduce(numpy.load, (os.path.join(WORK, "evil.pkl"), None, True))), True),
    "numpy.testing": ("pickle", b"cnumpy.testing\nassert_\n(I00\nVx\ntR.", False),
    "numpy.f2py": ("pickle", b"cnumpy.f2py\nrun_main\n(]tR.", False),
    "dill lambda": ("dill", dill.dumps(Reduce(lambda: os.system(CMD.decode()), ())), True),
    "dill type table": ("dill", b"cdill._dill\n_load_type\n(VFunctionType\ntR.", False),
    "copyreg._reconstructor": ("pickle", b"ccopyreg\n_reconstructor\n(ccanary_mod\nBoom\ncbuiltins\nobject\nNtR.", True),
    "newObj": ("pickle", b"csklearn.neighbors._kd_tree\nnewObj\n(ccanary_mod\nBoom\ntR.", True),
    "bit generator ctor": ("pickle", b"cnumpy.random._pickle\n__bit_generator_ctor\n(ccanary_mod\nBoom\ntR.", True),
    "_create_array": ("pickle", b"cdill._dill\n_create_array\n(cposix\nsystem\n(" + P0 + b"tNNtR.", True),
    "EXT1": ("pickle", b"\x80\x02\x82\xf0)R.", True),
    "EXT2": ("pickle", b"\x80\x02\x83" + struct.pack("<H", 300) + b")R.", True),
    "EXT4": ("pickle", b"\x80\x02\x84" + struct.pack("<i", 70000) + b")R.", True),
    "INST": ("pickle", b"(icanary_mod\nBoom\n.", True),
    "OBJ": ("pickle", b"(ccanary_mod\nBoom\no.", True),
    "PERSID": ("pickle", b"Pcanary\n.", False),
    "BINPERSID": ("pickle", b"\x80\x02" + text("canary") + b"Q.", False),
    "NEXT_BUFFER": ("pickle", b"\x80\x05\x97.", False),
    "READONLY_BUFFER": ("pickle", b"\x80\x05\x97\x98.", False),
    "computed STACK_GLOBAL": ("pickle", b"\x80\x04" + text("posix") + b"C\x06system\x93" + text(CMD) + b"\x85R.", False),
    "truncated": ("pickle", b"\x80\x05\x96" + struct.pack("<Q", 1 << 40) + b"\0" * 16, False),
}

PATHS = {}
for i, (name, (serializer, stream, _)) in enumerate(CASES.items()):
    D._serialize_obj = lambda obj, serializer, protocol: stream
    PATHS[name] = os.path.join(WORK, f"case{i}.mtd")
    D.save_dump(None, PATHS[name], serializer=serializer)

before = set(sys.modules)
results = {}
for name, path in PATHS.items():
    scan = S.scan_dump(path)
    try:
        S.load_dump(path)
        refused, error = None, None
    except S.MTDUntrustedError as e:
        refused, error = list(e.refused), str(e)
    results[name] = {"refused": refused, "message": error, "scan_trusted": scan["trusted"],
                     "scan_refused": [g["name"] for g in scan["globals"] if not g["trusted"]] + scan["refused_opcodes"]}
imported = sorted(set(sys.modules) - before)
ran = os.path.exists(MARK)

# The same streams through mtdump.load_dump: each effective one does create the marker.
effects = {}
for name, (_, _, effective) in CASES.items():
    if not effective:
        continue
    path = PATHS[name]
    sys.modules.pop("canary_mod", None)
    if os.path.exists(MARK):
        os.remove(MARK)
    try:
        D.load_dump(path)
    except Exception:
        pass
    effects[name] = os.path.exists(MARK)
print(json.dumps({"results": results, "imported": imported, "ran": ran, "effects": effects}))
'''

# name -> what the refusal must list (globals as "module.qualname", after the renames, and opcodes)
EXPECTED = {
    "os.system GLOBAL": ["posix.system"],
    "os.system STACK_GLOBAL": ["posix.system"],
    "os.system REDUCE": ["posix.system"],
    "memo overwrite": ["posix.system"],
    "builtins.eval": ["builtins.eval"],
    "builtins.exec": ["builtins.exec"],
    "builtins.getattr": ["builtins.getattr", "builtins.__import__"],
    "builtins.__import__": ["builtins.__import__"],
    "__builtin__ rename": ["builtins.eval"],
    "subprocess": ["subprocess.call"],
    "importlib": ["importlib.import_module"],
    "runpy": ["runpy.run_module"],
    "pickle.loads": ["pickle.loads"],
    "functools.partial": ["functools.partial", "posix.system"],
    "operator.attrgetter": ["operator.attrgetter", "builtins.__import__"],
    "operator.methodcaller": ["operator.methodcaller", "builtins.__import__"],
    "numpy.load": ["numpy.load"],
    "numpy.testing": ["numpy.testing.assert_"],
    "numpy.f2py": ["numpy.f2py.run_main"],
    "dill lambda": ["dill._dill._create_function", "dill._dill._create_code"],
    "copyreg._reconstructor": ["copyreg._reconstructor", "canary_mod.Boom"],
    "newObj": ["canary_mod.Boom"],
    "bit generator ctor": ["canary_mod.Boom"],
    "_create_array": ["posix.system"],
    "EXT1": ["EXT1"],
    "EXT2": ["EXT2"],
    "EXT4": ["EXT4"],
    "INST": ["canary_mod.Boom", "INST"],
    "OBJ": ["canary_mod.Boom", "OBJ"],
    "PERSID": ["PERSID"],
    "BINPERSID": ["BINPERSID"],
    "NEXT_BUFFER": ["NEXT_BUFFER"],
    "READONLY_BUFFER": ["NEXT_BUFFER", "READONLY_BUFFER"],
    "computed STACK_GLOBAL": ["STACK_GLOBAL without string constants"],
    "truncated": ["truncated stream"],
}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    work = tmp_path_factory.mktemp("hostile")
    (work / "canary_mod.py").write_text(_CANARY)
    proc = subprocess.run([sys.executable, "-c", _CORPUS, str(work)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    import json
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_nothing_ran_and_nothing_was_imported(corpus):
    assert corpus["ran"] is False
    assert corpus["imported"] == []
    assert set(corpus["results"]) == set(EXPECTED) | {"dill type table"}


@pytest.mark.parametrize("name", EXPECTED)
def test_refused_before_loading(corpus, name):
    result = corpus["results"][name]
    for item in EXPECTED[name]:
        assert item in result["refused"], result
        assert item in result["message"]
    assert set(result["refused"]) <= set(result["scan_refused"]) and result["scan_trusted"] is False


def test_the_corpus_is_hostile(corpus):
    # without safeload, each effective stream does run: the refusals above are not vacuous
    assert corpus["effects"] and all(corpus["effects"].values()), corpus["effects"]


def test_dill_type_table_serves_plain_data_types_only(corpus):
    # dill._dill._load_type is listed, for bytes and complex: korva's own lookup refuses the rest at load
    result = corpus["results"]["dill type table"]
    assert result["scan_trusted"] is True
    assert result["refused"] == ["dill._dill._load_type('FunctionType')"]


@pytest.mark.parametrize("name", ["__main__.evil", "dill._dill._create_function", "dill._dill._create_code"])
def test_trusted_cannot_admit_code(tmp_path, monkeypatch, name):
    module, _, qualname = name.rpartition(".")
    monkeypatch.setattr(D, "_serialize_obj", lambda obj, serializer, protocol: f"c{module}\n{qualname}\n)R.".encode())
    D.save_dump(None, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd", trusted=[name])
    assert refused.value.refused == (name,)


def test_trusted_adds_exact_names(tmp_path):
    import collections
    D.save_dump(collections.Counter("aab"), tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match="collections.Counter"):
        S.load_dump(tmp_path / "x.mtd")
    for wrong in (["collections"], ["collections.Count"], ["collections.Counter.x"]):
        with pytest.raises(S.MTDUntrustedError):
            S.load_dump(tmp_path / "x.mtd", trusted=wrong)
    assert S.load_dump(tmp_path / "x.mtd", trusted=("collections.Counter",)) == collections.Counter("aab")
    with pytest.raises(TypeError):
        S.load_dump(tmp_path / "x.mtd", trusted=[b"collections.Counter"])


def test_default_trusted_is_exact():
    assert isinstance(S.DEFAULT_TRUSTED, frozenset)
    import importlib
    for name in S.DEFAULT_TRUSTED:
        module, _, qualname = name.rpartition(".")
        # every entry names an existing object of its module; none is a module or a prefix
        obj = getattr(importlib.import_module(module), qualname)
        assert callable(obj) and not name.endswith(".")
    assert not {n for n in S.DEFAULT_TRUSTED if n.startswith(("builtins.eval", "builtins.exec", "builtins.getattr",
                                                             "posix.", "os.", "copyreg.", "__main__."))}


# ---------------------------------------------------------------------------------------------
# Crafted structures: indices compiled code follows without a bounds check.

RNG = np.random.default_rng(0)
X = RNG.normal(size=(120, 3))
Y = X[:, 0] + 0.1 * RNG.normal(size=len(X))
FAR = 2 ** 44  # past the address space, whatever the base: a read there faults at once


def _tree_nodes(tree, edit):
    state = tree.__getstate__()
    nodes = state["nodes"].copy()
    edit(nodes)
    state["nodes"] = nodes
    tree.__setstate__(state)


def _two_parents(nodes):
    # node 1's right child becomes the left child of the root's right child (which keeps it too)
    k = nodes["right_child"][0]
    nodes["right_child"][1] = nodes["left_child"][k]


def crafted(kind):
    if kind == "tree child":
        model = VotingRegressor([("lr", LinearRegression()), ("rf", RandomForestRegressor(4, max_depth=4, random_state=0))])
        model.fit(X, Y)
        _tree_nodes(model.estimators_[1].estimators_[2].tree_, lambda n: n["left_child"].__setitem__(0, FAR))
        return model, "estimators_[1].estimators_[2].tree_: child index out of range"
    if kind == "tree two parents":
        model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
        _tree_nodes(model.tree_, _two_parents)
        return model, "tree_: node with two parents"
    if kind == "tree feature":
        model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
        _tree_nodes(model.tree_, lambda n: n["feature"].__setitem__(0, FAR))
        return model, "tree_: feature index out of range"
    if kind == "hgb feature":
        model = HistGradientBoostingRegressor(max_iter=3).fit(X, Y)
        model._predictors[1][0].nodes["feature_idx"][0] = FAR
        return model, "_predictors[1][0]: feature index out of range"
    if kind == "kd index":
        model = KNeighborsRegressor(3, algorithm="kd_tree").fit(X, Y)
        model._tree.get_arrays()[1][5] = FAR
        return model, "_tree.idx_array: index out of range"
    raise ValueError(kind)


CRASHING = ["tree child", "tree feature", "hgb feature", "kd index"]


@pytest.mark.parametrize("kind", CRASHING + ["tree two parents"])
def test_crafted_structure_is_refused(tmp_path, kind):
    model, message = crafted(kind)
    D.save_dump(model, tmp_path / "crafted.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "crafted.mtd")
    assert str(refused.value) == message and refused.value.refused == (message,)
    assert S.scan_dump(tmp_path / "crafted.mtd")["trusted"]  # the globals are all fine: only the numbers are not


@pytest.mark.parametrize("kind", CRASHING)
def test_crafted_structure_crashes_mtdump(tmp_path, kind):
    model, _ = crafted(kind)
    D.save_dump(model, tmp_path / "crafted.mtd")
    code = textwrap.dedent(f"""
        import numpy as np, korva.utils.mtdump as D
        model = D.load_dump({str(tmp_path / 'crafted.mtd')!r})
        print("loaded", flush=True)
        model.predict(np.random.default_rng(0).normal(size=(50, 3)))
        print("predicted", flush=True)
    """)
    # a sanitizer build must let the fault through as a plain signal rather than report it
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:handle_sigbus=0")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "loaded" in proc.stdout and "predicted" not in proc.stdout and proc.returncode < 0, proc


def test_two_parents_mislead_mtdump(tmp_path):
    # no crash, but silently wrong numbers: the reason the check is there
    model, _ = crafted("tree two parents")
    D.save_dump(model, tmp_path / "crafted.mtd")
    honest = DecisionTreeRegressor(max_depth=4).fit(X, Y)
    assert not np.array_equal(D.load_dump(tmp_path / "crafted.mtd").predict(X), honest.predict(X))


class _Reduce:
    def __init__(self, *value):
        self.value = value

    def __reduce__(self):
        return self.value


@pytest.mark.parametrize("fields, what", [({"a": (np.dtype("f8"), 4)}, "field outside the item"),
                                          ({"b": (np.dtype("f8"), 0)}, "field names")])
@pytest.mark.parametrize("protocol", [2, 5])
@pytest.mark.parametrize("route", ["constructor", "array state"])
def test_inconsistent_dtype_state_is_refused(tmp_path, monkeypatch, fields, what, protocol, route):
    # numpy applies a dtype's pickled fields as they come: the array constructors get checked dtypes,
    # and a dtype inside an array's state is checked by the replay that builds only dtypes
    dtype = _Reduce(np.dtype, ("V8", False, True), (3, "|", None, ("a",), fields, 8, 1, 16))
    if route == "constructor":
        array = _Reduce(np._core.numeric._frombuffer, (bytearray(8), dtype, (1,), "C"))
    else:
        array = _Reduce(np._core.multiarray._reconstruct, (np.ndarray, (0,), b"b"), (1, (1,), dtype, False, bytes(8)))
    stream = __import__("pickle").dumps(array, protocol=protocol)
    monkeypatch.setattr(D, "_serialize_obj", lambda obj, serializer, protocol: stream)
    D.save_dump(None, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match=f"^inconsistent dtype refused: {what}$"):
        S.load_dump(tmp_path / "x.mtd")


def test_validation_reads_the_owner_width(tmp_path):
    # a tree consistent in itself, inside an estimator that claims fewer input features
    model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
    model.n_features_in_ = 2
    D.save_dump(model, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match="^tree_: n_features does not match n_features_in_$"):
        S.load_dump(tmp_path / "x.mtd")


def test_deep_nesting_is_refused(tmp_path, monkeypatch):
    # 100,000 nested lists unpickle fine; the walk over them stops at a depth no model reaches
    stream = b"\x80\x04" + b"]" * 100_000 + b"a" * 99_999 + b"."
    monkeypatch.setattr(D, "_serialize_obj", lambda obj, serializer, protocol: stream)
    D.save_dump(None, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match=r"^(\[0\]){201}: nested too deeply$"):
        S.load_dump(tmp_path / "x.mtd")


def _reserving_streams():
    import pickle
    tree = _Reduce(__import__("sklearn.tree._tree", fromlist=["Tree"]).Tree, (3, np.array([1]), 1 << 30))
    empty = _Reduce(np._core.multiarray._reconstruct, (np.ndarray, (1 << 40,), b"b"))
    return {"memo": (b"\x80\x04N" + b"r" + (1 << 30).to_bytes(4, "little") + b".", "memo index out of order"),
            "tree": (pickle.dumps(tree, protocol=4), "constructor arguments refused: Tree sizes"),
            "array": (pickle.dumps(empty, protocol=2), "constructor arguments refused: _reconstruct of a non-empty shape")}


@pytest.mark.parametrize("name", ["memo", "tree", "array"])
def test_streams_that_reserve_memory_are_refused(tmp_path, monkeypatch, name):
    # each asks the unpickler or a listed constructor for gigabytes before any data arrives
    stream, message = _reserving_streams()[name]
    monkeypatch.setattr(D, "_serialize_obj", lambda obj, serializer, protocol: stream)
    D.save_dump(None, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert message in refused.value.refused
