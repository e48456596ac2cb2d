// The banded filterbank: float bands are the double bands rounded, and the
// bin index of the mel engine is the filterbank's transpose.
#include <cstdint>

#include "check.hpp"
#include "ops/mel.hpp"
#include "ops/mel_scale.hpp"

using namespace qorva::dsp::ops;

TEST_CASE("float bands equal the double bands rounded") {
    for (MelScale scale : {MelScale::slaney, MelScale::htk}) {
        for (MelNorm norm : {MelNorm::slaney, MelNorm::none}) {
            auto f = build_mel_bands<float>(22050.0, 2048, 128, 0.0, 11025.0, scale, norm);
            auto d = build_mel_bands<double>(22050.0, 2048, 128, 0.0, 11025.0, scale, norm);
            CHECK_EQ(f.size(), d.size());
            for (std::size_t m = 0; m < f.size(); ++m) {
                CHECK_EQ(f[m].start, d[m].start);
                CHECK_EQ(f[m].weights.size(), d[m].weights.size());
                for (std::size_t j = 0; j < f[m].weights.size(); ++j) {
                    CHECK(f[m].weights[j] == static_cast<float>(d[m].weights[j]));
                }
            }
        }
    }
}

TEST_CASE("every bin lies in at most two bands and the bin index is their transpose") {
    const MelParams<double> p(
        MelOptions{{1024, 256, 1024, {}, true, PadMode::constant}, 16000.0, 40, 50.0, 7000.0, MelScale::htk});
    std::vector<int> seen(p.n_bins(), 0);
    for (int32_t m = 0; m < p.n_mels; ++m) {
        const auto& band = p.filterbank[m];
        for (std::size_t j = 0; j < band.weights.size(); ++j) {
            const auto& e = p.bin_index[band.start + j];
            const int slot = seen[band.start + j]++;
            CHECK(slot < 2);
            CHECK_EQ(e.band[slot], m);
            CHECK(e.weight[slot] == band.weights[j]);
        }
    }
    for (int32_t k = 0; k < p.n_bins(); ++k) {
        if (seen[k] < 2) CHECK_EQ(p.bin_index[k].band[1], -1);
        if (seen[k] < 1) CHECK_EQ(p.bin_index[k].band[0], -1);
    }
}

QTEST_MAIN
