"""korva.utils.safeload against hostile dumps, built here at run time. Streams that would run code,
import a module, disagree between a scan and a load, or reserve memory are refused, and while they
are read in a fresh interpreter an audit hook sees no import, no exec/compile/process event and no
use of the interpreter's own unpickler; a canary module on sys.path and a marker file show that
mtdump.load_dump does run the effective ones. Crafted structures that make mtdump.load_dump +
predict crash the interpreter are refused with the object's path."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from sklearn.ensemble import (GradientBoostingRegressor, HistGradientBoostingRegressor, RandomForestRegressor,
                              VotingRegressor)
from sklearn.linear_model import LinearRegression
from sklearn.neighbors import KNeighborsRegressor
from sklearn.tree import DecisionTreeRegressor
from sklearn.tree._tree import Tree

import korva.utils.mtdump as D
import korva.utils.safeload as S

from safeload_streams import Stream, f8, write

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------------------------------------
# The hostile corpus. Every effective stream, when it gets to run, creates WORK/ran (through a shell
# command, Python code, or the canary module that creates it when imported or called).

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
sys.path.insert(0, sys.argv[2])
import dill, numpy, korva.utils.mtdump as D, korva.utils.safeload as S
from safeload_streams import Stream, f8, F8_STATE, write
import pathlib

WORK = sys.argv[1]
sys.path.insert(0, WORK)
MARK = os.path.join(WORK, "ran")
CMD = f"touch {MARK}"

class Reduce:
    def __init__(self, *value):
        self.value = value
    def __reduce__(self):
        return self.value

nested = pickle.dumps(Reduce(os.system, (CMD,)))
with open(os.path.join(WORK, "evil.pkl"), "wb") as fh:
    fh.write(nested)
copyreg.add_extension("canary_mod", "boom", 240)
copyreg.add_extension("canary_mod", "boom2", 300)
copyreg.add_extension("canary_mod", "boom4", 70000)

def s(protocol=2):
    return Stream(protocol)

def record(offset):
    return (3, "|", None, ("a",), lambda st: (st.raw(b"}").text("a"), st.raw(b"("), f8(st), st.int(offset), st.raw(b"ts")), 8, 1, 16)

def frombuffer(dtype_at):
    return lambda st: st.global_("numpy._core.numeric", "_frombuffer").raw(b"(").bytes_(b"\0" * 8).get(dtype_at) \
        .value((1,)).value("C").raw(b"tR")

def pending_dtype():
    st = s(5)
    st.call("numpy", "dtype", "V8", False, True)
    at = st.put()
    frombuffer(at)(st)
    return st.raw(b"0").get(at).build(record(0)).raw(b"0").stop()

def rebuilt_dtype():
    st = s(5)
    st.call("numpy", "dtype", "V8", False, True)
    at = st.put()
    st.build(record(0))
    frombuffer(at)(st)
    return st.raw(b"0").get(at).build(record(4)).raw(b"0").stop()

def dill_array_of(dtype_state):
    st = s(2)
    st.global_("dill._dill", "_create_array").raw(b"(").global_("numpy._core.multiarray", "_reconstruct")
    st.value(lambda x: x.global_("numpy", "ndarray").value((0,)).value(b"b").raw(b"\x87"))
    st.value(lambda x: (x.raw(b"(").value(1).value((1,)), x.dtype("V8", dtype_state), x.value(False).value(b"\0" * 8),
                        x.raw(b"t")))
    return st.value(None).raw(b"tR").stop()

def frame_cut():
    return s(4).raw(b"\x95" + (3).to_bytes(8, "little")).text("ab").raw(b"0").value(None).stop()

def colliding_keys(n):
    st = s(5).raw(b"}(")
    for k in range(1, n):
        st.int(k * (2**61 - 1) + 1).value(None)
    return st.raw(b"u").stop()

def protocol0_memo():
    # protocol 0's memo keys spelled as int() reads them: "+1" names the entry "1" does
    return s(4).text("builtins").raw(b"p1\n0").text("posix").raw(b"p+1\n0g1\n").text("system").raw(b"\x93") \
        .text(CMD).raw(b"\x85R.")

# name -> (serializer, stream, keywords for load_dump, effective: mtdump.load_dump creates the marker)
CASES = {
    "protocol 0": ("pickle", b"cposix\nsystem\n(V" + CMD.encode() + b"\ntR.", {}, True),
    "os.system GLOBAL": ("pickle", s().call("posix", "system", CMD).stop(), {}, True),
    "os.system STACK_GLOBAL": ("pickle", s(4).global_("posix", "system").text(CMD).raw(b"\x85R.").stop(), {}, True),
    "os.system REDUCE": ("pickle", pickle.dumps(Reduce(os.system, (CMD,)), protocol=2), {}, True),
    "memo overwrite": ("pickle", s(4).text("numpy").raw(b"\x94").text("system").raw(b"\x94").text("posix")
                       .raw(b"q\x00h\x00h\x01\x93").text(CMD).raw(b"\x85R."), {}, True),
    "protocol-0 memo keys": ("pickle", protocol0_memo(), {}, True),
    "frame cut inside an argument": ("pickle", frame_cut(), {}, False),
    "builtins.eval": ("pickle", pickle.dumps(Reduce(eval, (f"open({MARK!r}, 'w')",)), protocol=4), {}, True),
    "builtins.exec": ("pickle", pickle.dumps(Reduce(exec, (f"open({MARK!r}, 'w')",)), protocol=5), {}, True),
    "builtins.getattr": ("pickle", s().global_("builtins", "getattr").raw(b"(").value(
        lambda st: st.call("builtins", "__import__", "os")).value("system").raw(b"tR(").value(CMD).raw(b"tR.").raw(b""),
        {}, True),
    "__builtin__ rename": ("pickle", s().call("__builtin__", "eval", f"open({MARK!r}, 'w')").stop(), {}, True),
    "subprocess": ("pickle", pickle.dumps(Reduce(__import__("subprocess").call, (["touch", MARK],)), protocol=2), {}, True),
    "importlib": ("pickle", s().call("importlib", "import_module", "canary_mod").stop(), {}, True),
    "runpy": ("pickle", s().call("runpy", "run_module", "canary_mod").stop(), {}, True),
    "pickle.loads": ("pickle", s(4).call("pickle", "loads", nested).stop(), {}, True),
    "functools.partial": ("pickle", s().global_("functools", "partial").raw(b"(").global_("posix", "system")
                          .value(CMD).raw(b"tR)R.").raw(b""), {}, True),
    "operator.attrgetter": ("pickle", s().global_("operator", "attrgetter").value(("system",)).raw(b"R(").value(
        lambda st: st.call("builtins", "__import__", "os")).raw(b"tR(").value(CMD).raw(b"tR.").raw(b""), {}, True),
    "numpy.load": ("pickle", pickle.dumps(Reduce(numpy.load, (os.path.join(WORK, "evil.pkl"), None, True)),
                                          protocol=2), {}, True),
    "numpy.testing": ("pickle", s().call("numpy.testing", "assert_", False, "x").stop(), {}, False),
    "dill lambda": ("dill", dill.dumps(Reduce(lambda: os.system(CMD), ()), protocol=2), {}, True),
    "dill type table by a dotted name": ("dill", s().global_("dill", "_dill._load_type").value(("CodeType",))
                                         .raw(b"R").stop(), {}, False),
    "dill type table": ("dill", s().global_("dill._dill", "_load_type").value(("FunctionType",)).raw(b"R").stop(),
                        {}, False),
    "copyreg._reconstructor": ("pickle", s().global_("copyreg", "_reconstructor").raw(b"(").global_(
        "canary_mod", "Boom").global_("builtins", "object").value(None).raw(b"tR.").raw(b""), {}, True),
    "newObj": ("pickle", s().global_("sklearn.neighbors._kd_tree", "newObj").raw(b"(").global_("canary_mod", "Boom")
               .raw(b"tR.").raw(b""), {}, True),
    "bit generator ctor": ("pickle", s().global_("numpy.random._pickle", "__bit_generator_ctor").raw(b"(")
                           .global_("canary_mod", "Boom").raw(b"tR.").raw(b""), {}, True),
    "_create_array": ("pickle", s().global_("dill._dill", "_create_array").raw(b"(").global_("posix", "system")
                      .value((CMD,)).value(None).value(None).raw(b"tR.").raw(b""), {}, True),
    "EXT1": ("pickle", b"\x80\x02\x82\xf0)R.", {}, True),
    "EXT2": ("pickle", b"\x80\x02\x83" + struct.pack("<H", 300) + b")R.", {}, True),
    "EXT4": ("pickle", b"\x80\x02\x84" + struct.pack("<i", 70000) + b")R.", {}, True),
    "INST": ("pickle", b"\x80\x02(icanary_mod\nBoom\n.", {}, True),
    "OBJ": ("pickle", b"\x80\x02(ccanary_mod\nBoom\no.", {}, True),
    "PERSID": ("pickle", b"\x80\x02Pcanary\n.", {}, False),
    "BINPERSID": ("pickle", s(4).text("canary").raw(b"Q.").raw(b""), {}, False),
    "NEXT_BUFFER": ("pickle", b"\x80\x05\x97.", {}, False),
    "READONLY_BUFFER": ("pickle", b"\x80\x05\x97\x98.", {}, False),
    "computed STACK_GLOBAL": ("pickle", s(4).text("posix").raw(b"C\x06system\x93").text(CMD).raw(b"\x85R."), {}, False),
    "truncated": ("pickle", b"\x80\x05\x96" + struct.pack("<Q", 1000) + b"\0" * 16, {}, False),
    "numpy.ndarray called": ("pickle", s(5).call("numpy", "ndarray", (2**28,), "O").stop(), {}, False),
    "numpy.ndarray by NEWOBJ": ("pickle", s(5).global_("numpy", "ndarray").value(((2**28,), "O")).raw(b"\x81").stop(),
                                {}, False),
    "_reconstruct dotted": ("pickle", s(4).global_("numpy", "_core.multiarray._reconstruct").raw(b")R").stop(), {}, False),
    "scalar dotted": ("pickle", s(4).global_("numpy._core", "multiarray.scalar").raw(b")R").stop(), {}, False),
    "_frombuffer dotted": ("pickle", s(4).global_("numpy._core", "numeric._frombuffer").raw(b")R").stop(), {}, False),
    "Tree dotted": ("pickle", s(4).global_("sklearn.tree", "_tree.Tree").raw(b")R").stop(), {}, False),
    "dtype BUILT again after an array took it": ("pickle", rebuilt_dtype(), {}, False),
    "dtype taken before its BUILD": ("pickle", pending_dtype(), {}, False),
    "dtype of dill's array helper": ("dill", dill_array_of(record(4)), {}, False),
    "memo index far ahead": ("pickle", b"\x80\x02N" + b"r" + (2**27).to_bytes(4, "little") + b".", {}, False),
    "bytes with a codec": ("pickle", s(5).call("builtins", "bytes", "x", "idna").stop(), {}, False),
    "bytearray with a codec": ("pickle", s(5).call("builtins", "bytearray", "x", "bz2_codec").stop(), {}, False),
    "_codecs.encode with a codec": ("pickle", s().call("_codecs", "encode", "x", "rot13").stop(), {}, False),
    "bytearray of a size": ("pickle", s(5).call("builtins", "bytearray", 2**31).stop(), {}, False),
    "set of a range": ("pickle", s(5).global_("builtins", "set").raw(b"(").value(
        lambda st: st.call("builtins", "range", 2**25)).raw(b"tR").stop(), {}, False),
    "colliding dict keys": ("pickle", colliding_keys(20000), {}, False),
    "a deeply nested tuple as a key": ("pickle", s(4).raw(b"})" + b"\x85" * 1_000_000 + b"Ns."), {}, False),
    "trusted by a split spelling": ("dill", s().global_("dill", "_dill._create_code").raw(b")R").stop(),
                                    {"trusted": ["dill._dill._create_code"]}, False),
    "trusted code constructor": ("dill", s().global_("dill._dill", "_create_function").raw(b")R").stop(),
                                 {"trusted": ["dill._dill._create_function"]}, False),
    "trusted __main__ name": ("pickle", s().global_("__main__", "evil").raw(b")R").stop(), {"trusted": ["__main__.evil"]},
                              False),
}

PATHS = {}
for i, (name, (serializer, stream, _, _)) in enumerate(CASES.items()):
    PATHS[name] = write(pathlib.Path(WORK) / f"case{i}.mtd", stream, serializer=serializer)

# Everything a listed name can reach is imported before the audit: any import from here on is the file's.
for full in S.DEFAULT_TRUSTED:
    module, _, name = full.rpartition(".")
    getattr(__import__("importlib").import_module(module), name)
from sklearn.tree import DecisionTreeRegressor
repr(DecisionTreeRegressor())

FORBIDDEN = {"import", "exec", "compile", "pickle.find_class", "os.system", "subprocess.Popen", "os.exec",
             "os.posix_spawn", "os.spawn", "os.fork", "ctypes.dlopen", "code.__new__", "function.__new__",
             "marshal.loads", "builtins.input"}
events, auditing = [], [False]
def audit(event, args):
    if auditing[0] and (event in FORBIDDEN or (event == "open" and "ran" in str(args[0]))):
        events.append(f"{event} {args!r}"[:200])
sys.addaudithook(audit)

before = set(sys.modules)
results = {}
for name, path in PATHS.items():
    auditing[0] = True
    scan = S.scan_dump(path)
    try:
        S.load_dump(path, **CASES[name][2])
        refused, message = None, None
    except S.MTDUntrustedError as error:
        refused, message = list(error.refused), str(error)
    auditing[0] = False
    results[name] = {"refused": refused, "message": message, "scan_trusted": scan["trusted"],
                     "scan_refused": [g["name"] for g in scan["globals"] if not g["trusted"]] + scan["refused_opcodes"]}
imported = sorted(set(sys.modules) - before)
ran = os.path.exists(MARK)

# The same streams through mtdump.load_dump: each effective one does create the marker.
effects = {}
for name, (_, _, _, effective) in CASES.items():
    if not effective:
        continue
    sys.modules.pop("canary_mod", None)
    if os.path.exists(MARK):
        os.remove(MARK)
    try:
        D.load_dump(PATHS[name])
    except Exception:
        pass
    effects[name] = os.path.exists(MARK)
print(json.dumps({"results": results, "imported": imported, "ran": ran, "events": events, "effects": effects}))
'''

# name -> (what the refusal must list, whether scan_dump trusts the stream: argument forms and the
# finished graph are load_dump's to check)
EXPECTED = {
    "protocol 0": (["not a stream of protocol 2 to 5"], False),
    "os.system GLOBAL": (["posix.system"], False),
    "os.system STACK_GLOBAL": (["posix.system"], False),
    "os.system REDUCE": (["posix.system"], False),
    "memo overwrite": (["memo key out of order"], False),
    "protocol-0 memo keys": (["PUT", "GET"], False),
    "frame cut inside an argument": (["an opcode runs past the end of its frame"], False),
    "builtins.eval": (["builtins.eval"], False),
    "builtins.exec": (["builtins.exec"], False),
    "builtins.getattr": (["builtins.getattr", "builtins.__import__"], False),
    "__builtin__ rename": (["__builtin__.eval"], False),
    "subprocess": (["commands.call"], False),  # protocol 2 spells it as Python 2 did
    "importlib": (["importlib.import_module"], False),
    "runpy": (["runpy.run_module"], False),
    "pickle.loads": (["pickle.loads"], False),
    "functools.partial": (["posix.system"], False),
    "operator.attrgetter": (["operator.attrgetter", "builtins.__import__"], False),
    "numpy.load": (["numpy.load"], False),
    "numpy.testing": (["numpy.testing.assert_"], False),
    "dill lambda": (["dill._dill._create_function", "dill._dill._create_code"], False),
    "dill type table by a dotted name": (["dill:_dill._load_type"], False),
    "dill type table": (["dill._dill._load_type('FunctionType')"], False),
    "copyreg._reconstructor": (["copyreg._reconstructor", "canary_mod.Boom"], False),
    "newObj": (["canary_mod.Boom"], False),
    "bit generator ctor": (["canary_mod.Boom"], False),
    "_create_array": (["posix.system"], False),
    "EXT1": (["EXT1"], False),
    "EXT2": (["EXT2"], False),
    "EXT4": (["EXT4"], False),
    "INST": (["canary_mod.Boom", "INST"], False),
    "OBJ": (["canary_mod.Boom", "OBJ"], False),
    "PERSID": (["PERSID"], False),
    "BINPERSID": (["BINPERSID"], False),
    "NEXT_BUFFER": (["NEXT_BUFFER"], False),
    "READONLY_BUFFER": (["NEXT_BUFFER", "READONLY_BUFFER"], False),
    "computed STACK_GLOBAL": (["STACK_GLOBAL without string constants"], False),
    "truncated": (["truncated stream"], False),
    "numpy.ndarray called": (["REDUCE of numpy.ndarray"], False),
    "numpy.ndarray by NEWOBJ": (["NEWOBJ of numpy.ndarray"], False),
    "_reconstruct dotted": (["numpy:_core.multiarray._reconstruct"], False),
    "scalar dotted": (["numpy._core:multiarray.scalar"], False),
    "_frombuffer dotted": (["numpy._core:numeric._frombuffer"], False),
    "Tree dotted": (["sklearn.tree:_tree.Tree"], False),
    "dtype BUILT again after an array took it": (["BUILD of a value that takes no state"], False),
    "dtype taken before its BUILD": (["inconsistent dtype refused: a dtype used before its state"], True),
    "dtype of dill's array helper": (["inconsistent dtype refused: a layout numpy does not make"], True),
    "memo index far ahead": (["memo key out of order"], False),
    "bytes with a codec": (["constructor arguments refused: bytes with arguments"], True),
    "bytearray with a codec": (["constructor arguments refused: bytearray of anything but bytes"], True),
    "_codecs.encode with a codec": (["_codecs.encode(..., 'rot13')"], True),
    "bytearray of a size": (["constructor arguments refused: bytearray of anything but bytes"], True),
    "set of a range": (["constructor arguments refused: set of anything but a list"], True),
    "colliding dict keys": (["keys that share one hash value"], True),
    "a deeply nested tuple as a key": (["tuples nested deeper than 64"], False),
    "trusted by a split spelling": (["dill:_dill._create_code"], False),
    "trusted code constructor": (["dill._dill._create_function"], False),
    "trusted __main__ name": (["__main__.evil"], False),
}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    work = tmp_path_factory.mktemp("hostile")
    (work / "canary_mod.py").write_text(_CANARY)
    proc = subprocess.run([sys.executable, "-c", _CORPUS, str(work), HERE], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    import json
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_nothing_ran_nothing_was_imported_nothing_was_unpickled(corpus):
    assert corpus["ran"] is False
    assert corpus["imported"] == []
    assert corpus["events"] == []  # no exec, compile, process or code event, no CPython unpickler
    assert set(corpus["results"]) == set(EXPECTED)


@pytest.mark.parametrize("name", EXPECTED)
def test_refused(corpus, name):
    result = corpus["results"][name]
    items, scan_trusted = EXPECTED[name]
    assert result["refused"] is not None, result
    for item in items:
        assert item in result["refused"] and item in result["message"], result
    # what the scan refuses is what the load refuses: one interpreter reads both
    assert result["scan_trusted"] is scan_trusted
    if not scan_trusted:
        assert set(result["scan_refused"]) <= set(result["refused"]), result


def test_the_corpus_is_hostile(corpus):
    # without safeload, each effective stream does run: the refusals above are not vacuous
    assert corpus["effects"] and all(corpus["effects"].values()), corpus["effects"]


def test_trusted_adds_exact_names(tmp_path):
    import collections
    D.save_dump(collections.Counter("aab"), tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match="collections.Counter"):
        S.load_dump(tmp_path / "x.mtd")
    for wrong in (["collections"], ["collections.Count"], ["collections.Counter.x"], ["collections:Counter"]):
        with pytest.raises(S.MTDUntrustedError):
            S.load_dump(tmp_path / "x.mtd", trusted=wrong)
    assert S.load_dump(tmp_path / "x.mtd", trusted=("collections.Counter",)) == collections.Counter("aab")
    with pytest.raises(TypeError):
        S.load_dump(tmp_path / "x.mtd", trusted=[b"collections.Counter"])


def test_trusted_other_spelling_of_a_listed_object_keeps_its_narrowing(tmp_path):
    # sklearn.tree._classes imports Tree: trusting that name reaches the listed Tree, narrowed as listed
    stream = Stream(4).global_("sklearn.tree._classes", "Tree").raw(b"(").value(3).value(
        lambda st: st.call("numpy._core.multiarray", "_reconstruct", lambda x: x.global_("numpy", "ndarray"), (0,),
                           b"b")).value(1 << 30).raw(b"tR").stop()
    write(tmp_path / "x.mtd", stream)
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd", trusted=["sklearn.tree._classes.Tree"])
    assert refused.value.refused == ("constructor arguments refused: Tree sizes",)


def test_default_trusted_is_exact():
    assert isinstance(S.DEFAULT_TRUSTED, frozenset)
    import importlib
    for name in S.DEFAULT_TRUSTED:
        module, _, qualname = name.rpartition(".")
        # every entry names an existing object of its module; none is a module or a prefix
        obj = getattr(importlib.import_module(module), qualname)
        assert not isinstance(obj, type(os)) and not name.endswith(".")
    assert not {n for n in S.DEFAULT_TRUSTED if n.startswith(("builtins.eval", "builtins.exec", "builtins.getattr",
                                                             "posix.", "os.", "copyreg.", "__main__."))}


# ---------------------------------------------------------------------------------------------
# Crafted structures: indices compiled code follows without a bounds check, each valid in itself
# where the old checks looked and wrong in the context that uses it.

RNG = np.random.default_rng(0)
X = RNG.normal(size=(120, 3))
Y = X[:, 0] + 0.1 * RNG.normal(size=len(X))
FAR = 2 ** 44  # past the address space, whatever the base: a read there faults at once
WIDE = 2 ** 31 - 1  # the widest Tree the narrowed constructor makes


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


def _wide_tree(fitted):
    """A Tree consistent in itself but WIDE features wide, every split on the last of them."""
    state = fitted.tree_.__getstate__()
    nodes = state["nodes"].copy()
    nodes["feature"][nodes["left_child"] != -1] = WIDE - 1
    state["nodes"] = nodes
    tree = Tree(WIDE, np.array([1], dtype=np.intp), 1)
    tree.__setstate__(state)
    return tree


def crafted(kind):
    """(model, refusal, what predicts: the model itself or an item of it)"""
    if kind == "tree child":
        model = VotingRegressor([("lr", LinearRegression()), ("rf", RandomForestRegressor(4, max_depth=4, random_state=0))])
        model.fit(X, Y)
        _tree_nodes(model.estimators_[1].estimators_[2].tree_, lambda n: n["left_child"].__setitem__(0, FAR))
        return model, "estimators_[1].estimators_[2].tree_: child index out of range", None
    if kind == "tree two parents":
        model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
        _tree_nodes(model.tree_, _two_parents)
        return model, "tree_: node with two parents", None
    if kind == "tree feature":
        model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
        _tree_nodes(model.tree_, lambda n: n["feature"].__setitem__(0, FAR))
        return model, "tree_: feature index out of range", None
    if kind == "hgb feature":
        model = HistGradientBoostingRegressor(max_iter=3).fit(X, Y)
        model._predictors[1][0].nodes["feature_idx"][0] = FAR
        return model, "_predictors[1][0]: feature index out of range", None
    if kind == "kd index":
        model = KNeighborsRegressor(3, algorithm="kd_tree").fit(X, Y)
        model._tree.get_arrays()[1][5] = FAR
        return model, "_tree.idx_array: index out of range", None
    if kind == "gb stage wider than the ensemble":
        model = GradientBoostingRegressor(n_estimators=3, random_state=0).fit(X, Y)
        stage = model.estimators_[1, 0]
        stage.tree_, stage.n_features_in_ = _wide_tree(stage), WIDE
        return model, "estimators_[1, 0]: n_features_in_ does not match the ensemble's", None
    if kind == "gb stages wider than n_trees_per_iteration_":
        model = GradientBoostingRegressor(n_estimators=3, random_state=0).fit(X, Y)
        model.estimators_ = np.tile(model.estimators_, (1, 20000))
        return model, "estimators_: shape does not match n_trees_per_iteration_", None
    if kind == "tree shared with a wider estimator":
        forest = RandomForestRegressor(3, max_depth=4, random_state=0).fit(X, Y)
        wide = DecisionTreeRegressor(max_depth=4).fit(X, Y)
        wide.tree_, wide.n_features_in_ = _wide_tree(wide), WIDE
        forest.estimators_[0].tree_ = wide.tree_  # the same Tree, valid for `wide`, read at the forest's width
        return [wide, forest], "[1].estimators_[0].tree_: n_features does not match the ensemble's", 1
    if kind == "kd tree leaf size":
        model = KNeighborsRegressor(3, algorithm="kd_tree").fit(X, Y)
        state = list(model._tree.__getstate__())
        state[4] = 0  # a breadth-first query divides by it, in C
        model._tree.__setstate__(tuple(state))
        return model, "_tree.leaf_size: integer out of range", None
    if kind == "hgb categorical split on a numeric feature":
        model = HistGradientBoostingRegressor(max_iter=3).fit(X, Y)
        predictor = model._predictors[0][0]
        predictor.nodes["is_categorical"][0] = 1
        predictor.raw_left_cat_bitsets = np.zeros((1, 8), np.uint32)
        predictor.binned_left_cat_bitsets = np.zeros((1, 8), np.uint32)
        return model, "_predictors[0][0]: a categorical split on a feature that is not categorical", None
    if kind == "hgb bin mapper narrower than the ensemble":
        model = HistGradientBoostingRegressor(max_iter=3).fit(X, Y)
        model._bin_mapper.is_categorical_ = model._bin_mapper.is_categorical_[:1]
        return model, "_bin_mapper.is_categorical_: shape does not match n_features_in_", None
    raise ValueError(kind)


CRASHING = ["tree child", "tree feature", "hgb feature", "kd index", "gb stage wider than the ensemble",
            "gb stages wider than n_trees_per_iteration_", "tree shared with a wider estimator"]
REFUSED_ONLY = ["tree two parents", "kd tree leaf size", "hgb categorical split on a numeric feature",
                "hgb bin mapper narrower than the ensemble"]


@pytest.mark.parametrize("kind", CRASHING + REFUSED_ONLY)
def test_crafted_structure_is_refused(tmp_path, kind):
    model, message, _ = crafted(kind)
    D.save_dump(model, tmp_path / "crafted.mtd")
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "crafted.mtd")
    assert str(refused.value) == message and refused.value.refused == (message,)
    assert S.scan_dump(tmp_path / "crafted.mtd")["trusted"]  # the globals are all fine: only the numbers are not


@pytest.mark.parametrize("kind", CRASHING)
def test_crafted_structure_crashes_mtdump(tmp_path, kind):
    model, _, item = crafted(kind)
    D.save_dump(model, tmp_path / "crafted.mtd")
    code = textwrap.dedent(f"""
        import numpy as np, korva.utils.mtdump as D
        model = D.load_dump({str(tmp_path / 'crafted.mtd')!r})
        print("loaded", flush=True)
        model = model if {item!r} is None else model[{item!r}]
        model.predict(np.random.default_rng(0).normal(size=(10000, 3)))
        print("predicted", flush=True)
    """)
    # a sanitizer build must let the fault through as a plain signal rather than report it
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:handle_sigbus=0:"
               "handle_abort=0")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "loaded" in proc.stdout and proc.returncode != 0, proc


def test_a_deeply_nested_key_crashes_mtdump(tmp_path):
    # the interpreter's own tuple hash recurses without a limit: the key a dict hashes overflows the stack
    write(tmp_path / "x.mtd", Stream(4).raw(b"})" + b"\x85" * 1_000_000 + b"Ns."))
    code = f"import korva.utils.mtdump as D; D.load_dump({str(tmp_path / 'x.mtd')!r}); print('loaded')"
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:detect_stack_use_after_return=0")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "loaded" not in proc.stdout and proc.returncode < 0, proc


def test_two_parents_mislead_mtdump(tmp_path):
    # no crash, but silently wrong numbers: the reason the check is there
    model, _, _ = crafted("tree two parents")
    D.save_dump(model, tmp_path / "crafted.mtd")
    honest = DecisionTreeRegressor(max_depth=4).fit(X, Y)
    assert not np.array_equal(D.load_dump(tmp_path / "crafted.mtd").predict(X), honest.predict(X))


@pytest.mark.parametrize("fields, offset", [("a", 4), ("b", 0)], ids=["field outside the item", "fields named apart"])
@pytest.mark.parametrize("route", ["constructor", "array state"])
def test_dtype_layout_numpy_would_not_make_is_refused(tmp_path, fields, offset, route):
    # numpy applies a dtype's pickled fields as they come; korva compares the result with the dtype numpy
    # makes itself from the same layout, at the dtype's one BUILD, before anything can take it
    def record(stream):
        stream.dtype("V8", (3, "|", None, ("a",), lambda st: (st.raw(b"}").text(fields), st.raw(b"("), f8(st),
                                                                 st.int(offset), st.raw(b"ts")), 8, 1, 16))
    stream = Stream(5)
    if route == "constructor":
        stream.global_("numpy._core.numeric", "_frombuffer").raw(b"(").bytes_(b"\0" * 8).value(record).value(
            (1,)).value("C").raw(b"tR")
    else:
        stream.call("numpy._core.multiarray", "_reconstruct", lambda st: st.global_("numpy", "ndarray"), (0,), b"b")
        stream.build(lambda st: (st.raw(b"(").value(1).value((1,)), record(st), st.value(False).value(b"\0" * 8),
                                 st.raw(b"t")))
    write(tmp_path / "x.mtd", stream.stop())
    with pytest.raises(S.MTDUntrustedError, match="inconsistent dtype refused") as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert refused.value.refused[0].startswith("inconsistent dtype refused: ")


def test_validation_reads_the_owner_width(tmp_path):
    # a tree consistent in itself, inside an estimator that claims fewer input features
    model = DecisionTreeRegressor(max_depth=4).fit(X, Y)
    model.n_features_in_ = 2
    D.save_dump(model, tmp_path / "x.mtd")
    with pytest.raises(S.MTDUntrustedError, match="^tree_: n_features does not match n_features_in_$"):
        S.load_dump(tmp_path / "x.mtd")


def test_deep_nesting_is_refused(tmp_path):
    # 100,000 nested lists unpickle fine; the walk over them stops at a depth no model reaches
    write(tmp_path / "x.mtd", Stream(4).raw(b"]" * 100_000 + b"a" * 99_999 + b"."))
    with pytest.raises(S.MTDUntrustedError, match=r"^(\[0\]){201}: nested too deeply$"):
        S.load_dump(tmp_path / "x.mtd")


def test_reserving_constructors_are_refused(tmp_path):
    # each asks a listed constructor for gigabytes before any data arrives
    stream = Stream(4).global_("sklearn.tree._tree", "Tree").raw(b"(").value(3).value(
        lambda st: st.call("numpy._core.multiarray", "_reconstruct", lambda x: x.global_("numpy", "ndarray"), (0,),
                           b"b")).value(1 << 30).raw(b"tR").stop()
    write(tmp_path / "x.mtd", stream)
    with pytest.raises(S.MTDUntrustedError) as refused:
        S.load_dump(tmp_path / "x.mtd")
    assert refused.value.refused == ("constructor arguments refused: Tree sizes",)
    stream = Stream(2).call("numpy._core.multiarray", "_reconstruct", lambda x: x.global_("numpy", "ndarray"),
                            (1 << 40,), b"b").stop()
    write(tmp_path / "x.mtd", stream)
    with pytest.raises(S.MTDUntrustedError, match="_reconstruct of a non-empty shape"):
        S.load_dump(tmp_path / "x.mtd")
