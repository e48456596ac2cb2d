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

FFTBackend select_backend(int32_t n, SupportRule supports, const char* kind) {
    const Override& o = fft_override();
    if (o.active) {
        if (!backend_compiled(o.backend)) {
            throw std::runtime_error(std::string("QORVA_FFT=") + not_compiled(o.backend));
        }
        if (!supports(o.backend, n)) throw std::runtime_error(does_not_support(o.backend, kind, n));
        return o.backend;
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
