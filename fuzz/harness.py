"""atheris harness for the parts of korva that read untrusted bytes.

    python fuzz/harness.py TARGET SEED_DIR [libFuzzer options and corpus directories]

Targets:
  mtdump      korva.utils.mtdump.load_dump on a whole container
  mtd_loader  korva.utils.mtd_loader.load_dump on a whole container
  stages      the stage functions on their own: _decrypt_data and _decompress_data of both modules,
              _prepare_key, and containers assembled from fuzzed header and length fields
  safeload    korva.utils.safeload.load_dump and scan_dump (korva's own pickle interpreter) on a
              fuzzed serialized stream, wrapped in a valid container (plain, zstd or encrypted;
              pickle or dill): mutated streams never crash, never import a module, never call a
              function off the allow-list and never reach the interpreter's own unpickler; and, for
              streams of plain data, whatever korva builds the interpreter's own unpickler builds
              too, value for value and with the same sharing

The first byte of every input is a control byte: it picks the stream the reader gets (seekable,
unseekable, short reads), the passphrase form, and for `stages` the function. SEED_DIR is filled at
start with containers made by save_dump (plain, zstd, encrypted, dill, numpy and pandas objects):
no binary samples live in the repository.

Bad input must raise a Python exception; anything else (a crash, a sanitizer report, a hang past
libFuzzer's -timeout) is a finding. SystemError counts as a finding too: it is how a C-API misuse
surfaces. Payloads are only ever loaded through an allow-listed unpickler, so a mutated pickle can
build plain data, numpy and pandas objects but call nothing else. The safeload target loads through
korva's own interpreter and allow-list instead, and an audit hook turns any module import, any use of
the interpreter's own unpickler, or any process, code or dynamic-library event during a run into a
finding.
"""
import base64
import hashlib
import importlib
import io
import os
import pickle
import struct
import sys

import atheris

with atheris.instrument_imports(include=["json"]):
    import json

import dill
import numpy as np
import pandas as pd

import korva.utils.mtd_loader as L
import korva.utils.mtdump as D
import korva.utils.safeload as S

KEY = bytes(range(32))
KEY_TEXT = base64.b64encode(KEY).decode("ascii")

# ---------------------------------------------------------------------------------------------
# The allow-listed unpickler both readers deserialize with.

ALLOWED = {
    "builtins": {"bool", "bytearray", "bytes", "complex", "dict", "float", "frozenset", "int", "list",
                 "range", "set", "slice", "str", "tuple"},
    "__builtin__": {"bytearray", "complex", "frozenset", "set", "slice"},
    "_codecs": {"encode"},
    "collections": {"OrderedDict"},
    "datetime": {"date", "datetime", "time", "timedelta", "timezone"},
    "decimal": {"Decimal"},
    "numpy": {"dtype", "ndarray"},
    "numpy._core.multiarray": {"_reconstruct", "scalar"},
    "numpy._core.numeric": {"_frombuffer"},
    "pandas": {"Categorical", "CategoricalDtype", "DataFrame", "Index", "RangeIndex", "Series", "StringDtype"},
    "pandas.arrays": {"DatetimeArray", "StringArray"},
    "pandas._libs.arrays": {"__pyx_unpickle_NDArrayBacked"},
    "pandas._libs.internals": {"_unpickle_block"},
    "pandas.core.indexes.base": {"_new_Index"},
    "pandas.core.internals.managers": {"BlockManager", "SingleBlockManager"},
    "dill._dill": {"_create_array"},
}


def _allowed_class(unpickler_type):
    class Restricted(unpickler_type):
        def find_class(self, module, name):
            if name in ALLOWED.get(module, ()):
                return super().find_class(module, name)
            raise pickle.UnpicklingError(f"{module}.{name} is not on the fuzz harness's allow list")
    return Restricted


RestrictedUnpickler = _allowed_class(pickle.Unpickler)
RestrictedDillUnpickler = _allowed_class(dill.Unpickler)


def allow_listed_deserialize(data, serializer):
    if serializer == "pickle":
        return RestrictedUnpickler(io.BytesIO(data)).load()
    if serializer == "dill":
        return RestrictedDillUnpickler(io.BytesIO(data)).load()
    raise ValueError(f"Unknown serializer: {serializer}")


