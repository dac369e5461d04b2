"""Python code must never be able to crash the interpreter through korva: whatever it passes or
replaces, bad input raises a Python exception. Each case runs in a fresh interpreter, so that a
crash fails the test rather than the test run."""
from pathlib import Path

import pytest

from conftest import run_json, run_python

TESTS = str(Path(__file__).resolve().parent)

# ---------------------------------------------------------------------------------------------
# Cipher objects that keep what update_into was given. A slice or an export of the buffer outlives
# the call; writing through it later must not reach bytes that korva returned, resized or freed.

_KEEPING_WRITER = r'''
import json, pickle, tracemalloc, types
from cryptography.hazmat.primitives.ciphers import Cipher as RealCipher
import korva.utils.mtdump as D

kept = []

def keep(buf):
    kept.append(buf[:] if KEEP == "slice" else pickle.PickleBuffer(buf))

class Fake:
    """Encrypts and decrypts as the identity, byte for byte."""
    def update_into(self, data, buf):
        keep(buf)
        n = len(data)
        buf[:n] = data
        return n
    def update(self, data):
        return bytes(data)
    def finalize(self):
        return b""

class Wrapper:
    """Around the cryptography package's own context: same bytes, but it keeps the buffer."""
    def __init__(self, inner):
        self.inner = inner
    def update_into(self, data, buf):
        keep(buf)
        return self.inner.update_into(data, buf)
    def update(self, data):
        return self.inner.update(data)
    def finalize(self):
        return self.inner.finalize()

def make_cipher(algorithm, mode, backend=None):
    if WRITER == "fake":
        return types.SimpleNamespace(encryptor=Fake, decryptor=Fake)
    real = RealCipher(algorithm, mode, backend=backend)
    return types.SimpleNamespace(encryptor=lambda: Wrapper(real.encryptor()),
                                 decryptor=lambda: Wrapper(real.decryptor()))

def patch_class():
    """The package's own context, of its own exact class, with update_into replaced on the class."""
    from cryptography.hazmat.bindings._rust import openssl
    context = openssl.ciphers.CipherContext
    original = context.update_into
    def update_into(self, data, buf):
        keep(buf)
        return original(self, data, buf)
    context.update_into = update_into

KEY = bytes(range(32))
data = bytes(range(256)) * 4096  # 1 MiB
reference = D._encrypt_data(data, KEY)
if WRITER == "patched-class":
    patch_class()
else:
    D.Cipher = make_cipher

def run():
    if DIRECTION == "decrypt":
        source = bytes(16) + data + bytes([16]) * 16 if WRITER == "fake" else reference
        return D._decrypt_data(source, KEY), data
    out = D._encrypt_data(data, KEY)
    if WRITER == "fake":
        return out[16:], data + bytes([16]) * 16
    return D._decrypt_data(out, KEY), data  # the wrapper encrypts for real: check by decrypting

tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
intact = True
for _ in range(20):
    out, expected = run()
    copy = bytes(bytearray(out))
    for view in kept:
        raw = view.raw() if KEEP == "pickle-buffer" else view
        if len(raw) >= 4 and not raw.readonly:
            raw[:4] = b"ZZZZ"
    intact = intact and out == copy == expected
    out = copy = None
retained = tracemalloc.get_traced_memory()[0] - before
print(json.dumps({"update_into_calls": len(kept), "intact": intact, "retained_mib": retained / 2**20}))
'''


@pytest.mark.parametrize("keep", ["slice", "pickle-buffer"])
@pytest.mark.parametrize("writer", ["fake", "wrapper", "patched-class"])
@pytest.mark.parametrize("direction", ["decrypt", "encrypt"])
def test_writers_other_than_the_package_own_never_get_korva_memory(direction, writer, keep):
    out = run_json(f"DIRECTION, WRITER, KEEP = {direction!r}, {writer!r}, {keep!r}\n" + _KEEPING_WRITER)
    # Replaced, wrapped or patched cipher objects run the literal update + finalize steps.
    assert out["update_into_calls"] == 0
    assert out["intact"]
    # 20 calls on 1 MiB: nothing is kept alive on behalf of a surviving export.
    assert out["retained_mib"] < 4


