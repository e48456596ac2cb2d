// GPU mel spectrogram engine.
//
// Forward: one fused kernel per (frame, row) block: the frame's packed
// half-length FFT in shared memory (power-of-two half), then each thread sums
// whole bands, splitting the bins it needs from the packed spectrum on the
// fly, so neither the spectrum nor a power array leaves shared memory and
// only n_mels values per frame are written.  Other even lengths pack the
// frames, run the batched half-length FFT and let the same band kernel read
// the packed spectra from global memory.
//
// Backward: per chunk of rows, a frame kernel recomputes the spectrum, takes
// the chain rule from the mel gradient back to the windowed frame (through
// the inverse half-length FFT) and writes the frame gradients; a gather then
// folds them onto the samples, with the reflect-padding images (no atomics).
//
// Layouts: signals [b][t]; mel output and gradient [b][m][f].
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_frame_engine.cuh"
#include "gpu/cuda_mel_math.cuh"
#include "gpu/gpu_engines.hpp"
#include "ops/mel.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// Largest band count the engine takes.
constexpr int kMaxMels = 1024;

// Packs and transforms frame f of a row into s (h values) with the block.
__device__ void packed_frame_fft(float2* s, const float* row, int64_t f, const float* window, const float2* tw,
                                 const KParams& p) {
    const int64_t start = f * p.hop - p.pad;
    for (int j = threadIdx.x; j < p.half; j += blockDim.x) {
        s[j] = packed_pair<float, float2>(row, p.n_samples, start, j, window, p.reflect != 0);
    }
    __syncthreads();
    shared_fft<16>(s, tw, p.half, 1.0f, false);
}

// Fused forward, grid (frames, rows): the frame FFT in shared memory, then
// the bands.
__global__ void mel_fwd(const float* __restrict__ x, float* __restrict__ out, const float* __restrict__ window,
                        const float2* __restrict__ tw, const float2* __restrict__ stw, MelBandsView fb, KParams p,
                        int64_t B) {
    extern __shared__ float2 s[];
    const int64_t f = blockIdx.x, F = p.n_frames;
    for_rows(blockIdx.y, gridDim.y, B, [&](int64_t b) {
        packed_frame_fft(s, x + b * p.n_samples, f, window, tw, p);
        mel_frame_values(s, out + b * fb.n_mels * F + f, F, p.half, stw, fb, p.mode, threadIdx.x, blockDim.x);
        __syncthreads();  // s is refilled for the next row
    });
}

// Bands of frames already transformed by the batched FFT, grid (frames, rows).
__global__ void mel_bands(const float2* __restrict__ z, float* __restrict__ out, const float2* __restrict__ stw,
                          MelBandsView fb, KParams p, int64_t B) {
    const int64_t f = blockIdx.x, F = p.n_frames;
    for_rows(blockIdx.y, gridDim.y, B, [&](int64_t b) {
        mel_frame_values(z + (b * F + f) * p.half, out + b * fb.n_mels * F + f, F, p.half, stw, fb, p.mode,
                         threadIdx.x, blockDim.x);
    });
}

// Frame gradients of the rows of a chunk (power-of-two half), grid (frames,
// chunk rows): recompute the spectrum, band gradients into shared memory,
// the bin pairs, the inverse half-length FFT and the window.
__global__ void mel_bwd_frames(const float* __restrict__ grad, const float* __restrict__ x,
                               float* __restrict__ frames, const float* __restrict__ window,
                               const float2* __restrict__ tw, const float2* __restrict__ stw, MelBandsView fb,
                               MelBinsView bins, KParams p, int64_t rows) {
    extern __shared__ float2 s[];
    float* band_grad = reinterpret_cast<float*>(s + p.half + 1);
    const int h = p.half;
    const int64_t f = blockIdx.x, F = p.n_frames, M = fb.n_mels;
    for_rows(blockIdx.y, gridDim.y, rows, [&](int64_t b) {
        packed_frame_fft(s, x + b * p.n_samples, f, window, tw, p);
        mel_band_gradients(grad + b * M * F + f, F, band_grad, s, h, stw, fb, p.mode, threadIdx.x, blockDim.x);
        __syncthreads();
        for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) mel_bwd_pair(s, k, h, band_grad, bins, p.mode, stw);
        __syncthreads();
        shared_fft<16>(s, tw, h, -1.0f, false);
        float* dst = frames + (b * F + f) * 2 * h;
        for (int j = threadIdx.x; j < h; j += blockDim.x) {
            dst[2 * j] = s[j].x * __ldg(window + 2 * j);
            dst[2 * j + 1] = s[j].y * __ldg(window + 2 * j + 1);
        }
        __syncthreads();
    });
}

