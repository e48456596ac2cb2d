// CQT engine internals: octave layout, early decimation, the halfband filter
// and its transpose, kernel/adjoint consistency, the GPU plan export, and the
// chroma pitch-class map.
#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
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

TEST_CASE("octave layout: top octave first, the lowest one may be partial") {
    CqtEngine<double> e(config(22050, 512, kC1, 80, 12));
    CHECK_EQ(e.n_octaves(), 7);
    const auto& oct = e.octaves();
    CHECK_EQ(oct.front().bin_offset, 68);
    CHECK_EQ(oct.front().n_filters, 12);
    CHECK_EQ(oct.back().bin_offset, 0);
    CHECK_EQ(oct.back().n_filters, 8);  // 80 = 6 * 12 + 8
    for (std::size_t i = 0; i < oct.size(); ++i) {
        CHECK(oct[i].halve_after);  // 512 stays even through every octave
        CHECK_EQ(oct[i].hop, 512 >> (i + e.early_downsample()));
        CHECK_EQ(oct[i].level, static_cast<int32_t>(i) + e.early_downsample());
    }
    CHECK_EQ(e.n_levels(), static_cast<int32_t>(oct.size()) + e.early_downsample() + 1);
}

TEST_CASE("an odd hop keeps every octave at the full rate") {
    CqtEngine<float> e(config(22050, 511, kC1, 36, 12));
    CHECK_EQ(e.early_downsample(), 0);
    CHECK_EQ(e.n_levels(), 1);
    for (const auto& o : e.octaves()) CHECK(o.level == 0 && o.hop == 511 && !o.halve_after);
}

TEST_CASE("low filters far below Nyquist decimate early when the hop allows it") {
    // Top bin near 260 Hz at 22050 Hz: e1 = ceil(log2(11025 / cutoff)) - 2 >= 3.
    CqtEngine<float> e(config(22050, 1024, kC1, 36, 12));
    CHECK(e.early_downsample() >= 1);
    CHECK_EQ(e.octaves().front().level, e.early_downsample());
    CHECK_EQ(e.octaves().front().hop, 1024 >> e.early_downsample());
    // 1024 has 10 trailing zeros; with 3 octaves at most 10 - 3 + 1 = 8 early halvings.
    CHECK(e.early_downsample() <= 8);
}

TEST_CASE("validation messages, in order") {
    CHECK_THROWS(std::invalid_argument, CqtEngine<float>(config(22050, 0, 0, 0, 0)), "hop_length must be positive, got 0");
    CHECK_THROWS(std::invalid_argument, CqtEngine<float>(config(22050, 512, 0, 0, 0)), "n_bins must be positive");
    CHECK_THROWS(std::invalid_argument, CqtEngine<float>(config(22050, 512, 0, 12, 0)), "bins_per_octave must be positive");
    CHECK_THROWS(std::invalid_argument, CqtEngine<float>(config(22050, 512, 0, 12, 12)), "fmin must be positive");
    CHECK_THROWS(std::invalid_argument, CqtEngine<float>(config(22050, 512, kC1, 120, 12)),
                 "the top CQT bin exceeds Nyquist; lower n_bins or fmin");
}

TEST_CASE("the halfband filter has unit DC gain and its transpose is exact") {
    CqtEngine<double> e(config(22050, 512, kC1, 24, 12));
    const auto& h = e.halfband();
    CHECK_EQ(h.size(), std::size_t{33});
    double total = h[0];
    for (std::size_t j = 1; j < h.size(); ++j) total += h[j];
    CHECK(std::abs(total - 1.0) < 1e-12);
    std::mt19937 gen(3);
    std::normal_distribution<double> dist;
    for (int64_t n : {1, 2, 5, 31, 64, 1001}) {
        const int64_t m = (n + 1) / 2;
        std::vector<double> x(n), gy(m), y(m), gx(n, 0.0);
        for (double& v : x) v = dist(gen);
        for (double& v : gy) v = dist(gen);
        e.decimate(x.data(), n, y.data());
        e.decimate_adjoint(gy.data(), n, gx.data());
        double lhs = 0, rhs = 0;
        for (int64_t i = 0; i < m; ++i) lhs += y[i] * gy[i];
        for (int64_t i = 0; i < n; ++i) rhs += x[i] * gx[i];
        CHECK(std::abs(lhs - rhs) < 1e-12 * (std::abs(lhs) + 1));
    }
    // A constant decimates to sqrt(2) times itself away from the edges.
    std::vector<double> ones(400, 1.0), y(200);
    e.decimate(ones.data(), 400, y.data());
    CHECK(std::abs(y[100] - std::sqrt(2.0)) < 1e-12);
}

