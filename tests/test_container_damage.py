"""Damaged MTD containers: both readers either raise one of the documented error kinds or return
an object equal to the one saved; they never crash, never hand back a wrong object, never leave a
file open and never allocate memory for a length field's claim before checking the stream.

The damage loop runs in a fresh interpreter so that a crash fails the test instead of pytest, and so
that its address-space limit and peak-RSS measurement cover only the readers."""
import json
import os
import pickle
import shutil
import struct
import tempfile
import threading

import pytest

import korva.utils.mtd_loader as L
import korva.utils.mtdump as D
from conftest import run_python

# The child builds three valid containers with save_dump, derives the damaged ones, loads each with
# both readers and with a small model reader written from the container's rules, and reports every
# case whose outcome is not acceptable. Its last line of output is one JSON document.
_DAMAGE_CHILD = r'''
import base64, gc, hashlib, json, os, pickle, resource, struct, sys, warnings
import zstandard
from cryptography.hazmat.primitives import padding as _padding
from cryptography.hazmat.primitives.ciphers import Cipher as _Cipher, algorithms as _alg, modes as _modes
import korva.utils.mtdump as D
import korva.utils.mtd_loader as L

OBJ = {"ints": list(range(300)), "text": "damage test \u2713" * 4, "blob": bytes(range(256)),
       "nested": {"t": (1, 2.5, None, True), "s": frozenset({1, 2, 3})}, "f": -0.125}
READERS = {"mtdump": D, "mtd_loader": L}

unraisable = []
sys.unraisablehook = lambda u: unraisable.append(repr(u.exc_value))
warnings.simplefilter("error", ResourceWarning)

FD_DIR = "/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"

def fds():
    return len(os.listdir(FD_DIR))

def vm_bytes():
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None

# -------- the model reader: the documented reading steps, with every read clamped to the stream
def model_load(data, M, passphrase=None, checksum=None):
    pos = 0
    def read(n):
        nonlocal pos
        chunk = data[pos:pos + n]
        pos += len(chunk)
        return chunk
    if read(4) != b"MTD1":
        raise M.MTDFormatError("Not a valid .mtd file.")
    info_len = struct.unpack("<Q", read(8))[0]
    info = json.loads(read(info_len).decode("utf-8"))
    payload_len = struct.unpack("<Q", read(8))[0]
    payload = read(payload_len)
    dump = info["dump"]
    encrypted = dump["encrypted"]
    key = M._prepare_key(passphrase)
    if encrypted and not key:
        raise M.MTDDecryptionError("File is encrypted, but no passphrase was provided.")
    if encrypted:
        if len(payload) < 16:
            raise M.MTDFormatError("Invalid encrypted data length.")
        dec = _Cipher(_alg.AES(key), _modes.CBC(payload[:16])).decryptor()
        try:
            padded = dec.update(payload[16:]) + dec.finalize()
            unp = _padding.PKCS7(128).unpadder()
            payload = unp.update(padded) + unp.finalize()
        except ValueError:
            raise M.MTDDecryptionError("Decryption failed. The key may be incorrect or the data may be corrupt.")
    compression = dump["compression"]
    if compression is None:
        serialized = payload
    elif compression == "zstd":
        serialized = zstandard.decompress(payload)
    else:
        raise ValueError(f"Unknown compression algorithm: {compression}")
    expected = checksum if checksum else dump["checksum"]
    actual = hashlib.sha256(serialized).hexdigest()
    if actual != expected:
        raise M.MTDChecksumError(f"Checksum mismatch: expected {expected}, got {actual}")
    serializer = dump["serializer"]
    if serializer == "pickle":
        return pickle.loads(serialized)
    if serializer == "dill" and M is D:
        import dill
        return dill.loads(serialized)
    raise ValueError(f"serializer {serializer}")

def outcome(fn):
    try:
        result = fn()
    except Exception as e:
        kind = type(e).__module__ + "." + type(e).__qualname__
        if isinstance(e, KeyError):
            kind += repr(e.args)
        return ("raise", kind, e)
    return ("return", result == OBJ, None)

def documented(M):
    return (M.MTDError, ValueError, TypeError, KeyError, struct.error, zstandard.ZstdError,
            pickle.UnpicklingError, EOFError)

# -------- the valid containers: a fixed key and IV, so that every payload, every damage done to it
# and what each wrong key makes of it are the same on every run
work = WORKDIR
containers = {}
D.os = type(sys)("fixed_random")
D.os.urandom = lambda n: bytes(range(0xA0, 0xA0 + n))
for mode, kwargs in {"plain": dict(compression=None), "zstd": dict(compression="zstd"),
                     "encrypted": dict(compression="zstd", passphrase=bytes(range(32)))}.items():
    p = os.path.join(work, f"good-{mode}.mtd")
    res = D.save_dump(OBJ, p, meta={"note": "original", "n": 1}, **kwargs)
    with open(p, "rb") as fh:
        containers[mode] = (fh.read(), res.get("passphrase"))
D.os = os

# -------- the damaged ones
def fields(good):
    n = struct.unpack_from("<Q", good, 4)[0]
    p = struct.unpack_from("<Q", good, 12 + n)[0]
    assert len(good) == 20 + n + p
    return n, p

def assemble(info_bytes, payload, info_len=None, payload_len=None):
    return (b"MTD1" + struct.pack("<Q", len(info_bytes) if info_len is None else info_len) + info_bytes
            + struct.pack("<Q", len(payload) if payload_len is None else payload_len) + payload)

HUGE = (2**32, 2**62, 2**63, 2**64 - 1)

def cases(good):
    n, p = fields(good)
    end = len(good)
    info_bytes, payload = good[12:12 + n], good[20 + n:]
    bounds = {"magic": 0, "info_len": 4, "info": 12, "payload_len": 12 + n, "payload": 20 + n, "end": end}
    # truncation at and around every field boundary, and at sampled points inside the fields
    cuts = {c for b in bounds.values() for c in range(b - 3, b + 4) if 0 <= c <= end}
    cuts |= set(range(0, end, max(1, end // 60)))
    for c in sorted(cuts):
        yield f"truncate@{c}", good[:c], {}
    yield "trailing-bytes", good + b"\x00MTD1 trailing", {}
    # single flipped bytes: every byte of the small fields and of the "dump" record, samples elsewhere
    text = info_bytes.decode("ascii")
    d0 = 12 + text.index('"dump"')
    d1 = 12 + text.index("}", d0 - 12) + 1
    spots = set(range(0, 12)) | set(range(12 + n, 20 + n)) | set(range(d0, d1))
    spots |= set(range(12, 12 + n, 11)) | set(range(20 + n, min(end, 20 + n + 48)))
    spots |= set(range(max(20 + n, end - 48), end)) | set(range(20 + n, end, max(1, p // 40)))
    for i in sorted(spots):
        for mask in ((0x01, 0x80, 0xFF) if d0 <= i < d1 or i < 20 else (0x01, 0xFF)):
            bad = bytearray(good)
            bad[i] ^= mask
            yield f"flip@{i}^{mask:#x}", bytes(bad), {}
    # length fields set to zero, to the exact and remaining sizes +-1, and to huge values
    for v in (0, 1, 8, n - 1, n + 1, end - 12 - 1, end - 12, end - 12 + 1) + HUGE:
        yield f"info_len={v}", good[:4] + struct.pack("<Q", v) + good[12:], {}
    for v in (0, 1, 15, 16, 17, p - 1, p + 1, p - 16, p + 16) + HUGE:
        yield f"payload_len={v}", good[:12 + n] + struct.pack("<Q", v) + payload, {}
        yield f"payload_len={v}+trailing", good[:12 + n] + struct.pack("<Q", v) + payload + b"\x01" * 40, {}
    # dump info that is not JSON, not an object, or misses one of the keys the readers use
    for label, raw in {"empty": b"", "not-json": b"not json", "open-brace": b"{", "bad-utf8": b"\xff\xfe{}",
                       "utf8-bom": b"\xef\xbb\xbf{}", "nul": b"\x00"}.items():
        yield f"info={label}", assemble(raw, payload), {}
    info = json.loads(text)
    for label, value in {"list": [1, 2], "number": 42, "string": "dump", "null": None, "true": True,
                         "dump-list": {"dump": [info["dump"]]}, "dump-string": {"dump": "x"},
                         "dump-null": {"dump": None}}.items():
        yield f"info={label}", assemble(json.dumps(value).encode(), payload), {}
    without = dict(info); del without["dump"]
    yield "info-without-dump", assemble(json.dumps(without, indent=2).encode(), payload), {}
    for key in ("encrypted", "compression", "checksum", "serializer"):
        changed = json.loads(text); del changed["dump"][key]
        yield f"dump-without-{key}", assemble(json.dumps(changed, indent=2).encode(), payload), {}
    changed = json.loads(text); del changed["dump"]["checksum"]
    yield "dump-without-checksum+caller-checksum", assemble(json.dumps(changed).encode(), payload), \
        {"checksum": info["dump"]["checksum"]}
    for key, value in (("compression", "ZSTD"), ("compression", ""), ("serializer", "json"),
                       ("serializer", "dill"), ("checksum", info["dump"]["checksum"].upper()),
                       ("checksum", None), ("encrypted", not info["dump"]["encrypted"]),
                       ("encrypted", "yes"), ("compression", None if info["dump"]["compression"] else "zstd")):
        changed = json.loads(text); changed["dump"][key] = value
        yield f"dump[{key}]={value!r}", assemble(json.dumps(changed, indent=2).encode(), payload), {}
    for key, value in (("version", 2), ("meta", [1, "x"]), ("environment", None), ("modules", "none")):
        changed = json.loads(text); changed[key] = value
        yield f"info[{key}]={value!r}", assemble(json.dumps(changed).encode(), payload), {}

results = {}
base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
# No reader may reserve address space for what a length field claims: leave 1.5 GiB of headroom
# (where the address space in use can be read).
if vm_bytes() is not None:
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (3 << 29), resource.RLIM_INFINITY))
path = os.path.join(SCRATCH, "damaged.mtd")
count = 0
for mode, (good, passphrase) in containers.items():
    wrong_keys = [bytes([k]) * 32 for k in range(1, 6)] if passphrase else []
    all_cases = list(cases(good))
    all_cases += [(f"wrong-key-{i}", good, {"passphrase": k}) for i, k in enumerate(wrong_keys)]
    for label, data, kw in all_cases:
        kw = {"passphrase": passphrase, **kw}
        with open(path, "wb") as fh:
            fh.write(data)
        for rname, R in READERS.items():
            report = results.setdefault(f"{mode}-{rname}", {"cases": 0, "wrong_object": [], "undocumented": [],
                                                            "model_mismatch": [], "open_files": []})
            print(f"case {mode} {rname} {label}", file=sys.stderr, flush=True)
            before = fds()
            got = outcome(lambda: R.load_dump(path, **kw))
            if fds() != before:
                report["open_files"].append(label)
            want = outcome(lambda: model_load(data, R, **kw))
            report["cases"] += 1
            count += 1
            if got[0] == "return" and not got[1]:
                report["wrong_object"].append(label)
            if got[0] == "raise" and not isinstance(got[2], documented(R)) and got[1] != want[1]:
                report["undocumented"].append(f"{label}: {got[1]}: {got[2]}"[:300])
            if got[:2] != want[:2]:
                report["model_mismatch"].append(f"{label}: got {got[:2]}, expected {want[:2]}"[:300])
            got = want = None
            if count % 500 == 0:
                gc.collect()
gc.collect()
for report in results.values():
    report["unraisable"] = unraisable
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
unit = 1024 if sys.platform == "darwin" else 1  # ru_maxrss is in bytes there, KiB elsewhere
print(json.dumps({"results": results, "rss_growth_kib": (peak - base_rss) // unit}))
'''


