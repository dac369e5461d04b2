#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs one job:
#   ./dev.sh demo              build, then run the demonstration
#   ./dev.sh test              build, then run the test suite
#   ./dev.sh bench             build, then run the benchmarks
#   ./dev.sh sanitize          build with AddressSanitizer + UndefinedBehaviorSanitizer (build/sanitize),
#                              then run the test suite against that build; any sanitizer report fails
#   ./dev.sh fuzz [SECONDS]    the atheris harness in fuzz/ against the sanitizer build, SECONDS per
#                              target (default 60); any crash, sanitizer report or hang fails
#   ./dev.sh constraints       write constraints.txt anew from the newest releases (see README)
# The environment lives in .venv (Python 3.13); packages come from PyPI at the versions pinned in
# constraints.txt, the sanitizer build's compiler (clang) from Debian's packages.
set -euo pipefail
cd "$(dirname "$0")"

# What .venv holds: build tools, the package's dependencies, the test and demo tools (SALib: the
# reference the Sobol indices of korva.curve.design are tested against).
PACKAGES=("scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
          numpy pandas scipy scikit-learn dill cryptography zstandard
          pytest cloudpickle joblib "dask[dataframe,distributed]" pyarrow tqdm matplotlib SALib)
# Only the fuzzing job needs these.
FUZZ_PACKAGES=(atheris)
CLANG_VERSION=${KORVA_CLANG_VERSION:-14}

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

pip_install() {
    .venv/bin/python -m pip --disable-pip-version-check -q install -c constraints.txt "$@"
}

setup() {
    if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        rm -rf .venv
        "$(find_python)" -m venv .venv
    fi
    pip_install pip >/dev/null
    pip_install "${PACKAGES[@]}"
    # The extension itself: one file in site-packages, rebuilt incrementally in build/.
    pip_install --no-build-isolation --no-deps .
}

# clang and its sanitizer runtime, installed from Debian's packages when missing.
clang_toolchain() {
    CXX_SANITIZE=clang++-$CLANG_VERSION
    if ! command -v "$CXX_SANITIZE" >/dev/null || [ ! -f "$("$CXX_SANITIZE" -print-file-name=libclang_rt.asan-x86_64.so)" ]; then
        if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
            echo "the sanitizer build needs clang-$CLANG_VERSION and libclang-rt-$CLANG_VERSION-dev (apt-get install)" >&2
            exit 1
        fi
        echo "installing clang-$CLANG_VERSION and its sanitizer runtime from Debian's packages" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev" >/dev/null
    fi
    ASAN_RUNTIME=$("$CXX_SANITIZE" -print-file-name=libclang_rt.asan-x86_64.so)
}

# The extension built with the sanitizers into build/sanitize (nothing is installed from there).
build_sanitized() {
    clang_toolchain
    PATH="$PWD/.venv/bin:$PATH" cmake -S . -B build/sanitize -G Ninja -DKORVA_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX_SANITIZE" \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
    PATH="$PWD/.venv/bin:$PATH" ninja -C build/sanitize >/dev/null
}

# Runs a command under the sanitizer build: the runtime preloaded into every interpreter (child
# processes inherit it), reports written to build/sanitize/reports, and any report fails the job.
# Leak detection stays off (the interpreter itself leaks at exit), and so does ASan's RSS monitor.
# PYTHONMALLOC=malloc sends every Python object through the sanitizer's allocator.
under_sanitizers() {
    local runtime=$1 reports=$PWD/build/sanitize/reports status=0
    shift
    rm -rf "$reports" && mkdir -p "$reports"
    env LD_PRELOAD="$runtime" PYTHONPATH="$PWD/build/sanitize" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
        "$@" || status=$?
    # Reports are the runtimes' errors; an allocation refused under allocator_may_return_null (a
    # Python MemoryError, as for a zstd frame that declares an absurd size) leaves only a warning.
    if compgen -G "$reports/*" >/dev/null; then
        if grep -l -E "ERROR: |runtime error:" "$reports"/* >/dev/null; then
            echo "sanitizer reports:" >&2
            cat "$reports"/* >&2
            [ "$status" != 0 ] || status=1
        else
            echo "sanitizer warnings (no reports): $(cat "$reports"/* | sort | uniq -c | head -5)" >&2
        fi
    fi
    return "$status"
}

refresh_constraints() {
    local venv=build/constraints-venv
    rm -rf "$venv"
    "$(find_python)" -m venv "$venv"
    "$venv/bin/python" -m pip --disable-pip-version-check -q install --upgrade pip
    "$venv/bin/python" -m pip --disable-pip-version-check -q install "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    {
        echo "# Every package that .venv holds, at the versions CI last passed with: dev.sh installs with"
        echo "# 'pip install -c constraints.txt'. Written by './dev.sh constraints' (see README)."
        "$venv/bin/python" -m pip --disable-pip-version-check freeze --all | grep -v '^setuptools=='
    } > constraints.txt
    rm -rf "$venv"
}

job=${1:-}
case "$job" in
    demo)  setup; exec .venv/bin/python demo/demo.py ;;
    test)  setup; shift; exec .venv/bin/python -m pytest -q -p no:cacheprovider tests "$@" ;;
    bench) setup; shift; exec .venv/bin/python benchmarks/run_all.py "$@" ;;
    sanitize)
        setup; shift; build_sanitized
        under_sanitizers "$ASAN_RUNTIME" .venv/bin/python -m pytest -q -p no:cacheprovider tests "$@" ;;
    fuzz)
        setup; shift; build_sanitized
        pip_install "${FUZZ_PACKAGES[@]}"
        # atheris's own ASan runtime carries libFuzzer, which reads the build's coverage counters.
        fuzz_runtime="$(.venv/bin/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
        under_sanitizers "$fuzz_runtime" .venv/bin/python fuzz/run.py --seconds "${1:-60}" "${@:2}" ;;
    constraints) refresh_constraints ;;
    *)     echo "usage: ./dev.sh demo|test|bench|sanitize|fuzz [SECONDS]|constraints" >&2; exit 2 ;;
esac
