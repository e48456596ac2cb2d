// The GPU FFT's arithmetic run on the CPU: the kernels' Stockham gather and
// scatter, scheduled as the multi-pass kernels and as the block-wide
// shared-memory FFT run them, and the Bluestein pipeline built on them, all
// checked against a direct DFT in double precision; plus the radix rule and
// the host-side planning.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "gpu_emulation.hpp"
#include "gpu/cuda_fft_math.cuh"
#include "gpu/device.hpp"

namespace {

namespace g = qorva::dsp::gpu;
namespace gc = qorva::dsp::gpu::cuda;

using cd = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

using gpu_emulation::Real;
using gpu_emulation::shared_schedule;
using gpu_emulation::twiddles;

template <typename C>
C to_c(cd z) {
    return gc::cmake<C>(static_cast<Real<C>>(z.real()), static_cast<Real<C>>(z.imag()));
}
template <typename C>
cd to_cd(C z) {
    return {static_cast<double>(z.x), static_cast<double>(z.y)};
}

double rel_l2(const std::vector<cd>& got, const std::vector<cd>& want) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        num += std::norm(got[i] - want[i]);
        den += std::norm(want[i]);
    }
    return std::sqrt(num / (den > 0 ? den : 1.0));
}

// Direct O(n^2) DFT in double: sum_j x[j] e^(-+2 pi i j k / n), unnormalised.
std::vector<cd> direct_dft(const std::vector<cd>& x, int sign) {
    const int64_t n = static_cast<int64_t>(x.size());
    std::vector<cd> root(n);
    for (int64_t k = 0; k < n; ++k) root[k] = std::polar(1.0, -2.0 * kPi * sign * static_cast<double>(k) / n);
    std::vector<cd> y(n);
    for (int64_t k = 0; k < n; ++k) {
        cd s = 0;
        for (int64_t j = 0; j < n; ++j) s += x[j] * root[(j * k) % n];
        y[k] = s;
    }
    return y;
}

// Values exactly representable in float, so that both precisions transform
// the same input.
std::vector<cd> random_signal(int64_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<cd> x(n);
    for (auto& v : x) v = {u(gen), u(gen)};
    return x;
}

std::vector<int> radices(int64_t n, bool allow16) {
    std::vector<int> out;
    for (int64_t L = 1; L < n;) {
        const int r = gc::fft_radix(n / L, allow16);
        out.push_back(r);
        L *= r;
    }
    return out;
}

std::set<int>& radices_seen() {
    static std::set<int> seen;
    return seen;
}

// The multi-pass kernels: one launch per pass, every butterfly reading the
// pass input and writing the other buffer.
template <typename C>
std::vector<C> multi_pass(std::vector<C> x, const std::vector<C>& tw, Real<C> sign, bool allow16) {
    const int n = static_cast<int>(x.size());
    std::vector<C> y(n);
    for (int L = 1; L < n;) {
        const int r = gc::fft_radix(n / L, allow16);
        radices_seen().insert(r);
        gc::with_radix(r, [&](auto tag) {
            constexpr int R = decltype(tag)::value;
            for (int j = 0; j < n / R; ++j) {
                C v[R];
                gc::stockham_gather<R>([&](int i) { return x.at(i); }, tw.data(), n, L, j, sign, v);
                gc::stockham_scatter<R>([&](int i, C value) { y.at(i) = value; }, L, j, v);
            }
        });
        std::swap(x, y);
        L *= r;
    }
    return x;
}

// Block size of the shared-memory kernel: the widest pass, 32 to 1024 threads.
int engine_threads(int n, bool allow16) {
    int widest = 1;
    for (int r : radices(n, allow16)) widest = std::max(widest, n / r);
    return std::clamp(widest, 32, 1024);
}

template <typename C>
std::vector<C> to_device(const std::vector<cd>& x) {
    std::vector<C> out(x.size());
    std::transform(x.begin(), x.end(), out.begin(), to_c<C>);
    return out;
}
template <typename C>
std::vector<cd> to_host(const std::vector<C>& x) {
    std::vector<cd> out(x.size());
    std::transform(x.begin(), x.end(), out.begin(), to_cd<C>);
    return out;
}

void report(const char* what, int n, int sign, double err, double tol) {
    if (!(err < tol)) {
        qtest::fail(__FILE__, __LINE__,
                    std::string(what) + " n=" + std::to_string(n) + " sign=" + std::to_string(sign) +
                        " rel_l2=" + std::to_string(err));
    }
}