// The same with the packed spectra z in global memory, already transformed
// by the batched FFT; z is rewritten in place with the inverse FFT's input.
__global__ void mel_bwd_bins(const float* __restrict__ grad, float2* __restrict__ z, const float2* __restrict__ stw,
                             MelBandsView fb, MelBinsView bins, KParams p, int64_t rows) {
    extern __shared__ float band_grad_shared[];
    const int h = p.half;
    const int64_t f = blockIdx.x, F = p.n_frames, M = fb.n_mels;
    for_rows(blockIdx.y, gridDim.y, rows, [&](int64_t b) {
        float2* Z = z + (b * F + f) * h;
        mel_band_gradients(grad + b * M * F + f, F, band_grad_shared, Z, h, stw, fb, p.mode, threadIdx.x,
                           blockDim.x);
        __syncthreads();
        for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) {
            mel_bwd_pair(Z, k, h, band_grad_shared, bins, p.mode, stw);
        }
        __syncthreads();
    });
}

// ---------------------------------------------------------------------------

class CudaMel final : public MelGpu {
public:
    CudaMel(const ops::MelParams<float>& params, const MelTables& tables)
        : frame_(params), n_mels_(params.n_mels), plan_(params.window_values, params.n_fft),
          start_(upload(tables.start.data(), tables.start.size() * sizeof(int32_t))),
          offset_(upload(tables.offset.data(), tables.offset.size() * sizeof(int32_t))),
          weight_(upload(tables.weight.data(), tables.weight.size() * sizeof(float))),
          bin_band_(upload(tables.bin_band.data(), tables.bin_band.size() * sizeof(int2))),
          bin_weight_(upload(tables.bin_weight.data(), tables.bin_weight.size() * sizeof(float2))) {
        if (!plan_.pow2) fft_half_ = need_fft(plan_.half, GpuPrecision::f32);
    }

    void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, float* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * n_mels_ * F, 4));
        run_forward(in_.as<const float>(), out_.as<float>(), B, L, F, mode, 0);
        stage_d2h(out, out_.get(), bytes(B * n_mels_ * F, 4));
    }

    void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                         float* grad_signal) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        grad_.ensure(bytes(B * n_mels_ * F, 4));
        stage_h2d(grad_.get(), grad, bytes(B * n_mels_ * F, 4));
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * L, 4));
        run_backward(grad_.as<const float>(), in_.as<const float>(), out_.as<float>(), B, L, F, mode, 0);
        stage_d2h(grad_signal, out_.get(), bytes(B * L, 4));
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                           uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * n_mels_ * F, 4), [&](void* out) {
            run_forward(static_cast<const float*>(signal.ptr()), static_cast<float*>(out), B, L, F, mode, stream);
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                            ops::OutputMode mode, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * L, 4), [&](void* out) {
            run_backward(static_cast<const float*>(grad.ptr()), static_cast<const float*>(signal.ptr()),
                         static_cast<float*>(out), B, L, F, mode, stream);
        });
    }

