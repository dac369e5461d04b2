"""The functions of korva.utils.mtdump: signatures, key handling, codec, cipher, the container
byte layout written by save_dump, load_dump, the order of the steps, late binding of every name
the functions use, and the environment snapshots."""
import base64
import binascii
import datetime
import hashlib
import importlib.metadata
import inspect
import io
import json
import os
import pickle
import struct
import sys
import threading
import types
from pathlib import Path
from typing import Any, Dict, Literal, Optional, Union

import dill
import pytest
import zstandard
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import korva.utils.mtdump as D
from conftest import padding_is_invalid, run_json, run_python

KEY = bytes(range(32))
KEY_TEXT = base64.b64encode(KEY).decode("ascii")
OBJ = {"numbers": list(range(50)), "text": "caf\u00e9", "nested": (1.5, None, b"\x00\xff")}
SERIALIZER = Literal["pickle", "dill"]
SNAPSHOT = Dict[str, Optional[str]]

SIGNATURES = {
    "_get_environment_info": ([], (), SNAPSHOT),
    "_get_loaded_modules_info": ([], (), SNAPSHOT),
    "_generate_key": ([], (), bytes),
    "_prepare_key": ([("passphrase", Union[None, str, bytes])], (), Optional[bytes]),
    "_encrypt_data": ([("data", bytes), ("key", bytes)], (), bytes),
    "_decrypt_data": ([("data", bytes), ("key", bytes)], (), bytes),
    "_compress_data": ([("data", bytes), ("compression", Optional[str])], (), bytes),
    "_decompress_data": ([("data", bytes), ("compression", Optional[str])], (), bytes),
    "_serialize_obj": ([("obj", Any), ("serializer", SERIALIZER), ("protocol", int)], (), bytes),
    "_deserialize_obj": ([("data", bytes), ("serializer", SERIALIZER)], (), Any),
    "_calculate_checksum": ([("data", bytes)], (), str),
    "save_dump": ([("obj", Any), ("path", Union[str, Path]), ("compression", Optional[Literal["zstd"]]),
                   ("protocol", int), ("serializer", SERIALIZER),
                   ("passphrase", Union[None, str, bytes, Literal["auto"]]), ("meta", Optional[Dict[str, Any]])],
                  ("zstd", 5, "pickle", None, None), Dict[str, Union[str, Path]]),
    "load_dump": ([("path", Union[str, Path]), ("passphrase", Union[None, str, bytes]), ("checksum", Optional[str]),
                   ("return_info", bool), ("storage_options", Optional[Dict[str, str]])],
                  (None, None, False, None), Union[Any, tuple[Any, dict]]),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    params, defaults, returns = SIGNATURES[name]
    fn = getattr(D, name)
    sig = inspect.signature(fn)
    assert [p.name for p in sig.parameters.values()] == [n for n, _ in params]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert fn.__defaults__ == (defaults or None)
    assert fn.__annotations__ == {**dict(params), "return": returns}
    assert list(fn.__annotations__) == [n for n, _ in params] + ["return"]
    assert fn.__doc__ is None and fn.__module__ == "korva.utils.mtdump"


# ---- keys ---------------------------------------------------------------------------------------

class StrText(str):
    pass


class RawBytes(bytes):
    pass


@pytest.mark.parametrize("passphrase, exc, message", [
    (123, TypeError, "Passphrase must be None, str, or bytes."),
    (bytearray(32), TypeError, "Passphrase must be None, str, or bytes."),
    (memoryview(bytes(32)), TypeError, "Passphrase must be None, str, or bytes."),
    ("abc", ValueError, "Invalid base64-encoded string for passphrase."),
    ("\u00e9" * 44, ValueError, "Invalid base64-encoded string for passphrase."),
    ("", ValueError, "Encryption key must be 32 bytes long."),
    (b"", ValueError, "Encryption key must be 32 bytes long."),
    ("auto", ValueError, "Encryption key must be 32 bytes long."),
    ("my secret words", ValueError, "Invalid base64-encoded string for passphrase."),
    (base64.b64encode(bytes(31)).decode(), ValueError, "Encryption key must be 32 bytes long."),
    (bytes(33), ValueError, "Encryption key must be 32 bytes long."),
])
def test_prepare_key_rejects(passphrase, exc, message):
    with pytest.raises(exc) as info:
        D._prepare_key(passphrase)
    assert type(info.value) is exc and info.value.args == (message,)


def test_prepare_key_accepts():
    assert D._prepare_key(None) is None
    assert D._prepare_key(KEY) is KEY
    assert D._prepare_key(RawBytes(KEY)) == KEY
    assert D._prepare_key(KEY_TEXT) == KEY
    assert D._prepare_key(StrText(KEY_TEXT)) == KEY
    assert D._prepare_key(KEY_TEXT[:20] + "\n" + KEY_TEXT[20:]) == KEY


def test_base64_error_is_chained_as_context_only():
    with pytest.raises(ValueError) as info:
        D._prepare_key("abc")
    error = info.value
    assert isinstance(error.__context__, binascii.Error)
    assert error.__cause__ is None and error.__suppress_context__ is False


def test_generate_key():
    key = D._generate_key()
    assert type(key) is bytes and len(key) == 32 and key != D._generate_key()


# ---- codec ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("fn", [D._compress_data, D._decompress_data])
@pytest.mark.parametrize("compression", ["ZSTD", "", "gzip", 0])
def test_unknown_compression(fn, compression):
    with pytest.raises(ValueError) as info:
        fn(b"data", compression)
    assert info.value.args == (f"Unknown compression algorithm: {compression}",)


@pytest.mark.parametrize("fn, data", [(D._serialize_obj, OBJ), (D._deserialize_obj, b"x")])
@pytest.mark.parametrize("serializer", ["json", "PICKLE", "", None])
def test_unknown_serializer(fn, data, serializer):
    args = (data, serializer, 5) if fn is D._serialize_obj else (data, serializer)
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert info.value.args == (f"Unknown serializer: {serializer}",)


def test_codec_round_trips():
    data = b""
    assert D._compress_data(data, None) is data and D._decompress_data(data, None) is data
    s = pickle.dumps(OBJ, protocol=5)
    assert D._serialize_obj(OBJ, "pickle", 5) == s
    assert D._serialize_obj(OBJ, "pickle", 2) == pickle.dumps(OBJ, protocol=2)
    assert D._serialize_obj(OBJ, "dill", 4) == dill.dumps(OBJ, protocol=4)
    assert D._deserialize_obj(s, "pickle") == OBJ and D._deserialize_obj(dill.dumps(OBJ), "dill") == OBJ
    c = D._compress_data(s, "zstd")
    assert c == zstandard.compress(s) and D._decompress_data(c, "zstd") == s
    assert D._calculate_checksum(b"") == hashlib.sha256(b"").hexdigest()
    assert D._calculate_checksum(s) == hashlib.sha256(s).hexdigest()


# ---- cipher --------------------------------------------------------------------------------------

def decrypt_reference(payload, key):
    decryptor = Cipher(algorithms.AES(key), modes.CBC(payload[:16])).decryptor()
    padded = decryptor.update(payload[16:]) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(padded) + unpadder.finalize()


@pytest.mark.parametrize("size, expected", [(0, 32), (1, 32), (15, 32), (16, 48), (17, 48), (100_000, 100_032)])
def test_encrypt_sizes_and_round_trip(size, expected):
    data = os.urandom(size)
    payload = D._encrypt_data(data, KEY)
    assert type(payload) is bytes and len(payload) == expected
    assert decrypt_reference(payload, KEY) == data
    assert D._decrypt_data(payload, KEY) == data
    assert D._decrypt_data(bytearray(payload), KEY) == data
    other = D._encrypt_data(data, KEY)
    assert other[:16] != payload[:16] and other[16:] != payload[16:]


@pytest.mark.parametrize("damage", ["fifteen", "iv-only", "cut-last-byte", "wrong-key", "empty"])
def test_decrypt_failures(fixed_iv, damage):
    payload = D._encrypt_data(b"some compressed bytes", KEY)
    assert payload[:16] == fixed_iv and padding_is_invalid(payload, bytes(32))
    data, key = {"fifteen": (payload[:15], KEY), "iv-only": (payload[:16], KEY),
                 "cut-last-byte": (payload[:-1], KEY), "wrong-key": (payload, bytes(32)),
                 "empty": (b"", KEY)}[damage]
    expected = D.MTDFormatError if len(data) < 16 else D.MTDDecryptionError
    with pytest.raises(D.MTDError) as info:
        D._decrypt_data(data, key)
    assert type(info.value) is expected
    if expected is D.MTDFormatError:
        assert info.value.args == ("Invalid encrypted data length.",)
    else:
        assert info.value.args == ("Decryption failed. The key may be incorrect or the data may be corrupt.",)
        assert type(info.value.__context__) is ValueError
        assert info.value.__cause__ is None and info.value.__suppress_context__ is False


def test_bad_key_length_in_cipher_is_not_converted():
    payload = D._encrypt_data(b"x", KEY)
    for fn, args in [(D._encrypt_data, (b"x", bytes(7))), (D._decrypt_data, (payload, bytes(7)))]:
        with pytest.raises(ValueError) as info:
            fn(*args)
        assert not isinstance(info.value, D.MTDError)


@pytest.mark.parametrize("call, message", [
    (lambda: D._generate_key(), "cryptography"),
    (lambda: D._encrypt_data(b"x", KEY), "cryptography"),
    (lambda: D._decrypt_data(b"short", KEY), "cryptography"),  # the availability test comes first
    (lambda: D._compress_data(b"x", "zstd"), "zstandard"),
    (lambda: D._decompress_data(b"x", "zstd"), "zstandard"),
    (lambda: D._serialize_obj(1, "dill", 5), "dill"),
    (lambda: D._deserialize_obj(b"x", "dill"), "dill"),
])
def test_flags_are_read_at_each_call(monkeypatch, call, message):
    for flag in ("CRYPTOGRAPHY_AVAILABLE", "ZSTANDARD_AVAILABLE", "DILL_AVAILABLE"):
        monkeypatch.setattr(D, flag, False)
    with pytest.raises(ImportError) as info:
        call()
    assert info.value.args == (f"{message} is not installed. Please install it with 'pip install {message}'",)
    # Paths that need no package keep working.
    assert D._prepare_key(None) is None and D._prepare_key(KEY) is KEY
    assert D._compress_data(b"x", None) == b"x" and D._serialize_obj(1, "pickle", 5) == pickle.dumps(1, 5)
    with pytest.raises(ValueError, match="Unknown compression algorithm: lz4"):
        D._compress_data(b"x", "lz4")


# ---- the container layout -----------------------------------------------------------------------

def parse(path):
    raw = Path(path).read_bytes()
    assert raw[:4] == b"MTD1"
    n = struct.unpack("<Q", raw[4:12])[0]
    info_bytes = raw[12:12 + n]
    p = struct.unpack("<Q", raw[12 + n:20 + n])[0]
    payload = raw[20 + n:]
    assert len(payload) == p and len(raw) == 20 + n + p
    return info_bytes, payload


@pytest.mark.parametrize("compression", ["zstd", None])
@pytest.mark.parametrize("passphrase", [None, "auto", KEY, KEY_TEXT])
@pytest.mark.parametrize("serializer", ["pickle", "dill"])
def test_layout_and_round_trip(tmp_path, compression, passphrase, serializer):
    path = tmp_path / "x.mtd"
    before = datetime.datetime.now(datetime.timezone.utc)
    result = D.save_dump(OBJ, path, compression=compression, serializer=serializer, passphrase=passphrase,
                         meta={"who": "caf\u00e9", "n": [1, 2]})
    after = datetime.datetime.now(datetime.timezone.utc)
    serialized = (pickle if serializer == "pickle" else dill).dumps(OBJ, protocol=5)
    checksum = hashlib.sha256(serialized).hexdigest()

    info_bytes, payload = parse(path)
    info = json.loads(info_bytes)
    assert info_bytes == json.dumps(info, indent=2).encode("utf-8") and info_bytes.isascii()
    assert list(info) == ["version", "environment", "modules", "dump", "meta"] and info["version"] == 1
    assert list(info["dump"]) == ["checksum", "compression", "encrypted", "serializer", "created_on"]
    assert info["dump"]["checksum"] == checksum and info["dump"]["compression"] == compression
    assert info["dump"]["serializer"] == serializer and info["meta"] == {"who": "caf\u00e9", "n": [1, 2]}
    created = datetime.datetime.fromisoformat(info["dump"]["created_on"])
    assert before <= created <= after and info["dump"]["created_on"].endswith("+00:00")

    compressed = zstandard.compress(serialized) if compression else serialized
    encrypted = passphrase is not None
    assert info["dump"]["encrypted"] is encrypted
    assert list(result) == (["path", "checksum", "passphrase"] if encrypted else ["path", "checksum"])
    assert result["path"] is path and result["checksum"] == checksum
    if encrypted:
        key = base64.b64decode(result["passphrase"])
        assert len(result["passphrase"]) == 44 and result["passphrase"].endswith("=")
        assert passphrase == "auto" or key == KEY
        assert len(payload) == 16 + 16 * (len(compressed) // 16 + 1)
        assert decrypt_reference(payload, key) == compressed
        assert result["passphrase"] not in info_bytes.decode() and b"passphrase" not in info_bytes
    else:
        assert payload == compressed

    loaded = D.load_dump(path, passphrase=result.get("passphrase"))
    assert loaded == OBJ
    if encrypted:
        assert D.load_dump(str(path), base64.b64decode(result["passphrase"])) == OBJ


@pytest.mark.parametrize("meta, stored", [(None, {}), ({}, {}), (0, {}), ("", {}), ([], {}),
                                          ([1, "x"], [1, "x"]), ("text", "text"), ({"k": "\u2713"}, {"k": "\u2713"})])
def test_meta(tmp_path, meta, stored):
    D.save_dump(1, tmp_path / "m.mtd", meta=meta)
    info_bytes, _ = parse(tmp_path / "m.mtd")
    assert json.loads(info_bytes)["meta"] == stored
    assert len(info_bytes) == len(info_bytes.decode("ascii"))


def test_passphrase_text_is_canonical(tmp_path):
    wrapped = KEY_TEXT[:10] + "\n" + KEY_TEXT[10:]
    result = D.save_dump(OBJ, tmp_path / "k.mtd", passphrase=wrapped)
    assert result["passphrase"] == KEY_TEXT


# ---- load_dump ------------------------------------------------------------------------------------

@pytest.fixture
def saved(tmp_path):
    path = tmp_path / "saved.mtd"
    return path, D.save_dump(OBJ, path, meta={"a": 1})


def test_return_info(saved):
    path, result = saved
    obj, info = D.load_dump(path, return_info=True)
    assert obj == OBJ and list(info) == ["version", "environment", "modules", "dump", "meta"]
    assert info["dump"]["checksum"] == result["checksum"] and info["meta"] == {"a": 1}
    info["meta"]["a"] = 2
    assert D.load_dump(path, None, None, 1)[1]["meta"] == {"a": 1}
    assert D.load_dump(path, return_info=0) == OBJ


def rewrite_dump_info(path, change):
    info_bytes, payload = parse(path)
    info = json.loads(info_bytes)
    change(info["dump"])
    new = json.dumps(info, indent=2).encode()
    Path(path).write_bytes(b"MTD1" + struct.pack("<Q", len(new)) + new + struct.pack("<Q", len(payload)) + payload)


def test_caller_checksum_takes_precedence(saved):
    path, result = saved
    good = result["checksum"]
    rewrite_dump_info(path, lambda d: d.update(checksum="0" * 64))
    with pytest.raises(D.MTDChecksumError) as info:
        D.load_dump(path, checksum="")
    assert info.value.args == (f"Checksum mismatch: expected {'0' * 64}, got {good}",)
    assert D.load_dump(path, checksum=good) == OBJ
    rewrite_dump_info(path, lambda d: d.pop("checksum"))
    assert D.load_dump(path, checksum=good) == OBJ
    with pytest.raises(KeyError, match="checksum"):
        D.load_dump(path)
    for wrong in (good.upper(), good.encode()):
        with pytest.raises(D.MTDChecksumError) as info:
            D.load_dump(path, checksum=wrong)
        assert info.value.args == (f"Checksum mismatch: expected {wrong}, got {good}",)


@pytest.mark.parametrize("passphrase, exc", [("auto", ValueError), (123, TypeError), (KEY, None)])
def test_passphrase_checked_for_unencrypted_containers(saved, passphrase, exc):
    path, _ = saved
    if exc is None:
        assert D.load_dump(path, passphrase) == OBJ
    else:
        with pytest.raises(exc):
            D.load_dump(path, passphrase)


def test_encrypted_without_passphrase(tmp_path, fixed_iv):
    path = tmp_path / "e.mtd"
    D.save_dump(OBJ, path, passphrase=KEY)
    with pytest.raises(D.MTDDecryptionError) as info:
        D.load_dump(path)
    assert info.value.args == ("File is encrypted, but no passphrase was provided.",)
    assert padding_is_invalid(parse(path)[1], bytes(32))
    with pytest.raises(D.MTDDecryptionError, match="Decryption failed"):
        D.load_dump(path, bytes(32))


@pytest.mark.parametrize("content", [b"", b"MTD", b"MTD2" + bytes(30), b"\x00" * 64])
def test_not_a_container(tmp_path, content):
    path = tmp_path / "bad.mtd"
    path.write_bytes(content)
    with pytest.raises(D.MTDFormatError) as info:
        D.load_dump(path)
    assert info.value.args == ("Not a valid .mtd file.",)


@pytest.mark.parametrize("length", [2**40, 2**63, 2**64 - 1])
@pytest.mark.parametrize("field", ["info", "payload", "payload+trailing"])
def test_huge_length_fields_read_only_what_is_there(tmp_path, field, length):
    # A damaged length claims far more than the file holds: the reader takes what is there and
    # goes on with the documented steps instead of trying to reserve the claimed size.
    path = tmp_path / "huge.mtd"
    D.save_dump(OBJ, path, compression=None)
    raw = path.read_bytes()
    n = struct.unpack("<Q", raw[4:12])[0]
    at = 4 if field == "info" else 12 + n
    path.write_bytes(raw[:at] + struct.pack("<Q", length) + raw[at + 8:] + b"tail" * (field == "payload+trailing"))
    if field == "payload":
        assert D.load_dump(path) == OBJ  # the payload runs to the end of the file: nothing is missing
        return
    expected = (UnicodeDecodeError, json.JSONDecodeError) if field == "info" else D.MTDChecksumError
    with pytest.raises(expected):
        D.load_dump(path)


@pytest.mark.parametrize("size", [1_000, 300_000, 20_000_000])
def test_unseekable_stream(tmp_path, size):
    # A named pipe has no end to ask for: the payload is read in pieces up to its length.
    blob = os.urandom(size)
    source = tmp_path / "src.mtd"
    D.save_dump(blob, source, compression=None)
    raw = source.read_bytes()
    fifo = tmp_path / "pipe"
    for data, ok in [(raw, True), (raw[:-10], False)]:
        os.mkfifo(fifo)
        writer = threading.Thread(target=fifo.write_bytes, args=(data,))
        writer.start()
        try:
            if ok:
                assert D.load_dump(str(fifo)) == blob
            else:
                with pytest.raises(D.MTDChecksumError):
                    D.load_dump(str(fifo))
        finally:
            writer.join()
            fifo.unlink()


# ---- step order and late binding -------------------------------------------------------------------

HELPERS = ["_get_environment_info", "_get_loaded_modules_info", "_generate_key", "_prepare_key", "_encrypt_data",
           "_decrypt_data", "_compress_data", "_decompress_data", "_serialize_obj", "_deserialize_obj",
           "_calculate_checksum"]


@pytest.fixture
def calls(monkeypatch):
    log = []
    for name in HELPERS:
        original = getattr(D, name)

        def spy(*args, _name=name, _original=original, **kwargs):
            log.append((_name, len(args), sorted(kwargs)))
            return _original(*args, **kwargs)
        monkeypatch.setattr(D, name, spy)
    return log


class RecordingFile(io.BytesIO):
    def __init__(self, log, initial=b""):
        super().__init__(initial)
        self.log = log

    def write(self, data):
        self.log.append(("write", bytes(data)))
        return super().write(data)

    def read(self, n=-1):
        self.log.append(("read", n))
        return super().read(n)

    def close(self):
        self.log.append(("close",))
        self.stored = self.getvalue()
        super().close()


@pytest.mark.parametrize("passphrase", [None, "auto"])
def test_save_steps_and_writes(tmp_path, monkeypatch, calls, passphrase):
    files = []

    def fake_open(path, mode):
        files.append((path, mode, RecordingFile(calls)))
        return files[-1][2]
    monkeypatch.setattr(D, "open", fake_open, raising=False)
    result = D.save_dump(OBJ, "target.mtd", passphrase=passphrase)
    first = "_generate_key" if passphrase else "_prepare_key"
    steps = [first, "_serialize_obj", "_calculate_checksum", "_compress_data"]
    steps += ["_encrypt_data"] if passphrase else []
    steps += ["_get_environment_info", "_get_loaded_modules_info"]
    assert [c[0] for c in calls[:len(steps)]] == steps
    assert all(not kw for _, _, kw in calls[:len(steps)]) and calls[1][1] == 3
    writes = calls[len(steps):]
    assert [w[0] for w in writes] == ["write"] * 5 + ["close"]
    magic, info_len, info, payload_len, payload = (w[1] for w in writes[:5])
    assert magic == b"MTD1" and struct.unpack("<Q", info_len)[0] == len(info)
    assert struct.unpack("<Q", payload_len)[0] == len(payload)
    assert files[0][:2] == ("target.mtd", "wb") and files[0][2].stored[:4] == b"MTD1"
    assert result["checksum"] == json.loads(info)["dump"]["checksum"]


def test_load_steps_and_reads(tmp_path, monkeypatch, saved):
    path, result = saved
    D.save_dump(OBJ, path, passphrase=KEY)
    raw = path.read_bytes()
    log = []
    opened = []

    def fake_open(p, mode):
        opened.append((p, mode))
        return RecordingFile(log, raw)
    monkeypatch.setattr(D, "open", fake_open, raising=False)
    for name in ("_prepare_key", "_decrypt_data", "_decompress_data", "_calculate_checksum", "_deserialize_obj"):
        original = getattr(D, name)
        monkeypatch.setattr(D, name, lambda *a, _n=name, _o=original, **k: (log.append((_n, len(a))), _o(*a, **k))[1])
    assert D.load_dump("any name", KEY) == OBJ
    n = struct.unpack("<Q", raw[4:12])[0]
    p = len(raw) - 20 - n
    assert opened == [("any name", "rb")]
    assert log == [("read", 4), ("read", 8), ("read", n), ("read", 8), ("read", p), ("close",),
                   ("_prepare_key", 1), ("_decrypt_data", 2), ("_decompress_data", 2),
                   ("_calculate_checksum", 1), ("_deserialize_obj", 2)]


def test_late_bound_names(tmp_path, monkeypatch):
    path = tmp_path / "late.mtd"
    # a constant: the magic number both written and expected
    monkeypatch.setattr(D, "MAGIC_NUMBER", b"XYZ9")
    D.save_dump(OBJ, path)
    assert path.read_bytes()[:4] == b"XYZ9" and D.load_dump(path) == OBJ
    monkeypatch.undo()
    with pytest.raises(D.MTDFormatError):
        D.load_dump(path)
    # an exception class
    D.save_dump(OBJ, path)

    class Replaced(Exception):
        pass
    monkeypatch.setattr(D, "MTDChecksumError", Replaced)
    with pytest.raises(Replaced, match="Checksum mismatch"):
        D.load_dump(path, checksum="f" * 64)
    # a private helper
    monkeypatch.setattr(D, "_deserialize_obj", lambda data, serializer: ("replaced", serializer))
    assert D.load_dump(path) == ("replaced", "pickle")
    monkeypatch.setattr(D, "_serialize_obj", lambda obj, serializer, protocol: b"not a pickle")
    D.save_dump(OBJ, path)
    assert D.load_dump(path) == ("replaced", "pickle")
    # a flag
    monkeypatch.setattr(D, "ZSTANDARD_AVAILABLE", False)
    with pytest.raises(ImportError, match="zstandard is not installed"):
        D.save_dump(OBJ, path)


def test_late_bound_urlopen_and_request(saved, monkeypatch):
    path, _ = saved
    seen = []

    class Response:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            seen.append("closed")

        def read(self):
            return path.read_bytes()

    monkeypatch.setattr(D, "Request", lambda url, headers: seen.append((url, headers)) or "request")
    monkeypatch.setattr(D, "urlopen", lambda req: seen.append(req) or Response())
    assert D.load_dump("https://example.invalid/x.mtd", storage_options={"A": "b"}) == OBJ
    assert D.load_dump("http://example.invalid/y.mtd", None, None, False, {}) == OBJ
    assert seen == [("https://example.invalid/x.mtd", {"A": "b"}), "request", "closed",
                    ("http://example.invalid/y.mtd", {}), "request", "closed"]


# ---- environment snapshots -------------------------------------------------------------------------

ENV_KEYS = ["python", "scipy", "numpy", "pandas", "scikit-learn", "torch", "xgboost"]


def test_environment_info(monkeypatch):
    import numpy
    monkeypatch.setitem(sys.modules, "torch", types.ModuleType("torch"))    # no __version__
    fake = types.ModuleType("xgboost")
    fake.__version__ = (3, 0)                                                 # stored unconverted
    monkeypatch.setitem(sys.modules, "xgboost", fake)
    env = D._get_environment_info()
    assert list(env) == ENV_KEYS and env["python"] == sys.version
    assert env["numpy"] == numpy.__version__ and env["torch"] is None and env["xgboost"] == (3, 0)
    monkeypatch.setitem(sys.modules, "xgboost", None)                         # import raises ImportError
    assert D._get_environment_info()["xgboost"] is None


def test_environment_info_without_packages():
    env = run_json("""
        import json, korva.utils.mtdump as D
        print(json.dumps(D._get_environment_info()))
    """, block=("scipy", "numpy", "pandas", "sklearn", "torch", "xgboost"))
    assert list(env) == ENV_KEYS and all(env[k] is None for k in ENV_KEYS[1:])


def test_environment_info_other_errors_propagate():
    proc = run_python("""
        import korva.utils.mtdump as D
        try:
            D._get_environment_info()
        except RuntimeError as e:
            print("RuntimeError", e)
    """, block=("pandas",), block_with="RuntimeError")
    assert proc.stdout.strip() == "RuntimeError broken installation of pandas"


def test_loaded_modules_info(monkeypatch):
    import numpy  # noqa: F401
    info = D._get_loaded_modules_info()
    assert list(info) == sorted(info) and "numpy" in info and "os" not in info and "sys" not in info
    assert info["numpy"] == importlib.metadata.version("numpy")
    assert not any(k.startswith("_") or "." in k for k in info)

    asked = []

    def version(name):
        asked.append(name)
        if name == "numpy":
            raise importlib.metadata.PackageNotFoundError(name)
        return "1.0"
    for name in ("_hidden", "_hidden.sub", "zzfake._private", "aafake.x.y"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    monkeypatch.setattr(importlib.metadata, "version", version)
    info = D._get_loaded_modules_info()
    assert asked == sorted(asked) == sorted({m.split(".")[0] for m in sys.modules if not m.startswith("_")})
    assert "_hidden" not in asked and "zzfake" in asked and "aafake" in asked
    assert "numpy" not in info and info["zzfake"] == "1.0"

    def broken(name):
        raise RuntimeError("lookup failed")
    monkeypatch.setattr(importlib.metadata, "version", broken)
    with pytest.raises(RuntimeError, match="lookup failed"):
        D._get_loaded_modules_info()


# ---- pickling by reference, loading in a fresh process ------------------------------------------------

@pytest.mark.parametrize("pickler", ["pickle", "dill", "cloudpickle"])
def test_functions_and_dumps_in_a_fresh_process(tmp_path, pickler):
    module = __import__(pickler)
    path = tmp_path / "fresh.mtd"
    result = D.save_dump(OBJ, path, passphrase="auto")
    functions = module.dumps([D.save_dump, D.load_dump, D._prepare_key, D._get_environment_info])
    out = run_json(f"""
        import json, pickle
        import {pickler}
        functions = {pickler}.loads({functions!r})
        import korva.utils.mtdump as D
        import korva.utils.mtd_loader as L
        same = [f is getattr(D, f.__name__) for f in functions]
        obj = functions[1]({str(path)!r}, {result["passphrase"]!r})
        print(json.dumps([same, repr(obj), repr(L.load_dump({str(path)!r}, {result["passphrase"]!r}))]))
    """)
    assert out == [[True] * 4, repr(OBJ), repr(OBJ)]


class Delegate:
    """Forwards to a wrapped object, logging the sizes given to `update` and hiding some names."""

    def __init__(self, inner, log=None, hide=()):
        self._inner, self._log, self._hide = inner, log, hide

    def __getattr__(self, name):
        if name in self._hide:
            raise AttributeError(name)
        if name == "update" and self._log is not None:
            return lambda data: (self._log.append(len(data)), self._inner.update(data))[1]
        return getattr(self._inner, name)


@pytest.mark.parametrize("size", [0, 5, 16, 40_000])
def test_cipher_with_other_padding_and_cipher_objects(monkeypatch, fixed_iv, size):
    # Padding and cipher objects other than the package's own are driven literally (one update
    # with all the data); the bytes are the same either way.
    data = bytes(i * 7 % 251 for i in range(size))
    reference = D._encrypt_data(data, KEY)
    assert reference[:16] == fixed_iv and padding_is_invalid(reference[:16] + bytes(16), KEY)
    updates = []
    monkeypatch.setattr(D, "padding", types.SimpleNamespace(PKCS7=lambda bits: types.SimpleNamespace(
        padder=lambda: Delegate(padding.PKCS7(bits).padder(), updates),
        unpadder=lambda: Delegate(padding.PKCS7(bits).unpadder(), updates))))
    assert D._encrypt_data(data, KEY) == reference
    assert D._decrypt_data(reference, KEY) == data
    assert updates == [size, len(reference) - 16]
    with pytest.raises(D.MTDDecryptionError):
        D._decrypt_data(reference[:16] + bytes(16), KEY)
    monkeypatch.setattr(D, "Cipher", lambda *a, **k: types.SimpleNamespace(
        encryptor=lambda: Delegate(Cipher(*a, **k).encryptor(), hide=("update_into",)),
        decryptor=lambda: Delegate(Cipher(*a, **k).decryptor(), hide=("update_into",))))
    assert D._encrypt_data(data, KEY) == reference
    assert D._decrypt_data(reference, KEY) == data
    with pytest.raises(D.MTDDecryptionError):
        D._decrypt_data(reference[:-1], KEY)


@pytest.mark.parametrize("cls, method, sizes", [
    ("openssl.ciphers.CipherContext", "update", ["ciphertext", "ciphertext"]),
    ("openssl.ciphers.CipherContext", "update_into", []),  # the literal steps never call it
    ("PKCS7PaddingContext", "update", ["data"]),
    ("PKCS7UnpaddingContext", "update", ["ciphertext"]),
])
def test_cipher_shortcuts_follow_patched_classes(monkeypatch, fixed_iv, cls, method, sizes):
    # The package's classes are mutable: once a method the shortcuts stand in for is replaced on
    # the class, the steps run literally and the replacement sees every byte.
    import tracemalloc
    from cryptography.hazmat.bindings import _rust
    data = bytes(i * 7 % 251 for i in range(1 << 20))
    reference = D._encrypt_data(data, KEY)
    tracemalloc.start()
    assert D._decrypt_data(reference, KEY) == data
    peak_unpatched = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # unpatched, the cipher writes straight into the result and the unpadding cuts it in place
    assert peak_unpatched < 1.5 * len(data)

    target = _rust
    for name in cls.split("."):
        target = getattr(target, name)
    original = getattr(target, method)
    seen = []
    monkeypatch.setattr(target, method, lambda self, first, *rest: (
        seen.append(len(first)), original(self, first, *rest))[1])
    assert D._encrypt_data(data, KEY) == reference
    assert D._decrypt_data(reference, KEY) == data
    assert seen == [{"data": len(data), "ciphertext": len(reference) - 16}[size] for size in sizes]
