// Real and complex FFT interfaces, the owning holders operators keep, and the
// rule that picks a backend for a length.
//
// Transforms are unnormalised both ways: forward uses exp(-2*pi*i*jk/n), inverse
// exp(+2*pi*i*jk/n) without 1/n, so inverse(forward(x)) == n * x.  A real
// spectrum of length n has n/2 + 1 bins, either split into re/im arrays or
// interleaved as std::complex<T>.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qorva::dsp::fft {

enum class FFTBackend : uint32_t {
    vdsp = 0,       // known to the selection rules, not compiled into this build
    fftw = 1,       // any n >= 1
    bluestein = 2,  // any n >= 4, chirp-z over a power-of-two fftw transform
};

const char* backend_name(FFTBackend b);
// Exact, case-sensitive; throws std::invalid_argument "unknown FFT backend '<name>'".
FFTBackend parse_backend(const std::string& name);
bool backend_compiled(FFTBackend b);
// Backends of this build in order of preference.
const std::vector<FFTBackend>& compiled_backends();

bool real_fft_supports(FFTBackend b, int32_t n);
bool complex_fft_supports(FFTBackend b, int32_t n);

using SupportRule = bool (*)(FFTBackend, int32_t);

// Whether the automatic choice runs a length on Bluestein rather than FFTW
// (the measurements behind the rule are in fft.cpp).  `real_bytes` is the size
// of the real type, sizeof(float) or sizeof(double).
bool prefers_bluestein(int32_t n, bool real, std::size_t real_bytes);

// Backend for a length: QORVA_FFT (read once per process) when it names a
// backend, else Bluestein where prefers_bluestein says so, else the first
// compiled backend in preference order that takes n.  `supports` is
// real_fft_supports or complex_fft_supports; `kind` ("real FFT" / "complex
// FFT") only appears in messages.  Callers that know their precision pass
// sizeof(T): the rule differs between float and double.
FFTBackend select_backend(int32_t n, SupportRule supports, const char* kind,
                          std::size_t real_bytes = sizeof(float));

template <typename T>
class RealFFTImpl {
public:
    virtual ~RealFFTImpl() = default;
    // Split spectrum: re and im hold n/2 + 1 values each.
    virtual void forward(const T* in, T* re, T* im) = 0;
    // Interleaved spectrum of n/2 + 1 values.
    virtual void forward_complex(const T* in, std::complex<T>* out) = 0;
    // n times the inverse DFT of the Hermitian spectrum defined by the half
    // spectrum; the imaginary parts of bin 0 and (even n) bin n/2 are ignored.
    virtual void inverse(const T* re, const T* im, T* out) = 0;
};

template <typename T>
class ComplexFFTImpl {
public:
    virtual ~ComplexFFTImpl() = default;
    virtual void forward(const std::complex<T>* in, std::complex<T>* out) = 0;
    virtual void inverse(const std::complex<T>* in, std::complex<T>* out) = 0;
};

// Owning holders.  An instance carries its own scratch, so one holder must not
// run two transforms at once; operators give every parallel task its own.
template <typename T>
class RealFFT {
public:
    RealFFT(int32_t n, FFTBackend backend);
    RealFFT(RealFFT&&) noexcept = default;
    RealFFT& operator=(RealFFT&&) noexcept = default;
    RealFFT(const RealFFT&) = delete;
    RealFFT& operator=(const RealFFT&) = delete;

    int32_t n;
    FFTBackend backend;
    std::unique_ptr<RealFFTImpl<T>> impl;
};

template <typename T>
class ComplexFFT {
public:
    ComplexFFT(int32_t n, FFTBackend backend);
    ComplexFFT(ComplexFFT&&) noexcept = default;
    ComplexFFT& operator=(ComplexFFT&&) noexcept = default;
    ComplexFFT(const ComplexFFT&) = delete;
    ComplexFFT& operator=(const ComplexFFT&) = delete;

    int32_t n;
    FFTBackend backend;
    std::unique_ptr<ComplexFFTImpl<T>> impl;
};

extern template class RealFFT<float>;
extern template class RealFFT<double>;
extern template class ComplexFFT<float>;
extern template class ComplexFFT<double>;

}  // namespace qorva::dsp::fft
