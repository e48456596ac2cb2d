// GPU constant-Q transform and chromagram engines.
//
// Forward: the signal pyramid by halfband decimation, one launch per level
// for all rows (level 0 is the caller's signal, levels 1 ... deepest share
// one buffer, `stride` floats per row); then per octave one fused kernel per
// (frame, row) block: the centred frame of the octave's level packed into a
// half-length FFT in shared memory, and each thread forms whole filters from
// the sparse kernel rows, splitting the bins it needs from the packed
// spectrum on the fly, so only n_filters values per frame leave the chip.
//
// Backward: per octave and chunk of rows, a frame kernel turns the output
// gradient into filter cotangents (recomputing the coefficients in the real
// modes), applies the adjoint kernel rows and the adjoint of the real FFT and
// writes the frame gradients; a gather folds them onto the gradient of the
// octave's level (no atomics).  Then the transposed decimation adds each
// level's gradient into the level above, from the deepest level up.
//
// Chroma: the CQT magnitudes into an engine buffer, then one thread per frame
// folds the classes and divides by their maximum; its backward recomputes the
// fold to form the magnitude gradient and runs the CQT backward.
//
// Layouts: signals [b][t]; CQT output and gradient [b][k][f] (float2 pairs in
// complex mode); chroma [b][c][f].
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "gpu/cqt_gpu.hpp"
#include "gpu/cuda_cqt_math.cuh"
#include "gpu/cuda_device.hpp"
#include "gpu/cuda_frame_engine.cuh"

namespace qorva::dsp::gpu {

namespace cuda {
namespace {

// One octave launch; rows of its level are `level_stride` floats apart.
struct CqtParams {
    int32_t n_frames, mode, hop, half, n_filters, bin_offset, n_bins;
    int64_t level_len, level_stride;
};

struct ChromaParams {
    int32_t n_frames, n_bins, n_chroma;
};

// Decimation of level l - 1 into level l for all rows, grid (dst blocks, rows).
__global__ void halfband(const float* __restrict__ src, int64_t src_stride, int64_t src_len, float* __restrict__ dst,
                         int64_t dst_stride, int64_t dst_len, HalfbandView hb, int64_t B) {
    const int64_t i = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= dst_len) return;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        dst[b * dst_stride + i] = halfband_value(src + b * src_stride, src_len, i, hb);
    }
}

// Adds the transposed decimation of level l's gradient gy into level l - 1's
// gradient gx (nx samples), grid (gx blocks, rows); each thread owns one
// sample of gx, so no two threads write the same place.
__global__ void halfband_adjoint(const float* __restrict__ gy, int64_t gy_stride, float* __restrict__ gx,
                                 int64_t gx_stride, int64_t nx, HalfbandView hb, int64_t B) {
    const int64_t t = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (t >= nx) return;
    const int64_t ny = nx / 2 + nx % 2;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        gx[b * gx_stride + t] += halfband_adjoint_value(gy + b * gy_stride, ny, t, hb);
    }
}

// Packs and transforms frame f of a level row into s (h values) with the block.
__device__ void packed_level_fft(float2* s, const float* row, int64_t f, const float2* tw, const CqtParams& p) {
    const int64_t start = f * p.hop - p.half;  // centred: the frame's middle sits on f hop
    for (int j = threadIdx.x; j < p.half; j += blockDim.x) s[j] = cqt_packed_pair(row, p.level_len, start, j);
    __syncthreads();
    shared_fft<16>(s, tw, p.half, 1.0f, false);
}

