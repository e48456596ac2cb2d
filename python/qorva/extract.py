"""Features of whole datasets: ``qorva extract`` and ``qorva.extract``.

Every input file is decoded (soundfile), mixed down to mono unless channels
are kept, resampled to one rate (soxr) and run through the function layer
(``qorva.feature``, ``qorva.onset``, ``qorva.stft``, ``qorva.cqt``), so a
stored feature is exactly what the corresponding function returns for that
audio.  The result is a Parquet dataset::

    DIR/part-00000.parquet ...   one row per file: path, sample_rate, num_samples
                                 and one nested-list float32 column per feature
    DIR/errors.parquet           path, error: the inputs that could not be done
    DIR/manifest.json            settings, qorva version, counts

Parts are written under a temporary name and renamed, so a dataset never
holds half a part; a later run with the same settings skips the files already
in a part and retries the failed ones, and one with other settings is
refused.  ``qorva.read_features(DIR, name)`` reads a feature back as arrays.

Only NumPy is imported with this module; soundfile, soxr, pyarrow and Ray
are imported by the code that uses them (``pip install 'qorva[extract]'``,
``'qorva[ray]'`` for the Ray engine).
"""

from __future__ import annotations

import argparse
import csv
import glob
import inspect
import json
import logging
import math
import os
import pickle
import queue
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from . import __version__, core, feature, onset
from ._common import power_to_db, use_backend

DEFAULT_SR = 22050
FORMAT_VERSION = 1
MANIFEST = "manifest.json"
ERRORS = "errors.parquet"
PART_GLOB = "part-*.parquet"
MANIFEST_SUFFIXES = (".txt", ".csv", ".lst", ".list")


class UsageError(Exception):
    """A problem with the request itself (arguments, settings, output folder), reported in one line."""


# --- features ------------------------------------------------------------------

@dataclass(frozen=True)
class FeatureKind:
    name: str
    compute: Callable  # (y, sr, **params) -> (..., bins, frames)
    params: dict       # the parameters one may set, with the function layer's defaults
    title: str


def _defaults(func, names, fallback=None):
    """The defaults of ``names`` in func's signature (or, for its **kwargs, in fallback's)."""
    out = {}
    for name in names:
        for f in (func, fallback):
            p = inspect.signature(f).parameters.get(name) if f is not None else None
            if p is not None and p.default is not inspect.Parameter.empty:
                out[name] = p.default
                break
        else:
            raise AssertionError(f"{func.__name__} has no default for {name}")
    return out


_FRAMES = ("n_fft", "hop_length", "win_length", "window", "center", "pad_mode")
_MEL = ("n_mels", "fmin", "fmax", "htk")


def _kinds() -> dict[str, FeatureKind]:
    f = feature
    table = [
        ("stft", "STFT magnitude, |qorva.stft(y)|", lambda y, sr, **kw: np.abs(core.stft(y, **kw)),
         core.stft, _FRAMES, None),
        ("mel", "mel power spectrogram, qorva.feature.melspectrogram",
         lambda y, sr, **kw: f.melspectrogram(y=y, sr=sr, **kw), f.melspectrogram, _FRAMES + _MEL + ("power",),
         None),
        ("mfcc", "MFCC, qorva.feature.mfcc", lambda y, sr, **kw: f.mfcc(y=y, sr=sr, **kw), f.mfcc,
         _FRAMES + _MEL + ("n_mfcc", "dct_type", "lifter", "power"), None),
        ("cqt", "CQT magnitude, |qorva.cqt(y)|", lambda y, sr, **kw: np.abs(core.cqt(y, sr=sr, **kw)), core.cqt,
         ("hop_length", "fmin", "n_bins", "bins_per_octave", "tuning", "filter_scale", "window", "pad_mode"),
         None),
        ("chroma", "chromagram, qorva.feature.chroma_cqt", lambda y, sr, **kw: f.chroma_cqt(y=y, sr=sr, **kw),
         f.chroma_cqt, ("hop_length", "fmin", "threshold", "tuning", "n_chroma", "n_octaves", "bins_per_octave"),
         None),
        ("rms", "frame RMS, qorva.feature.rms", lambda y, sr, **kw: f.rms(y=y, **kw), f.rms,
         ("frame_length", "hop_length", "center", "pad_mode"), None),
        ("centroid", "spectral centroid, qorva.feature.spectral_centroid",
         lambda y, sr, **kw: f.spectral_centroid(y=y, sr=sr, **kw), f.spectral_centroid, _FRAMES, None),
        ("bandwidth", "spectral bandwidth, qorva.feature.spectral_bandwidth",
         lambda y, sr, **kw: f.spectral_bandwidth(y=y, sr=sr, **kw), f.spectral_bandwidth, _FRAMES + ("p",),
         None),
        ("flatness", "spectral flatness, qorva.feature.spectral_flatness",
         lambda y, sr, **kw: f.spectral_flatness(y=y, **kw), f.spectral_flatness, _FRAMES + ("amin", "power"),
         None),
        # One value per frame: stored as a single row, like the other per-frame features.
        ("onset", "onset strength, qorva.onset.onset_strength",
         lambda y, sr, **kw: onset.onset_strength(y=y, sr=sr, **kw)[..., None, :], onset.onset_strength,
         ("n_fft", "hop_length", "win_length", "window", "lag", "max_size", "detrend", "center") + _MEL,
         f.melspectrogram),
        ("tempogram", "tempogram, qorva.feature.tempogram", lambda y, sr, **kw: f.tempogram(y=y, sr=sr, **kw),
         f.tempogram, ("hop_length", "win_length", "center"), None),
    ]
    return {name: FeatureKind(name, compute, _defaults(func, params, fallback), title)
            for name, title, compute, func, params, fallback in table}


