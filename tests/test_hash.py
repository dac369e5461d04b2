"""korva.utils.hash.obj_to_hash: Base32 BLAKE2b fingerprints of dill pickles."""
import base64
import hashlib
import inspect

import dill
import pytest

from conftest import run_json
from korva.utils.hash import obj_to_hash


def reference(obj, size=5):
    digest = hashlib.blake2b(dill.dumps(obj), digest_size=size).digest()
    return base64.b32encode(digest).decode("utf-8").replace("=", "0")


def test_namespace_order():
    assert run_json("""
        import json, korva.utils.hash as h
        print(json.dumps([n for n in vars(h) if not n.startswith('__')]))
    """) == ["hashlib", "base64", "dill", "obj_to_hash"]


@pytest.mark.parametrize("size, length, zeros", [
    (1, 8, 6), (2, 8, 4), (3, 8, 3), (4, 8, 1), (5, 8, 0),
    (8, 16, 3), (10, 16, 0), (16, 32, 6), (32, 56, 4), (64, 104, 1),
])
@pytest.mark.parametrize("obj", [None, 0, "text", {"a": [1, 2.5, None]}, (b"\x00" * 100,)], ids=repr)
def test_fingerprint_matches_reference_for_every_size(obj, size, length, zeros):
    result = obj_to_hash(obj, size)
    assert result == reference(obj, size)
    assert len(result) == length
    assert len(result) - len(result.rstrip("0")) >= zeros
    assert set(result) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZ2345670")


def test_default_size_forms_agree():
    assert obj_to_hash([1]) == obj_to_hash([1], 5) == obj_to_hash([1], size=5) == obj_to_hash(obj=[1])
    assert obj_to_hash(1, size=True) == obj_to_hash(1, size=1)


def test_known_value_of_the_encoding_steps():
    h = hashlib.blake2b(digest_size=5)
    h.update(b"abc")
    assert base64.b32encode(h.digest()).decode("utf-8").replace("=", "0") == "IQRJ7QHP"


@pytest.mark.parametrize("obj, size, error", [
    (1, 0, ValueError),
    (1, 65, ValueError),
    (1, 2.0, TypeError),
    (1, "5", TypeError),
    ((x for x in []), 5, TypeError),      # dill cannot pickle generators
    ((x for x in []), 0, TypeError),      # the pickling step fails first
])
def test_errors_come_from_the_called_libraries_in_order(obj, size, error):
    with pytest.raises(error) as info:
        obj_to_hash(obj, size)
    if isinstance(obj, type(x for x in [])):
        assert "generator" in str(info.value)


def test_signature():
    assert str(inspect.signature(obj_to_hash)) == "(obj: object, size: int = 5) -> str"
