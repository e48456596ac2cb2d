"""Dataset extraction speed: `qorva extract` (local threads and Ray) against
the loop a user writes today, and against decoding alone.

Corpus: --files short FLAC files (2 to 6 s, default 300) written with
soundfile at 44100, 48000, 16000 and 22050 Hz, every third one stereo, in a
temporary folder (or --corpus DIR, reused when it exists).  Every row turns
the whole corpus into --features (default mel and mfcc) at 22050 Hz, mono:
  decode 1 thread  - soundfile.read, channel mean, soxr.resample: the floor of
                     one thread;
  decode pool      - the same on a pool of one thread per core: the floor of
                     the machine, since nothing can be faster than decoding;
  user loop        - decoding as above, then librosa.feature.<feature> per
                     file, one thread (librosa's resampler is soxr too);
  qorva local      - qorva.extract(engine="local"), Parquet written;
  qorva ray        - qorva.extract(engine="ray") on a local cluster of all the
                     cores, started before the clock (its workers' start is
                     timed).
Each row prints its wall and CPU seconds (the threads of this process; on a
busy machine CPU time shows the work apart from the waiting), audio hours per
second, its speed over the user loop, and its time over the decode floors
(1.0 would be decoding alone).

    python bench/extract.py [--files N] [--features mel,mfcc] [--no-ray] [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from common import optional, print_header

import qorva
from qorva.extract import load_audio

sf = optional("soundfile")
soxr = optional("soxr")
librosa = optional("librosa")
ray = optional("ray")


def make_corpus(folder, files):
    rng = np.random.default_rng(2024)
    os.makedirs(folder, exist_ok=True)
    rates = (44100, 48000, 16000, 22050)
    for i in range(files):
        sr, channels = rates[i % 4], 2 if i % 3 == 0 else 1
        n = int(sr * rng.uniform(2.0, 6.0))
        t = np.arange(n) / sr
        tone = 0.3 * np.sin(2 * np.pi * rng.uniform(100, 1000) * t) * np.exp(-t)
        y = tone[:, None] + 0.05 * rng.standard_normal((n, channels))
        sf.write(os.path.join(folder, f"clip{i:05d}.flac"), y.astype(np.float32), sr)


LIBROSA = {
    "mel": lambda y, sr: librosa.feature.melspectrogram(y=y, sr=sr),
    "mfcc": lambda y, sr: librosa.feature.mfcc(y=y, sr=sr),
    "stft": lambda y, sr: np.abs(librosa.stft(y)),
    "rms": lambda y, sr: librosa.feature.rms(y=y),
    "centroid": lambda y, sr: librosa.feature.spectral_centroid(y=y, sr=sr),
    "onset": lambda y, sr: librosa.onset.onset_strength(y=y, sr=sr),
    "chroma": lambda y, sr: librosa.feature.chroma_cqt(y=y, sr=sr),
}


def timed(fn, repeats):
    """Median wall seconds of fn(i) over i < repeats, with the CPU seconds of this
    process's threads in that run."""
    runs = []
    for i in range(repeats):
        start, cpu = time.perf_counter(), time.process_time()
        fn(i)
        runs.append((time.perf_counter() - start, time.process_time() - cpu))
    return sorted(runs)[len(runs) // 2]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--features", default="mel,mfcc")
    parser.add_argument("--corpus", help="folder of the corpus (made if missing; default: a temporary one)")
    parser.add_argument("--no-ray", action="store_true")
    parser.add_argument("--repeats", type=int, default=1, help="runs per row; the median is shown")
    args = parser.parse_args()
    if sf is None or soxr is None:
        raise SystemExit("needs soundfile and soxr: pip install 'qorva[extract]'")
    features = args.features.split(",")
    print_header(sf, soxr, librosa, ray)
    work = tempfile.mkdtemp(prefix="qorva-bench-extract-")
    try:
        corpus = args.corpus or os.path.join(work, "corpus")
        if not os.path.isdir(corpus):
            make_corpus(corpus, args.files)
        paths = qorva.extract.expand_inputs([corpus])
        sr = 22050
        hours = sum(load_audio(p, sr).shape[-1] for p in paths) / sr / 3600
        cores = len(os.sched_getaffinity(0))
        print(f"corpus: {len(paths)} FLAC files, {hours:.3f} h of audio at {sr} Hz; features {', '.join(features)}")

        rows = {}
        rows["decode 1 thread"] = timed(lambda i: [load_audio(p, sr) for p in paths], args.repeats)
        with ThreadPoolExecutor(cores) as pool:
            rows["decode pool"] = timed(lambda i: list(pool.map(lambda p: load_audio(p, sr), paths)), args.repeats)
        if librosa is not None and all(f in LIBROSA for f in features):
            for f in features:  # compile librosa's numba kernels before the clock
                LIBROSA[f](load_audio(paths[0], sr), sr)
            rows["user loop"] = timed(lambda i: [[LIBROSA[f](y, sr) for f in features]
                                                 for y in (load_audio(p, sr) for p in paths)], args.repeats)
        rows["qorva local"] = timed(lambda i: qorva.extract(paths, os.path.join(work, f"local{i}"), features,
                                                            quiet=True), args.repeats)
        if ray is not None and not args.no_ray:
            ray.init(num_cpus=cores, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
            rows["qorva ray"] = timed(lambda i: qorva.extract(paths, os.path.join(work, f"ray{i}"), features,
                                                              engine="ray", quiet=True), args.repeats)
            ray.shutdown()

        user = rows.get("user loop", (None,))[0]
        print(f"{'row':16s} {'s':>7s} {'cpu s':>7s} {'h audio/s':>10s} {'x user loop':>12s} {'/ decode 1':>11s} "
              f"{'/ decode pool':>14s}")
        for name, (seconds, cpu) in rows.items():
            speedup = f"{user / seconds:12.2f}" if user else f"{'-':>12s}"
            # Ray's work happens in its worker processes, outside this one's CPU time.
            cpu_text = "-" if name == "qorva ray" else f"{cpu:.2f}"
            print(f"{name:16s} {seconds:7.2f} {cpu_text:>7s} {hours / seconds:10.3f} {speedup} "
                  f"{seconds / rows['decode 1 thread'][0]:11.2f} {seconds / rows['decode pool'][0]:14.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
