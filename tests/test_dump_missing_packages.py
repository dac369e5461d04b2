"""korva.utils.mtdump with optional packages missing: the module still imports, its flags say
what is missing, and each function raises the "not installed" ImportError only at the step that
needs the missing package. korva.utils.mtd_loader, korva.utils and the dill-less case do not
import at all. Every case runs in a fresh interpreter with the packages made unimportable."""
import base64
import json
import textwrap

import pytest

import korva.utils.mtdump as D
from conftest import run_json, run_python

CRYPTO_MSG = "cryptography is not installed. Please install it with 'pip install cryptography'"
ZSTD_MSG = "zstandard is not installed. Please install it with 'pip install zstandard'"
DILL_MSG = "dill is not installed. Please install it with 'pip install dill'"
OBJ = {"a": [1, 2, 3], "b": "text", "c": (4.5, None)}
KEY = bytes(range(32))
KEY_TEXT = base64.b64encode(KEY).decode("ascii")

# Child prelude: `attempt` runs a call and reports ["ok", value] or [exception class, message];
# `spy` wraps the stage functions of the module so the child can report which of them ran.
PRELUDE = """
import json, os, sys
import korva.utils.mtdump as D
OBJ = {"a": [1, 2, 3], "b": "text", "c": (4.5, None)}
calls = []
def spy(name):
    real = getattr(D, name)
    def wrapper(*args, **kwargs):
        calls.append(name)
        return real(*args, **kwargs)
    setattr(D, name, wrapper)
for _name in ("_generate_key", "_prepare_key", "_serialize_obj", "_compress_data", "_encrypt_data",
              "_decrypt_data", "_decompress_data", "_deserialize_obj"):
    spy(_name)
def attempt(fn):
    del calls[:]
    try:
        value = fn()
    except Exception as e:
        return [type(e).__name__, str(e), list(calls)]
    return ["ok", value is True or value == OBJ, list(calls)]
"""


def child(body, prelude=PRELUDE):
    return prelude + textwrap.dedent(body)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Containers written with every package present, for the children to read."""
    d = tmp_path_factory.mktemp("made")
    files = {}
    for name, kwargs in {"plain": dict(compression=None), "zstd": {},
                         "plain-enc": dict(compression=None, passphrase=KEY),
                         "zstd-enc": dict(passphrase=KEY), "dill": dict(serializer="dill")}.items():
        files[name] = str(d / f"{name}.mtd")
        D.save_dump(OBJ, files[name], **kwargs)
    files["dir"] = str(d)
    return files


FLAGS = """
import json, korva.utils.mtdump as D
names = ["Cipher", "algorithms", "modes", "padding", "default_backend", "zstd", "dill"]
print(json.dumps([D.CRYPTOGRAPHY_AVAILABLE, D.ZSTANDARD_AVAILABLE, D.DILL_AVAILABLE,
                  [n for n in names if hasattr(D, n)]]))
