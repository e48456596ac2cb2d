// The mel engine's tables by bin, which its backward pass gathers through, are
// the filterbank's transpose with at most two bands a bin; the per-band
// table is the filterbank itself.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "ops/mel.hpp"

using namespace qorva::dsp::ops;

TEST_CASE("the tables by bin and by band are the filterbank and its transpose") {
    for (MelScale scale : {MelScale::slaney, MelScale::htk}) {
        const MelParams<double> p(
            MelOptions{{1024, 256, 1024, {}, true, PadMode::constant}, 16000.0, 40, 50.0, 7000.0, scale, MelNorm::slaney});
        CHECK(p.two_bands_per_bin);
        std::vector<int> seen(p.n_bins(), 0);
        for (int32_t m = 0; m < p.n_mels; ++m) {
            const auto& band = p.filterbank[m];
            CHECK(p.band_start[m] == band.start);
            CHECK(p.band_offset[m + 1] - p.band_offset[m] == static_cast<int32_t>(band.weights.size()));
            for (std::size_t j = 0; j < band.weights.size(); ++j) {
                const std::size_t k = band.start + j;
                CHECK(p.band_weights[p.band_offset[m] + j] == band.weights[j]);
                const int slot = seen[k]++;
                CHECK(slot < 2);
                CHECK((slot == 0 ? p.band0[k] : p.band1[k]) == m);
                CHECK((slot == 0 ? p.weight0[k] : p.weight1[k]) == band.weights[j]);
            }
        }
        // Missing bands point past the last one, with weight zero.
        for (int32_t k = 0; k < p.n_bins(); ++k) {
            if (seen[k] < 2) CHECK(p.band1[k] == p.n_mels && p.weight1[k] == 0.0);
            if (seen[k] < 1) CHECK(p.band0[k] == p.n_mels && p.weight0[k] == 0.0);
        }
    }
}

QTEST_MAIN
