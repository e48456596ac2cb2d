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
// Backward passes and the ISTFT work one batch row at a time, so their frame
// buffer is n_fft x n_frames regardless of the batch, and fold frames back
// onto samples with a gather (no atomics).
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
#include "gpu/gpu_engines.hpp"
#include "ops/framing.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// ---------------------------------------------------------------------------
// Kernels.  Per-frame kernels: grid (frames, rows) or (frames) for one row;
// element-wise kernels: 256-thread blocks.  Rows beyond the grid's y extent
// are reached by striding.

// Forward STFT with the half-length FFT in shared memory (power-of-two half).
__global__ void stft_fwd(const float* __restrict__ x, float2* __restrict__ cout, float* __restrict__ rout,
                         const float* __restrict__ window, const float2* __restrict__ tw,
                         const float2* __restrict__ stw, KParams p, int64_t B) {
    extern __shared__ float2 s[];
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const int64_t F = p.n_frames, K = p.n_bins, L = p.n_samples;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        const float* row = x + b * L;
        const int64_t start = f * p.hop - p.pad;
        for (int j = threadIdx.x; j < h; j += blockDim.x) {
            s[j] = packed_pair<float, float2>(row, L, start, j, window, p.reflect != 0);
        }
        __syncthreads();
        shared_fft<16>(s, tw, h, 1.0f, false);
        const int64_t base = (b * F + f) * K;
        for (int k = threadIdx.x; k <= h; k += blockDim.x) {
            const float2 X = split_bin(s[k % h], s[(h - k) % h], split_twiddle(stw, k, h));
            if (p.mode == kModeComplex) {
                cout[base + k] = X;
            } else {
                rout[base + k] = mode_value(X.x, X.y, p.mode);
            }
        }
        __syncthreads();
    }
}

// Packed windowed frames for the batched half-length FFT.
__global__ void stft_pack(const float* __restrict__ x, float2* __restrict__ z, const float* __restrict__ window,
                          KParams p, int64_t B) {
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const int64_t F = p.n_frames, L = p.n_samples;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        const float* row = x + b * L;
        const int64_t start = f * p.hop - p.pad;
        float2* dst = z + (b * F + f) * h;
        for (int j = threadIdx.x; j < h; j += blockDim.x) {
            dst[j] = packed_pair<float, float2>(row, L, start, j, window, p.reflect != 0);
        }
    }
}

// Splits transformed packed frames into the n_bins real-signal bins.
__global__ void stft_unpack(const float2* __restrict__ z, float2* __restrict__ cout, float* __restrict__ rout,
                            const float2* __restrict__ stw, KParams p, int64_t B) {
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const int64_t F = p.n_frames, K = p.n_bins;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        const float2* Z = z + (b * F + f) * h;
        const int64_t base = (b * F + f) * K;
        for (int k = threadIdx.x; k <= h; k += blockDim.x) {
            const float2 X = split_bin(Z[k % h], Z[(h - k) % h], split_twiddle(stw, k, h));
            if (p.mode == kModeComplex) {
                cout[base + k] = X;
            } else {
                rout[base + k] = mode_value(X.x, X.y, p.mode);
            }
        }
    }
}

// [b][A][C] -> [b][C][A] with A = n_frames and C = n_bins of p, through a
// padded tile so that reads and writes are both coalesced.
template <typename T>
__global__ void spec_transpose(const T* __restrict__ in, T* __restrict__ out, KParams p, int64_t B) {
    __shared__ T tile[32][33];
    const int64_t A = p.n_frames, C = p.n_bins;
    for (int64_t b = blockIdx.z; b < B; b += gridDim.z) {
        const T* src = in + b * A * C;
        T* dst = out + b * A * C;
        for (int64_t c0 = int64_t(blockIdx.y) * 32; c0 < C; c0 += int64_t(gridDim.y) * 32) {
            const int64_t a0 = int64_t(blockIdx.x) * 32;
            for (int i = threadIdx.y; i < 32; i += blockDim.y) {
                const int64_t a = a0 + i, c = c0 + threadIdx.x;
                if (a < A && c < C) tile[i][threadIdx.x] = src[a * C + c];
            }
            __syncthreads();
            for (int i = threadIdx.y; i < 32; i += blockDim.y) {
                const int64_t c = c0 + i, a = a0 + threadIdx.x;
                if (a < A && c < C) dst[c * A + a] = tile[threadIdx.x][i];
            }
            __syncthreads();
        }
    }
}