"""


@pytest.mark.parametrize("block, expected", [
    ((), [True, True, True, ["Cipher", "algorithms", "modes", "padding", "default_backend", "zstd", "dill"]]),
    (("cryptography",), [False, True, True, ["zstd", "dill"]]),
    (("zstandard",), [True, False, True, ["Cipher", "algorithms", "modes", "padding", "default_backend", "dill"]]),
    (("cryptography", "zstandard"), [False, False, True, ["dill"]]),
], ids=["none", "cryptography", "zstandard", "both"])
def test_flags_and_bound_names(block, expected):
    assert run_json(FLAGS, block=block) == expected


def test_without_cryptography(made):
    out = run_json(child(f"""
        target = os.path.join({made['dir']!r}, "nocrypto.mtd")
        r = {{}}
        r["auto"] = attempt(lambda: D.save_dump(OBJ, target, passphrase="auto"))
        r["auto_file"] = os.path.exists(target)
        r["text_key"] = attempt(lambda: D.save_dump(OBJ, target, passphrase={KEY_TEXT!r}))
        r["bytes_key"] = attempt(lambda: D.save_dump(OBJ, target, compression=None, passphrase={KEY!r}))
        r["key_file"] = os.path.exists(target)
        r["short_key"] = attempt(lambda: D.save_dump(OBJ, target, passphrase=b"short"))
        r["prepare_none"] = D._prepare_key(None) is None
        r["prepare_text"] = D._prepare_key({KEY_TEXT!r}) == {KEY!r}
        r["generate"] = attempt(D._generate_key)
        r["encrypt"] = attempt(lambda: D._encrypt_data(b"data", {KEY!r}))
        r["decrypt_short"] = attempt(lambda: D._decrypt_data(b"short", {KEY!r}))
        r["save_plain"] = attempt(lambda: D.save_dump(OBJ, target)["checksum"] is not None)
        r["load_plain"] = attempt(lambda: D.load_dump(target))
        r["load_plain_with_key"] = attempt(lambda: D.load_dump(target, passphrase={KEY!r}))
        r["load_enc"] = attempt(lambda: D.load_dump({made['zstd-enc']!r}, passphrase={KEY_TEXT!r}))
        r["load_enc_no_key"] = attempt(lambda: D.load_dump({made['zstd-enc']!r}))
        print(json.dumps(r))
        """), block=("cryptography",))
    # "auto" fails at the key step, before anything is serialized or written.
    assert out["auto"] == ["ImportError", CRYPTO_MSG, ["_generate_key"]]
    assert out["auto_file"] is False
    # A given key is only prepared; the missing package shows at the encryption step.
    assert out["text_key"] == ["ImportError", CRYPTO_MSG,
                               ["_prepare_key", "_serialize_obj", "_compress_data", "_encrypt_data"]]
    assert out["bytes_key"] == ["ImportError", CRYPTO_MSG,
                                ["_prepare_key", "_serialize_obj", "_compress_data", "_encrypt_data"]]
    assert out["key_file"] is False
    assert out["short_key"][:2] == ["ValueError", "Encryption key must be 32 bytes long."]
    assert out["prepare_none"] and out["prepare_text"]
    assert out["generate"][:2] == out["encrypt"][:2] == out["decrypt_short"][:2] == ["ImportError", CRYPTO_MSG]
    assert out["save_plain"][0] == "ok"
    assert out["load_plain"][:2] == ["ok", True]
    assert out["load_plain_with_key"][:2] == ["ok", True]
    assert out["load_enc"] == ["ImportError", CRYPTO_MSG, ["_prepare_key", "_decrypt_data"]]
    assert out["load_enc_no_key"] == ["MTDDecryptionError", "File is encrypted, but no passphrase was provided.",
                                      ["_prepare_key"]]


def test_without_zstandard(made):
    out = run_json(child(f"""
        target = os.path.join({made['dir']!r}, "nozstd.mtd")
        r = {{}}
        r["default"] = attempt(lambda: D.save_dump(OBJ, target))
        r["auto"] = attempt(lambda: D.save_dump(OBJ, target, passphrase="auto"))
        r["file"] = os.path.exists(target)
        r["unknown"] = attempt(lambda: D._compress_data(b"x", "gzip"))
        r["unknown_back"] = attempt(lambda: D._decompress_data(b"x", "ZSTD"))
        data = b"same object"
        r["none_identity"] = D._compress_data(data, None) is data and D._decompress_data(data, None) is data
        r["decompress"] = attempt(lambda: D._decompress_data(b"", "zstd"))
        res = D.save_dump(OBJ, target, compression=None, passphrase="auto")
        r["load_saved"] = attempt(lambda: D.load_dump(target, passphrase=res["passphrase"]))
        r["load_plain"] = attempt(lambda: D.load_dump({made['plain']!r}))
        r["load_zstd"] = attempt(lambda: D.load_dump({made['zstd']!r}))
        r["load_zstd_enc"] = attempt(lambda: D.load_dump({made['zstd-enc']!r}, passphrase={KEY!r}))
        print(json.dumps(r))
        """), block=("zstandard",))
    assert out["default"] == ["ImportError", ZSTD_MSG, ["_prepare_key", "_serialize_obj", "_compress_data"]]
    assert out["auto"] == ["ImportError", ZSTD_MSG, ["_generate_key", "_serialize_obj", "_compress_data"]]
    assert out["file"] is False
    assert out["unknown"][:2] == ["ValueError", "Unknown compression algorithm: gzip"]
    assert out["unknown_back"][:2] == ["ValueError", "Unknown compression algorithm: ZSTD"]
    assert out["none_identity"] is True
    assert out["decompress"][:2] == ["ImportError", ZSTD_MSG]
    assert out["load_saved"][:2] == ["ok", True]
    assert out["load_plain"][:2] == ["ok", True]
    assert out["load_zstd"] == ["ImportError", ZSTD_MSG, ["_prepare_key", "_decompress_data"]]
    assert out["load_zstd_enc"] == ["ImportError", ZSTD_MSG, ["_prepare_key", "_decrypt_data", "_decompress_data"]]


def test_without_cryptography_and_zstandard(made):
    out = run_json(child(f"""
        target = os.path.join({made['dir']!r}, "neither.mtd")
        r = {{}}
        r["default"] = attempt(lambda: D.save_dump(OBJ, target))
        r["auto"] = attempt(lambda: D.save_dump(OBJ, target, compression=None, passphrase="auto"))
        r["file"] = os.path.exists(target)
        r["save_plain"] = attempt(lambda: D.save_dump(OBJ, target, compression=None)["path"] == target)
        r["load_saved"] = attempt(lambda: D.load_dump(target))
        r["load_plain"] = attempt(lambda: D.load_dump({made['plain']!r}))
        r["load_zstd_enc"] = attempt(lambda: D.load_dump({made['zstd-enc']!r}, passphrase={KEY!r}))
        print(json.dumps(r))
        """), block=("cryptography", "zstandard"))
    assert out["default"][:2] == ["ImportError", ZSTD_MSG]
    assert out["auto"] == ["ImportError", CRYPTO_MSG, ["_generate_key"]]
    assert out["file"] is False
    assert out["save_plain"][:2] == ["ok", True]
    assert out["load_saved"][:2] == ["ok", True]
    assert out["load_plain"][:2] == ["ok", True]
    # decryption comes first, so the cryptography message wins
    assert out["load_zstd_enc"][:2] == ["ImportError", CRYPTO_MSG]


IMPORTS = """
import importlib, json, sys
r = {}
for name in NAMES:
    try:
        importlib.import_module(name)
        r.setdefault(name, []).append(["ok"])
    except BaseException as e:
        r.setdefault(name, []).append([type(e).__name__, str(e), getattr(e, "name", None)])