# Late binding: the readers call whatever their module namespace holds under this name.
D._deserialize_obj = allow_listed_deserialize
L._deserialize_obj = allow_listed_deserialize

# ---------------------------------------------------------------------------------------------
# Streams: the readers open their path with the `open` of their own namespace, so the harness hands
# them the input without touching the disk, as one of three kinds of stream.


class Unseekable(io.RawIOBase):
    """A pipe-like stream: no seek, no tell; optionally at most 7 bytes per read."""

    def __init__(self, data, short):
        self._data, self._pos, self._short = data, 0, short

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), len(self._data) - self._pos, 7 if self._short else len(buffer))
        buffer[:n] = self._data[self._pos:self._pos + n]
        self._pos += n
        return n


def stream_of(data, kind):
    if kind == 0:
        return io.BytesIO(data)
    if kind == 1:
        return io.BufferedReader(Unseekable(data, short=False))
    return Unseekable(data, short=True)


PASSPHRASES = (None, KEY, KEY_TEXT, bytes(32))


def load(module, data, control):
    module.open = lambda path, mode: stream_of(data, control & 3)
    passphrase = PASSPHRASES[(control >> 2) & 3]
    if module is D:
        return D.load_dump("fuzz.mtd", passphrase, None, bool(control & 16))
    return L.load_dump("fuzz.mtd", passphrase)


def container(info, payload, info_len=None, payload_len=None):
    info_len = len(info) if info_len is None else info_len
    payload_len = len(payload) if payload_len is None else payload_len
    return b"MTD1" + struct.pack("<Q", info_len) + info + struct.pack("<Q", payload_len) + payload


def stages(data, control):
    choice = control % 8
    if choice < 4:
        # the cipher step of either module, under the right key and a wrong one
        module = D if choice % 2 == 0 else L
        return module._decrypt_data(data, KEY if choice < 2 else bytes(range(1, 33)))
    if choice < 6:
        module = D if choice == 4 else L
        return module._decompress_data(data, "zstd")
    if choice == 6:
        return D._prepare_key(data.decode("utf-8", "surrogateescape"))
    # header and length fields: lengths and fields drawn separately, so that they need not agree
    fdp = atheris.FuzzedDataProvider(data)
    info_len = fdp.ConsumeIntInRange(0, 2**64 - 1) if fdp.ConsumeBool() else None
    payload_len = fdp.ConsumeIntInRange(0, 2**64 - 1) if fdp.ConsumeBool() else None
    info = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 512))
    raw = container(info, fdp.ConsumeBytes(fdp.remaining_bytes()), info_len, payload_len)
    return load(D if control & 8 else L, raw, control >> 4)


# ---------------------------------------------------------------------------------------------
# safeload: the fuzzed bytes are the serialized stream; the container around it is valid, so the
# mutations reach the scanner, the restricted unpickler and the structure validators.

# Events that mean something ran which no allow-listed stream may run ("compile" is not one: numpy's
# dtype parser reads shapes with ast.literal_eval).
FORBIDDEN_EVENTS = {"os.system", "subprocess.Popen", "os.exec", "os.posix_spawn", "os.spawn", "os.fork",
                    "exec", "ctypes.dlopen", "ctypes.dlsym", "socket.connect", "os.remove",
                    "shutil.rmtree", "builtins.input", "code.__new__", "function.__new__", "pickle.find_class",
                    "marshal.loads"}
audit_findings = []
auditing = [False]
armed = [False]  # after the seeds have run once: what they import lazily is loaded by then


def audit(event, args):
    if not auditing[0]:
        return
    # every module a listed global lives in was imported at start: any import is off the list
    if event == "import" or event in FORBIDDEN_EVENTS:
        audit_findings.append((event, repr(args)[:200]))


def trust_everything_listed():
    for name in S.DEFAULT_TRUSTED:
        module, _, qualname = name.rpartition(".")
        getattr(importlib.import_module(module), qualname)


def arm_audit(seed_dir):
    trust_everything_listed()
    # listed code that imports lazily: an estimator's repr (in error messages) loads sklearn's printer
    from sklearn.tree import DecisionTreeRegressor
    repr(DecisionTreeRegressor())
    run = make_test_one_input("safeload")
    for name in sorted(os.listdir(seed_dir)):
        with open(os.path.join(seed_dir, name), "rb") as fh:
            run(fh.read())
    sys.addaudithook(audit)
    armed[0] = True


