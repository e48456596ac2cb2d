// Per-frame building blocks shared by the engines that go through a real FFT
// of windowed frames (STFT, ISTFT, mel and the features built on them).
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"
#include "fft/fftw_adapters.hpp"
#include "ops/framing.hpp"
#include "ops/options.hpp"
#include "ops/vector_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

// Frames handled together when an output (or gradient) is bin-major with frames
// fastest: values are formed frame by frame in a frame-major block (contiguous,
// vectorised) and moved to or from the bin-major array in short contiguous runs
// while the block sits in cache.
inline constexpr int64_t kFrameBlock = 8;

template <typename T>
fft::RealFFT<T> make_real_fft(int32_t n) {
    return fft::RealFFT<T>(n, fft::select_backend(n, fft::real_fft_supports, "real FFT", sizeof(T)));
}

// Per-task scratch: one transform with its frame, spectrum and output buffers.
// `spec` holds the interleaved spectrum (re, im per bin) of the fast paths,
// re / im the split one of the engines that want it.
template <typename T>
struct FrameScratch {
    explicit FrameScratch(int32_t n_fft)
        : fft(make_real_fft<T>(n_fft)),
          direct(dynamic_cast<fft::FftwReal<T>*>(fft.impl.get())),
          frame(n_fft),
          spec(n_fft / 2 + 1),
          re(n_fft / 2 + 1),
          im(n_fft / 2 + 1),
          signal(n_fft) {}
    fft::RealFFT<T> fft;
    fft::FftwReal<T>* direct;  // the same transform when FFTW runs it, else null
    fft::AlignedBuffer<T> frame;
    fft::AlignedBuffer<std::complex<T>> spec;
    fft::AlignedBuffer<T> re, im, signal;

    T* spec_values() { return reinterpret_cast<T*>(spec.data()); }
};

// Windowed frame f of a row and its spectrum, into s.re / s.im.
template <typename T>
void frame_spectrum(const FrameGeometry& g, const T* window, const T* row, int64_t L, int64_t f,
                    FrameScratch<T>& s) {
    extract_frame(row, L, f * g.hop_length - g.pad(), window, g.n_fft, g.pad_mode, s.frame.data());
    s.fft.impl->forward(s.frame.data(), s.re.data(), s.im.data());
}

// Unwindowed gradient of a frame's samples from the gradient of its real
// spectrum, given as the interleaved spectrum that the real inverse FFT
// takes (unpaired bins whole, the others halved; see vec::output_gradient):
// the adjoint of the forward real transform expressed through the
// unnormalised inverse.  Overwrites `spec`; returns s.signal.
template <typename T>
const T* interleaved_adjoint(FrameScratch<T>& s, std::complex<T>* spec) {
    if (s.direct != nullptr) {
        s.direct->inverse_interleaved(spec, s.signal.data());
    } else {
        const int32_t K = s.fft.n / 2 + 1;
        for (int32_t k = 0; k < K; ++k) {
            s.re[k] = spec[k].real();
            s.im[k] = spec[k].imag();
        }
        s.fft.impl->inverse(s.re.data(), s.im.data(), s.signal.data());
    }
    return s.signal.data();
}

// Unwindowed gradient of one frame's samples from the gradient (dre, dim) of
// its real spectrum.  Interior bins appear twice in the Hermitian extension,
// hence the halving.  For even n the last bin is the Nyquist bin (real,
// counted once); for odd n it is an ordinary interior bin, which keeps this
// the exact adjoint.  Uses s.re, s.im and s.signal; returns s.signal.
template <typename T>
const T* spectrum_adjoint(FrameScratch<T>& s, const T* dre, const T* dim) {
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
    return s.signal.data();
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

// Starts loading p[r * stride + c], r < rows, c < cols, into the outer cache
// levels (the inner one is too small to keep them until they are used), for
// reading or for writing.
template <typename T>
void prefetch_rows(const T* p, int64_t stride, int64_t rows, int64_t cols, bool write = false) {
    const int64_t last = (cols - 1) * static_cast<int64_t>(sizeof(T));
    for (int64_t r = 0; r < rows; ++r) {
        const char* line = reinterpret_cast<const char*>(p + r * stride);
        // A run crossing into the next line needs that one too.
        const bool two = (reinterpret_cast<uintptr_t>(line) & 63) + last >= 64;
        if (write) {
            __builtin_prefetch(line, 1, 2);
            if (two) __builtin_prefetch(line + last, 1, 2);
        } else {
            __builtin_prefetch(line, 0, 2);
            if (two) __builtin_prefetch(line + last, 0, 2);
        }
    }
}

// Starts loading the lines of [p, p + bytes) into the outer cache levels, for
// writing or for reading: a frame's gradient or output that the next frame
// touches arrives while this one transforms, rather than stalling it.
inline void prefetch_span(const void* p, std::size_t bytes, bool write) {
    const char* c = static_cast<const char*>(p);
    for (std::size_t i = 0; i < bytes; i += 64) {
        if (write) {
            __builtin_prefetch(c + i, 1, 2);
        } else {
            __builtin_prefetch(c + i, 0, 2);
        }
    }
}

// dst[c * ds + r] = src[r * ss + c]: floats and doubles through the vector
// transposes, single-precision complex values as the 8-byte words they are.
template <typename T>
void transpose_values(const T* src, int64_t ss, T* dst, int64_t ds, int64_t rows, int64_t cols) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
        vec::transpose(src, ss, dst, ds, rows, cols);
    } else if constexpr (sizeof(T) == sizeof(double)) {
        vec::transpose(reinterpret_cast<const double*>(src), ss, reinterpret_cast<double*>(dst), ds, rows, cols);
    } else {
        for (int64_t r = 0; r < rows; ++r) {
            for (int64_t c = 0; c < cols; ++c) dst[c * ds + r] = src[r * ss + c];
        }
    }
}

