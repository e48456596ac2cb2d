"""CQT and chroma speed: qorva's CqtEngine and ChromaEngine against librosa and
nnAudio.

Workload: 16 signals of 10 s at 22050 Hz, float32, hop 512, fmin C1
(32.70 Hz), 84 bins, 12 per octave, "magnitude". Rows, on 1 and on 2 threads
for both sides (qorva.set_num_threads, torch.set_num_threads):
  cqt              - forward, against librosa.cqt (same filter_scale, norm 1,
                     sparsity 0.01, hann, scale) and nnAudio's CQT (CPU);
  cqt+grad         - forward and the gradient of sum(|CQT|) with respect to the
                     signals (our backward with a gradient of ones, nnAudio
                     through torch autograd);
  chroma           - ChromaEngine (12 classes from 36 bins an octave, 7 octaves)
                     against librosa.feature.chroma_cqt.
librosa is single-threaded. Ratios are peer time / qorva time: above 1 means
qorva is faster.

    python bench/cqt.py [--repeats N]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import optional, print_header, rel_l2, run_rows

import qorva

torch = optional("torch")
librosa = optional("librosa")
nnaudio_cqt = None
if torch is not None:
    try:
        from nnAudio.features.cqt import CQT as nnaudio_cqt
    except ImportError:
        pass

BATCH, SR, SECONDS = 16, 22050, 10
HOP, FMIN, N_BINS, BPO = 512, 32.70319566257483, 84, 12
THREADS = (1, 2)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    x = np.random.default_rng(0).standard_normal((BATCH, SR * SECONDS)).astype(np.float32)
    cqt = qorva.CqtEngine(SR, HOP, FMIN, N_BINS, BPO)
    chroma = qorva.ChromaEngine(SR, HOP, 36, 7, 12, FMIN)
    ones = np.ones((BATCH, N_BINS, cqt.n_frames(x.shape[1])), np.float32)

    print_header(torch, librosa)
    print(f"workload: {BATCH} x {SECONDS} s at {SR} Hz float32, hop {HOP}, fmin C1, {N_BINS} bins, {BPO} per octave, "
          f"magnitude; output {ones.shape}; nnAudio {'present' if nnaudio_cqt else 'not installed'}")

    def ours_grad():
        cqt.forward(x, "magnitude")
        return cqt.backward(ones, x, "magnitude")

    def ours_cqt():
        return cqt.forward(x, "magnitude")

    rows = {}
    if librosa is not None:
        def librosa_cqt():
            return np.abs(librosa.cqt(x, sr=SR, hop_length=HOP, fmin=FMIN, n_bins=N_BINS, bins_per_octave=BPO,
                                      filter_scale=1, norm=1, sparsity=0.01, window="hann", scale=True))

        ref = librosa_cqt()
        m = min(ref.shape[-1], ones.shape[-1])
        print(f"agreement with librosa.cqt (relative L2, frames 4..-4): "
              f"{rel_l2(ours_cqt()[..., 4:m - 4], ref[..., 4:m - 4]):.2e}")
        rows["cqt"] = (ours_cqt, "librosa", librosa_cqt)
    else:
        rows["cqt"] = (ours_cqt, None, None)
    if nnaudio_cqt is not None:
        layer = nnaudio_cqt(sr=SR, hop_length=HOP, fmin=FMIN, n_bins=N_BINS, bins_per_octave=BPO,
                            output_format="Magnitude", verbose=False)
        xt = torch.from_numpy(x)
        xg = xt.clone().requires_grad_()
        ones_t = torch.from_numpy(ones)

        def nn_grad():
            xg.grad = None
            layer(xg).backward(ones_t)
            return xg.grad

        def nn_forward():
            with torch.no_grad():
                return layer(xt)

        rows["cqt nnAudio"] = (ours_cqt, "nnAudio", nn_forward)
        rows["cqt+grad"] = (ours_grad, "nnAudio", nn_grad)
    else:
        rows["cqt+grad"] = (ours_grad, None, None)
    if librosa is not None:
        rows["chroma"] = (lambda: chroma.forward(x), "librosa", lambda: librosa.feature.chroma_cqt(
            y=x, sr=SR, hop_length=HOP, fmin=FMIN, n_chroma=12, n_octaves=7, bins_per_octave=36))
    else:
        rows["chroma"] = (lambda: chroma.forward(x), None, None)
    run_rows(rows, THREADS, args.repeats, torch)


if __name__ == "__main__":
    main()
