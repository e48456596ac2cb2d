// Interfaces of the GPU engines as the Python layer sees them, and their
// factories.  A factory returns an empty pointer when no GPU engine exists for
// the parameters - always so in a build without CUDA or on a machine without a
// usable GPU - and the caller then refuses GPU backends with a clear error.
#pragma once

#include <cstdint>
#include <memory>

#include "ops/framing.hpp"
#include "ops/mel_scale.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::gpu {

// Construction parameters of a framed transform, as given by the user.
struct FrameConfig {
    int32_t n_fft;
    int32_t hop_length;
    int32_t win_length;
    ops::WindowSpec window;
    bool center;
    ops::PadMode pad_mode;
};

// Staged entries take host pointers, copy through pinned memory, and return
// once the results are back on the host.
class StftGpu {
public:
    virtual ~StftGpu() = default;
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) = 0;
    virtual void backward_staged(const void* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                                 float* grad_signal) = 0;
    virtual bool supports_staged_f16() const = 0;
    virtual void forward_staged_f16(const uint16_t* signal, int64_t B, int64_t L, ops::OutputMode mode,
                                    uint16_t* out) = 0;
    virtual bool supports_f64() const = 0;
    virtual void forward_staged_f64(const double* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
};

class IstftGpu {
public:
    virtual ~IstftGpu() = default;
    virtual void forward_staged(const void* spectrum, int64_t B, int64_t F, float* out, int64_t length) = 0;
    virtual void backward_staged(const float* grad, int64_t B, int64_t length, int64_t n_frames, void* out) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
};

// Mel parameters: the framing of FrameConfig plus the filterbank choice.
struct MelConfig {
    FrameConfig frame;
    double sr;
    int32_t n_mels;
    double fmin;
    double fmax;
    ops::MelScale mel_scale;
    ops::MelNorm mel_norm;
};

class MelGpu {
public:
    virtual ~MelGpu() = default;
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, float* out) = 0;
    virtual void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                                 float* grad_signal) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
};

std::shared_ptr<StftGpu> make_stft_gpu(const FrameConfig& config);
std::shared_ptr<IstftGpu> make_istft_gpu(const FrameConfig& config);
std::shared_ptr<MelGpu> make_mel_gpu(const MelConfig& config);

}  // namespace qorva::dsp::gpu
