"""Helpers shared by the Python test suite."""
import os
import subprocess
import sys
import threading

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


def while_kernel_runs(call, written, action, undo=None, attempts=200):
    """Runs `call` in a thread and `action()` in this one while the call's kernel writes an array.

    `written()` gives that array (a function, so that no reference is held
    here). The kernel must write it in ascending order, over values other than
    the sentinel put at both ends: its first element then differs from the
    sentinel and its last does not yet, and seeing that before and after
    `action` places the action inside the call. Attempts that miss the kernel
    are undone and tried again. Returns what `action` returned.
    """
    sentinel = 7.5
    for _ in range(attempts):
        written()[0] = written()[-1] = sentinel
        failures = []

        def worker():
            try:
                call()
            except BaseException as e:  # reported to the test below
                failures.append(e)

        thread = threading.Thread(target=worker)
        thread.start()
        acted = caught = False
        while thread.is_alive() and not acted:
            if written()[0] != sentinel:
                if written()[-1] != sentinel:
                    break  # the kernel ended before it was seen at work
                result, acted = action(), True
                caught = written()[-1] == sentinel
        thread.join(60)
        assert not thread.is_alive() and not failures, failures
        if acted and undo is not None:
            undo()
        if caught:
            return result
    raise AssertionError(f"no kernel was seen at work in {attempts} calls")
