"""Runs the fuzz targets of fuzz/harness.py one after the other, each for a fixed time, and reports
runs, coverage and findings. `./dev.sh fuzz [SECONDS]` calls it under the sanitizer build.

    python fuzz/run.py --seconds 60 [--targets mtdump mtd_loader stages safeload] [--work build/fuzz]

The corpus of each target is kept in WORK/<target>/corpus between runs; seeds are made anew in
WORK/<target>/seeds; a crashing, leaking or hanging input is saved in WORK/<target>/ and the run
fails. Exit status 0 only when every target ran its time without a finding.
"""
import argparse
import json
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TARGETS = ("mtdump", "mtd_loader", "stages", "safeload")
STATS = re.compile(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)")

# Per input: a hang is an input that takes longer than TIMEOUT_S; RSS_LIMIT_MB bounds the process
# (the readers never reserve memory for what a length field claims).
TIMEOUT_S = 20
RSS_LIMIT_MB = 6144
MAX_LEN = 16384


def run_target(target, seconds, work):
    base = work / target
    corpus, seeds = base / "corpus", base / "seeds"
    corpus.mkdir(parents=True, exist_ok=True)
    log_path = base / "fuzz.log"
    command = [sys.executable, str(HERE / "harness.py"), target, str(seeds),
               f"-max_total_time={seconds}", f"-timeout={TIMEOUT_S}", f"-rss_limit_mb={RSS_LIMIT_MB}",
               f"-max_len={MAX_LEN}", f"-artifact_prefix={base}/", "-print_final_stats=1",
               str(corpus), str(seeds)]
    started = time.monotonic()
    with open(log_path, "w") as log:
        # The hang guard of last resort: libFuzzer's own timeout plus start-up and seed making.
        try:
            code = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, timeout=seconds + 600).returncode
        except subprocess.TimeoutExpired:
            code = "hung"
    text = log_path.read_text(errors="replace")
    stats = [m.groups() for m in map(STATS.match, text.splitlines()) if m]
    runs, cov, ft, corp = map(int, stats[-1]) if stats else (0, 0, 0, 0)
    executed = re.search(r"stat::number_of_executed_units:\s*(\d+)", text)
    findings = sorted(str(p) for p in base.glob("*-*") if p.name.split("-")[0] in ("crash", "leak", "timeout", "oom"))
    return {"target": target, "exit": code, "seconds": round(time.monotonic() - started),
            "runs": int(executed.group(1)) if executed else runs, "cov": cov, "ft": ft, "corpus": corp,
            "findings": findings, "log": str(log_path)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60, help="time per target")
    parser.add_argument("--targets", nargs="+", choices=TARGETS, default=list(TARGETS))
    parser.add_argument("--work", type=Path, default=HERE.parent / "build" / "fuzz")
    args = parser.parse_args()
    failed = False
    results = []
    for target in args.targets:
        print(f"fuzzing {target} for {args.seconds} s", flush=True)
        result = run_target(target, args.seconds, args.work)
        results.append(result)
        print(f"  {result['runs']} runs, cov {result['cov']}, ft {result['ft']}, corpus {result['corpus']}, "
              f"exit {result['exit']}", flush=True)
        if result["exit"] != 0 or result["findings"]:
            failed = True
            tail = Path(result["log"]).read_text(errors="replace").splitlines()[-60:]
            print("\n".join(["  finding:"] + result["findings"] + tail), flush=True)
    (args.work / "summary.json").write_text(json.dumps(results, indent=2))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
