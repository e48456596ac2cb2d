// GPU STFT and ISTFT engines.
//
// Layouts on the device: signals [b][t] floats; complex spectra frame-major
// [b][f][k] (K = n_fft/2 + 1 bins per frame); real spectra bin-major
// [b][k][f], produced through a frame-major scratch and a tiled transpose.
//
// Frame FFTs: a power-of-two half length runs inside one kernel per frame,
// packing the real frame as z[j] = x[2j] + i x[2j+1] and transforming it in
// shared memory.  Other lengths go through the batched FftGpu: packed
// half-length frames for the even forward, full-length complex frames for odd
// n_fft, float64 and every non-power-of-two backward and inverse.
//
// Backward passes and the ISTFT go through the batch in chunks of rows whose
// frame buffers fit a fixed scratch budget, launching once per chunk, and
// fold frames back onto samples with a gather (no atomics).
#include <algorithm>
#include <cfloat>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <cuda_fp16.h>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_frame_engine.cuh"
#include "gpu/cuda_frame_math.cuh"
#include "gpu/cuda_stft_kernels.cuh"
#include "gpu/gpu_engines.hpp"
#include "ops/framing.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// ---------------------------------------------------------------------------
// Kernels: thin wrappers around the bodies in cuda_stft_kernels.cuh.
// Per-frame kernels: grid (frames, rows); element-wise kernels: grid
// (blocks of 256 over a row, rows).  Rows beyond the grid's y extent are
// reached by striding.

__global__ void stft_fwd(const float* __restrict__ x, float2* __restrict__ cout, float* __restrict__ rout,
                         const float* __restrict__ window, const float2* __restrict__ tw,
                         const float2* __restrict__ stw, KParams p, int64_t B) {
    extern __shared__ float2 s[];
    stft_fwd_body(DeviceBlock(), s, x, cout, rout, window, tw, stw, p, B);
}

__global__ void stft_pack(const float* __restrict__ x, float2* __restrict__ z, const float* __restrict__ window,
                          KParams p, int64_t B) {
    stft_pack_body(DeviceBlock(), x, z, window, p, B);
}

__global__ void stft_unpack(const float2* __restrict__ z, float2* __restrict__ cout, float* __restrict__ rout,
                            const float2* __restrict__ stw, KParams p, int64_t B) {
    stft_unpack_body(DeviceBlock(), z, cout, rout, stw, p, B);
}

// Blocks of 32 x 8 threads; grid (frame tiles, bin tiles, rows).
template <typename T>
__global__ void spec_transpose(const T* __restrict__ in, T* __restrict__ out, KParams p, int64_t B) {
    __shared__ T tile[32][33];
    spec_transpose_body<T>(DeviceBlock(), tile, in, out, p, B);
}

template <typename T, typename C>
__global__ void frame_c2(const T* __restrict__ x, C* __restrict__ frames, const T* __restrict__ window, KParams p,
                         int n, int64_t B) {
    frame_c2_body<T, C>(DeviceBlock(), x, frames, window, p, n, B);
}

template <typename T, typename C>
__global__ void half_c2(const C* __restrict__ frames, C* __restrict__ cout, T* __restrict__ rout, KParams p, int n,
                        int64_t B) {
    half_c2_body<T, C>(DeviceBlock(), frames, cout, rout, p, n, B);
}

__global__ void cvt_h2f(const __half* __restrict__ in, float* __restrict__ out, int64_t count) {
    cvt_h2f_body(DeviceBlock(), in, out, count);
}

__global__ void cvt_f2h(const float* __restrict__ in, __half* __restrict__ out, int64_t count) {
    cvt_f2h_body(DeviceBlock(), in, out, count);
}

__global__ void stft_bwd_frames(const float2* __restrict__ cgrad, const float* __restrict__ rgrad,
                                const float* __restrict__ x, float* __restrict__ frames,
                                const float* __restrict__ window, const float2* __restrict__ tw,
                                const float2* __restrict__ stw, KParams p, int64_t B) {
    extern __shared__ float2 s[];
    stft_bwd_frames_body(DeviceBlock(), s, cgrad, rgrad, x, frames, window, tw, stw, p, B);
}

