// Feature-engine factories: no GPU engine exists for them yet in any build, so
// the feature classes compute on the CPU and refuse GPU backends.
#include "gpu/feature_gpu.hpp"

namespace qorva::dsp::gpu {

std::shared_ptr<FeatureGpu> make_rms_gpu(const ops::RmsParams&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_moments_gpu(const ops::MomentsParams&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_flux_gpu(const ops::FrameOptions&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_onset_gpu(const ops::MelOptions&) { return nullptr; }
std::shared_ptr<FeatureGpu> make_tempogram_gpu(const ops::MelOptions&, int32_t) { return nullptr; }

}  // namespace qorva::dsp::gpu
