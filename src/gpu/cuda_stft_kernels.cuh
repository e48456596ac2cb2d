// Bodies of the GPU STFT and ISTFT kernels, written once for the device and
// for the host tests.  A body gets its block as `blk`: blk.x, blk.y, blk.z are
// blockIdx, blk.grid_y and blk.grid_z the grid's y and z extents, blk.threads
// the threads of the block; blk.each(fn) runs fn(tid) as every thread of the
// block (tid = threadIdx.x + threadIdx.y blockDim.x), blk.sync() is the block
// barrier and blk.fft(s, tw, n, sign) the block-wide shared-memory FFT, which
// returns after a barrier.  DeviceBlock maps these onto the CUDA built-ins; a
// host test runs a block thread by thread from one barrier to the next.
//
// Per-row kernels take the row count B of their launch and reach rows beyond
// the grid through for_rows.
#pragma once

#include <cfloat>
#include <cstdint>

#include <cuda_fp16.h>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_fft_math.cuh"
#include "gpu/cuda_frame_math.cuh"

namespace qorva::dsp::gpu::cuda {

// Rows first, first + step, ... below B.  Grid extents in y and z stop at
// 65535, so a block walks every gridDim-th row of a larger batch.
template <typename Body>
QORVA_HD inline void for_rows(int64_t first, int64_t step, int64_t B, Body&& body) {
    for (int64_t b = first; b < B; b += step) body(b);
}

// Index of thread tid of the block in a one-dimensional element-wise launch.
template <typename Block>
QORVA_HD inline int64_t element_of(const Block& blk, int tid) {
    return blk.x * blk.threads + tid;
}

// Bin X in the output mode: complex to cout[idx], otherwise real to rout[idx].
template <typename T, typename C>
QORVA_HD inline void store_bin(C X, int64_t idx, C* cout, T* rout, int mode) {
    if (mode == kModeComplex) {
        cout[idx] = X;
    } else {
        rout[idx] = mode_value(X.x, X.y, mode);
    }
}

#ifdef __CUDACC__
struct DeviceBlock {
    int64_t x, y, z, grid_y, grid_z;
    int threads;

    __device__ DeviceBlock()
        : x(blockIdx.x), y(blockIdx.y), z(blockIdx.z), grid_y(gridDim.y), grid_z(gridDim.z),
          threads(static_cast<int>(blockDim.x * blockDim.y)) {}
    template <typename Fn>
    __device__ __forceinline__ void each(Fn&& fn) const {
        fn(static_cast<int>(threadIdx.x + threadIdx.y * blockDim.x));
    }
    __device__ __forceinline__ void sync() const { __syncthreads(); }
    // Every block-wide FFT here runs at a block size that shared_fft_fits
    // with 16 values a thread.
    template <typename C>
    __device__ __forceinline__ void fft(C* s, const C* tw, int n, typename real_of<C>::type sign) const {
        shared_fft<16>(s, tw, n, sign, false);
    }
};
#endif

// --- forward STFT ------------------------------------------------------------
// Per-frame kernels run frame blk.x of rows blk.y, blk.y + grid_y, ...

// Power-of-two half: the packed frame transformed in shared memory s (h values).
template <typename Block>
QORVA_HD inline void stft_fwd_body(const Block& blk, float2* s, const float* x, float2* cout, float* rout,
                                   const float* window, const float2* tw, const float2* stw, KParams p, int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames, K = p.n_bins, L = p.n_samples;
    const int64_t start = f * p.hop - p.pad;
    for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
        blk.each([&](int tid) {
            for (int j = tid; j < h; j += blk.threads) {
                s[j] = packed_pair<float, float2>(x + b * L, L, start, j, window, p.reflect != 0);
            }
        });
        blk.sync();
        blk.fft(s, tw, h, 1.0f);
        blk.each([&](int tid) {
            for (int k = tid; k <= h; k += blk.threads) {
                store_bin(split_bin(s[k % h], s[(h - k) % h], split_twiddle(stw, k, h)), (b * F + f) * K + k, cout,
                          rout, p.mode);
            }
        });
        // The next row refills s while other threads may still read it.
        blk.sync();
    });
}

// Packed windowed frames [b][f][h] for the batched half-length FFT.
template <typename Block>
QORVA_HD inline void stft_pack_body(const Block& blk, const float* x, float2* z, const float* window, KParams p,
                                    int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames, L = p.n_samples;
    blk.each([&](int tid) {
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            float2* dst = z + (b * F + f) * h;
            for (int j = tid; j < h; j += blk.threads) {
                dst[j] = packed_pair<float, float2>(x + b * L, L, f * p.hop - p.pad, j, window, p.reflect != 0);
            }
        });
    });
}

