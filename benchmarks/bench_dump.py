"""MTD dump container: cost of korva.utils.mtdump.save_dump / load_dump against the same work done
directly with the libraries it uses, and against joblib.

For objects of about 1 KB, 1 MB and 100 MB (a dict of small values and a float64 numpy array) and
three modes (plain = compression None, zstd, zstd + AES-256-CBC encryption) it measures:

  direct        a short Python loop making the same library calls: pickle.dumps(protocol=5),
                zstandard.compress, cryptography AES-256-CBC with PKCS7 padding and a random IV
                (iv + ct), a file holding the same five fields with a JSON header; back: read,
                decrypt, decompress, sha256 check, pickle.loads.  All ratios are against this.
  korva         save_dump / load_dump as a user calls them.
  korva-nosnap  save_dump with the environment and loaded-module snapshots replaced by
                precomputed dicts (the module looks them up at each call), i.e. the container
                work alone (saves only: its load is korva's; from 100 MB on no memory child, the
                snapshot being lost in the noise there).
  joblib        joblib.dump / joblib.load (zstd when joblib offers it, else zlib level 3; no
                compression in plain mode; joblib has no encryption, so it sits out that mode,
                and its pure-Python pickler would take minutes on the 100 MB dict: left out there).

The reader for files from others, korva.utils.safeload, is timed on a RandomForest ensemble (a
VotingRegressor of two RandomForestRegressor, about 50 MB pickled; zstd, and zstd + encryption):
safeload.load_dump and safeload.scan_dump (korva's own pickle interpreter, building and not building)
as multiples of mtdump.load_dump on the same file (the targets: at most 1.15 and 0.5), in wall time
(what the user waits for; both hash on a second thread beside the decompression) and in CPU time of all
threads (which does not count what other processes take of a shared machine), best of 25 rounds timed
round-robin so that drift hits all three alike, the order turning each round, with each one's peak
memory in a fresh interpreter, also as a multiple of mtdump.load_dump's (the target: no higher).

Wall time is the best of N repeats (N adapted to the size: as many as fit in about a second, at
most 30, at least 2, and 1 for a first run over 3 s), after one untimed warm-up call of each
contender so that first-call imports are not counted.  Peak memory is measured in a fresh
interpreter per measurement as the rise of the resident set's high-water mark (VmHWM, reset
through /proc/self/clear_refs just before the call) over the resident set before it, so buffers
allocated by C, C++ and Rust code count as well as Python objects.  Files go to a memory-backed
directory when there is one, so that disk speed does not drown the comparison.

    python benchmarks/bench_dump.py [--quick]     # --quick skips the 100 MB objects (and the ensemble's encrypted mode)
Results: a table on stdout and benchmarks/out/bench_dump.json.  Nothing here asserts on time.
"""
import argparse
import concurrent.futures
import hashlib
import json
import math
import os
import pickle
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zstandard
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import korva.utils.mtdump as mtdump
import korva.utils.safeload as safeload

KEY = bytes(range(32))
SIZES = {"1KB": 1 << 10, "1MB": 1 << 20, "100MB": 100 << 20}
KINDS = ("dict", "array")
MODES = {"plain": dict(compression=None, passphrase=None),
         "zstd": dict(compression="zstd", passphrase=None),
         "zstd+enc": dict(compression="zstd", passphrase=KEY)}
IMPLS = ("direct", "korva", "korva-nosnap", "joblib")
TIME_BUDGET_S = 1.0   # repeat each timing until about this much time is spent ...
MAX_REPEATS = 30      # ... but no more than this often, and at least twice
SLOW_FIRST_S = 3.0    # a first run slower than this is not repeated
SLOW_JOBLIB = 10 << 20  # dict size from which joblib is left out (see applicable)
MEMORY_SIZES = ("1MB", "100MB")  # below 1 MB the growth is within the allocator's noise
NOSNAP_MEMORY_LIMIT = 10 << 20  # from here the snapshot's memory is lost in the noise: not measured apart