FEATURES = _kinds()

# Command-line options that set a parameter of every chosen feature that has
# it; a feature may know the value under another name (the RMS frame is the
# FFT length, as in `qorva show`) or not take it at all.
OPTIONS = {
    "n_fft": ("--n-fft", int, {"rms": "frame_length"}),
    "hop_length": ("--hop-length", int, {}),
    "win_length": ("--win-length", int, {"tempogram": None}),
    "window": ("--window", str, {}),
    "n_mels": ("--n-mels", int, {}),
    "n_mfcc": ("--n-mfcc", int, {}),
    "fmin": ("--fmin", float, {}),
    "fmax": ("--fmax", float, {}),
    "n_bins": ("--n-bins", int, {}),
    "bins_per_octave": ("--bins-per-octave", int, {}),
    "tempo_win": ("--tempo-win", int, {"tempogram": "win_length"}),
}


def _option_target(option, kind):
    renames = OPTIONS[option][2]
    name = renames.get(kind.name, option)
    return name if name in kind.params else None


@dataclass(frozen=True)
class Chosen:
    """One chosen feature: its kind and the parameters given (the rest are the function's defaults)."""

    name: str
    given: dict

    @property
    def kind(self) -> FeatureKind:
        return FEATURES[self.name]

    def resolved(self) -> dict:
        return {**self.kind.params, **self.given}

    def compute(self, y, sr):
        out = self.kind.compute(y, sr, **self.given)
        return np.ascontiguousarray(out, dtype=np.float32)


def _check_params(name, params):
    kind = FEATURES[name]
    unknown = sorted(set(params) - set(kind.params))
    if unknown:
        raise UsageError(f"feature {name} has no parameter {', '.join(unknown)}; "
                         f"it takes {', '.join(kind.params)}")
    for key, value in params.items():
        if not (value is None or isinstance(value, (bool, int, float, str))):
            raise UsageError(f"feature {name}: {key}={value!r} must be a number, a string, a boolean or None")


def load_config(path) -> dict:
    """A TOML file of settings: ``sr``, ``mono``, ``features`` (a list of names) and a
    table per feature with its parameters, e.g. ``[mel]`` ``n_mels = 64``."""
    try:
        import tomllib
    except ImportError:  # Python 3.10
        try:
            import tomli as tomllib
        except ImportError:
            raise UsageError("reading a TOML config on Python 3.10 needs tomli: pip install tomli") from None
    try:
        with open(path, "rb") as f:
            config = tomllib.load(f)
    except OSError as e:
        raise UsageError(f"cannot read config {path}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise UsageError(f"config {path} is not valid TOML: {e}") from None
    allowed = {"sr", "mono", "features", *FEATURES}
    unknown = sorted(set(config) - allowed)
    if unknown:
        raise UsageError(f"config {path}: unknown key {', '.join(unknown)}; it takes sr, mono, features and "
                         f"a table per feature ({', '.join(FEATURES)})")
    for name in FEATURES:
        if name in config and not isinstance(config[name], dict):
            raise UsageError(f"config {path}: {name} must be a table of parameters ([{name}])")
    return config


def resolve_features(features, config=None, options=None) -> list[Chosen]:
    """The chosen features in order, each with its parameters: the config file's
    table for it, overridden by the command-line options that apply to it."""
    config = config or {}
    options = {k: v for k, v in (options or {}).items() if v is not None}
    if features is None:
        features = config.get("features")
    if not features:
        raise UsageError(f"no feature chosen: give --feature NAME (one of {', '.join(FEATURES)})")
    if isinstance(features, dict):
        items = [(name, dict(params or {})) for name, params in features.items()]
    elif isinstance(features, str):
        items = [(features, {})]
    else:
        items = [(name, {}) for name in features]
    chosen, seen = [], set()
    for name, params in items:
        if name not in FEATURES:
            raise UsageError(f"unknown feature {name!r}; choose from {', '.join(FEATURES)}")
        if name in seen:
            raise UsageError(f"feature {name} is chosen twice")
        seen.add(name)
        params = {**config.get(name, {}), **params}
        for option, value in options.items():
            target = _option_target(option, FEATURES[name])
            if target is not None:
                params[target] = value
        _check_params(name, params)
        chosen.append(Chosen(name, params))
    for option in options:
        if not any(_option_target(option, FEATURES[s.name]) for s in chosen):
            raise UsageError(f"{OPTIONS[option][0]} applies to none of the chosen features "
                             f"({', '.join(s.name for s in chosen)})")
    return chosen


# --- inputs ----------------------------------------------------------------------

def audio_extensions() -> set[str]:
    import soundfile as sf
    # Headerless RAW needs its format spelled out, so .raw files are not searched for.
    exts = {fmt.lower() for fmt in sf.available_formats()} - {"raw"}
    # Extensions that name a format soundfile reads under another name.
    exts |= {"aif", "aiff", "aifc", "opus", "oga", "snd"}
    return {"." + e for e in exts}


def _read_manifest(path) -> list[str]:
    base = os.path.dirname(os.path.abspath(path))
    try:
        with open(path, newline="", encoding="utf-8") as f:
            if path.lower().endswith(".csv"):
                rows = [row for row in csv.reader(f) if row and row[0].strip()]
                column = 0
                if rows:
                    header = [cell.strip().lower() for cell in rows[0]]
                    if "path" in header:
                        column = header.index("path")
                        rows = rows[1:]
                names = [row[column].strip() for row in rows if len(row) > column]
            else:
                names = [line.strip() for line in f]
                names = [n for n in names if n and not n.startswith("#")]
    except (OSError, UnicodeDecodeError) as e:
        raise UsageError(f"cannot read the list of files {path}: {getattr(e, 'strerror', None) or e}") from None
    return [n if os.path.isabs(n) else os.path.join(base, n) for n in names]


def expand_inputs(inputs) -> list[str]:
    """Absolute paths of the audio files named by ``inputs`` (files, folders searched
    recursively for audio extensions, and .txt/.csv lists of paths), each once, in order."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    exts = None
    out, seen = [], set()

    def add(p):
        p = os.path.abspath(p)
        if p not in seen:
            seen.add(p)
            out.append(p)

    for item in inputs:
        item = os.fspath(item)
        if os.path.isdir(item):
            exts = exts or audio_extensions()
            found = []
            for root, dirs, files in os.walk(item):
                dirs.sort()
                found.extend(os.path.join(root, name) for name in sorted(files)
                             if os.path.splitext(name)[1].lower() in exts)
            for p in found:
                add(p)
        elif item.lower().endswith(MANIFEST_SUFFIXES) and os.path.isfile(item):
            for p in _read_manifest(item):
                add(p)
        else:
            # Anything else is taken as audio; what cannot be read is recorded as an error.
            add(item)
    return out


def load_audio(path, sr, mono=True) -> np.ndarray:
    """Decoded float32 audio at ``sr``: (n,) mixed down to mono (channels averaged),
    or (channels, n).  Resampled with soxr's default (high) quality."""
    import soundfile as sf
    import soxr

    data, native_sr = sf.read(path, dtype="float32", always_2d=True)
    if data.shape[0] == 0:
        raise ValueError("the file holds no samples")
    if mono and data.shape[1] > 1:
        data = data.mean(axis=1, dtype=np.float32, keepdims=True)
    if native_sr != sr:
        data = soxr.resample(data, native_sr, sr)
        if data.shape[0] == 0:
            raise ValueError(f"too short to resample from {native_sr} Hz to {sr} Hz")
    y = np.ascontiguousarray(data.T)
    return y[0] if mono else y


# --- settings and the output folder ---------------------------------------------

def _jsonable(value):
    # inf and nan are not JSON: stored as their repr, which compares equal run to run.
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value


def make_settings(chosen, sr, mono, device) -> dict:
    return {
        "sample_rate": int(sr),
        "channels": "mono" if mono else "keep",
        "device": device,
        "features": {s.name: {k: _jsonable(v) for k, v in s.resolved().items()} for s in chosen},
    }


def _settings_difference(old, new) -> list[str]:
    diffs = []
    for key in ("sample_rate", "channels", "device"):
        if old.get(key) != new.get(key):
            diffs.append(f"{key} {old.get(key)!r} (now {new.get(key)!r})")
    of, nf = old.get("features", {}), new.get("features", {})
    if set(of) != set(nf):
        diffs.append(f"features {', '.join(of)} (now {', '.join(nf)})")
    else:
        for name in of:
            for key in sorted(set(of[name]) | set(nf[name])):
                if of[name].get(key) != nf[name].get(key):
                    diffs.append(f"{name} {key}={of[name].get(key)!r} (now {nf[name].get(key)!r})")
    return diffs


def _atomic_write(path, write):
    """write(tmp_path), then rename over path: readers see the old file or the whole new one."""
    folder, name = os.path.split(path)
    tmp = os.path.join(folder, f".{name}.tmp-{os.getpid()}-{threading.get_ident()}")
    try:
        write(tmp)
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _write_json(path, data):
    def write(tmp):
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2)
            f.write("\n")
    _atomic_write(path, write)


