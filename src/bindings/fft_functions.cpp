// The private FFT functions: raw unnormalised real and complex transforms on
// flat NumPy input, and the backend queries.
#include "bindings/module_parts.hpp"

#include <complex>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/unlocked.hpp"
#include "fft/fft.hpp"

namespace qorva::dsp::bindings {

namespace {

using fft::FFTBackend;

// "" = automatic choice (honours QORVA_FFT); a name bypasses QORVA_FFT.
FFTBackend choose_backend(const std::string& backend, int32_t n, fft::SupportRule rule, const char* kind) {
    if (backend.empty()) return fft::select_backend(n, rule, kind);
    return fft::parse_backend(backend);
}

template <typename T>
py::tuple rfft(py::handle x, const std::string& backend) {
    auto in = as_c_array<T>(x);
    const int32_t n = checked_length(in.size());
    const py::ssize_t bins = n / 2 + 1;
    auto re = pooled_array<T>({bins});
    auto im = pooled_array<T>({bins});
    fft::RealFFT<T> holder(n, choose_backend(backend, n, fft::real_fft_supports, "real FFT"));
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
    fft::RealFFT<T> holder(len, choose_backend(backend, len, fft::real_fft_supports, "real FFT"));
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
    fft::ComplexFFT<T> holder(n, choose_backend(backend, n, fft::complex_fft_supports, "complex FFT"));
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
}

void register_fft_queries(py::module_& m) {
    m.def("_fft_backends", [] {
        py::list names;
        for (FFTBackend b : fft::compiled_backends()) names.append(fft::backend_name(b));
        return names;
    });
    m.def(
        "_fft_backend_for",
        [](int32_t n) {
            return std::string(fft::backend_name(fft::select_backend(n, fft::real_fft_supports, "real FFT")));
        },
        py::arg("n"));
}

}  // namespace qorva::dsp::bindings
