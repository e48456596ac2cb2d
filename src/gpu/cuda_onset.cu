// GPU onset strength on the GPU mel engine: its resident forward gives the
// mel power [b][m][f] on the caller's stream, and `onset_reduce` (one block
// per frame and row) sums the dB rise over the bands.  Backward recomputes
// the mel power, `onset_dpow` turns the onset gradient into the gradient of
// every mel power value, and the mel engine's resident backward carries it to
// the signal.  Intermediate arena blocks go back once the work reading them
// is queued.
#include <cstdint>
#include <memory>

#include "gpu/cuda_feature_engine.cuh"
#include "gpu/gpu_engines.hpp"
#include "ops/options.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// Grid (frames, rows), kBlock threads.
__global__ void onset_reduce(const float* __restrict__ mel, float* __restrict__ out, OParams p) {
    __shared__ float red[kBlock];
    const int64_t t = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < p.batch; b += gridDim.y) {
        const float* rows = mel + b * p.n_mels * F;
        // Frame 0 has no predecessor; its block still takes part in the barriers.
        const float partial = t > 0 ? onset_sum(rows, F, t, p.n_mels, threadIdx.x, blockDim.x) : 0.0f;
        const float sum = block_reduce(partial, red, AddFloats{});
        if (threadIdx.x == 0) out[b * F + t] = onset_value(sum, t, p.n_mels);
    }
}

// One thread per mel power value [b][m][t].
__global__ void onset_dpow(const float* __restrict__ grad, const float* __restrict__ mel, float* __restrict__ dpow,
                           OParams p) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames, M = p.n_mels;
    if (e >= int64_t(p.batch) * M * F) return;
    const int64_t t = e % F, row = e / F, b = row / M;
    dpow[e] = onset_power_gradient(grad + b * F, mel + row * F, t, F, p.n_mels);
}

class CudaOnset final : public FeatureEngine {
public:
    CudaOnset(const ops::MelOptions& options, std::shared_ptr<MelGpu> mel)
        : frame_(options.frame), n_mels_(options.n_mels), mel_(std::move(mel)) {}

protected:
    int64_t n_frames(int64_t L) const override { return frame_.n_frames(L); }
    int64_t rows() const override { return 1; }

    void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) override {
        const ArenaBlock mel(mel_->forward_resident(tensor_at(x), B, L, ops::OutputMode::power, stream));
        onset_reduce<<<dim3(unsigned(F), grid_rows(B)), kBlock, 0, to_stream(stream)>>>(mel.f(), out,
                                                                                       kparams(B, F));
        check_launch("onset_reduce");
    }

    void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                         uint64_t stream) override {
        if (B == 0 || F == 0) return arena_alloc(bytes(B * L, 4), stream);
        const ArenaBlock mel(mel_->forward_resident(tensor_at(x), B, L, ops::OutputMode::power, stream));
        const ArenaBlock dpow(arena_alloc(bytes(B * n_mels_ * F, 4), stream));
        onset_dpow<<<blocks_for(B * n_mels_ * F), kBlock, 0, to_stream(stream)>>>(grad, mel.f(), dpow.f(),
                                                                                 kparams(B, F));
        check_launch("onset_dpow");
        return mel_->backward_resident(tensor_at(dpow.ptr), tensor_at(x), B, L, ops::OutputMode::power, stream);
    }

private:
    OParams kparams(int64_t B, int64_t F) const {
        require_int32(B, "batch");
        return OParams{static_cast<int32_t>(F), n_mels_, static_cast<int32_t>(B)};
    }

    ops::FrameOptions frame_;
    int32_t n_mels_;
    std::shared_ptr<MelGpu> mel_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<FeatureGpu> make_onset_gpu(const ops::MelOptions& options) {
    if (!gpu_available() || !cuda::frame_fft_fits(options.frame.n_fft) || options.n_mels < 1) return nullptr;
    std::shared_ptr<MelGpu> mel = make_mel_gpu(options);
    if (!mel || !mel->supports_resident()) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaOnset>(options, std::move(mel));
}

}  // namespace qorva::dsp::gpu