# ---------------------------------------------------------------------------------------------
# The finder's loader is an ordinary object on sys.meta_path: anyone can call exec_module.

@pytest.mark.parametrize("make, expected", [
    ("types.SimpleNamespace(__name__='korva.utils.hash')", "TypeError"),
    ("object()", "TypeError"),
    ("named(5)", "ImportError"),
    ("named(b'korva.utils.hash')", "ImportError"),
    ("named(None)", "ImportError"),
    ("named('korva.utils.hash\\udcff')", "ImportError"),
    ("named('korva.utils.hash\\x00')", "ImportError"),
    ("named(Name('korva.utils.hash'))", None),
    ("named('korva.utils.hash')", None),
], ids=["namespace", "object", "int-name", "bytes-name", "none-name", "surrogate-name", "nul-name",
        "str-subclass-name", "fresh-module"])
def test_exec_module_checks_its_argument(make, expected):
    out = run_json(f"""
        import json, types
        import korva.utils.hash as H
        class Name(str):
            pass
        def named(name):
            module = types.ModuleType("placeholder")
            module.__name__ = name
            return module
        target = {make}
        try:
            H.__loader__.exec_module(target)
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e)]))
        else:
            print(json.dumps([None, callable(getattr(target, "obj_to_hash", None))]))
    """)
    if expected is None:
        assert out == [None, True]
    else:
        assert out[0] == expected
        assert "module" in out[1]


@pytest.mark.parametrize("name", ["korva.\udcff", "korva.utils.\ud800", "\udcffkorva"])
def test_unencodable_module_names_are_simply_not_found(name):
    out = run_json(f"""
        import importlib, importlib.util, json
        import korva
        found = importlib.util.find_spec({name!r})
        try:
            importlib.import_module({name!r})
        except Exception as e:
            print(json.dumps([found is None, type(e).__name__]))
    """)
    assert out == [True, "ModuleNotFoundError"]


# ---------------------------------------------------------------------------------------------
# The finder copies korva.__file__ into each submodule's __file__, and the function objects carry
# it as their code's file name.

@pytest.mark.parametrize("file, expected", [
    ("'/tmp/\\udcff/korva.so'", "/tmp/\udcff/korva.so"),
    ("'/tmp/\\ud800/korva.so'", "/tmp/\ud800/korva.so"),
    ("'/tmp/caf\\u00e9/korva.so'", "/tmp/caf\u00e9/korva.so"),
    ("Path('/tmp/sub/korva.so')", "/tmp/sub/korva.so"),
    ("''", ""),
    ("None", "<korva>"),
    ("5", None),
    ("b'/tmp/korva.so'", None),
], ids=["surrogate-escape", "lone-surrogate", "non-ascii", "str-subclass", "empty", "none", "int", "bytes"])
def test_any_package_file_name_imports_or_raises(file, expected):
    out = run_json(f"""
        import inspect, json
        import korva
        class Path(str):
            pass
        korva.__file__ = {file}
        try:
            import korva.utils.hash as H, korva.utils.mtdump as D, korva.curve.mos_utils as M
        except Exception as e:
            # The import system's own handling of a module origin that is not text.
            print(json.dumps(["raised", type(e).__name__]))
            raise SystemExit
        codes = [f.__code__ for f in (H.obj_to_hash, D.save_dump, M.predict_curves_for_inputs)]
        print(json.dumps([ascii(c.co_filename) for c in codes] + [type(codes[0].co_filename).__name__,
              str(inspect.signature(D.load_dump)), len(H.obj_to_hash([1, 2]))]))
    """)
    if expected is None:
        assert out[0] == "raised" and out[1] in ("AttributeError", "TypeError")
        return
    assert out[:3] == [ascii(expected)] * 3
    assert out[3] == "str"
    assert out[4].startswith("(path: Union[str, pathlib.")
    assert out[5] == 8


