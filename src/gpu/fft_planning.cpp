// Host-side planning of the GPU FFT: which lengths the Stockham kernels take,
// how many passes a length needs, and the padded length of the Bluestein
// transform.  Compiled into every build, so that the rules answer without a
// GPU.
#include <cstdint>

#include "gpu/device.hpp"
#include "gpu/fft_radix.hpp"

namespace qorva::dsp::gpu {

bool fft_length_smooth(int64_t n) {
    if (n < 4) return false;
    for (int64_t p : {2, 3, 5, 7, 11, 13}) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

// 0 for n <= 1; -1 when n has a prime factor the kernels lack.
int fft_passes(int64_t n, bool allow16) {
    if (n <= 1) return 0;
    int passes = 0;
    for (int64_t rest = n; rest > 1; ++passes) {
        const int r = fft_radix(rest, allow16);
        if (rest % r != 0) return -1;
        rest /= r;
    }
    return passes;
}

int64_t bluestein_length(int64_t n) {
    if (n < 1) return 0;
    const int64_t need = 2 * n - 1;
    int64_t pow2 = 16;
    if (need > 16) {
        pow2 = 32;
        while (pow2 < need) pow2 *= 2;
    }
    // Work of a length taken as passes x length; ties keep the earlier one.
    int64_t best = pow2;
    int64_t cost = fft_passes(pow2) * pow2;
    for (int64_t a = 1; a <= pow2; a *= 2) {
        for (int64_t b = a; b <= pow2; b *= 3) {
            for (int64_t c = b; c <= pow2; c *= 5) {
                if (c < need) continue;
                const int64_t c_cost = fft_passes(c) * c;
                if (c_cost < cost) {
                    best = c;
                    cost = c_cost;
                }
            }
        }
    }
    return best;
}

}  // namespace qorva::dsp::gpu
