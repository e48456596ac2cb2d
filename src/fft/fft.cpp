#include "fft/fft.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fft/bluestein.hpp"
#include "fft/fftw_adapters.hpp"

namespace qorva::dsp::fft {

namespace {

struct Override {
    bool active = false;
    FFTBackend backend = FFTBackend::fftw;
};

// QORVA_FFT, read once per process: an exact backend name forces that backend
// (no fallback), anything else is ignored.
const Override& fft_override() {
    static const Override value = [] {
        Override o;
        const char* env = std::getenv("QORVA_FFT");
        if (env == nullptr) return o;
        for (FFTBackend b : {FFTBackend::vdsp, FFTBackend::fftw, FFTBackend::bluestein}) {
            if (std::strcmp(env, backend_name(b)) == 0) {
                o.active = true;
                o.backend = b;
            }
        }
        return o;
    }();
    return value;
}

bool is_power_of_two(int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

std::string not_compiled(FFTBackend b) {
    return std::string(backend_name(b)) + " is not compiled into this build";
}

std::string does_not_support(FFTBackend b, const char* kind, int32_t n) {
    return std::string(backend_name(b)) + " does not support " + kind + " size " + std::to_string(n);
}

template <typename T>
std::unique_ptr<RealFFTImpl<T>> make_real(FFTBackend b, int32_t n) {
    switch (b) {
        case FFTBackend::fftw: return std::make_unique<FftwReal<T>>(n);
        case FFTBackend::bluestein: return std::make_unique<BluesteinReal<T>>(n);
        default: throw std::runtime_error(not_compiled(b));
    }
}

template <typename T>
std::unique_ptr<ComplexFFTImpl<T>> make_complex(FFTBackend b, int32_t n) {
    switch (b) {
        case FFTBackend::fftw: return std::make_unique<FftwComplex<T>>(n);
        case FFTBackend::bluestein: return std::make_unique<BluesteinComplex<T>>(n);
        default: throw std::runtime_error(not_compiled(b));
    }
}

}  // namespace

const char* backend_name(FFTBackend b) {
    switch (b) {
        case FFTBackend::vdsp: return "vdsp";
        case FFTBackend::fftw: return "fftw";
        case FFTBackend::bluestein: return "bluestein";
    }
    return "?";
}

FFTBackend parse_backend(const std::string& name) {
    for (FFTBackend b : {FFTBackend::vdsp, FFTBackend::fftw, FFTBackend::bluestein}) {
        if (name == backend_name(b)) return b;
    }
    throw std::invalid_argument("unknown FFT backend '" + name + "'");
}

bool backend_compiled(FFTBackend b) { return b == FFTBackend::fftw || b == FFTBackend::bluestein; }

const std::vector<FFTBackend>& compiled_backends() {
    // Never destroyed: threads still transforming while the process exits
    // (daemon threads and the workers under them) read it after static
    // destructors have run.
    static const auto* order = new std::vector<FFTBackend>{FFTBackend::fftw, FFTBackend::bluestein};
    return *order;
}

bool real_fft_supports(FFTBackend b, int32_t n) {
    switch (b) {
        case FFTBackend::vdsp: return is_power_of_two(n) && n >= 16;
        case FFTBackend::fftw: return n >= 1;
        case FFTBackend::bluestein: return n >= 4;
    }
    return false;
}

bool complex_fft_supports(FFTBackend b, int32_t n) {
    switch (b) {
        case FFTBackend::vdsp: return is_power_of_two(n) && n >= 8;
        case FFTBackend::fftw: return n >= 1;
        case FFTBackend::bluestein: return n >= 4;
    }
    return false;
}

// FFTW plans lengths that are not powers of two with FFTW_ESTIMATE, and for a
// large prime factor p those plans (Rader's algorithm for p, generic odd-length
// code around it) cost 15-35 ns per point, 10-20 times a smooth length.
// Bluestein's cost depends only on its padded power-of-two length m (2n-1 <=
// m < 4n): two measured m-point complex transforms and three pointwise
// products, about 2.2-4.2 ns per padded point in float32 up to m = 16384.
//
// Single-thread time per transform (fftw us / bluestein us = ratio; above 1
// Bluestein is faster), 2-core x86-64 development machine, FFTW 3.3.10 with
// AVX, a block of 16 inputs cycled so that both run from cache:
//
//   n                real f32             real f64            complex f32
//   131              3.1 / 1.1  = 2.8     2.5 / 1.9  = 1.3    2.3 / 1.1  = 2.1
//   509             10.4 / 2.5  = 4.2    11.1 / 4.4  = 2.5    3.2 / 2.5  = 1.2
//   1021            20.1 / 5.3  = 3.8    19.1 / 10.3 = 1.9    6.5 / 5.3  = 1.2
//   1031            23.6 / 11.2 = 2.1    24.6 / 24.4 = 1.0    9.8 / 11.4 = 0.9
//   2053            41.0 / 29.5 = 1.4    37.6 / 49.7 = 0.8   25.7 / 29.6 = 0.9
//   2049 = 3*683    50.1 / 29.7 = 1.7    51.9 / 49.4 = 1.1   25.2 / 29.3 = 0.9
//   3063 = 3*1021   61.6 / 30.3 = 2.0    59.5 / 51.8 = 1.2   22.8 / 30.5 = 0.8
//   4099           122.4 / 68.0 = 1.8   126.9 /109.8 = 1.2   48.7 / 68.0 = 0.7
//   4965 = 15*331   94.5 / 69.2 = 1.4    96.8 /110.2 = 0.9   91.3 / 69.1 = 1.3
//   8191           161.2 / 73.3 = 2.2   226.2 /116.6 = 1.9  132.2 / 71.5 = 1.9
//   16411          576.2 /512.4 = 1.1   602.5 /1021  = 0.6  437.5 /516.9 = 0.8
//   4097 = 17*241  101.3 / 95.1 = 1.1    96.0 /118.1 = 0.8  105.9 /123.4 = 0.9
//   2077 = 31*67    34.6 / 30.1 = 1.2    27.5 / 78.3 = 0.4   43.2 / 29.2 = 1.5
//   2042 = 2*1021    8.4 / 12.5 = 0.7    13.6 / 25.5 = 0.5   27.9 / 26.1 = 1.1
//   4106 = 2*2053   45.2 / 95.4 = 0.5    68.5 /163.8 = 0.4   80.1 / 67.8 = 1.2
//   1323 = 27*49     6.2 / 11.6 = 0.5     6.4 / 24.1 = 0.3    5.8 / 11.6 = 0.5
//   1000, 1536, 1920, 2000, 960, 441, 882: ratios 0.1-0.6 everywhere
//
// Of the 126 lengths measured, the 71 that are odd, at most 8192 and have a
// largest prime factor p >= 67 and >= n/15 all ran at least 1.37 times faster
// on Bluestein in real float32 (median 2.3; 3063 read 0.98 once on the busy
// machine, 2.0 in two other runs).  Each bound excludes near-ties: 4097, 2077
// and 2059 (n/p = 17, 31, 29) are at 1.1-1.2, and beyond 8192 the padded
// length leaves the measured plans (16411: 1.1).  Even lengths stay on FFTW:
// its real transform of an even length is a complex one of half the length,
// which Bluestein does not beat reliably (0.5-2.2), and in single precision
// the packed transform that now runs instead (fftw_adapters.hpp) is faster
// still.  Below 67 both take under a microsecond.  In double precision
// Bluestein's transforms cost about 1.6 times their float time while FFTW's
// prime-length code costs the same, so the ratios straddle 1 (0.6-2.5 over
// the same lengths, a fifth below 1); complex float32 transforms are likewise
// mixed (0.5-3.1, a quarter below 1), and no engine runs them (the CQT
// designs its kernels in double).  Those all stay on FFTW.  The two
// backends' float32 errors agree (about 2e-7 relative at these lengths).
bool prefers_bluestein(int32_t n, bool real, std::size_t real_bytes) {
    if (!real || real_bytes != sizeof(float) || n % 2 == 0 || n > 8192) return false;
    int32_t rest = n;
    int32_t largest = 1;
    for (int32_t f = 3; f * f <= rest; f += 2) {
        while (rest % f == 0) {
            rest /= f;
            largest = f;
        }
    }
    if (rest > 1) largest = rest;
    return largest >= 67 && 15 * static_cast<int64_t>(largest) >= n;
}

FFTBackend select_backend(int32_t n, SupportRule supports, const char* kind, std::size_t real_bytes) {
    const Override& o = fft_override();
    if (o.active) {
        if (!backend_compiled(o.backend)) {
            throw std::runtime_error(std::string("QORVA_FFT=") + not_compiled(o.backend));
        }
        if (!supports(o.backend, n)) throw std::runtime_error(does_not_support(o.backend, kind, n));
        return o.backend;
    }
    if (prefers_bluestein(n, supports == real_fft_supports, real_bytes) && supports(FFTBackend::bluestein, n)) {
        return FFTBackend::bluestein;
    }
    for (FFTBackend b : compiled_backends()) {
        if (supports(b, n)) return b;
    }
    throw std::invalid_argument(std::string("no FFT backend supports ") + kind + " size " +
                                std::to_string(n) + " (need n >= 1)");
}

template <typename T>
RealFFT<T>::RealFFT(int32_t n_, FFTBackend backend_) : n(n_), backend(backend_) {
    if (!real_fft_supports(backend, n)) throw std::invalid_argument(does_not_support(backend, "real FFT", n));
    impl = make_real<T>(backend, n);
}

template <typename T>
ComplexFFT<T>::ComplexFFT(int32_t n_, FFTBackend backend_) : n(n_), backend(backend_) {
    if (!complex_fft_supports(backend, n)) {
        throw std::invalid_argument(does_not_support(backend, "complex FFT", n));
    }
    impl = make_complex<T>(backend, n);
}

template class RealFFT<float>;
template class RealFFT<double>;
template class ComplexFFT<float>;
template class ComplexFFT<double>;

}  // namespace qorva::dsp::fft
