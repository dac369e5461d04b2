"""korva.utils.safeload's budgets, measured in a fresh interpreter: small files that ask for gigabytes
or for minutes are refused at the budget, with the peak resident memory of the call and its time
well inside generous bounds (the time bound only guards against a hang: it is far from what the calls
take). Memory bounds are skipped under AddressSanitizer, whose own allocator keeps freed memory."""
import json
import os
import struct
import subprocess
import sys

import pytest
import zstandard

import korva.utils.safeload as S

from safeload_streams import Stream, container

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
HANG_GUARD_S = 60

_CHILD = r'''
import json, sys, time
import korva.utils.safeload as S
path, reader, keywords = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])

def kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))

getattr(S, reader)  # the module is loaded before the measurement
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = kib("VmRSS:")
started, result = time.perf_counter(), None
try:
    result = getattr(S, reader)(path, **keywords)
    outcome = {"error": None}
    if isinstance(result, dict):
        outcome.update(trusted=result["trusted"], message=", ".join(result["refused_opcodes"]))
except Exception as error:
    outcome = {"error": type(error).__name__, "message": str(error)}
outcome["seconds"] = time.perf_counter() - started
outcome["peak_mib"] = (kib("VmHWM:") - before) / 1024
del result
print(json.dumps(outcome))
'''


def measured(tmp_path, raw, reader="load_dump", **keywords):
    path = tmp_path / "budget.mtd"
    path.write_bytes(raw)
    proc = subprocess.run([sys.executable, "-c", _CHILD, str(path), reader, json.dumps(keywords)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def zstd_container(chunks, size):
    """A container around a Zstandard frame that states its size, made from chunks of bytes."""
    compressor = zstandard.ZstdCompressor().compressobj(size=size)
    payload = b"".join([compressor.compress(chunk) for chunk in chunks] + [compressor.flush()])
    info = json.dumps({"version": 1, "dump": {"checksum": "0" * 64, "serializer": "pickle", "compression": "zstd",
                                              "encrypted": False}, "meta": {}}).encode()
    return b"MTD1" + struct.pack("<Q", len(info)) + info + struct.pack("<Q", len(payload)) + payload


def within(outcome, peak_mib):
    assert outcome["seconds"] < HANG_GUARD_S, outcome
    if not UNDER_ASAN:
        assert outcome["peak_mib"] < peak_mib, outcome


@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_a_decompression_bomb_stops_before_it_is_inflated(tmp_path, reader):
    # 64 KiB of container, 2 GiB of stream: the frame states its size, which is past the budget
    raw = zstd_container((bytes(1 << 20) for _ in range(2048)), 2 << 30)
    assert len(raw) < 100_000
    outcome = measured(tmp_path, raw, reader)
    assert outcome["error"] == ("MTDUntrustedError" if reader == "load_dump" else None), outcome
    assert "longer than max_bytes=1073741824" in outcome["message"]
    within(outcome, 64)


def copies(n, size):
    """One byte string of `size` bytes, then `n` bytearrays copied from it through the memo."""
    stream = Stream(5).raw(b"](").value(bytes(size))
    at = stream.put()
    for _ in range(n):
        stream.global_("builtins", "bytearray").raw(b"(").get(at).raw(b"tR")
    return stream.raw(b"e.")


# stream, keywords, refusal, whether the scan refuses it too (the budget of what constructors build is
# load_dump's: scan_dump builds nothing), peak resident growth bound (MiB)
COSTS = {
    # 100 million pushes of None in a 100 KB file: the stack stops at max_items
    "items": (Stream(4).raw(b"](" + b"N" * 100_000_000 + b"e."), {"max_items": 1_000_000},
              "more than max_items=1000000", True, 96),
    # a byte string that claims a terabyte: nothing is reserved for the claim
    "a claimed length": (Stream(5).raw(b"\x8e" + struct.pack("<Q", 1 << 40)), {}, "more than max_bytes=1073741824",
                         True, 64),
    # 40 copies of one 4 MiB byte string through the memo: the budget counts what is built
    "bytes built": (copies(40, 4 << 20), {"max_bytes": 64 << 20}, "more than max_bytes=67108864", False, 160),
    # a memo index far ahead, as the interpreter's own unpickler would size its table by
    "memo index": (Stream(2).raw(b"N" + b"r" + (2**28).to_bytes(4, "little") + b"."), {}, "memo key out of order",
                   True, 64),
}


@pytest.mark.parametrize("name", COSTS)
@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_costs_stop_at_the_budget(tmp_path, name, reader):
    stream, keywords, refusal, scan_refuses, peak_mib = COSTS[name]
    outcome = measured(tmp_path, container(stream), reader, **keywords)
    if reader == "scan_dump":
        assert outcome["error"] is None and outcome["trusted"] is (not scan_refuses), outcome
        assert not scan_refuses or refusal in outcome["message"]
    else:
        assert outcome["error"] == "MTDUntrustedError" and refusal in outcome["message"], outcome
    within(outcome, peak_mib)


def test_colliding_dict_keys_cost_no_quadratic_time(tmp_path):
    # 100,000 int keys of one hash value take the interpreter's own unpickler minutes
    stream = Stream(5).raw(b"}(")
    for k in range(1, 100_000):
        stream.int(k * (2**61 - 1) + 1).value(None)
    outcome = measured(tmp_path, container(stream.raw(b"u.")))
    assert outcome["error"] == "MTDUntrustedError" and "keys that share one hash value" in outcome["message"]
    within(outcome, 64)


@pytest.mark.parametrize("reader, peak_mib", [("scan_dump", 48), ("load_dump", 400)])
def test_one_long_string_costs_linear_time(tmp_path, reader, peak_mib):
    # 64 MB in one string, streamed in pieces: the scan keeps none of it, the load builds it once
    stream = Stream(4).raw(b"\x8d" + struct.pack("<Q", 64 << 20) + b"x" * (64 << 20) + b".")
    outcome = measured(tmp_path, container(stream), reader)
    assert outcome["error"] is None and (reader == "load_dump" or outcome["trusted"]), outcome
    within(outcome, peak_mib)


@pytest.mark.parametrize("keyword, value, error", [("max_bytes", 0, ValueError), ("max_items", -1, ValueError),
                                                   ("max_bytes", 1.5, TypeError), ("max_items", True, TypeError),
                                                   ("timeout", 0, ValueError), ("timeout", "60", TypeError)])
@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_budget_keywords_are_checked(tmp_path, keyword, value, error, reader):
    path = tmp_path / "x.mtd"
    path.write_bytes(container(Stream(5).value(None).stop()))
    with pytest.raises(error, match=keyword):
        getattr(S, reader)(path, **{keyword: value})
    result = getattr(S, reader)(path, max_bytes=1 << 70, max_items=10**30, timeout=None)  # past 2**62: no limit
    assert result is None if reader == "load_dump" else result["trusted"]


def test_defaults_are_documented_constants():
    import inspect
    for reader in (S.load_dump, S.scan_dump):
        parameters = inspect.signature(reader).parameters
        assert parameters["max_bytes"].default == S.DEFAULT_MAX_BYTES == 1 << 30
        assert parameters["max_items"].default == S.DEFAULT_MAX_ITEMS == 10_000_000
        assert parameters["timeout"].default == 60.0
