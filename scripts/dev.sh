#!/usr/bin/env bash
# One entry point for setting up, checking and testing a working copy.
#
#   scripts/dev.sh demo    set up, then run the self-check of the build and
#                          `qorva show` (summary and qorva-stft.png of the
#                          built-in demo signal; arguments go to `qorva show`)
#   scripts/dev.sh test    set up, then run the C++ unit tests, check that the
#                          shipped type stubs match the built extension, and
#                          run the whole Python test suite (default python3
#                          with PyTorch, and Python 3.13 from pyenv, without
#                          it, when it is there)
#   scripts/dev.sh stubs   set up, then regenerate python/qorva/_native.pyi
#                          from the built extension
#   scripts/dev.sh bench   set up, add the peers PyTorch and nnAudio, then run
#                          the benchmarks in bench/
#   scripts/dev.sh sanitize
#                          the whole Python test suite against an
#                          AddressSanitizer + UndefinedBehaviorSanitizer build
#                          (.venv-asan, build/asan; without PyTorch, whose
#                          tests skip), the leak check scripts/leak-check.py
#                          against that build, then the C++ unit tests under
#                          ThreadSanitizer (build/tsan); arguments go to pytest
#
# Set-up installs what is missing and nothing else: FFTW and pkg-config from
# Debian, a virtual environment (.venv, .venv-3.13) with the build and test
# tools, what `qorva show` uses (soundfile, matplotlib) and librosa (a test
# reference), and the package itself built from this tree.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# Build and test tools, what `qorva show` uses (soundfile, matplotlib), what
# `qorva extract` uses (soxr, pyarrow), and librosa, the reference some tests
# compare against; with the module each one imports as.  librosa is pinned to
# the release whose semantics the function layer follows (1.0 floors dB per
# channel and keeps float32 statistics in float32).
PY_PACKAGES=(numpy "pybind11>=3.0" "scikit-build-core>=0.10" "cmake>=3.24" ninja pytest hypothesis
             soundfile matplotlib soxr pyarrow "librosa==0.11.*" pybind11-stubgen==3.0.0)
PY_MODULES="numpy, pybind11, scikit_build_core, cmake, ninja, pytest, hypothesis, soundfile, matplotlib, soxr, \
pyarrow, librosa, pybind11_stubgen"
# Ray (the `qorva extract --engine ray` tests) is large: in .venv only; its
# tests skip where it is missing.
RAY_PACKAGE="ray[data]==2.60.*"
# This torch release is the one available as a CPU build without a large
# download; nnAudio is a benchmark peer only.
TORCH_PACKAGE=torch==2.13.0
BENCH_PACKAGES=(nnAudio)

log() { printf '==> %s\n' "$*" >&2; }

# The CUDA backend is built when nvcc is found. QORVA_CUDA_ARCHITECTURES in
# the environment (e.g. 75-real) narrows its device code to those
# architectures, for quicker builds (CI sets it); unset, every supported
# architecture is built.
CUDA_CONFIG=()
CUDA_CMAKE=()
if [ -n "${QORVA_CUDA_ARCHITECTURES:-}" ]; then
    CUDA_CONFIG=(--config-settings=cmake.define.QORVA_CUDA_ARCHITECTURES="$QORVA_CUDA_ARCHITECTURES")
    CUDA_CMAKE=(-DQORVA_CUDA_ARCHITECTURES="$QORVA_CUDA_ARCHITECTURES")
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_system_packages() {
    # alsa-utils ships the recorded speech (/usr/share/sounds/alsa) that the
    # librosa agreement tests of the function layer run on.
    if pkg-config --exists fftw3 fftw3f 2>/dev/null && [ -f /usr/include/fftw3.h ] \
        && [ -f /usr/share/sounds/alsa/Front_Center.wav ]; then
        return
    fi
    log "installing FFTW, pkg-config and alsa-utils from Debian"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libfftw3-dev pkg-config alsa-utils >/dev/null
}