# The listed names that resolve to korva's narrowed functions rather than to the objects themselves.
NARROWED = {"_codecs.encode": "_encode", "numpy._core.multiarray._reconstruct": "_reconstruct",
            "numpy._core.multiarray.scalar": "_scalar", "numpy._core.numeric._frombuffer": "_frombuffer",
            "numpy.random._pickle.__bit_generator_ctor": "_bit_generator_ctor",
            "numpy.random._pickle.__generator_ctor": "_generator_ctor",
            "numpy.random._pickle.__randomstate_ctor": "_randomstate_ctor",
            "numpy.random.bit_generator.__pyx_unpickle_SeedSequence": "_unpickle_seed_sequence",
            "dill._dill._create_array": "_create_array", "dill._dill._load_type": "_load_type",
            "sklearn.neighbors._kd_tree.newObj": "_new_object", "sklearn.neighbors._ball_tree.newObj": "_new_object",
            "sklearn.metrics._dist_metrics.newObj": "_new_object"}


class ReferenceUnpickler(pickle.Unpickler):
    """The same allow-list through the interpreter's own unpickler: what a stream does on its own."""

    def find_class(self, module, name):
        full = f"{module}.{name}"
        if full not in S.DEFAULT_TRUSTED:
            raise pickle.UnpicklingError(f"{full} is not listed")
        return getattr(S, NARROWED[full]) if full in NARROWED else super().find_class(module, name)


def upstream_system_error(data):
    """Whether the stream raises SystemError without korva too: a C extension that a listed class
    belongs to (a Cython __setstate__ handed a state of the wrong type, say) reports misuse that way."""
    try:
        ReferenceUnpickler(io.BytesIO(data)).load()
    except SystemError:
        return True
    except Exception:
        pass
    return False


def numpy_system_error(error):
    """numpy's own argument checks (a dtype's __setstate__ handed a malformed state) raise SystemError
    naming its source file; korva's dtype replay can reach one before the reference gets that far."""
    return "numpy/_core/src/" in str(error)


class NotPlain(Exception):
    """The stream names something other than a plain data type: no comparison of plain values."""


PLAIN_GLOBALS = {("builtins", n): n for n in ("set", "frozenset", "bytearray", "bytes", "complex", "slice", "range")}
PLAIN_GLOBALS.update({("__builtin__", n): n for n in ("set", "frozenset", "bytearray", "bytes", "complex", "slice")})
PLAIN_GLOBALS[("__builtin__", "xrange")] = "range"


class PlainUnpickler(pickle.Unpickler):
    """The interpreter's own unpickler for streams of plain data: only the plain data types."""

    def find_class(self, module, name):
        if (module, name) == ("_codecs", "encode"):
            return __import__("_codecs").encode
        if (module, name) in PLAIN_GLOBALS:
            return getattr(__import__("builtins"), PLAIN_GLOBALS[(module, name)])
        raise NotPlain(f"{module}.{name}")


def same(a, b, pairs):
    """Equal plain values, float bits included, and the same sharing of mutable containers."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if a is None or isinstance(a, (bool, int, str, bytes)):
        return a == b
    if id(a) in pairs:
        return pairs[id(a)] is b
    pairs[id(a)] = b
    if isinstance(a, bytearray):
        return a == b
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y, pairs) for x, y in zip(a, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(same(ka, kb, pairs) and same(a[ka], b[kb], pairs) for ka, kb in zip(a, b))
    if isinstance(a, (set, frozenset)):
        return sorted(map(repr, a)) == sorted(map(repr, b))
    return False


def differential_check(data, loaded):
    """korva built `loaded` from a stream of plain data: the interpreter's own unpickler must build it too."""
    try:
        theirs = PlainUnpickler(io.BytesIO(data)).load()
    except NotPlain:
        return
    except Exception as error:
        raise SystemError(f"korva accepted a stream the interpreter's own unpickler refuses ({error!r})") from None
    if not same(loaded, theirs, {}):
        raise SystemError("korva built other values than the interpreter's own unpickler")


