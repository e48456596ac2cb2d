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
Each thread count also prints an "fft floor" row: the time of one float32 real
FFT of length 2048 per output frame (16 x 431 = 6896) on the same threads, with
the data in cache (_native._fft_floor), and the "/floor" column is each qorva
time over it. The CQT does not run that transform: it runs one FFT length per
octave on a signal decimated per octave, so the floor is only a reference that
puts its time on the same scale as the STFT's and mel's benchmarks.

--gpu times the resident GPU engine on 256 such signals against nnAudio's CQT
on CUDA (forward, and forward + backward of the same gradient of ones); without
nnAudio only qorva's rows are timed.

    python bench/cqt.py [--repeats N] [--gpu]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import gpu_header, median_gpu_ms, optional, print_header, rel_l2, run_gpu_rows, run_rows

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
GPU_BATCH = 256


def gpu_main(repeats: int) -> None:
    if not gpu_header(torch):
        return
    from torch.utils.dlpack import from_dlpack, to_dlpack

    x = np.random.default_rng(0).standard_normal((GPU_BATCH, SR * SECONDS)).astype(np.float32)
    cqt = qorva.CqtEngine(SR, HOP, FMIN, N_BINS, BPO)
    F = cqt.n_frames(x.shape[1])
    print(f"workload: {GPU_BATCH} x {SECONDS} s at {SR} Hz float32, hop {HOP}, fmin C1, {N_BINS} bins, {BPO} per "
          f"octave, magnitude; output ({GPU_BATCH}, {N_BINS}, {F}); nnAudio "
          f"{'on CUDA' if nnaudio_cqt else 'not installed: qorva rows only'}")
    xc = torch.from_numpy(x).cuda()
    ones = torch.ones((GPU_BATCH, N_BINS, F), device="cuda")

    def stream() -> int:
        return torch.cuda.current_stream().cuda_stream

    def ours():
        return from_dlpack(cqt.forward_dlpack(to_dlpack(xc), "magnitude", stream()))

    def ours_grad():
        ours()
        return from_dlpack(cqt.backward_dlpack(to_dlpack(ones), to_dlpack(xc), "magnitude", stream()))

    def ours_staged():
        return cqt.forward(x, "magnitude", backend="cuda")

    if nnaudio_cqt is None:
        print(f"{'row':20s} {'qorva ms':>9s}")
        for name, fn in (("resident cqt", ours), ("resident cqt+grad", ours_grad), ("staged cqt", ours_staged)):
            print(f"{name:20s} {median_gpu_ms(fn, repeats, torch):9.2f}")
        return
    layer = nnaudio_cqt(sr=SR, hop_length=HOP, fmin=FMIN, n_bins=N_BINS, bins_per_octave=BPO,
                        output_format="Magnitude", verbose=False).cuda()
    xg = xc.clone().requires_grad_()

    def peer():
        with torch.no_grad():
            return layer(xc)

    m = min(F, peer().shape[-1])
    peer_ones = torch.ones_like(peer())

    def peer_grad():
        xg.grad = None
        layer(xg).backward(peer_ones)
        return xg.grad

    print(f"agreement with nnAudio (relative L2, frames 4..{m - 4}): "
          f"{rel_l2(ours()[..., 4:m - 4].cpu(), peer()[..., 4:m - 4].cpu()):.2e}")
    run_gpu_rows([
        ("resident cqt", ours, peer),
        ("resident cqt+grad", ours_grad, peer_grad),
        ("staged cqt", ours_staged, lambda: layer(torch.from_numpy(x).cuda()).cpu().numpy()),
    ], repeats, torch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gpu", action="store_true", help="compare the GPU CQT with nnAudio on CUDA")
    args = parser.parse_args()
    if args.gpu:
        gpu_main(args.repeats)
        return

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
    run_rows(rows, THREADS, args.repeats, torch, floor=(2048, BATCH * cqt.n_frames(x.shape[1])))


if __name__ == "__main__":
    main()
