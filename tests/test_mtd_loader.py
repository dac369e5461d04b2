"""korva.utils.mtd_loader: the pickle-only reader with its own namespace, constants and exception
classes, reading containers written by korva.utils.mtdump.save_dump."""
import inspect
import struct
from pathlib import Path
from typing import Any, Dict, Optional, Union

import pytest

import korva.utils.mtd_loader as L
import korva.utils.mtdump as D
from conftest import padding_is_invalid, run_json

OBJ = {"a": [1, 2, 3], "b": "caf\u00e9", "c": (None, 2.5)}
KEY = bytes(range(32))

LOADER_NAMES = ["base64", "hashlib", "json", "os", "pickle", "struct", "io", "urlopen", "Request", "Path", "Any",
                "Dict", "Optional", "Union", "Cipher", "algorithms", "modes", "padding", "default_backend", "zstd",
                "MAGIC_NUMBER", "INFO_LEN_FORMAT", "PAYLOAD_LEN_FORMAT", "AES_KEY_SIZE", "IV_SIZE",
                "MTDError", "MTDFormatError", "MTDChecksumError", "MTDDecryptionError",
                "_prepare_key", "_decrypt_data", "_decompress_data", "_deserialize_obj", "_calculate_checksum",
                "load_dump"]
MTDUMP_FUNCTIONS = ["_get_environment_info", "_get_loaded_modules_info", "_generate_key", "_prepare_key",
                    "_encrypt_data", "_decrypt_data", "_compress_data", "_decompress_data", "_serialize_obj",
                    "_deserialize_obj", "_calculate_checksum", "save_dump", "load_dump"]


def test_binding_order_of_both_modules():
    names = run_json("""
        import json
        import korva.utils.mtd_loader as L, korva.utils.mtdump as D
        print(json.dumps([[n for n in vars(m) if not n.startswith('__')] for m in (L, D)]))
    """)
    assert names[0] == LOADER_NAMES
    assert names[1][-len(MTDUMP_FUNCTIONS) - 1:] == ["MTDDecryptionError"] + MTDUMP_FUNCTIONS


