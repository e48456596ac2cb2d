// Per-frame building blocks shared by the engines that go through a real FFT
// of windowed frames (STFT, ISTFT, mel and the features built on them).
#pragma once

#include <algorithm>
#include <cstdint>

#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"
#include "ops/framing.hpp"
#include "ops/options.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

// Frames handled together when an output (or gradient) is bin-major with frames
// fastest: values are formed frame by frame in a frame-major block (contiguous,
// vectorised) and moved to or from the bin-major array in short contiguous runs
// while the block sits in cache.
inline constexpr int64_t kFrameBlock = 16;

template <typename T>
fft::RealFFT<T> make_real_fft(int32_t n) {
    return fft::RealFFT<T>(n, fft::select_backend(n, fft::real_fft_supports, "real FFT"));
}

// Per-task scratch: one transform with its frame, spectrum and output buffers.
template <typename T>
struct FrameScratch {
    explicit FrameScratch(int32_t n_fft)
        : fft(make_real_fft<T>(n_fft)), frame(n_fft), re(n_fft / 2 + 1), im(n_fft / 2 + 1), signal(n_fft) {}
    fft::RealFFT<T> fft;
    fft::AlignedBuffer<T> frame, re, im, signal;
};

// Windowed frame f of a row and its spectrum, into s.re / s.im.
template <typename T>
void frame_spectrum(const FrameGeometry& g, const T* window, const T* row, int64_t L, int64_t f,
                    FrameScratch<T>& s) {
    extract_frame(row, L, f * g.hop_length - g.pad(), window, g.n_fft, g.pad_mode, s.frame.data());
    s.fft.impl->forward(s.frame.data(), s.re.data(), s.im.data());
}

// Gradient of one frame's samples from the gradient (dre, dim) of its real
// spectrum: the adjoint of the forward real transform expressed through the
// unnormalised inverse, times the window.  Interior bins appear twice in the
// Hermitian extension, hence the halving.  For even n the last bin is the
// Nyquist bin (real, counted once); for odd n it is an ordinary interior bin,
// which keeps this the exact adjoint.  A null window means no window (all
// ones).  Uses s.re, s.im and s.signal.
template <typename T>
void spectrum_adjoint(FrameScratch<T>& s, const T* dre, const T* dim, const T* window, T* out) {
    const int32_t n = s.fft.n;
    const int32_t K = n / 2 + 1;
    const int32_t last_interior = n % 2 == 0 ? K - 2 : K - 1;
    T* re = s.re.data();
    T* im = s.im.data();
    re[0] = dre[0];
    im[0] = T(0);
    for (int32_t k = 1; k <= last_interior; ++k) {
        re[k] = T(0.5) * dre[k];
        im[k] = T(0.5) * dim[k];
    }
    if (n % 2 == 0) {
        re[K - 1] = dre[K - 1];
        im[K - 1] = T(0);
    }
    s.fft.impl->inverse(re, im, s.signal.data());
    const T* y = s.signal.data();
    if (window == nullptr) {
        std::copy(y, y + n, out);
    } else {
        for (int32_t i = 0; i < n; ++i) out[i] = y[i] * window[i];
    }
}

// Splits a task's range [begin, end) of (row, frame) indices q = b * F + f
// into runs of at most `run` consecutive frames of one row and calls
// fn(b, f0, count) for each: a run never crosses a row, so its frames are
// contiguous in bin-major outputs.
template <typename Fn>
void for_frame_runs(int64_t begin, int64_t end, int64_t F, int64_t run, const Fn& fn) {
    for (int64_t q = begin; q < end;) {
        const int64_t b = q / F, f0 = q % F;
        const int64_t count = std::min({run, end - q, F - f0});
        fn(b, f0, count);
        q += count;
    }
}

// block[j * rows + r] -> out[r * F + j] for j < count: a frame-major block into
// bin-major rows (out points at the block's first frame of row 0).
template <typename T>
void store_block(const T* block, int64_t count, int64_t rows, T* out, int64_t F) {
    for (int64_t r = 0; r < rows; ++r) {
        T* dst = out + r * F;
        for (int64_t j = 0; j < count; ++j) dst[j] = block[j * rows + r];
    }
}

