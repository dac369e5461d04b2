"""korva.utils.safeload's interpreter against the interpreter's own unpickler, on streams without
REDUCE: random plain values (containers shared and nested, numbers at the edges of their opcodes,
strings with surrogates) pickled by pickle with protocols 2 to 5 (and rewritten by
pickletools.optimize), then mutated byte by byte. korva accepts every unmutated stream; whatever
mutated stream korva accepts, pickle.loads accepts too and builds the same values with the same
sharing; whatever it refuses is an MTDUntrustedError or the error pickle raises itself."""
import hashlib
import io
import json
import math
import pickle
import pickletools
import random
import struct

import pytest

import korva.utils.mtdump as D
import korva.utils.safeload as S


def container(data):
    info = {"version": 1, "dump": {"checksum": hashlib.sha256(data).hexdigest(), "serializer": "pickle",
                                   "compression": "zstd", "encrypted": False}, "meta": {}}
    payload = D._compress_data(data, "zstd")
    info_bytes = json.dumps(info).encode()
    return b"MTD1" + struct.pack("<Q", len(info_bytes)) + info_bytes + struct.pack("<Q", len(payload)) + payload


@pytest.fixture
def korva_loads(monkeypatch):
    """safeload.load_dump of a stream, through a container read from memory."""
    def loads(data):
        raw = container(data)
        monkeypatch.setattr(S, "open", lambda path, mode: io.BytesIO(raw), raising=False)
        return S.load_dump("stream.mtd")
    return loads


def random_value(rng, protocol, depth=0, pool=None):
    """A plain value whose pickle has no REDUCE at this protocol; containers are now and then reused."""
    pool = [] if pool is None else pool
    kinds = ["none", "bool", "int", "float", "str"]
    if protocol >= 3:
        kinds.append("bytes")
    if protocol >= 5:
        kinds.append("bytearray")
    if depth < 4:
        kinds += ["list", "tuple", "dict"] * 2
        if protocol >= 4:
            kinds += ["set", "frozenset"]
    if pool and rng.random() < 0.15:
        return rng.choice(pool)
    kind = rng.choice(kinds)
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "int":
        return rng.choice([0, 1, 255, 256, 65535, 65536, -1, 2**31 - 1, -2**31, 2**31, 2**63, -2**70,
                           rng.getrandbits(rng.choice([7, 15, 30, 62, 200])) * rng.choice([1, -1])])
    if kind == "float":
        return rng.choice([0.0, -0.0, 1.5, math.inf, -math.inf, math.nan, 1e-310, rng.random()])
    if kind == "str":
        return "".join(rng.choice(["a", "é", "\u20ac", "\U0001f600", "\ud800", "\n", "."])
                       for _ in range(rng.choice([0, 1, 5, 300])))
    if kind == "bytes":
        return bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 3, 300])))
    if kind == "bytearray":
        return bytearray(rng.getrandbits(8) for _ in range(rng.choice([0, 3, 300])))
    n = rng.choice([0, 1, 2, 3, 4, 7])
    if kind in ("set", "frozenset"):
        items = {rng.choice([rng.getrandbits(20), str(rng.getrandbits(8)), (1, "x"), None, 2.5]) for _ in range(n)}
        value = set(items) if kind == "set" else frozenset(items)
    elif kind == "dict":
        value = {rng.choice([rng.getrandbits(16), str(rng.getrandbits(8)), (rng.getrandbits(3),), None]):
                 random_value(rng, protocol, depth + 1, pool) for _ in range(n)}
    else:
        items = [random_value(rng, protocol, depth + 1, pool) for _ in range(n)]
        value = items if kind == "list" else tuple(items)
    if kind in ("list", "dict", "set"):
        pool.append(value)
    return value


def same(a, b, pairs):
    """Equal values, float bits included, and the same sharing of mutable containers."""
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
        key = lambda x: (type(x).__name__, repr(x))  # noqa: E731
        return sorted(map(key, a)) == sorted(map(key, b))
    return False


def mutated(rng, data):
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 2, 3])):
        at = rng.randrange(len(data))
        action = rng.random()
        if action < 0.5:
            data[at] = rng.getrandbits(8)
        elif action < 0.7:
            data.insert(at, rng.getrandbits(8))
        elif action < 0.85 and len(data) > 2:
            del data[at]
        else:
            data = data[:at + 1]
    return bytes(data)


def outcome(loads, data):
    try:
        return "value", loads(data)
    except Exception as error:  # what each reader raises is part of what is compared
        return "error", error


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
@pytest.mark.parametrize("optimized", [False, True], ids=["pickled", "optimized"])
def test_plain_streams_build_what_pickle_builds(korva_loads, protocol, optimized):
    rng = random.Random(protocol * 2 + optimized)
    for _ in range(150):
        value = random_value(rng, protocol)
        data = pickle.dumps(value, protocol=protocol)
        if optimized:
            data = pickletools.optimize(data)
        assert b"R" not in {op.code.encode("latin1") for op, _, _ in pickletools.genops(data)}
        kind, got = outcome(korva_loads, data)
        assert kind == "value", (data, got)
        assert same(got, pickle.loads(data), {}), data


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_mutated_streams_agree_with_pickle(korva_loads, protocol):
    rng = random.Random(100 + protocol)
    accepted = refused = 0
    for _ in range(1500):
        data = mutated(rng, pickle.dumps(random_value(rng, protocol), protocol=protocol))
        theirs_kind, theirs = outcome(pickle.loads, data)
        ours_kind, ours = outcome(korva_loads, data)
        if ours_kind == "value":
            accepted += 1
            assert theirs_kind == "value", (data, theirs)
            assert same(ours, theirs, {}), data
        else:
            refused += 1
            assert isinstance(ours, S.MTDUntrustedError) or type(ours) is type(theirs), (data, ours, theirs)
    assert accepted > 100 and refused > 100  # both sides of the comparison were reached
