// GPU frame RMS.  Forward: one thread per (row, frame) sums the squares of
// its frame's padded samples.  Backward: one thread per (row, frame) turns
// the output gradient into the frame's factor g / (frame_length r), then one
// thread per sample multiplies it by the factors of every frame that reads
// it, reflect images included.  Working with factors instead of
// frame_length x F frame gradients keeps the scratch at B x F values.
//
// Layouts: signal and its gradient [b][t]; output and its gradient [b][f].
#include <cstdint>
#include <memory>

#include "gpu/cuda_feature_engine.cuh"
#include "ops/feature_common.hpp"
#include "ops/options.hpp"
#include "ops/rms.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

__global__ void rms_fwd(const float* __restrict__ x, float* __restrict__ out, RParams p) {
    const int64_t q = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames;
    if (q >= int64_t(p.batch) * F) return;
    const int64_t b = q / F, f = q % F;
    out[q] = rms_value(rms_frame_sum(x + b * p.n_samples, p, f * p.hop - p.pad), p.frame_length);
}

__global__ void rms_bwd_frames(const float* __restrict__ grad, const float* __restrict__ x,
                               float* __restrict__ factor, RParams p) {
    const int64_t q = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames;
    if (q >= int64_t(p.batch) * F) return;
    const int64_t b = q / F, f = q % F;
    const float r = rms_value(rms_frame_sum(x + b * p.n_samples, p, f * p.hop - p.pad), p.frame_length);
    factor[q] = rms_factor(grad[q], r, p.frame_length);
}

// Grid (sample blocks, rows).
__global__ void rms_ola(const float* __restrict__ factor, const float* __restrict__ x, float* __restrict__ out,
                        RParams p) {
    const int64_t t = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (t >= p.n_samples) return;
    const int64_t L = p.n_samples;
    for (int64_t b = blockIdx.y; b < p.batch; b += gridDim.y) {
        out[b * L + t] = rms_sample_gradient(factor + b * p.n_frames, x + b * L, t, p);
    }
}

class CudaRms final : public FeatureEngine {
public:
    explicit CudaRms(const ops::RmsParams& params) : params_(params) {}

protected:
    int64_t n_frames(int64_t L) const override {
        return ops::count_frames(L, params_.frame_length, params_.hop_length, params_.center, "frame_length");
    }
    int64_t rows() const override { return 1; }

    void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) override {
        const RParams p = kparams(B, L, F);
        rms_fwd<<<blocks_for(B * F), kBlock, 0, to_stream(stream)>>>(x, out, p);
        check_launch("rms_fwd");
    }

    void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                         uint64_t stream) override {
        return arena_result(stream, bytes(B * L, 4), [&](void* out) {
            if (B == 0 || L == 0) return;
            const cudaStream_t s = to_stream(stream);
            const RParams p = kparams(B, L, F);
            factor_.ensure(bytes(B * F, 4));
            rms_bwd_frames<<<blocks_for(B * F), kBlock, 0, s>>>(grad, x, factor_.as<float>(), p);
            rms_ola<<<dim3(blocks_for(L), grid_rows(B)), kBlock, 0, s>>>(factor_.as<const float>(), x,
                                                                        static_cast<float*>(out), p);
            check_launch("rms_bwd");
        });
    }

private:
    RParams kparams(int64_t B, int64_t L, int64_t F) const {
        require_int32(B, "batch");
        return RParams{static_cast<int32_t>(L), static_cast<int32_t>(F), params_.frame_length, params_.hop_length,
                       params_.center ? params_.frame_length / 2 : 0,
                       params_.pad_mode == ops::PadMode::reflect ? 1 : 0, static_cast<int32_t>(B), 0};
    }

    ops::RmsParams params_;
    DeviceBuffer factor_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<FeatureGpu> make_rms_gpu(const ops::RmsParams& params) {
    if (!gpu_available() || params.frame_length < 1 || params.hop_length < 1) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaRms>(params);
}

}  // namespace qorva::dsp::gpu