// block[j * rows + r] -> out[r * F + j] for j < count: a frame-major block into
// bin-major rows (out points at the block's first frame of row 0).
template <typename T>
void store_block(const T* block, int64_t count, int64_t rows, T* out, int64_t F) {
    transpose_values(block, rows, out, F, count, rows);
}

// The reverse: in[r * F + j] -> block[j * rows + r].
template <typename T>
void load_block(const T* in, int64_t F, int64_t count, int64_t rows, T* block) {
    transpose_values(in, F, block, rows, rows, count);
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
    // The same spectrum interleaved, into s.spec.
    void spectrum_interleaved(int64_t b, int64_t f, FrameScratch<T>& s) const {
        extract_frame(row(b), L, f * geometry.hop_length - geometry.pad(), window, geometry.n_fft, geometry.pad_mode,
                      s.frame.data());
        s.fft.impl->forward_complex(s.frame.data(), s.spec.data());
    }
};

// The rows of one call of a framed engine with these options and window.
template <typename T>
FramedRows<T> framed_rows(const FrameOptions& options, const T* window, const T* x, int64_t B, int64_t L) {
    return {options.geometry(), window, x, B, L, options.n_frames(L)};
}

// How an output gradient holds a frame's `width` values: bin-major ([b][v][f],
// frames fastest, as the real outputs), frame-major ([b][f][v]), or
// bin-major over complex values ([b][k][f] pairs of T, width = 2 per bin).
enum class FrameLayout { bin_major, frame_major, complex_bin_major };

// Outputs at least this large are written around the caches: they would
// push out what the call still reads, and stores around the caches need not
// fetch each line before writing it.
inline constexpr int64_t kStreamedOutputBytes = int64_t{8} << 20;

// Output rows from which a framed forward writes whole lines (see below).
inline constexpr int64_t kLineStoreMinRows = 256;

// framed_forward for float outputs wide enough to fill lines: the frames of
// a task's stretch of one row go round a ring of vec::kRingFrames frames, and
// every vec::kLineFrames frames each output row gets the one line those
// frames complete, whole (pieces at the stretch's ends), where blocks of
// frames would write each line in two pieces and fetch it twice.  Large
// outputs are streamed; smaller ones have their next lines fetched for
// writing, a few rows per frame, while the frames transform.
template <typename Task, typename Stage>
void framed_forward_lines(const FramedRows<float>& in, int64_t width, float* out, const Stage& stage) {
    constexpr int64_t kLine = vec::kLineFrames;
    const int64_t F = in.F;
    const int64_t stride = (width + kLine - 1) / kLine * kLine;
    const bool stream = in.B * width * F * static_cast<int64_t>(sizeof(float)) >= kStreamedOutputBytes;
    parallel_for(in.B * F, 64, [&](int64_t begin, int64_t end) {
        Task task(in.geometry.n_fft);
        // Pooled: a ring is larger than the allocator keeps for reuse.
        PoolBuffer ring_block(static_cast<std::size_t>(vec::kRingFrames * stride) * sizeof(float));
        float* ring = ring_block.as<float>();
        for (int64_t q = begin; q < end;) {
            const int64_t b = q / F, fa = q % F, fe = std::min(F, fa + (end - q));
            float* rows = out + b * width * F;
            int64_t epoch = fa / kLine * kLine;  // lines that end by here are done or lie before fa
            for (int64_t f = fa; f < fe; ++f) {
                const int64_t part = f % kLine;
                if (!stream) {
                    // The lines the epoch under way completes each hold its first frame.
                    const int64_t r0 = width * part / kLine, r1 = width * (part + 1) / kLine;
                    prefetch_rows(rows + r0 * F + (f - part), F, r1 - r0, 1, true);
                }
                stage(task, b, f, ring + (f % vec::kRingFrames) * stride);
                if (part == kLine - 1) {
                    epoch = f + 1;
                    vec::store_lines(ring, stride, width, rows, F, epoch, fa, fe, stream);
                }
            }
            // What the last frames began: lines ending in the next two epochs.
            vec::store_lines(ring, stride, width, rows, F, epoch + kLine, fa, fe, stream);
            vec::store_lines(ring, stride, width, rows, F, epoch + 2 * kLine, fa, fe, stream);
            q += fe - fa;
        }
        if (stream) vec::finish_streaming_stores();
    });
}