// The n_bins real-signal bins of transformed packed frames.
template <typename Block>
QORVA_HD inline void stft_unpack_body(const Block& blk, const float2* z, float2* cout, float* rout, const float2* stw,
                                      KParams p, int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames, K = p.n_bins;
    blk.each([&](int tid) {
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            const float2* Z = z + (b * F + f) * h;
            for (int k = tid; k <= h; k += blk.threads) {
                store_bin(split_bin(Z[k % h], Z[(h - k) % h], split_twiddle(stw, k, h)), (b * F + f) * K + k, cout,
                          rout, p.mode);
            }
        });
    });
}

// [b][A][C] -> [b][C][A] with A = n_frames and C = n_bins of p, through a
// padded 32 x 33 tile so that reads and writes are both coalesced.  Blocks
// are 32 threads wide; tile (blk.x, blk.y) and row blk.z, striding in y and z.
template <typename T, typename Block>
QORVA_HD inline void spec_transpose_body(const Block& blk, T (*tile)[33], const T* in, T* out, KParams p, int64_t B) {
    const int64_t A = p.n_frames, C = p.n_bins;
    const int64_t a0 = blk.x * 32;
    const int step = blk.threads / 32;
    for_rows(blk.z, blk.grid_z, B, [&](int64_t b) {
        const T* src = in + b * A * C;
        T* dst = out + b * A * C;
        for (int64_t c0 = blk.y * 32; c0 < C; c0 += blk.grid_y * 32) {
            blk.each([&](int tid) {
                for (int i = tid / 32; i < 32; i += step) {
                    const int64_t a = a0 + i, c = c0 + tid % 32;
                    if (a < A && c < C) tile[i][tid % 32] = src[a * C + c];
                }
            });
            blk.sync();
            blk.each([&](int tid) {
                for (int i = tid / 32; i < 32; i += step) {
                    const int64_t c = c0 + i, a = a0 + tid % 32;
                    if (a < A && c < C) dst[c * A + a] = tile[tid % 32][i];
                }
            });
            blk.sync();
        }
    });
}

// Full-length complex frames [b][f][n] (imaginary part zero).
template <typename T, typename C, typename Block>
QORVA_HD inline void frame_c2_body(const Block& blk, const T* x, C* frames, const T* window, KParams p, int n,
                                   int64_t B) {
    const int64_t F = p.n_frames, L = p.n_samples;
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * n) return;
        const int64_t f = e / n;
        const int i = static_cast<int>(e % n);
        const T w = window[i];
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            const T v = padded_sample(x + b * L, L, f * p.hop - p.pad + i, p.reflect != 0) * w;
            frames[b * F * n + e] = cmake<C>(v, T(0));
        });
    });
}

// The first n_bins bins of transformed full-length frames in the output mode
// (real values frame-major).
template <typename T, typename C, typename Block>
QORVA_HD inline void half_c2_body(const Block& blk, const C* frames, C* cout, T* rout, KParams p, int n, int64_t B) {
    const int64_t F = p.n_frames, K = p.n_bins;
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * K) return;
        const int64_t f = e / K, k = e % K;
        for_rows(blk.y, blk.grid_y, B,
                 [&](int64_t b) { store_bin(frames[(b * F + f) * n + k], b * F * K + e, cout, rout, p.mode); });
    });
}

template <typename Block>
QORVA_HD inline void cvt_h2f_body(const Block& blk, const __half* in, float* out, int64_t count) {
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e < count) out[e] = __half2float(in[e]);
    });
}

template <typename Block>
QORVA_HD inline void cvt_f2h_body(const Block& blk, const float* in, __half* out, int64_t count) {
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e < count) out[e] = __float2half_rn(in[e]);
    });
}

// --- STFT backward -----------------------------------------------------------
// Complex gradients are frame-major [b][f][k]; real ones arrive transposed to
// the same layout.  Frame gradients are [b][f][n].

