// Whether this build's device code can run on the GPU in use.  A device of a
// supported compute capability may still have no image in the fat binary (a
// build for 75-real on a 9.0 GPU, say): every launch would then fail with "no
// kernel image is available", so such a GPU does not count as usable.
#include "gpu/cuda_device.hpp"

namespace qorva::dsp::gpu::cuda {

namespace {

__global__ void image_probe() {}

}  // namespace

bool device_code_runs() {
    cudaFuncAttributes attributes{};
    // Loads the module for the current device: fails when neither machine
    // code for its architecture nor PTX it can compile is in the binary.
    if (cudaFuncGetAttributes(&attributes, image_probe) != cudaSuccess) {
        cudaGetLastError();
        return false;
    }
    return true;
}

}  // namespace qorva::dsp::gpu::cuda