// The forward loop of the framed engines: every (row, frame) goes to
// stage(task, b, f, values), which transforms the frame (in.spectrum or
// in.spectrum_interleaved) and writes its `width` output values; blocks of
// frames then go to the bin-major output (B x width x F).  Task is the
// per-task scratch, a FrameScratch<T> or one extending it, built from n_fft.
template <typename Task, typename T, typename Stage>
void framed_forward(const FramedRows<T>& in, int64_t width, T* out, const Stage& stage) {
    if constexpr (std::is_same_v<T, float>) {
        // With fewer rows the lines a block leaves half-written stay in the
        // first-level cache until the next block completes them (128 mel
        // bands: 16 KB); ring offsets are 32-bit.
        if (vec::has_line_stores() && width >= kLineStoreMinRows && width < (int64_t{1} << 25)) {
            return framed_forward_lines<Task>(in, width, out, stage);
        }
    }
    const int64_t F = in.F;
    parallel_for(in.B * F, 64, [&](int64_t begin, int64_t end) {
        Task task(in.geometry.n_fft);
        fft::AlignedBuffer<T> block(static_cast<std::size_t>(width * kFrameBlock));
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            // This block's output lines lie a row apart: fetch them for
            // writing while its frames transform.
            prefetch_rows(out + b * width * F + f0, F, width, count, true);
            for (int64_t j = 0; j < count; ++j) stage(task, b, f0 + j, block.data() + j * width);
            store_block(block.data(), count, width, out + b * width * F + f0, F);
        });
    });
}

// Frames per task of a framed backward pass.  Fixed, so that the tasks and
// the order of every sum do not depend on the thread count.
inline constexpr int64_t kBackwardChunk = 32;

// Writes the frame values v[i] = y[i] * w[i] (i < n; zero for n <= i,
// where frames leave gaps) for frame offsets [a, b) to dst[0 ..): added to
// what dst holds below offset `live` (earlier frames wrote there), stored
// from it on.  w == nullptr means no window.
template <typename T>
void write_frame_values(T* dst, const T* y, const T* w, int64_t a, int64_t b, int64_t live, int64_t n) {
    const int64_t added_end = std::min(b, live);
    if (a < added_end) {
        const int64_t e = std::min(added_end, n);
        if (a < e) vec::multiply_add(dst, y + a, w == nullptr ? nullptr : w + a, e - a);
    }
    const int64_t s = std::max(a, live);
    if (s >= b) return;
    const int64_t e = std::min(b, n);
    if (s < e) {
        if (w == nullptr) {
            std::copy(y + s, y + e, dst + (s - a));
        } else {
            vec::multiply(y + s, w + s, dst + (s - a), e - s);
        }
    }
    const int64_t z = std::max(s, n);
    if (z < b) std::fill(dst + (z - a), dst + (b - a), T(0));
}

// Where the frame gradients of one row land: padded position p (frame f
// covers p in [f * hop, f * hop + n)) is sample p - pad of grad_x when that
// lies in the row, else one of the edge cells that reflect padding folds
// back onto the row at the end (constant padding drops them).
template <typename T>
struct PaddedRowSink {
    T* row;
    T* left;   // positions -pad .. -1
    T* right;  // positions L .. L + right_len - 1
    int64_t L, pad, right_len;

