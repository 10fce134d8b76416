"""The interpreter lock is released around the kernels of SMA, EMA and MACD, and held by ATR.

SMA, EMA and MACD are checked with a gated input (conftest.gated): the kernel
is held at its first read of it, and this thread then runs Python code, which
it can only do if the call released the lock. ATR is watched instead: a worker
calls it over and over on a long series while this thread looks at the output.
Kernels write in ascending order, so an output whose first element is already
written while its last still holds the sentinel (put back at both ends before
each call) can only be seen while a kernel runs; never seeing that state, while
the watcher demonstrably runs between calls, shows the lock was held.
"""
import sys
import threading
import time

import numpy as np
import pytest

import veldspar
from conftest import gated, run_python, while_kernel_runs

N = 1024
SENTINEL = 7.5  # never a result: the input is an integer ramp
RAMP = np.arange(1.0, N + 1.0)


def calls(data, outputs):
    """The three calls whose kernels run without the lock."""
    return {
        "sma": lambda: veldspar.indicator_sma(1, data, outputs[0]),
        "ema": lambda: veldspar.indicator_ema(1, data, outputs[0]),
        "macd": lambda: veldspar.indicator_macd(1, 2, 1, data, *outputs),
    }


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
def test_kernel_runs_without_the_interpreter_lock(peer, name):
    data, outputs = gated(peer, RAMP), [np.full(N, SENTINEL) for _ in range(3)]
    # Python code runs here while the kernel is held, before it wrote its last result.
    during = while_kernel_runs(peer, calls(data, outputs)[name], lambda: outputs[0][-1].tobytes())
    assert during != outputs[0][-1].tobytes()


@pytest.mark.parametrize("name, slot", [("sma", 1), ("ema", 1), ("macd", 1), ("macd", 2), ("macd", 3)])
def test_outputs_are_held_like_the_input_while_the_kernel_runs(peer, name, slot):
    # Held by the call, an output cannot be resized (freed) by another thread
    # under its kernel: NumPy refuses to resize an array referenced elsewhere.
    box = [gated(peer, RAMP), np.zeros(N), np.zeros(N), np.zeros(N)]
    counts = while_kernel_runs(peer, calls(box[0], box[1:])[name],
                               lambda: (sys.getrefcount(box[0]), sys.getrefcount(box[slot])))
    assert counts[1] == counts[0]


def test_atr_keeps_the_interpreter_lock():
    n = 400_000
    data = np.arange(1.0, n + 1.0)
    out = np.zeros(n)  # not empty: recycled memory could hold the sentinel
    stop, made = threading.Event(), [0]

    def worker():
        while made[0] < 30:
            # Only the two ends are reset, by scalar stores that keep the lock
            # (a bulk fill may release it and write in any order); every
            # state in between has the sentinel first.
            out[0] = out[-1] = SENTINEL
            veldspar.indicator_atr(1, data + 1.0, data - 1.0, data, out)
            made[0] += 1
        stop.set()

    # One interpreter call reads both ends under the lock, so nothing can run
    # between the two reads (NumPy's take, for one, may release the lock while it copies).
    ends = memoryview(out)[::n - 1]
    seen = iterations = 0
    thread = threading.Thread(target=worker)
    deadline = time.monotonic() + 60.0
    thread.start()
    while not stop.is_set() and time.monotonic() < deadline:
        iterations += 1
        first, last = ends.tolist()
        seen += first != SENTINEL and last == SENTINEL
    thread.join(60.0)
    assert not thread.is_alive() and made[0] == 30 and iterations > 0
    assert seen == 0


# A daemon thread is held in a kernel while the main thread returns; an object
# that the interpreter's shutdown drops lets it go on. Up to CPython 3.13 the
# interpreter then ends the thread as it takes the lock back (pthread_exit).
DAEMON_AT_EXIT = """
import functools, threading, time
import numpy as np, veldspar
from conftest import build_peer
peer = build_peer.load_peer({peer_path!r})
data = np.frombuffer(peer.gate(8 * 1024), dtype=np.float64)
data[:] = 1.0
outputs = [np.empty(1024) for _ in range(3)]
# Partials, not lambdas: the thread must not keep this module's globals (and the guard) alive.
call = dict(sma=functools.partial(veldspar.indicator_sma, 3, data, outputs[0]),
            ema=functools.partial(veldspar.indicator_ema, 3, data, outputs[0]),
            macd=functools.partial(veldspar.indicator_macd, 2, 4, 3, data, *outputs))[{name!r}]
peer.gate_close()
threading.Thread(target=call, daemon=True).start()
assert peer.gate_wait(60.0)

class OpenAtShutdown:
    def __del__(self, peer=peer, sleep=time.sleep):
        assert peer.gate_open()
        sleep(0.5)  # the thread ends its kernel and meets the shutdown meanwhile

guard = OpenAtShutdown()
print("returning")
"""


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
def test_a_daemon_thread_in_a_kernel_at_interpreter_exit_ends_quietly(peer_path, name):
    result = run_python(DAEMON_AT_EXIT.format(peer_path=str(peer_path), name=name))
    assert (result.returncode, result.stdout, result.stderr) == (0, "returning\n", "")