def _part_paths(out) -> list[str]:
    return sorted(glob.glob(os.path.join(out, PART_GLOB)))


def _part_index(path) -> int:
    return int(os.path.basename(path)[len("part-"):-len(".parquet")])


def _schema(columns, mono):
    import pyarrow as pa
    nested = pa.list_(pa.list_(pa.float32()))
    if not mono:
        nested = pa.list_(nested)
    return pa.schema([("path", pa.string()), ("sample_rate", pa.int32()), ("num_samples", pa.int64()),
                      *[(name, nested) for name in columns]])


# Columns are built from their buffers: pa.array() would first look for
# pandas objects, and importing pandas (there whenever Ray is) costs half a
# second, as much as decoding a hundred short files.
def _numeric_array(values, dtype):
    import pyarrow as pa
    values = np.ascontiguousarray(values, dtype=dtype)
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, pa.py_buffer(values)])


def _stored(path):
    """A path as a Parquet string holds it: file names that are not UTF-8 escaped."""
    return path.encode("utf-8", "backslashreplace").decode("utf-8")


def _string_array(strings):
    import pyarrow as pa
    data = [s.encode("utf-8", "backslashreplace") for s in strings]
    offsets = np.zeros(len(data) + 1, dtype=np.int32)
    np.cumsum([len(b) for b in data], out=offsets[1:])
    return pa.Array.from_buffers(pa.string(), len(data), [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(data))])


def _nested_array(arrays, ndim):
    """Arrays of one rank as an Arrow list-of-lists column, the last axis innermost."""
    import pyarrow as pa
    flat = [np.ascontiguousarray(a, dtype=np.float32).reshape(-1) for a in arrays]
    result = _numeric_array(np.concatenate(flat) if flat else np.empty(0, np.float32), np.float32)
    shapes = np.array([a.shape for a in arrays], dtype=np.int64).reshape(len(arrays), ndim)
    # Level k holds, per array, prod(shape[:k]) lists of shape[k] elements each.
    for axis in reversed(range(ndim)):
        lengths = np.repeat(shapes[:, axis], np.prod(shapes[:, :axis], axis=1))
        offsets = np.zeros(len(lengths) + 1, dtype=np.int32)
        np.cumsum(lengths, out=offsets[1:])
        result = pa.ListArray.from_arrays(_numeric_array(offsets, np.int32), result)
    return result


