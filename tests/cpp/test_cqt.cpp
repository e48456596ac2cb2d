// CQT engine internals: the adjoints of the halfband filter and of the
// kernels, and the chroma pitch-class map.
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "check.hpp"
#include "ops/chroma.hpp"
#include "ops/cqt.hpp"

using namespace qorva::dsp::ops;

namespace {
constexpr double kC1 = 32.70319566257483;
CqtConfig config(double sr, int32_t hop, double fmin, int32_t n_bins, int32_t bpo, double gamma = 0.0) {
    return CqtConfig{sr, hop, fmin, n_bins, bpo, 1.0, 0.01, gamma};
}
}  // namespace

TEST_CASE("the halfband filter has unit DC gain and an exact transpose") {
    CqtEngine<double> e(config(22050, 512, kC1, 24, 12));
    double total = 0;
    for (double h : e.halfband()) total += h;
    CHECK(std::abs(total - 1.0) < 1e-12);
    std::mt19937 gen(3);
    std::normal_distribution<double> dist;
    for (int64_t n : {1, 2, 5, 31, 64, 1001}) {
        std::vector<double> x(n), gy((n + 1) / 2), y(gy.size()), gx(n, 0.0);
        for (double& v : x) v = dist(gen);
        for (double& v : gy) v = dist(gen);
        e.decimate(x.data(), n, y.data());
        e.decimate_adjoint(gy.data(), n, gx.data());
        double lhs = 0, rhs = 0;
        for (std::size_t i = 0; i < y.size(); ++i) lhs += y[i] * gy[i];
        for (int64_t i = 0; i < n; ++i) rhs += x[i] * gx[i];
        CHECK(std::abs(lhs - rhs) < 1e-12 * (std::abs(lhs) + 1));
        std::vector<double> written(n, 7.0);  // overwritten, whatever it held
        e.decimate_adjoint(gy.data(), n, written.data(), false);
        CHECK(written == gx);
    }
    std::vector<double> ones(400, 1.0), y(200);  // sqrt(2) keeps the energy at the halved rate
    e.decimate(ones.data(), 400, y.data());
    CHECK(std::abs(y[100] - std::sqrt(2.0)) < 1e-12);
}

TEST_CASE("adjoint kernels are the conjugate transposes of the kernels") {
    CqtEngine<float> e(config(16000, 256, 55.0, 50, 12, -1.0));
    for (const auto& o : e.octaves()) {
        const int32_t bins = o.n_fft / 2 + 1;
        std::vector<std::complex<float>> dense(static_cast<std::size_t>(o.n_filters) * bins);
        for (int32_t r = 0; r < o.n_filters; ++r) {
            for (int32_t i = o.kernel.row_start[r]; i < o.kernel.row_start[r + 1]; ++i) {
                CHECK(i == o.kernel.row_start[r] || o.kernel.col[i] > o.kernel.col[i - 1]);
                dense[r * bins + o.kernel.col[i]] = o.kernel.val[i];
            }
        }
        CHECK_EQ(o.adjoint.val.size(), o.kernel.val.size());
        for (int32_t j = 0; j < bins; ++j) {
            for (int32_t i = o.adjoint.row_start[j]; i < o.adjoint.row_start[j + 1]; ++i)
                CHECK(dense[o.adjoint.col[i] * bins + j] == std::conj(o.adjoint.val[i]));
        }
    }
}

TEST_CASE("chroma classes: 36 bins an octave fold three bins per class around the centre") {
    ChromaEngine<float> e(22050, 512, 36, 2, 12, kC1);
    for (int32_t k = 0; k < 72; ++k) CHECK_EQ(e.chroma_of_bin()[k], ((k % 36 + 1) % 36) / 3);  // 35, 0, 1 -> 0
    ChromaEngine<float> sharp(22050, 512, 12, 3, 12, kC1 * std::pow(2.0, 1.0 / 12));
    CHECK_EQ(sharp.chroma_of_bin()[0], 1);
}

QTEST_MAIN
