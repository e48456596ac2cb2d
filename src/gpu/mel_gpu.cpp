// The GPU mel factory.  The mel, CQT, chroma and feature families have no GPU
// engine yet in any build, so their classes compute on the CPU and refuse GPU
// backends with the usual messages.
#include "gpu/gpu_engines.hpp"

namespace qorva::dsp::gpu {

std::shared_ptr<MelGpu> make_mel_gpu(const ops::MelOptions&) { return nullptr; }

}  // namespace qorva::dsp::gpu
