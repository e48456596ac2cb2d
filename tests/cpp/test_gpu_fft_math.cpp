// The GPU FFT kernels' own bodies run on the CPU: the Stockham passes as the
// multi-pass and the shared-memory kernels schedule them, the shared kernel's
// row load and store in every storage type, and the Bluestein pipeline on
// top, against a direct DFT; the shared-memory bank conflicts, the grid
// geometry, the radix rule and planning.
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
using gpu_emulation::Real;
using gpu_emulation::twiddles;
constexpr double kPi = 3.14159265358979323846;

template <typename C>
C to_c(cd z) {
    return gc::cmake<C>(static_cast<Real<C>>(z.real()), static_cast<Real<C>>(z.imag()));
}

// Direct O(n^2) DFT in double: sum_j x[j] e^(-+2 pi i j k / n), unnormalised.
std::vector<cd> direct_dft(const std::vector<cd>& x, int sign) {
    const int64_t n = static_cast<int64_t>(x.size());
    std::vector<cd> root(n), y(n);
    for (int64_t k = 0; k < n; ++k) root[k] = std::polar(1.0, -2.0 * kPi * sign * static_cast<double>(k) / n);
    for (int64_t k = 0; k < n; ++k) {
        for (int64_t j = 0; j < n; ++j) y[k] += x[j] * root[(j * k) % n];
    }
    return y;
}

// Float-exact values, so both precisions transform the same input.
std::vector<cd> random_signal(int64_t n) {
    std::mt19937 gen(static_cast<uint32_t>(n));
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<cd> x(n);
    for (auto& v : x) v = {u(gen), u(gen)};
    return x;
}

template <typename C>
void expect_close(const std::string& what, const std::vector<C>& got, const std::vector<cd>& want, double tol) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto v = gc::widen(got[i]);
        num += std::norm(cd(v.x, v.y) - want[i]);
        den += std::norm(want[i]);
    }
    if (!(std::sqrt(num / den) < tol)) qtest::fail(__FILE__, __LINE__, what + " n=" + std::to_string(want.size()));
}

std::vector<int> radices(int64_t n, bool allow16) {
    std::vector<int> out;
    for (int64_t L = 1; L < n; L *= out.back()) out.push_back(gc::fft_radix(n / L, allow16));
    return out;
}