// Fused forward of one octave, grid (frames, rows), h float2 of shared memory.
// The row loop is uniform across the block, so every thread meets every barrier.
__global__ void __launch_bounds__(256) cqt_fwd(const float* __restrict__ level, void* __restrict__ out,
                                               const float2* __restrict__ tw, const float2* __restrict__ stw,
                                               SparseRowsView kernel, CqtParams p, int64_t B) {
    extern __shared__ float2 s[];
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        packed_level_fft(s, level + b * p.level_stride, f, tw, p);
        const int64_t at = (b * p.n_bins + p.bin_offset) * F + f;
        void* dst = p.mode == kModeComplex ? static_cast<void*>(static_cast<float2*>(out) + at)
                                           : static_cast<void*>(static_cast<float*>(out) + at);
        cqt_frame_values(s, dst, F, p.half, stw, kernel, p.n_filters, p.mode, threadIdx.x, blockDim.x);
        __syncthreads();  // s is refilled for the next row
    }
}

// Frame gradients of one octave for the rows of a chunk, grid (frames, chunk
// rows), shared memory: the packed spectrum (h float2), then the filter
// cotangents (n_filters float2).  frames is [b][f][n_fft].
__global__ void __launch_bounds__(256) cqt_bwd_frames(const void* __restrict__ grad, const float* __restrict__ level,
                                                      float* __restrict__ frames, const float2* __restrict__ tw,
                                                      const float2* __restrict__ stw, SparseRowsView kernel,
                                                      SparseRowsView adjoint, CqtParams p, int64_t rows) {
    extern __shared__ float2 s[];
    float2* gC = s + p.half;
    const int h = p.half;
    const int64_t f = blockIdx.x, F = p.n_frames;
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        if (p.mode != kModeComplex) packed_level_fft(s, level + b * p.level_stride, f, tw, p);
        const int64_t at = (b * p.n_bins + p.bin_offset) * F + f;
        const void* g = p.mode == kModeComplex ? static_cast<const void*>(static_cast<const float2*>(grad) + at)
                                               : static_cast<const void*>(static_cast<const float*>(grad) + at);
        cqt_filter_gradients(g, F, gC, s, h, stw, kernel, p.n_filters, p.mode, threadIdx.x, blockDim.x);
        __syncthreads();  // gC complete, and every read of the spectrum done before s is rewritten
        for (int k = threadIdx.x; k <= h / 2; k += blockDim.x) cqt_bwd_pair(s, k, h, gC, adjoint, stw);
        __syncthreads();
        shared_fft<16>(s, tw, h, -1.0f, false);
        float2* dst = reinterpret_cast<float2*>(frames + (b * F + f) * 2 * h);
        for (int j = threadIdx.x; j < h; j += blockDim.x) dst[j] = s[j];
        __syncthreads();  // s and gC are rewritten for the next row
    }
}

// Adds the frame gradients of a chunk's rows onto their level gradient,
// grid (sample blocks, chunk rows).
__global__ void cqt_gather(const float* __restrict__ frames, float* __restrict__ level_grad, CqtParams p,
                           int64_t rows) {
    const int64_t t = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (t >= p.level_len) return;
    const int64_t F = p.n_frames, n = 2 * int64_t(p.half);
    for (int64_t b = blockIdx.y; b < rows; b += gridDim.y) {
        level_grad[b * p.level_stride + t] +=
            ola_gather_value(frames + b * F * n, t, p.level_len, static_cast<int>(n), p.hop, p.half, F, false);
    }
}

// Chroma of every frame, one thread per frame, grid (frame blocks, rows).
__global__ void chroma_fold(const float* __restrict__ mag, float* __restrict__ out, const int32_t* __restrict__ map,
                            ChromaParams p, int64_t B) {
    const int64_t f = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames;
    if (f >= F) return;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        chroma_fold_value(mag + b * p.n_bins * F, out + b * p.n_chroma * F, F, f, map, p.n_bins, p.n_chroma);
    }
}

// Magnitude gradients from chroma gradients, launched as chroma_fold.
__global__ void chroma_fold_adjoint(const float* __restrict__ mag, const float* __restrict__ grad,
                                    float* __restrict__ gmag, const int32_t* __restrict__ map, ChromaParams p,
                                    int64_t B) {
    const int64_t f = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const int64_t F = p.n_frames;
    if (f >= F) return;
    for (int64_t b = blockIdx.y; b < B; b += gridDim.y) {
        chroma_fold_adjoint_value(mag + b * p.n_bins * F, grad + b * p.n_chroma * F, gmag + b * p.n_bins * F, F, f,
                                  map, p.n_bins, p.n_chroma);
    }
}

