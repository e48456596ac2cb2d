// GPU CQT and chroma engines as the Python layer sees them.  A GPU engine
// exists only when the CPU engine's plan exports (power-of-two octave FFTs of
// 8 to 2048 points, at most 128 filters an octave, every octave but the last
// halving the rate) and a usable GPU is present.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/device.hpp"
#include "ops/chroma.hpp"
#include "ops/cqt.hpp"

namespace qorva::dsp::gpu {

inline constexpr int32_t kCqtGpuMaxFft = 2048;

class CqtGpu {
public:
    virtual ~CqtGpu() = default;
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) = 0;
    virtual void backward_staged(const void* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                                 float* grad_signal) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
    // Complex outputs and gradients are [b][k][f] complex64, as on the CPU.
    virtual void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                                   uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                                    ops::OutputMode mode, uint64_t stream) = 0;
};

class ChromaGpu {
public:
    virtual ~ChromaGpu() = default;
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, float* out) = 0;
    virtual void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L,
                                 float* grad_signal) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
    virtual void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                                    uint64_t stream) = 0;
};

std::shared_ptr<CqtGpu> make_cqt_gpu(const ops::CqtEngine<float>& engine);
std::shared_ptr<ChromaGpu> make_chroma_gpu(const ops::ChromaEngine<float>& engine);

}  // namespace qorva::dsp::gpu