# ensure_venv PYTHON DIR [PIP_ARGS...]: a virtual environment with the tools
# and this package (built with PIP_ARGS, e.g. --config-settings).
ensure_venv() {
    local python="$1" dir="$2"
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        log "creating $dir with $("$python" --version 2>&1)"
        "$python" -m venv "$dir"
    fi
    if ! "$dir/bin/python" -c "import $PY_MODULES; assert librosa.__version__.startswith('0.11.')" 2>/dev/null; then
        log "installing build, test and demo tools into $dir"
        "$dir/bin/python" -m pip install -q --disable-pip-version-check "${PY_PACKAGES[@]}"
    fi
    log "building qorva into $dir"
    PATH="$dir/bin:$PATH" "$dir/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation "${CUDA_CONFIG[@]}" "$@" "$ROOT"
}

# PyTorch for qorva.torch, its tests and the benchmarks, and Ray for the
# extraction engine's tests, in .venv only.
ensure_torch_and_ray() {
    if ! "$ROOT/.venv/bin/python" -c "import torch" 2>/dev/null; then
        log "installing PyTorch into .venv"
        "$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check "$TORCH_PACKAGE"
    fi
    if ! "$ROOT/.venv/bin/python" -c "import ray.data" 2>/dev/null; then
        log "installing Ray into .venv"
        "$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check "$RAY_PACKAGE"
    fi
}