def _lock_folder(out):
    """Holds DIR/.lock for the run: a second run into the same folder would
    remove the first one's temporary files and number its parts the same."""
    try:
        import fcntl
    except ImportError:  # not POSIX: runs are not guarded against each other
        return None
    f = open(os.path.join(out, ".lock"), "w")
    try:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        f.close()
        raise UsageError(f"another qorva extract is writing {out}") from None
    return f


@dataclass
class Row:
    path: str
    sample_rate: int
    num_samples: int
    features: dict  # name -> float32 array (bins, frames) or (channels, bins, frames)


class Dataset:
    """The output folder: checks and records settings, knows what is done, writes parts and errors."""

    def __init__(self, out, settings, part_rows=256, part_bytes=128 << 20):
        self.out = os.fspath(out)
        self.part_rows, self.part_bytes = part_rows, part_bytes
        os.makedirs(self.out, exist_ok=True)
        self._lock = _lock_folder(self.out)
        try:
            self._open(settings)
        except BaseException:
            if self._lock is not None:
                self._lock.close()
            raise

    def _open(self, settings):
        import pyarrow.parquet as pq

        manifest_path = os.path.join(self.out, MANIFEST)
        self.manifest = None
        if os.path.exists(manifest_path):
            try:
                with open(manifest_path, encoding="utf-8") as f:
                    self.manifest = json.load(f)
                old = self.manifest["settings"]
            except (OSError, ValueError, KeyError, TypeError) as e:
                raise UsageError(f"{manifest_path} cannot be read ({e}); choose another --out") from None
            diffs = _settings_difference(old, settings)
            if diffs:
                raise UsageError(f"{self.out} holds features made with other settings: {'; '.join(diffs)}. "
                                 "Run with the same settings to complete it, or choose another --out")
            settings = old  # its feature order gives the column order
        elif _part_paths(self.out):
            raise UsageError(f"{self.out} holds part files but no {MANIFEST}; choose another --out")
        self.settings = settings
        self.columns = list(settings["features"])
        self.schema = _schema(self.columns, settings["channels"] == "mono")

        # Leftovers of an interrupted write: never part of the dataset.
        for tmp in glob.glob(os.path.join(self.out, ".*.tmp-*")):
            os.unlink(tmp)
        self.done: set[str] = set()
        self.audio_samples = 0
        parts = _part_paths(self.out)
        for part in parts:
            try:
                table = pq.read_table(part, columns=["path", "num_samples"])
            except Exception as e:
                raise UsageError(f"{part} cannot be read ({e}); remove it to compute its files again") from None
            self.done.update(table.column("path").to_pylist())
            self.audio_samples += int(np.sum(table.column("num_samples").to_numpy()))
        self.next_part = 1 + max((_part_index(p) for p in parts), default=-1)
        self.old_errors: dict[str, str] = {}
        errors_path = os.path.join(self.out, ERRORS)
        if os.path.exists(errors_path):
            table = pq.read_table(errors_path)
            self.old_errors = dict(zip(table.column("path").to_pylist(), table.column("error").to_pylist()))
        self.errors: dict[str, str] = {}
        self.attempted: set[str] = set()
        self.written = 0
        self._rows: list[Row] = []
        self._bytes = 0
        self._writer = None
        self._writing = None
        self._write_manifest()

    def pending(self, paths) -> list[str]:
        return [p for p in paths if p not in self.done]

    def add(self, row: Row):
        self.attempted.add(row.path)
        self._rows.append(row)
        self._bytes += sum(a.nbytes for a in row.features.values())
        if len(self._rows) >= self.part_rows or self._bytes >= self.part_bytes:
            self.flush()

    def fail(self, path, error):
        self.attempted.add(path)
        self.errors[path] = error

    def flush(self):
        """Hands the buffered rows to the writer thread as the next part.

        Encoding Parquet's nested lists costs about as much as computing the
        features, so it runs beside the workers; one part at most waits, to
        bound the memory the rows hold."""
        if not self._rows:
            return
        import pyarrow as pa

        rows, self._rows, self._bytes = self._rows, [], 0
        ndim = 2 if self.settings["channels"] == "mono" else 3
        columns = [_string_array([r.path for r in rows]),
                   _numeric_array([r.sample_rate for r in rows], np.int32),
                   _numeric_array([r.num_samples for r in rows], np.int64)]
        columns += [_nested_array([r.features[name] for r in rows], ndim) for name in self.columns]
        table = pa.Table.from_arrays(columns, schema=self.schema)
        path = os.path.join(self.out, f"part-{self.next_part:05d}.parquet")
        self.next_part += 1
        self._wait_for_writer()
        if self._writer is None:
            self._writer = ThreadPoolExecutor(1, thread_name_prefix="qorva-write")
        self._writing = (self._writer.submit(self._write_part, table, path), rows)

    @staticmethod
    def _write_part(table, path):
        import pyarrow.parquet as pq
        # Dictionaries do not pay on float arrays: they are tried, then dropped.
        _atomic_write(path, lambda tmp: pq.write_table(table, tmp, use_dictionary=["path"]))

    def _wait_for_writer(self):
        if self._writing is None:
            return
        future, rows = self._writing
        self._writing = None
        future.result()
        self.written += len(rows)
        self.done.update(r.path for r in rows)
        self.audio_samples += sum(r.num_samples for r in rows)

    def finish(self):
        """Writes what is buffered, errors.parquet and the manifest's counts."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        try:
            self.flush()
            self._wait_for_writer()
        finally:
            if self._writer is not None:
                self._writer.shutdown()
                self._writer = None
        attempted = {_stored(p) for p in self.attempted}
        errors = {p: e for p, e in self.old_errors.items() if p not in attempted}
        errors.update({_stored(p): e for p, e in self.errors.items()})
        errors = {p: e for p, e in errors.items() if p not in self.done}
        table = pa.Table.from_arrays([_string_array(errors), _string_array(errors.values())],
                                     names=["path", "error"])
        _atomic_write(os.path.join(self.out, ERRORS), lambda tmp: pq.write_table(table, tmp))
        self.all_errors = errors
        self._write_manifest()
        if self._lock is not None:
            self._lock.close()
            self._lock = None

    def _write_manifest(self):
        _write_json(os.path.join(self.out, MANIFEST), {
            "format": FORMAT_VERSION,
            "qorva_version": __version__,
            "settings": self.settings,
            "columns": ["path", "sample_rate", "num_samples", *self.columns],
            "counts": {
                "files": len(self.done),
                "errors": len(getattr(self, "all_errors", self.old_errors)),
                "parts": len(_part_paths(self.out)),
                "audio_hours": self.audio_samples / self.settings["sample_rate"] / 3600.0,
            },
            "updated": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        })


# --- per-file work (shared by the local and the Ray engines) -----------------------

class FileError(Exception):
    pass


def decode(path, sr, mono):
    if _stored(path) != path:
        # Its row could not name it, so a later run could not know it is done.
        raise FileError("the file name is not UTF-8, which the dataset's path column needs; rename it")
    try:
        return load_audio(path, sr, mono)
    except Exception as e:  # soundfile raises LibsndfileError, TypeError or OSError for bad files
        raise FileError(f"cannot read as audio: {e}") from None


# mel, mfcc, onset and tempogram all start from a mel power spectrogram.
# When several are chosen on the same mel parameters it is computed once per
# file, and each finishes with the steps its function runs after its own
# melspectrogram call, so the values stay those of the function bit for bit.
_MEL_ARGS = ("n_fft", "hop_length", "win_length", "window", "center", "pad_mode", "power", "n_mels", "fmin",
             "fmax", "htk")


def _mel_args(choice, sr):
    """The melspectrogram arguments behind ``choice``, or None for features without one."""
    p = choice.resolved()
    mel_defaults = FEATURES["mel"].params
    if choice.name in ("mel", "mfcc"):
        args = {k: p[k] for k in _MEL_ARGS}
    elif choice.name == "onset":
        # onset_strength hands its frame and band arguments on, but not its centring.
        args = {**mel_defaults, **{k: p[k] for k in _MEL_ARGS if k in p and k != "center"}}
    elif choice.name == "tempogram":
        args = {**mel_defaults, "hop_length": p["hop_length"]}
    else:
        return None
    # melspectrogram and onset_strength both turn a missing fmax into sr / 2.
    if args["fmax"] is None:
        args["fmax"] = float(sr) / 2
    return tuple(sorted(args.items()))


def _from_mel(choice, M, sr):
    own = lambda *names: {k: v for k, v in choice.given.items() if k in names}  # noqa: E731
    if choice.name == "mel":
        return M
    if choice.name == "mfcc":
        return feature.mfcc(S=power_to_db(M), **own("n_mfcc", "dct_type", "lifter"))
    env = onset.onset_strength(S=power_to_db(np.abs(M)), sr=sr,
                               **own("n_fft", "hop_length", "lag", "max_size", "detrend", "center"))
    if choice.name == "onset":
        return env[..., None, :]
    return feature.tempogram(onset_envelope=env, sr=sr, **choice.given)


def compute(y, sr, chosen, device="cpu") -> dict:
    out, mels = {}, {}
    with use_backend(device):
        for choice in chosen:
            try:
                key = _mel_args(choice, sr)
                if key is None:
                    out[choice.name] = choice.compute(y, sr)
                    continue
                if key not in mels:
                    mels[key] = feature.melspectrogram(y=y, sr=sr, **dict(key))
                out[choice.name] = np.ascontiguousarray(_from_mel(choice, mels[key], sr), dtype=np.float32)
            except Exception as e:
                raise FileError(f"{choice.name} failed: {e}") from None
    return out


def check_features(chosen, sr, mono, device):
    """Runs each feature on a second of noise, so that bad parameters or a missing
    GPU backend stop the run before any file instead of failing every file."""
    if device == "cuda":
        from . import _native
        if not _native.gpu_available():
            reason = ("this build of qorva has no GPU backend" if _native.gpu_backend() == "none"
                      else "no CUDA device is available")
            raise UsageError(f"--device cuda: {reason}; run with --device cpu")
    y = np.random.default_rng(0).standard_normal(sr if mono else (2, sr)).astype(np.float32) * 0.1
    for choice in chosen:
        try:
            with use_backend(device):
                choice.compute(y, sr)
        except (ValueError, TypeError) as e:
            raise UsageError(f"feature {choice.name}: {e}") from None


# --- progress ------------------------------------------------------------------------

class Progress:
    """One line on stderr: files, audio hours, hours per second, ETA; only on a terminal."""

    def __init__(self, total, sr, enabled, stream=None):
        self.stream = stream or sys.stderr
        self.quiet = not enabled
        self.enabled = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self.total, self.sr = total, sr
        self.files = self.samples = 0
        self.start = self.last = time.monotonic()

    def update(self, files=1, samples=0):
        self.files += files
        self.samples += samples
        now = time.monotonic()
        if self.enabled and (now - self.last > 0.2 or self.files == self.total):
            self.last = now
            self._draw(now)

    def _draw(self, now):
        elapsed = max(now - self.start, 1e-9)
        hours = self.samples / self.sr / 3600
        eta = (self.total - self.files) * elapsed / self.files if self.files else float("nan")
        eta_text = time.strftime("%H:%M:%S", time.gmtime(eta)) if math.isfinite(eta) else "--:--:--"
        self.stream.write(f"\r{self.files}/{self.total} files, {hours:.3f} h audio, {hours / elapsed:.3f} h/s, "
                          f"ETA {eta_text} ")
        self.stream.flush()

    def close(self):
        if self.enabled and self.total:
            self._draw(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()


# --- engines ---------------------------------------------------------------------------

def _cpu_count():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _run_local(paths, chosen, sr, mono, device, workers, dataset, progress):
    """Decoder threads feed a bounded queue of decoded audio to ``workers`` compute
    threads; soundfile, soxr and the engines release the GIL, so they overlap."""
    from . import get_num_threads, set_num_threads

    cores = _cpu_count()
    workers = workers or max(1, cores // 2)
    # Decoding and resampling usually cost more than the features, and a
    # decoder blocked on a full queue costs nothing: one decoder per core.
    decoders = cores
    # The engines parallelise a call over its frames; split the cores between the workers.
    saved_threads = get_num_threads()
    set_num_threads(max(1, cores // workers))
    stop = threading.Event()
    decoded: queue.Queue = queue.Queue(maxsize=2 * workers)
    results: queue.Queue = queue.Queue()

    def put(q, item):
        while not stop.is_set():
            try:
                q.put(item, timeout=0.1)
                return
            except queue.Full:
                pass

    def feed(pool):
        # Submitting in order through the bounded queue keeps at most about
        # 2 * workers + decoders files of audio in memory.
        for path in paths:
            if stop.is_set():
                return
            put(decoded, (path, pool.submit(decode, path, sr, mono)))
        for _ in range(workers):
            put(decoded, None)

    def work():
        while not stop.is_set():
            try:
                item = decoded.get(timeout=0.1)
            except queue.Empty:
                continue
            if item is None:
                return
            path, future = item
            try:
                y = future.result()
                features = compute(y, sr, chosen, device)
                results.put(Row(path, sr, int(y.shape[-1]), features))
            except FileError as e:
                results.put((path, str(e)))
            except Exception as e:  # a fault of ours: recorded, the run goes on
                results.put((path, f"{type(e).__name__}: {e}"))

    with ThreadPoolExecutor(decoders, thread_name_prefix="qorva-decode") as pool:
        feeder = threading.Thread(target=feed, args=(pool,), daemon=True)
        threads = [threading.Thread(target=work, daemon=True) for _ in range(workers)]
        feeder.start()
        for t in threads:
            t.start()
        try:
            for _ in range(len(paths)):
                while True:
                    try:
                        result = results.get(timeout=0.1)
                        break
                    except queue.Empty:
                        pass
                _record(result, dataset, progress)
        finally:
            stop.set()
            for t in threads:
                t.join()
            feeder.join()
            while True:  # let the pool exit without decoding what is left
                try:
                    item = decoded.get_nowait()
                except queue.Empty:
                    break
                if item is not None:
                    item[1].cancel()
            set_num_threads(saved_threads)


def _record(result, dataset, progress):
    if isinstance(result, Row):
        dataset.add(result)
        progress.update(1, result.num_samples)
    else:
        dataset.fail(*result)
        progress.update(1, 0)


def _ray_decode(row, sr, mono):
    path = row["path"]
    try:
        # Pickled, the audio crosses the object store whatever its shape.
        return {"path": path, "error": "", "audio": pickle.dumps(decode(path, sr, mono), protocol=5)}
    except FileError as e:
        return {"path": path, "error": str(e), "audio": b""}


class _RayFeatures:
    """One engine set per actor: the function layer's cache lives as long as the actor."""

    def __init__(self, chosen, sr, mono, device, threads):
        from . import set_num_threads
        set_num_threads(threads)
        if device != "cpu":
            # The GPU is the actor's, not the driver's: checked where it runs.
            check_features(chosen, sr, mono, device)
        self.chosen, self.sr, self.device = chosen, sr, device

    def __call__(self, row):
        out = {"path": row["path"], "error": row["error"], "num_samples": 0, "features": b""}
        if out["error"]:
            return out
        try:
            y = pickle.loads(row["audio"])
            out["num_samples"] = int(y.shape[-1])
            # Pickled arrays cross the object store bit for bit, whatever their shapes.
            out["features"] = pickle.dumps(compute(y, self.sr, self.chosen, self.device), protocol=5)
        except FileError as e:
            out["error"] = str(e)
        except Exception as e:
            out["error"] = f"{type(e).__name__}: {e}"
        return out