// The reverse: in[r * F + j] -> block[j * rows + r].
template <typename T>
void load_block(const T* in, int64_t F, int64_t count, int64_t rows, T* block) {
    for (int64_t r = 0; r < rows; ++r) {
        const T* src = in + r * F;
        for (int64_t j = 0; j < count; ++j) block[j * rows + r] = src[j];
    }
}

// A task's scratch for the backward passes whose frame gradient comes from
// spectrum gradients (dre, dim) through spectrum_adjoint.
template <typename T>
struct AdjointScratch : FrameScratch<T> {
    explicit AdjointScratch(int32_t n_fft) : FrameScratch<T>(n_fft), dre(n_fft / 2 + 1), dim(n_fft / 2 + 1) {}
    fft::AlignedBuffer<T> dre, dim;
};

// B rows of L samples seen as F windowed frames.
template <typename T>
struct FramedRows {
    FrameGeometry geometry;
    const T* window;
    const T* x;
    int64_t B, L, F;

    const T* row(int64_t b) const { return x + b * L; }
    // Frame f of row b and its spectrum, into s.re / s.im.
    void spectrum(int64_t b, int64_t f, FrameScratch<T>& s) const { frame_spectrum(geometry, window, row(b), L, f, s); }
};

// The rows of one call of a framed engine with these options and window.
template <typename T>
FramedRows<T> framed_rows(const FrameOptions& options, const T* window, const T* x, int64_t B, int64_t L) {
    return {options.geometry(), window, x, B, L, options.n_frames(L)};
}

// How an output gradient holds a frame's `width` values: bin-major ([b][v][f],
// frames fastest, as the real outputs) or frame-major ([b][f][v]).
enum class FrameLayout { bin_major, frame_major };

// The forward loop of the framed engines: every (row, frame) is transformed
// and handed to stage(task, b, f, values), which writes the frame's `width`
// output values; blocks of frames then go to the bin-major output
// (B x width x F).  Task is the per-task scratch, a FrameScratch<T> or one
// extending it, built from n_fft; the spectrum is in task.re / task.im.
template <typename Task, typename T, typename Stage>
void framed_forward(const FramedRows<T>& in, int64_t width, T* out, const Stage& stage) {
    const int64_t F = in.F;
    parallel_for(in.B * F, 64, [&](int64_t begin, int64_t end) {
        Task task(in.geometry.n_fft);
        fft::AlignedBuffer<T> block(static_cast<std::size_t>(width * kFrameBlock));
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                in.spectrum(b, f0 + j, task);
                stage(task, b, f0 + j, block.data() + j * width);
            }
            store_block(block.data(), count, width, out + b * width * F + f0, F);
        });
    });
}

// The backward loop of the framed engines, row by row: the output gradient
// of a frame (its `width` values) goes to adjoint(task, b, f, g, frame_grad),
// which writes the n_fft gradients of the frame's samples (windowed);
// fold_frames then gathers them onto grad_x.  g is a task-owned copy that
// the adjoint may overwrite.  The adjoint recomputes what it needs of the
// spectrum (in.spectrum).
template <typename Task, typename T, typename Adjoint>
void framed_backward(const FramedRows<T>& in, const T* grad, int64_t width, FrameLayout layout, T* grad_x,
                     const Adjoint& adjoint) {
    const int64_t F = in.F;
    const int32_t n = in.geometry.n_fft;
    PoolBuffer frame_grads_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
    T* frame_grads = frame_grads_block.as<T>();
    for (int64_t b = 0; b < in.B; ++b) {
        const T* row_grad = grad + b * width * F;
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            Task task(n);
            fft::AlignedBuffer<T> block(static_cast<std::size_t>(width * kFrameBlock));
            for (int64_t f0 = begin; f0 < end; f0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, end - f0);
                if (layout == FrameLayout::bin_major) {
                    load_block(row_grad + f0, F, count, width, block.data());
                } else {
                    std::copy(row_grad + f0 * width, row_grad + (f0 + count) * width, block.data());
                }
                for (int64_t j = 0; j < count; ++j) {
                    adjoint(task, b, f0 + j, block.data() + j * width, frame_grads + (f0 + j) * n);
                }
            }
        });
        fold_frames(frame_grads, F, n, in.geometry.hop_length, in.geometry.pad(), in.geometry.pad_mode,
                    grad_x + b * in.L, in.L, false);
    }
}

}  // namespace qorva::dsp::ops
