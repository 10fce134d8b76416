"""Helpers shared by the Python test suite."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import reference as ref

NO_VALUE_BITS = 0x7FF8000000000000
SIGN_BIT = np.uint64(1 << 63)
BORROWED, ALREADY_BORROWED, NOT_WRITEABLE = 0, -1, -2


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


def value_bits(values):
    """Bit patterns with the sign of every NaN cleared (arithmetic NaNs may have either)."""
    arr = np.asarray(values, dtype=np.float64)
    bits = arr.view(np.uint64).copy()
    bits[np.isnan(arr)] &= ~SIGN_BIT
    return bits


def assert_matches(got, want, what=""):
    """got (module output array) equals want (reference list) bit for bit; "no value" exactly."""
    got = np.asarray(got)
    got_bits, want_bits = value_bits(got), value_bits(want)
    diff = np.flatnonzero(got_bits != want_bits)
    assert diff.size == 0, (
        f"{what}: first difference at {diff[0]}: got {got[diff[0]]!r} "
        f"({int(got_bits[diff[0]]):#018x}), want {want[diff[0]]!r} ({int(want_bits[diff[0]]):#018x})"
    )
    raw = got.view(np.uint64)
    for i, v in enumerate(want):
        if ref.is_no_value(v):
            assert int(raw[i]) == NO_VALUE_BITS, f"{what}: position {i} is {int(raw[i]):#018x}, not the stored NaN"


def _load_build_peer():
    found = importlib.util.spec_from_file_location("build_peer", Path(__file__).with_name("peer") / "build_peer.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


build_peer = _load_build_peer()


@pytest.fixture(scope="session")
def peer_path(tmp_path_factory):
    return build_peer.build_peer(tmp_path_factory.mktemp("peer"))


@pytest.fixture(scope="session")
def peer(peer_path):
    """A second native module of the process that uses the shared registry (published by our first borrow)."""
    import veldspar
    veldspar.indicator_sma(1, np.zeros(1), np.zeros(1))
    return build_peer.load_peer(peer_path)


def assert_free(peer, *arrays):
    """No borrow is left on these arrays: a writer gets each of them."""
    for array in arrays:
        assert peer.acquire_mut(array) == BORROWED
        peer.release_mut(array)
