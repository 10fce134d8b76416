"""Helpers shared by the Python test suite (and by data/make_golden.py)."""
import importlib.util
import math
import os
import random
import subprocess
import sys
import threading

from pathlib import Path

import numpy as np
import pytest

import reference as ref

BORROWED, ALREADY_BORROWED, NOT_WRITEABLE = 0, -1, -2
NO_VALUE_BITS = 0x7FF8000000000000
SIGN_BIT = np.uint64(1 << 63)

# Values that break naive arithmetic: NaN, infinities, signed zeros, the
# largest finite magnitude and the smallest subnormal.
HOSTILE = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, -5e-324]


def bits(array):
    """The bit patterns of a float64 array, for exact comparisons."""
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64).tolist()


def value_bits(values):
    """Bit patterns with the sign of every NaN cleared (arithmetic NaNs may have either)."""
    arr = np.asarray(values, dtype=np.float64)
    out = arr.view(np.uint64).copy()
    out[np.isnan(arr)] &= ~SIGN_BIT
    return out


def mismatch(got, want):
    """Why `got` (an output array) differs from `want` (a reference list), or None.

    Values compare bit for bit with NaN signs ignored; a position where the
    reference has no value must hold exactly the stored NaN.
    """
    got_bits, want_bits = value_bits(got), value_bits(want)
    diff = np.flatnonzero(got_bits != want_bits)
    if diff.size:
        i = diff[0]
        return (f"first difference at {i}: got {got[i]!r} ({int(got_bits[i]):#018x}), "
                f"want {want[i]!r} ({int(want_bits[i]):#018x})")
    raw = np.asarray(got, dtype=np.float64).view(np.uint64)
    for i, v in enumerate(want):
        if ref.is_no_value(v) and int(raw[i]) != NO_VALUE_BITS:
            return f"position {i} is {int(raw[i]):#018x}, not the stored NaN"
    return None


def assert_matches(got, want, what=""):
    problem = mismatch(got, want)
    assert problem is None, f"{what}: {problem}"


def random_walk(n, seed, density=0.0, extremes=HOSTILE):
    """A price-like random walk from 100 with a `density` share of values drawn from `extremes`."""
    rng = random.Random(seed)
    price, out = 100.0, []
    for _ in range(n):
        price += rng.gauss(0.0, 1.0)
        out.append(rng.choice(extremes) if rng.random() < density else price)
    return out


def misaligned(values, offset):
    """A float64 array holding `values` at an address `offset` (1 to 7) bytes past a multiple of 8."""
    raw = np.zeros(8 * len(values) + 8, dtype=np.uint8)
    start = (offset - raw.ctypes.data) % 8
    array = raw[start:start + 8 * len(values)].view(np.float64)
    array[:] = values
    assert array.ctypes.data % 8 == offset % 8
    return array


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that imports these helpers; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    here = os.path.dirname(os.path.abspath(__file__))
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in (here, full_env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env)


class Index:
    """An integer-like object: converts only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def gated(peer, values):
    """A float64 array holding `values` in the peer's gate memory (see tests/peer/peer.c): while the
    gate is closed, the first read of it holds the reader, a kernel, at that point."""
    values = np.asarray(values, dtype=np.float64)
    array = np.frombuffer(peer.gate(values.nbytes), dtype=np.float64)
    array[:] = values
    return array


def while_kernel_runs(peer, call, action):
    """Runs `call` in a thread and `action()` in this one while the call's kernel is held at its
    first read of a gated input; returns what `action` returned. `action` must not read the gated
    array's memory. This thread waits for the kernel with the interpreter lock released, so a call
    that kept the lock would hold this thread until the gate gives up (see peer.c)."""
    failures = []

    def worker():
        try:
            call()
        except BaseException as e:  # reported to the test below
            failures.append(e)

    peer.gate_close()
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        held = peer.gate_wait(60.0)
        result = action() if held else None
    finally:
        peer.gate_open()
        thread.join(60)
    assert not thread.is_alive() and not failures, failures
    assert held, "the call's kernel never read its input"
    return result


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