// Full-length complex frames (imaginary part zero) of every row.
template <typename T, typename C>
__global__ void frame_c2(const T* __restrict__ x, C* __restrict__ frames, const T* __restrict__ window, KParams p,
                         int n, int64_t B) {
    const int64_t F = p.n_frames, L = p.n_samples;
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * n) return;
    const int64_t f = e / n;
    const int i = static_cast<int>(e % n);
    const T w = window[i];
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        const T v = padded_sample(x + b * L, L, f * p.hop - p.pad + i, p.reflect != 0) * w;
        frames[b * F * n + e] = cmake<C>(v, T(0));
    }
}

// The first n_bins bins of every transformed full-length frame, in the
// output mode (complex spectra to cout, real values frame-major to rout).
template <typename T, typename C>
__global__ void half_c2(const C* __restrict__ frames, C* __restrict__ cout, T* __restrict__ rout, KParams p, int n,
                        int64_t B) {
    const int64_t F = p.n_frames, K = p.n_bins;
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * K) return;
    const int64_t f = e / K, k = e % K;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        const C X = frames[(b * F + f) * n + k];
        if (p.mode == kModeComplex) {
            cout[b * F * K + e] = X;
        } else {
            rout[b * F * K + e] = mode_value(X.x, X.y, p.mode);
        }
    }
}

__global__ void cvt_h2f(const __half* __restrict__ in, float* __restrict__ out, int64_t count) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e < count) out[e] = __half2float(in[e]);
}

__global__ void cvt_f2h(const float* __restrict__ in, __half* __restrict__ out, int64_t count) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e < count) out[e] = __float2half_rn(in[e]);
}

// Frame gradients of one row (power-of-two half): the bin gradients, the
// adjoint of the real FFT (bin 0 and the Nyquist bin keep their real part,
// interior bins count once) and of the windowing.  Pairs (k, h - k) are
// handled by one thread, so the packed spectrum is rewritten in place.
__global__ void stft_bwd_frames(const float2* __restrict__ cgrad, const float* __restrict__ rgrad,
                                const float* __restrict__ x, float* __restrict__ frames,
                                const float* __restrict__ window, const float2* __restrict__ tw,
                                const float2* __restrict__ stw, KParams p) {
    extern __shared__ float2 s[];
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const int64_t K = p.n_bins, L = p.n_samples;
    if (p.mode != kModeComplex) {
        const int64_t start = f * p.hop - p.pad;
        for (int j = threadIdx.x; j < h; j += blockDim.x) {
            s[j] = packed_pair<float, float2>(x, L, start, j, window, p.reflect != 0);
        }
        __syncthreads();
        shared_fft<16>(s, tw, h, 1.0f, false);
    }
    for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) {
        stft_bwd_pair(s, k, h, cgrad, rgrad, f * K, p.mode, stw);
    }
    __syncthreads();
    shared_fft<16>(s, tw, h, -1.0f, false);
    float* dst = frames + f * 2 * h;
    for (int j = threadIdx.x; j < h; j += blockDim.x) {
        dst[2 * j] = s[j].x * __ldg(window + 2 * j);
        dst[2 * j + 1] = s[j].y * __ldg(window + 2 * j + 1);
    }
}