// Every schedule, precision, direction and radix-16 setting for length n.
void check_length(int n) {
    const std::vector<cd> x = random_signal(n, 1000u + n);
    for (int sign : {1, -1}) {
        const std::vector<cd> want = direct_dft(x, sign);
        for (bool allow16 : {false, true}) {
            {
                using C = float2;
                const auto tw = twiddles<C>(n, n);
                const float s = static_cast<float>(sign);
                report("float multi-pass", n, sign, rel_l2(to_host(multi_pass(to_device<C>(x), tw, s, allow16)), want),
                       1e-6);
                if (8 * n <= 49152) {  // the engine's shared-memory bound
                    // The engine's block size, and the smallest block the
                    // precondition allows (four butterflies per thread).
                    int fewest = 1;
                    for (int r : radices(n, allow16)) fewest = std::max(fewest, (n / r + 3) / 4);
                    for (int threads : {engine_threads(n, allow16), fewest}) {
                        report("float shared", n, sign,
                               rel_l2(to_host(shared_schedule(to_device<C>(x), tw, s, allow16, threads)), want), 1e-6);
                    }
                }
            }
            {
                using C = double2;
                const auto tw = twiddles<C>(n, n);
                const double s = sign;
                report("double multi-pass", n, sign,
                       rel_l2(to_host(multi_pass(to_device<C>(x), tw, s, allow16)), want), 1e-13);
                if (16 * n <= 40960) {
                    report("double shared", n, sign,
                           rel_l2(to_host(shared_schedule(to_device<C>(x), tw, s, allow16,
                                                          engine_threads(n, allow16))),
                                  want),
                           1e-13);
                }
            }
        }
    }
}