@pytest.fixture(scope="module")
def damage_report(tmp_path_factory):
    work = tmp_path_factory.mktemp("damage")
    # The damaged file is rewritten thousands of times: keep it in memory-backed storage if possible.
    scratch = tempfile.mkdtemp(dir="/dev/shm") if os.access("/dev/shm", os.W_OK) else str(work)
    code = f"WORKDIR = {str(work)!r}\nSCRATCH = {scratch!r}\n" + _DAMAGE_CHILD
    try:
        proc = run_python(code, check=False, timeout=600)
    finally:
        if scratch != str(work):
            shutil.rmtree(scratch, ignore_errors=True)
    if proc.returncode != 0:
        last = [line for line in proc.stderr.splitlines() if line.startswith("case ")][-1:]
        tail = "\n".join(line for line in proc.stderr.splitlines()[-40:] if not line.startswith("case "))
        pytest.fail(f"damage loop died (exit {proc.returncode}) at {last}:\n{tail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


MODES = ("plain", "zstd", "encrypted")
READERS = ("mtdump", "mtd_loader")
CELLS = [f"{m}-{r}" for m in MODES for r in READERS]


def _none(items, what):
    assert not items, f"{len(items)} cases {what}:\n" + "\n".join(items[:30])


@pytest.mark.parametrize("cell", CELLS)
def test_damage_never_returns_a_wrong_object(damage_report, cell):
    report = damage_report["results"][cell]
    assert report["cases"] > 500
    _none(report["wrong_object"], "returned an object unequal to the saved one")


@pytest.mark.parametrize("cell", CELLS)
def test_damage_raises_only_documented_errors(damage_report, cell):
    _none(damage_report["results"][cell]["undocumented"], "raised an undocumented exception")


@pytest.mark.parametrize("cell", CELLS)
def test_damage_outcome_follows_the_reading_steps(damage_report, cell):
    # Each damaged container fails in the step that the reading rules name (same exception class,
    # same missing key), or loads when the damage only touched informational fields.
    _none(damage_report["results"][cell]["model_mismatch"], "ended differently from the reading steps")


@pytest.mark.parametrize("cell", CELLS)
def test_damage_leaves_no_file_open(damage_report, cell):
    report = damage_report["results"][cell]
    _none(report["open_files"], "left a file descriptor open")
    _none([u for u in report["unraisable"] if "ResourceWarning" in u], "left an unclosed resource behind")


def test_damage_loop_keeps_memory_modest(damage_report):
    # Length fields claiming up to 2**64-1 bytes must not make a reader touch that much memory.
    assert damage_report["rss_growth_kib"] < 256 * 1024


# ---------------------------------------------------------------------------------------------
# A save_dump that fails before it opens the file leaves whatever is at the path as it was.

OLD = b"previous content \x00\xff" * 100
OLD_MTIME = 1_000_000_000_000_000_000


class _NoCopy:
    def __reduce__(self):
        raise RuntimeError("refuses to be pickled")


def _raise_runtime():
    raise RuntimeError("snapshot failed")


FAILING_SAVES = {
    "passphrase-int": (dict(passphrase=123), TypeError),
    "passphrase-bytearray": (dict(passphrase=bytearray(32)), TypeError),
    "passphrase-not-base64": (dict(passphrase="\u00e9\u00e9\u00e9\u00e9"), ValueError),
    "passphrase-short-text": (dict(passphrase="c2hvcnQ="), ValueError),
    "passphrase-short-bytes": (dict(passphrase=b"short"), ValueError),
    "passphrase-empty": (dict(passphrase=""), ValueError),
    "serializer-unknown": (dict(serializer="json"), ValueError),
    "compression-unknown": (dict(compression="gzip"), ValueError),
    "compression-upper": (dict(compression="ZSTD", passphrase="auto"), ValueError),
    "protocol-invalid": (dict(protocol=99), ValueError),
    "meta-set": (dict(meta={"tags": {1, 2}}), TypeError),
    "meta-bytes": (dict(meta={"raw": b"x"}, passphrase="auto"), TypeError),
}


def _prepare(target, existing):
    if existing:
        target.write_bytes(OLD)
        os.utime(target, ns=(OLD_MTIME, OLD_MTIME))


def _assert_untouched(target, existing):
    if existing:
        assert target.read_bytes() == OLD
        assert target.stat().st_mtime_ns == OLD_MTIME
    else:
        assert not target.exists()


@pytest.mark.parametrize("existing", [True, False], ids=["existing", "absent"])
@pytest.mark.parametrize("case", FAILING_SAVES)
def test_failing_save_leaves_the_path_alone(tmp_path, case, existing):
    kwargs, exc = FAILING_SAVES[case]
    target = tmp_path / "out.mtd"
    _prepare(target, existing)
    with pytest.raises(exc):
        D.save_dump({"x": 1}, target, **kwargs)
    _assert_untouched(target, existing)


@pytest.mark.parametrize("existing", [True, False], ids=["existing", "absent"])
@pytest.mark.parametrize("obj", [lambda: 0, (i for i in range(3)), _NoCopy()], ids=["lambda", "generator", "reduce-raises"])
def test_unpicklable_object_leaves_the_path_alone(tmp_path, obj, existing):
    target = tmp_path / "out.mtd"
    _prepare(target, existing)
    with pytest.raises((pickle.PicklingError, TypeError, AttributeError, RuntimeError)):
        D.save_dump(obj, str(target), passphrase="auto")
    _assert_untouched(target, existing)


@pytest.mark.parametrize("snapshot", ["_get_environment_info", "_get_loaded_modules_info"])
def test_failing_snapshot_leaves_the_path_alone(tmp_path, monkeypatch, snapshot):
    target = tmp_path / "out.mtd"
    _prepare(target, True)
    monkeypatch.setattr(D, snapshot, _raise_runtime)
    with pytest.raises(RuntimeError, match="snapshot failed"):
        D.save_dump([1, 2, 3], target)
    _assert_untouched(target, True)


def test_save_into_missing_directory_creates_nothing(tmp_path):
    target = tmp_path / "no-such-dir" / "out.mtd"
    with pytest.raises(FileNotFoundError):
        D.save_dump(1, target)
    assert not target.parent.exists()


@pytest.mark.parametrize("kwargs", [{}, {"passphrase": "auto"}], ids=["default", "auto-key"])
def test_save_without_zstandard_leaves_the_path_alone(tmp_path, kwargs):
    target = tmp_path / "out.mtd"
    _prepare(target, True)
    out = run_python(f"""
        import korva.utils.mtdump as D
        try:
            D.save_dump({{"x": 1}}, {str(target)!r}, **{kwargs!r})
        except ImportError as e:
            print(type(e).__name__, e)
        """, block=("zstandard",)).stdout
    assert out.strip() == "ImportError zstandard is not installed. Please install it with 'pip install zstandard'"
    _assert_untouched(target, True)


# ---------------------------------------------------------------------------------------------
# A stream that cannot tell its size (a named pipe): oversized length fields still read only what
# the stream holds.

def _relength(data, info_len=None, payload_len=None):
    n = struct.unpack_from("<Q", data, 4)[0]
    return (data[:4] + struct.pack("<Q", n if info_len is None else info_len) + data[12:12 + n]
            + struct.pack("<Q", len(data) - 20 - n if payload_len is None else payload_len) + data[20 + n:])


@pytest.mark.parametrize("lengths, expected", [
    ({}, None), ({"payload_len": 2**62}, None), ({"payload_len": 2**64 - 1}, None),
    ({"info_len": 2**64 - 1}, ValueError), ({"payload_len": 3}, "MTDChecksumError"),
], ids=["intact", "payload-2**62", "payload-2**64-1", "info-2**64-1", "payload-short"])
@pytest.mark.parametrize("reader", ["mtdump", "mtd_loader"])
def test_lengths_from_a_pipe(tmp_path, reader, lengths, expected):
    R = {"mtdump": D, "mtd_loader": L}[reader]
    obj = {"piped": list(range(50))}
    D.save_dump(obj, tmp_path / "src.mtd", compression=None)
    data = _relength((tmp_path / "src.mtd").read_bytes(), **lengths)
    fifo = tmp_path / "pipe.mtd"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as w:
            w.write(data)
    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    try:
        if expected is None:
            assert R.load_dump(str(fifo)) == obj
        else:
            with pytest.raises(getattr(R, expected) if isinstance(expected, str) else expected):
                R.load_dump(str(fifo))
    finally:
        writer.join(timeout=10)
    assert not writer.is_alive()
