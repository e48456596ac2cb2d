// The mel engine's bin index, which its backward pass walks, is the
// filterbank's transpose with at most two bands a bin.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "ops/mel.hpp"

using namespace qorva::dsp::ops;

TEST_CASE("every bin lies in at most two bands and the bin index is their transpose") {
    for (MelScale scale : {MelScale::slaney, MelScale::htk}) {
        const MelParams<double> p(
            MelOptions{{1024, 256, 1024, {}, true, PadMode::constant}, 16000.0, 40, 50.0, 7000.0, scale, MelNorm::slaney});
        std::vector<int> seen(p.n_bins(), 0);
        for (int32_t m = 0; m < p.n_mels; ++m) {
            const auto& band = p.filterbank[m];
            for (std::size_t j = 0; j < band.weights.size(); ++j) {
                const auto& e = p.bin_index[band.start + j];
                const int slot = seen[band.start + j]++;
                CHECK(slot < 2 && e.band[slot] == m && e.weight[slot] == band.weights[j]);
            }
        }
        for (int32_t k = 0; k < p.n_bins(); ++k) CHECK(seen[k] == 2 || p.bin_index[k].band[seen[k]] == -1);
    }
}

QTEST_MAIN
