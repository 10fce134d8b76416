"""Helpers shared by the Python test suite."""
import os
import subprocess
import sys

import numpy as np


def bits(array):
    """The bit patterns of a float64 array, for exact comparisons."""
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64).tolist()


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env)


class Index:
    """An integer-like object: converts only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