// Power-of-two half: the bin gradients (from the recomputed packed spectrum
// for the real modes), the adjoint of the real FFT and of the windowing.  One
// thread handles the pair (k, h - k), so s is rewritten in place.
template <typename Block>
QORVA_HD inline void stft_bwd_frames_body(const Block& blk, float2* s, const float2* cgrad, const float* rgrad,
                                          const float* x, float* frames, const float* window, const float2* tw,
                                          const float2* stw, KParams p, int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames, K = p.n_bins, L = p.n_samples;
    const int64_t start = f * p.hop - p.pad;
    for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
        if (p.mode != kModeComplex) {
            blk.each([&](int tid) {
                for (int j = tid; j < h; j += blk.threads) {
                    s[j] = packed_pair<float, float2>(x + b * L, L, start, j, window, p.reflect != 0);
                }
            });
            blk.sync();
            blk.fft(s, tw, h, 1.0f);
        }
        blk.each([&](int tid) {
            for (int k = tid; k <= h / 2; k += blk.threads) {
                stft_bwd_pair(s, k, h, cgrad, rgrad, (b * F + f) * K, p.mode, stw);
            }
        });
        blk.sync();
        blk.fft(s, tw, h, -1.0f);
        float* dst = frames + (b * F + f) * 2 * h;
        blk.each([&](int tid) {
            for (int j = tid; j < h; j += blk.threads) {
                dst[2 * j] = s[j].x * load_ro(window + 2 * j);
                dst[2 * j + 1] = s[j].y * load_ro(window + 2 * j + 1);
            }
        });
        blk.sync();
    });
}

// Complex bin gradients written over the full-length spectra (recomputed
// there for the real modes), zero above the last bin: the real part of the
// inverse full-length FFT is then the windowed frame gradient.
template <typename Block>
QORVA_HD inline void bwd_full_spectrum_body(const Block& blk, const float2* cgrad, const float* rgrad, float2* A,
                                            KParams p, int n, int64_t B) {
    const int64_t F = p.n_frames, K = p.n_bins;
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * n) return;
        const int64_t f = e / n, k = e % n;
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            float2& a = A[b * F * n + e];
            a = k < K ? bin_gradient(cgrad, rgrad, (b * F + f) * K + k, a, p.mode) : make_float2(0.0f, 0.0f);
        });
    });
}

// Real part of full-length frames (count values a row) times the window and a scale.
template <typename Block>
QORVA_HD inline void full_real_frames_body(const Block& blk, const float2* A, float* frames, const float* window,
                                           int n, int64_t count, float scale, int64_t B) {
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= count) return;
        const float w = load_ro(window + e % n);
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) { frames[b * count + e] = A[b * count + e].x * w * scale; });
    });
}

// Adjoint of framing: every sample gathers its frame gradients, plus the
// reflect-padding images.
template <typename Block>
QORVA_HD inline void ola_gather_body(const Block& blk, const float* frames, float* out, KParams p, int len, int64_t B) {
    const int64_t L = p.n_samples, F = p.n_frames;
    blk.each([&](int tid) {
        const int64_t t = element_of(blk, tid);
        if (t >= L) return;
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            out[b * L + t] = ola_gather_value(frames + b * F * len, t, L, len, p.hop, p.pad, F, p.reflect != 0);
        });
    });
}

// --- ISTFT -------------------------------------------------------------------
// Rows: spectra [b][f][k], signals and their gradients [b][length], padded
// gradients [b][P] with P the full overlap-add length.

// Summed squared window at every padded position 0 .. P - 1 (one row serves all).
template <typename Block>
QORVA_HD inline void istft_env_body(const Block& blk, const float* wsq, float* env, int64_t P, int n, int hop,
                                    int64_t F) {
    blk.each([&](int tid) {
        const int64_t q = element_of(blk, tid);
        if (q >= P) return;
        int64_t lo = 0, hi = -1;
        ops::covering_frames(q, n, hop, F, lo, hi);
        float e = 0.0f;
        for (int64_t f = lo; f <= hi; ++f) e += load_ro(wsq + (q - f * hop));
        env[q] = e;
    });
}

// Power-of-two half: windowed inverse-FFT frames scaled by `scale`.
template <typename Block>
QORVA_HD inline void istft_fwd_frames_body(const Block& blk, float2* s, const float2* spec, float* frames,
                                           const float* window, const float2* tw, const float2* stw, KParams p,
                                           float scale, int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames;
    for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
        const float2* Y = spec + (b * F + f) * p.n_bins;
        blk.each([&](int tid) {
            for (int k = tid; k <= h / 2; k += blk.threads) istft_pair(s, k, h, Y, stw);
        });
        blk.sync();
        blk.fft(s, tw, h, -1.0f);
        float* dst = frames + (b * F + f) * 2 * h;
        blk.each([&](int tid) {
            for (int j = tid; j < h; j += blk.threads) {
                dst[2 * j] = s[j].x * scale * load_ro(window + 2 * j);
                dst[2 * j + 1] = s[j].y * scale * load_ro(window + 2 * j + 1);
            }
        });
        blk.sync();
    });
}

