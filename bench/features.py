"""Frame-feature speed: qorva's RMS, spectral moment, onset-strength and
tempogram engines against torch and librosa.

Workload: 16 signals of 10 s at 22050 Hz, float32; frames of 2048 samples every
512, centred, reflect padding; spectral features on a Hann-windowed STFT of
the same framing; onset strength on 128 mel bands (slaney, 0 to 11025 Hz);
tempogram over 384 envelope frames. Rows, on 1 and on 2 threads for every
library: qorva and torch through their thread settings, librosa through the
thread limit of NumPy's BLAS (threadpoolctl; its mel projections and
tempogram products are BLAS calls), so each ratio compares equal core counts:
  rms            - RmsEngine forward against torch (pad, unfold, mean of
                   squares, sqrt);
  rms+grad       - forward and the gradient of sum(rms) (our backward with a
                   gradient of ones, torch autograd);
  rms lib        - librosa.feature.rms;
  centroid, bandwidth, flatness
                 - SpectralMomentsEngine with that one feature against torch
                   (torch.stft magnitude and the statistic; for the centroid
                   torchaudio.functional.spectral_centroid when torchaudio
                   imports) and against librosa.feature.spectral_*;
  centroid+grad  - forward and the gradient of sum(centroid), torch autograd;
  onset lib      - OnsetStrengthEngine against librosa.onset.onset_strength
                   (lag 1, no maximum filter, mean over bands);
  tempogram lib  - TempogramEngine against librosa.feature.tempogram from the
                   signal (its onset strength included).
Ratios are peer time / qorva time: above 1 means qorva is faster.
Each thread count also prints an "fft floor" row: the time of 16 x 431 = 6896
float32 real FFTs of length 2048 (one per output frame) on the same threads,
with the data in cache (_native._fft_floor), the least work any framed
transform of that many frames must do. The "/floor" column is each qorva time
over it. RMS does no FFT at all, so its ratio can be below 1; the gradient rows
run at least two FFTs per frame.

--gpu compares the GPU engines (resident: CUDA tensors in and out on the
current stream) on 256 signals of 10 s with the same features written in
torch on CUDA (no library offers them there): rms, centroid, flatness, flux,
onset strength (mel power from qorva's filterbank, the dB rise averaged over
bands) and the tempogram (Hann-windowed envelope stretches, autocorrelation by
FFT, normalised at lag 0); forward, and forward + the gradient of the sum.

    python bench/features.py [--repeats N] [--gpu]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import gpu_header, optional, print_header, rel_l2, run_gpu_rows, run_rows

import qorva

torch = optional("torch")
torchaudio = optional("torchaudio") if torch is not None else None
librosa = optional("librosa")
threadpoolctl = optional("threadpoolctl")

BATCH, SR, SECONDS = 16, 22050, 10
N_FFT, HOP, N_MELS, FMAX, TEMPO_WIN = 2048, 512, 128, 11025.0, 384
THREADS = (1, 2)
GPU_BATCH = 256


def torch_peers(x):
    """Torch computations of the features, on the same frames as ours."""
    xt = torch.from_numpy(x)
    window = torch.hann_window(N_FFT)
    freqs = torch.arange(N_FFT // 2 + 1, dtype=torch.float32) * (SR / N_FFT)

    def rms(signal):
        padded = torch.nn.functional.pad(signal[:, None, :], (N_FFT // 2, N_FFT // 2), mode="reflect")[:, 0]
        return padded.unfold(-1, N_FFT, HOP).pow(2).mean(-1).sqrt()

    def magnitude(signal):
        return torch.stft(signal, N_FFT, HOP, window=window, center=True, pad_mode="reflect",
                          return_complex=True).abs()

    if torchaudio is not None:
        centroid_name = "torchaudio"

        def centroid(signal):
            return torchaudio.functional.spectral_centroid(signal, SR, 0, window, N_FFT, HOP, N_FFT)
    else:
        centroid_name = "torch"

        def centroid(signal):  # what torchaudio.functional.spectral_centroid computes
            mag = magnitude(signal)
            return (freqs[:, None] * mag).sum(-2) / mag.sum(-2)

    def bandwidth(signal):
        mag = magnitude(signal)
        total = mag.sum(-2)
        mu = (freqs[:, None] * mag).sum(-2) / total
        return (((freqs[:, None] - mu[:, None, :]) ** 2 * mag).sum(-2) / total).sqrt()

    def flatness(signal):
        power = magnitude(signal).pow(2).clamp_min(1e-10)
        return power.log().mean(-2).exp() / power.mean(-2)

    return xt, centroid_name, {"rms": rms, "centroid": centroid, "bandwidth": bandwidth, "flatness": flatness}


def same_threads(fn):
    """fn run with NumPy's BLAS limited to qorva's current thread count."""
    if threadpoolctl is None:
        return fn
    controller = threadpoolctl.ThreadpoolController()

    def run():
        with controller.limit(limits=qorva.get_num_threads(), user_api="blas"):
            return fn()

    return run


def with_grad(fn, xt):
    xg = xt.clone().requires_grad_()

    def run():
        xg.grad = None
        fn(xg).sum().backward()
        return xg.grad

    return run


def torch_cuda_peers():
    """The features written in torch on CUDA, on the same frames as ours."""
    window, hann = torch.hann_window(N_FFT, device="cuda"), torch.hann_window(TEMPO_WIN, device="cuda")
    freqs = torch.arange(N_FFT // 2 + 1, dtype=torch.float32, device="cuda") * (SR / N_FFT)
    fb = torch.from_numpy(qorva.mel_filterbank(float(SR), N_FFT, N_MELS, 0.0, FMAX, "slaney", "slaney")).cuda()
    n_ac = 1 << (2 * TEMPO_WIN - 2).bit_length()

    def mag(x):
        return torch.stft(x, N_FFT, HOP, window=window, center=True, pad_mode="reflect", return_complex=True).abs()

    def rms(x):
        padded = torch.nn.functional.pad(x[:, None, :], (N_FFT // 2, N_FFT // 2), mode="reflect")[:, 0]
        return padded.unfold(-1, N_FFT, HOP).pow(2).mean(-1).sqrt()

    def flux(x):
        rise = torch.relu(torch.diff(mag(x), dim=-1)).pow(2).sum(-2)
        return torch.nn.functional.pad(rise.clamp_min(1e-20).sqrt(), (1, 0))

    def onset(x):
        db = 10 * torch.log10((fb @ mag(x).pow(2)).clamp_min(1e-10))
        return torch.nn.functional.pad(torch.relu(torch.diff(db, dim=-1)).mean(-2), (1, 0))

    def tempogram(x):
        env = torch.nn.functional.pad(onset(x), (TEMPO_WIN // 2, TEMPO_WIN - 1 - TEMPO_WIN // 2))
        frames = env.unfold(-1, TEMPO_WIN, 1) * hann
        r = torch.fft.irfft(torch.fft.rfft(frames, n_ac).abs().pow(2), n_ac)[..., :TEMPO_WIN]
        return (r / r[..., :1].clamp_min(1e-12)).transpose(-1, -2)

    return {"rms": rms, "centroid": lambda x: (freqs[:, None] * mag(x)).sum(-2) / mag(x).sum(-2),
            "flatness": lambda x: (lambda p: p.log().mean(-2).exp() / p.mean(-2))(mag(x).pow(2).clamp_min(1e-10)),
            "flux": flux, "onset": onset, "tempogram": tempogram}


def gpu_main(repeats: int) -> None:
    if not gpu_header(torch):
        return
    from torch.utils.dlpack import from_dlpack, to_dlpack

    x = np.random.default_rng(0).standard_normal((GPU_BATCH, SR * SECONDS)).astype(np.float32)
    mel_args = (float(SR), N_FFT, HOP, N_FFT, "hann", True, "reflect", N_MELS, 0.0, FMAX, "slaney", "slaney")
    engines = {
        "rms": qorva.RmsEngine(N_FFT, HOP, True, "reflect"),
        **{name: qorva.SpectralMomentsEngine(float(SR), N_FFT, HOP, N_FFT, "hann", True, "reflect", [name])
           for name in ("centroid", "flatness")},
        "flux": qorva.SpectralFluxEngine(N_FFT, HOP, N_FFT, "hann", True, "reflect"),
        "onset": qorva.OnsetStrengthEngine(*mel_args),
        "tempogram": qorva.TempogramEngine(*mel_args, TEMPO_WIN),
    }
    print(f"workload: {GPU_BATCH} x {SECONDS} s at {SR} Hz float32, frames {N_FFT} / hop {HOP}, hann, center, "
          f"reflect; {N_MELS} mels; tempo_win {TEMPO_WIN}; peers written in torch on CUDA")
    xc = torch.from_numpy(x).cuda()
    xg = xc.clone().requires_grad_()
    peers = torch_cuda_peers()

    def stream() -> int:
        return torch.cuda.current_stream().cuda_stream

    rows = []
    for name, e in engines.items():
        peer = peers[name]

        def ours(e=e):
            return from_dlpack(e.forward_dlpack(to_dlpack(xc), "", stream()))

        def ours_grad(e=e, ours=ours):
            ones = torch.ones_like(ours())
            return from_dlpack(e.backward_dlpack(to_dlpack(ones), to_dlpack(xc), "", stream()))

        def torch_grad(peer=peer):
            xg.grad = None
            peer(xg).sum().backward()
            return xg.grad

        agree = rel_l2(ours().reshape(GPU_BATCH, -1).cpu().numpy(), peer(xc).reshape(GPU_BATCH, -1).cpu().numpy())
        print(f"agreement with torch on {name} (relative L2): {agree:.2e}, gradient "
              f"{rel_l2(ours_grad().cpu().numpy(), torch_grad().cpu().numpy()):.2e}")
        rows += [(name, ours, lambda peer=peer: peer(xc)), (name + "+grad", ours_grad, torch_grad)]
    run_gpu_rows(rows, repeats, torch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gpu", action="store_true", help="compare the GPU engines with torch on CUDA")
    args = parser.parse_args()
    if args.gpu:
        gpu_main(args.repeats)
        return

    x = np.random.default_rng(0).standard_normal((BATCH, SR * SECONDS)).astype(np.float32)
    mel_args = (float(SR), N_FFT, HOP, N_FFT, "hann", True, "reflect", N_MELS, 0.0, FMAX, "slaney", "slaney")
    engines = {
        "rms": qorva.RmsEngine(N_FFT, HOP, True, "reflect"),
        **{name: qorva.SpectralMomentsEngine(float(SR), N_FFT, HOP, N_FFT, "hann", True, "reflect", [name])
           for name in ("centroid", "bandwidth", "flatness")},
        "onset": qorva.OnsetStrengthEngine(*mel_args),
        "tempogram": qorva.TempogramEngine(*mel_args, TEMPO_WIN),
    }
    ones = {name: np.ones(e.forward(x, "").shape, np.float32) for name, e in engines.items()}
    ours = {name: (lambda e=e: e.forward(x, "")) for name, e in engines.items()}

    def ours_grad(name):
        e, g = engines[name], ones[name]

        def run():
            e.forward(x, "")
            return e.backward(g, x, "")

        return run

    print_header(torch, torchaudio, librosa)
    print(f"workload: {BATCH} x {SECONDS} s at {SR} Hz float32, frames {N_FFT} / hop {HOP}, hann, center, reflect; "
          f"{N_MELS} mels; tempo_win {TEMPO_WIN}")

    rows = {}
    grads = {name: ours_grad(name) for name in ("rms", "centroid")}
    if torch is not None:
        xt, centroid_name, peers = torch_peers(x)
        if centroid_name == "torch":
            print("torchaudio is not installed: the centroid peer is its computation written in torch "
                  "(torch.stft magnitude, sum(f * |X|) / sum(|X|))")
        for name in ("rms", "centroid", "bandwidth", "flatness"):
            peer_name = centroid_name if name == "centroid" else "torch"
            rows[name] = (ours[name], peer_name, lambda fn=peers[name]: fn(xt))
            agree = rel_l2(ours[name]()[:, 0], peers[name](xt).numpy())
            print(f"agreement with {peer_name} on {name} (relative L2): {agree:.2e}")
        for name in ("rms", "centroid"):
            rows[name + "+grad"] = (grads[name], "torch", with_grad(peers[name], xt))
            print(f"agreement with torch on the {name} gradient (relative L2): "
                  f"{rel_l2(grads[name](), with_grad(peers[name], xt)().numpy()):.2e}")
    else:
        print("torch is not installed: torch rows skipped")
        rows.update({name: (ours[name], None, None) for name in ("rms", "centroid", "bandwidth", "flatness")})
        rows.update({name + "+grad": (grads[name], None, None) for name in ("rms", "centroid")})

    if librosa is not None:
        if threadpoolctl is None:
            print("threadpoolctl is not installed: librosa's BLAS runs on all cores in every row")
        frame = dict(n_fft=N_FFT, hop_length=HOP, center=True, pad_mode="reflect")
        peers = {
            "rms": lambda: librosa.feature.rms(y=x, frame_length=N_FFT, hop_length=HOP, center=True,
                                               pad_mode="reflect"),
            "centroid": lambda: librosa.feature.spectral_centroid(y=x, sr=SR, **frame),
            "bandwidth": lambda: librosa.feature.spectral_bandwidth(y=x, sr=SR, **frame),
            "flatness": lambda: librosa.feature.spectral_flatness(y=x, amin=1e-10, **frame),
            "onset": lambda: librosa.onset.onset_strength(
                y=x, sr=SR, n_fft=N_FFT, hop_length=HOP, n_mels=N_MELS, fmax=FMAX, lag=1, max_size=1,
                detrend=False, center=False, aggregate=np.mean, pad_mode="reflect"),
            "tempogram": lambda: librosa.feature.tempogram(y=x, sr=SR, hop_length=HOP, win_length=TEMPO_WIN,
                                                           center=True),
        }
        for name, peer in peers.items():
            rows[name + " lib"] = (ours[name], "librosa", same_threads(peer))
    else:
        print("librosa is not installed: librosa rows skipped")
        rows["onset"] = (ours["onset"], None, None)
        rows["tempogram"] = (ours["tempogram"], None, None)
    frames = engines["centroid"].n_frames(x.shape[1])
    run_rows(rows, THREADS, args.repeats, torch, floor=(N_FFT, BATCH * frames))


if __name__ == "__main__":
    main()