def safeload_run(data, control):
    info = {"version": 1, "dump": {"checksum": hashlib.sha256(data).hexdigest(), "serializer": ("pickle", "dill")[control & 1],
                                   "compression": "zstd" if control & 2 else None, "encrypted": bool(control & 4)},
            "meta": {}}
    payload = D._compress_data(data, info["dump"]["compression"])
    if control & 4:
        payload = D._encrypt_data(payload, KEY)
    raw = container(json.dumps(info).encode(), payload)
    S.open = lambda path, mode: io.BytesIO(raw)
    passphrase = KEY if control & 4 else None
    audit_findings.clear()
    auditing[0] = armed[0]
    loaded, plain = None, False
    try:
        if control & 8:
            S.scan_dump("fuzz.mtd", passphrase)
        else:
            loaded = S.load_dump("fuzz.mtd", passphrase)
            plain = bool(control & 16)
    except SystemError as error:
        # only the static scan's approval leads here, so the reference runs listed globals only
        auditing[0] = False
        if not (numpy_system_error(error) or upstream_system_error(data)):
            raise
        raise ValueError("the stream's own SystemError") from None
    finally:
        auditing[0] = False
        if audit_findings:
            raise SystemError(f"safeload let a stream reach {audit_findings}")
    if plain:
        differential_check(data, loaded)


TARGETS = {
    "mtdump": lambda data, control: load(D, data, control),
    "mtd_loader": lambda data, control: load(L, data, control),
    "stages": stages,
    "safeload": safeload_run,
}


def make_test_one_input(target):
    run = TARGETS[target]

    def test_one_input(raw):
        if not raw:
            return
        try:
            run(raw[1:], raw[0])
        except SystemError:
            raise
        except Exception:
            pass  # bad input, reported the Python way
    return test_one_input


# ---------------------------------------------------------------------------------------------
# Seeds, made at start by save_dump.

def seed_objects():
    return {
        "dict": {"ints": list(range(40)), "text": "caf\u00e9", "t": (1.5, None, True), "b": b"\x00\xff"},
        "numpy": np.linspace(0.0, 1.0, 64),
        "numpy-int32-2d": np.arange(24, dtype=np.int32).reshape(4, 6),
        "pandas": pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"], "c": [0.5, 1.5, 2.5]}),
        "series": pd.Series([1.0, 2.0], index=["p", "q"]),
    }


def safeload_seeds():
    """Serialized streams: fitted estimators of the kinds curve models use, plain data, and streams
    that name what the allow-list refuses, as pickle and dill."""
    from sklearn.ensemble import (GradientBoostingRegressor, HistGradientBoostingRegressor, RandomForestRegressor,
                                  VotingRegressor)
    from sklearn.linear_model import LinearRegression
    from sklearn.neighbors import KNeighborsRegressor
    from sklearn.tree import DecisionTreeRegressor
    from sklearn.utils import Bunch
    rng = np.random.default_rng(0)
    X = rng.normal(size=(40, 3))
    y = X[:, 0] + 0.1 * rng.normal(size=40)
    X_categorical = np.column_stack([X[:, :2], rng.integers(0, 4, 40)])
    objects = {
        # the initial estimator, the categorical preprocessor, the brute-force metric parameters and a
        # Bunch: what the checks on attribute names, callables and neighbour names read
        "gb": GradientBoostingRegressor(n_estimators=2, max_depth=2, random_state=0).fit(X, y),
        "hgb-categorical": HistGradientBoostingRegressor(max_iter=2, max_leaf_nodes=4,
                                                         categorical_features=[2]).fit(X_categorical, y),
        "knn-brute": KNeighborsRegressor(3, algorithm="brute", p=3, metric_params={"w": np.ones(3)}).fit(X, y),
        "bunch": Bunch(model=LinearRegression().fit(X, y), n=3),
        "tree": DecisionTreeRegressor(max_depth=3).fit(X, y),
        "knn-kd": KNeighborsRegressor(3, algorithm="kd_tree").fit(X, y),
        "knn-ball": KNeighborsRegressor(3, algorithm="ball_tree", metric="manhattan").fit(X, y),
        "hgb": HistGradientBoostingRegressor(max_iter=2, max_leaf_nodes=4).fit(X, y),
        "voting": VotingRegressor([("rf", RandomForestRegressor(2, max_depth=2, random_state=0)),
                                   ("lr", LinearRegression())]).fit(X, y),
        "data": {"set": {1, 2}, "c": 1j, "b": bytearray(b"x"), "a": np.arange(6.0).reshape(2, 3),
                 "rng": np.random.default_rng(1)},
    }
    seeds = {}
    for name, obj in objects.items():
        for protocol in (2, 5):
            seeds[f"{name}-pickle{protocol}"] = (0, pickle.dumps(obj, protocol=protocol))
            seeds[f"{name}-dill{protocol}"] = (1, dill.dumps(obj, protocol=protocol))
    plain = {"values": [None, True, 1, -2**40, 2.5, "caf\u00e9", b"\x00", (1, "x"), {"k": [1, 2]}],
             "shared": [[1], "s"] * 3, "sets": [{1, 2}, frozenset({"a"})], "bytearray": bytearray(b"xy")}
    for name, obj in plain.items():
        for protocol in (2, 3, 4, 5):
            seeds[f"plain-{name}-{protocol}"] = (16, pickle.dumps(obj, protocol=protocol))
    hostile = {"global": b"cposix\nsystem\n(Vtrue\ntR.",
               "stack-global": b"\x80\x04\x8c\x05posix\x8c\x06system\x93\x8c\x04true\x85R.",
               "ext1": b"\x80\x02\x82\x01)R.", "inst": b"(icollections\nCounter\n.",
               "newobj": b"csklearn.neighbors._kd_tree\nnewObj\n(cbuiltins\neval\ntR.",
               "load-type": b"cdill._dill\n_load_type\n(VCodeType\ntR."}
    for name, stream in hostile.items():
        seeds[f"hostile-{name}"] = (0, stream)
    return seeds


