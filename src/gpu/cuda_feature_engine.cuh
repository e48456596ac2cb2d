// What the GPU feature engines share: the staged and resident entries around
// an engine's forward and backward routines, the frame-FFT size rule, and for
// the spectral engines (moments, flux) the frame spectra and the fold of frame
// gradients onto the signal.  Included only by CUDA sources; the kernels here
// are file-local to each unit that includes it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_feature_math.cuh"
#include "gpu/cuda_frame_engine.cuh"
#include "gpu/feature_gpu.hpp"

namespace qorva::dsp::gpu::cuda {

// The frame FFT the spectral kernels can take: n_fft >= 64 and even, the
// packed half-length frame (twice it off the power-of-two path) within the
// shared-memory budget, and a batched GPU FFT for other halves.
inline bool frame_fft_fits(int n) {
    if (n < 64 || n % 2 != 0) return false;
    const int half = n / 2;
    const bool pow2 = is_pow2(half);
    if ((half + (pow2 ? 0 : half)) * 8 + 8 > kSharedBudget) return false;
    return pow2 || fft_gpu_supported(half, GpuPrecision::f32);
}

// An arena block given back when the scope ends: intermediate results are
// released once the work reading them is queued (the arena reuses a block
// only on the stream it was made for, after that work).
struct ArenaBlock {
    void* ptr;
    explicit ArenaBlock(void* p) : ptr(p) {}
    ArenaBlock(const ArenaBlock&) = delete;
    ArenaBlock& operator=(const ArenaBlock&) = delete;
    ~ArenaBlock() { arena_release(ptr); }
    float* f() const { return static_cast<float*>(ptr); }
};

inline DeviceTensorRef tensor_at(const void* data) {
    DeviceTensorRef r;
    r.data = data;
    return r;
}

// The FeatureGpu entries of every feature engine: each call holds the engine
// lock and its call order; staged calls run the resident routines on the
// legacy stream between pinned copies.
class FeatureEngine : public FeatureGpu {
public:
    void forward_staged(const float* signal, int64_t B, int64_t L, float* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L), n_out = B * rows() * F;
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(n_out, 4));
        if (B > 0 && F > 0) forward_into(in_.as<const float>(), out_.as<float>(), B, L, F, 0);
        stage_d2h(out, out_.get(), bytes(n_out, 4));
    }

    void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L, float* grad_signal) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L), n_out = B * rows() * F;
        grad_.ensure(bytes(n_out, 4));
        stage_h2d(grad_.get(), grad, bytes(n_out, 4));
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        const ArenaBlock result(backward_block(grad_.as<const float>(), in_.as<const float>(), B, L, F, 0));
        stage_d2h(grad_signal, result.ptr, bytes(B * L, 4));
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * rows() * F, 4), [&](void* out) {
            if (B > 0 && F > 0) {
                forward_into(static_cast<const float*>(signal.ptr()), static_cast<float*>(out), B, L, F, stream);
            }
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                            uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return backward_block(static_cast<const float*>(grad.ptr()), static_cast<const float*>(signal.ptr()), B, L,
                              F, stream);
    }

protected:
    // Frames of a signal of L samples (the CPU engine's rule).
    virtual int64_t n_frames(int64_t L) const = 0;
    // Output values per frame.
    virtual int64_t rows() const = 0;
    // Queues the forward pass of B > 0 rows of F > 0 frames into out.
    virtual void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) = 0;
    // Queues the backward pass; returns an arena block of B x L gradients.
    virtual void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                                 uint64_t stream) = 0;

private:
    int64_t frames_for(int64_t L) const {
        require_int32(L, "signal length");
        const int64_t F = n_frames(L);
        require_int32(F, "frame count");
        return F;
    }

    DeviceBuffer in_, out_, grad_;
    std::mutex mutex_;
    CallOrder order_;
};

