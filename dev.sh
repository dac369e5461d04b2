#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs one job:
#   ./dev.sh demo    build, then run the demonstration
#   ./dev.sh test    build, then run the test suite
#   ./dev.sh bench   build, then run the benchmarks
# The environment lives in .venv (Python 3.13); dependencies come from PyPI.
set -euo pipefail
cd "$(dirname "$0")"

find_python() {
    local candidate
    if candidate=$(command -v python3.13) && "$candidate" -c 'import sys' >/dev/null 2>&1; then
        echo "$candidate"; return
    fi
    if [ -x /usr/bin/python3.13 ] && /usr/bin/python3.13 -c 'import sys' >/dev/null 2>&1; then
        echo /usr/bin/python3.13; return
    fi
    candidate=$(ls -d "$HOME"/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -n "$candidate" ] && "$candidate" -c 'import sys' >/dev/null 2>&1; then
        echo "$candidate"; return
    fi
    echo "korva needs Python 3.13: none found (python3.13 on PATH, /usr/bin/python3.13, ~/.pyenv/versions/3.13*)." >&2
    exit 1
}

setup() {
    if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        rm -rf .venv
        "$(find_python)" -m venv .venv
    fi
    local pip=(.venv/bin/python -m pip --disable-pip-version-check -q)
    "${pip[@]}" install --upgrade pip >/dev/null
    "${pip[@]}" install "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja \
        numpy pandas scipy scikit-learn dill cryptography zstandard \
        pytest cloudpickle joblib "dask[dataframe,distributed]" pyarrow tqdm matplotlib
    # The extension itself: one file in site-packages, rebuilt incrementally in build/.
    "${pip[@]}" install --no-build-isolation --no-deps .
}

job=${1:-}
case "$job" in
    demo)  setup; exec .venv/bin/python demo/demo.py ;;
    test)  setup; shift; exec .venv/bin/python -m pytest -q -p no:cacheprovider tests "$@" ;;
    bench) setup; shift; exec .venv/bin/python benchmarks/run_all.py "$@" ;;
    *)     echo "usage: ./dev.sh demo|test|bench" >&2; exit 2 ;;
esac