find_python313() {
    # pyenv's shims answer for versions that are not selected, so each
    # candidate is asked for its version instead of trusting its name.
    local root candidate
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    for candidate in "$root"/versions/3.13*/bin/python3 "$(command -v python3.13 || true)"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

run_cpp_tests() {
    log "C++ unit tests"
    local build="$ROOT/build/cpp-tests"
    PATH="$ROOT/.venv/bin:$PATH" cmake -S "$ROOT" -B "$build" -G Ninja -DQORVA_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Release "${CUDA_CMAKE[@]}" >/dev/null
    PATH="$ROOT/.venv/bin:$PATH" cmake --build "$build" --parallel
    (cd "$build" && PATH="$ROOT/.venv/bin:$PATH" ctest --output-on-failure)
}

run_python_tests() {
    local dir="$1"
    log "Python tests with $("$dir/bin/python" --version 2>&1)"
    # Run from the tests directory so that the installed package, not the
    # source tree, is imported.
    (cd "$ROOT/tests" && "$dir/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests")
}

# The Python suite against the extension built with ASan and UBSan. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded,
# with libstdc++ beside it: ASan looks up the real __cxa_throw when it starts,
# and without libstdc++ already loaded the first C++ exception in any
# extension module aborts the process. Leak checking is off because CPython
# keeps interned objects to the end by design. Any UBSan report aborts the run.
run_asan_python_tests() {
    local dir="$ROOT/.venv-asan" libasan libstdcxx
    # Without the CUDA backend, whose device code cannot run here anyway: the
    # bindings and every CPU path are the same in both builds.
    ensure_venv python3 "$dir" --config-settings=build-dir=build/asan \
        --config-settings=cmake.define.QORVA_SANITIZE=address --config-settings=cmake.define.QORVA_CUDA=OFF
    libasan="$(gcc -print-file-name=libasan.so)"
    libstdcxx="$(gcc -print-file-name=libstdc++.so.6)"
    if [ ! -e "$libasan" ] || [ ! -e "$libstdcxx" ]; then
        echo "the ASan runtime or libstdc++ was not found ($libasan, $libstdcxx)" >&2
        exit 1
    fi
    log "Python tests under ASan + UBSan with $("$dir/bin/python" --version 2>&1)"
    (cd "$ROOT/tests" && LD_PRELOAD="$libasan:$libstdcxx" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/bin/python" -m pytest -q -p no:cacheprovider "$@" "$ROOT/tests")
}

# scripts/leak-check.py: a workload touching every engine family, run under
# LeakSanitizer against the same ASan build; it fails on any leak whose stack
# has a frame of the extension (the interpreter's own are left out).
run_leak_check() {
    log "leak check under LeakSanitizer"
    python3 "$ROOT/scripts/leak-check.py" "$ROOT/.venv-asan/bin/python"
}

# The C++ unit tests under ThreadSanitizer (the thread pool, the buffer pool
# and the engines' parallel paths); any report fails the test.
run_tsan_cpp_tests() {
    log "C++ unit tests under ThreadSanitizer"
    local build="$ROOT/build/tsan" tools="$ROOT/.venv-asan/bin"
    # Without the CUDA backend: the unit tests of its host-side arithmetic run
    # in the normal build, and the CUDA runtime is no part of what TSan checks.
    PATH="$tools:$PATH" cmake -S "$ROOT" -B "$build" -G Ninja -DQORVA_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Release -DQORVA_SANITIZE=thread -DQORVA_CUDA=OFF >/dev/null
    PATH="$tools:$PATH" cmake --build "$build" --parallel
    (cd "$build" && TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
        PATH="$tools:$PATH" ctest --output-on-failure)
}

# The type stubs of the extension, generated from the installed build into
# $1 (qorva/_native.pyi below it).  Run outside the source tree so that the
# installed package is the one imported.
generate_stubs() {
    (cd "$ROOT/tests" && "$ROOT/.venv/bin/pybind11-stubgen" qorva._native -o "$1" >/dev/null)
}

# The shipped stubs must be what the extension says now: a change of any
# signature or docstring without regenerating them fails the run.
check_stubs() {
    log "type stubs against the built extension"
    local fresh
    fresh="$(mktemp -d)"
    generate_stubs "$fresh"
    if ! diff -u "$ROOT/python/qorva/_native.pyi" "$fresh/qorva/_native.pyi"; then
        echo "python/qorva/_native.pyi is stale: run scripts/dev.sh stubs and commit it" >&2
        exit 1
    fi
    rm -rf "$fresh"
}

command="${1:-demo}"
shift || true
ensure_system_packages
if [ "$command" = sanitize ]; then
    # Its own venv and build directories; .venv is not needed.
    run_asan_python_tests "$@"
    run_leak_check
    run_tsan_cpp_tests
    exit 0
fi
ensure_venv python3 "$ROOT/.venv"

case "$command" in
    demo)
        "$ROOT/.venv/bin/qorva" check
        "$ROOT/.venv/bin/qorva" show "$@"
        ;;
    test)
        # The default interpreter runs everything, the PyTorch layers included;
        # other interpreters run the suite without PyTorch (its tests skip).
        ensure_torch_and_ray
        run_cpp_tests
        check_stubs
        run_python_tests "$ROOT/.venv"
        if py313="$(find_python313)"; then
            ensure_venv "$py313" "$ROOT/.venv-3.13"
            run_python_tests "$ROOT/.venv-3.13"
        else
            log "Python 3.13 not found; skipped the 3.13 run"
        fi
        ;;
    bench)
        ensure_torch_and_ray
        if ! "$ROOT/.venv/bin/python" -c "import nnAudio" 2>/dev/null; then
            log "installing the benchmark peers into .venv"
            "$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check "${BENCH_PACKAGES[@]}"
        fi
        for script in "$ROOT"/bench/*.py; do
            [ "$(basename "$script")" = common.py ] && continue  # shared helpers
            log "$(basename "$script")"
            "$ROOT/.venv/bin/python" "$script" "$@"
        done
        ;;
    stubs)
        fresh="$(mktemp -d)"
        generate_stubs "$fresh"
        cp "$fresh/qorva/_native.pyi" "$ROOT/python/qorva/_native.pyi"
        rm -rf "$fresh"
        log "wrote python/qorva/_native.pyi"
        ;;
    *)
        echo "usage: scripts/dev.sh demo|test|stubs|bench|sanitize" >&2
        exit 2
        ;;
esac
