// Backend rules, adapter alignment handling, plan and kernel sharing, and the
// real-spectrum conventions of both backends.
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "fft/bluestein.hpp"
#include "fft/fft.hpp"
#include "fft/fftw_adapters.hpp"

using namespace qorva::dsp::fft;

namespace {

// Direct O(n^2) DFT in double with exactly reduced angles: the reference.
std::vector<std::complex<double>> direct_dft(const std::vector<std::complex<double>>& x, int sign) {
    const int64_t n = static_cast<int64_t>(x.size());
    std::vector<std::complex<double>> X(x.size());
    for (int64_t k = 0; k < n; ++k) {
        std::complex<double> acc = 0;
        for (int64_t j = 0; j < n; ++j) {
            const double theta = sign * 2.0 * M_PI * static_cast<double>((j * k) % n) / n;
            acc += x[j] * std::complex<double>(std::cos(theta), std::sin(theta));
        }
        X[k] = acc;
    }
    return X;
}

std::vector<double> random_signal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist;
    std::vector<double> x(n);
    for (double& v : x) v = dist(gen);
    return x;
}

template <typename A, typename B>
double rel_error(const A& got, const B& want, std::size_t count) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < count; ++i) {
        num += std::norm(std::complex<double>(got[i]) - std::complex<double>(want[i]));
        den += std::norm(std::complex<double>(want[i]));
    }
    return std::sqrt(num / (den > 0 ? den : 1));
}

}  // namespace

TEST_CASE("backend names, parsing and size rules") {
    CHECK(std::string(backend_name(FFTBackend::fftw)) == "fftw");
    CHECK(std::string(backend_name(static_cast<FFTBackend>(7))) == "?");
    CHECK(parse_backend("bluestein") == FFTBackend::bluestein);
    CHECK_THROWS(std::invalid_argument, parse_backend("FFTW"), "unknown FFT backend 'FFTW'");
    CHECK_THROWS(std::invalid_argument, parse_backend("fftw "), "unknown FFT backend 'fftw '");
    CHECK(real_fft_supports(FFTBackend::fftw, 1) && !real_fft_supports(FFTBackend::fftw, 0));
    CHECK(real_fft_supports(FFTBackend::bluestein, 4) && !real_fft_supports(FFTBackend::bluestein, 3));
    CHECK(real_fft_supports(FFTBackend::vdsp, 16) && !real_fft_supports(FFTBackend::vdsp, 8));
    CHECK(complex_fft_supports(FFTBackend::vdsp, 8) && !complex_fft_supports(FFTBackend::vdsp, 12));
    CHECK(!real_fft_supports(static_cast<FFTBackend>(9), 1024));
}

TEST_CASE("holders refuse lengths and backends with the documented errors") {
    CHECK_THROWS(std::invalid_argument, RealFFT<float>(100, FFTBackend::vdsp),
                 "vdsp does not support real FFT size 100");
    CHECK_THROWS(std::runtime_error, RealFFT<float>(1024, FFTBackend::vdsp), "vdsp is not compiled into this build");
    CHECK_THROWS(std::invalid_argument, ComplexFFT<double>(3, FFTBackend::bluestein),
                 "bluestein does not support complex FFT size 3");
    CHECK_THROWS(std::invalid_argument, RealFFT<double>(0, FFTBackend::fftw), "fftw does not support real FFT size 0");
}

TEST_CASE("misaligned input and output give the same results as aligned arrays") {
    for (int n : {32, 1000, 2048}) {
        const auto x = random_signal(n, 1);
        std::vector<float> storage(n + 8);
        float* aligned = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(storage.data()) + 31) & ~uintptr_t{31});
        std::vector<float> shifted_storage(n + 8);
        float* shifted = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(shifted_storage.data()) + 31) & ~uintptr_t{31}) + 1;
        for (int i = 0; i < n; ++i) aligned[i] = shifted[i] = static_cast<float>(x[i]);
        RealFFT<float> f(n, FFTBackend::fftw);
        const int bins = n / 2 + 1;
        std::vector<float> re1(bins), im1(bins), re2(bins + 1), im2(bins + 1);
        f.impl->forward(aligned, re1.data(), im1.data());
        f.impl->forward(shifted, re2.data() + 1, im2.data() + 1);  // misaligned outputs too
        CHECK(std::memcmp(re1.data(), re2.data() + 1, bins * sizeof(float)) == 0);
        CHECK(std::memcmp(im1.data(), im2.data() + 1, bins * sizeof(float)) == 0);

        std::vector<std::complex<float>> c1(bins), c2(bins + 1);
        f.impl->forward_complex(aligned, c1.data());
        f.impl->forward_complex(shifted, c2.data() + 1);
        CHECK(std::memcmp(c1.data(), c2.data() + 1, bins * sizeof(c1[0])) == 0);

        std::vector<float> back1(n + 1), back2(n + 1);
        f.impl->inverse(re1.data(), im1.data(), back1.data());
        f.impl->inverse(re1.data(), im1.data(), back2.data() + 1);
        CHECK(std::memcmp(back1.data(), back2.data() + 1, n * sizeof(float)) == 0);
        CHECK(rel_error(back1, std::vector<double>(x.begin(), x.end()), 0) == 0);  // size 0: trivially 0
        std::vector<double> scaled(n);
        for (int i = 0; i < n; ++i) scaled[i] = n * x[i];
        CHECK(rel_error(back1, scaled, n) < 1e-6);
    }
}