// ---------------------------------------------------------------------------

std::size_t value_bytes(ops::OutputMode mode) { return mode == ops::OutputMode::complex ? 8 : 4; }

class CudaCqt final : public CqtGpu {
public:
    explicit CudaCqt(const CqtTables& t)
        : octaves_(t.octaves), n_bins_(t.n_bins), deepest_(t.deepest), max_n_fft_(t.max_n_fft),
          center_(t.halfband[0]), odd_(upload(t.halfband.data() + 1, 32 * sizeof(float))),
          kernel_start_(upload(t.kernel_start.data(), t.kernel_start.size() * sizeof(int32_t))),
          kernel_col_(upload(t.kernel_col.data(), t.kernel_col.size() * sizeof(int32_t))),
          kernel_val_(upload(t.kernel_val.data(), t.kernel_val.size() * sizeof(float2))),
          adjoint_start_(upload(t.adjoint_start.data(), t.adjoint_start.size() * sizeof(int32_t))),
          adjoint_col_(upload(t.adjoint_col.data(), t.adjoint_col.size() * sizeof(int32_t))),
          adjoint_val_(upload(t.adjoint_val.data(), t.adjoint_val.size() * sizeof(float2))),
          twiddles_(upload(t.twiddles.data(), t.twiddles.size() * sizeof(float2))) {}

    void forward_staged(const float* signal, int64_t B, int64_t L, ops::OutputMode mode, void* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        const std::size_t out_bytes = bytes(B * n_bins_ * F, value_bytes(mode));
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(out_bytes);
        run_forward(in_.as<const float>(), out_.get(), B, L, F, mode, 0);
        stage_d2h(out, out_.get(), out_bytes);
    }

