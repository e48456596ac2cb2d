// Window coefficients, frame counts, padding and the overlap-add adjoint.
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

TEST_CASE("named windows are periodic and centred in the frame") {
    CHECK(close(build_window<double>(named(WindowKind::hann), 4, 4), {0, 0.5, 1, 0.5}));
    CHECK(close(build_window<double>(named(WindowKind::bartlett), 4, 4), {0, 0.5, 1, 0.5}));
    CHECK(close(build_window<double>(named(WindowKind::boxcar), 3, 6), {0, 1, 1, 1, 0, 0}));
    // win_length = n_fft - 1: offset 0 and the last position stays zero.
    auto w = build_window<double>(named(WindowKind::hamming), 7, 8);
    CHECK(w[7] == 0.0 && std::abs(w[0] - 0.08) < 1e-15);
    // Float windows are the double values rounded.
    auto wf = build_window<float>(named(WindowKind::blackmanharris), 100, 128);
    auto wd = build_window<double>(named(WindowKind::blackmanharris), 100, 128);
    for (int i = 0; i < 128; ++i) CHECK(wf[i] == static_cast<float>(wd[i]));
    // Nuttall at the centre of a periodic window of length N sits at x = pi.
    auto wn = build_window<double>(named(WindowKind::nuttall), 16, 16);
    CHECK(std::abs(wn[8] - (0.3635819 + 0.4891775 + 0.1365995 + 0.0106411)) < 1e-12);
}

TEST_CASE("window errors: range check first, then the custom length") {
    CHECK_THROWS(std::invalid_argument, build_window<float>(named(WindowKind::hann), 0, 8),
                 "win_length must be in [1, n_fft], got 0");
    CHECK_THROWS(std::invalid_argument, build_window<float>(WindowSpec{WindowKind::hann, {1, 2, 3}}, 9, 8),
                 "win_length must be in [1, n_fft], got 9");
    CHECK_THROWS(std::invalid_argument, build_window<float>(WindowSpec{WindowKind::hann, {1, 2, 3}}, 4, 8),
                 "window array must have win_length (4) samples, got 3");
    CHECK_THROWS(std::invalid_argument, parse_window_name("Hann"),
                 "window must be one of ('hann', 'hamming', 'blackman', 'blackmanharris', 'nuttall', 'bartlett', "
                 "'boxcar') or a float array; got 'Hann'");
    CHECK_THROWS(std::invalid_argument, parse_pad_mode("zeros"), "pad_mode must be 'constant' or 'reflect'; got 'zeros'");
}

TEST_CASE("frame counts with and without centring") {
    FrameGeometry centred{512, 128, true, PadMode::reflect};
    CHECK_EQ(centred.n_frames(1000), int64_t{8});
    CHECK_EQ(centred.n_frames(0), int64_t{1});
    FrameGeometry plain{512, 128, false, PadMode::reflect};
    CHECK_EQ(plain.n_frames(1000), int64_t{4});
    CHECK_EQ(plain.n_frames(512), int64_t{1});
    CHECK_THROWS(std::invalid_argument, plain.n_frames(511),
                 "input of 511 samples is shorter than n_fft with center=False");
}

TEST_CASE("reflect padding mirrors without repeating the edge, for any length") {
    const std::vector<double> x{10, 11, 12};
    const std::vector<double> ones(8, 1.0);
    std::vector<double> out(8);
    // t = -5 .. 2: x1, x0, x1, x2, x1, x0, x1, x2
    extract_frame(x.data(), 3, -5, ones.data(), 8, PadMode::reflect, out.data());
    CHECK(close(out, {11, 10, 11, 12, 11, 10, 11, 12}));
    const std::vector<double> one{7};
    extract_frame(one.data(), 1, -3, ones.data(), 8, PadMode::reflect, out.data());
    CHECK(close(out, std::vector<double>(8, 7.0)));
    extract_frame(x.data(), 3, -2, ones.data(), 8, PadMode::constant, out.data());
    CHECK(close(out, {0, 0, 10, 11, 12, 0, 0, 0}));
    // An empty signal has nothing to mirror: zeros, without reading the row.
    extract_frame<double>(nullptr, 0, -4, ones.data(), 8, PadMode::reflect, out.data());
    CHECK(close(out, std::vector<double>(8, 0.0)));
}

TEST_CASE("fold_frames is the adjoint of framing when the padding reflects once") {
    std::mt19937 gen(5);
    std::normal_distribution<double> dist;
    for (PadMode mode : {PadMode::constant, PadMode::reflect}) {
        for (int hop : {1, 3, 4, 7}) {
            const int n_fft = 8, L = 29;
            FrameGeometry g{n_fft, hop, true, mode};
            const int64_t F = g.n_frames(L);
            std::vector<double> x(L), frames(F * n_fft), window(n_fft), back(L);
            for (double& v : x) v = dist(gen);
            for (double& v : frames) v = dist(gen);
            for (double& v : window) v = dist(gen);
            // <frames, framing(x)> must equal <fold(frames * window), x>.
            double lhs = 0;
            std::vector<double> fr(n_fft), weighted(F * n_fft);
            for (int64_t f = 0; f < F; ++f) {
                extract_frame(x.data(), L, f * hop - g.pad(), window.data(), n_fft, mode, fr.data());
                for (int k = 0; k < n_fft; ++k) {
                    lhs += frames[f * n_fft + k] * fr[k];
                    weighted[f * n_fft + k] = frames[f * n_fft + k] * window[k];
                }
            }
            fold_frames(weighted.data(), F, n_fft, hop, g.pad(), mode, back.data(), L, false);
            double rhs = 0;
            for (int i = 0; i < L; ++i) rhs += back[i] * x[i];
            CHECK(std::abs(lhs - rhs) < 1e-12 * (std::abs(lhs) + 1));
        }
    }
}

TEST_CASE("fold_frames folds only the first mirror image and can accumulate") {
    // L = 2, pad = 4: padded positions beyond the first reflection drop out.
    const int n_fft = 8, hop = 8;
    std::vector<double> frame_grads(n_fft, 1.0), out{100, 100};
    fold_frames(frame_grads.data(), 1, n_fft, hop, 4, PadMode::reflect, out.data(), 2, false);
    // Sample 0: itself (t = 0) plus its right mirror t = 2L - 2 = 2; sample 1:
    // itself plus its left mirror t = -1.  Positions t = -4, -3, -2 and 3 read
    // samples in the forward pass but are not folded back.
    CHECK(close(out, {2, 2}));
    fold_frames(frame_grads.data(), 1, n_fft, hop, 4, PadMode::reflect, out.data(), 2, true);
    CHECK(close(out, {4, 4}));
    // A single-sample signal gets nothing back from the padding.
    std::vector<double> single{0};
    fold_frames(frame_grads.data(), 1, n_fft, hop, 4, PadMode::reflect, single.data(), 1, false);
    CHECK(close(single, {1}));
}

QTEST_MAIN