__global__ void bwd_full_spectrum(const float2* __restrict__ cgrad, const float* __restrict__ rgrad,
                                  float2* __restrict__ A, KParams p, int n, int64_t B) {
    bwd_full_spectrum_body(DeviceBlock(), cgrad, rgrad, A, p, n, B);
}

__global__ void full_real_frames(const float2* __restrict__ A, float* __restrict__ frames,
                                 const float* __restrict__ window, int n, int64_t count, float scale, int64_t B) {
    full_real_frames_body(DeviceBlock(), A, frames, window, n, count, scale, B);
}

__global__ void ola_gather(const float* __restrict__ frames, float* __restrict__ out, KParams p, int len,
                           int64_t B) {
    ola_gather_body(DeviceBlock(), frames, out, p, len, B);
}

__global__ void istft_env(const float* __restrict__ wsq, float* __restrict__ env, int64_t P, int n, int hop,
                          int64_t F) {
    istft_env_body(DeviceBlock(), wsq, env, P, n, hop, F);
}

__global__ void istft_fwd_frames(const float2* __restrict__ spec, float* __restrict__ frames,
                                 const float* __restrict__ window, const float2* __restrict__ tw,
                                 const float2* __restrict__ stw, KParams p, float scale, int64_t B) {
    extern __shared__ float2 s[];
    istft_fwd_frames_body(DeviceBlock(), s, spec, frames, window, tw, stw, p, scale, B);
}

__global__ void istft_full_spectrum(const float2* __restrict__ spec, float2* __restrict__ A, KParams p, int n,
                                    int64_t B) {
    istft_full_spectrum_body(DeviceBlock(), spec, A, p, n, B);
}

__global__ void istft_gather(const float* __restrict__ frames, const float* __restrict__ env, float* __restrict__ out,
                             int64_t kept, int64_t length, int n, int hop, int64_t pad, int64_t F, int64_t B) {
    istft_gather_body(DeviceBlock(), frames, env, out, kept, length, n, hop, pad, F, B);
}

__global__ void istft_grad_pad(const float* __restrict__ grad, const float* __restrict__ env,
                               float* __restrict__ padded, int64_t P, int64_t pad, int64_t kept, int64_t length,
                               int64_t B) {
    istft_grad_pad_body(DeviceBlock(), grad, env, padded, P, pad, kept, length, B);
}

__global__ void istft_bwd_frames(const float* __restrict__ padded, float2* __restrict__ out,
                                 const float* __restrict__ window, const float2* __restrict__ tw,
                                 const float2* __restrict__ stw, KParams p, float scale, int64_t P, int64_t B) {
    extern __shared__ float2 s[];
    istft_bwd_frames_body(DeviceBlock(), s, padded, out, window, tw, stw, p, scale, P, B);
}

__global__ void istft_full_grad_frames(const float* __restrict__ padded, float2* __restrict__ A,
                                       const float* __restrict__ window, int n, int hop, int64_t F, int64_t P,
                                       float scale, int64_t B) {
    istft_full_grad_frames_body(DeviceBlock(), padded, A, window, n, hop, F, P, scale, B);
}

__global__ void istft_full_bins(const float2* __restrict__ A, float2* __restrict__ out, int n, int K, int h,
                                int64_t F, int64_t B) {
    istft_full_bins_body(DeviceBlock(), A, out, n, K, h, F, B);
}

// ---------------------------------------------------------------------------

class CudaStft final : public StftGpu {
public:
    explicit CudaStft(const ops::FrameOptions& c)
        : config_(c),
          plan_(ops::build_window<float>(c.window, c.win_length, c.n_fft), c.n_fft),
          odd_(c.n_fft % 2 != 0) {
        if (odd_) {
            fft_full_ = need_fft(c.n_fft, GpuPrecision::f32);
        } else if (!plan_.pow2) {
            fft_half_ = need_fft(plan_.half, GpuPrecision::f32);
        }
    }

