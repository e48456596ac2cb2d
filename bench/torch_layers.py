"""qorva.torch layers against their PyTorch peers, forward + backward.

Workload: 16 signals of 10 s at 22050 Hz, float32; each row times one
optimisation step's worth of work: the module's forward, then backward of the
sum of its output, on 1 and 2 threads for both sides. Peers: torch.stft /
torch.istft (torchaudio's Spectrogram and InverseSpectrogram run exactly these),
torchaudio.transforms.MelSpectrogram when torchaudio imports (else the same
computation written in torch), nnAudio's CQT, RMS written in torch (unfold,
mean of squares, sqrt); the other features have no torch peer and print our
time alone. Ratios are peer time / qorva
time: above 1 means qorva is faster.
Each thread count also prints an "fft floor" row: the time of 16 x 431 = 6896
float32 real FFTs of length 2048 (one per output frame) on the same threads,
with the data in cache (_native._fft_floor), the least work any framed
transform of that many frames must do. The "/floor" column is each qorva time
over it. Every row here is a forward and a backward, so two FFTs per frame is
the least for the transforms (RMS has none; the CQT and chroma run several
lengths, see bench/cqt.py).

Importing qorva.torch puts the engines on PyTorch's OpenMP threads where it
has them (see the README's PyTorch section); --own-threads keeps qorva's own.

    python bench/torch_layers.py [--repeats N] [--own-threads]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import optional, print_header, run_rows

import qorva

torch = optional("torch")
torchaudio = optional("torchaudio") if torch is not None else None

BATCH, SR, SECONDS = 16, 22050, 10
N_FFT, HOP = 2048, 512
THREADS = (1, 2)


def fwd_bwd(module, x, *args):
    """One forward + backward of sum(module(x)) (real part for complex outputs)."""
    def step():
        x.grad = None
        y = module(x, *args)
        (y.real if y.is_complex() else y).sum().backward()
        return x.grad
    return step


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--own-threads", action="store_true", help="keep the engines on qorva's own threads")
    args = parser.parse_args()
    if torch is None:
        print("torch is not installed: nothing to compare (pip install torch)")
        return
    from qorva import torch as qt
    shared = qt.share_torch_threads(not args.own_threads)

    nn_cqt = None
    try:
        from nnAudio.features.cqt import CQT as nn_cqt
    except ImportError:
        pass

    print_header(torch, torchaudio)
    x = torch.from_numpy(np.random.default_rng(0).standard_normal((BATCH, SR * SECONDS)).astype(np.float32))
    xq, xp = x.clone().requires_grad_(), x.clone().requires_grad_()
    window = torch.hann_window(N_FFT)

    def torch_stft(signal):
        return torch.stft(signal, N_FFT, HOP, window=window, center=True, pad_mode="reflect", return_complex=True)

    spec = qt.Spectrogram(n_fft=N_FFT, hop_length=HOP, power=1.0)
    rows = {"Spectrogram": (fwd_bwd(spec, xq), "torch.stft", fwd_bwd(lambda s: torch_stft(s).abs(), xp))}

    Z = torch_stft(x).detach()
    Zq, Zp = Z.clone().requires_grad_(), Z.clone().requires_grad_()
    istft = qt.InverseSpectrogram(n_fft=N_FFT, hop_length=HOP)
    rows["InverseSpectrogram"] = (
        fwd_bwd(istft, Zq, x.shape[1]), "torch.istft",
        fwd_bwd(lambda z, n: torch.istft(z, N_FFT, HOP, window=window, center=True, length=n), Zp, x.shape[1]))

    mel = qt.MelSpectrogram(sample_rate=SR, n_fft=N_FFT, hop_length=HOP, n_mels=128, norm="slaney",
                            mel_scale="slaney")
    if torchaudio is not None:
        peer_mel = torchaudio.transforms.MelSpectrogram(sample_rate=SR, n_fft=N_FFT, hop_length=HOP, n_mels=128,
                                                        norm="slaney", mel_scale="slaney")
        peer_name = "torchaudio"
    else:
        fb = torch.from_numpy(qorva.mel_filterbank(SR, N_FFT, 128, 0.0, SR / 2, "slaney", "slaney"))

        def peer_mel(signal):
            return fb @ torch_stft(signal).abs().pow(2)

        peer_name = "torch"
    rows["MelSpectrogram"] = (fwd_bwd(mel, xq), peer_name, fwd_bwd(peer_mel, xp))

    cqt = qt.CQT(sr=SR, hop_length=HOP, n_bins=84, bins_per_octave=12)
    if nn_cqt is not None:
        layer = nn_cqt(sr=SR, hop_length=HOP, fmin=qt.C1_HZ, n_bins=84, bins_per_octave=12,
                       output_format="Magnitude", verbose=False)
        rows["CQT"] = (fwd_bwd(cqt, xq), "nnAudio", fwd_bwd(layer, xp))
    else:
        rows["CQT"] = (fwd_bwd(cqt, xq), None, None)
    rows["Chroma"] = (fwd_bwd(qt.Chroma(sr=SR, hop_length=HOP), xq), None, None)

    def torch_rms(signal):
        # librosa's definition in torch: centred constant-padded frames, sqrt(mean(x^2)).
        padded = torch.nn.functional.pad(signal, (N_FFT // 2, N_FFT // 2))
        return padded.unfold(-1, N_FFT, HOP).pow(2).mean(-1).sqrt()

    rows["RMS"] = (fwd_bwd(qt.RMS(frame_length=N_FFT, hop_length=HOP), xq), "torch", fwd_bwd(torch_rms, xp))
    rows["OnsetStrength"] = (fwd_bwd(qt.OnsetStrength(sr=SR, n_fft=N_FFT, hop_length=HOP), xq), None, None)
    rows["Tempogram"] = (fwd_bwd(qt.Tempogram(sr=SR, n_fft=N_FFT, hop_length=HOP), xq), None, None)

    print(f"workload: {BATCH} x {SECONDS} s at {SR} Hz float32, forward + backward of sum(output); "
          f"n_fft {N_FFT}, hop {HOP}; 128 mels; 84 CQT bins")
    print("qorva runs on " + ("PyTorch's OpenMP threads" if shared else "its own threads"))
    frames = qorva.StftEngine(N_FFT, HOP, N_FFT, "hann", True, "reflect").n_frames(x.shape[1])
    run_rows(rows, THREADS, args.repeats, torch, floor=(N_FFT, BATCH * frames))


if __name__ == "__main__":
    main()
