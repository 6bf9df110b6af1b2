import subprocess
import sys

import pytest

from tessaloom import PrefixSearch, build_arrays


def index(records, video_top_n=100):
    return PrefixSearch.from_internal_data_v2(*build_arrays(records, video_top_n))


@pytest.fixture
def small_index():
    """cat, car, cart, dog; build_arrays puts children in code-point order."""
    return index([("cat", 1, 2), ("car", 2, 3), ("cart", 1, 1), ("dog", 3, 5)])


OUT_OF_RANGE = "out of range integral type conversion attempted"


class SubTypeError(TypeError):
    pass


class Idx:
    """An integer-like object: __index__ returns its value, or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def raises_exactly(exc, message, call, *args, **kwargs):
    """Calls, expecting exactly type ``exc`` and, unless None, ``message``."""
    with pytest.raises(BaseException) as e:
        call(*args, **kwargs)
    assert type(e.value) is exc, repr(e.value)
    assert message is None or str(e.value) == message
    return e.value


def run_child(args, timeout):
    """Runs a Python child (a crash or hang fails the test); returns stdout lines."""
    try:
        proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"child timed out after {timeout} s; output so far: {e.stdout!r}")
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout.splitlines()
