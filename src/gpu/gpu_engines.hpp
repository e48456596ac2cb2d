// Interfaces of the GPU engines as the Python layer sees them, and their
// factories.  A factory returns an empty pointer when no GPU engine exists for
// the parameters - always so in a build without CUDA or on a machine without a
// usable GPU - and the caller then refuses GPU backends with a clear error.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/device.hpp"
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
    // Resident entries read device tensors and return a new arena block (the
    // spectrum in the layout of `mode`, or the signal gradient) once the work
    // is queued on `stream`.  A float64 signal (signal.dbl) runs the forward in
    // double precision.
    virtual void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                                   uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                                    ops::OutputMode mode, uint64_t stream) = 0;
};

// Complex spectra are frame-major complex64 ([b][f][k]).
class IstftGpu {
public:
    virtual ~IstftGpu() = default;
    virtual void forward_staged(const void* spectrum, int64_t B, int64_t F, float* out, int64_t length) = 0;
    virtual void backward_staged(const float* grad, int64_t B, int64_t length, int64_t n_frames, void* out) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
    virtual void* forward_resident(const DeviceTensorRef& spectrum, int64_t B, int64_t F, int64_t length,
                                   uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, int64_t B, int64_t length, int64_t n_frames,
                                    uint64_t stream) = 0;
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

// GPU STFT for n_fft >= 64 whose frame FFT the GPU offers (power-of-two
// n_fft up to 8192 in-kernel, other lengths through FftGpu).
std::unique_ptr<StftGpu> make_stft_gpu(const FrameConfig& config);
// GPU ISTFT for even n_fft >= 64 within the per-frame shared-memory bound.
std::unique_ptr<IstftGpu> make_istft_gpu(const FrameConfig& config);
std::shared_ptr<MelGpu> make_mel_gpu(const MelConfig& config);

}  // namespace qorva::dsp::gpu
