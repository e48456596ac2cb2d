import glob
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import qorva

sf = pytest.importorskip("soundfile")
soxr = pytest.importorskip("soxr")
pq = pytest.importorskip("pyarrow.parquet")
from qorva import extract as ex  # noqa: E402

from conftest import run_isolated  # noqa: E402

GOOD = {"a.wav": (44100, 1, 1.3), "b.flac": (16000, 2, 0.9), "sub/c.flac": (22050, 1, 2.1)}
BAD = {"corrupt.flac": "cannot read as audio", "empty.wav": "cannot read as audio",
       "notes.wav": "cannot read as audio"}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    rng = np.random.default_rng(7)
    for name, (sr, channels, seconds) in GOOD.items():
        n = int(sr * seconds)
        t = np.arange(n) / sr
        y = 0.3 * np.sin(2 * np.pi * 330 * t)[:, None] * np.arange(1, channels + 1) + 0.05 * rng.standard_normal(
            (n, channels))
        os.makedirs(os.path.dirname(root / name), exist_ok=True)
        sf.write(root / name, y.astype(np.float32), sr)
    (root / "corrupt.flac").write_bytes((root / "b.flac").read_bytes()[:300])
    (root / "empty.wav").write_bytes(b"")
    (root / "notes.wav").write_text("not audio at all\n")
    return root


def decoded(path, sr=22050, mono=True):
    y, native = sf.read(path, dtype="float32", always_2d=True)
    if mono:
        y = y.mean(axis=1, dtype=np.float32, keepdims=True)
    return soxr.resample(y, native, sr).T[0] if mono else soxr.resample(y, native, sr).T


def same_across_processes(got, want):
    # Processes plan measured FFT sizes from the wisdom the first one saved, so another process computes the
    # same values bit for bit.
    return got.shape == want.shape and np.array_equal(got, want)


DIRECT = {
    "stft": lambda y, sr: np.abs(qorva.stft(y)), "mel": lambda y, sr: qorva.feature.melspectrogram(y=y, sr=sr),
    "mfcc": lambda y, sr: qorva.feature.mfcc(y=y, sr=sr), "cqt": lambda y, sr: np.abs(qorva.cqt(y, sr=sr)),
    "chroma": lambda y, sr: qorva.feature.chroma_cqt(y=y, sr=sr), "rms": lambda y, sr: qorva.feature.rms(y=y),
    "centroid": lambda y, sr: qorva.feature.spectral_centroid(y=y, sr=sr),
    "bandwidth": lambda y, sr: qorva.feature.spectral_bandwidth(y=y, sr=sr),
    "flatness": lambda y, sr: qorva.feature.spectral_flatness(y=y),
    "onset": lambda y, sr: qorva.onset.onset_strength(y=y, sr=sr)[..., None, :],
    "tempogram": lambda y, sr: qorva.feature.tempogram(y=y, sr=sr),
}


@pytest.mark.parametrize("mono", [True, False])
def test_local_run_equals_the_function_layer_and_records_failures(corpus, tmp_path, mono):
    features = list(DIRECT) if mono else ["mel", "mfcc", "onset"]
    summary = qorva.extract([corpus], tmp_path, features, sr=16000 if not mono else None, mono=mono, quiet=True)
    sr = 22050 if mono else 16000
    assert (summary.written, summary.skipped) == (len(GOOD), 0)
    assert sorted(summary.failed) == sorted(str(corpus / name) for name in BAD)
    table = pq.read_table(glob.glob(str(tmp_path / "part-*.parquet")))
    assert table.column_names == ["path", "sample_rate", "num_samples", *features]
    assert str(table.schema.field("mel").type) == ("list<element: list<element: float>>" if mono else
                                                    "list<element: list<element: list<element: float>>>")
    rows = {r["path"]: r for r in table.select(["path", "sample_rate", "num_samples"]).to_pylist()}
    for name in GOOD:
        path = str(corpus / name)
        y = decoded(path, sr, mono)
        assert rows[path]["sample_rate"] == sr and rows[path]["num_samples"] == y.shape[-1]
        for feature in features:
            got = qorva.read_features(tmp_path, feature)[path]
            want = DIRECT[feature](y, sr).astype(np.float32)
            assert got.shape == want.shape and np.array_equal(got, want), (name, feature)

    errors = pq.read_table(tmp_path / "errors.parquet").to_pylist()
    assert {e["path"]: e["error"].split(":")[0] for e in errors} == {str(corpus / n): m for n, m in BAD.items()}
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert manifest["counts"]["files"] == len(GOOD) and manifest["counts"]["errors"] == len(BAD)
    assert manifest["settings"]["features"]["mel"]["n_mels"] == 128