    // Calls fn(dst, i0, i1) for the runs of padded positions p0 + [i0, i1)
    // that land in one contiguous array (dst at p0 + i0), skipping dropped ones.
    template <typename Fn>
    void runs(int64_t p0, int64_t count, const Fn& fn) const {
        const int64_t t0 = p0 - pad;
        const int64_t a = std::clamp<int64_t>(-t0, 0, count);
        const int64_t b = std::clamp<int64_t>(L - t0, a, count);
        const int64_t c = std::clamp<int64_t>(L + right_len - t0, b, count);
        if (a > 0 && left != nullptr) fn(left + t0 + pad, int64_t{0}, a);
        if (b > a) fn(row + t0 + a, a, b);
        if (c > b && right != nullptr) fn(right + (t0 + b - L), b, c);
    }

    // Adds v[0 .. count) at padded positions p0 ...
    void add(int64_t p0, const T* v, int64_t count) const {
        runs(p0, count, [&](T* dst, int64_t i0, int64_t i1) {
            vec::multiply_add(dst, v + i0, static_cast<const T*>(nullptr), i1 - i0);
        });
    }

    // Adds the edge cells to the samples reflect padding read them from:
    // images of any order, every one of them sample 0 for a one-sample row.
    void fold_edges() const {
        if (left == nullptr || L <= 0) return;
        const int64_t period = 2 * L - 2;
        auto mirror = [&](int64_t t) {
            if (L == 1) return int64_t{0};
            int64_t r = t % period;
            if (r < 0) r += period;
            return r >= L ? period - r : r;
        };
        for (int64_t t = -pad; t < 0; ++t) row[mirror(t)] += left[t + pad];
        for (int64_t t = L; t < L + right_len; ++t) row[mirror(t)] += right[t - L];
    }
};

// Block [f0, f0 + count) of a bin-major gradient row (`rows` values of E per
// frame, row_grad at the row's start) into a frame-major block, for task q
// of a framed backward pass whose tasks end at `end`.  The next block's
// gradient (this chunk's or the next one's) sits in `rows` lines a row
// apart, too far apart for the hardware to guess: it is asked for now and
// arrives while this block transforms.
template <typename E, typename T>
void load_gradient_block(const E* row_grad, const T* grad, int64_t q, int64_t count, int64_t f0, int64_t fb,
                         int64_t end, int64_t chunks, int64_t F, int64_t rows, E* block) {
    load_block(row_grad + f0, F, count, rows, block);
    if (f0 + count < fb) {
        // Where it starts in a line this block already has, only the line
        // of its last frame is new.
        const int64_t last = std::min(kFrameBlock, fb - f0 - count) - 1;
        prefetch_rows(row_grad + f0 + count + last, F, rows, 1);
    } else if (q + 1 < end) {
        const int64_t nb = (q + 1) / chunks, nf0 = ((q + 1) % chunks) * kBackwardChunk;
        const E* next_row = reinterpret_cast<const E*>(grad) + nb * rows * F;
        prefetch_rows(next_row + nf0, F, rows, std::min(kFrameBlock, F - nf0));
    }
}