// Hermitian full-length spectra for the inverse FFT.
template <typename Block>
QORVA_HD inline void istft_full_spectrum_body(const Block& blk, const float2* spec, float2* A, KParams p, int n,
                                              int64_t B) {
    const int64_t F = p.n_frames, K = p.n_bins;
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * n) return;
        const int64_t f = e / n;
        const int k = static_cast<int>(e % n);
        for_rows(blk.y, blk.grid_y, B,
                 [&](int64_t b) { A[b * F * n + e] = hermitian_value(spec + (b * F + f) * K, k, n); });
    });
}

// Overlap-added, envelope-normalised samples.
template <typename Block>
QORVA_HD inline void istft_gather_body(const Block& blk, const float* frames, const float* env, float* out,
                                       int64_t kept, int64_t length, int n, int hop, int64_t pad, int64_t F,
                                       int64_t B) {
    blk.each([&](int tid) {
        const int64_t t = element_of(blk, tid);
        if (t >= length) return;
        const float e = t < kept ? env[pad + t] : 0.0f;
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            float v = 0.0f;
            if (t < kept) {
                v = overlap_sum(frames + b * F * n, pad + t, n, hop, F);
                if (e > FLT_MIN) v /= e;
            }
            out[b * length + t] = v;
        });
    });
}

// Gradient at every padded position: divided by the envelope where the
// forward divided, zero outside the kept samples.
template <typename Block>
QORVA_HD inline void istft_grad_pad_body(const Block& blk, const float* grad, const float* env, float* padded,
                                         int64_t P, int64_t pad, int64_t kept, int64_t length, int64_t B) {
    blk.each([&](int tid) {
        const int64_t q = element_of(blk, tid);
        if (q >= P) return;
        const int64_t i = q - pad;
        const bool inside = i >= 0 && i < kept;
        const float e = inside ? env[q] : 0.0f;
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            float v = 0.0f;
            if (inside) v = e > FLT_MIN ? grad[b * length + i] / e : grad[b * length + i];
            padded[b * P + q] = v;
        });
    });
}

// Power-of-two half: bin gradients from the forward real FFT of the windowed,
// scaled padded gradient; interior bins doubled, bin 0 and Nyquist real.
template <typename Block>
QORVA_HD inline void istft_bwd_frames_body(const Block& blk, float2* s, const float* padded, float2* out,
                                           const float* window, const float2* tw, const float2* stw, KParams p,
                                           float scale, int64_t P, int64_t B) {
    const int h = p.half;
    const int64_t f = blk.x, F = p.n_frames;
    for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
        const float* src = padded + b * P + f * p.hop;
        blk.each([&](int tid) {
            for (int j = tid; j < h; j += blk.threads) {
                s[j] = make_float2(src[2 * j] * load_ro(window + 2 * j) * scale,
                                   src[2 * j + 1] * load_ro(window + 2 * j + 1) * scale);
            }
        });
        blk.sync();
        blk.fft(s, tw, h, 1.0f);
        float2* dst = out + (b * F + f) * p.n_bins;
        blk.each([&](int tid) {
            for (int k = tid; k <= h; k += blk.threads) {
                dst[k] = istft_bin_gradient(split_bin(s[k % h], s[(h - k) % h], split_twiddle(stw, k, h)), k, h);
            }
        });
        blk.sync();
    });
}

// Full-length complex frames of the windowed, scaled padded gradient.
template <typename Block>
QORVA_HD inline void istft_full_grad_frames_body(const Block& blk, const float* padded, float2* A,
                                                 const float* window, int n, int hop, int64_t F, int64_t P,
                                                 float scale, int64_t B) {
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * n) return;
        const int64_t f = e / n;
        const int i = static_cast<int>(e % n);
        const float w = load_ro(window + i);
        for_rows(blk.y, blk.grid_y, B, [&](int64_t b) {
            A[b * F * n + e] = make_float2(padded[b * P + f * hop + i] * w * scale, 0.0f);
        });
    });
}

// The n_bins bin gradients from transformed full-length frames.
template <typename Block>
QORVA_HD inline void istft_full_bins_body(const Block& blk, const float2* A, float2* out, int n, int K, int h,
                                          int64_t F, int64_t B) {
    blk.each([&](int tid) {
        const int64_t e = element_of(blk, tid);
        if (e >= F * K) return;
        const int64_t f = e / K;
        const int k = static_cast<int>(e % K);
        for_rows(blk.y, blk.grid_y, B,
                 [&](int64_t b) { out[b * F * K + e] = istft_bin_gradient(A[(b * F + f) * n + k], k, h); });
    });
}

}  // namespace qorva::dsp::gpu::cuda