r["loaded"] = sorted(m for m in sys.modules if m.startswith("korva"))
print(json.dumps(r))
"""


@pytest.mark.parametrize("block", [("dill",), ("cryptography", "zstandard", "dill")], ids=["dill", "all-three"])
def test_without_dill_utils_does_not_import(block):
    out = run_json("NAMES = ['korva', 'korva.curve', 'korva.utils.mtdump', 'korva.utils', 'korva.utils.hash',"
                   " 'korva.utils.mtd_loader']" + IMPORTS, block=block)
    assert out["korva"] == [["ok"]] and out["korva.curve"] == [["ok"]]
    for name in ("korva.utils.mtdump", "korva.utils", "korva.utils.hash", "korva.utils.mtd_loader"):
        assert [(kind, missing) for kind, _, missing in out[name]] == [("ModuleNotFoundError", "dill")], name
    assert out["loaded"] == ["korva", "korva.curve"]


@pytest.mark.parametrize("package", ["cryptography", "zstandard"])
def test_loader_needs_cryptography_and_zstandard(package):
    out = run_json("NAMES = ['korva.utils.mtdump', 'korva.utils.mtd_loader']" + IMPORTS, block=(package,))
    assert out["korva.utils.mtdump"] == [["ok"]]
    [[kind, _, name]] = out["korva.utils.mtd_loader"]
    assert kind == "ModuleNotFoundError" and name.split(".")[0] == package
    assert "korva.utils.mtd_loader" not in out["loaded"]
    assert "korva.utils.mtdump" in out["loaded"]


@pytest.mark.parametrize("package", ["cryptography", "zstandard", "dill"])
def test_broken_package_breaks_the_import(package):
    # Only ImportError is caught by the guards: any other error while importing an optional
    # package makes the whole import fail, every time it is tried.
    out = run_json("NAMES = ['korva', 'korva.utils.mtdump', 'korva.utils.mtdump', 'korva.curve']"
                   + IMPORTS, block=(package,),
                   block_with="RuntimeError")
    assert out["korva"] == [["ok"]] and out["korva.curve"] == [["ok"]]
    assert out["korva.utils.mtdump"] == [["RuntimeError", f"broken installation of {package}", None]] * 2
    assert "korva.utils.mtdump" not in out["loaded"] and "korva.utils" not in out["loaded"]


def test_dill_flag_false(made):
    # dill cannot be missing for a normal import (korva.utils.hash needs it), so the flag is turned
    # off in the module; the functions read it at each call.
    out = run_json(child(f"""
        D.DILL_AVAILABLE = False
        target = os.path.join({made['dir']!r}, "nodill.mtd")
        r = {{}}
        r["save"] = attempt(lambda: D.save_dump(OBJ, target, serializer="dill"))
        r["file"] = os.path.exists(target)
        r["serialize"] = attempt(lambda: D._serialize_obj(1, "dill", 5))
        r["deserialize"] = attempt(lambda: D._deserialize_obj(b"", "dill"))
        r["unknown"] = attempt(lambda: D._serialize_obj(1, "json", 5))
        r["load_dill"] = attempt(lambda: D.load_dump({made['dill']!r}))
        r["load_dill_bad_checksum"] = attempt(lambda: D.load_dump({made['dill']!r}, checksum="0" * 64))
        r["load_pickle"] = attempt(lambda: D.load_dump({made['zstd']!r}))
        r["save_pickle"] = attempt(lambda: D.save_dump(OBJ, target)["path"] == target)
        print(json.dumps(r))
        """))
    assert out["save"] == ["ImportError", DILL_MSG, ["_prepare_key", "_serialize_obj"]]
    assert out["file"] is False
    assert out["serialize"][:2] == out["deserialize"][:2] == ["ImportError", DILL_MSG]
    assert out["unknown"][:2] == ["ValueError", "Unknown serializer: json"]
    assert out["load_dill"] == ["ImportError", DILL_MSG, ["_prepare_key", "_decompress_data", "_deserialize_obj"]]
    assert out["load_dill_bad_checksum"][0] == "MTDChecksumError"
    assert out["load_pickle"][:2] == ["ok", True]
    assert out["save_pickle"][:2] == ["ok", True]


def test_dill_missing_only_for_mtdump(made):
    # dill is importable while korva.utils.hash loads and unimportable once korva.utils.mtdump is
    # requested: the guarded import in mtdump then takes its ImportError branch for real.
    poisoned = PRELUDE.replace("import korva.utils.mtdump as D", """
