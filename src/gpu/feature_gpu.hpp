// GPU interface of the frame-feature engines (RMS, spectral moments, flux,
// onset strength, tempogram) and their factories.  Every engine takes float32
// signals [batch][samples] and produces outputs and gradients in the layouts
// of its CPU engine.  A factory returns an empty pointer when no GPU engine
// exists for the parameters (always so without CUDA); the Python classes then
// compute on the CPU and refuse GPU backends.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/gpu_engines.hpp"
#include "ops/moments.hpp"
#include "ops/rms.hpp"

namespace qorva::dsp::gpu {

class FeatureGpu {
public:
    virtual ~FeatureGpu() = default;
    // Staged entries take host pointers and return once the results are back
    // on the host.
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, float* out) = 0;
    virtual void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L,
                                 float* grad_signal) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
    virtual void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                                    uint64_t stream) = 0;
};

std::shared_ptr<FeatureGpu> make_rms_gpu(const ops::RmsParams& params);
std::shared_ptr<FeatureGpu> make_moments_gpu(const ops::MomentsParams& params);
std::shared_ptr<FeatureGpu> make_flux_gpu(const ops::FrameOptions& options);
std::shared_ptr<FeatureGpu> make_onset_gpu(const ops::MelOptions& options);
std::shared_ptr<FeatureGpu> make_tempogram_gpu(const ops::MelOptions& options, int32_t tempo_win);

}  // namespace qorva::dsp::gpu