@pytest.mark.parametrize("meta_path, raised", [
    ("tuple(sys.meta_path)", "AttributeError"),  # korva's own insert
    ("None", "ImportError"),  # the import system's own refusal
    ("Finders(sys.meta_path)", None),
], ids=["tuple", "none", "list-like"])
def test_reinitialised_package_with_any_meta_path(meta_path, raised):
    # A fresh `import korva` puts its finder in front of sys.meta_path, through the object's own
    # methods; one that lacks them makes the import fail with the interpreter's exception.
    out = run_json(f"""
        import json, sys
        class Finders:
            def __init__(self, items):
                self.items = list(items)
            def __len__(self):
                return len(self.items)
            def __getitem__(self, i):
                return self.items[i]
            def __iter__(self):
                return iter(self.items)
            def pop(self, i):
                return self.items.pop(i)
            def insert(self, i, item):
                self.items.insert(i, item)
        import korva
        del sys.modules["korva"]
        saved, sys.meta_path = list(sys.meta_path), {meta_path}
        try:
            import korva
        except Exception as e:
            sys.meta_path = saved
            print(json.dumps(["raised", type(e).__name__]))
        else:
            finders = [type(f).__name__ for f in sys.meta_path]
            import korva.utils.hash
            print(json.dumps([finders.count("_ModuleTreeFinder"), finders[0], len(korva.utils.hash.obj_to_hash(1))]))
    """)
    if raised:
        assert out == ["raised", raised]
    else:
        assert out == [1, "_ModuleTreeFinder", 8]


# ---------------------------------------------------------------------------------------------
# A daemon thread in the middle of a korva call when the interpreter exits: the interpreter ends
# such a thread when it next takes the GIL, so korva must not be caught holding the GIL's place.

@pytest.mark.parametrize("call", [
    'batch.predict_curves_for_frame(models, devices, "PLD", output="frame", chunk_size=50, n_jobs=2)',
    'batch.predict_curves_for_frame(models, devices, "PLD", output="frame", chunk_size=50)',
    'metrics.predict_device_metrics(models, devices, "PLD", chunk_size=50, n_jobs=2)',
    'mos_utils.predict_curves_for_inputs(models, devices.iloc[0], "PLD")',
], ids=["batch-threads", "batch", "metrics-threads", "one-device"])
def test_a_daemon_thread_inside_a_call_at_exit(call):
    proc = run_python(f"""
        import sys, threading, time
        sys.path.insert(0, {TESTS!r})
        import pandas as pd
        import curve_models as cm
        from korva.curve import batch, metrics, mos_utils
        models = cm.all_models(n_estimators=2, linear_estimators=2)
        devices = pd.DataFrame(cm.pld_inputs(400, seed=5), index=[f"P{{i}}" for i in range(400)])
        calling = threading.Event()
        def loop():
            while True:
                calling.set()
                {call}
        threading.Thread(target=loop, daemon=True).start()
        calling.wait()
        time.sleep(0.5)
        print("leaving")
    """, check=False, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "leaving\n", "")


def test_a_daemon_thread_held_up_in_a_model_does_not_hold_up_the_exit():
    # A korva worker whose model never returns: korva's exit hook gives up waiting for it, and the
    # interpreter exits all the same.
    proc = run_python(f"""
        import sys, threading
        sys.path.insert(0, {TESTS!r})
        import numpy as np, pandas as pd
        import curve_models as cm
        from korva.curve import batch
        inside, never = threading.Event(), threading.Event()
        class Stuck:
            def predict(self, X):
                inside.set()
                never.wait()
        devices = pd.DataFrame(cm.pld_inputs(4, seed=1))
        call = lambda: batch.predict_curves_for_frame({{"PLD": {{"breakdown": Stuck()}}}}, devices, "PLD",
                                                      ["breakdown"], chunk_size=1, n_jobs=2)
        threading.Thread(target=call, daemon=True).start()
        inside.wait()
        print("leaving")
    """, check=False, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "leaving\n", "")
