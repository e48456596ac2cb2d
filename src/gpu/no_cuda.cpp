// The GPU layer of a build without the CUDA backend: no GPU is ever available,
// so every factory returns an empty engine and the Python layer refuses GPU
// backends with its usual messages.
#include <stdexcept>

#include "gpu/cqt_gpu.hpp"
#include "gpu/device.hpp"
#include "gpu/feature_gpu.hpp"
#include "gpu/gpu_engines.hpp"

namespace qorva::dsp::gpu {

bool gpu_compiled() { return false; }
bool gpu_available() { return false; }
int gpu_compute_capability() { return 0; }
const char* gpu_backend_name() { return "none"; }
std::string gpu_device_name() { return {}; }

void* arena_alloc(std::size_t, uint64_t) { throw std::runtime_error("cuda: alloc: this build has no CUDA backend"); }
void arena_release(void*) noexcept {}
std::size_t arena_cached_bytes() { return 0; }

std::unique_ptr<FftGpu> make_fft_gpu(int32_t, GpuPrecision) { return nullptr; }
bool fft_gpu_supported(int32_t, GpuPrecision) { return false; }

std::unique_ptr<StftGpu> make_stft_gpu(const ops::FrameOptions&) { return nullptr; }
std::unique_ptr<IstftGpu> make_istft_gpu(const ops::FrameOptions&) { return nullptr; }
std::shared_ptr<MelGpu> make_mel_gpu(const ops::MelOptions&) { return nullptr; }
std::shared_ptr<CqtGpu> make_cqt_gpu(const ops::CqtEngine<float>&) { return nullptr; }
std::shared_ptr<ChromaGpu> make_chroma_gpu(const ops::ChromaEngine<float>&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_rms_gpu(const ops::RmsParams&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_moments_gpu(const ops::MomentsParams&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_flux_gpu(const ops::FrameOptions&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_onset_gpu(const ops::MelOptions&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_tempogram_gpu(const ops::MelOptions&, int32_t) { return nullptr; }

}  // namespace qorva::dsp::gpu