def write_seeds(target, seed_dir):
    os.makedirs(seed_dir, exist_ok=True)
    if target == "safeload":
        for name, (serializer, stream) in safeload_seeds().items():
            controls = (serializer, serializer | 2) if serializer & 16 else (
                serializer, serializer | 2, serializer | 4 | 2, serializer | 8, serializer | 8 | 2)
            for control in controls:
                with open(os.path.join(seed_dir, f"{name}-{control}"), "wb") as fh:
                    fh.write(bytes([control]) + stream)
        return
    real_os = D.os
    # A fixed IV: the seeds are the same on every run.
    D.os = type(sys)("fixed_random")
    D.os.urandom = lambda n: bytes(range(0xA0, 0xA0 + n))
    modes = {"plain": dict(compression=None), "zstd": dict(), "encrypted": dict(passphrase=KEY),
             "plain-encrypted": dict(compression=None, passphrase=KEY), "dill": dict(serializer="dill"),
             "protocol2": dict(protocol=2)}
    seeds = {}
    try:
        path = os.path.join(seed_dir, "tmp.mtd")
        for name, obj in seed_objects().items():
            for mode, kwargs in modes.items():
                D.save_dump(obj, path, meta={"seed": name}, **kwargs)
                with open(path, "rb") as fh:
                    seeds[f"{name}-{mode}"] = fh.read()
        os.remove(path)
    finally:
        D.os = real_os
    if target == "stages":
        payloads = {}
        for name, raw in seeds.items():
            n = struct.unpack_from("<Q", raw, 4)[0]
            payloads[name] = (raw[12:12 + n], raw[20 + n:])
        inputs = {}
        for name, (info, payload) in payloads.items():
            encrypted = "encrypted" in name
            plain_zstd = not encrypted and "plain" not in name
            for control in range(8):
                if control < 4 and encrypted or control in (4, 5) and plain_zstd or control == 7:
                    data = payload if control < 7 else bytes([0x55]) + info + payload
                    inputs[f"{name}-{control}"] = bytes([control]) + data
        inputs["key-6"] = bytes([6]) + KEY_TEXT.encode()
    else:
        inputs = {f"{name}-{control}": bytes([control]) + raw for name, raw in seeds.items()
                  for control in (0, 1, 2, 4, 8, 16 | 4)}
    for name, data in inputs.items():
        with open(os.path.join(seed_dir, name), "wb") as fh:
            fh.write(data)


def main():
    target, seed_dir = sys.argv[1], sys.argv[2]
    write_seeds(target, seed_dir)
    if target == "safeload":
        arm_audit(seed_dir)
    atheris.Setup([sys.argv[0]] + sys.argv[3:], make_test_one_input(target))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