bool smooth(int64_t n, std::initializer_list<int> primes) {
    for (int p : primes) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

std::set<int> radices_seen;

// One launch per pass: fft_stage's body for every butterfly, from the pass
// input to the other buffer.
template <typename C>
std::vector<C> multi_pass(std::vector<C> x, const std::vector<C>& tw, Real<C> sign, bool allow16) {
    const int n = static_cast<int>(x.size());
    std::vector<C> y(n);
    int L = 1;
    for (int r : radices(n, allow16)) {
        radices_seen.insert(r);
        gc::with_radix(r, [&](auto tag) {
            for (int j = 0; j < n / r; ++j)
                gc::fft_stage_butterfly<decltype(tag)::value>(x.data(), y.data(), tw.data(), n, L, sign, 0, j);
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

// Both schedules with and without radix 16; the shared one, within the
// engine's shared-memory bound, on the engine's block and on the smallest
// block its four butterflies a thread allow.
template <typename C>
void check_schedules(const std::vector<cd>& x, int sign, const std::vector<cd>& want, double tol) {
    const int n = static_cast<int>(x.size());
    std::vector<C> in(n);
    std::transform(x.begin(), x.end(), in.begin(), to_c<C>);
    const auto tw = twiddles<C>(n, n);
    const auto s = static_cast<Real<C>>(sign);
    const std::string tag = (sizeof(s) == 4 ? "float" : "double") + std::string(sign > 0 ? " inverse" : "");
    for (bool allow16 : {false, true}) {
        expect_close(tag + " multi-pass", multi_pass(in, tw, s, allow16), want, tol);
        if (n * sizeof(C) > (sizeof(s) == 4 ? 49152u : 40960u)) continue;
        int fewest = 1;
        for (int r : radices(n, allow16)) fewest = std::max(fewest, (n / r + 3) / 4);
        for (int threads : {engine_threads(n, allow16), fewest})
            expect_close(tag + " shared", gpu_emulation::shared_schedule(in, tw, s, allow16, threads), want, tol);
    }
}

TEST_CASE("Stockham schedules match the direct DFT for every smooth length to 64 and long mixed ones") {
    std::vector<int> lengths{96, 100, 121, 169, 343, 400, 1001, 1024, 2288, 2560, 2880, 4004, 4096, 6144, 6160, 8192};
    for (int n = 2; n <= 64; ++n) {
        if (smooth(n, {2, 3, 5, 7, 11, 13})) lengths.push_back(n);
    }
    for (int n : lengths) {
        const std::vector<cd> x = random_signal(n);
        for (int sign : {1, -1}) {
            const std::vector<cd> want = direct_dft(x, sign);
            check_schedules<float2>(x, sign, want, 1e-6);
            check_schedules<double2>(x, sign, want, 1e-13);
        }
    }
    CHECK(radices_seen == (std::set<int>{2, 3, 4, 5, 7, 8, 11, 13, 16}));  // every butterfly was used
}

TEST_CASE("the engine's shared-memory kernel fits every length within its bound") {
    // The kernels are compiled for 16 values a thread in single and half
    // precision, 13 in double.
    for (int n = 4; 8 * n <= 49152; ++n) {
        if (!smooth(n, {2, 3, 5, 7, 11, 13})) continue;
        bool fits = gc::shared_fft_fits(n, engine_threads(n, false), false, 16) &&
                    gc::shared_fft_fits(n, engine_threads(n, true), true, 16) &&
                    (16 * n > 40960 || gc::shared_fft_fits(n, engine_threads(n, false), false, 13));
        if (!fits) qtest::fail(__FILE__, __LINE__, "n=" + std::to_string(n));
    }
    // 676 = 4 x 13 x 13 on 43 threads: radix-13 passes put 2 x 13 values on a
    // thread, the radix-4 pass 4 x 4; on 42 threads 5 radix-4 butterflies.
    CHECK(!gc::shared_fft_fits(676, 43, false, 16) && gc::shared_fft_fits(676, 43, false, 64));
    CHECK(!gc::shared_fft_fits(676, 42, false, 64) && !gc::shared_fft_fits(4096, 64, false, 64));
}

// fft_shared on one row of storage type S: the kernel's load (widen), the
// shared-memory FFT on the engine's block and its store (put).
template <typename S>
std::vector<S> shared_row(const std::vector<cd>& x, int sign, bool allow16) {
    using C = decltype(gc::widen(S{}));
    const int n = static_cast<int>(x.size()), threads = engine_threads(n, allow16);
    std::vector<S> row(n);
    std::vector<C> s(n);
    for (int i = 0; i < n; ++i) gc::put(&row[i], to_c<C>(x[i]));
    for (int tid = 0; tid < threads; ++tid) gc::shared_row_load(row.data(), s.data(), n, tid, threads);
    s = gpu_emulation::shared_schedule(s, twiddles<C>(n, n), Real<C>(sign), allow16, threads);
    for (int tid = 0; tid < threads; ++tid) gc::shared_row_store(row.data(), s.data(), n, tid, threads);
    return row;
}

TEST_CASE("float16 and float64 rows through the shared kernel's load, FFT and store match the direct DFT") {
    const auto half = [](double v) { return __half2float(__float2half_rn(static_cast<float>(v))); };
    for (int n : {96, 2880, 4096}) {
        std::vector<cd> x = random_signal(n);
        for (cd& v : x) v = {half(v.real()), half(v.imag())};  // the float16 values of the row
        for (int sign : {1, -1}) {
            const std::vector<cd> want = direct_dft(x, sign);
            // One rounding to float16 (2^-11 relative, about 2e-4 rms) on top of the float32 FFT.
            expect_close("float16 row", shared_row<__half2>(x, sign, true), want, 6e-4);
            expect_close("float64 row", shared_row<double2>(x, sign, false), want, 1e-13);
        }
    }
}

// Worst bank conflict over every pass of the shared-memory FFT of n values.
template <typename C>
int worst_conflict(int n, int threads, bool allow16, bool swizzled) {
    gpu_emulation::BankConflicts<C> mem{threads};
    gpu_emulation::run_shared_fft(mem, n, twiddles<C>(n, n), Real<C>(1), allow16, threads, swizzled);
    return mem.worst;
}

TEST_CASE("the shared-memory FFT's loads and stores are at most 2-way bank conflicted") {
    // The STFT's half lengths on its blocks of min(h / 2, 256), and the
    // engine's blocks in every precision within the shared-memory bound.
    int natural[3] = {};  // float2, float2 with radix 16, double2
    for (int n = 32; n <= 4096; n *= 2) {
        for (bool allow16 : {false, true}) {
            for (int threads : {std::min(n / 2, 256), engine_threads(n, allow16)}) {
                CHECK(worst_conflict<float2>(n, threads, allow16, true) <= 2);
                natural[allow16] = std::max(natural[allow16], worst_conflict<float2>(n, threads, allow16, false));
                if (allow16 || n > 2048) continue;
                CHECK(worst_conflict<double2>(n, threads, false, true) <= 2);
                natural[2] = std::max(natural[2], worst_conflict<double2>(n, threads, false, false));
            }
        }
    }
    // The natural layout's first passes: radix-8 and radix-16 stores at j R + q.
    CHECK(natural[0] == 8 && natural[1] == 16 && natural[2] == 8);
}

TEST_CASE("row chunks and grid-stride loops reach every index exactly once") {
    std::vector<int> rows_seen(200003), seen(1000);
    gc::for_row_chunks(static_cast<int64_t>(rows_seen.size()), 65535, [&](int64_t first, int64_t rows) {
        CHECK(rows >= 1 && rows <= 65535);
        for (int64_t b = 0; b < rows; ++b) ++rows_seen.at(first + b);
    });
    // r2c_widen's loop on a grid smaller than the data.
    std::vector<float> in(seen.size());
    std::vector<float2> out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) + 0.5f;
    for (unsigned block = 0; block < 3; ++block) {
        for (unsigned thread = 0; thread < 64; ++thread) {
            gc::grid_stride(static_cast<int64_t>(in.size()), block, 3, thread, 64, [&](int64_t i) {
                gc::r2c_element(in.data(), out.data(), i);
                ++seen.at(i);
            });
        }
    }
    CHECK(std::count(rows_seen.begin(), rows_seen.end(), 1) == 200003);
    CHECK(std::count(seen.begin(), seen.end(), 1) == 1000);
    for (std::size_t i = 0; i < in.size(); ++i) CHECK(out[i].x == in[i] && out[i].y == 0.0f);
}

TEST_CASE("compile-time roots of unity are within half an ulp of an extended-precision reference") {
    auto close = [](double got, long double want) {
        return std::fabs(got - want) <= (std::nextafter(std::fabs(got), 2.0) - std::fabs(got)) / 2 * 1.01L;
    };
    auto check_table = [&](auto table, int r) {
        for (int m = 0; m < r; ++m) {
            const long double angle = 2 * 3.14159265358979323846264338327950288L * m / r;
            CHECK(close(table.c[m], std::cos(angle)) && close(table.s[m], std::sin(angle)));
        }
    };
    [&]<int... R>(std::integer_sequence<int, R...>) {
        (check_table(gc::detail::RootTable<R>{}, R), ...);
    }(std::integer_sequence<int, 3, 5, 7, 11, 13>{});
}

TEST_CASE("planning: pass counts, smooth lengths, and Bluestein lengths as the cheapest of at least 2n - 1") {
    CHECK(g::fft_passes(1) == 0 && g::fft_passes(68) == -1 && g::fft_passes(int64_t(1) << 40) == 14);
    CHECK(g::fft_passes(6160) == 5 && g::fft_passes(6160, true) == 4);  // 4 4 5 7 11; 16 5 7 11
    for (int64_t n : {4LL, 26LL, 6160LL, 1LL << 30, 2147483648LL * 3 * 13}) CHECK(g::fft_length_smooth(n));
    for (int64_t n : {2, 3, 34, 17 * 1024}) CHECK(!g::fft_length_smooth(n));
    for (int64_t n : {4, 5, 17, 100, 257, 1000, 4099, 100003, 1 << 24, 1073741789}) {
        const int64_t m = g::bluestein_length(n);
        CHECK(m >= 2 * n - 1 && smooth(m, {2, 3, 5}));
        int64_t pow2 = 16;
        while (pow2 < 2 * n - 1) pow2 *= 2;
        int64_t cheapest = g::fft_passes(pow2) * pow2;
        const bool search = pow2 <= (1 << 20);  // else only no costlier than the power of two
        for (int64_t c = 2 * n - 1; search && c < pow2; ++c) {
            if (smooth(c, {2, 3, 5})) cheapest = std::min(cheapest, g::fft_passes(c) * c);
        }
        CHECK(search ? g::fft_passes(m) * m == cheapest : g::fft_passes(m) * m <= cheapest);
    }
}

// The chirp-z pipeline as the engine runs it, in the engine's precision:
// kernel FFT, then the kernels' pre-multiply, forward FFT, pointwise
// product, inverse FFT and post-multiply.
template <typename C>
std::vector<C> bluestein_emulated(const std::vector<cd>& x, int sign) {
    using T = Real<C>;
    const int n = static_cast<int>(x.size()), m = static_cast<int>(g::bluestein_length(n));
    std::vector<C> w(n), b(m, gc::cmake<C>(0, 0)), work(m), data(n);
    for (int64_t k = 0; k < n; ++k) {
        const double angle = kPi * static_cast<double>((k * k) % (2 * n)) / n;
        w[k] = gc::cmake<C>(static_cast<T>(std::cos(angle)), static_cast<T>(-std::sin(angle)));
        b[k] = b[(m - k) % m] = gc::cmake<C>(static_cast<T>(std::cos(angle) / m), static_cast<T>(std::sin(angle) / m));
        data[k] = to_c<C>(x[k]);
    }
    const auto tw = twiddles<C>(m, m);
    const std::vector<C> kernel = multi_pass(b, tw, T(1), false);
    for (int k = 0; k < m; ++k) gc::blue_pre_element(data.data(), work.data(), w.data(), n, m, float(sign), 0, k);
    work = multi_pass(work, tw, T(1), false);
    for (int k = 0; k < m; ++k) gc::blue_mul_element(work.data(), kernel.data(), m, 0, k);
    work = multi_pass(work, tw, T(-1), false);
    for (int k = 0; k < n; ++k) gc::blue_post_element(work.data(), data.data(), w.data(), n, m, float(sign), 0, k);
    return data;
}

TEST_CASE("Bluestein pipeline matches the direct DFT") {
    for (int n : {5, 17, 1000, 4099, 6145}) {
        const std::vector<cd> x = random_signal(n);
        for (int sign : {1, -1}) {
            const std::vector<cd> want = direct_dft(x, sign);
            expect_close("float bluestein", bluestein_emulated<float2>(x, sign), want, 2e-6);
            expect_close("double bluestein", bluestein_emulated<double2>(x, sign), want, 1e-13);
        }
    }
}

}  // namespace

QTEST_MAIN
