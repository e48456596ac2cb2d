#!/usr/bin/env bash
# Builds and checks the CUDA backend on a machine with an NVIDIA GPU, in one
# command and a few minutes.
#
#   scripts/gpu-check.sh --prepare   where apt and PyPI work (any machine):
#                                    gathers what a bare GPU machine lacks into
#                                    .gpu-deps/ (git-ignored; carry it along)
#   scripts/gpu-check.sh             on the GPU machine, without network
#
# The GPU machine needs the CUDA toolkit and Python with PyTorch (CUDA),
# NumPy, CMake, ninja and pytest.  .gpu-deps/ holds Debian's FFTW packages,
# unpacked into a private prefix, and the wheels of the build tools that may
# be missing or too old there (pybind11 3, scikit-build-core), installed into
# a virtual environment that sees the system's packages.
#
# Steps: build for the GPU's own architecture, report the device, run the GPU
# tests (the GPU FFT, STFT, ISTFT, mel, CQT, chroma and feature engines against
# the CPU engines, the PyTorch layers on CUDA), then bench/stft.py, mel.py,
# cqt.py and features.py --gpu; a one-screen summary ends it.
# Exits non-zero when no usable GPU is found, when a test fails, or when a
# test skips for any reason but being a check of a machine without a GPU.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
DEPS="$ROOT/.gpu-deps"
WORK="$ROOT/build/gpu-check"
VENV="$WORK/venv"
# Pure-Python wheels, so one download serves every interpreter there (the
# image has pytest and Hypothesis, but maybe an older pybind11).
WHEELS=("pybind11>=3.0" "scikit-build-core>=0.10" packaging pathspec)
# Skips that a GPU machine gives on purpose: the refusals only a machine
# without a GPU answers.
EXPECTED_SKIP="checks the answers of a machine without a GPU"

log() { printf '==> %s\n' "$*" >&2; }
fail() { printf 'gpu-check: %s\n' "$*" >&2; exit 1; }

prepare() {
    mkdir -p "$DEPS/wheels"
    log "Debian's FFTW packages into .gpu-deps"
    (cd "$DEPS" && apt-get download libfftw3-dev libfftw3-single3 libfftw3-double3)
    log "build and test wheels into .gpu-deps/wheels"
    "$PYTHON" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
        -d "$DEPS/wheels" "${WHEELS[@]}"
    ls -1 "$DEPS" "$DEPS/wheels"
}

if [ "${1:-}" = --prepare ]; then
    prepare
    exit 0
fi

ls "$DEPS"/libfftw3-dev_*.deb >/dev/null 2>&1 || fail "no .gpu-deps/: run scripts/gpu-check.sh --prepare where apt works and carry the folder"
if ! command -v nvcc >/dev/null; then
    for dir in /usr/local/cuda/bin /usr/local/cuda-*/bin; do
        if [ -x "$dir/nvcc" ]; then export PATH="$dir:$PATH"; break; fi
    done
fi
command -v nvcc >/dev/null || fail "nvcc not found"
GPU="$(nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader 2>/dev/null | head -n 1)" ||
    fail "nvidia-smi found no GPU"
[ -n "$GPU" ] || fail "nvidia-smi found no GPU"
ARCH="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d ' .')"

rm -rf "$WORK/fftw"
mkdir -p "$WORK/fftw"
for deb in "$DEPS"/*.deb; do dpkg -x "$deb" "$WORK/fftw"; done
FFTW_LIB="$(dirname "$(find "$WORK/fftw" -name 'libfftw3f.so*' | head -n 1)")"
export LD_LIBRARY_PATH="$FFTW_LIB${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

if [ ! -x "$VENV/bin/python" ]; then "$PYTHON" -m venv --system-site-packages "$VENV"; fi
if ls "$DEPS"/wheels/*.whl >/dev/null 2>&1; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$DEPS"/wheels/*.whl
fi
log "building for sm_${ARCH} with $(nvcc --version | tail -n 1) (FFTW from $FFTW_LIB)"
start=$(date +%s)
PATH="$VENV/bin:$PATH" "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --no-index \
    --config-settings=build-dir="$WORK/build" \
    --config-settings=cmake.define.QORVA_CUDA=ON \
    --config-settings=cmake.define.QORVA_CUDA_ARCHITECTURES="${ARCH}-real" \
    --config-settings=cmake.define.CMAKE_INCLUDE_PATH="$WORK/fftw/usr/include" \
    --config-settings=cmake.define.CMAKE_LIBRARY_PATH="$FFTW_LIB" \
    "$ROOT"
BUILD_S=$(( $(date +%s) - start ))

DEVICE="$(cd "$ROOT/tests" && "$VENV/bin/python" -c \
    "import qorva; print(qorva.gpu_available(), qorva.gpu_backend(), qorva.gpu_device_name())")"
case "$DEVICE" in True*) ;; *) fail "qorva finds no usable GPU ($DEVICE) on $GPU";; esac

log "GPU tests"
TESTS_LOG="$WORK/tests.log"
status=0
(cd "$ROOT/tests" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider -rs \
    test_gpu_fft.py test_gpu_stft.py test_gpu_mel.py test_gpu_cqt.py test_gpu_features.py test_torch.py \
    test_stft.py test_istft.py test_mel.py test_cqt.py test_errors.py) 2>&1 \
    | tee "$TESTS_LOG" || status=$?
UNEXPECTED_SKIPS="$(grep '^SKIPPED' "$TESTS_LOG" | grep -v "$EXPECTED_SKIP" || true)"

BENCH_LOG="$WORK/bench.log"
: >"$BENCH_LOG"
for bench in stft mel cqt features; do
    log "bench/$bench.py --gpu"
    "$VENV/bin/python" "$ROOT/bench/$bench.py" --gpu --repeats 5 2>&1 | tee -a "$BENCH_LOG" || status=$?
done

echo
echo "=== gpu-check summary"
echo "device:  $GPU (qorva: $DEVICE), built for sm_${ARCH} in ${BUILD_S} s"
echo "tests:   $(tail -n 1 "$TESTS_LOG")"
[ -z "$UNEXPECTED_SKIPS" ] || printf 'skipped without a reason a GPU machine has:\n%s\n' "$UNEXPECTED_SKIPS"
echo "bench (peer time / qorva time):"
grep -E 'ratio|[0-9]+\.[0-9]+ *$' "$BENCH_LOG" | tail -n 30 || true
[ "$status" -eq 0 ] || fail "a test or the benchmark failed"
[ -z "$UNEXPECTED_SKIPS" ] || fail "GPU tests were skipped"
echo "gpu-check: passed"
