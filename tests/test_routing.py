"""Every engine class checks its backend argument before it looks at the input."""

import re

import pytest

from conftest import CUDA_BUILT, ENGINES, SIGNAL_FAMILIES, backward, forward

# The CUDA choice is listed only in builds that have the backend.
BACKEND_ERROR = r"^backend must be one of \('cpu', 'cuda'\); got '{}'$" if CUDA_BUILT else \
    r"^backend must be one of \('cpu',\); got '{}'$"
BAD_BACKENDS = ["gpu", "CUDA", "", "cpu "] + ([] if CUDA_BUILT else ["cuda"])

# Not an array: converting it would raise a TypeError of its own.
NOT_AN_ARRAY = object()

CALLS = {
    **{(name, "forward"): (lambda name: lambda e, b: forward(name, e, NOT_AN_ARRAY, backend=b))(name)
       for name in SIGNAL_FAMILIES},
    **{(name, "backward"): (lambda name: lambda e, b: backward(name, e, NOT_AN_ARRAY, NOT_AN_ARRAY, backend=b))(name)
       for name in SIGNAL_FAMILIES},
    ("istft", "forward"): lambda e, b: e.forward(NOT_AN_ARRAY, -1, backend=b),
    ("istft", "backward"): lambda e, b: e.backward(NOT_AN_ARRAY, 4, backend=b),
}


@pytest.mark.parametrize("name, direction", sorted(CALLS), ids=lambda v: str(v))
def test_bad_backend_is_refused_before_the_input_is_read(name, direction):
    engine = ENGINES[name]()
    for bad in BAD_BACKENDS:
        with pytest.raises(ValueError, match=BACKEND_ERROR.format(re.escape(bad))):
            CALLS[name, direction](engine, bad)
    # A valid backend gets as far as the input.
    with pytest.raises(TypeError):
        CALLS[name, direction](engine, "cpu")
