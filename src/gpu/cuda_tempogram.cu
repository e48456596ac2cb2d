// GPU autocorrelation tempogram on the GPU onset engine.  `tempo_fwd`, one
// block per (frame, row), holds the frame's windowed envelope segment in
// shared memory, reduces its energy r_0, and gives each thread whole lags of
// the direct O(W^2) autocorrelation, normalised by r_0.  Backward: per chunk
// of rows, `tempo_bwd` forms the gradient of each segment (the lag-0
// normaliser differentiated exactly), `tempo_gather` collects the segments
// that hold each envelope value, and the onset engine's resident backward
// carries that to the signal.
//
// Layouts: envelope [b][f]; output and its gradient [b][lag][f]; segment
// gradients [b][f][i].
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "gpu/cuda_feature_engine.cuh"
#include "ops/framing.hpp"
#include "ops/options.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

constexpr int kMaxTempoWin = 4096;  // two segments of floats stay within 32 KiB of shared memory

// Grid (frames, rows), kBlock threads, W floats of dynamic shared memory.
__global__ void tempo_fwd(const float* __restrict__ env, float* __restrict__ out, const float* __restrict__ window,
                          TParams p, int n_ac) {
    extern __shared__ float seg[];
    __shared__ float red[kBlock];
    const int W = p.win_length;
    const int64_t t = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < p.batch; b += gridDim.y) {
        for (int i = threadIdx.x; i < W; i += blockDim.x) seg[i] = tempo_segment_value(env + b * F, window, t, i, p);
        __syncthreads();
        const float scale = tempo_scale(block_reduce(tempo_energy(seg, W, threadIdx.x, blockDim.x), red, AddFloats{}),
                                        n_ac);
        float* dst = out + b * W * F + t;
        for (int l = threadIdx.x; l < W; l += blockDim.x) dst[l * F] = scale * tempo_lag(seg, W, l);
        __syncthreads();  // seg is refilled for the next row
    }
}

// Segment gradients of a chunk's rows, grid (frames, rows), kBlock threads,
// 2W floats of dynamic shared memory: the segment, then the lag weights.
__global__ void tempo_bwd(const float* __restrict__ grad, const float* __restrict__ env, float* __restrict__ seg_grad,
                          const float* __restrict__ window, TParams p, int n_ac, int64_t rows) {
    extern __shared__ float seg[];
    __shared__ float red[kBlock];
    const int W = p.win_length;
    float* G = seg + W;
    const int64_t t = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        for (int i = threadIdx.x; i < W; i += blockDim.x) {
            seg[i] = tempo_segment_value(env + b * F, window, t, i, p);
            G[i] = grad[(b * W + i) * F + t];
        }
        __syncthreads();
        const float scale = tempo_scale(block_reduce(tempo_energy(seg, W, threadIdx.x, blockDim.x), red, AddFloats{}),
                                        n_ac);
        const float lowered =
            block_reduce(tempo_lowered(seg, G, scale, W, threadIdx.x, blockDim.x), red, AddFloats{});
        // Every read of G above is behind the reduction's barriers.
        for (int l = threadIdx.x; l < W; l += blockDim.x) G[l] = tempo_lag_weight(G[l], l, scale, lowered);
        __syncthreads();
        float* dst = seg_grad + (b * F + t) * W;
        for (int m = threadIdx.x; m < W; m += blockDim.x) dst[m] = tempo_segment_gradient(seg, G, W, m);
        __syncthreads();  // seg and G are refilled for the next row
    }
}

// Envelope gradients of a chunk's rows, one thread per envelope value.
__global__ void tempo_gather(const float* __restrict__ seg_grad, float* __restrict__ env_grad,
                             const float* __restrict__ window, TParams p, int64_t rows) {
    const int64_t q = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames;
    if (q >= rows * F) return;
    const int64_t b = q / F;
    env_grad[q] = tempo_envelope_gradient(seg_grad + b * F * p.win_length, window, q % F, p);
}

class CudaTempogram final : public FeatureEngine {
public:
    CudaTempogram(const ops::MelOptions& options, int32_t tempo_win, std::shared_ptr<FeatureGpu> onset)
        : frame_(options.frame), W_(tempo_win), onset_(std::move(onset)) {
        n_ac_ = 1;
        while (n_ac_ < 2 * W_ - 1) n_ac_ *= 2;
        const std::vector<float> w = ops::build_window<float>(ops::WindowSpec{}, W_, W_);
        window_ = upload(w.data(), w.size() * sizeof(float));
    }

protected:
    int64_t n_frames(int64_t L) const override { return frame_.n_frames(L); }
    int64_t rows() const override { return W_; }

    void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) override {
        const ArenaBlock env(onset_->forward_resident(tensor_at(x), B, L, stream));
        tempo_fwd<<<dim3(unsigned(F), grid_rows(B)), kBlock, std::size_t(W_) * 4, to_stream(stream)>>>(
            env.f(), out, window_.as<const float>(), kparams(B, F), n_ac_);
        check_launch("tempo_fwd");
    }

    void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                         uint64_t stream) override {
        if (B == 0 || F == 0) return arena_alloc(bytes(B * L, 4), stream);
        const cudaStream_t s = to_stream(stream);
        const TParams p = kparams(B, F);
        const ArenaBlock env(onset_->forward_resident(tensor_at(x), B, L, stream));
        const ArenaBlock env_grad(arena_alloc(bytes(B * F, 4), stream));
        const int64_t chunk = rows_per_chunk(F * W_ * 4, B);
        seg_grad_.ensure(bytes(chunk * F * W_, 4));
        for (int64_t r0 = 0; r0 < B; r0 += chunk) {
            const int64_t rows = std::min(chunk, B - r0);
            tempo_bwd<<<dim3(unsigned(F), grid_rows(rows)), kBlock, std::size_t(W_) * 8, s>>>(
                grad + r0 * W_ * F, env.f() + r0 * F, seg_grad_.as<float>(), window_.as<const float>(), p, n_ac_,
                rows);
            tempo_gather<<<blocks_for(rows * F), kBlock, 0, s>>>(seg_grad_.as<const float>(), env_grad.f() + r0 * F,
                                                                window_.as<const float>(), p, rows);
            check_launch("tempo_bwd");
        }
        return onset_->backward_resident(tensor_at(env_grad.ptr), tensor_at(x), B, L, stream);
    }

private:
    TParams kparams(int64_t B, int64_t F) const {
        require_int32(B, "batch");
        return TParams{static_cast<int32_t>(F), static_cast<int32_t>(B), W_};
    }

    ops::FrameOptions frame_;
    int32_t W_, n_ac_;
    DeviceBuffer window_, seg_grad_;
    std::shared_ptr<FeatureGpu> onset_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<FeatureGpu> make_tempogram_gpu(const ops::MelOptions& options, int32_t tempo_win) {
    if (!gpu_available() || !cuda::frame_fft_fits(options.frame.n_fft)) return nullptr;
    if (tempo_win < 1 || tempo_win > cuda::kMaxTempoWin) return nullptr;
    std::shared_ptr<FeatureGpu> onset = make_onset_gpu(options);
    if (!onset || !onset->supports_resident()) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaTempogram>(options, tempo_win, std::move(onset));
}

}  // namespace qorva::dsp::gpu