def test_features_sharing_one_mel_spectrogram_keep_their_own_parameters(corpus, tmp_path):
    band = {"n_mels": 40, "fmax": 8000.0}
    features = {"mel": band, "mfcc": {**band, "n_mfcc": 13, "lifter": 22}, "onset": {**band, "lag": 2},
                "tempogram": {"win_length": 64}}
    qorva.extract([corpus / "a.wav"], tmp_path, features, quiet=True)
    y = decoded(str(corpus / "a.wav"))
    want = {"mel": qorva.feature.melspectrogram(y=y, **band),
            "mfcc": qorva.feature.mfcc(y=y, n_mfcc=13, lifter=22, **band),
            "onset": qorva.onset.onset_strength(y=y, lag=2, **band)[None],
            "tempogram": qorva.feature.tempogram(y=y, win_length=64)}
    for name, value in want.items():
        got = qorva.read_features(tmp_path, name)[str(corpus / "a.wav")]
        assert np.array_equal(got, value.astype(np.float32)), name


def test_an_interrupted_run_is_completed_without_repeating_work(corpus, tmp_path, monkeypatch):
    files = [corpus / name for name in [*GOOD, *BAD]]
    add, added = ex.Dataset.add, []

    def add_then_interrupt(self, row):
        add(self, row)
        added.append(row.path)
        if len(added) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(ex.Dataset, "add", add_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        qorva.extract(files, tmp_path, ["rms"], part_rows=1, workers=1, quiet=True)
    monkeypatch.undo()
    assert len(glob.glob(str(tmp_path / "part-*.parquet"))) == 2
    (tmp_path / ".part-00002.parquet.tmp-1-1").write_bytes(b"half a part")

    again = qorva.extract(files, tmp_path, ["rms"], part_rows=1, quiet=True)
    assert (again.written, again.skipped, len(again.failed)) == (1, 2, len(BAD))
    assert not glob.glob(str(tmp_path / ".*.tmp-*"))
    paths = pq.read_table(glob.glob(str(tmp_path / "part-*.parquet"))).column("path").to_pylist()
    assert sorted(paths) == sorted(str(corpus / n) for n in GOOD)
    # The failed files are tried again each time; the done ones are not.
    third = qorva.extract(files, tmp_path, ["rms"], quiet=True)
    assert (third.written, third.skipped, len(third.failed)) == (0, len(GOOD), len(BAD))
    assert len(pq.read_table(tmp_path / "errors.parquet")) == len(BAD)


def test_other_settings_are_refused(corpus, tmp_path):
    qorva.extract([corpus / "a.wav"], tmp_path, {"mel": {"n_mels": 40}}, quiet=True)
    for kwargs, named in [({"features": {"mel": {"n_mels": 64}}}, "mel n_mels=40 (now 64)"),
                          ({"features": ["mel"], "sr": 16000}, "sample_rate 22050 (now 16000)"),
                          ({"features": {"mel": {"n_mels": 40}}, "mono": False}, "channels 'mono' (now 'keep')")]:
        with pytest.raises(ex.UsageError, match=named.replace("(", r"\(").replace(")", r"\)")):
            qorva.extract([corpus / "a.wav"], tmp_path, quiet=True, **kwargs)
    # The same settings, given as the function layer's defaults or through options, are accepted.
    assert qorva.extract([corpus / "a.wav"], tmp_path, ["mel"], options={"n_mels": 40}).skipped == 1


def test_command_line(corpus, tmp_path):
    good = tmp_path / "good.csv"
    good.write_text("path,label\n" + "".join(f"{corpus / n},x\n" for n in GOOD))
    config = tmp_path / "settings.toml"
    config.write_text('features = ["mfcc", "rms"]\nsr = 16000\n[mfcc]\nn_mfcc = 13\n')

    def run(*args):
        return subprocess.run([sys.executable, "-m", "qorva", "extract", *map(str, args), "--quiet"],
                              capture_output=True, text=True, timeout=120)

    ok = run(good, "--out", tmp_path / "ok", "--config", config, "--hop-length", "256", "--n-fft", "1024")
    assert ok.returncode == 0, ok.stderr
    mfcc = qorva.read_features(tmp_path / "ok", "mfcc")
    assert list(mfcc) == sorted(str(corpus / n) for n in GOOD)
    y = decoded(str(corpus / "a.wav"), 16000)
    assert same_across_processes(mfcc[str(corpus / "a.wav")],
                                 qorva.feature.mfcc(y=y, sr=16000, n_mfcc=13, n_fft=1024, hop_length=256))
    rms = qorva.read_features(tmp_path / "ok", "rms")[str(corpus / "a.wav")]
    assert np.array_equal(rms, qorva.feature.rms(y=y, frame_length=1024, hop_length=256))  # no FFT

    failed = run(corpus, "--out", tmp_path / "all", "--feature", "rms")
    assert failed.returncode == 1 and all(name in failed.stderr for name in BAD)
    usage = [run(corpus, "--out", tmp_path / "all", "--feature", "rms", "--hop-length", "128"),
             run(corpus, "--out", tmp_path / "x", "--feature", "rms", "--n-mfcc", "13"),
             run(corpus, "--out", tmp_path / "y", "--feature", "mel", "--n-mels", "0")]
    assert [p.returncode for p in usage] == [2, 2, 2]
    assert "other settings" in usage[0].stderr and "--n-mfcc applies to none" in usage[1].stderr
    if not qorva.gpu_available():
        cuda = run(corpus, "--out", tmp_path / "z", "--feature", "rms", "--device", "cuda")
        assert cuda.returncode == 2 and "--device cuda" in cuda.stderr


def test_import_qorva_stays_without_the_dataset_dependencies():
    out = run_isolated("import sys, qorva; run = qorva.extract; print(sorted(m for m in ('pyarrow', 'soundfile', "
                       "'soxr', 'ray') if m in sys.modules), callable(run))")
    assert out == "[] True"


RAY_RUN = """
import json, sys
import ray
import qorva
ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
try:
    r = qorva.extract([sys.argv[1]], sys.argv[2], sys.argv[3].split(","), mono=False, engine="ray", quiet=True)
finally:
    ray.shutdown()
print(json.dumps([r.failed, r.written]))
"""


def test_ray_engine_writes_what_the_local_engine_writes(corpus, tmp_path):
    pytest.importorskip("ray")
    features = ["mel", "mfcc", "onset"]
    local = qorva.extract([corpus], tmp_path / "local", features, mono=False, quiet=True)
    # The cluster runs in a process of its own: Ray's threads outlive ray.shutdown() and would disturb the
    # memory measurements of later tests in this one.
    out = subprocess.run([sys.executable, "-c", RAY_RUN, str(corpus), str(tmp_path / "ray"), ",".join(features)],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout.splitlines()[-1]) == [local.failed, local.written]
    assert pq.read_schema(glob.glob(str(tmp_path / "ray/part-*"))[0]) == pq.read_schema(
        glob.glob(str(tmp_path / "local/part-*"))[0])
    for feature in features:
        want, got = qorva.read_features(tmp_path / "local", feature), qorva.read_features(tmp_path / "ray", feature)
        assert list(got) == list(want)
        assert all(same_across_processes(got[path], want[path]) for path in want), feature