// Complex bin gradients of one row written over its full-length spectrum
// (recomputed there for the real modes), zero above the last bin: the
// inverse full-length FFT's real part is then the windowed frame gradient.
__global__ void bwd_full_spectrum(const float2* __restrict__ cgrad, const float* __restrict__ rgrad,
                                  float2* __restrict__ A, KParams p, int n) {
    const int64_t F = p.n_frames, K = p.n_bins;
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * n) return;
    const int64_t f = e / n, k = e % n;
    A[e] = k < K ? bin_gradient(cgrad, rgrad, f * K + k, A[e], p.mode) : make_float2(0.0f, 0.0f);
}

// Real part of full-length frames times the window and a scale.
__global__ void full_real_frames(const float2* __restrict__ A, float* __restrict__ frames,
                                 const float* __restrict__ window, int n, int64_t count, float scale) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e < count) frames[e] = A[e].x * __ldg(window + e % n) * scale;
}

// Adjoint of framing for one row (KParams.row): every sample gathers its
// frame gradients, plus the reflect-padding images.
__global__ void ola_gather(const float* __restrict__ frames, float* __restrict__ out, KParams p, int len) {
    const int64_t t = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (t >= p.n_samples) return;
    out[int64_t(p.row) * p.n_samples + t] =
        ola_gather_value(frames, t, p.n_samples, len, p.hop, p.pad, p.n_frames, p.reflect != 0);
}

// Summed squared window at every padded position 0 .. P - 1.
__global__ void istft_env(const float* __restrict__ wsq, float* __restrict__ env, int64_t P, int n, int hop,
                          int64_t F) {
    const int64_t q = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (q >= P) return;
    int64_t lo = 0, hi = -1;
    ops::covering_frames(q, n, hop, F, lo, hi);
    float e = 0.0f;
    for (int64_t f = lo; f <= hi; ++f) e += __ldg(wsq + (q - f * hop));
    env[q] = e;
}

// Windowed inverse-FFT frames of one row (power-of-two half), scaled by 1/n.
__global__ void istft_fwd_frames(const float2* __restrict__ spec, float* __restrict__ frames,
                                 const float* __restrict__ window, const float2* __restrict__ tw,
                                 const float2* __restrict__ stw, KParams p, float scale) {
    extern __shared__ float2 s[];
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const float2* Y = spec + f * p.n_bins;
    for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) istft_pair(s, k, h, Y, stw);
    __syncthreads();
    shared_fft<16>(s, tw, h, -1.0f, false);
    float* dst = frames + f * 2 * h;
    for (int j = threadIdx.x; j < h; j += blockDim.x) {
        dst[2 * j] = s[j].x * scale * __ldg(window + 2 * j);
        dst[2 * j + 1] = s[j].y * scale * __ldg(window + 2 * j + 1);
    }
}

// Hermitian full-length spectra of one row for the inverse FFT.
__global__ void istft_full_spectrum(const float2* __restrict__ spec, float2* __restrict__ A, KParams p, int n) {
    const int64_t F = p.n_frames, K = p.n_bins;
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * n) return;
    const int64_t f = e / n, k = e % n;
    A[e] = hermitian_value(spec + f * K, static_cast<int>(k), n);
}

// Overlap-added, envelope-normalised samples of one row.
__global__ void istft_gather(const float* __restrict__ frames, const float* __restrict__ env, float* __restrict__ out,
                             int64_t kept, int64_t length, int n, int hop, int64_t pad, int64_t F) {
    const int64_t t = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (t >= length) return;
    float v = 0.0f;
    if (t < kept) {
        v = overlap_sum(frames, pad + t, n, hop, F);
        const float e = env[pad + t];
        if (e > FLT_MIN) v /= e;
    }
    out[t] = v;
}

// Gradient at every padded position of one row: divided by the envelope where
// the forward divided, zero outside the kept samples.
__global__ void istft_grad_pad(const float* __restrict__ grad, const float* __restrict__ env,
                               float* __restrict__ padded, int64_t P, int64_t pad, int64_t kept) {
    const int64_t q = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (q >= P) return;
    const int64_t i = q - pad;
    float v = 0.0f;
    if (i >= 0 && i < kept) {
        const float e = env[q];
        v = e > FLT_MIN ? grad[i] / e : grad[i];
    }
    padded[q] = v;
}

