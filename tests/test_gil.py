"""The interpreter lock is released around the kernels of SMA, EMA and MACD, and held by ATR.

A worker thread calls an indicator over and over on a long series while this
thread watches the output. Kernels write in ascending order, so an output whose
first element is already written while its last still holds the sentinel (put
back at both ends before each call) can only be seen while a kernel runs. Without the lock released no Python code can
run then, so seeing that state proves the release, and never seeing it over
many calls (while the watcher demonstrably runs between them) shows the lock
was held.
"""
import sys
import threading
import time

import numpy as np
import pytest

import veldspar
from conftest import while_kernel_runs

N = 400_000
SENTINEL = 7.5  # never a result: the input is an integer ramp


def watch(call, output, *, until_seen, calls=None, timeout=30.0):
    """Returns (mid-kernel states seen, watcher iterations, calls made)."""
    stop = threading.Event()
    made = [0]

    def worker():
        while not stop.is_set() and (calls is None or made[0] < calls):
            # Only the two ends are reset, by scalar stores that keep the lock
            # (a bulk fill may release it and write in any order); every
            # state in between has the sentinel first.
            output[0] = SENTINEL
            output[-1] = SENTINEL
            call()
            made[0] += 1
        stop.set()

    ends = memoryview(output)[::len(output) - 1]
    thread = threading.Thread(target=worker)
    seen = iterations = 0
    deadline = time.monotonic() + timeout
    thread.start()
    try:
        while not stop.is_set() and time.monotonic() < deadline:
            iterations += 1
            # One interpreter call reads both ends under the lock, so nothing
            # can run between the two reads (NumPy's take, for one, may
            # release the lock while it copies).
            first, last = ends.tolist()
            if first != SENTINEL and last == SENTINEL:
                seen += 1
                if until_seen:
                    break
    finally:
        stop.set()
        thread.join(timeout)
    assert not thread.is_alive()
    return seen, iterations, made[0]


DATA = np.arange(1.0, N + 1.0)


def released_cases():
    out = np.zeros(N)  # not empty: recycled memory could hold the sentinel
    m, s, h = np.zeros(N), np.zeros(N), np.zeros(N)
    return {
        "sma": (lambda: veldspar.indicator_sma(1, DATA, out), out),
        "ema": (lambda: veldspar.indicator_ema(1, DATA, out), out),
        "macd": (lambda: veldspar.indicator_macd(1, 2, 1, DATA, m, s, h), s),
    }


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
def test_kernel_runs_without_the_interpreter_lock(name):
    call, output = released_cases()[name]
    seen, _, _ = watch(call, output, until_seen=True)
    assert seen > 0


def test_atr_keeps_the_interpreter_lock():
    out = np.zeros(N)  # not empty: recycled memory could hold the sentinel
    call = lambda: veldspar.indicator_atr(1, DATA + 1.0, DATA - 1.0, DATA, out)  # noqa: E731
    seen, iterations, made = watch(call, out, until_seen=False, calls=30)
    assert made == 30 and iterations > 0
    assert seen == 0


@pytest.mark.parametrize("name, slot", [("sma", 1), ("ema", 1), ("macd", 1), ("macd", 2), ("macd", 3)])
def test_outputs_are_held_like_the_input_while_the_kernel_runs(name, slot):
    # Held by the call, an output cannot be resized (freed) by another thread
    # under its kernel: NumPy refuses to resize an array referenced elsewhere.
    box = [DATA.copy(), np.zeros(N), np.zeros(N), np.zeros(N)]
    calls = {
        "sma": lambda: veldspar.indicator_sma(1, box[0], box[1]),
        "ema": lambda: veldspar.indicator_ema(1, box[0], box[1]),
        "macd": lambda: veldspar.indicator_macd(1, 2, 1, *box),
    }
    counts = while_kernel_runs(calls[name], lambda: box[slot],
                               lambda: (sys.getrefcount(box[0]), sys.getrefcount(box[slot])))
    assert counts[1] == counts[0]
