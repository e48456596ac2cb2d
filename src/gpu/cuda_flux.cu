// GPU spectral flux.  Per chunk of rows: `flux_mag` writes every frame's
// magnitude spectrum (one block per frame, the packed spectrum in shared
// memory or from the batched half-length FFT), then `flux_reduce` combines
// consecutive frames with a block reduction into the flux value, or, for
// the backward pass, into the weight g / sqrt(S) that the value passes back.
// `flux_bwd_frames` forms each frame's bin gradients from the weights of the
// two flux values that read it, carries them through the adjoint of the real
// FFT and the window, and a gather folds the frames onto the signal.
//
// Layouts: signal [b][t]; output and its gradient [b][f]; magnitudes [b][f][k].
#include <algorithm>
#include <cstdint>
#include <memory>

#include "gpu/cuda_feature_engine.cuh"
#include "ops/flux.hpp"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

__global__ void flux_mag(const float* __restrict__ x, const float2* __restrict__ z, float* __restrict__ mags,
                         const float* __restrict__ window, const float2* __restrict__ tw,
                         const float2* __restrict__ stw, KParams p, int64_t rows) {
    extern __shared__ float2 s[];
    const int h = p.half;
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        load_spectrum(s, x + b * p.n_samples, z ? z + (b * F + f) * h : nullptr, f, window, tw, p);
        float* dst = mags + (b * F + f) * (h + 1);
        for (int k = threadIdx.x; k <= h; k += blockDim.x) {
            const float2 X = frame_bin(s, k, h, stw);
            dst[k] = std::sqrt(X.x * X.x + X.y * X.y);
        }
        __syncthreads();  // s is refilled for the next row
    }
}

// Grid (frames, rows), kBlock threads: flux values into out, or with grad
// the weights of the backward pass.
__global__ void flux_reduce(const float* __restrict__ mags, const float* __restrict__ grad, float* __restrict__ out,
                            KParams p, int64_t rows) {
    __shared__ float red[kBlock];
    const int K = p.half + 1;
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        const float* cur = mags + (b * F + f) * K;
        const float S = block_reduce(flux_sum(cur, f > 0 ? cur - K : cur, K, threadIdx.x, blockDim.x), red, AddFloats{});
        if (threadIdx.x == 0) out[b * F + f] = grad ? flux_weight(S, grad[b * F + f], f) : flux_value(S, f);
    }
}

__global__ void flux_bwd_frames(const float* __restrict__ x, float2* z, const float* __restrict__ mags,
                                const float* __restrict__ weights, float* __restrict__ frames,
                                const float* __restrict__ window, const float2* __restrict__ tw,
                                const float2* __restrict__ stw, KParams p, int64_t rows) {
    extern __shared__ float2 s[];
    const int h = p.half, K = h + 1;
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        float2* zf = z ? z + (b * F + f) * h : nullptr;
        load_spectrum(s, x + b * p.n_samples, zf, f, window, tw, p);
        // Frame f enters flux[f] (rising from f - 1) and flux[f + 1] (rising to f + 1).
        const float* a = mags + (b * F + f) * K;
        const float* ap = f > 0 ? a - K : a;
        const float* an = f + 1 < F ? a + K : a;
        const float w_prev = weights[b * F + f], w_next = f + 1 < F ? weights[b * F + f + 1] : 0.0f;
        for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) {
            feature_bwd_pair(s, k, h, stw, [&](float2 X, int bin) {
                return flux_bin_gradient(X, a[bin], ap[bin], an[bin], w_prev, w_next);
            });
        }
        store_frame_gradient(s, zf, frames + (b * F + f) * 2 * h, window, tw, h);
    }
}

class CudaFlux final : public FeatureEngine {
public:
    explicit CudaFlux(const ops::FrameOptions& options) : frames_(options, ops::validate_frame<float>(options)) {}

protected:
    int64_t n_frames(int64_t L) const override { return frames_.n_frames(L); }
    int64_t rows() const override { return 1; }

    void forward_into(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) override {
        const KParams p = frames_.params(L, F);
        const int64_t chunk = frames_.chunk_rows(B, F, 4 * (plan().half + 1), false);
        for (int64_t r0 = 0; r0 < B; r0 += chunk) {
            const int64_t rows = std::min(chunk, B - r0);
            magnitudes(x + r0 * L, rows, p, stream);
            flux_reduce<<<dim3(unsigned(F), grid_rows(rows)), kBlock, 0, to_stream(stream)>>>(
                mags_.as<const float>(), nullptr, out + r0 * F, p, rows);
            check_launch("flux_fwd");
        }
    }

    void* backward_block(const float* grad, const float* x, int64_t B, int64_t L, int64_t F,
                         uint64_t stream) override {
        return arena_result(stream, bytes(B * L, 4), [&](void* block) {
            if (B == 0 || L == 0) return;
            float* out = static_cast<float*>(block);
            const cudaStream_t s = to_stream(stream);
            const KParams p = frames_.params(L, F);
            const int64_t chunk = frames_.chunk_rows(B, F, 4 * (plan().half + 2), true);
            for (int64_t r0 = 0; r0 < B; r0 += chunk) {
                const int64_t rows = std::min(chunk, B - r0);
                const dim3 grid(unsigned(F), grid_rows(rows));
                float2* z = magnitudes(x + r0 * L, rows, p, stream);
                weights_.ensure(bytes(rows * F, 4));
                flux_reduce<<<grid, kBlock, 0, s>>>(mags_.as<const float>(), grad + r0 * F, weights_.as<float>(), p,
                                                    rows);
                flux_bwd_frames<<<grid, plan().threads, plan().shared_bytes(), s>>>(
                    x + r0 * L, z, mags_.as<const float>(), weights_.as<const float>(), frames_.frame_grads(rows, F),
                    plan().win(), plan().tw(), plan().stw(), p, rows);
                frames_.fold(out + r0 * L, rows, p, stream);
                check_launch("flux_bwd");
            }
        });
    }

private:
    const FramePlan& plan() const { return frames_.plan; }

    // Magnitudes of a chunk's frames into mags_; returns the batched-FFT
    // spectra (null on the in-kernel path) for the backward pass.
    float2* magnitudes(const float* x, int64_t rows, const KParams& p, uint64_t stream) {
        const int64_t F = p.n_frames;
        mags_.ensure(bytes(rows * F * (plan().half + 1), 4));
        float2* z = frames_.spectra(x, rows, p, stream);
        flux_mag<<<dim3(unsigned(F), grid_rows(rows)), plan().threads, plan().shared_bytes(), to_stream(stream)>>>(
            x, z, mags_.as<float>(), plan().win(), plan().tw(), plan().stw(), p, rows);
        return z;
    }

    SpectralFrames frames_;
    DeviceBuffer mags_, weights_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<FeatureGpu> make_flux_gpu(const ops::FrameOptions& options) {
    if (!gpu_available() || !cuda::frame_fft_fits(options.n_fft)) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaFlux>(options);
}

}  // namespace qorva::dsp::gpu
