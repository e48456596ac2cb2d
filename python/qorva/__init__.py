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

from ._native import (  # noqa: E402
    IstftEngine,
    MelEngine,
    StftEngine,
    get_num_threads,
    hz_to_mel,
    mel_filterbank,
    mel_to_hz,
    set_num_threads,
)

__version__ = "0.1.0"

__all__ = [
    "IstftEngine",
    "MelEngine",
    "StftEngine",
    "get_num_threads",
    "hz_to_mel",
    "mel_filterbank",
    "mel_to_hz",
    "set_num_threads",
    "__version__",
]
