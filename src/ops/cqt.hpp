// Constant-Q (variable-Q) transform of a batch of signals and its exact
// adjoint.  The transform runs octave by octave: each octave applies a small
// sparse frequency-domain kernel to the real FFT of centred, unwindowed frames;
// lower octaves read copies of the signal decimated by 2 with a fixed halfband
// lowpass.  Everything that depends only on the parameters (kernels, their
// adjoints, the halfband taps) is built by the constructor; forward and
// backward only read the engine and may run concurrently.
#pragma once

#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "ops/frame_kernels.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::ops {

struct CqtConfig {
    double sr;
    int32_t hop_length;
    double fmin;
    int32_t n_bins;
    int32_t bins_per_octave;
    double filter_scale = 1.0;
    double sparsity = 0.01;
    double gamma = 0.0;  // bandwidth offset in Hz; negative selects the ERB-like automatic offset
};

// Compressed-row complex matrix; entries of a row in increasing column order.
template <typename T>
struct SparseKernel {
    int32_t rows = 0;
    int32_t cols = 0;
    std::vector<int32_t> row_start{0};
    std::vector<int32_t> col;
    std::vector<std::complex<T>> val;
};

template <typename T>
struct CqtOctave {
    int32_t n_filters;
    int32_t n_fft;
    SparseKernel<T> kernel;   // n_filters x (n_fft/2 + 1)
    SparseKernel<T> adjoint;  // (n_fft/2 + 1) x n_filters, conjugate transpose of kernel
    // The kernel's rows as dense runs of bins, in the form vec::band_adjoint
    // takes: row r spans band_offset[r + 1] - band_offset[r] bins from
    // band_first[r], both multiples of 8; its values (zero where the sparse
    // row has no bin) are conjugated, then follow again times i, as
    // interleaved reals from 4 * band_offset[r] in band_values.
    std::vector<int32_t> band_first, band_offset;
    std::vector<T> band_values;
    // The bins any row of the kernel reads: [first_bin, end_bin).
    int32_t first_bin = 0, end_bin = 0;
    int32_t bin_offset;
    int32_t hop;
    int32_t level;
    bool halve_after;
};

// A flat, index-based copy of an engine for a GPU implementation.
template <typename T>
struct CqtGpuPlan {
    int32_t max_n_fft = 0;
    int32_t n_bins = 0;
    int32_t n_levels = 0;
    std::vector<T> halfband;  // centre tap, then the 32 odd taps
    struct Octave {
        int32_t hop, level, n_fft, n_filters, bin_offset, first_row;
    };
    std::vector<Octave> octaves;
    SparseKernel<T> kernels;   // all octaves' kernels, rows concatenated
    SparseKernel<T> adjoints;  // all octaves' adjoints, rows concatenated
};

template <typename T>
class CqtEngine {
public:
    static constexpr int kHalfbandTaps = 33;

    explicit CqtEngine(const CqtConfig& config);

    int64_t n_frames(int64_t n_samples) const;
    // out: batch x n_bins x n_frames, frames fastest; complex output as (re, im) pairs.
    void forward(const T* x, int64_t batch, int64_t n_samples, OutputMode output, T* out) const;
    // grad has the layout of out; grad_x (batch x n_samples) is overwritten.
    void backward(const T* grad, const T* x, int64_t batch, int64_t n_samples, OutputMode output, T* grad_x) const;

    // One row: out_row is n_bins x n_frames (pairs for complex output).  The
    // batch functions above run these row after row; the chroma engine calls
    // them directly.
    void forward_row(const T* row, int64_t n_samples, OutputMode output, T* out_row) const;
    void backward_row(const T* grad_row, const T* row, int64_t n_samples, OutputMode output, T* grad_x_row) const;

    int32_t n_bins() const { return config_.n_bins; }
    int32_t bins_per_octave() const { return config_.bins_per_octave; }
    double fmin() const { return config_.fmin; }
    double sr() const { return config_.sr; }
    int32_t hop_length() const { return config_.hop_length; }
    int32_t n_octaves() const { return n_octaves_; }
    int32_t early_downsample() const { return early_downsample_; }
    int32_t n_levels() const { return n_levels_; }
    const std::vector<CqtOctave<T>>& octaves() const { return octaves_; }
    const std::vector<T>& halfband() const { return halfband_; }

    // Fills `plan` and returns true when every octave's FFT is a power of two
    // in [8, max_n_fft], no octave has more than 128 filters and every octave
    // but the last halves the rate; otherwise returns false.
    bool export_gpu_plan(int32_t max_n_fft, CqtGpuPlan<T>& plan) const;

    // Decimation by 2 with the halfband lowpass (length ceil(n/2)) and its transpose.
    void decimate(const T* x, int64_t n, T* y) const;
    // gx (n) += D^T gy, or gx = D^T gy when !accumulate.
    void decimate_adjoint(const T* gy, int64_t n, T* gx, bool accumulate = true) const;

    // A task's scratch for the filter outputs of a block of frames.
    struct BlockScratch;

private:
    struct Pyramid;
    // Without samples, only the levels' lengths are filled in and every level
    // points at the row itself (no level's samples are read).
    void build_pyramid(const T* row, int64_t n_samples, Pyramid& p, bool with_samples = true) const;
    // Filter outputs of frames t0 .. t0 + count - 1 (count <= kFrameBlock) of
    // an octave into s.C, frame after frame (n_filters values each).
    void octave_block(const CqtOctave<T>& oct, const T* level, int64_t level_len, int64_t t0, int64_t count,
                      BlockScratch& s) const;

    CqtConfig config_;
    int32_t n_octaves_ = 0;
    int32_t early_downsample_ = 0;
    int32_t n_levels_ = 1;
    std::vector<T> halfband_;
    std::vector<CqtOctave<T>> octaves_;
};

}  // namespace qorva::dsp::ops
