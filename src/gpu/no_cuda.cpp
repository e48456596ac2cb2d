// GPU engine factories of a build without CUDA: no GPU engine exists, so every
// GPU route reports that it does not support the parameters.
#include "gpu/gpu_engines.hpp"

namespace qorva::dsp::gpu {

std::shared_ptr<StftGpu> make_stft_gpu(const FrameConfig&) { return nullptr; }
std::shared_ptr<IstftGpu> make_istft_gpu(const FrameConfig&) { return nullptr; }
std::shared_ptr<MelGpu> make_mel_gpu(const MelConfig&) { return nullptr; }

}  // namespace qorva::dsp::gpu
