"""atheris harness for the parts of korva that read untrusted bytes.

    python fuzz/harness.py TARGET SEED_DIR [libFuzzer options and corpus directories]

Targets:
  mtdump      korva.utils.mtdump.load_dump on a whole container
  mtd_loader  korva.utils.mtd_loader.load_dump on a whole container
  stages      the stage functions on their own: _decrypt_data and _decompress_data of both modules,
              _prepare_key, and containers assembled from fuzzed header and length fields

The first byte of every input is a control byte: it picks the stream the reader gets (seekable,
unseekable, short reads), the passphrase form, and for `stages` the function. SEED_DIR is filled at
start with containers made by save_dump (plain, zstd, encrypted, dill, numpy and pandas objects):
no binary samples live in the repository.

Bad input must raise a Python exception; anything else (a crash, a sanitizer report, a hang past
libFuzzer's -timeout) is a finding. SystemError counts as a finding too: it is how a C-API misuse
surfaces. Payloads are only ever loaded through an allow-listed unpickler, so a mutated pickle can
build plain data, numpy and pandas objects but call nothing else.
"""
import base64
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


TARGETS = {
    "mtdump": lambda data, control: load(D, data, control),
    "mtd_loader": lambda data, control: load(L, data, control),
    "stages": stages,
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


def write_seeds(target, seed_dir):
    os.makedirs(seed_dir, exist_ok=True)
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
    atheris.Setup([sys.argv[0]] + sys.argv[3:], make_test_one_input(target))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