TEST_CASE("adjoint kernels are the conjugate transposes of the kernels") {
    CqtEngine<float> e(config(16000, 256, 55.0, 50, 12, -1.0));
    for (const auto& o : e.octaves()) {
        const int32_t bins = o.n_fft / 2 + 1;
        std::vector<std::complex<float>> dense(static_cast<std::size_t>(o.n_filters) * bins);
        for (int32_t r = 0; r < o.n_filters; ++r) {
            for (int32_t e2 = o.kernel.row_start[r]; e2 < o.kernel.row_start[r + 1]; ++e2) {
                CHECK(e2 == o.kernel.row_start[r] || o.kernel.col[e2] > o.kernel.col[e2 - 1]);
                dense[r * bins + o.kernel.col[e2]] = o.kernel.val[e2];
            }
        }
        CHECK_EQ(o.adjoint.val.size(), o.kernel.val.size());
        for (int32_t j = 0; j < bins; ++j) {
            for (int32_t e2 = o.adjoint.row_start[j]; e2 < o.adjoint.row_start[j + 1]; ++e2) {
                CHECK(dense[o.adjoint.col[e2] * bins + j] == std::conj(o.adjoint.val[e2]));
            }
        }
    }
}

TEST_CASE("the GPU plan exports exactly the layouts a GPU engine can take") {
    CqtGpuPlan<float> plan;
    CqtEngine<float> standard(config(22050, 512, kC1, 84, 12));
    CHECK(standard.export_gpu_plan(2048, plan));
    CHECK_EQ(plan.n_bins, 84);
    CHECK_EQ(plan.octaves.size(), standard.octaves().size());
    CHECK_EQ(plan.halfband.size(), std::size_t{33});
    int32_t rows = 0;
    std::size_t entries = 0;
    for (std::size_t i = 0; i < plan.octaves.size(); ++i) {
        const auto& o = standard.octaves()[i];
        CHECK_EQ(plan.octaves[i].first_row, rows);
        // Rebased row starts point at this octave's entries in the concatenation.
        CHECK_EQ(plan.kernels.row_start[rows], static_cast<int32_t>(entries));
        for (int32_t r = 0; r < o.n_filters; ++r) {
            CHECK(plan.kernels.val[plan.kernels.row_start[rows + r]] == o.kernel.val[o.kernel.row_start[r]]);
        }
        rows += o.n_filters;
        entries += o.kernel.val.size();
        CHECK(plan.max_n_fft >= o.n_fft);
    }
    CHECK_EQ(plan.kernels.rows, 84);
    CHECK_EQ(plan.kernels.row_start.back(), static_cast<int32_t>(entries));
    // An odd hop never halves; more than 128 filters an octave; FFTs above the limit.
    CHECK(!CqtEngine<float>(config(22050, 511, kC1, 84, 12)).export_gpu_plan(2048, plan));
    CHECK(!CqtEngine<float>(config(22050, 512, 1000.0, 130, 130)).export_gpu_plan(1 << 20, plan));
    CHECK(!standard.export_gpu_plan(standard.octaves().front().n_fft / 2, plan));
    // A single octave has no "next" octave, so an odd hop is fine there.
    CHECK(CqtEngine<float>(config(22050, 511, 1000.0, 12, 12)).export_gpu_plan(2048, plan));
}

TEST_CASE("chroma classes: 36 bins an octave fold three bins per class around the centre") {
    ChromaEngine<float> e(22050, 512, 36, 2, 12, kC1);
    const auto& c = e.chroma_of_bin();
    for (int32_t k = 0; k < 72; ++k) {
        const int32_t m = k % 36;
        const int32_t expect = ((m + 1) % 36) / 3;  // 35, 0, 1 -> 0; 2, 3, 4 -> 1; ...
        CHECK_EQ(c[k], expect);
    }
    ChromaEngine<float> sharp(22050, 512, 12, 3, 12, kC1 * std::pow(2.0, 1.0 / 12));
    CHECK_EQ(sharp.chroma_of_bin()[0], 1);
    CHECK_THROWS(std::invalid_argument, ChromaEngine<float>(22050, 512, 12, 0, 12, kC1), "n_bins must be positive");
    CHECK_THROWS(std::invalid_argument, ChromaEngine<float>(22050, 512, 12, 2, 0, kC1), "n_chroma must be positive");
    CHECK_THROWS(std::invalid_argument, ChromaEngine<float>(22050, 512, 12, 2, 5, kC1),
                 "bins_per_octave must be a multiple of n_chroma");
}

QTEST_MAIN
