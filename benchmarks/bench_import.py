"""Import cost of korva's modules against the import cost of their dependencies alone: totals from
`python -X importtime` in fresh interpreters, and korva's own share measured directly (the time to
import korva's modules in an interpreter that has already imported every dependency)."""
import json
import statistics
import subprocess
import sys
from pathlib import Path

CASES = {
    "korva.utils": ("import korva.utils", "import hashlib, base64, dill, datetime, importlib.metadata, json, "
                    "pickle, struct, io, urllib.request, pathlib, typing, zstandard, "
                    "cryptography.hazmat.primitives.ciphers, cryptography.hazmat.primitives.padding, "
                    "cryptography.hazmat.backends"),
    "korva.curve.mos_utils": ("import korva.curve.mos_utils", "import typing, numpy, pandas, scipy.special, "
                              "sklearn.ensemble"),
}


def cumulative_us(statement):
    """Total import time of `statement`: the sum of the top-level cumulative entries."""
    proc = subprocess.run([sys.executable, "-X", "importtime", "-c", statement], capture_output=True, text=True,
                          check=True)
    total = 0
    for line in proc.stderr.splitlines():
        if not line.startswith("import time:") or "cumulative" in line:
            continue
        _, cumulative, name = line[len("import time:"):].split("|")
        if not name[1:].startswith(" "):  # nested imports are indented below their importer
            total += int(cumulative)
    return total


def own_share_us(ours, deps):
    """Microseconds spent importing korva's modules once their dependencies are loaded."""
    code = f"{deps}\nimport time\nt = time.perf_counter()\n{ours}\nprint((time.perf_counter() - t) * 1e6)"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(proc.stdout.strip())


def main():
    repeats = 3 if "--quick" in sys.argv else 7
    results = {}
    print(f"{'module':24} {'korva import':>14} {'deps alone':>12} {'korva own':>11}")
    for name, (ours, deps) in CASES.items():
        ours_us = statistics.median(cumulative_us(ours) for _ in range(repeats))
        deps_us = statistics.median(cumulative_us(deps) for _ in range(repeats))
        own_us = statistics.median(own_share_us(ours, deps) for _ in range(repeats))
        results[name] = {"korva_us": ours_us, "dependencies_us": deps_us, "own_us": own_us}
        print(f"{name:24} {ours_us / 1e3:11.1f} ms {deps_us / 1e3:9.1f} ms {own_us / 1e3:8.1f} ms")
    import korva
    size = Path(korva.__file__).stat().st_size
    results["extension_file_bytes"] = size
    print(f"extension file: {Path(korva.__file__).name}, {size / 1024:.0f} KiB")
    out = Path(__file__).resolve().parent / "out"
    out.mkdir(exist_ok=True)
    (out / "bench_import.json").write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
