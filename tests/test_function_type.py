"""korva's function objects behave like Python functions: introspection, argument binding with
the interpreter's own error texts, method binding, pickling by reference, and no leaks."""
import inspect
import pickle
import sys

import cloudpickle
import dill
import pytest

from conftest import run_python
from korva.utils import hash as korva_hash

obj_to_hash = korva_hash.obj_to_hash


def reference_obj_to_hash(obj, size=5):  # same signature, for comparing interpreter messages
    return None


def test_function_attributes():
    f = obj_to_hash
    assert f.__name__ == f.__qualname__ == "obj_to_hash"
    assert f.__module__ == "korva.utils.hash"
    assert f.__doc__ is None
    assert f.__defaults__ == (5,)
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {"obj": object, "size": int, "return": str}
    assert list(f.__annotations__) == ["obj", "size", "return"]
    assert f.__globals__ is vars(korva_hash)
    assert f.__code__.co_varnames == ("obj", "size")
    assert f.__code__.co_argcount == 2
    assert isinstance(f.__dict__, dict)
    f.__dict__["marker"] = 1
    try:
        assert f.marker == 1
    finally:
        del f.marker
    assert repr(f).startswith("<function obj_to_hash at 0x")


def test_inspect_signature():
    sig = inspect.signature(obj_to_hash)
    assert str(sig) == "(obj: object, size: int = 5) -> str"
    assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2
    assert sig == inspect.signature(reference_obj_to_hash).replace(
        parameters=[p.replace(annotation=a) for p, a in
                    zip(inspect.signature(reference_obj_to_hash).parameters.values(), (object, int))],
        return_annotation=str)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3, 4), {}),
    ((1,), {"obj": 2}),
    ((1, 2), {"size": 3}),
    ((1,), {"sie": 3}),
    ((1,), {"zzzz": 3}),
    ((), {"size": 3}),
    ((1,), {"size": 3, "extra": 4}),
])
def test_binding_errors_match_def(args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference_obj_to_hash(*args, **kwargs)
    message = str(expected.value).replace("reference_obj_to_hash", "obj_to_hash")
    with pytest.raises(TypeError) as actual:
        obj_to_hash(*args, **kwargs)
    assert str(actual.value) == message


@pytest.mark.parametrize("args, kwargs", [
    (([1, 2],), {}),
    (([1, 2], 8), {}),
    (([1, 2],), {"size": 8}),
    ((), {"obj": [1, 2], "size": 8}),
    ((), {"size": 8, "obj": [1, 2]}),
])
def test_binding_positional_and_keyword(args, kwargs):
    expected_size = kwargs.get("size", args[1] if len(args) > 1 else 5)
    assert obj_to_hash(*args, **kwargs) == obj_to_hash([1, 2], expected_size)
    assert len(obj_to_hash(*args, **kwargs)) == (8 if expected_size == 5 else 16)


def test_changed_defaults_are_used():
    original = obj_to_hash.__defaults__
    try:
        obj_to_hash.__defaults__ = (10,)
        assert obj_to_hash("x") == obj_to_hash("x", 10)
        obj_to_hash.__defaults__ = None
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'size'"):
            obj_to_hash("x")
    finally:
        obj_to_hash.__defaults__ = original


def test_binds_as_method():
    class Holder:
        fingerprint = obj_to_hash

    holder = Holder()
    bound = holder.fingerprint
    assert bound.__self__ is holder and bound.__func__ is obj_to_hash
    assert Holder.fingerprint is obj_to_hash
    assert Holder.__dict__["fingerprint"].__get__(None, Holder) is obj_to_hash


@pytest.mark.parametrize("module", [pickle, dill, cloudpickle], ids=lambda m: m.__name__)
def test_pickles_by_reference(module):
    data = module.dumps(obj_to_hash)
    assert b"korva.utils.hash" in data and b"obj_to_hash" in data
    assert module.loads(data) is obj_to_hash


@pytest.mark.parametrize("module", ["pickle", "dill", "cloudpickle"])
def test_pickle_restores_in_fresh_process(module):
    data = __import__(module).dumps(obj_to_hash)
    proc = run_python(f"""
        import {module}, sys
        f = {module}.loads({data!r})
        assert "korva.utils.hash" in sys.modules
        import korva.utils.hash
        assert f is korva.utils.hash.obj_to_hash
        print(f([1, 2, 3]))
    """)
    assert proc.stdout.strip() == obj_to_hash([1, 2, 3])


def test_copies_are_the_function_itself():
    import copy
    assert copy.copy(obj_to_hash) is obj_to_hash
    assert copy.deepcopy({"f": obj_to_hash})["f"] is obj_to_hash


def test_globals_are_late_bound(monkeypatch):
    calls = []

    class RecordingDill:
        @staticmethod
        def dumps(obj):
            calls.append(obj)
            return b"fixed"

    monkeypatch.setattr(korva_hash, "dill", RecordingDill)
    assert obj_to_hash("anything") == obj_to_hash("other")
    assert calls == ["anything", "other"]
    monkeypatch.undo()
    assert obj_to_hash("anything") != obj_to_hash("other")


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(korva_hash, "base64")
    with pytest.raises(NameError, match="name 'base64' is not defined"):
        obj_to_hash(1)


def test_repeated_calls_do_not_leak():
    def exercise():
        for _ in range(200):
            obj_to_hash((1, "a"))
            obj_to_hash(obj=b"x", size=8)
            for args, kwargs in [((), {}), ((1, 2, 3), {}), ((1,), {"sz": 1}), ((1,), {"obj": 1})]:
                try:
                    obj_to_hash(*args, **kwargs)
                except TypeError:
                    pass
            try:
                obj_to_hash(1, size=0)
            except ValueError:
                pass

    exercise()  # warm caches (interned strings, suggestion module, dill internals)
    exercise()
    before = sys.getallocatedblocks()
    for _ in range(5):
        exercise()
    assert sys.getallocatedblocks() - before < 200