    void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        const std::size_t out_bytes = bytes(B * F * (plan_.half + 1), mode == ops::OutputMode::complex ? 8 : 4);
        out_.ensure(out_bytes);
        run_forward(in_.as<const float>(), out_.get(), B, L, F, static_cast<int>(mode), 0);
        stage_d2h(out, out_.get(), out_bytes);
    }

    void backward_staged(const void* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                         float* grad_signal) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        const std::size_t grad_bytes = bytes(B * F * (plan_.half + 1), mode == ops::OutputMode::complex ? 8 : 4);
        grad_.ensure(grad_bytes);
        stage_h2d(grad_.get(), grad, grad_bytes);
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * L, 4));
        run_backward(grad_.get(), in_.as<const float>(), out_.as<float>(), B, L, F, static_cast<int>(mode), 0);
        stage_d2h(grad_signal, out_.get(), bytes(B * L, 4));
    }

    bool supports_staged_f16() const override { return true; }

    void forward_staged_f16(const uint16_t* signal, int64_t B, int64_t L, ops::OutputMode mode,
                            uint16_t* out) override {
        if (mode == ops::OutputMode::complex) {
            throw std::invalid_argument("the float16 GPU path has no complex output");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        const int64_t count_in = B * L, count_out = B * F * (plan_.half + 1);
        half_in_.ensure(bytes(count_in, 2));
        stage_h2d(half_in_.get(), signal, bytes(count_in, 2));
        in_.ensure(bytes(count_in, 4));
        if (count_in > 0) {
            cvt_h2f<<<blocks_for(count_in), kBlock>>>(half_in_.as<const __half>(), in_.as<float>(), count_in);
            check_launch("cvt_h2f");
        }
        out_.ensure(bytes(count_out, 4));
        run_forward(in_.as<const float>(), out_.get(), B, L, F, static_cast<int>(mode), 0);
        half_out_.ensure(bytes(count_out, 2));
        if (count_out > 0) {
            cvt_f2h<<<blocks_for(count_out), kBlock>>>(out_.as<const float>(), half_out_.as<__half>(), count_out);
            check_launch("cvt_f2h");
        }
        stage_d2h(out, half_out_.get(), bytes(count_out, 2));
    }

    bool supports_f64() const override { return true; }

    void forward_staged_f64(const double* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        in64_.ensure(bytes(B * L, 8));
        stage_h2d(in64_.get(), signal, bytes(B * L, 8));
        const std::size_t out_bytes = bytes(B * F * (plan_.half + 1), mode == ops::OutputMode::complex ? 16 : 8);
        out64_.ensure(out_bytes);
        run_forward_f64(in64_.as<const double>(), out64_.get(), B, L, F, static_cast<int>(mode), 0);
        stage_d2h(out, out64_.get(), out_bytes);
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                           uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        const int64_t values = B * F * (plan_.half + 1);
        const bool complex = mode == ops::OutputMode::complex;
        return arena_result(stream, bytes(values, (complex ? 8 : 4) * (signal.dbl ? 2 : 1)), [&](void* out) {
            if (signal.dbl) {
                run_forward_f64(static_cast<const double*>(signal.ptr()), out, B, L, F, static_cast<int>(mode),
                                stream);
            } else {
                run_forward(static_cast<const float*>(signal.ptr()), out, B, L, F, static_cast<int>(mode), stream);
            }
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                            ops::OutputMode mode, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * L, 4), [&](void* out) {
            run_backward(grad.ptr(), static_cast<const float*>(signal.ptr()), static_cast<float*>(out), B, L, F,
                         static_cast<int>(mode), stream);
        });
    }

private:
    int64_t frames_for(int64_t L) const {
        require_int32(L, "signal length");
        const int64_t F = config_.n_frames(L);
        require_int32(F, "frame count");
        return F;
    }

    KParams params(int64_t L, int64_t F, int mode) const {
        KParams p{};
        p.n_samples = static_cast<int32_t>(L);
        p.n_frames = static_cast<int32_t>(F);
        p.n_bins = plan_.half + 1;
        p.hop = config_.hop_length;
        p.pad = config_.center ? config_.n_fft / 2 : 0;
        p.mode = (mode >= 0 && mode <= 3) ? mode : kModePower;
        p.reflect = config_.pad_mode == ops::PadMode::reflect ? 1 : 0;
        p.half = plan_.half;
        p.log2_half = plan_.log2_half;
        return p;
    }

    // Real outputs are computed frame-major into the scratch and transposed
    // into the bin-major output.
    template <typename T>
    void transpose_into(const T* scratch, T* out, KParams p, int64_t B, cudaStream_t s) {
        const int64_t A = p.n_frames, C = p.n_bins;
        const dim3 grid(static_cast<unsigned>((A + 31) / 32),
                        static_cast<unsigned>(std::min<int64_t>((C + 31) / 32, kMaxGridY)), grid_rows(B));
        spec_transpose<T><<<grid, dim3(32, 8, 1), 0, s>>>(scratch, out, p, B);
        check_launch("spec_transpose");
    }

    void run_forward(const float* x, void* out, int64_t B, int64_t L, int64_t F, int mode, uint64_t stream) {
        if (B == 0 || F == 0) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(L, F, mode);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins;
        const bool complex = p.mode == kModeComplex;
        float* real_dst = nullptr;
        if (!complex) {
            scratch_.ensure(bytes(B * F * K, 4));
            real_dst = scratch_.as<float>();
        }
        auto* cdst = static_cast<float2*>(out);
        if (odd_) {
            work_.ensure(bytes(B * F * n, 8));
            frame_c2<float, float2><<<dim3(blocks_for(F * n), grid_rows(B)), kBlock, 0, s>>>(
                x, work_.as<float2>(), plan_.win(), p, n, B);
            check_launch("frame_c2");
            fft_full_->execute_device(work_.get(), B * F, false, stream);
            half_c2<float, float2><<<dim3(blocks_for(F * K), grid_rows(B)), kBlock, 0, s>>>(
                work_.as<const float2>(), cdst, real_dst, p, n, B);
            check_launch("half_c2");
        } else if (plan_.pow2) {
            stft_fwd<<<dim3(static_cast<unsigned>(F), grid_rows(B)), plan_.threads, plan_.shared_bytes(), s>>>(
                x, cdst, real_dst, plan_.win(), plan_.tw(), plan_.stw(), p, B);
            check_launch("stft_fwd");
        } else {
            work_.ensure(bytes(B * F * plan_.half, 8));
            stft_pack<<<dim3(static_cast<unsigned>(F), grid_rows(B)), plan_.threads, 0, s>>>(
                x, work_.as<float2>(), plan_.win(), p, B);
            check_launch("stft_pack");
            fft_half_->execute_device(work_.get(), B * F, false, stream);
            stft_unpack<<<dim3(static_cast<unsigned>(F), grid_rows(B)), plan_.threads, 0, s>>>(
                work_.as<const float2>(), cdst, real_dst, plan_.stw(), p, B);
            check_launch("stft_unpack");
        }
        if (!complex) transpose_into(scratch_.as<const float>(), static_cast<float*>(out), p, B, s);
    }

    // Double precision throughout, over full-length frames.
    void run_forward_f64(const double* x, void* out, int64_t B, int64_t L, int64_t F, int mode, uint64_t stream) {
        if (!fft_f64_) {
            // Both resources are built before either is kept, so a failed
            // upload leaves the engine as it was and the next call retries.
            auto fft = make_fft_gpu(config_.n_fft, GpuPrecision::f64);
            if (!fft) throw std::runtime_error("no f64 GPU FFT for this n_fft");
            const auto w = ops::build_window<double>(config_.window, config_.win_length, config_.n_fft);
            DeviceBuffer window = upload(w.data(), w.size() * sizeof(double));
            window64_ = std::move(window);
            fft_f64_ = std::move(fft);
        }
        if (B == 0 || F == 0) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(L, F, mode);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins;
        const bool complex = p.mode == kModeComplex;
        double* real_dst = nullptr;
        if (!complex) {
            scratch64_.ensure(bytes(B * F * K, 8));
            real_dst = scratch64_.as<double>();
        }
        work64_.ensure(bytes(B * F * n, 16));
        frame_c2<double, double2><<<dim3(blocks_for(F * n), grid_rows(B)), kBlock, 0, s>>>(
            x, work64_.as<double2>(), window64_.as<const double>(), p, n, B);
        check_launch("frame_c2");
        fft_f64_->execute_device(work64_.get(), B * F, false, stream);
        half_c2<double, double2><<<dim3(blocks_for(F * K), grid_rows(B)), kBlock, 0, s>>>(
            work64_.as<const double2>(), static_cast<double2*>(out), real_dst, p, n, B);
        check_launch("half_c2");
        if (!complex) transpose_into(scratch64_.as<const double>(), static_cast<double*>(out), p, B, s);
    }

    void run_backward(const void* grad, const float* x, float* out, int64_t B, int64_t L, int64_t F, int mode,
                      uint64_t stream) {
        if (B == 0 || L == 0) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(L, F, mode);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins, FK = F * K, Fn = F * n;
        const bool complex = p.mode == kModeComplex;
        const bool in_kernel = plan_.pow2;
        if (!in_kernel && !fft_full_) fft_full_ = need_fft(n, GpuPrecision::f32);
        // A row holds its frame gradients, its full-length spectra off the
        // in-kernel path and the frame-major copy of a real gradient.
        const int64_t rows = rows_per_chunk(Fn * 4 + (in_kernel ? 0 : Fn * 8) + (complex ? 0 : FK * 4), B);
        frames_.ensure(bytes(rows * Fn, 4));
        if (!in_kernel) work_.ensure(bytes(rows * Fn, 8));
        if (!complex) scratch_.ensure(bytes(rows * FK, 4));
        // Bin-major gradient to frame-major: the transpose with its two
        // extents swapped.
        KParams swapped = p;
        swapped.n_frames = p.n_bins;
        swapped.n_bins = p.n_frames;
        for (int64_t first = 0; first < B; first += rows) {
            const int64_t R = std::min(rows, B - first);
            const unsigned gy = grid_rows(R);
            const float2* cg = complex ? static_cast<const float2*>(grad) + first * FK : nullptr;
            const float* rg = nullptr;
            if (!complex) {
                transpose_into(static_cast<const float*>(grad) + first * FK, scratch_.as<float>(), swapped, R, s);
                rg = scratch_.as<const float>();
            }
            const float* xr = x + first * L;
            if (in_kernel) {
                stft_bwd_frames<<<dim3(static_cast<unsigned>(F), gy), plan_.threads, plan_.shared_bytes(), s>>>(
                    cg, rg, xr, frames_.as<float>(), plan_.win(), plan_.tw(), plan_.stw(), p, R);
            } else {
                if (!complex) {
                    frame_c2<float, float2><<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(xr, work_.as<float2>(),
                                                                                      plan_.win(), p, n, R);
                    fft_full_->execute_device(work_.get(), R * F, false, stream);
                }
                bwd_full_spectrum<<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(cg, rg, work_.as<float2>(), p, n, R);
                fft_full_->execute_device(work_.get(), R * F, true, stream);
                full_real_frames<<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(
                    work_.as<const float2>(), frames_.as<float>(), plan_.win(), n, Fn, 1.0f, R);
            }
            ola_gather<<<dim3(blocks_for(L), gy), kBlock, 0, s>>>(frames_.as<const float>(), out + first * L, p, n,
                                                                  R);
            check_launch("stft_bwd");
        }
    }

    ops::FrameOptions config_;
    FramePlan plan_;
    bool odd_;
    std::unique_ptr<FftGpu> fft_half_, fft_full_, fft_f64_;
    DeviceBuffer window64_;
    DeviceBuffer in_, out_, grad_, half_in_, half_out_, scratch_, work_, frames_;
    DeviceBuffer in64_, out64_, scratch64_, work64_;
    std::mutex mutex_;
    CallOrder order_;
};

