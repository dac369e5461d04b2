"""Runs every benchmark of the package in turn (`./dev.sh bench`): import time, dump containers,
device curves, batch curves, figures of merit and their accuracy. Extra arguments (such as --quick) are passed to each script."""
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SCRIPTS = ["bench_import.py", "bench_dump.py", "bench_curves.py", "bench_batch.py", "bench_metrics.py",
           "bench_accuracy.py"]


def main():
    failed = []
    for script in SCRIPTS:
        path = HERE / script
        if not path.exists():
            continue
        print(f"\n##### {script}", flush=True)
        if subprocess.run([sys.executable, str(path), *sys.argv[1:]]).returncode != 0:
            failed.append(script)
    if failed:
        sys.exit(f"failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