// Bin gradients of one row (power-of-two half): the forward real FFT of the
// windowed, scaled padded gradient; interior bins doubled, bin 0 and the
// Nyquist bin real.
__global__ void istft_bwd_frames(const float* __restrict__ padded, float2* __restrict__ out,
                                 const float* __restrict__ window, const float2* __restrict__ tw,
                                 const float2* __restrict__ stw, KParams p, float scale) {
    extern __shared__ float2 s[];
    const int h = p.half;
    const int64_t f = blockIdx.x;
    const float* src = padded + f * p.hop;
    for (int j = threadIdx.x; j < h; j += blockDim.x) {
        s[j] = make_float2(src[2 * j] * __ldg(window + 2 * j) * scale,
                           src[2 * j + 1] * __ldg(window + 2 * j + 1) * scale);
    }
    __syncthreads();
    shared_fft<16>(s, tw, h, 1.0f, false);
    float2* dst = out + f * p.n_bins;
    for (int k = threadIdx.x; k <= h; k += blockDim.x) {
        dst[k] = istft_bin_gradient(split_bin(s[k % h], s[(h - k) % h], split_twiddle(stw, k, h)), k, h);
    }
}

// Full-length complex frames of the windowed, scaled padded gradient of one row.
__global__ void istft_full_grad_frames(const float* __restrict__ padded, float2* __restrict__ A,
                                       const float* __restrict__ window, int n, int hop, int64_t F, float scale) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * n) return;
    const int64_t f = e / n;
    const int i = static_cast<int>(e % n);
    A[e] = make_float2(padded[f * hop + i] * __ldg(window + i) * scale, 0.0f);
}

// The n_bins bin gradients of one row from its transformed full-length frames.
__global__ void istft_full_bins(const float2* __restrict__ A, float2* __restrict__ out, int n, int K, int h,
                                int64_t F) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= F * K) return;
    const int64_t f = e / K;
    const int k = static_cast<int>(e % K);
    out[e] = istft_bin_gradient(A[f * n + k], k, h);
}

