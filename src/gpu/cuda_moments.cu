// GPU spectral moments.  One block per (frame, row) computes the frame's
// packed spectrum (in shared memory, or from the batched half-length FFT for
// other even lengths), reduces its bins to the sums every statistic needs
// (two block reductions: the first gives the centroid the central sums are
// taken about), and writes the requested statistics.  Backward recomputes
// them, turns the output gradients into bin gradients, carries those through
// the adjoint of the real FFT and the window into frame gradients, and a
// gather folds the frames onto the signal.
//
// Layouts: signal [b][t]; output and its gradient [b][feature][f].
#include <algorithm>
#include <cstdint>
#include <memory>

#include "gpu/cuda_feature_engine.cuh"
#include "ops/moments.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// The frame's statistics from its spectrum s; red holds blockDim.x sums.
__device__ MomentStats frame_moments(const float2* s, MomentSums* red, const float2* stw, const MomentConsts& c,
                                     int h) {
    const int tid = threadIdx.x, n = blockDim.x;
    const MomentSums sums = block_reduce(moment_sums(s, h, stw, c, tid, n), red,
                                         [](MomentSums a, const MomentSums& b) { return combine_sums(a, b); });
    float3 central = make_float3(0.0f, 0.0f, 0.0f);
    if (c.central) {  // uniform over the block
        central = block_reduce(central_sums(s, h, stw, c, moment_centroid(sums), tid, n), reinterpret_cast<float3*>(red),
                               [](float3 a, const float3& b) { return combine_central(a, b); });
    }
    return moment_stats(sums, central, c);
}

// Dynamic shared memory: the packed spectrum (h + 1 entries), then one
// MomentSums per thread for the reductions.
__global__ void moments_fwd(const float* __restrict__ x, const float2* __restrict__ z, float* __restrict__ out,
                            const int32_t* __restrict__ codes, int n_features, const float* __restrict__ window,
                            const float2* __restrict__ tw, const float2* __restrict__ stw, MomentConsts c, KParams p,
                            int64_t rows) {
    extern __shared__ float2 s[];
    MomentSums* red = reinterpret_cast<MomentSums*>(s + p.half + 1);
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        load_spectrum(s, x + b * p.n_samples, z ? z + (b * F + f) * p.half : nullptr, f, window, tw, p);
        const MomentStats st = frame_moments(s, red, stw, c, p.half);
        for (int e = threadIdx.x; e < n_features; e += blockDim.x) out[(b * n_features + e) * F + f] = st.value[codes[e]];
        __syncthreads();  // s is refilled for the next row
    }
}

__global__ void moments_bwd_frames(const float* __restrict__ grad, const float* __restrict__ x, float2* z,
                                   float* __restrict__ frames, const int32_t* __restrict__ codes, int n_features,
                                   const float* __restrict__ window, const float2* __restrict__ tw,
                                   const float2* __restrict__ stw, MomentConsts c, KParams p, int64_t rows) {
    extern __shared__ float2 s[];
    MomentSums* red = reinterpret_cast<MomentSums*>(s + p.half + 1);
    const int h = p.half;
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        float2* zf = z ? z + (b * F + f) * h : nullptr;
        load_spectrum(s, x + b * p.n_samples, zf, f, window, tw, p);
        const MomentStats st = frame_moments(s, red, stw, c, h);
        float gc[kMomentCodes] = {};
        for (int e = 0; e < n_features; ++e) gc[codes[e]] += grad[(b * n_features + e) * F + f];
        const MomentGrad g = moment_grad(st, gc, c);
        for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) {
            feature_bwd_pair(s, k, h, stw, [&](float2 X, int bin) { return moment_bin_gradient(X, bin, g, c); });
        }
        store_frame_gradient(s, zf, frames + (b * F + f) * 2 * h, window, tw, h);
    }
}

class CudaMoments final : public FeatureEngine {
public:
    explicit CudaMoments(const ops::MomentsParams& params)
        : frames_(params, ops::validate_frame<float>(params)), n_features_(int(params.features.size())),
          codes_(upload(params.features.data(), params.features.size() * sizeof(int32_t))),
          consts_(moment_consts(params)) {}

protected:
    int64_t n_frames(int64_t L) const override { return frames_.n_frames(L); }
    int64_t rows() const override { return n_features_; }

    void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) override {
        const KParams p = frames_.params(L, F);
        const int64_t chunk = frames_.chunk_rows(B, F, 0, false);
        for (int64_t r0 = 0; r0 < B; r0 += chunk) {
            const int64_t rows = std::min(chunk, B - r0);
            const float2* z = frames_.spectra(x + r0 * L, rows, p, stream);
            moments_fwd<<<dim3(unsigned(F), grid_rows(rows)), plan().threads, shared(), to_stream(stream)>>>(
                x + r0 * L, z, out + r0 * n_features_ * F, codes_.as<const int32_t>(), n_features_, plan().win(),
                plan().tw(), plan().stw(), consts_, p, rows);
            check_launch("moments_fwd");
        }
    }

    void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                         uint64_t stream) override {
        return arena_result(stream, bytes(B * L, 4), [&](void* block) {
            if (B == 0 || L == 0) return;
            float* out = static_cast<float*>(block);
            const KParams p = frames_.params(L, F);
            const int64_t chunk = frames_.chunk_rows(B, F, 0, true);
            for (int64_t r0 = 0; r0 < B; r0 += chunk) {
                const int64_t rows = std::min(chunk, B - r0);
                float2* z = frames_.spectra(x + r0 * L, rows, p, stream);
                moments_bwd_frames<<<dim3(unsigned(F), grid_rows(rows)), plan().threads, shared(),
                                     to_stream(stream)>>>(
                    grad + r0 * n_features_ * F, x + r0 * L, z, frames_.frame_grads(rows, F),
                    codes_.as<const int32_t>(), n_features_, plan().win(), plan().tw(), plan().stw(), consts_, p, rows);
                frames_.fold(out + r0 * L, rows, p, stream);
                check_launch("moments_bwd");
            }
        });
    }

private:
    const FramePlan& plan() const { return frames_.plan; }
    std::size_t shared() const { return plan().shared_bytes() + std::size_t(plan().threads) * sizeof(MomentSums); }

    SpectralFrames frames_;
    int n_features_;
    DeviceBuffer codes_;
    MomentConsts consts_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<FeatureGpu> make_moments_gpu(const ops::MomentsParams& params) {
    const std::size_t n = params.features.size();
    if (!gpu_available() || !cuda::frame_fft_fits(params.n_fft) || n < 1 || n > cuda::kMaxMomentFeatures) {
        return nullptr;
    }
    for (int32_t code : params.features) {
        if (code < 0 || code >= cuda::kMomentCodes) return nullptr;
    }
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaMoments>(params);
}

}  // namespace qorva::dsp::gpu
