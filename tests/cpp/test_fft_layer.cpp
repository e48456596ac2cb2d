// Both backends against a direct DFT, in both precisions and with misaligned
// arrays, the sharing of FFTW plans and Bluestein kernels, and the packed
// real passes at every vector width.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fft/bluestein.hpp"
#include "fft/fft.hpp"
#include "fft/fftw_adapters.hpp"
#include "fft/packed_real.hpp"

using namespace qorva::dsp::fft;
using cd = std::complex<double>;

namespace {

// Direct O(n^2) DFT in double with exactly reduced angles.
std::vector<cd> direct_dft(const std::vector<cd>& x, int sign) {
    const int64_t n = static_cast<int64_t>(x.size());
    std::vector<cd> root(n), X(n);
    for (int64_t k = 0; k < n; ++k) root[k] = std::polar(1.0, sign * 2.0 * M_PI * k / n);
    for (int64_t k = 0; k < n; ++k) {
        for (int64_t j = 0; j < n; ++j) X[k] += x[j] * root[(j * k) % n];
    }
    return X;
}

// A 64-byte-aligned position in v, moved on by `shift` elements.
template <typename T>
T* at(std::vector<T>& v, int shift) {
    return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(v.data()) + 63) & ~uintptr_t{63}) + shift;
}

template <typename T>
std::vector<cd> widen(const T* p, int n) {
    return std::vector<cd>(p, p + n);
}

// Real forward (split and interleaved), real inverse, complex forward and
// inverse against the direct DFT; then all of it again with every array one
// element off alignment, which must give the same bits.
template <typename T>
void check_against_dft(FFTBackend backend, int n, double tol) {
    using C = std::complex<T>;
    const int bins = n / 2 + 1;
    std::mt19937 gen(n);
    std::normal_distribution<T> dist;
    std::vector<T> x(n);
    std::vector<C> z(n);
    for (int j = 0; j < n; ++j) x[j] = dist(gen), z[j] = C(dist(gen), dist(gen));
    std::vector<cd> half = direct_dft(widen(x.data(), n), -1), scaled = widen(x.data(), n);
    half.resize(bins);
    for (cd& v : scaled) v *= n;
    const std::vector<std::vector<cd>> want = {half, half, scaled, direct_dft(widen(z.data(), n), -1),
                                               direct_dft(widen(z.data(), n), +1)};
    RealFFT<T> r(n, backend);
    ComplexFFT<T> c(n, backend);
    std::vector<std::vector<cd>> aligned;
    for (int s : {0, 1}) {
        std::vector<T> in(n + 80), re(bins + 80), im(bins + 80), back(n + 80);
        std::vector<C> zin(n + 80), spec(bins + 80), zf(n + 80), zi(n + 80);
        std::copy(x.begin(), x.end(), at(in, s));
        std::copy(z.begin(), z.end(), at(zin, s));
        r.impl->forward(at(in, s), at(re, s), at(im, s));
        r.impl->forward_complex(at(in, s), at(spec, s));
        std::vector<cd> split(bins);
        for (int k = 0; k < bins; ++k) split[k] = cd(at(re, s)[k], at(im, s)[k]);
        // The imaginary parts of DC and Nyquist carry nothing on the way back.
        at(im, s)[0] = 3.5;
        if (n % 2 == 0) at(im, s)[bins - 1] = -2;
        r.impl->inverse(at(re, s), at(im, s), at(back, s));
        c.impl->forward(at(zin, s), at(zf, s));
        c.impl->inverse(at(zin, s), at(zi, s));
        const std::vector<std::vector<cd>> got = {split, widen(at(spec, s), bins), widen(at(back, s), n),
                                                  widen(at(zf, s), n), widen(at(zi, s), n)};
        for (std::size_t i = 0; i < got.size(); ++i) {
            double num = 0, den = 0;
            for (std::size_t k = 0; k < want[i].size(); ++k) {
                num += std::norm(got[i][k] - want[i][k]);
                den += std::norm(want[i][k]);
            }
            if (!(std::sqrt(num / den) < tol))
                qtest::fail(__FILE__, __LINE__, std::string(backend_name(backend)) + " n=" + std::to_string(n) +
                                                    " output " + std::to_string(i));
        }
        if (s == 0) aligned = got;
        else CHECK(got == aligned);
    }
}

}  // namespace

TEST_CASE("fftw and bluestein match a direct DFT, aligned or not") {
    for (int n : {1, 2, 3, 7, 32, 97, 1000}) {
        check_against_dft<float>(FFTBackend::fftw, n, 1e-6);
        check_against_dft<double>(FFTBackend::fftw, n, 1e-14);
    }
    for (int n : {4, 5, 7, 16, 97, 400, 1000}) {
        check_against_dft<float>(FFTBackend::bluestein, n, 1e-6);
        check_against_dft<double>(FFTBackend::bluestein, n, 1e-13);
    }
}

TEST_CASE("an fftw plan and a bluestein kernel are made once per length") {
    const std::size_t plans = PlanCache<float>::instance().size();
    RealFFT<float> a(778, FFTBackend::fftw), b(778, FFTBackend::fftw);
    CHECK_EQ(PlanCache<float>::instance().size(), plans + 1);
    // FFTW's own r2c of a length that packs is a plan of its own, and agrees.
    FftwReal<float> reference(778, false);
    CHECK_EQ(PlanCache<float>::instance().size(), plans + 2);
    std::vector<float> x(2 * 778);
    std::mt19937 gen(778);
    std::normal_distribution<float> dist;
    for (float& v : x) v = dist(gen);
    std::vector<std::complex<float>> packed(390), r2c(390);
    a.impl->forward_complex(at(x, 0), packed.data());
    reference.forward_complex(at(x, 0), r2c.data());
    double worst = 0.0;
    for (int k = 0; k < 390; ++k) worst = std::max(worst, double(std::abs(packed[k] - r2c[k])));
    CHECK(worst < 1e-4);
    const std::size_t kernels = KernelCache<float>::instance().builds();
    ComplexFFT<float> c(611, FFTBackend::bluestein), d(611, FFTBackend::bluestein);
    CHECK_EQ(KernelCache<float>::instance().builds(), kernels + 1);
}

TEST_CASE("the packed real passes give the same bits at every vector width") {
    // Half lengths around the vector steps, with and without a middle bin.
    for (int half : {16, 17, 18, 19, 23, 33, 1024}) {
        const std::vector<float> tw = packed_real_twiddles(2 * half);
        std::mt19937 gen(half);
        std::normal_distribution<float> dist;
        std::vector<float> input(2 * (half + 1));
        for (float& v : input) v = dist(gen);
        std::vector<std::vector<float>> results;
        for (int lanes : {0, 2, 4, 8, -1}) {
            std::vector<float> forward = input, inverse = input;
            real_spectrum_from_packed(forward.data(), tw.data(), half, lanes);
            packed_from_real_spectrum(inverse.data(), tw.data(), half, lanes);
            forward.insert(forward.end(), inverse.begin(), inverse.end());
            results.push_back(forward);
        }
        for (std::size_t i = 1; i < results.size(); ++i) CHECK(results[i] == results[0]);
    }
}

QTEST_MAIN
