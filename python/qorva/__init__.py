"""Qorva DSP: fast, exact, differentiable audio features.

The numeric core lives in the compiled extension ``qorva._native``; this
package checks that the extension speaks the interface it expects and
re-exports its public functions and engine classes.  Framework adapters live
in submodules so that ``import qorva`` needs nothing but NumPy.
"""

from . import _native

ABI_VERSION = 15

if _native.abi_version() != ABI_VERSION:
    raise ImportError(
        f"qorva._native has interface version {_native.abi_version()}, but this "
        f"package needs {ABI_VERSION}; rebuild the extension (pip install .)"
    )

# The public surface of the extension: engine classes and functions; the
# engine classes as users meet them (defaults, keywords, repr, pickling) come
# from .engines.
__all__ = [name for name in vars(_native) if not name.startswith("_")]
globals().update({name: getattr(_native, name) for name in __all__})

from . import engines  # noqa: E402
from .engines import C1_HZ, MOMENT_FEATURES  # noqa: E402

globals().update({cls.__name__: cls for cls in engines.ENGINES})
__all__ += ["C1_HZ", "MOMENT_FEATURES", "__version__"]

# The librosa-style function layer: qorva.stft / istft / cqt and the modules
# qorva.feature and qorva.onset, with librosa's names, arguments and results.
from . import feature, onset  # noqa: E402
from .core import cqt, istft, stft  # noqa: E402

__all__ += ["stft", "istft", "cqt", "feature", "onset"]

__version__ = "0.1.0"

# Datasets: qorva.extract (the module, callable as the function) and
# qorva.read_features load on first use, so that pyarrow, soundfile and Ray
# stay out of `import qorva`.
__all__ += ["extract", "read_features"]


def __getattr__(name):
    if name == "extract":
        import importlib
        return importlib.import_module(".extract", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def read_features(out, name):
    """The arrays of feature ``name`` in the dataset folder ``out`` written by
    ``qorva extract``: a dict path -> float32 array, in path order."""
    from .extract import read_features as read
    return read(out, name)