TEST_CASE("real spectra: exact zero imaginary parts at DC and Nyquist, ignored on inverse") {
    for (FFTBackend b : {FFTBackend::fftw, FFTBackend::bluestein}) {
        const int n = 512;
        std::vector<double> ones(n, 1.0), re(n / 2 + 1), im(n / 2 + 1), out(n), out2(n);
        RealFFT<double> f(n, b);
        f.impl->forward(ones.data(), re.data(), im.data());
        CHECK(std::abs(re[0] - 512.0) < 1e-9);
        for (int k = 1; k <= n / 2; ++k) CHECK(std::abs(re[k]) < 1e-9 && std::abs(im[k]) < 1e-9);
        if (b == FFTBackend::fftw) CHECK(im[0] == 0.0 && im[n / 2] == 0.0);
        f.impl->inverse(re.data(), im.data(), out.data());
        for (int j = 0; j < n; ++j) CHECK(std::abs(out[j] - 512.0) < 1e-9);
        im[0] = 3.5;
        im[n / 2] = -2.0;
        f.impl->inverse(re.data(), im.data(), out2.data());
        CHECK(rel_error(out2, out, n) < 1e-15);
    }
}

TEST_CASE("fftw plans are shared per length and kind, separately per precision") {
    auto& cache_f = PlanCache<float>::instance();
    auto& cache_d = PlanCache<double>::instance();
    const std::size_t f0 = cache_f.size(), d0 = cache_d.size();
    RealFFT<float> a(777, FFTBackend::fftw);
    CHECK_EQ(cache_f.size(), f0 + 1);
    RealFFT<float> b(777, FFTBackend::fftw);
    CHECK_EQ(cache_f.size(), f0 + 1);  // no new planning
    ComplexFFT<float> c(777, FFTBackend::fftw);
    CHECK_EQ(cache_f.size(), f0 + 2);  // complex uses key 2n + 1
    CHECK(&cache_f.get(777, true) != &cache_f.get(777, false));
    CHECK_EQ(cache_d.size(), d0);
    RealFFT<double> d(777, FFTBackend::fftw);
    CHECK_EQ(cache_d.size(), d0 + 1);
}

TEST_CASE("bluestein kernels are built once per length and precision") {
    CHECK_EQ(bluestein_padded_size(4), 16);
    CHECK_EQ(bluestein_padded_size(9), 32);
    CHECK_EQ(bluestein_padded_size(400), 1024);
    CHECK_EQ(bluestein_padded_size(1000), 2048);
    auto& kf = KernelCache<float>::instance();
    auto& kd = KernelCache<double>::instance();
    const std::size_t f0 = kf.builds(), d0 = kd.builds();
    ComplexFFT<float> a(611, FFTBackend::bluestein);
    RealFFT<float> b(611, FFTBackend::bluestein);
    CHECK_EQ(kf.builds(), f0 + 1);
    CHECK(kf.get(611).get() == kf.get(611).get());
    CHECK_EQ(kd.builds(), d0);
    ComplexFFT<double> c(611, FFTBackend::bluestein);
    CHECK_EQ(kd.builds(), d0 + 1);
}

TEST_CASE("bluestein matches a direct DFT, forward and inverse, real and complex") {
    for (int n : {4, 5, 7, 16, 97, 400, 1000}) {
        const auto xr = random_signal(n, n);
        const auto xi = random_signal(n, n + 1);
        std::vector<std::complex<double>> x(n);
        for (int i = 0; i < n; ++i) x[i] = {xr[i], xi[i]};
        const auto fwd = direct_dft(x, -1);
        const auto inv = direct_dft(x, +1);
        ComplexFFT<double> f(n, FFTBackend::bluestein);
        std::vector<std::complex<double>> got(n);
        f.impl->forward(x.data(), got.data());
        CHECK(rel_error(got, fwd, n) < 1e-13);
        f.impl->inverse(x.data(), got.data());
        CHECK(rel_error(got, inv, n) < 1e-13);

        std::vector<std::complex<double>> xreal(n);
        for (int i = 0; i < n; ++i) xreal[i] = xr[i];
        const auto rfwd = direct_dft(xreal, -1);
        RealFFT<double> r(n, FFTBackend::bluestein);
        const int bins = n / 2 + 1;
        std::vector<double> re(bins), im(bins), back(n);
        r.impl->forward(xr.data(), re.data(), im.data());
        std::vector<std::complex<double>> half(bins);
        for (int k = 0; k < bins; ++k) half[k] = {re[k], im[k]};
        CHECK(rel_error(half, rfwd, bins) < 1e-13);
        r.impl->inverse(re.data(), im.data(), back.data());
        std::vector<double> scaled(n);
        for (int i = 0; i < n; ++i) scaled[i] = n * xr[i];
        CHECK(rel_error(back, scaled, n) < 1e-13);
    }
}

TEST_CASE("bluestein n = 4: an impulse gives 1 in every bin") {
    ComplexFFT<float> f(4, FFTBackend::bluestein);
    std::vector<std::complex<float>> x{{1, 0}, {0, 0}, {0, 0}, {0, 0}}, X(4);
    f.impl->forward(x.data(), X.data());
    for (auto v : X) CHECK(std::abs(v - std::complex<float>(1, 0)) < 1e-6f);
}

QTEST_MAIN