    void backward_staged(const void* grad, const float* signal, int64_t B, int64_t L, ops::OutputMode mode,
                         float* grad_signal) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = frames_for(L);
        const std::size_t grad_bytes = bytes(B * n_bins_ * F, value_bytes(mode));
        grad_.ensure(grad_bytes);
        stage_h2d(grad_.get(), grad, grad_bytes);
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * L, 4));
        run_backward(grad_.get(), in_.as<const float>(), out_.as<float>(), B, L, F, mode, 0);
        stage_d2h(grad_signal, out_.get(), bytes(B * L, 4));
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, ops::OutputMode mode,
                           uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * n_bins_ * F, value_bytes(mode)), [&](void* out) {
            run_forward(static_cast<const float*>(signal.ptr()), out, B, L, F, mode, stream);
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                            ops::OutputMode mode, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = frames_for(L);
        return arena_result(stream, bytes(B * L, 4), [&](void* out) {
            run_backward(grad.ptr(), static_cast<const float*>(signal.ptr()), static_cast<float*>(out), B, L, F,
                         mode, stream);
        });
    }

    // The CPU engine's frame count: the fewest frames any octave's level holds.
    int64_t frames_for(int64_t L) const {
        require_int32(L, "signal length");
        const std::vector<int64_t> len = level_lengths(L, deepest_);
        int64_t F = std::numeric_limits<int64_t>::max();
        for (const CqtOctavePlan& o : octaves_) F = std::min(F, len[o.level] / o.hop + 1);
        require_int32(F, "frame count");
        return F;
    }

    int32_t n_bins() const { return n_bins_; }

    // The passes themselves, for this engine's entries and for the chroma
    // engine that owns one (under that engine's lock and call order).
    void run_forward(const float* x, void* out, int64_t B, int64_t L, int64_t F, ops::OutputMode mode,
                     uint64_t stream) {
        if (B == 0) return;
        const cudaStream_t s = to_stream(stream);
        const std::vector<int64_t> len = build_pyramid(x, B, L, s);
        for (const CqtOctavePlan& o : octaves_) {
            const CqtParams p = params(o, len, F, mode);
            cqt_fwd<<<dim3(static_cast<unsigned>(F), grid_rows(B)), o.threads, shared_bytes(o, false), s>>>(
                level(x, L, o.level), out, tw(o), stw(o), kernel(o), p, B);
            check_launch("cqt_fwd");
        }
    }

    void run_backward(const void* grad, const float* x, float* out, int64_t B, int64_t L, int64_t F,
                      ops::OutputMode mode, uint64_t stream) {
        if (B == 0 || L == 0) return;
        const cudaStream_t s = to_stream(stream);
        // Only the real modes read the signal again (their coefficients).
        const std::vector<int64_t> len =
            mode == ops::OutputMode::complex ? level_lengths(L, deepest_) : build_pyramid(x, B, L, s);
        const int64_t stride = pyramid_stride(len);
        gpyr_.ensure(bytes(B * stride, 4));
        cuda_check(cudaMemsetAsync(out, 0, bytes(B * L, 4), s), "memset");
        if (stride > 0) cuda_check(cudaMemsetAsync(gpyr_.get(), 0, bytes(B * stride, 4), s), "memset");
        std::vector<float*> glevel(static_cast<std::size_t>(deepest_) + 1);
        for (int32_t l = 0; l <= deepest_; ++l) glevel[l] = l == 0 ? out : gpyr_.as<float>() + level_offset(len, l);
        // Frame gradients of the longest octave FFT for a chunk of rows.
        const int64_t chunk = rows_per_chunk(F * max_n_fft_ * 4, B);
        frames_.ensure(bytes(chunk * F * max_n_fft_, 4));
        const int64_t grad_row = int64_t(n_bins_) * F * (mode == ops::OutputMode::complex ? 2 : 1);
        for (const CqtOctavePlan& o : octaves_) {
            const CqtParams p = params(o, len, F, mode);
            const int64_t row_stride = o.level == 0 ? L : stride;
            for (int64_t r0 = 0; r0 < B; r0 += chunk) {
                const int64_t rows = std::min(chunk, B - r0);
                const float* g = static_cast<const float*>(grad) + r0 * grad_row;
                const float* lv = mode == ops::OutputMode::complex ? nullptr : level(x, L, o.level) + r0 * row_stride;
                cqt_bwd_frames<<<dim3(static_cast<unsigned>(F), grid_rows(rows)), o.threads, shared_bytes(o, true),
                                 s>>>(g, lv, frames_.as<float>(), tw(o), stw(o), kernel(o), adjoint(o), p, rows);
                cqt_gather<<<dim3(blocks_for(len[o.level]), grid_rows(rows)), kBlock, 0, s>>>(
                    frames_.as<const float>(), glevel[o.level] + r0 * row_stride, p, rows);
                check_launch("cqt_bwd");
            }
        }
        for (int32_t l = deepest_; l >= 1; --l) {
            halfband_adjoint<<<dim3(blocks_for(len[l - 1]), grid_rows(B)), kBlock, 0, s>>>(
                glevel[l], stride, glevel[l - 1], l == 1 ? L : stride, len[l - 1], halfband_view(), B);
            check_launch("cqt_bwd");
        }
    }

