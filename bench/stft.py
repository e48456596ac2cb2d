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
Each thread count also prints an "fft floor" row: the time of 16 x 431 = 6896
float32 real FFTs of length 2048 (one per output frame) on the same threads,
with the data in cache (_native._fft_floor), the least work any framed
transform of that many frames must do. The "/floor" column is each qorva time
over it. The "mag+grad" row runs at least two FFTs per frame.

With --gpu (a CUDA GPU and PyTorch with CUDA): 256 signals of 10 s, same
parameters, our GPU STFT against torch.stft on the GPU:
  resident magnitude / complex / mag+grad - CUDA tensors in and out through
               DLPack on PyTorch's current stream (forward_dlpack,
               backward_dlpack), synchronised after each call;
  staged magnitude - NumPy in, NumPy out (backend="cuda"), against moving the
               batch to the GPU, torch.stft there and copying back.

    python bench/stft.py [--repeats N] [--gpu]
"""

from __future__ import annotations

import argparse

import numpy as np
from common import gpu_header, optional, print_header, rel_l2, run_gpu_rows, run_rows

import qorva

torch = optional("torch")
librosa = optional("librosa")

BATCH, SR, SECONDS = 16, 22050, 10
N_FFT, HOP = 2048, 512
THREADS = (1, 2)


GPU_BATCH = 256


def gpu_main(repeats: int) -> None:
    if not gpu_header(torch):
        return
    from torch.utils.dlpack import from_dlpack, to_dlpack

    x = np.random.default_rng(0).standard_normal((GPU_BATCH, SR * SECONDS)).astype(np.float32)
    engine = qorva.StftEngine(N_FFT, HOP, N_FFT, "hann", True, "reflect")
    F = engine.n_frames(x.shape[1])
    print(f"workload: {GPU_BATCH} x {SECONDS} s at {SR} Hz float32, n_fft {N_FFT}, hop {HOP}, hann, center, "
          f"reflect; output ({GPU_BATCH}, {N_FFT // 2 + 1}, {F})")
    xc = torch.from_numpy(x).cuda()
    xg = xc.clone().requires_grad_()
    window = torch.hann_window(N_FFT, device="cuda")
    ones = torch.ones((GPU_BATCH, N_FFT // 2 + 1, F), device="cuda")

    def stream() -> int:
        return torch.cuda.current_stream().cuda_stream

    def ours(mode):
        return from_dlpack(engine.forward_dlpack(to_dlpack(xc), mode, stream()))

    def ours_mag_grad():
        ours("magnitude")
        return from_dlpack(engine.backward_dlpack(to_dlpack(ones), to_dlpack(xc), "magnitude", stream()))

    def torch_stft(signal):
        return torch.stft(signal, N_FFT, HOP, window=window, center=True, pad_mode="reflect", return_complex=True)

    def torch_mag_grad():
        xg.grad = None
        torch_stft(xg).abs().backward(ones)
        return xg.grad

    def torch_staged():
        return torch_stft(torch.from_numpy(x).cuda()).abs().cpu().numpy()

    print(f"agreement with torch (relative L2): magnitude "
          f"{rel_l2(ours('magnitude').cpu().numpy(), torch_stft(xc).abs().cpu().numpy()):.2e}, gradient "
          f"{rel_l2(ours_mag_grad().cpu().numpy(), torch_mag_grad().cpu().numpy()):.2e}")
    rows = [
        ("resident magnitude", lambda: ours("magnitude"), lambda: torch_stft(xc).abs()),
        ("resident complex", lambda: ours("complex"), lambda: torch_stft(xc)),
        ("resident mag+grad", ours_mag_grad, torch_mag_grad),
        ("staged magnitude", lambda: engine.forward(x, "magnitude", backend="cuda"), torch_staged),
    ]
    run_gpu_rows(rows, repeats, torch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--gpu", action="store_true", help="compare the GPU STFT with torch.stft on CUDA")
    args = parser.parse_args()
    if args.gpu:
        gpu_main(args.repeats)
        return

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
    run_rows(rows, THREADS, args.repeats, torch, floor=(N_FFT, BATCH * engine.n_frames(x.shape[1])))


if __name__ == "__main__":
    main()
