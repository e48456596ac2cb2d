// The private FFT functions: raw unnormalised real and complex transforms on
// flat NumPy input, the FFT floor the benchmarks compare against, and the
// backend queries.
#include "bindings/module_parts.hpp"

#include <algorithm>
#include <complex>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/unlocked.hpp"
#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"
#include "fft/fftw_adapters.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::bindings {

namespace {

using fft::FFTBackend;

// "" = automatic choice (honours QORVA_FFT); a name bypasses QORVA_FFT.
template <typename T>
FFTBackend choose_backend(const std::string& backend, int32_t n, fft::SupportRule rule, const char* kind) {
    if (backend.empty()) return fft::select_backend(n, rule, kind, sizeof(T));
    return fft::parse_backend(backend);
}

template <typename T>
py::tuple rfft(py::handle x, const std::string& backend) {
    auto in = as_c_array<T>(x);
    const int32_t n = checked_length(in.size());
    const py::ssize_t bins = n / 2 + 1;
    auto re = pooled_array<T>({bins});
    auto im = pooled_array<T>({bins});
    fft::RealFFT<T> holder(n, choose_backend<T>(backend, n, fft::real_fft_supports, "real FFT"));
    const T* src = in.data();
    T* re_out = re.mutable_data();
    T* im_out = im.mutable_data();
    {
        Unlocked unlocked;
        holder.impl->forward(src, re_out, im_out);
    }
    return py::make_tuple(re, im);
}

template <typename T>
py::array irfft(py::handle re_obj, py::handle im_obj, const std::string& backend, int32_t n) {
    auto re = as_c_array<T>(re_obj);
    auto im = as_c_array<T>(im_obj);
    if (re.size() != im.size()) throw std::invalid_argument("re and im must have the same length");
    const int32_t bins = checked_length(re.size());
    const int64_t length = n >= 1 ? n : 2 * static_cast<int64_t>(bins) - 2;
    if (length / 2 + 1 != bins) {
        throw std::invalid_argument("n=" + std::to_string(length) + " is inconsistent with " +
                                    std::to_string(bins) + " spectrum bins (need n/2+1 == bins)");
    }
    // The holder is built before the output so that lengths no backend takes
    // (bins <= 1 without n) are reported as such.
    const int32_t len = checked_length(length);
    fft::RealFFT<T> holder(len, choose_backend<T>(backend, len, fft::real_fft_supports, "real FFT"));
    auto out = pooled_array<T>({len});
    const T* re_in = re.data();
    const T* im_in = im.data();
    T* dst = out.mutable_data();
    {
        Unlocked unlocked;
        holder.impl->inverse(re_in, im_in, dst);
    }
    return out;
}

template <typename T>
py::array cfft(py::handle x, bool inverse, const std::string& backend) {
    auto in = as_c_array<std::complex<T>>(x);
    const int32_t n = checked_length(in.size());
    auto out = pooled_array<std::complex<T>>({n});
    fft::ComplexFFT<T> holder(n, choose_backend<T>(backend, n, fft::complex_fft_supports, "complex FFT"));
    const std::complex<T>* src = in.data();
    std::complex<T>* dst = out.mutable_data();
    {
        Unlocked unlocked;
        if (inverse) {
            holder.impl->inverse(src, dst);
        } else {
            holder.impl->forward(src, dst);
        }
    }
    return out;
}

// `count` forward float32 real transforms of length n on the backend the
// engines would use, spread over the pool: the least work any framed transform
// of that many frames must do.  Each task cycles through a block of inputs
// small enough to stay in cache, so framing, windowing and the output's trip
// to memory are left out; setting up the task is the only other cost, as it is
// for the engines' own tasks.  transform "fftw_r2c" runs FFTW's own real
// transform instead, the reference the packed one is measured against.
void fft_floor(int32_t n, int64_t count, const std::string& transform) {
    if (n < 1) throw std::invalid_argument("n must be at least 1, got " + std::to_string(n));
    if (count < 0) throw std::invalid_argument("count must be non-negative, got " + std::to_string(count));
    if (transform != "engine" && transform != "fftw_r2c") {
        throw std::invalid_argument("transform must be one of ('engine', 'fftw_r2c'); got '" + transform + "'");
    }
    const bool reference = transform == "fftw_r2c";
    const FFTBackend backend = fft::select_backend(n, fft::real_fft_supports, "real FFT", sizeof(float));
    constexpr int64_t kBlock = 16;
    const int64_t bins = n / 2 + 1;
    Unlocked unlocked;
    parallel_for(count, 64, [&](int64_t begin, int64_t end) {
        std::unique_ptr<fft::RealFFTImpl<float>> fft;
        if (reference) {
            fft = std::make_unique<fft::FftwReal<float>>(n, false);
        } else {
            fft = std::move(fft::RealFFT<float>(n, backend).impl);
        }
        const int64_t block = std::min(kBlock, end - begin);
        fft::AlignedBuffer<float> in(static_cast<std::size_t>(block * n));
        // Interleaved spectra, as the engines take them, each on its own
        // 64-byte boundary so that FFTW writes them in place.
        const int64_t stride = (bins + 7) / 8 * 8;
        fft::AlignedBuffer<std::complex<float>> spectra(static_cast<std::size_t>(block * stride));
        // Any signal will do but zeros, which could take faster paths.
        uint32_t state = 12345u + static_cast<uint32_t>(begin);
        for (std::size_t i = 0; i < in.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            in[i] = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
        }
        for (int64_t q = begin; q < end; ++q) {
            const int64_t j = (q - begin) % block;
            fft->forward_complex(in.data() + j * n, spectra.data() + j * stride);
        }
    });
}

}  // namespace

void register_fft_functions(py::module_& m) {
    m.def(
        "_rfft",
        [](py::handle x, const std::string& backend) {
            return is_double_precision(x) ? rfft<double>(x, backend) : rfft<float>(x, backend);
        },
        py::arg("x"), py::arg("backend") = "");
    m.def(
        "_irfft",
        [](py::handle re, py::handle im, const std::string& backend, int32_t n) {
            // The precision follows re alone; im is cast to match.
            return is_double_precision(re) ? irfft<double>(re, im, backend, n)
                                           : irfft<float>(re, im, backend, n);
        },
        py::arg("re"), py::arg("im"), py::arg("backend") = "", py::arg("n") = 0);
    m.def(
        "_cfft",
        [](py::handle x, bool inverse, const std::string& backend) {
            return is_double_precision(x) ? cfft<double>(x, inverse, backend)
                                          : cfft<float>(x, inverse, backend);
        },
        py::arg("x"), py::arg("inverse") = false, py::arg("backend") = "");
    m.def("_fft_floor", &fft_floor, py::arg("n"), py::arg("count"), py::arg("transform") = "engine");
}

void register_fft_queries(py::module_& m) {
    m.def("_fft_backends", [] {
        py::list names;
        for (FFTBackend b : fft::compiled_backends()) names.append(fft::backend_name(b));
        return names;
    });
    m.def(
        "_fft_backend_for",
        [](int32_t n, bool complex, bool double_precision) {
            const std::size_t bytes = double_precision ? sizeof(double) : sizeof(float);
            const FFTBackend b = complex ? fft::select_backend(n, fft::complex_fft_supports, "complex FFT", bytes)
                                         : fft::select_backend(n, fft::real_fft_supports, "real FFT", bytes);
            return std::string(fft::backend_name(b));
        },
        py::arg("n"), py::arg("complex") = false, py::arg("double") = false);
}

}  // namespace qorva::dsp::bindings