private:
    static int64_t pyramid_stride(const std::vector<int64_t>& len) {
        int64_t stride = 0;
        for (std::size_t l = 1; l < len.size(); ++l) stride += len[l];
        return stride;
    }
    static int64_t level_offset(const std::vector<int64_t>& len, int32_t l) {
        int64_t offset = 0;
        for (int32_t q = 1; q < l; ++q) offset += len[q];
        return offset;
    }

    // Levels 1 ... deepest of every row into pyr_; returns the level lengths.
    std::vector<int64_t> build_pyramid(const float* x, int64_t B, int64_t L, cudaStream_t s) {
        const std::vector<int64_t> len = level_lengths(L, deepest_);
        const int64_t stride = pyramid_stride(len);
        pyr_.ensure(bytes(B * stride, 4));
        for (int32_t l = 1; l <= deepest_ && len[l] > 0; ++l) {
            halfband<<<dim3(blocks_for(len[l]), grid_rows(B)), kBlock, 0, s>>>(
                level(x, L, l - 1), l == 1 ? L : stride, len[l - 1], pyr_.as<float>() + level_offset(len, l), stride,
                len[l], halfband_view(), B);
            check_launch("halfband");
        }
        return len;
    }

    // Row 0 of level l: the signal itself or its place in the pyramid.
    const float* level(const float* x, int64_t L, int32_t l) const {
        if (l == 0) return x;
        return pyr_.as<const float>() + level_offset(level_lengths(L, l), l);
    }

    CqtParams params(const CqtOctavePlan& o, const std::vector<int64_t>& len, int64_t F, ops::OutputMode mode) const {
        CqtParams p{};
        p.n_frames = static_cast<int32_t>(F);
        p.mode = static_cast<int32_t>(mode);
        p.hop = o.hop;
        p.half = o.half;
        p.n_filters = o.n_filters;
        p.bin_offset = o.bin_offset;
        p.n_bins = n_bins_;
        p.level_len = len[o.level];
        p.level_stride = o.level == 0 ? len[0] : pyramid_stride(len);
        return p;
    }

    static std::size_t shared_bytes(const CqtOctavePlan& o, bool backward) {
        return static_cast<std::size_t>(o.half + (backward ? o.n_filters : 0)) * sizeof(float2);
    }
    HalfbandView halfband_view() const { return {odd_.as<const float>(), center_, 1.4142135f}; }
    const float2* tw(const CqtOctavePlan& o) const { return twiddles_.as<const float2>() + o.twiddle_offset; }
    const float2* stw(const CqtOctavePlan& o) const { return tw(o) + o.half; }
    SparseRowsView kernel(const CqtOctavePlan& o) const {
        return {kernel_start_.as<const int32_t>() + o.kernel_row, kernel_col_.as<const int32_t>(),
                kernel_val_.as<const float2>()};
    }
    SparseRowsView adjoint(const CqtOctavePlan& o) const {
        return {adjoint_start_.as<const int32_t>() + o.adjoint_row, adjoint_col_.as<const int32_t>(),
                adjoint_val_.as<const float2>()};
    }

    std::vector<CqtOctavePlan> octaves_;
    int32_t n_bins_, deepest_, max_n_fft_;
    float center_;
    DeviceBuffer odd_, kernel_start_, kernel_col_, kernel_val_, adjoint_start_, adjoint_col_, adjoint_val_, twiddles_;
    DeviceBuffer in_, out_, grad_, pyr_, gpyr_, frames_;
    std::mutex mutex_;
    CallOrder order_;
};

class CudaChroma final : public ChromaGpu {
public:
    CudaChroma(const CqtTables& tables, const std::vector<int32_t>& chroma_of_bin, int32_t n_chroma)
        : cqt_(tables), n_chroma_(n_chroma),
          map_(upload(chroma_of_bin.data(), chroma_of_bin.size() * sizeof(int32_t))) {}

