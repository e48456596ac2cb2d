"""Mel spectrogram speed: qorva's MelEngine against torchaudio and librosa.

Workload: 16 signals of 10 s at 22050 Hz, float32, n_fft 2048, hop 512, Hann
window, centred frames with reflect padding, 128 mel bands (slaney scale and
norm, 0 to 11025 Hz), "power". Rows, on 1 and on 2 threads for both sides:
  power       - forward;
  power+grad  - forward and the gradient of sum(mel) with respect to the
                signals (our backward with a gradient of ones, torch autograd);
  librosa     - librosa.feature.melspectrogram (single-threaded), when installed.
The torch peer is torchaudio.transforms.MelSpectrogram when torchaudio imports;
otherwise the same computation written in torch (torch.stft, power, the
filterbank product), which is what that transform runs. Ratios are peer time /
qorva time: above 1 means qorva is faster.
Each thread count also prints an "fft floor" row: the time of 16 x 431 = 6896
float32 real FFTs of length 2048 (one per output frame) on the same threads,
with the data in cache (_native._fft_floor), the least work any framed
transform of that many frames must do. The "/floor" column is each qorva time
over it. The "power+grad" row runs at least two FFTs per frame.

With --gpu (a CUDA GPU and PyTorch with CUDA): 256 signals of 10 s, same
parameters, resident on the device, against the same torch peer on CUDA:
  resident power      - forward, CUDA tensors in and out;
  resident power+grad - forward and the gradient of sum(mel);
  staged power        - NumPy in and out (host copies included on both sides).

    python bench/mel.py [--repeats N] [--gpu]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import gpu_header, optional, print_header, rel_l2, run_gpu_rows, run_rows

import qorva

torch = optional("torch")
torchaudio = optional("torchaudio") if torch is not None else None
librosa = optional("librosa")

BATCH, SR, SECONDS = 16, 22050, 10
N_FFT, HOP, N_MELS, FMAX = 2048, 512, 128, 11025.0
THREADS = (1, 2)
GPU_BATCH = 256


def torch_mel_module(device="cpu"):
    """The torch peer: torchaudio's transform, or its computation in plain torch."""
    if torchaudio is not None:
        return "torchaudio", torchaudio.transforms.MelSpectrogram(
            sample_rate=SR, n_fft=N_FFT, hop_length=HOP, f_min=0.0, f_max=FMAX, n_mels=N_MELS, power=2.0,
            center=True, pad_mode="reflect", norm="slaney", mel_scale="slaney").to(device)
    fb = torch.from_numpy(qorva.mel_filterbank(SR, N_FFT, N_MELS, 0.0, FMAX, "slaney", "slaney")).to(device)
    window = torch.hann_window(N_FFT, device=device)

    def mel(signal):
        spec = torch.stft(signal, N_FFT, HOP, window=window, center=True, pad_mode="reflect", return_complex=True)
        return fb @ spec.abs().pow(2)

    return "torch", mel


def gpu_main(repeats: int) -> None:
    if not gpu_header(torch):
        return
    from torch.utils.dlpack import from_dlpack, to_dlpack

    x = np.random.default_rng(0).standard_normal((GPU_BATCH, SR * SECONDS)).astype(np.float32)
    engine = qorva.MelEngine(SR, N_FFT, HOP, N_FFT, "hann", True, "reflect", N_MELS, 0.0, FMAX, "slaney", "slaney")
    F = engine.n_frames(x.shape[1])
    peer_name, mel = torch_mel_module("cuda")
    print(f"workload: {GPU_BATCH} x {SECONDS} s at {SR} Hz float32, n_fft {N_FFT}, hop {HOP}, hann, center, "
          f"reflect, {N_MELS} mels (slaney), power; output ({GPU_BATCH}, {N_MELS}, {F}); peer {peer_name} on CUDA")
    xc = torch.from_numpy(x).cuda()
    xg = xc.clone().requires_grad_()
    ones = torch.ones((GPU_BATCH, N_MELS, F), device="cuda")

    def stream() -> int:
        return torch.cuda.current_stream().cuda_stream

    def ours():
        return from_dlpack(engine.forward_dlpack(to_dlpack(xc), "power", stream()))

    def ours_grad():
        ours()
        return from_dlpack(engine.backward_dlpack(to_dlpack(ones), to_dlpack(xc), "power", stream()))

    def torch_grad():
        xg.grad = None
        mel(xg).backward(ones)
        return xg.grad

    print(f"agreement with {peer_name} (relative L2): power {rel_l2(ours().cpu(), mel(xc).cpu()):.2e}, "
          f"gradient {rel_l2(ours_grad().cpu(), torch_grad().cpu()):.2e}")
    run_gpu_rows([
        ("resident power", ours, lambda: mel(xc)),
        ("resident power+grad", ours_grad, torch_grad),
        ("staged power", lambda: engine.forward(x, "power", backend="cuda"),
         lambda: mel(torch.from_numpy(x).cuda()).cpu().numpy()),
    ], repeats, torch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--gpu", action="store_true", help="compare the GPU mel with torch on CUDA")
    args = parser.parse_args()
    if args.gpu:
        gpu_main(args.repeats)
        return

    x = np.random.default_rng(0).standard_normal((BATCH, SR * SECONDS)).astype(np.float32)
    engine = qorva.MelEngine(SR, N_FFT, HOP, N_FFT, "hann", True, "reflect", N_MELS, 0.0, FMAX, "slaney", "slaney")
    ones = np.ones((BATCH, N_MELS, engine.n_frames(x.shape[1])), np.float32)

    print_header(torch, torchaudio, librosa)
    print(f"workload: {BATCH} x {SECONDS} s at {SR} Hz float32, n_fft {N_FFT}, hop {HOP}, hann, center, "
          f"reflect, {N_MELS} mels (slaney), power; output {ones.shape}")

    def ours_grad():
        engine.forward(x, "power")
        return engine.backward(ones, x, "power")

    rows = {"power": (lambda: engine.forward(x, "power"), None, None), "power+grad": (ours_grad, None, None)}
    if torch is not None:
        peer_name, mel = torch_mel_module()
        xt = torch.from_numpy(x)
        xg = xt.clone().requires_grad_()
        ones_t = torch.from_numpy(ones)

        def torch_grad():
            xg.grad = None
            mel(xg).backward(ones_t)
            return xg.grad

        rows["power"] = (rows["power"][0], peer_name, lambda: mel(xt))
        rows["power+grad"] = (ours_grad, peer_name, torch_grad)
        print(f"agreement with {peer_name} (relative L2): power {rel_l2(engine.forward(x, 'power'), mel(xt).detach()):.2e}, "
              f"gradient {rel_l2(ours_grad(), torch_grad()):.2e}")
    else:
        print("torch is not installed: torch rows skipped")
    if librosa is not None:
        rows["librosa"] = (rows["power"][0], "librosa", lambda: librosa.feature.melspectrogram(
            y=x, sr=SR, n_fft=N_FFT, hop_length=HOP, center=True, pad_mode="reflect", power=2.0, n_mels=N_MELS,
            fmin=0.0, fmax=FMAX))
    run_rows(rows, THREADS, args.repeats, torch, floor=(N_FFT, BATCH * engine.n_frames(x.shape[1])))


if __name__ == "__main__":
    main()
