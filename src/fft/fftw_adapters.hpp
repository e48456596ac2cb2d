// FFTW-backed implementations of the transform interfaces.
//
// FFTW's planner is not thread-safe, so every plan is made in one PlanCache per
// precision under its mutex and kept for the life of the process; executing a
// plan (the new-array functions) is thread-safe.  Each adapter owns aligned
// buffers with the alignment the plans were made for, which covers callers
// whose arrays are not aligned.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <fftw3.h>

#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"

namespace qorva::dsp::fft {

template <typename T>
struct FftwApi;

template <>
struct FftwApi<float> {
    using plan = fftwf_plan;
    using cpx = fftwf_complex;
};

template <>
struct FftwApi<double> {
    using plan = fftw_plan;
    using cpx = fftw_complex;
};

// The forward and inverse plans of one length and kind.  A real length that
// packs_real_length() takes has complex plans of half the length and the
// twiddles that turn their spectra into the real one (fft/packed_real.hpp).
template <typename T>
struct FftwPlans {
    typename FftwApi<T>::plan forward = nullptr;
    typename FftwApi<T>::plan inverse = nullptr;
    std::vector<float> twiddles;  // empty unless packed
};

// Whether real transforms of length n run as complex transforms of length n/2:
// even single-precision lengths from 32 on.  Against FFTW's own real transform
// (one thread, inputs in cache) that takes 1.3x less time at 64, 1.6x at 512,
// 1.9-2.0x at 1024-8192 and 1.2-1.9x at other common frame lengths (400, 480,
// 882, 1000, 1200); below 32 the extra pass costs more than it saves.  FFTW's
// double-precision real transforms are as fast as packed ones, so they stay.
bool packs_real_length(int32_t n, std::size_t real_bytes);

// How hard the planner works on the lengths worth measuring (powers of two
// from 128 to 16384), from QORVA_FFT_PLANNING: "estimate" (never measure; the
// first call of a size costs about a millisecond), "measure" (the default) or
// "patient" (FFTW_PATIENT: slower planning, sometimes faster plans).  Other
// lengths are always estimated.
enum class Planning { estimate, measure, patient };

// An unset or empty value means "measure"; anything else unknown throws.
Planning parse_planning(const char* value);
Planning planning_from_environment();

// The wisdom file of one precision in the user's cache directory
// ($XDG_CACHE_HOME or ~/.cache, then qorva/), created if need be; empty when
// there is none to use.
std::string wisdom_file(const char* precision);

template <typename T>
class PlanCache {
public:
    static PlanCache& instance();

    // Plans for a real (r2c/c2r, or packed: complex of length n/2) or complex
    // transform of length n; made on first request.  `packed` false asks for
    // FFTW's own r2c/c2r even where the length packs: the reference the
    // benchmarks measure the packed transform against.  A measured length is
    // planned from the saved wisdom when it holds the plan (about a
    // millisecond), else measured and the wisdom saved for later processes.
    const FftwPlans<T>& get(int32_t n, bool real, bool packed = true);

    // Number of plan pairs made so far (for tests of plan sharing).
    std::size_t size();

private:
    PlanCache();
    void save_wisdom();

    std::mutex mutex_;
    std::unordered_map<uint64_t, FftwPlans<T>> plans_;
    Planning planning_;
    std::string wisdom_path_;
};

template <typename T>
class FftwReal final : public RealFFTImpl<T> {
public:
    // `packed` false runs FFTW's r2c/c2r where the length would pack.
    explicit FftwReal(int32_t n, bool packed = true);
    void forward(const T* in, T* re, T* im) override;
    void forward_complex(const T* in, std::complex<T>* out) override;
    void inverse(const T* re, const T* im, T* out) override;
    // inverse() from an interleaved spectrum, which the transform overwrites:
    // no packing pass when it sits in a SIMD-aligned buffer.
    void inverse_interleaved(std::complex<T>* spectrum, T* out);

private:
    const T* aligned_input(const T* in);
    // The forward transform of an aligned input into an aligned output that
    // does not overlap it.
    void forward_aligned(const T* in, std::complex<T>* out);
    // The inverse of an aligned, writable spectrum: the unpaired bins' imaginary
    // parts dropped, output staged when `out` is misaligned.
    void inverse_in_place(std::complex<T>* spectrum, T* out);

    int32_t n_;
    int32_t bins_;
    const FftwPlans<T>* plans_;
    AlignedBuffer<T> in_buf_;                // stages misaligned real input
    AlignedBuffer<std::complex<T>> spec_buf_;  // forward output / inverse input
    AlignedBuffer<T> out_buf_;               // inverse output for misaligned callers
};

template <typename T>
class FftwComplex final : public ComplexFFTImpl<T> {
public:
    explicit FftwComplex(int32_t n);
    void forward(const std::complex<T>* in, std::complex<T>* out) override;
    void inverse(const std::complex<T>* in, std::complex<T>* out) override;

private:
    void run(typename FftwApi<T>::plan plan, const std::complex<T>* in, std::complex<T>* out);

    int32_t n_;
    const FftwPlans<T>* plans_;
    AlignedBuffer<std::complex<T>> in_buf_;
    AlignedBuffer<std::complex<T>> out_buf_;
};

// FFTW's own version string, e.g. "fftw-3.3.10-sse2-avx".
std::string fftw_version_string();

extern template class PlanCache<float>;
extern template class PlanCache<double>;
extern template class FftwReal<float>;
extern template class FftwReal<double>;
extern template class FftwComplex<float>;
extern template class FftwComplex<double>;

}  // namespace qorva::dsp::fft