def make_object(kind, size):
    """A deterministic object whose protocol-5 pickle is about `size` bytes."""
    if kind == "array":
        return np.random.default_rng(0).standard_normal(max(1, size // 8))
    # each entry pickles to about 65 bytes: an 11-character key and a 48-character string
    return {f"key{i:08d}": f"{i:08d}" * 6 for i in range(max(1, size // 65))}


# ---------------------------------------------------------------------------------------------
# the direct library calls

def direct_save(obj, path, compression, passphrase):
    serialized = pickle.dumps(obj, protocol=5)
    checksum = hashlib.sha256(serialized).hexdigest()
    payload = zstandard.compress(serialized) if compression == "zstd" else serialized
    if passphrase:
        padder = padding.PKCS7(algorithms.AES.block_size).padder()
        padded = padder.update(payload) + padder.finalize()
        iv = os.urandom(16)
        encryptor = Cipher(algorithms.AES(passphrase), modes.CBC(iv)).encryptor()
        payload = iv + encryptor.update(padded) + encryptor.finalize()
    info = {"version": 1, "dump": {"checksum": checksum, "compression": compression,
                                   "encrypted": bool(passphrase), "serializer": "pickle"}, "meta": {}}
    info_bytes = json.dumps(info, indent=2).encode("utf-8")
    with open(path, "wb") as f:
        f.write(b"MTD1")
        f.write(struct.pack("<Q", len(info_bytes)))
        f.write(info_bytes)
        f.write(struct.pack("<Q", len(payload)))
        f.write(payload)


def direct_load(path, passphrase):
    with open(path, "rb") as f:
        if f.read(4) != b"MTD1":
            raise ValueError("not a container")
        info = json.loads(f.read(struct.unpack("<Q", f.read(8))[0]).decode("utf-8"))
        payload = f.read(struct.unpack("<Q", f.read(8))[0])
    dump = info["dump"]
    if dump["encrypted"]:
        decryptor = Cipher(algorithms.AES(passphrase), modes.CBC(payload[:16])).decryptor()
        padded = decryptor.update(payload[16:]) + decryptor.finalize()
        unpadder = padding.PKCS7(algorithms.AES.block_size).unpadder()
        payload = unpadder.update(padded) + unpadder.finalize()
    serialized = zstandard.decompress(payload) if dump["compression"] == "zstd" else payload
    if hashlib.sha256(serialized).hexdigest() != dump["checksum"]:
        raise ValueError("checksum mismatch")
    return pickle.loads(serialized)


# ---------------------------------------------------------------------------------------------
# the contenders, each as (save, load) over (obj, path, mode)

def _joblib_compress(mode):
    import joblib.compressor
    if mode == "plain":
        return 0
    return ("zstd", 3) if "zstd" in joblib.compressor._COMPRESSORS else 3


class _Snapshots:
    """Replaces the two snapshot functions in the module by precomputed results while active."""
    names = ("_get_environment_info", "_get_loaded_modules_info")

    def __init__(self, values=None):
        self.values = values

    def __enter__(self):
        self.saved = {name: getattr(mtdump, name) for name in self.names}
        values = self.values or {name: fn() for name, fn in self.saved.items()}
        for name in self.names:
            setattr(mtdump, name, lambda value=values[name]: value)
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(mtdump, name, fn)


def operations(impl, mode):
    opts = MODES[mode]
    if impl == "direct":
        return (lambda obj, path: direct_save(obj, path, **opts),
                lambda path: direct_load(path, opts["passphrase"]))
    if impl in ("korva", "korva-nosnap"):
        return (lambda obj, path: mtdump.save_dump(obj, path, **opts),
                lambda path: mtdump.load_dump(path, passphrase=opts["passphrase"]))
    import joblib
    return (lambda obj, path: joblib.dump(obj, path, compress=_joblib_compress(mode)),
            lambda path: joblib.load(path))


def applicable(impl, mode, size, kind):
    # joblib pickles through the pure-Python pickler: the 100 MB dict would take minutes
    return not (impl == "joblib" and (mode == "zstd+enc" or (kind == "dict" and SIZES[size] >= SLOW_JOBLIB)))


# ---------------------------------------------------------------------------------------------
# measuring

def best_time(fn):
    first = _timed(fn)
    if first > SLOW_FIRST_S:
        return first, 1
    repeats = max(2, min(MAX_REPEATS, math.ceil(TIME_BUDGET_S / max(first, 1e-6))))
    return min([first] + [_timed(fn) for _ in range(repeats - 1)]), repeats


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def child_memory(impl, op, size, kind, mode, path, snapshot_file):
    """Run in a fresh interpreter: peak resident growth (KiB) of one save or load."""
    save, load = operations(impl, mode)
    if impl == "korva-nosnap":
        _Snapshots(json.loads(Path(snapshot_file).read_text())).__enter__()
    # Warm up first-call costs (imports of the snapshot's packages, cipher backends) on a tiny
    # object; a korva load warms up on a file written by the direct calls, without any snapshot.
    warm = path + ".warm"
    if op == "save":
        save({"warm": 1}, warm)
    elif impl == "korva":
        direct_save({"warm": 1}, warm, **MODES[mode])
        load(warm)
    else:
        save({"warm": 1}, warm)
        load(warm)
    os.remove(warm)
    obj = make_object(kind, SIZES[size]) if op == "save" else None
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_kib("VmRSS:")
    result = save(obj, path) if op == "save" else load(path)
    peak = _status_kib("VmHWM:")
    del result
    return peak - before


def memory_in_child(impl, op, size, kind, mode, path, snapshot_file):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", impl, op, size, kind, mode, path, snapshot_file]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memory child {cmd[3:]} failed:\n{proc.stderr[-2000:]}")
    return int(proc.stdout.strip().splitlines()[-1])


def scratch_dir():
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix="bench_dump_", dir=base)


def warm_up(work):
    """First calls import what the later ones find loaded (the snapshot's packages, joblib, the
    cipher backend): make them before anything is timed."""
    path = os.path.join(work, "warm.bin")
    for impl in IMPLS:
        for mode in MODES:
            if applicable(impl, mode, "1KB", "dict"):
                save, load = operations(impl, mode)
                save({"warm": 1}, path)
                load(path)
    os.remove(path)


def run(sizes, memory=True):
    work = scratch_dir()
    records = []
    try:
        warm_up(work)
        for size in sizes:
            for kind in KINDS:
                obj = make_object(kind, SIZES[size])
                pickled = len(pickle.dumps(obj, protocol=5))
                for mode in MODES:
                    for impl in IMPLS:
                        if not applicable(impl, mode, size, kind):
                            continue
                        save, load = operations(impl, mode)
                        path = os.path.join(work, f"{size}-{kind}-{mode}-{impl}.bin")
                        record = {"size": size, "kind": kind, "mode": mode, "impl": impl, "pickle_bytes": pickled}
                        if impl == "korva-nosnap":
                            # only the save differs from korva's; its load is the same call
                            with _Snapshots():
                                record["save_s"], record["save_repeats"] = best_time(lambda: save(obj, path))
                        else:
                            record["save_s"], record["save_repeats"] = best_time(lambda: save(obj, path))
                            record["load_s"], record["load_repeats"] = best_time(lambda: load(path))
                        record["file_bytes"] = os.path.getsize(path)
                        if impl == "direct":
                            _check_compatible(obj, path, mode)
                        records.append(record)
                        print(f"  timed {size:>5} {kind:5} {mode:8} {impl:12} save {record['save_s'] * 1e3:9.2f} ms"
                              + (f"  load {record['load_s'] * 1e3:9.2f} ms" if "load_s" in record else ""),
                              file=sys.stderr, flush=True)
                del obj
                if memory and size in MEMORY_SIZES:
                    _measure_memory(records, size, kind, work)
                for name in os.listdir(work):
                    if name.startswith(f"{size}-{kind}-") or name.endswith(".warm"):
                        os.remove(os.path.join(work, name))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return records


def _measure_memory(records, size, kind, work):
    snapshot_file = os.path.join(work, "snapshots.json")
    if not os.path.exists(snapshot_file):
        with _Snapshots() as snapshots:
            pass
        Path(snapshot_file).write_text(json.dumps({n: f() for n, f in snapshots.saved.items()}))
    todo = [(r, op) for r in records if r["size"] == size and r["kind"] == kind for op in ("save", "load")
            if f"{op}_s" in r and not (r["impl"] == "korva-nosnap" and SIZES[size] >= NOSNAP_MEMORY_LIMIT)]
    # Loads read the files the timing left behind; two children at a time (one per core is plenty).
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {}
        for r, op in todo:
            path = os.path.join(work, f"{size}-{kind}-{r['mode']}-{r['impl']}.bin")
            target = path if op == "load" else path + ".mem"
            futures[pool.submit(memory_in_child, r["impl"], op, size, kind, r["mode"], target,
                                snapshot_file)] = (r, op)
        for future in concurrent.futures.as_completed(futures):
            r, op = futures[future]
            r[f"{op}_peak_kib"] = future.result()


def _check_compatible(obj, path, mode):
    # The direct file has the container layout: korva must read it back (a sanity check of the
    # comparison, not a timing assertion).
    loaded = mtdump.load_dump(path, passphrase=MODES[mode]["passphrase"])
    same = np.array_equal(loaded, obj) if isinstance(obj, np.ndarray) else loaded == obj
    if not same:
        print(f"warning: korva read a different object from the direct {mode} file", file=sys.stderr)


# ---------------------------------------------------------------------------------------------
# the reader for files from others, on a RandomForest ensemble

ENSEMBLE_PICKLE_BYTES = 50 << 20
SAFE_READERS = {"mtdump.load_dump": lambda path, key: mtdump.load_dump(path, passphrase=key),
                "safeload.load_dump": lambda path, key: safeload.load_dump(path, passphrase=key),
                "safeload.scan_dump": lambda path, key: safeload.scan_dump(path, passphrase=key)}
ROUNDS = 25


def make_ensemble():
    """Two random forests on 7 features, grown until the pickle is about ENSEMBLE_PICKLE_BYTES."""
    from sklearn.ensemble import RandomForestRegressor, VotingRegressor
    rng = np.random.default_rng(0)
    X = rng.normal(size=(20000, 7))
    y = X[:, 0] + np.sin(3 * X[:, 1]) + 0.3 * rng.normal(size=len(X))
    def forest(trees):
        return VotingRegressor([(f"rf{i}", RandomForestRegressor(trees, random_state=i)) for i in range(2)]).fit(X, y)
    probe = forest(2)
    trees = max(1, round(2 * ENSEMBLE_PICKLE_BYTES / len(pickle.dumps(probe, protocol=5))))
    return forest(trees), X


def safeload_child(reader, path, key_hex):
    key = bytes.fromhex(key_hex) if key_hex else None
    SAFE_READERS[reader](path, key)  # warm-up: first-call imports
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_kib("VmRSS:")
    result = SAFE_READERS[reader](path, key)
    peak = _status_kib("VmHWM:")
    del result
    return peak - before


def run_safeload(quick, memory=True):
    model, X = make_ensemble()
    pickled = len(pickle.dumps(model, protocol=5))
    work = scratch_dir()
    records = []
    try:
        for mode in (["zstd"] if quick else ["zstd", "zstd+enc"]):
            key = MODES[mode]["passphrase"]
            path = os.path.join(work, f"ensemble-{mode}.mtd")
            mtdump.save_dump(model, path, passphrase=key)
            # the readers agree before anything is timed
            same = np.array_equal(safeload.load_dump(path, passphrase=key).predict(X[:1000]),
                                  mtdump.load_dump(path, passphrase=key).predict(X[:1000]))
            if not same or not safeload.scan_dump(path, passphrase=key)["trusted"]:
                print("warning: safeload disagrees with mtdump on the ensemble", file=sys.stderr)
            best = {clock: {name: math.inf for name in SAFE_READERS} for clock in ("wall", "cpu")}
            for reader in SAFE_READERS.values():
                reader(path, key)
            names = list(SAFE_READERS)
            for round_ in range(ROUNDS):
                # the order turns each round: a reader timed right after another pays for what the
                # other left behind (its freed memory, the caches it filled), so none always goes second
                for name in names[round_ % len(names):] + names[:round_ % len(names)]:
                    reader = SAFE_READERS[name]
                    wall, cpu = time.perf_counter(), time.process_time()
                    result = reader(path, key)
                    best["cpu"][name] = min(best["cpu"][name], time.process_time() - cpu)
                    best["wall"][name] = min(best["wall"][name], time.perf_counter() - wall)
                    del result  # freeing what a call returned is not part of the call
            record = {"mode": mode, "pickle_bytes": pickled, "file_bytes": os.path.getsize(path), "seconds": best,
                      "ratios": {clock: {name: times[name] / times["mtdump.load_dump"] for name in times}
                                 for clock, times in best.items()}}
            if memory:
                record["peak_kib"] = {}
                for name in SAFE_READERS:
                    cmd = [sys.executable, os.path.abspath(__file__), "--safeload-child", name, path,
                           key.hex() if key else ""]
                    proc = subprocess.run(cmd, capture_output=True, text=True)
                    if proc.returncode != 0:
                        raise RuntimeError(f"memory child {name} failed:\n{proc.stderr[-2000:]}")
                    record["peak_kib"][name] = int(proc.stdout.strip().splitlines()[-1])
            records.append(record)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return records


def print_safeload(records):
    print("\nSAFELOAD on a RandomForest ensemble: wall and CPU time as multiples of mtdump.load_dump (best of "
          f"{ROUNDS}, round-robin); targets (wall): safeload.load_dump <= 1.15, scan_dump <= 0.5")
    for r in records:
        print(f"  {r['mode']:8} pickle {r['pickle_bytes'] / 2**20:6.1f} MiB, file {r['file_bytes'] / 2**20:6.1f} MiB"
              f"{'wall':>16}{'cpu':>22}")
        for name in r["seconds"]["wall"]:
            peak = r.get("peak_kib", {}).get(name)
            reference = r.get("peak_kib", {}).get("mtdump.load_dump")
            print(f"    {name:20}" + "".join(f" {r['seconds'][clock][name] * 1e3:9.1f} ms  x{r['ratios'][clock][name]:5.2f}"
                                          for clock in ("wall", "cpu"))
                  + (f"  peak {peak / 1024:7.1f} MiB  x{peak / reference:5.2f}" if peak is not None else ""))


# ---------------------------------------------------------------------------------------------
# reporting

def add_ratios(records):
    direct = {(r["size"], r["kind"], r["mode"]): r for r in records if r["impl"] == "direct"}
    for r in records:
        d = direct[(r["size"], r["kind"], r["mode"])]
        for key in ("save_s", "load_s"):
            if key in r:
                r[key.replace("_s", "_time_ratio")] = r[key] / d[key]
        for key in ("save_peak_kib", "load_peak_kib"):
            if key in r and key in d:
                # below 1 MiB the growth is within the noise of the allocator: no ratio
                r[key.replace("_kib", "_ratio")] = r[key] / d[key] if d[key] >= 1024 else None


def _fmt_ratio(value):
    return "     -" if value is None else f"{value:6.2f}"


def print_table(records):
    print("Time: direct in ms, others as a multiple of direct (best of N).  "
          "Peak memory: direct in MiB, others as a multiple of direct.")
    for op in ("save", "load"):
        print(f"\n{op.upper()}")
        head = f"{'size':>5} {'kind':5} {'mode':8} | {'direct ms':>10}"
        impls = [i for i in IMPLS if i != "direct" and not (op == "load" and i == "korva-nosnap")]
        head += "".join(f" {i:>12}" for i in impls) + f" | {'direct MiB':>10}" + "".join(f" {i:>12}" for i in impls)
        print(head)
        print("-" * len(head))
        rows = {}
        for r in records:
            rows.setdefault((r["size"], r["kind"], r["mode"]), {})[r["impl"]] = r
        for (size, kind, mode), by_impl in rows.items():
            d = by_impl["direct"]
            line = f"{size:>5} {kind:5} {mode:8} | {d[op + '_s'] * 1e3:10.2f}"
            for i in impls:
                line += f" {_fmt_ratio(by_impl[i].get(op + '_time_ratio')):>12}" if i in by_impl else f" {'n/a':>12}"
            peak = d.get(op + "_peak_kib")
            line += f" | {peak / 1024:10.1f}" if peak is not None else f" | {'-':>10}"
            for i in impls:
                value = by_impl[i].get(op + "_peak_ratio") if i in by_impl else None
                line += f" {_fmt_ratio(value):>12}" if i in by_impl else f" {'n/a':>12}"
            print(line)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        print(child_memory(*sys.argv[2:9]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--safeload-child":
        print(safeload_child(*sys.argv[2:5]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 100 MB objects")
    parser.add_argument("--no-memory", action="store_true", help="time only, no memory children")
    parser.add_argument("--safeload-only", action="store_true", help="only the safeload ensemble timings")
    args, _ = parser.parse_known_args()  # run_all.py hands every script the same options
    sizes = [s for s in SIZES if not (args.quick and s == "100MB")]
    memory = not args.no_memory
    if memory and not os.path.exists("/proc/self/clear_refs"):
        print("peak memory needs /proc/self/clear_refs (Linux): timing only", file=sys.stderr)
        memory = False
    started = time.perf_counter()
    records = [] if args.safeload_only else run(sizes, memory=memory)
    add_ratios(records)
    if records:
        print_table(records)
    safe_records = run_safeload(args.quick, memory=memory)
    print_safeload(safe_records)
    out = Path(__file__).resolve().parent / "out"
    out.mkdir(exist_ok=True)
    meta = {"python": sys.version.split()[0], "numpy": np.__version__, "zstandard": zstandard.__version__,
            "joblib_compress": {m: repr(_joblib_compress(m)) for m in ("plain", "zstd")},
            "elapsed_s": time.perf_counter() - started}
    (out / "bench_dump.json").write_text(json.dumps({"meta": meta, "records": records, "safeload": safe_records}, indent=2))
    print(f"\nwritten {out / 'bench_dump.json'} ({meta['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