private:
    int64_t frames_for(int64_t L) const {
        require_int32(L, "signal length");
        const int64_t F = frame_.n_frames(L);
        require_int32(F, "frame count");
        return F;
    }

    KParams params(int64_t L, int64_t F, ops::OutputMode mode) const {
        KParams p{};
        p.n_samples = static_cast<int32_t>(L);
        p.n_frames = static_cast<int32_t>(F);
        p.n_bins = plan_.half + 1;
        p.hop = frame_.hop_length;
        p.pad = frame_.center ? frame_.n_fft / 2 : 0;
        p.mode = mode == ops::OutputMode::magnitude ? kModeMagnitude : mode == ops::OutputMode::db ? kModeDb : kModePower;
        p.reflect = frame_.pad_mode == ops::PadMode::reflect ? 1 : 0;
        p.aux = n_mels_;
        p.half = plan_.half;
        p.log2_half = plan_.log2_half;
        return p;
    }

    MelBandsView bands() const {
        return {start_.as<const int32_t>(), offset_.as<const int32_t>(), weight_.as<const float>(), n_mels_};
    }
    MelBinsView bins() const { return {bin_band_.as<const int2>(), bin_weight_.as<const float2>()}; }

    void run_forward(const float* x, float* out, int64_t B, int64_t L, int64_t F, ops::OutputMode mode,
                     uint64_t stream) {
        if (B == 0 || F == 0) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(L, F, mode);
        const dim3 grid(static_cast<unsigned>(F), grid_rows(B));
        if (plan_.pow2) {
            mel_fwd<<<grid, plan_.threads, plan_.shared_bytes(), s>>>(x, out, plan_.win(), plan_.tw(), plan_.stw(),
                                                                      bands(), p, B);
            check_launch("mel_fwd");
            return;
        }
        work_.ensure(bytes(B * F * plan_.half, 8));
        pack_frames<<<grid, plan_.threads, 0, s>>>(x, work_.as<float2>(), plan_.win(), p, B);
        check_launch("mel_fwd");
        fft_half_->execute_device(work_.get(), B * F, false, stream);
        mel_bands<<<grid, plan_.threads, 0, s>>>(work_.as<const float2>(), out, plan_.stw(), bands(), p, B);
        check_launch("mel_fwd");
    }

    void run_backward(const float* grad, const float* x, float* out, int64_t B, int64_t L, int64_t F,
                      ops::OutputMode mode, uint64_t stream) {
        if (B == 0 || L == 0) return;
        const cudaStream_t s = to_stream(stream);
        const KParams p = params(L, F, mode);
        const int64_t n = frame_.n_fft, M = n_mels_;
        // Frame gradients, plus the packed spectra off the in-kernel path.
        const int64_t row_bytes = F * n * 4 + (plan_.pow2 ? 0 : F * n * 4);
        const int64_t chunk = rows_per_chunk(row_bytes, B);
        frames_.ensure(bytes(chunk * F * n, 4));
        if (!plan_.pow2) work_.ensure(bytes(chunk * F * plan_.half, 8));
        for (int64_t r0 = 0; r0 < B; r0 += chunk) {
            const int64_t rows = std::min(chunk, B - r0);
            const float* xr = x + r0 * L;
            const float* gr = grad + r0 * M * F;
            const dim3 grid(static_cast<unsigned>(F), grid_rows(rows));
            if (plan_.pow2) {
                const std::size_t shared = plan_.shared_bytes() + static_cast<std::size_t>(M) * sizeof(float);
                mel_bwd_frames<<<grid, plan_.threads, shared, s>>>(gr, xr, frames_.as<float>(), plan_.win(),
                                                                   plan_.tw(), plan_.stw(), bands(), bins(), p, rows);
            } else {
                pack_frames<<<grid, plan_.threads, 0, s>>>(xr, work_.as<float2>(), plan_.win(), p, rows);
                fft_half_->execute_device(work_.get(), rows * F, false, stream);
                mel_bwd_bins<<<grid, plan_.threads, static_cast<std::size_t>(M) * sizeof(float), s>>>(
                    gr, work_.as<float2>(), plan_.stw(), bands(), bins(), p, rows);
                fft_half_->execute_device(work_.get(), rows * F, true, stream);
                unpack_frame_gradients<<<blocks_for(rows * F * plan_.half), kBlock, 0, s>>>(
                    work_.as<const float2>(), frames_.as<float>(), plan_.win(), plan_.half, rows * F * plan_.half);
            }
            gather_frame_gradients<<<dim3(blocks_for(L), grid_rows(rows)), kBlock, 0, s>>>(frames_.as<const float>(),
                                                                             out + r0 * L, p, rows);
            check_launch("mel_bwd");
        }
    }

    ops::FrameOptions frame_;
    int32_t n_mels_;
    FramePlan plan_;
    DeviceBuffer start_, offset_, weight_, bin_band_, bin_weight_;
    std::unique_ptr<FftGpu> fft_half_;
    DeviceBuffer in_, out_, grad_, work_, frames_;
    std::mutex mutex_;
    CallOrder order_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<MelGpu> make_mel_gpu(const ops::MelOptions& options) {
    const int n = options.frame.n_fft;
    if (!gpu_available() || n < 64 || n % 2 != 0 || options.n_mels > cuda::kMaxMels) return nullptr;
    const int half = n / 2;
    const bool pow2 = cuda::is_pow2(half);
    if ((half + (pow2 ? 0 : half)) * 8 + 8 > cuda::kSharedBudget) return nullptr;
    if (!pow2 && !fft_gpu_supported(half, GpuPrecision::f32)) return nullptr;
    const ops::MelParams<float> params(options);
    const cuda::MelTables tables(params);
    if (!tables.two_bands_per_bin) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaMel>(params, tables);
}

}  // namespace qorva::dsp::gpu