def _run_ray(paths, chosen, sr, mono, device, workers, address, dataset, progress):
    try:
        import ray
        import ray.data
    except ImportError:
        raise UsageError("--engine ray needs Ray: pip install 'qorva[ray]'") from None
    started = not ray.is_initialized()
    if started:
        # Without an address Ray starts a cluster on this machine for the run.
        ray.init(address=address, include_dashboard=False, logging_level="WARNING", log_to_driver=False)
    # Ray Data narrates each execution at INFO; the progress line says what matters.
    logger = logging.getLogger("ray.data")
    saved_level = logger.level
    logger.setLevel(logging.ERROR if progress.quiet else logging.WARNING)
    try:
        _run_ray_data(ray, paths, chosen, sr, mono, device, workers, dataset, progress)
    finally:
        logger.setLevel(saved_level)
        if started:
            ray.shutdown()


def _run_ray_data(ray, paths, chosen, sr, mono, device, workers, dataset, progress):
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    cpus = int(ray.cluster_resources().get("CPU", 1))
    gpus = 1 if device == "cuda" else 0
    # One actor per GPU with --device cuda: more would wait for a GPU forever.
    workers = workers or (max(1, int(ray.cluster_resources().get("GPU", 0))) if gpus else max(1, cpus // 2))
    ds = ray.data.from_items([{"path": p} for p in paths], override_num_blocks=max(1, min(len(paths), 4 * cpus)))
    # Decoding runs in tasks on any free CPU, apart from the actors.  Its
    # memory request (a worker process holding a few minutes of decoded
    # audio) differs from theirs, which keeps Ray from fusing it into the
    # actors and so serialising decoding and computing within each actor.
    ds = ds.map(_ray_decode, fn_kwargs={"sr": sr, "mono": mono}, num_cpus=1, memory=256 << 20)
    ds = ds.map(_RayFeatures, fn_constructor_args=(chosen, sr, mono, device, 1),
                compute=ray.data.ActorPoolStrategy(size=workers), num_cpus=1, num_gpus=gpus)
    try:
        for row in ds.iter_rows():
            if row["error"]:
                _record((row["path"], row["error"]), dataset, progress)
            else:
                features = pickle.loads(row["features"])
                _record(Row(row["path"], sr, int(row["num_samples"]), features), dataset, progress)
    except ray.exceptions.RayActorError as e:
        # An actor that refuses its GPU dies in its constructor; say why in one line.
        lines = [line for line in str(e).splitlines() if "UsageError:" in line]
        reason = lines[-1].split("UsageError:", 1)[1].strip() if lines else str(e).splitlines()[0]
        raise UsageError(f"the feature actors could not start: {reason}") from None


# --- the entry points -------------------------------------------------------------------

@dataclass
class Summary:
    """What a run did: files written now, skipped as already done, and failed (path -> error)."""

    out: str
    inputs: int
    written: int
    skipped: int
    failed: dict = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.failed


def extract(inputs, out, features=None, *, config=None, sr=None, mono=None, engine="local", workers=None,
            ray_address=None, device="cpu", quiet=False, part_rows=256, options=None) -> Summary:
    """Compute features of many audio files into a Parquet dataset in ``out``.

    Parameters
    ----------
    inputs : path or list of paths
        Audio files, folders (searched recursively for the extensions
        soundfile reads) and .txt/.csv lists of paths (one a line; in a CSV
        the column named ``path``, else the first; relative to the list).
    out : path
        The dataset folder; created if needed.  Running again with the same
        settings completes it; other settings are refused (`UsageError`).
    features : list of names, or dict name -> dict of parameters
        From ``stft`` (magnitude), ``mel``, ``mfcc``, ``cqt`` (magnitude),
        ``chroma``, ``rms``, ``centroid``, ``bandwidth``, ``flatness``,
        ``onset``, ``tempogram``; parameters are the keyword arguments of the
        function behind each (``FEATURES[name].params`` lists them with their
        defaults).  None takes the config's ``features``.
    config : path or dict, optional
        TOML settings (see `load_config`); arguments given here win.
    sr : int
        Sample rate the audio is resampled to; default 22050.
    mono : bool
        Average the channels (default); False keeps them, and every array
        gains a leading channel axis.
    engine : 'local' or 'ray'
        Threads on this machine, or Ray Data tasks and actors.
    workers : int, optional
        Compute threads (local) or feature actors (Ray); default half the cores.
    ray_address : str, optional
        The cluster to join; default: an already initialised Ray, else a
        local cluster started for the run.
    device : 'cpu' or 'cuda'
        'cuda' runs the engines on their GPU backend and is refused when this
        build or machine has none.
    quiet : bool
        No progress line (it is shown only on a terminal anyway).
    options : dict, optional
        Parameters set on every chosen feature that takes them, by command-line
        option name (``n_fft``, ``hop_length``, ``n_mels``, ...).

    Returns
    -------
    Summary
        ``failed`` maps each input that could not be done (in this run) to
        its error; they are also in ``out/errors.parquet``.
    """
    if isinstance(config, (str, os.PathLike)):
        config = load_config(config)
    config = config or {}
    sr = int(sr if sr is not None else config.get("sr", DEFAULT_SR))
    if sr < 1:
        raise UsageError(f"sample rate {sr} must be positive")
    mono = bool(mono if mono is not None else config.get("mono", True))
    if engine not in ("local", "ray"):
        raise UsageError(f"engine {engine!r} must be 'local' or 'ray'")
    if device not in ("cpu", "cuda"):
        raise UsageError(f"device {device!r} must be 'cpu' or 'cuda'")
    if workers is not None and workers < 1:
        raise UsageError(f"workers={workers} must be positive")
    chosen = resolve_features(features, config, options)
    # The driver of a Ray run need not have a GPU; its actors check theirs.
    check_features(chosen, sr, mono, device if engine == "local" else "cpu")
    for module, extra in (("soundfile", "extract"), ("soxr", "extract"), ("pyarrow", "extract")):
        try:
            __import__(module)
        except ImportError:
            raise UsageError(f"qorva extract needs {module}: pip install 'qorva[{extra}]'") from None

    paths = expand_inputs(inputs)
    dataset = Dataset(out, make_settings(chosen, sr, mono, device), part_rows=part_rows)
    order = {name: i for i, name in enumerate(dataset.columns)}
    chosen = sorted(chosen, key=lambda s: order[s.name])
    pending = dataset.pending(paths)
    progress = Progress(len(pending), sr, enabled=not quiet)
    try:
        if pending and engine == "local":
            _run_local(pending, chosen, sr, mono, device, workers, dataset, progress)
        elif pending:
            _run_ray(pending, chosen, sr, mono, device, workers, ray_address, dataset, progress)
    finally:
        # On Ctrl-C too: what is done is kept, and the next run does the rest.
        progress.close()
        dataset.finish()
    return Summary(out=dataset.out, inputs=len(paths), written=dataset.written,
                   skipped=len(paths) - len(pending), failed=dict(dataset.errors))


def read_features(out, name) -> dict:
    """The arrays of feature ``name`` in the dataset ``out``, as a dict path -> float32
    array ((bins, frames), or (channels, bins, frames) when channels were kept),
    in path order."""
    import pyarrow.parquet as pq

    out = os.fspath(out)
    try:
        with open(os.path.join(out, MANIFEST), encoding="utf-8") as f:
            features = json.load(f)["settings"]["features"]
    except FileNotFoundError:
        raise FileNotFoundError(f"{out} is not a dataset written by qorva extract (no {MANIFEST})") from None
    if name not in features:
        raise KeyError(f"{out} has no feature {name!r}; it has {', '.join(features)}")
    result = {}
    for part in _part_paths(out):
        table = pq.read_table(part, columns=["path", name])
        paths = table.column("path").to_pylist()
        level = table.column(name).combine_chunks()
        offsets = []
        while hasattr(level, "offsets"):
            offsets.append(level.offsets.to_numpy())
            level = level.values
        # A copy: Arrow's buffer is read-only, and the caller owns the arrays.
        values = np.array(level.to_numpy(zero_copy_only=False))
        for i, path in enumerate(paths):
            lo, hi = offsets[0][i], offsets[0][i + 1]
            shape = [hi - lo]
            for off in offsets[1:]:
                # Rows of one array all have the same length; the first one gives it.
                shape.append(off[lo + 1] - off[lo] if hi > lo else 0)
                lo, hi = off[lo], off[hi]
            result[path] = values[lo:hi].reshape(shape)
    return dict(sorted(result.items()))


# --- the command ------------------------------------------------------------------------

def add_parser(sub) -> argparse.ArgumentParser:
    names = ", ".join(f"{k.name} ({k.title})" for k in FEATURES.values())
    p = sub.add_parser(
        "extract", help="compute features of many audio files into a Parquet dataset",
        description="Compute features of audio files into a Parquet dataset: DIR/part-NNNNN.parquet (one row "
                    "per file: path, sample_rate, num_samples and a column per feature), DIR/errors.parquet "
                    "and DIR/manifest.json. Running again with the same settings completes an interrupted "
                    f"run. Features: {names}.")
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="audio file, folder (searched recursively) or .txt/.csv list of paths")
    p.add_argument("--out", required=True, metavar="DIR", help="dataset folder")
    p.add_argument("--feature", action="append", choices=list(FEATURES), metavar="NAME", dest="features",
                   help="feature to compute (repeatable): " + ", ".join(FEATURES))
    p.add_argument("--config", metavar="FILE", help="TOML file: sr, mono, features and a [NAME] table of "
                                                   "parameters per feature")
    p.add_argument("--sr", type=int, default=None, help=f"sample rate to resample to (default {DEFAULT_SR})")
    ch = p.add_mutually_exclusive_group()
    ch.add_argument("--mono", dest="mono", action="store_true", default=None,
                    help="average the channels (default)")
    ch.add_argument("--channels", dest="mono", action="store_false",
                    help="keep the channels: arrays gain a leading channel axis")
    p.add_argument("--engine", choices=("local", "ray"), default="local")
    p.add_argument("--workers", type=int, default=None, help="compute threads or Ray actors (default: half "
                                                              "the cores)")
    p.add_argument("--ray-address", metavar="ADDR", help="Ray cluster to join (default: start a local one)")
    p.add_argument("--device", choices=("cpu", "cuda"), default="cpu")
    p.add_argument("--quiet", action="store_true", help="no progress line")
    params = p.add_argument_group("feature parameters", "each applies to every chosen feature that takes it; "
                                                        "default: the function layer's")
    for option, (flag, kind, _) in OPTIONS.items():
        params.add_argument(flag, dest=f"opt_{option}", type=kind, default=None, metavar="N" if kind is int
                            else ("HZ" if kind is float else "NAME"))
    return p


def run(args, out=sys.stdout) -> int:
    options = {option: getattr(args, f"opt_{option}") for option in OPTIONS}
    try:
        summary = extract(args.inputs, args.out, args.features, config=args.config, sr=args.sr, mono=args.mono,
                          engine=args.engine, workers=args.workers, ray_address=args.ray_address,
                          device=args.device, quiet=args.quiet, options=options)
    except KeyboardInterrupt:
        print(f"qorva extract: interrupted; run the same command again to complete {args.out}", file=sys.stderr)
        return 130
    if not args.quiet:
        print(f"{summary.written} files written, {summary.skipped} already done, {len(summary.failed)} failed "
              f"(in {os.path.join(summary.out, ERRORS)})", file=out)
    for path, error in list(summary.failed.items())[:10]:
        print(f"qorva extract: {path}: {error}", file=sys.stderr)
    if len(summary.failed) > 10:
        print(f"qorva extract: ... and {len(summary.failed) - 10} more", file=sys.stderr)
    return 1 if summary.failed else 0


class _CallableModule(type(sys)):
    # `qorva.extract` is this module and the function at once: qorva.extract(inputs, out)
    # runs an extraction, and qorva.extract.read_features and the rest stay reachable.
    def __call__(self, *args, **kwargs):
        return extract(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