bool smooth_prime(int n) {
    for (int p : {2, 3, 5, 7, 11, 13}) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

TEST_CASE("Stockham schedules match the direct DFT for every smooth length up to 64") {
    for (int n = 2; n <= 64; ++n) {
        if (smooth_prime(n)) check_length(n);
    }
}

TEST_CASE("Stockham schedules match the direct DFT for long and mixed-radix lengths") {
    for (int n : {96, 100, 121, 169, 343, 400, 1001, 1024, 2288, 2560, 2880, 4004, 4096, 6144, 6160, 8192}) {
        check_length(n);
    }
    // Together with the short lengths every butterfly has been used.
    CHECK(radices_seen() == (std::set<int>{2, 3, 4, 5, 7, 8, 11, 13, 16}));
}

TEST_CASE("the engine's shared-memory kernel fits every length within its bound") {
    // Block size of the widest pass (32 to 1024 threads), at most 16 values
    // per thread in single and half precision (radix 16 allowed in half), 13
    // in double; the kernels are compiled for exactly these bounds.
    for (int n = 4; 8 * n <= 49152; ++n) {
        if (!smooth_prime(n)) continue;
        for (bool allow16 : {false, true}) {
            if (!gc::shared_fft_fits(n, engine_threads(n, allow16), allow16, 16)) {
                qtest::fail(__FILE__, __LINE__, "single precision n=" + std::to_string(n));
            }
        }
        if (16 * n <= 40960 && !gc::shared_fft_fits(n, engine_threads(n, false), false, 13)) {
            qtest::fail(__FILE__, __LINE__, "double precision n=" + std::to_string(n));
        }
    }
    // 676 = 4 x 13 x 13 on 43 threads: radix-13 passes put 2 x 13 values on
    // a thread, the radix-4 pass 4 x 4.
    CHECK(!gc::shared_fft_fits(676, 43, false, 16));
    CHECK(gc::shared_fft_fits(676, 43, false, 64));
    CHECK(!gc::shared_fft_fits(676, 42, false, 64));    // 5 radix-4 butterflies per thread
    CHECK(!gc::shared_fft_fits(4096, 64, false, 64));  // 8 radix-8 butterflies per thread
}

TEST_CASE("compile-time roots of unity are accurate to double rounding") {
    // Within half a unit in the last place (plus the reference's own error)
    // of an extended-precision reference.
    const long double pi = 3.14159265358979323846264338327950288L;
    auto close = [](double got, long double want) {
        const double half_ulp = (std::nextafter(std::fabs(got), 2.0) - std::fabs(got)) / 2;
        return std::fabs(got - want) <= half_ulp * 1.01L;
    };
    auto check_table = [pi, close](auto table, int r) {
        for (int m = 0; m < r; ++m) {
            const long double angle = 2 * pi * m / r;
            CHECK(close(table.c[m], std::cos(angle)));
            CHECK(close(table.s[m], std::sin(angle)));
        }
    };
    check_table(gc::detail::RootTable<3>{}, 3);
    check_table(gc::detail::RootTable<5>{}, 5);
    check_table(gc::detail::RootTable<7>{}, 7);
    check_table(gc::detail::RootTable<11>{}, 11);
    check_table(gc::detail::RootTable<13>{}, 13);
}

TEST_CASE("radix rule, pass counts and smooth lengths") {
    const std::vector<std::pair<int64_t, std::vector<int>>> plain = {
        {2, {2}},       {4, {4}},          {8, {8}},             {16, {4, 4}},          {32, {8, 4}},
        {64, {8, 8}},   {45, {3, 3, 5}},   {169, {13, 13}},      {1001, {7, 11, 13}},   {12, {4, 3}},
        {6, {2, 3}},    {8192, {4, 8, 8, 8, 4}},                 {6144, {8, 8, 8, 4, 3}},
        {6160, {4, 4, 5, 7, 11}},
    };
    for (const auto& [n, want] : plain) {
        CHECK(radices(n, false) == want);
        CHECK_EQ(g::fft_passes(n, false), static_cast<int>(want.size()));
    }
    const std::vector<std::pair<int64_t, std::vector<int>>> with16 = {
        {16, {16}}, {32, {16, 2}}, {8192, {16, 16, 16, 2}}, {6144, {16, 16, 8, 3}}, {6160, {16, 5, 7, 11}},
    };
    for (const auto& [n, want] : with16) {
        CHECK(radices(n, true) == want);
        CHECK_EQ(g::fft_passes(n, true), static_cast<int>(want.size()));
    }
    CHECK_EQ(g::fft_passes(1), 0);
    CHECK_EQ(g::fft_passes(68), -1);  // 4 x 17
    CHECK_EQ(g::fft_passes(int64_t(1) << 40), 14);

    CHECK(g::fft_length_smooth(4));
    CHECK(!g::fft_length_smooth(3));
    CHECK(!g::fft_length_smooth(2));
    CHECK(g::fft_length_smooth(6160));
    CHECK(g::fft_length_smooth(26));
    CHECK(!g::fft_length_smooth(34));
    CHECK(!g::fft_length_smooth(17 * 1024));
    CHECK(g::fft_length_smooth(int64_t(1) << 30));
    CHECK(g::fft_length_smooth(2147483648LL * 3 * 13));
}

TEST_CASE("Bluestein lengths") {
    CHECK_EQ(g::bluestein_length(17), 40);
    CHECK_EQ(g::bluestein_length(5), 9);
    CHECK_EQ(g::bluestein_length(100), 200);
    CHECK_EQ(g::bluestein_length(257), 576);
    CHECK_EQ(g::bluestein_length(1000), 2048);
    // Always a 2,3,5-smooth length of at least 2n - 1, no costlier than the
    // power of two.
    for (int64_t n : {4, 6, 31, 1031, 4099, 6145, 100003, 1 << 24, 1073741789}) {
        const int64_t m = g::bluestein_length(n);
        CHECK(m >= 2 * n - 1);
        int64_t rest = m;
        for (int64_t p : {2, 3, 5}) {
            while (rest % p == 0) rest /= p;
        }
        CHECK_EQ(rest, 1);
        int64_t pow2 = 16;
        while (pow2 < 2 * n - 1) pow2 *= 2;
        CHECK(g::fft_passes(m) * m <= g::fft_passes(pow2) * pow2);
    }
}

// The chirp-z pipeline as the engine runs it: chirp and kernel in the
// engine's precision, kernel FFT, then per row pre-multiply, forward FFT,
// pointwise product, inverse FFT, post-multiply; the inverse conjugates the
// input and the output.
template <typename C>
std::vector<cd> bluestein_emulated(const std::vector<cd>& x, int sign) {
    using T = Real<C>;
    const int64_t n = static_cast<int64_t>(x.size());
    const int m = static_cast<int>(g::bluestein_length(n));
    std::vector<C> w(n), b(m, gc::cmake<C>(0, 0));
    for (int64_t k = 0; k < n; ++k) {
        const double k2 = static_cast<double>((k * k) % (2 * n));
        w[k] = gc::cmake<C>(static_cast<T>(std::cos(-kPi * k2 / n)), static_cast<T>(std::sin(-kPi * k2 / n)));
        b[k] = gc::cmake<C>(static_cast<T>(std::cos(kPi * k2 / n) / m), static_cast<T>(std::sin(kPi * k2 / n) / m));
        if (k >= 1) b[m - k] = b[k];
    }
    const auto tw = twiddles<C>(m, m);
    const std::vector<C> kernel = multi_pass(b, tw, T(1), false);
    std::vector<C> work(m, gc::cmake<C>(0, 0));
    for (int64_t k = 0; k < n; ++k) {
        C v = to_c<C>(x[k]);
        v.y *= T(sign);
        work[k] = gc::cmul(v, w[k]);
    }
    work = multi_pass(work, tw, T(1), false);
    for (int k = 0; k < m; ++k) work[k] = gc::cmul(work[k], kernel[k]);
    work = multi_pass(work, tw, T(-1), false);
    std::vector<cd> out(n);
    for (int64_t k = 0; k < n; ++k) {
        C v = gc::cmul(work[k], w[k]);
        v.y *= T(sign);
        out[k] = to_cd(v);
    }
    return out;
}

TEST_CASE("Bluestein pipeline matches the direct DFT") {
    for (int n : {5, 17, 1000, 4099, 6145}) {
        const std::vector<cd> x = random_signal(n, 77u + n);
        for (int sign : {1, -1}) {
            const std::vector<cd> want = direct_dft(x, sign);
            report("float bluestein", n, sign, rel_l2(bluestein_emulated<float2>(x, sign), want), 2e-6);
            report("double bluestein", n, sign, rel_l2(bluestein_emulated<double2>(x, sign), want), 1e-13);
        }
    }
}

}  // namespace

QTEST_MAIN