// The backward loop of the framed engines: the output gradient of a frame
// (its `width` values: for bin-major layouts a task-owned copy the adjoint
// may overwrite, for the frame-major one grad itself, to be left as it is) goes to
// adjoint(task, b, f, g), which returns the n_fft gradients of the frame's
// windowed samples before the window (in task memory, valid until its next
// call); it recomputes what it needs of the spectrum itself.  Each task takes
// kBackwardChunk consecutive frames of one row and overlap-adds their
// window-weighted gradients straight into grad_x, in frame order: stored
// where no earlier frame of the chunk reached, added elsewhere.  A chunk owns
// the positions from its first frame's start to the next chunk's; what its
// last frames add beyond (n - hop positions) is carried and added after all
// tasks, in chunk order.  Frame gradients never make a trip through memory.
// make_task() builds a task's scratch (by default Task(n_fft)).  With
// `accumulate` the gradients are added to what grad_x holds.
template <typename Task, typename T, typename Adjoint, typename MakeTask>
void framed_backward(const FramedRows<T>& in, const T* grad, int64_t width, FrameLayout layout, T* grad_x,
                     const Adjoint& adjoint, const MakeTask& make_task, bool accumulate = false) {
    const int64_t F = in.F, B = in.B, L = in.L;
    const int32_t n = in.geometry.n_fft;
    const int64_t hop = in.geometry.hop_length, pad = in.geometry.pad();
    const int64_t chunks = (F + kBackwardChunk - 1) / kBackwardChunk;
    const bool reflect = in.geometry.pad_mode == PadMode::reflect;
    // Positions covered by frames beyond the row's end; the positions a frame
    // writes (its n samples, or the hop when frames leave gaps), and how many
    // of those the next frame finds written.
    const int64_t right_len = std::max<int64_t>((F - 1) * hop + n - pad - L, 0);
    const int64_t edge_len = reflect ? pad + right_len : 0;
    const int64_t reach = std::max<int64_t>(n, hop);
    const int64_t overlap = reach - hop;
    PoolBuffer carry_block(static_cast<std::size_t>(std::max<int64_t>(B * chunks * overlap, 1)) * sizeof(T));
    PoolBuffer edge_block(static_cast<std::size_t>(std::max<int64_t>(B * edge_len, 1)) * sizeof(T));
    T* carries = carry_block.as<T>();
    T* edges = edge_block.as<T>();
    // Edge cells past the last chunk's positions only receive its carry.
    std::fill(edges, edges + B * edge_len, T(0));
    auto sink = [&](int64_t b) {
        T* e = edges + b * edge_len;
        return PaddedRowSink<T>{grad_x + b * L, reflect ? e : nullptr, reflect ? e + pad : nullptr, L, pad, right_len};
    };

    // Two chunks a task at least: a call this small is not worth a thread.
    parallel_for(B * chunks, 2, [&](int64_t begin, int64_t end) {
        Task task = make_task();
        fft::AlignedBuffer<T> block(static_cast<std::size_t>(width * kFrameBlock));
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / chunks, fa = (q % chunks) * kBackwardChunk;
            const int64_t fb = std::min(F, fa + kBackwardChunk);
            const T* row_grad = grad + b * width * F;
            const PaddedRowSink<T> out = sink(b);
            T* carry = carries + q * overlap;
            for (int64_t f0 = fa; f0 < fb; f0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, fb - f0);
                const bool bin_major = layout != FrameLayout::frame_major;
                if (layout == FrameLayout::complex_bin_major) {
                    load_gradient_block(reinterpret_cast<const std::complex<T>*>(row_grad), grad, q, count, f0, fb,
                                        end, chunks, F, width / 2, reinterpret_cast<std::complex<T>*>(block.data()));
                } else if (bin_major) {
                    load_gradient_block(row_grad, grad, q, count, f0, fb, end, chunks, F, width, block.data());
                }
                for (int64_t j = 0; j < count; ++j) {
                    const int64_t f = f0 + j, p0 = f * hop;
                    T* g = bin_major ? block.data() + j * width : const_cast<T*>(row_grad + f * width);
                    if (!bin_major && f + 1 < fb) prefetch_span(g + width, sizeof(T) * width, false);
                    // The samples the frame after next reads and the gradients
                    // it writes first, beyond the next frame's reach (where
                    // frames leave gaps, it reads only its n samples).
                    const int64_t ahead = std::clamp<int64_t>(p0 + reach + hop - pad, 0, L);
                    const int64_t ahead_end = std::clamp<int64_t>(p0 + reach + 2 * hop - pad, 0, L);
                    const int64_t read_end = std::clamp<int64_t>(p0 + 2 * hop + n - pad, ahead, ahead_end);
                    if (ahead < ahead_end) {
                        prefetch_span(in.row(b) + ahead, sizeof(T) * (read_end - ahead), false);
                        prefetch_span(grad_x + b * L + ahead, sizeof(T) * (ahead_end - ahead), true);
                    }
                    const T* y = adjoint(task, b, f, g);
                    const int64_t live = f == fa ? 0 : overlap;
                    const int64_t cut = std::min(fb * hop - p0, reach);
                    out.runs(p0, cut, [&](T* dst, int64_t i0, int64_t i1) {
                        write_frame_values(dst, y, in.window, i0, i1, accumulate ? reach : live, n);
                    });
                    if (cut < reach) write_frame_values(carry + (p0 + cut - fb * hop), y, in.window, cut, reach, live, n);
                }
            }
        }
    });

    for_each_row(B, [&](int64_t b) {
        const PaddedRowSink<T> out = sink(b);
        if (!accumulate) {
            const int64_t owned_end = std::clamp<int64_t>(F * hop - pad, 0, L);
            std::fill(grad_x + b * L + owned_end, grad_x + (b + 1) * L, T(0));
        }
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t fb = std::min(F, (c + 1) * kBackwardChunk);
            out.add(fb * hop, carries + (b * chunks + c) * overlap, overlap);
        }
        out.fold_edges();
    });
}

template <typename Task, typename T, typename Adjoint>
void framed_backward(const FramedRows<T>& in, const T* grad, int64_t width, FrameLayout layout, T* grad_x,
                     const Adjoint& adjoint) {
    const int32_t n = in.geometry.n_fft;
    framed_backward<Task>(in, grad, width, layout, grad_x, adjoint, [n] { return Task(n); });
}

}  // namespace qorva::dsp::ops
