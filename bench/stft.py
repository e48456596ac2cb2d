"""STFT speed: qorva's StftEngine against torch.stft and librosa.stft.

Workload: 16 signals of 10 s at 22050 Hz, float32, n_fft 2048, hop 512, Hann
window, centred frames with reflect padding. Rows, on 1 and on 2 threads for
both libraries (qorva.set_num_threads, torch.set_num_threads):
  magnitude  - forward to |STFT|;
  complex    - forward to the complex STFT;
  mag+grad   - forward to |STFT| and the gradient of sum(|STFT|) with respect
               to the signals (our backward with a gradient of ones, torch's
               autograd);
  librosa    - librosa.stft magnitude (single-threaded), when installed.
Times are medians over repeats; the ratio is peer time / qorva time, so a
ratio above 1 means qorva is faster.

    python bench/stft.py [--repeats N]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import optional, print_header, rel_l2, run_rows

import qorva

torch = optional("torch")
librosa = optional("librosa")

BATCH, SR, SECONDS = 16, 22050, 10
N_FFT, HOP = 2048, 512
THREADS = (1, 2)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    x = np.random.default_rng(0).standard_normal((BATCH, SR * SECONDS)).astype(np.float32)
    engine = qorva.StftEngine(N_FFT, HOP, N_FFT, "hann", True, "reflect")
    ones = np.ones((BATCH, N_FFT // 2 + 1, engine.n_frames(x.shape[1])), np.float32)

    print_header(torch, librosa)
    print(f"workload: {BATCH} x {SECONDS} s at {SR} Hz float32, n_fft {N_FFT}, hop {HOP}, hann, "
          f"center, reflect; output {ones.shape}")

    def ours_mag_grad():
        engine.forward(x, "magnitude")
        return engine.backward(ones, x, "magnitude")

    rows = {
        "magnitude": (lambda: engine.forward(x, "magnitude"), None, None),
        "complex": (lambda: engine.forward(x, "complex"), None, None),
        "mag+grad": (ours_mag_grad, None, None),
    }
    if torch is not None:
        xt = torch.from_numpy(x)
        xg = xt.clone().requires_grad_()
        window = torch.hann_window(N_FFT)
        ones_t = torch.from_numpy(ones)

        def torch_stft(signal):
            return torch.stft(signal, N_FFT, HOP, window=window, center=True, pad_mode="reflect",
                              return_complex=True)

        def torch_mag_grad():
            xg.grad = None
            torch_stft(xg).abs().backward(ones_t)
            return xg.grad

        rows["magnitude"] = (rows["magnitude"][0], "torch", lambda: torch_stft(xt).abs())
        rows["complex"] = (rows["complex"][0], "torch", lambda: torch_stft(xt))
        rows["mag+grad"] = (ours_mag_grad, "torch", torch_mag_grad)
        print(f"agreement with torch (relative L2): "
              f"magnitude {rel_l2(engine.forward(x, 'magnitude'), torch_stft(xt).abs()):.2e}, "
              f"gradient {rel_l2(ours_mag_grad(), torch_mag_grad()):.2e}")
    else:
        print("torch is not installed: torch rows skipped")
    if librosa is not None:
        rows["librosa"] = (rows["magnitude"][0], "librosa", lambda: np.abs(
            librosa.stft(x, n_fft=N_FFT, hop_length=HOP, window="hann", center=True, pad_mode="reflect")))
    run_rows(rows, THREADS, args.repeats, torch)


if __name__ == "__main__":
    main()