// ---------------------------------------------------------------------------

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
        const int64_t K = p.n_bins;
        const bool complex = p.mode == kModeComplex;
        const float* rgrad = nullptr;
        if (!complex) {
            // Bin-major gradient to frame-major: the transpose with its two
            // extents swapped.
            scratch_.ensure(bytes(B * F * K, 4));
            KParams swapped = p;
            swapped.n_frames = p.n_bins;
            swapped.n_bins = p.n_frames;
            transpose_into(static_cast<const float*>(grad), scratch_.as<float>(), swapped, B, s);
            rgrad = scratch_.as<const float>();
        }
        const auto* cgrad = static_cast<const float2*>(grad);
        frames_.ensure(bytes(F * n, 4));
        const bool in_kernel = plan_.pow2;
        if (!in_kernel) {
            if (!fft_full_) fft_full_ = need_fft(n, GpuPrecision::f32);
            work_.ensure(bytes(F * n, 8));
        }
        for (int64_t r = 0; r < B; ++r) {
            KParams pr = p;
            pr.row = static_cast<int32_t>(std::min<int64_t>(r, std::numeric_limits<int32_t>::max()));
            const float2* cg = complex ? cgrad + r * F * K : nullptr;
            const float* rg = complex ? nullptr : rgrad + r * F * K;
            const float* xr = x + r * L;
            if (in_kernel) {
                stft_bwd_frames<<<static_cast<unsigned>(F), plan_.threads, plan_.shared_bytes(), s>>>(
                    cg, rg, xr, frames_.as<float>(), plan_.win(), plan_.tw(), plan_.stw(), pr);
            } else {
                if (!complex) {
                    frame_c2<float, float2><<<dim3(blocks_for(F * n), 1), kBlock, 0, s>>>(xr, work_.as<float2>(),
                                                                                        plan_.win(), pr, n, 1);
                    fft_full_->execute_device(work_.get(), F, false, stream);
                }
                bwd_full_spectrum<<<blocks_for(F * n), kBlock, 0, s>>>(cg, rg, work_.as<float2>(), pr, n);
                fft_full_->execute_device(work_.get(), F, true, stream);
                full_real_frames<<<blocks_for(F * n), kBlock, 0, s>>>(work_.as<const float2>(), frames_.as<float>(),
                                                                      plan_.win(), n, F * n, 1.0f);
            }
            // The row goes through the pointer; the kernel's row index stays 0.
            KParams gather = pr;
            gather.row = 0;
            ola_gather<<<blocks_for(L), kBlock, 0, s>>>(frames_.as<const float>(), out + r * L, gather, n);
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
        const int64_t K = p.n_bins, P = padded_length(F), pad = p.pad;
        const int64_t kept = std::max<int64_t>(0, std::min(P - pad, length));
        const float scale = 1.0f / static_cast<float>(n);
        envelope(P, F, s);
        frames_.ensure(bytes(F * n, 4));
        if (!plan_.pow2) work_.ensure(bytes(F * n, 8));
        for (int64_t r = 0; r < B; ++r) {
            const float2* row = spec + r * F * K;
            if (plan_.pow2) {
                istft_fwd_frames<<<static_cast<unsigned>(F), plan_.threads, plan_.shared_bytes(), s>>>(
                    row, frames_.as<float>(), plan_.win(), plan_.tw(), plan_.stw(), p, scale);
            } else {
                istft_full_spectrum<<<blocks_for(F * n), kBlock, 0, s>>>(row, work_.as<float2>(), p, n);
                fft_full_->execute_device(work_.get(), F, true, stream);
                full_real_frames<<<blocks_for(F * n), kBlock, 0, s>>>(work_.as<const float2>(), frames_.as<float>(),
                                                                      plan_.win(), n, F * n, scale);
            }
            istft_gather<<<blocks_for(length), kBlock, 0, s>>>(frames_.as<const float>(), env_.as<const float>(),
                                                               out + r * length, kept, length, n,
                                                               config_.hop_length, pad, F);
            check_launch("istft_fwd");
        }
    }

    void run_backward(const float* grad, float2* out, int64_t B, int64_t length, int64_t F, uint64_t stream) {
        if (B == 0 || F < 1) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(F);
        const int n = config_.n_fft;
        const int64_t K = p.n_bins, P = padded_length(F), pad = p.pad;
        const int64_t kept = std::max<int64_t>(0, std::min(P - pad, length));
        const float scale = 1.0f / static_cast<float>(n);
        envelope(P, F, s);
        padded_.ensure(bytes(P, 4));
        if (!plan_.pow2) work_.ensure(bytes(F * n, 8));
        for (int64_t r = 0; r < B; ++r) {
            istft_grad_pad<<<blocks_for(P), kBlock, 0, s>>>(grad + r * length, env_.as<const float>(),
                                                            padded_.as<float>(), P, pad, kept);
            float2* row = out + r * F * K;
            if (plan_.pow2) {
                istft_bwd_frames<<<static_cast<unsigned>(F), plan_.threads, plan_.shared_bytes(), s>>>(
                    padded_.as<const float>(), row, plan_.win(), plan_.tw(), plan_.stw(), p, scale);
            } else {
                istft_full_grad_frames<<<blocks_for(F * n), kBlock, 0, s>>>(
                    padded_.as<const float>(), work_.as<float2>(), plan_.win(), n, config_.hop_length, F, scale);
                fft_full_->execute_device(work_.get(), F, false, stream);
                istft_full_bins<<<blocks_for(F * K), kBlock, 0, s>>>(work_.as<const float2>(), row, n,
                                                                     static_cast<int>(K), plan_.half, F);
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