class CudaIstft final : public IstftGpu {
public:
    explicit CudaIstft(const ops::FrameOptions& c)
        : config_(c), plan_(ops::build_window<float>(c.window, c.win_length, c.n_fft), c.n_fft) {
        const auto w = ops::build_window<float>(c.window, c.win_length, c.n_fft);
        std::vector<float> wsq(w.size());
        for (std::size_t i = 0; i < w.size(); ++i) wsq[i] = w[i] * w[i];
        wsq_ = upload(wsq.data(), wsq.size() * sizeof(float));
        if (!plan_.pow2) fft_full_ = need_fft(c.n_fft, GpuPrecision::f32);
    }

    void forward_staged(const void* spectrum, int64_t B, int64_t F, float* out, int64_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t K = plan_.half + 1;
        spec_.ensure(bytes(B * F * K, 8));
        stage_h2d(spec_.get(), spectrum, bytes(B * F * K, 8));
        sig_.ensure(bytes(B * length, 4));
        run_forward(spec_.as<const float2>(), sig_.as<float>(), B, F, length, 0);
        stage_d2h(out, sig_.get(), bytes(B * length, 4));
    }

    void backward_staged(const float* grad, int64_t B, int64_t length, int64_t n_frames, void* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t K = plan_.half + 1;
        grad_.ensure(bytes(B * length, 4));
        stage_h2d(grad_.get(), grad, bytes(B * length, 4));
        spec_.ensure(bytes(B * n_frames * K, 8));
        run_backward(grad_.as<const float>(), spec_.as<float2>(), B, length, n_frames, 0);
        stage_d2h(out, spec_.get(), bytes(B * n_frames * K, 8));
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& spectrum, int64_t B, int64_t F, int64_t length,
                           uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        return arena_result(stream, bytes(B * length, 4), [&](void* out) {
            run_forward(static_cast<const float2*>(spectrum.ptr()), static_cast<float*>(out), B, F, length, stream);
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, int64_t B, int64_t length, int64_t n_frames,
                            uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        return arena_result(stream, bytes(B * n_frames * (plan_.half + 1), 8), [&](void* out) {
            run_backward(static_cast<const float*>(grad.ptr()), static_cast<float2*>(out), B, length, n_frames,
                         stream);
        });
    }

private:
    KParams params(int64_t F) const {
        require_int32(F, "frame count");
        KParams p{};
        p.n_frames = static_cast<int32_t>(F);
        p.n_bins = plan_.half + 1;
        p.hop = config_.hop_length;
        p.pad = config_.center ? config_.n_fft / 2 : 0;
        p.half = plan_.half;
        p.log2_half = plan_.log2_half;
        return p;
    }

    // Full overlap-add length of F frames.
    int64_t padded_length(int64_t F) const { return int64_t(config_.hop_length) * (F - 1) + config_.n_fft; }

    void envelope(int64_t P, int64_t F, cudaStream_t s) {
        env_.ensure(bytes(P, 4));
        istft_env<<<blocks_for(P), kBlock, 0, s>>>(wsq_.as<const float>(), env_.as<float>(), P, config_.n_fft,
                                                   config_.hop_length, F);
        check_launch("istft_env");
    }

    void run_forward(const float2* spec, float* out, int64_t B, int64_t F, int64_t length, uint64_t stream) {
        if (B == 0 || length == 0 || F < 1) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(F);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins, P = padded_length(F), pad = p.pad, Fn = F * n;
        const int64_t kept = std::max<int64_t>(0, std::min(P - pad, length));
        const float scale = 1.0f / static_cast<float>(n);
        envelope(P, F, s);
        const int64_t rows = rows_per_chunk(Fn * 4 + (plan_.pow2 ? 0 : Fn * 8), B);
        frames_.ensure(bytes(rows * Fn, 4));
        if (!plan_.pow2) work_.ensure(bytes(rows * Fn, 8));
        for (int64_t first = 0; first < B; first += rows) {
            const int64_t R = std::min(rows, B - first);
            const unsigned gy = grid_rows(R);
            const float2* chunk = spec + first * F * K;
            if (plan_.pow2) {
                istft_fwd_frames<<<dim3(static_cast<unsigned>(F), gy), plan_.threads, plan_.shared_bytes(), s>>>(
                    chunk, frames_.as<float>(), plan_.win(), plan_.tw(), plan_.stw(), p, scale, R);
            } else {
                istft_full_spectrum<<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(chunk, work_.as<float2>(), p, n, R);
                fft_full_->execute_device(work_.get(), R * F, true, stream);
                full_real_frames<<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(
                    work_.as<const float2>(), frames_.as<float>(), plan_.win(), n, Fn, scale, R);
            }
            istft_gather<<<dim3(blocks_for(length), gy), kBlock, 0, s>>>(
                frames_.as<const float>(), env_.as<const float>(), out + first * length, kept, length, n,
                config_.hop_length, pad, F, R);
            check_launch("istft_fwd");
        }
    }

    void run_backward(const float* grad, float2* out, int64_t B, int64_t length, int64_t F, uint64_t stream) {
        if (B == 0 || F < 1) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(F);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins, P = padded_length(F), pad = p.pad, Fn = F * n;
        const int64_t kept = std::max<int64_t>(0, std::min(P - pad, length));
        const float scale = 1.0f / static_cast<float>(n);
        envelope(P, F, s);
        const int64_t rows = rows_per_chunk(P * 4 + (plan_.pow2 ? 0 : Fn * 8), B);
        padded_.ensure(bytes(rows * P, 4));
        if (!plan_.pow2) work_.ensure(bytes(rows * Fn, 8));
        for (int64_t first = 0; first < B; first += rows) {
            const int64_t R = std::min(rows, B - first);
            const unsigned gy = grid_rows(R);
            istft_grad_pad<<<dim3(blocks_for(P), gy), kBlock, 0, s>>>(grad + first * length, env_.as<const float>(),
                                                                      padded_.as<float>(), P, pad, kept, length, R);
            float2* chunk = out + first * F * K;
            if (plan_.pow2) {
                istft_bwd_frames<<<dim3(static_cast<unsigned>(F), gy), plan_.threads, plan_.shared_bytes(), s>>>(
                    padded_.as<const float>(), chunk, plan_.win(), plan_.tw(), plan_.stw(), p, scale, P, R);
            } else {
                istft_full_grad_frames<<<dim3(blocks_for(Fn), gy), kBlock, 0, s>>>(
                    padded_.as<const float>(), work_.as<float2>(), plan_.win(), n, config_.hop_length, F, P, scale,
                    R);
                fft_full_->execute_device(work_.get(), R * F, false, stream);
                istft_full_bins<<<dim3(blocks_for(F * K), gy), kBlock, 0, s>>>(
                    work_.as<const float2>(), chunk, n, static_cast<int>(K), plan_.half, F, R);
            }
            check_launch("istft_bwd");
        }
    }

    ops::FrameOptions config_;
    FramePlan plan_;
    DeviceBuffer wsq_;
    std::unique_ptr<FftGpu> fft_full_;
    DeviceBuffer spec_, sig_, grad_, frames_, padded_, env_, work_;
    std::mutex mutex_;
    CallOrder order_;
};

}  // namespace
}  // namespace cuda

std::unique_ptr<StftGpu> make_stft_gpu(const ops::FrameOptions& config) {
    const int n = config.n_fft;
    if (!gpu_available() || n < 64) return nullptr;
    const int half = n / 2;
    if (n % 2 == 0 && cuda::is_pow2(half)) {
        if ((half + 1) * 8 > cuda::kSharedBudget) return nullptr;
    } else if (!fft_gpu_supported(n % 2 != 0 ? n : half, GpuPrecision::f32)) {
        return nullptr;
    }
    const cuda::OnDevice0 device;
    return std::make_unique<cuda::CudaStft>(config);
}

std::unique_ptr<IstftGpu> make_istft_gpu(const ops::FrameOptions& config) {
    const int n = config.n_fft;
    if (!gpu_available() || n < 64 || n % 2 != 0) return nullptr;
    const int half = n / 2;
    const bool pow2 = cuda::is_pow2(half);
    if ((half + (pow2 ? 0 : half)) * 8 + 8 > cuda::kSharedBudget) return nullptr;
    if (!pow2 && !fft_gpu_supported(n, GpuPrecision::f32)) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_unique<cuda::CudaIstft>(config);
}

}  // namespace qorva::dsp::gpu