SIGNATURES = {
    "_prepare_key": ([("passphrase", Union[None, str, bytes])], None, Optional[bytes]),
    "_decrypt_data": ([("data", bytes), ("key", bytes)], None, bytes),
    "_decompress_data": ([("data", bytes), ("compression", Optional[str])], None, bytes),
    "_deserialize_obj": ([("data", bytes), ("serializer", str)], None, Any),
    "_calculate_checksum": ([("data", bytes)], None, str),
    "load_dump": ([("path", Union[str, Path]), ("passphrase", Union[None, str, bytes]), ("checksum", Optional[str]),
                   ("storage_options", Optional[Dict[str, str]])], (None, None, None), Any),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    params, defaults, returns = SIGNATURES[name]
    fn = getattr(L, name)
    assert list(inspect.signature(fn).parameters) == [n for n, _ in params]
    assert fn.__defaults__ == defaults and fn.__annotations__ == {**dict(params), "return": returns}
    assert fn.__module__ == "korva.utils.mtd_loader" and fn.__doc__ is None and fn is not getattr(D, name)


def test_own_exception_classes_and_constants():
    assert L.__doc__ is None and not hasattr(L, "__all__")
    for name in ("CRYPTOGRAPHY_AVAILABLE", "datetime", "sys", "Literal", "dill", "save_dump", "_encrypt_data"):
        assert not hasattr(L, name)
    assert (L.MAGIC_NUMBER, L.INFO_LEN_FORMAT, L.PAYLOAD_LEN_FORMAT, L.AES_KEY_SIZE, L.IV_SIZE) == \
        (b"MTD1", "<Q", "<Q", 32, 16)
    assert L.MTDError.__bases__ == (Exception,) and L.MTDError is not D.MTDError
    for name in ("MTDFormatError", "MTDChecksumError", "MTDDecryptionError"):
        cls = getattr(L, name)
        assert cls.__bases__ == (L.MTDError,) and cls.__module__ == "korva.utils.mtd_loader"
        assert not issubclass(cls, D.MTDError) and not issubclass(getattr(D, name), L.MTDError)


@pytest.mark.parametrize("kwargs", [{}, {"compression": None}, {"passphrase": "auto"}, {"protocol": 2}])
def test_loads_what_save_dump_writes(tmp_path, kwargs):
    path = tmp_path / "x.mtd"
    result = D.save_dump(OBJ, path, **kwargs)
    assert L.load_dump(path, result.get("passphrase")) == D.load_dump(path, result.get("passphrase")) == OBJ
    assert L.load_dump(str(path), passphrase=result.get("passphrase"), checksum=result["checksum"]) == OBJ


def test_dill_container_is_unsupported_after_the_checksum(tmp_path):
    path = tmp_path / "d.mtd"
    D.save_dump(OBJ, path, serializer="dill")
    with pytest.raises(ValueError) as info:
        L.load_dump(path)
    assert info.value.args == ("Unsupported serializer: dill. This loader only supports 'pickle'.",)
    with pytest.raises(L.MTDChecksumError, match="^Checksum mismatch: expected 0+, got "):
        L.load_dump(path, checksum="0" * 64)
    with pytest.raises(ValueError, match="^Unsupported serializer: None. This loader"):
        L._deserialize_obj(b"", None)


@pytest.mark.parametrize("content, passphrase, exc, message", [
    (b"NOPE", None, "MTDFormatError", "Not a valid .mtd file."),
    ("encrypted", None, "MTDDecryptionError", "File is encrypted, but no passphrase was provided."),
    ("encrypted", bytes(32), "MTDDecryptionError",
     "Decryption failed. The key may be incorrect or the data may be corrupt."),
    ("short-payload", KEY, "MTDFormatError", "Invalid encrypted data length."),
])
def test_errors_are_the_loaders_own(tmp_path, fixed_iv, content, passphrase, exc, message):
    path = tmp_path / "e.mtd"
    if content == b"NOPE":
        path.write_bytes(content)
    else:
        D.save_dump(OBJ, path, passphrase=KEY)
        if passphrase not in (None, KEY):
            # The container's bytes are fixed (key, IV, object); under this wrong key they end in
            # invalid padding, so the cipher step is where the load fails.
            raw = path.read_bytes()
            assert padding_is_invalid(raw[20 + struct.unpack("<Q", raw[4:12])[0]:], passphrase)
        if content == "short-payload":
            raw = path.read_bytes()
            n = struct.unpack("<Q", raw[4:12])[0]
            path.write_bytes(raw[:12 + n] + struct.pack("<Q", 5) + b"12345")
    with pytest.raises(Exception) as info:
        L.load_dump(path, passphrase)
    assert type(info.value) is getattr(L, exc) and info.value.args == (message,)
    assert not isinstance(info.value, D.MTDError)
    if "Decryption failed" in message:
        assert type(info.value.__context__) is ValueError and info.value.__cause__ is None


def test_stage_functions_without_availability_tests(monkeypatch):
    # mtdump's flags say the packages are missing; the loader's stages have no such test.
    monkeypatch.setattr(D, "ZSTANDARD_AVAILABLE", False)
    monkeypatch.setattr(D, "CRYPTOGRAPHY_AVAILABLE", False)
    data = b"payload bytes"
    compressed = L.zstd.compress(data)
    assert L._decompress_data(compressed, "zstd") == data and L._decompress_data(data, None) is data
    with pytest.raises(ValueError, match="^Unknown compression algorithm: ZSTD$"):
        L._decompress_data(data, "ZSTD")
    monkeypatch.undo()
    assert L._decrypt_data(D._encrypt_data(data, KEY), KEY) == data
    assert L._prepare_key(None) is None and L._calculate_checksum(b"") == D._calculate_checksum(b"")
    with pytest.raises(ValueError, match="^Encryption key must be 32 bytes long.$"):
        L._prepare_key("auto")


def test_fourth_positional_is_storage_options(tmp_path, monkeypatch):
    path = tmp_path / "h.mtd"
    D.save_dump(OBJ, path)
    seen = []

    class Response:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            pass

        def read(self):
            return path.read_bytes()

    monkeypatch.setattr(L, "Request", lambda url, headers: seen.append(headers) or url)
    monkeypatch.setattr(L, "urlopen", lambda req: Response())
    assert L.load_dump("http://example.invalid/h.mtd", None, None, {"X-Token": "t"}) == OBJ
    assert seen == [{"X-Token": "t"}]
    with pytest.raises(TypeError, match="unexpected keyword argument 'return_info'"):
        L.load_dump(path, return_info=True)


def test_names_are_looked_up_in_the_loaders_namespace(tmp_path, monkeypatch):
    path = tmp_path / "n.mtd"
    D.save_dump(OBJ, path)
    monkeypatch.setattr(L, "_deserialize_obj", lambda data, serializer: "loader's own")
    monkeypatch.setattr(D, "_calculate_checksum", lambda data: "mtdump's own")
    assert L.load_dump(path) == "loader's own"
    with pytest.raises(D.MTDChecksumError, match="got mtdump's own"):
        D.load_dump(path)
    monkeypatch.setattr(L, "MAGIC_NUMBER", b"OTHR")
    with pytest.raises(L.MTDFormatError):
        L.load_dump(path)
