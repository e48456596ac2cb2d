// What the framed GPU engines (STFT, ISTFT, mel, features) share: the frame
// plan with its device tables, launch geometry, size checks, the arena result
// of a resident call, and the kernels around a batched half-length FFT (pack,
// unpack of frame gradients, gather onto samples).  Included only by CUDA
// sources; the kernels are file-local to each unit that includes it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_fft_math.cuh"
#include "gpu/cuda_stft_kernels.cuh"

namespace qorva::dsp::gpu::cuda {

// Per-frame kernels keep their packed frame (and a spare bin) in shared memory.
inline constexpr int kSharedBudget = 45056;
inline constexpr int64_t kMaxGridY = 65535;

inline bool is_pow2(int v) { return v > 0 && (v & (v - 1)) == 0; }

inline int log2_exact(int v) {
    int r = 0;
    while ((1 << r) < v) ++r;
    return r;
}

// Grid rows for a batch; kernels stride over the rows beyond it.
inline unsigned grid_rows(int64_t B) { return static_cast<unsigned>(B < kMaxGridY ? B : kMaxGridY); }

inline void check_launch(const char* what) { cuda_check(cudaGetLastError(), what); }

// Rows of a batch processed per launch when each needs `row_bytes` of engine
// scratch (frame gradients, FFT work, padded rows): as many as fit 256 MiB, at
// least one, so scratch stays bounded for any batch and a chunk costs a fixed
// handful of launches.
inline int64_t rows_per_chunk(int64_t row_bytes, int64_t B) {
    constexpr int64_t kChunkBytes = int64_t(256) << 20;
    return std::clamp<int64_t>(kChunkBytes / std::max<int64_t>(row_bytes, 1), 1, std::max<int64_t>(B, 1));
}

// Tables every frame kernel of one engine reads: the window, the half-length
// FFT twiddles e^(-2 pi i k / half) and the split twiddles e^(-2 pi i k / n).
struct FramePlan {
    int n_fft = 0, half = 0, log2_half = 0, threads = 0;
    bool pow2 = false;
    DeviceBuffer window, twiddles, split;

    FramePlan(const std::vector<float>& window_values, int n) : n_fft(n), half(n / 2) {
        pow2 = n % 2 == 0 && is_pow2(half);
        log2_half = pow2 && half >= 2 ? log2_exact(half) : 0;
        if (pow2) {
            threads = std::min(half / 2, 256);
        } else {
            threads = 1;
            while (threads * 2 <= half && threads * 2 <= 256) threads *= 2;
        }
        window = upload(window_values.data(), window_values.size() * sizeof(float));
        const std::vector<float2> tw = twiddle_table<float2>(half, half), st = twiddle_table<float2>(half, n);
        twiddles = upload(tw.data(), tw.size() * sizeof(float2));
        split = upload(st.data(), st.size() * sizeof(float2));
    }

    std::size_t shared_bytes() const { return static_cast<std::size_t>(half + 1) * sizeof(float2); }
    const float* win() const { return window.as<const float>(); }
    const float2* tw() const { return twiddles.as<const float2>(); }
    const float2* stw() const { return split.as<const float2>(); }
};

inline void require_int32(int64_t value, const char* what) {
    if (value > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument(std::string(what) + " exceeds the GPU engines' limit of 2147483647");
    }
}

inline std::size_t bytes(int64_t count, int64_t size) { return static_cast<std::size_t>(count * size); }

// A new arena block for `stream` filled by `run` (queued work of a resident
// call); the block goes back to the arena if `run` throws.
template <typename Run>
void* arena_result(uint64_t stream, std::size_t size, Run&& run) {
    void* out = arena_alloc(size, stream);
    try {
        run(out);
    } catch (...) {
        arena_release(out);
        throw;
    }
    return out;
}

inline std::unique_ptr<FftGpu> need_fft(int32_t n, GpuPrecision precision) {
    auto fft = make_fft_gpu(n, precision);
    if (!fft) throw std::runtime_error("no GPU FFT of length " + std::to_string(n));
    return fft;
}

namespace {

// Packed windowed frames [b][f][j] of B rows for the batched half-length FFT,
// grid (frames, rows), as the STFT packs them.
__global__ void pack_frames(const float* __restrict__ x, float2* __restrict__ z, const float* __restrict__ window,
                            KParams p, int64_t B) {
    stft_pack_body(DeviceBlock(), x, z, window, p, B);
}

// Windowed frame gradients [b][f][2h] from inverse-transformed packed pairs
// [b][f][h], one thread per pair.
__global__ void unpack_frame_gradients(const float2* __restrict__ z, float* __restrict__ frames,
                                       const float* __restrict__ window, int h, int64_t count) {
    const int64_t e = int64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    if (e >= count) return;
    const float2 v = z[e];
    const int j = static_cast<int>(e % h);
    frames[2 * e] = v.x * __ldg(window + 2 * j);
    frames[2 * e + 1] = v.y * __ldg(window + 2 * j + 1);
}

// Signal gradients of B rows from their frame gradients (frames of 2 p.half
// samples), grid (sample blocks, rows): the STFT backward's gather, reflect
// images included, no atomics.
__global__ void gather_frame_gradients(const float* __restrict__ frames, float* __restrict__ out, KParams p,
                                       int64_t B) {
    ola_gather_body(DeviceBlock(), frames, out, p, 2 * p.half, B);
}

}  // namespace

}  // namespace qorva::dsp::gpu::cuda