    void forward_staged(const float* signal, int64_t B, int64_t L, float* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = cqt_.frames_for(L);
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * n_chroma_ * F, 4));
        run_forward(in_.as<const float>(), out_.as<float>(), B, L, F, 0);
        stage_d2h(out, out_.get(), bytes(B * n_chroma_ * F, 4));
    }

    void backward_staged(const float* grad, const float* signal, int64_t B, int64_t L, float* grad_signal) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t F = cqt_.frames_for(L);
        grad_.ensure(bytes(B * n_chroma_ * F, 4));
        stage_h2d(grad_.get(), grad, bytes(B * n_chroma_ * F, 4));
        in_.ensure(bytes(B * L, 4));
        stage_h2d(in_.get(), signal, bytes(B * L, 4));
        out_.ensure(bytes(B * L, 4));
        run_backward(grad_.as<const float>(), in_.as<const float>(), out_.as<float>(), B, L, F, 0);
        stage_d2h(grad_signal, out_.get(), bytes(B * L, 4));
    }

    bool supports_resident() const override { return true; }
    bool supports_resident_f16() const override { return false; }

    void* forward_resident(const DeviceTensorRef& signal, int64_t B, int64_t L, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = cqt_.frames_for(L);
        return arena_result(stream, bytes(B * n_chroma_ * F, 4), [&](void* out) {
            run_forward(static_cast<const float*>(signal.ptr()), static_cast<float*>(out), B, L, F, stream);
        });
    }

    void* backward_resident(const DeviceTensorRef& grad, const DeviceTensorRef& signal, int64_t B, int64_t L,
                            uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const CallOrder::Scope ordered(order_, to_stream(stream));
        const int64_t F = cqt_.frames_for(L);
        return arena_result(stream, bytes(B * L, 4), [&](void* out) {
            run_backward(static_cast<const float*>(grad.ptr()), static_cast<const float*>(signal.ptr()),
                         static_cast<float*>(out), B, L, F, stream);
        });
    }

private:
    ChromaParams params(int64_t F) const { return {static_cast<int32_t>(F), cqt_.n_bins(), n_chroma_}; }

    void run_forward(const float* x, float* out, int64_t B, int64_t L, int64_t F, uint64_t stream) {
        if (B == 0) return;
        mag_.ensure(bytes(B * cqt_.n_bins() * F, 4));
        cqt_.run_forward(x, mag_.get(), B, L, F, ops::OutputMode::magnitude, stream);
        chroma_fold<<<dim3(blocks_for(F), grid_rows(B)), kBlock, 0, to_stream(stream)>>>(
            mag_.as<const float>(), out, map_.as<const int32_t>(), params(F), B);
        check_launch("chroma_fold");
    }

    void run_backward(const float* grad, const float* x, float* out, int64_t B, int64_t L, int64_t F,
                      uint64_t stream) {
        if (B == 0 || L == 0) return;
        mag_.ensure(bytes(B * cqt_.n_bins() * F, 4));
        gmag_.ensure(bytes(B * cqt_.n_bins() * F, 4));
        cqt_.run_forward(x, mag_.get(), B, L, F, ops::OutputMode::magnitude, stream);
        chroma_fold_adjoint<<<dim3(blocks_for(F), grid_rows(B)), kBlock, 0, to_stream(stream)>>>(
            mag_.as<const float>(), grad, gmag_.as<float>(), map_.as<const int32_t>(), params(F), B);
        check_launch("chroma_fold");
        cqt_.run_backward(gmag_.get(), x, out, B, L, F, ops::OutputMode::magnitude, stream);
    }

    CudaCqt cqt_;  // private to this engine: used only under its lock and call order
    int32_t n_chroma_;
    DeviceBuffer map_;
    DeviceBuffer in_, out_, grad_, mag_, gmag_;
    std::mutex mutex_;
    CallOrder order_;
};

}  // namespace
}  // namespace cuda

std::shared_ptr<CqtGpu> make_cqt_gpu(const ops::CqtEngine<float>& engine) {
    if (!gpu_available()) return nullptr;
    const auto tables = cuda::cqt_tables(engine);
    if (!tables) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaCqt>(*tables);
}

std::shared_ptr<ChromaGpu> make_chroma_gpu(const ops::ChromaEngine<float>& engine) {
    if (!gpu_available() || engine.n_chroma() > cuda::kMaxChroma) return nullptr;
    const auto tables = cuda::cqt_tables(engine.cqt());
    if (!tables) return nullptr;
    const cuda::OnDevice0 device;
    return std::make_shared<cuda::CudaChroma>(*tables, engine.chroma_of_bin(), engine.n_chroma());
}

}  // namespace qorva::dsp::gpu
