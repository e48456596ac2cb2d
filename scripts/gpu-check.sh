#!/usr/bin/env bash
# Builds and checks the CUDA backend on a machine with an NVIDIA GPU, in one
# command and a few minutes:
#
#   scripts/gpu-check.sh
#
# The machine needs the CUDA toolkit (nvcc), Python with PyTorch, NumPy,
# pybind11, scikit-build-core, CMake, ninja and pytest; it needs neither
# network access nor FFTW: Debian's FFTW packages are unpacked from .gpu-deps/
# into a private prefix (where apt reaches Debian, a missing .gpu-deps/ is
# filled with `apt-get download`; carry the folder to machines without it).
#
# Steps: build for the GPU's own architecture into a virtual environment that
# sees the system's packages, report the device, run the GPU tests (the GPU
# FFT, STFT and ISTFT against the CPU engines, the PyTorch layers on CUDA),
# then bench/stft.py --gpu.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
DEPS="$ROOT/.gpu-deps"
WORK="$ROOT/build/gpu-check"
VENV="$WORK/venv"

log() { printf '==> %s\n' "$*" >&2; }

if ! ls "$DEPS"/libfftw3-dev_*.deb >/dev/null 2>&1; then
    log "fetching Debian's FFTW packages into .gpu-deps"
    mkdir -p "$DEPS"
    (cd "$DEPS" && apt-get download libfftw3-dev libfftw3-single3 libfftw3-double3)
fi
rm -rf "$WORK/fftw"
mkdir -p "$WORK/fftw"
for deb in "$DEPS"/*.deb; do dpkg -x "$deb" "$WORK/fftw"; done
FFTW_LIB="$(dirname "$(find "$WORK/fftw" -name 'libfftw3f.so*' | head -n 1)")"
export LD_LIBRARY_PATH="$FFTW_LIB${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader || true
ARCH="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d ' .')"
log "building for sm_${ARCH} (FFTW from $FFTW_LIB)"
if [ ! -x "$VENV/bin/python" ]; then "$PYTHON" -m venv --system-site-packages "$VENV"; fi
start=$(date +%s)
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --no-index \
    --config-settings=build-dir="$WORK/build" \
    --config-settings=cmake.define.QORVA_CUDA=ON \
    --config-settings=cmake.define.QORVA_CUDA_ARCHITECTURES="${ARCH}-real" \
    --config-settings=cmake.define.CMAKE_INCLUDE_PATH="$WORK/fftw/usr/include" \
    --config-settings=cmake.define.CMAKE_LIBRARY_PATH="$FFTW_LIB" \
    "$ROOT"
log "built in $(( $(date +%s) - start )) s"

(cd "$ROOT/tests" && "$VENV/bin/python" -c \
    "import qorva; print('qorva', qorva.__version__, qorva.gpu_backend(), repr(qorva.gpu_device_name()))")
log "GPU tests"
(cd "$ROOT/tests" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider -rs \
    test_gpu_fft.py test_gpu_stft.py test_torch.py test_stft.py test_istft.py)
log "bench/stft.py --gpu"
"$VENV/bin/python" "$ROOT/bench/stft.py" --gpu --repeats 5
