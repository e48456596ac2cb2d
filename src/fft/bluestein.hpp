// Bluestein (chirp-z) transforms for every length n >= 4.
//
// The length-n DFT becomes a circular convolution of power-of-two length m
// (the smallest power of two >= 2n - 1, at least 16), evaluated with fftw
// transforms of length m.  Everything that depends on n alone - the chirp and
// the transformed convolution kernel - is built once per length and precision
// and shared through the KernelCache.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "fft/aligned_buffer.hpp"
#include "fft/fft.hpp"

namespace qorva::dsp::fft {

template <typename T>
struct Kernel {
    explicit Kernel(int32_t n);

    int32_t padded_size;                      // m
    std::vector<std::complex<T>> chirp;       // w[k] = exp(-i*pi*(k^2 mod 2n)/n)
    AlignedBuffer<std::complex<T>> kernel_fft;  // DFT_m of conj(w) (symmetric), scaled by 1/m
};

// Smallest power of two >= 2n - 1, but at least 16.
int32_t bluestein_padded_size(int32_t n);

template <typename T>
class KernelCache {
public:
    static KernelCache& instance();
    std::shared_ptr<const Kernel<T>> get(int32_t n);
    // Number of kernels built so far (for tests of kernel sharing).
    std::size_t builds();

private:
    KernelCache() = default;
    std::mutex mutex_;
    std::unordered_map<int32_t, std::shared_ptr<const Kernel<T>>> kernels_;
    std::size_t builds_ = 0;
};

// The convolution core shared by the real and complex transforms.
template <typename T>
class BluesteinPlan {
public:
    explicit BluesteinPlan(int32_t n);
    // First `count` bins of the length-n DFT of x; x and X may be the same array.
    void run(const std::complex<T>* x, std::complex<T>* X, int32_t count);
    const Kernel<T>& kernel() const { return *kernel_; }

private:
    int32_t n_;
    std::shared_ptr<const Kernel<T>> kernel_;
    ComplexFFT<T> fft_;
    AlignedBuffer<std::complex<T>> a_, b_;
};

template <typename T>
class BluesteinComplex final : public ComplexFFTImpl<T> {
public:
    explicit BluesteinComplex(int32_t n);
    void forward(const std::complex<T>* in, std::complex<T>* out) override;
    void inverse(const std::complex<T>* in, std::complex<T>* out) override;

private:
    BluesteinPlan<T> plan_;
    std::vector<std::complex<T>> scratch_;
};

template <typename T>
class BluesteinReal final : public RealFFTImpl<T> {
public:
    explicit BluesteinReal(int32_t n);
    void forward(const T* in, T* re, T* im) override;
    void forward_complex(const T* in, std::complex<T>* out) override;
    void inverse(const T* re, const T* im, T* out) override;

private:
    BluesteinPlan<T> plan_;
    int32_t n_;
    int32_t bins_;
    std::vector<std::complex<T>> scratch_;
    std::vector<std::complex<T>> half_;
};

extern template class KernelCache<float>;
extern template class KernelCache<double>;
extern template class BluesteinComplex<float>;
extern template class BluesteinComplex<double>;
extern template class BluesteinReal<float>;
extern template class BluesteinReal<double>;

}  // namespace qorva::dsp::fft
