// A real transform of even length n through a complex one of length n/2.
//
// The samples are read as n/2 complex values z_m = x_2m + i x_2m+1 (the real
// array as it lies in memory) and transformed by FFTW's complex DFT, whose
// codelets use the vector units fully; FFTW's own real transforms finish with
// scalar butterflies and take about twice as long in single precision.  These
// passes turn the half-length spectrum into the real one and back.  They are
// compiled per instruction set with unfused arithmetic, so every machine gets
// the same bits.
#pragma once

#include <cstdint>
#include <vector>

namespace qorva::dsp::fft {

// The twiddles both passes take for length n (even): W^k = exp(-2 pi i k / n)
// for k <= n/4, the real parts and then the imaginary parts, each twice in a
// row so that vectors load them as they pair with interleaved values.
std::vector<float> packed_real_twiddles(int32_t n);

// X holds Z_k, k < half (half = n/2), the DFT of z; on return it holds the
// real spectrum X_k, k <= half, of x (half + 1 values, unpaired bins with
// zero imaginary parts).  With E = (Z_k + conj Z_half-k)/2 and
// O = (Z_k - conj Z_half-k)/2i the spectra of the even and odd samples,
// X_k = E + W^k O and X_half-k = conj(E - W^k O).
//
// `lane_bins` is how many bins a vector step takes: -1 for the width of this
// processor's registers, else 8, 4, 2 or 0 (scalar); every width gives the same
// bits, which the tests check.
void real_spectrum_from_packed(float* X, const float* twiddles, int32_t half, int32_t lane_bins = -1);

// The reverse, up to the factor n of an unnormalised inverse: X holds the
// half + 1 bins of a real spectrum (the imaginary parts of bin 0 and bin half
// ignored); on return its first `half` values are Z such that the
// unnormalised inverse complex DFT of length half gives n (x_2m + i x_2m+1).
void packed_from_real_spectrum(float* X, const float* twiddles, int32_t half, int32_t lane_bins = -1);

}  // namespace qorva::dsp::fft
