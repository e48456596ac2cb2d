#include "fft/bluestein.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

#include "fft/fftw_adapters.hpp"
#include "runtime/fork_guard.hpp"

namespace qorva::dsp::fft {

int32_t bluestein_padded_size(int32_t n) {
    const int64_t need = 2 * static_cast<int64_t>(n) - 1;
    int64_t m = 16;
    while (m < need) m *= 2;
    if (m > INT32_MAX) throw std::invalid_argument("bluestein does not support FFT size " + std::to_string(n));
    return static_cast<int32_t>(m);
}

template <typename T>
Kernel<T>::Kernel(int32_t n)
    : padded_size(bluestein_padded_size(n)), chirp(static_cast<std::size_t>(n)), kernel_fft(padded_size) {
    const int64_t two_n = 2 * static_cast<int64_t>(n);
    for (int64_t k = 0; k < n; ++k) {
        // Reducing k^2 exactly before scaling keeps the angle accurate for large k;
        // the trigonometry runs in double for both precisions.
        const int64_t r = (k * k) % two_n;  // k < 2^31, so k^2 fits in 64 bits
        const double theta = static_cast<double>(r) * -std::numbers::pi * (1.0 / n);
        chirp[k] = std::complex<T>(static_cast<T>(std::cos(theta)), static_cast<T>(std::sin(theta)));
    }
    const int32_t m = padded_size;
    AlignedBuffer<std::complex<T>> b(m);
    const T s = T(1) / static_cast<T>(m);  // the 1/m of the later unnormalised inverse
    for (int32_t k = 0; k < n; ++k) {
        const std::complex<T> v(chirp[k].real() * s, -(chirp[k].imag() * s));
        b[k] = v;
        if (k != 0) b[m - k] = v;
    }
    ComplexFFT<T> fft(m, FFTBackend::fftw);
    fft.impl->forward(b.data(), kernel_fft.data());
}

template <typename T>
KernelCache<T>& KernelCache<T>::instance() {
    // Building a kernel takes the plan cache's lock under this one, so a fork
    // must take this one first: the plan cache registers before it.
    static KernelCache* cache = [] {
        PlanCache<T>::instance();
        auto* c = new KernelCache();
        hold_across_fork<KernelCache>(c->mutex_);
        return c;
    }();
    return *cache;
}

template <typename T>
std::shared_ptr<const Kernel<T>> KernelCache<T>::get(int32_t n) {
    // Held while a kernel is built; the build takes the plan cache's lock inside
    // (lock order: kernel cache, then plan cache).
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = kernels_.find(n);
    if (it != kernels_.end()) return it->second;
    auto kernel = std::make_shared<const Kernel<T>>(n);  // nothing cached if this throws
    ++builds_;
    kernels_.emplace(n, kernel);
    return kernel;
}

template <typename T>
std::size_t KernelCache<T>::builds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return builds_;
}

template <typename T>
BluesteinPlan<T>::BluesteinPlan(int32_t n)
    : n_(n),
      kernel_(KernelCache<T>::instance().get(n)),
      fft_(kernel_->padded_size, FFTBackend::fftw),
      a_(kernel_->padded_size),
      b_(kernel_->padded_size) {}

template <typename T>
void BluesteinPlan<T>::run(const std::complex<T>* x, std::complex<T>* X, int32_t count) {
    const int32_t m = kernel_->padded_size;
    const std::complex<T>* w = kernel_->chirp.data();
    const std::complex<T>* K = kernel_->kernel_fft.data();
    std::complex<T>* a = a_.data();
    std::complex<T>* b = b_.data();
    // Products are spelled out: std::complex's operator* adds NaN/inf recovery
    // that costs more than the arithmetic here.
    auto mul = [](std::complex<T> p, std::complex<T> q) {
        return std::complex<T>(p.real() * q.real() - p.imag() * q.imag(),
                               p.real() * q.imag() + p.imag() * q.real());
    };
    for (int32_t k = 0; k < n_; ++k) a[k] = mul(x[k], w[k]);
    for (int32_t k = n_; k < m; ++k) a[k] = std::complex<T>(0, 0);
    fft_.impl->forward(a, b);
    for (int32_t k = 0; k < m; ++k) b[k] = mul(b[k], K[k]);
    fft_.impl->inverse(b, a);
    // All of x was read in the first loop, so writing X may alias it.
    for (int32_t k = 0; k < count; ++k) X[k] = mul(w[k], a[k]);
}

template <typename T>
BluesteinComplex<T>::BluesteinComplex(int32_t n) : plan_(n), scratch_(static_cast<std::size_t>(n)) {}

template <typename T>
void BluesteinComplex<T>::forward(const std::complex<T>* in, std::complex<T>* out) {
    plan_.run(in, out, static_cast<int32_t>(scratch_.size()));
}

template <typename T>
void BluesteinComplex<T>::inverse(const std::complex<T>* in, std::complex<T>* out) {
    // inverse(x) = conj(forward(conj(x))), unnormalised.
    const int32_t n = static_cast<int32_t>(scratch_.size());
    for (int32_t k = 0; k < n; ++k) scratch_[k] = std::conj(in[k]);
    plan_.run(scratch_.data(), out, n);
    for (int32_t k = 0; k < n; ++k) out[k] = std::conj(out[k]);
}

template <typename T>
BluesteinReal<T>::BluesteinReal(int32_t n)
    : plan_(n),
      n_(n),
      bins_(n / 2 + 1),
      scratch_(static_cast<std::size_t>(n)),
      half_(static_cast<std::size_t>(n / 2 + 1)) {}

template <typename T>
void BluesteinReal<T>::forward_complex(const T* in, std::complex<T>* out) {
    for (int32_t k = 0; k < n_; ++k) scratch_[k] = std::complex<T>(in[k], T(0));
    plan_.run(scratch_.data(), out, bins_);
}

template <typename T>
void BluesteinReal<T>::forward(const T* in, T* re, T* im) {
    forward_complex(in, half_.data());
    for (int32_t k = 0; k < bins_; ++k) {
        re[k] = half_[k].real();
        im[k] = half_[k].imag();
    }
}

template <typename T>
void BluesteinReal<T>::inverse(const T* re, const T* im, T* out) {
    // Re of the forward DFT of the conjugated Hermitian extension is n times the
    // inverse DFT; Im of bin 0 (and of bin n/2 for even n) drops out.
    std::complex<T>* s = scratch_.data();
    s[0] = std::complex<T>(re[0], -im[0]);
    for (int32_t k = 1; k < bins_; ++k) {
        s[k] = std::complex<T>(re[k], -im[k]);
        s[n_ - k] = std::complex<T>(re[k], im[k]);
    }
    plan_.run(s, s, n_);
    for (int32_t j = 0; j < n_; ++j) out[j] = s[j].real();
}

template struct Kernel<float>;
template struct Kernel<double>;
template class KernelCache<float>;
template class KernelCache<double>;
template class BluesteinPlan<float>;
template class BluesteinPlan<double>;
template class BluesteinComplex<float>;
template class BluesteinComplex<double>;
template class BluesteinReal<float>;
template class BluesteinReal<double>;

}  // namespace qorva::dsp::fft
