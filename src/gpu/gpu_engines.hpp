// Interfaces of the GPU engines as the Python layer sees them, and their
// factories.  A factory takes the options the CPU engines are built from and
// returns an empty pointer when no GPU engine exists for them - always so in a
// build without CUDA or on a machine without a usable GPU - and the caller
// then refuses GPU backends with a clear error.
//
// Staged entries take host pointers, copy through pinned memory, and return
// once the results are back on the host.  Resident entries read device
// tensors and return a new arena block (the output in its CPU layout, or the
// signal gradient) once the work is queued on `stream`.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/device.hpp"
#include "ops/options.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::gpu {

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
    // A float64 signal (signal.dbl) runs the resident forward in double
    // precision; complex spectra are frame-major.
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

class MelGpu {
public:
    virtual ~MelGpu() = default;
    virtual void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, float* out) = 0;
    virtual void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                                 float* grad_signal) = 0;
    virtual bool supports_resident() const = 0;
    virtual bool supports_resident_f16() const = 0;
    virtual void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                                   uint64_t stream) = 0;
    virtual void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                                    ops::OutputMode mode, uint64_t stream) = 0;
};

// GPU STFT for n_fft >= 64 whose frame FFT the GPU offers (power-of-two
// n_fft up to 8192 in-kernel, other lengths through FftGpu).
std::unique_ptr<StftGpu> make_stft_gpu(const ops::FrameOptions& options);
// GPU ISTFT for even n_fft >= 64 within the per-frame shared-memory bound.
std::unique_ptr<IstftGpu> make_istft_gpu(const ops::FrameOptions& options);
std::shared_ptr<MelGpu> make_mel_gpu(const ops::MelOptions& options);

}  // namespace qorva::dsp::gpu
