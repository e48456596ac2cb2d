// Window coefficients, padding and the overlap-add adjoint.
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "ops/framing.hpp"

using namespace qorva::dsp::ops;

namespace {

bool close(const std::vector<double>& got, const std::vector<double>& want, double tol = 1e-15) {
    if (got.size() != want.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::abs(got[i] - want[i]) > tol) return false;
    }
    return true;
}

WindowSpec named(WindowKind k) { return WindowSpec{k, {}}; }

}  // namespace

TEST_CASE("named windows are periodic and centred in the frame; bad windows are refused") {
    CHECK(close(build_window<double>(named(WindowKind::hann), 4, 4), {0, 0.5, 1, 0.5}));
    CHECK(close(build_window<double>(named(WindowKind::bartlett), 4, 4), {0, 0.5, 1, 0.5}));
    CHECK(close(build_window<double>(named(WindowKind::boxcar), 3, 6), {0, 1, 1, 1, 0, 0}));
    // win_length = n_fft - 1: offset 0 and the last position stays zero.
    auto w = build_window<double>(named(WindowKind::hamming), 7, 8);
    CHECK(w[7] == 0.0 && std::abs(w[0] - 0.08) < 1e-15);
    // Nuttall at the centre of a periodic window of length N sits at x = pi.
    auto wn = build_window<double>(named(WindowKind::nuttall), 16, 16);
    CHECK(std::abs(wn[8] - (0.3635819 + 0.4891775 + 0.1365995 + 0.0106411)) < 1e-12);
    CHECK_THROWS(std::invalid_argument, build_window<float>(WindowSpec{WindowKind::hann, {1, 2, 3}}, 4, 8),
                 "window array must have win_length (4) samples, got 3");
}

TEST_CASE("reflect padding mirrors without repeating the edge, for any length") {
    const std::vector<double> x{10, 11, 12}, one{7}, ones(8, 1.0);
    std::vector<double> out(8);
    // t = -5 .. 2: x1, x0, x1, x2, x1, x0, x1, x2
    extract_frame(x.data(), 3, -5, ones.data(), 8, PadMode::reflect, out.data());
    CHECK(close(out, {11, 10, 11, 12, 11, 10, 11, 12}));
    extract_frame(one.data(), 1, -3, ones.data(), 8, PadMode::reflect, out.data());
    CHECK(close(out, std::vector<double>(8, 7.0)));
    extract_frame(x.data(), 3, -2, ones.data(), 8, PadMode::constant, out.data());
    CHECK(close(out, {0, 0, 10, 11, 12, 0, 0, 0}));
}

// <frames, framing(x)> = <fold(frames), x> + <previous, x> for every signal
// length, the ones shorter than the padding (mirrored several times, or a
// single sample read everywhere) included.
TEST_CASE("fold_frames is the exact adjoint of framing, accumulating onto what it is given") {
    std::mt19937 gen(5);
    std::normal_distribution<double> dist;
    for (PadMode mode : {PadMode::constant, PadMode::reflect}) {
        for (int n_fft : {8, 9}) {
            for (int hop : {1, 3, 8}) {
                for (int L : {1, 2, 3, 4, 5, 6, 29}) {
                    FrameGeometry g{n_fft, hop, true, mode};
                    const int64_t F = g.n_frames(L);
                    std::vector<double> x(L), frames(F * n_fft), fr(n_fft), ones(n_fft, 1.0), back(L);
                    for (double& v : x) v = dist(gen);
                    for (double& v : frames) v = dist(gen);
                    double lhs = 0;
                    for (int64_t f = 0; f < F; ++f) {
                        extract_frame(x.data(), L, f * hop - g.pad(), ones.data(), n_fft, mode, fr.data());
                        for (int k = 0; k < n_fft; ++k) lhs += frames[f * n_fft + k] * fr[k];
                    }
                    for (double& v : back) v = 1.0;
                    for (int i = 0; i < L; ++i) lhs += x[i];
                    fold_frames(frames.data(), F, n_fft, hop, g.pad(), mode, back.data(), L, true);
                    double rhs = 0;
                    for (int i = 0; i < L; ++i) rhs += back[i] * x[i];
                    if (!(std::abs(lhs - rhs) < 1e-12 * (std::abs(lhs) + 1))) {
                        qtest::fail(__FILE__, __LINE__, "n_fft " + std::to_string(n_fft) + " hop " +
                                                            std::to_string(hop) + " L " + std::to_string(L));
                    }
                }
            }
        }
    }
}

QTEST_MAIN