class _PoisonDill:
    fired = False
    def find_spec(self, name, path=None, target=None):
        if name == "korva.utils.mtdump" and "dill" in sys.modules:
            sys.modules["dill"] = None
            _PoisonDill.fired = True
        return None
import korva  # its finder may place itself first on sys.meta_path; the poison goes ahead of it
sys.meta_path.insert(0, _PoisonDill())
import korva.utils.mtdump as D
""")
    out = run_json(child(f"""
        import korva.utils.hash
        r = {{"fired": _PoisonDill.fired, "flag": D.DILL_AVAILABLE, "bound": "dill" in vars(D),
              "others": [D.CRYPTOGRAPHY_AVAILABLE, D.ZSTANDARD_AVAILABLE],
              "hash": len(korva.utils.hash.obj_to_hash([1, 2]))}}
        target = os.path.join({made['dir']!r}, "poisoned.mtd")
        r["save"] = attempt(lambda: D.save_dump(OBJ, target, serializer="dill"))
        r["load_dill"] = attempt(lambda: D.load_dump({made['dill']!r}))[:2]
        r["load_pickle"] = attempt(lambda: D.load_dump({made['zstd']!r}))[:2]
        print(json.dumps(r))
        """, poisoned))
    if not out["fired"]:
        pytest.skip("korva.utils.mtdump was not requested through sys.meta_path")
    assert out["flag"] is False and out["bound"] is False and out["others"] == [True, True]
    assert out["hash"] == 8
    assert out["save"] == ["ImportError", DILL_MSG, ["_prepare_key", "_serialize_obj"]]
    assert out["load_dill"] == ["ImportError", DILL_MSG]
    assert out["load_pickle"] == ["ok", True]
