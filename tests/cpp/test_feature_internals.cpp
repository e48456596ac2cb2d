// Internals of the feature engines that Python cannot reach: the sums of
// logarithms kept as mantissa products (flatness, onset strength) over value
// ranges no audio test produces, and the tempogram's autocorrelation length.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "ops/feature_common.hpp"
#include "ops/tempogram.hpp"

using namespace qorva::dsp::ops;

TEST_CASE("mantissa products give the sum of logarithms over extreme ranges and lengths") {
    for (int64_t n : {1, 3, 4, 1025, 5000}) {
        std::vector<double> v(static_cast<std::size_t>(n));
        for (int64_t k = 0; k < n; ++k) {
            // Exponents from about -1000 to +1000 in a scattered order.
            const double e = std::fmod(static_cast<double>(k) * 733.0, 2000.0) - 1000.0;
            v[k] = std::ldexp(1.0 + std::fmod(static_cast<double>(k) * 0.618, 1.0), static_cast<int>(e));
        }
        double want = 0.0;
        for (double x : v) want += std::log(x);
        CHECK(std::abs(sum_logs(v.data(), n) - want) <= 1e-12 * (std::abs(want) + n));
    }
    // Factors near the top of the double range.
    LogProduct p;
    double want = 0.0;
    for (int k = 0; k < 200; ++k) {
        const double f = k % 2 ? 1.7e308 : 1.0000001;
        p.multiply(f);
        want += std::log(f);
    }
    CHECK(std::abs(p.ln() - want) <= 1e-12 * want);
}

TEST_CASE("the autocorrelation length is the smallest power of two without wrap-around") {
    const MelOptions mel{{512, 128, 512}, 22050.0, 32, 0.0, 8000.0};
    const int32_t cases[][2] = {{1, 1}, {2, 4}, {3, 8}, {384, 1024}, {385, 1024}, {512, 1024}, {513, 2048}};
    for (const auto& c : cases) CHECK_EQ(TempogramEngine<float>(mel, c[0]).n_fft_ac(), c[1]);
}

QTEST_MAIN
