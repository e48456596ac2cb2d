// Per-frame building blocks shared by the engines that go through a real FFT
// of windowed frames (STFT, ISTFT, mel and the features built on them).
#pragma once

#include <algorithm>
#include <cstdint>

#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"
#include "ops/framing.hpp"

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

}  // namespace qorva::dsp::ops
