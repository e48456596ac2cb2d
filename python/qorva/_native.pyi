from __future__ import annotations
import collections.abc
import numpy
import typing
__all__: list[str] = ['ChromaEngine', 'CqtEngine', 'DeltaEngine', 'IstftEngine', 'MelEngine', 'MfccEngine', 'OnsetStrengthEngine', 'RmsEngine', 'SpectralFluxEngine', 'SpectralMomentsEngine', 'StftEngine', 'TempogramEngine', 'abi_version', 'get_num_threads', 'gpu_available', 'gpu_backend', 'gpu_device_name', 'hz_to_mel', 'mel_filterbank', 'mel_to_hz', 'set_num_threads']
class StftEngine:
    """
    Short-time Fourier transform of (batch, samples) signals with an exact backward pass.
    """
    def __init__(self, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules), on `stream`.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Spectrum of y (B, L) as a (B, n_fft//2+1, frames) array: 'complex', 'magnitude', 'power' or 'db' (10*log10(max(power, 1e-10))).
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Spectrum of a CUDA tensor y (a DLPack capsule), computed on `stream`; returns a capsule.
        """
    def forward_dlpack_f64(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex = 0) -> typing.Any:
        """
        forward_dlpack for a float64 CUDA tensor, computed in double precision.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_f64_supported(self) -> bool:
        """
        Whether forward_dlpack_f64 runs for these parameters on this machine.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_staged_f16_supported(self) -> bool:
        """
        Whether forward with backend='cuda' takes float16 signals (real outputs, returned as float16).
        """
    def gpu_staged_f64_supported(self) -> bool:
        """
        Whether forward with backend='cuda' takes float64 signals (computed in double).
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class IstftEngine:
    """
    Inverse STFT by windowed overlap-add, with an exact backward pass.
    """
    def __init__(self, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool) -> None:
        ...
    def backward(self, grad: typing.Any, n_frames: typing.SupportsInt | typing.SupportsIndex, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient with respect to Z (B, n_fft//2+1, n_frames) of a loss whose gradient for forward is grad.
        """
    def backward_dlpack(self, grad: typing.Any, n_frames: typing.SupportsInt | typing.SupportsIndex, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to the spectrum for a CUDA gradient (DLPack), on `stream`.
        """
    def forward(self, Z: typing.Any, length: typing.SupportsInt | typing.SupportsIndex, backend: str = 'cpu') -> numpy.ndarray:
        """
        Signals (B, length) from complex spectra Z (B, n_fft//2+1, frames); a negative length means the natural length.
        """
    def forward_dlpack(self, Z: typing.Any, length: typing.SupportsInt | typing.SupportsIndex, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Signals from a frame-major complex CUDA spectrum (a DLPack capsule), on `stream`.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
class MelEngine:
    """
    Mel spectrogram of (batch, samples) signals with an exact backward pass.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str, n_mels: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, fmax: typing.SupportsFloat | typing.SupportsIndex, mel_scale: str, mel_norm: str) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Mel spectrogram (B, n_mels, frames) of y (B, L): 'power', 'magnitude' or 'db' (10*log10(max(mel power, 1e-10))).
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class CqtEngine:
    """
    Constant-Q (variable-Q) transform of (batch, samples) signals with an exact backward pass; octaves below the top one run on halfband-decimated signals.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, n_bins: typing.SupportsInt | typing.SupportsIndex, bins_per_octave: typing.SupportsInt | typing.SupportsIndex, gamma: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        CQT (B, n_bins, frames) of y (B, L): 'complex', 'magnitude', 'power' or 'db'.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class ChromaEngine:
    """
    Chromagram from the CQT magnitude: pitch classes summed, each frame divided by its largest class; exact backward pass.
    """
    @staticmethod
    def c1_hz() -> float:
        """
        C1 in Hz (32.703...), the default fmin.
        """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, bins_per_octave: typing.SupportsInt | typing.SupportsIndex, n_octaves: typing.SupportsInt | typing.SupportsIndex, n_chroma: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, backend: str = 'cpu') -> numpy.ndarray:
        """
        Chromagram (B, n_chroma, frames) of y (B, L).
        """
    def forward_dlpack(self, y: typing.Any, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class SpectralMomentsEngine:
    """
    Per-frame spectral statistics (centroid, bandwidth, skewness, kurtosis, flatness, slope, decrease, crest, entropy) of (batch, samples) signals with an exact backward pass.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str, features: collections.abc.Sequence[str]) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class RmsEngine:
    """
    Frame-wise root-mean-square energy of (batch, samples) signals, shape (B, 1, frames), with an exact backward pass.
    """
    def __init__(self, frame_length: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, center: bool, pad_mode: str) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class SpectralFluxEngine:
    """
    Spectral flux (norm of the rectified increase of the STFT magnitude) per frame, shape (B, 1, frames), with an exact backward pass.
    """
    def __init__(self, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class OnsetStrengthEngine:
    """
    Onset strength (mean rectified rise of the mel power in dB) per frame, shape (B, 1, frames), with an exact backward pass.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str, n_mels: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, fmax: typing.SupportsFloat | typing.SupportsIndex, mel_scale: str, mel_norm: str) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class TempogramEngine:
    """
    Autocorrelation tempogram of the onset strength, shape (B, tempo_win, frames), with an exact backward pass.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str, n_mels: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, fmax: typing.SupportsFloat | typing.SupportsIndex, mel_scale: str, mel_norm: str, tempo_win: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class MfccEngine:
    """
    Mel-frequency cepstral coefficients (orthonormal DCT-II of the dB mel power spectrogram, floored top_db below the loudest value of the call, liftered), shape (B, n_mfcc, frames), with an exact backward pass.
    """
    def __init__(self, sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, hop_length: typing.SupportsInt | typing.SupportsIndex, win_length: typing.SupportsInt | typing.SupportsIndex, window: typing.Any, center: bool, pad_mode: str, n_mels: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, fmax: typing.SupportsFloat | typing.SupportsIndex, mel_scale: str, mel_norm: str, n_mfcc: typing.SupportsInt | typing.SupportsIndex, top_db: typing.SupportsFloat | typing.SupportsIndex, lifter: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def backward(self, grad: typing.Any, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.
        """
    def backward_dlpack(self, grad: typing.Any, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.
        """
    def forward(self, y: typing.Any, output: str, backend: str = 'cpu') -> numpy.ndarray:
        """
        Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.
        """
    def forward_dlpack(self, y: typing.Any, output: str, stream: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
        """
        Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.
        """
    def gpu_resident_f16_supported(self) -> bool:
        """
        Whether the resident calls also take float16 tensors.
        """
    def gpu_resident_supported(self) -> bool:
        """
        Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.
        """
    def gpu_supported(self) -> bool:
        """
        Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).
        """
    def n_frames(self, n: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).
        """
class DeltaEngine:
    """
    Delta features: the Savitzky-Golay derivative of order `order` (polynomial degree `order`, `width` frames) along the last axis, librosa.feature.delta's definition, with the exact backward pass.
    """
    def __init__(self, width: typing.SupportsInt | typing.SupportsIndex, order: typing.SupportsInt | typing.SupportsIndex, mode: str) -> None:
        ...
    def backward(self, grad: typing.Any, backend: str = 'cpu') -> numpy.ndarray:
        """
        Gradient (..., frames) with respect to data of a loss whose gradient for forward(data) is grad.
        """
    def forward(self, data: typing.Any, backend: str = 'cpu') -> numpy.ndarray:
        """
        Deltas of data (..., frames), same shape and precision.
        """
def _cfft(x: typing.Any, inverse: bool = False, backend: str = '') -> numpy.ndarray:
    ...
def _dlpack_view(capsule: typing.Any, code: typing.SupportsInt | typing.SupportsIndex, bits: typing.SupportsInt | typing.SupportsIndex, complex: bool = False, allow_half: bool = False, consume: bool = False) -> dict:
    """
    Checks a DLPack capsule as a resident call would (element code and bits, device, rank, layout) and describes it; optionally consumes it.
    """
def _engine_backends() -> tuple:
    """
    The values an engine's `backend` argument takes in this build.
    """
def _fft_backend_for(n: typing.SupportsInt | typing.SupportsIndex, complex: bool = False, double: bool = False) -> str:
    ...
def _fft_backends() -> list:
    ...
def _fft_floor(n: typing.SupportsInt | typing.SupportsIndex, count: typing.SupportsInt | typing.SupportsIndex, transform: str = 'engine') -> None:
    ...
def _fftw_version() -> str:
    ...
def _gpu_cfft(x: typing.Any, inverse: bool = False) -> numpy.ndarray:
    ...
def _gpu_fft_available(n: typing.SupportsInt | typing.SupportsIndex) -> bool:
    ...
def _gpu_rfft(x: typing.Any) -> numpy.ndarray:
    ...
def _irfft(re: typing.Any, im: typing.Any, backend: str = '', n: typing.SupportsInt | typing.SupportsIndex = 0) -> numpy.ndarray:
    ...
def _pool_stats() -> dict:
    """
    Buffer pool counters: bytes and blocks cached idle, and blocks owned (in use or idle).
    """
def _rfft(x: typing.Any, backend: str = '') -> tuple:
    ...
def _share_openmp_threads(gomp_parallel: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Run parallel work on the team of the OpenMP runtime whose GOMP_parallel is at this address (0: on the library's own threads again).
    """
def abi_version() -> int:
    """
    Interface version of the compiled extension (the package checks it).
    """
def get_num_threads() -> int:
    """
    The requested number of parallel chunks; 0 while the choice is automatic.
    """
def gpu_available() -> bool:
    """
    Whether a CUDA GPU of compute capability 7.5 or newer is usable by this build.
    """
def gpu_backend() -> str:
    """
    The GPU backend in use: "cuda", or "none" without a usable GPU.
    """
def gpu_device_name() -> str:
    """
    The name of the GPU in use, or "" without one.
    """
def hz_to_mel(hz: typing.SupportsFloat | typing.SupportsIndex, scale: str) -> float:
    """
    Frequency in Hz to mel ('slaney' or 'htk' scale).
    """
def mel_filterbank(sr: typing.SupportsFloat | typing.SupportsIndex, n_fft: typing.SupportsInt | typing.SupportsIndex, n_mels: typing.SupportsInt | typing.SupportsIndex, fmin: typing.SupportsFloat | typing.SupportsIndex, fmax: typing.SupportsFloat | typing.SupportsIndex, scale: str, norm: str) -> numpy.ndarray:
    """
    Dense (n_mels, n_fft//2+1) float32 mel filterbank, as used by MelEngine.
    """
def mel_to_hz(mel: typing.SupportsFloat | typing.SupportsIndex, scale: str) -> float:
    """
    Mel value to Hz ('slaney' or 'htk' scale).
    """
def set_num_threads(n: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Set the number of parallel chunks CPU work is split into; 0 (or a negative value) restores the automatic choice, min(hardware threads, 16).
    """