namespace {

// The packed half-length spectrum of frame f of a row into s (h + 1 entries
// of shared memory): transformed in place by the block (z null, power-of-two
// halves) or copied from the batched FFT's output z.  Returns after a barrier.
__device__ void load_spectrum(float2* s, const float* row, const float2* z, int64_t f, const float* window,
                              const float2* tw, const KParams& p) {
    if (z != nullptr) {
        for (int j = threadIdx.x; j < p.half; j += blockDim.x) s[j] = z[j];
        __syncthreads();
        return;
    }
    const int64_t start = f * p.hop - p.pad;
    for (int j = threadIdx.x; j < p.half; j += blockDim.x) {
        s[j] = packed_pair<float, float2>(row, p.n_samples, start, j, window, p.reflect != 0);
    }
    __syncthreads();
    shared_fft<16>(s, tw, p.half, 1.0f, false);
}

// With s holding the packed input of the inverse half-length FFT (written by
// real_fft_adjoint_pair), the windowed frame gradient: transformed in the
// block into frame (z null), or written back to z for the batched inverse.
__device__ void store_frame_gradient(float2* s, float2* z, float* frame, const float* window, const float2* tw,
                                     int h) {
    __syncthreads();  // the pairs come from other threads
    if (z != nullptr) {
        for (int j = threadIdx.x; j < h; j += blockDim.x) z[j] = s[j];
    } else {
        shared_fft<16>(s, tw, h, -1.0f, false);
        for (int j = threadIdx.x; j < h; j += blockDim.x) {
            frame[2 * j] = s[j].x * __ldg(window + 2 * j);
            frame[2 * j + 1] = s[j].y * __ldg(window + 2 * j + 1);
        }
    }
    __syncthreads();  // s is refilled for the next row
}

}  // namespace

// The frame plan of a spectral engine with its batched FFT (for halves that
// are not powers of two) and scratch, processed in chunks of rows.
class SpectralFrames {
public:
    SpectralFrames(const ops::FrameOptions& o, const std::vector<float>& window) : frame(o), plan(window, o.n_fft) {
        if (!plan.pow2) fft_half_ = need_fft(plan.half, GpuPrecision::f32);
    }

    int64_t n_frames(int64_t L) const { return frame.n_frames(L); }

    KParams params(int64_t L, int64_t F) const {
        KParams p{};
        p.n_samples = static_cast<int32_t>(L);
        p.n_frames = static_cast<int32_t>(F);
        p.n_bins = plan.half + 1;
        p.hop = frame.hop_length;
        p.pad = frame.center ? frame.n_fft / 2 : 0;
        p.reflect = frame.pad_mode == ops::PadMode::reflect ? 1 : 0;
        p.half = plan.half;
        p.log2_half = plan.log2_half;
        return p;
    }

    // Rows per chunk when each row also needs `extra` bytes of the caller's
    // scratch per frame (and `frames` tells whether frame gradients are kept).
    int64_t chunk_rows(int64_t B, int64_t F, int64_t extra, bool frames) const {
        const int64_t per_frame = (plan.pow2 ? 0 : int64_t(plan.half) * 8) + (frames ? 4 * int64_t(plan.n_fft) : 0);
        return rows_per_chunk(F * (per_frame + extra), B);
    }

    // The batched-FFT spectra of a chunk's rows (null on the in-kernel path).
    float2* spectra(const float* x, int64_t rows, const KParams& p, uint64_t stream) {
        if (plan.pow2) return nullptr;
        const int64_t F = p.n_frames;
        work_.ensure(bytes(rows * F * plan.half, 8));
        pack_frames<<<dim3(static_cast<unsigned>(F), grid_rows(rows)), plan.threads, 0, to_stream(stream)>>>(
            x, work_.as<float2>(), plan.win(), p, rows);
        fft_half_->execute_device(work_.get(), rows * F, false, stream);
        return work_.as<float2>();
    }

    float* frame_grads(int64_t rows, int64_t F) {
        frames_.ensure(bytes(rows * F * plan.n_fft, 4));
        return frames_.as<float>();
    }

    // Folds the chunk's frame gradients (after the batched inverse FFT off
    // the in-kernel path) onto the signal rows at out.
    void fold(float* out, int64_t rows, const KParams& p, uint64_t stream) {
        const cudaStream_t s = to_stream(stream);
        const int64_t F = p.n_frames, L = p.n_samples;
        if (!plan.pow2) {
            fft_half_->execute_device(work_.get(), rows * F, true, stream);
            unpack_frame_gradients<<<blocks_for(rows * F * plan.half), kBlock, 0, s>>>(
                work_.as<const float2>(), frames_.as<float>(), plan.win(), plan.half, rows * F * plan.half);
        }
        gather_frame_gradients<<<dim3(blocks_for(L), grid_rows(rows)), kBlock, 0, s>>>(frames_.as<const float>(), out, p,
                                                                              rows);
    }

    const ops::FrameOptions frame;
    const FramePlan plan;

private:
    std::unique_ptr<FftGpu> fft_half_;
    DeviceBuffer work_, frames_;
};

}  // namespace qorva::dsp::gpu::cuda
