"""veldspar_kit.panel: each row the module's function on that row, on any shape and thread count; the
refusals, each before anything is written and with its text; the interpreter lock released throughout."""
import inspect
import math
import os

import numpy as np
import pytest

import reference as ref
import veldspar
from conftest import HOSTILE, NO_VALUE_BITS, gated, mismatch, random_walk, run_python, value_bits, while_kernel_runs
from test_kit_numpy import run_doc_block
from veldspar_kit import panel

SENTINEL = 7.25
CASES = [("sma", (1,)), ("sma", (4,)), ("ema", (3,)), ("ema", (20,)), ("macd", (2, 5, 3)), ("macd", (12, 26, 9)),
         ("atr", (0,)), ("atr", (5,))]
SHAPES = [(0, 0), (0, 6), (4, 0), (1, 1), (1, 40), (6, 1), (7, 33), (9, 130)]


def row_values(cols, seed):
    """One row of a kind that exercises warm-ups and NaN rules differently, by seed."""
    kind = seed % 5
    values = random_walk(cols, seed, density=0.08 if kind == 1 else 0.0)
    if kind == 2:  # a late start
        values[:seed % (cols + 1)] = [math.nan] * (seed % (cols + 1))
    elif kind == 3:
        values = [math.nan] * cols
    elif kind == 4 and cols:  # one gap where seeds and first windows lie
        values[seed % min(cols, 25)] = HOSTILE[seed % 3]
    return values


def panel_inputs(name, rows, cols, seed):
    closes = np.array([row_values(cols, seed * 100 + r) for r in range(rows)], dtype=np.float64).reshape(rows, cols)
    if name != "atr":
        return [closes]
    spread = np.abs(np.array(random_walk(rows * cols, seed + 7)).reshape(rows, cols) - 100.0) / 10
    return [closes + spread, closes - spread, closes]


def outputs_for(name, shape):
    return [np.full(shape, SENTINEL) for _ in range(3 if name == "macd" else 1)]


def reference_rows(name, periods, inputs, r):
    rows = [x[r].tolist() for x in inputs]
    if name == "macd":
        return list(ref.macd(*periods, rows[0]))
    return [ref.atr(periods[0], *rows)] if name == "atr" else [getattr(ref, name)(periods[0], rows[0])]


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("name, periods", CASES, ids=[f"{n}{p}" for n, p in CASES])
def test_each_row_is_the_module_function_on_that_row(name, periods, shape, threads):
    inputs = panel_inputs(name, *shape, seed=shape[0] * 31 + shape[1])
    outputs = outputs_for(name, shape)
    getattr(panel, name)(*periods, *inputs, *outputs, threads=threads)
    module = getattr(veldspar, "indicator_" + name)
    for r in range(shape[0]):
        alone = outputs_for(name, shape[1])
        module(*periods, *(x[r] for x in inputs), *alone)
        for k, (got, want, exact) in enumerate(zip(outputs, alone, reference_rows(name, periods, inputs, r))):
            # The module's values (NaN signs aside, which arithmetic leaves free), and the
            # stored NaN exactly where the definitions give no value.
            assert value_bits(got[r]).tolist() == value_bits(want).tolist(), f"row {r} output {k}"
            assert mismatch(got[r], exact) is None, f"row {r} output {k}"


def test_the_kernels_read_inputs_that_share_memory():
    # Inputs may be views of one block (ATR's high and low as one array): only outputs may not.
    x = np.array([random_walk(50, r) for r in range(4)])
    out, alone = np.empty_like(x), np.empty(50)
    panel.atr(3, x, x, x, out, threads=2)
    for r in range(4):
        veldspar.indicator_atr(3, x[r], x[r], x[r], alone)
        assert value_bits(out[r]).tolist() == value_bits(alone).tolist()


@pytest.mark.parametrize("threads", [2, 5, 64, 2**70])
def test_any_thread_count_gives_the_rows_of_one_thread(threads):
    x = np.array([random_walk(300, r, density=0.02) for r in range(5)])
    one, many = np.empty_like(x), np.empty_like(x)
    panel.ema(7, x, one)
    panel.ema(7, x, many, threads=threads)
    assert one.tobytes() == many.tobytes()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves more address space")
def test_threads_the_system_refuses_leave_their_rows_to_the_caller():
    # With the address space capped just above what the process maps, no thread stack fits:
    # Python's own threads fail to start, and the panel's rows are computed all the same.
    result = run_python(
        "import resource, threading, numpy as np\n"
        "from veldspar_kit import panel\n"
        "x = np.cumsum(np.ones((64, 500)), axis=1)\n"
        "want, got = np.empty_like(x), np.full_like(x, 7.25)\n"
        "panel.macd(3, 8, 4, x, want, np.empty_like(x), np.empty_like(x))\n"
        "signal, hist = np.empty_like(x), np.empty_like(x)\n"
        "size = int(next(l for l in open('/proc/self/status') if l.startswith('VmSize')).split()[1]) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 4 * 2**20, resource.RLIM_INFINITY))\n"
        "try:\n"
        "    threading.Thread(target=print).start()\n"
        "    started = 'python thread started'\n"
        "except RuntimeError:\n"
        "    started = 'python thread refused'\n"
        "panel.macd(3, 8, 4, x, got, signal, hist, threads=8)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))\n"
        "print(started, got.tobytes() == want.tobytes())\n")
    assert result.returncode == 0, result.stderr
    started, same = result.stdout.split("\n")[-2].rsplit(" ", 1)
    assert same == "True"
    if started == "python thread started":  # qemu-user maps memory its own way: the cap stops nothing
        pytest.skip("capping the address space does not keep threads from starting here")
    assert started == "python thread refused"


def _read_only(shape):
    a = np.empty(shape)
    a.flags.writeable = False
    return a


X = np.ones((3, 10))
# (call on fresh arguments, exception, text); every array argument but the one at fault is good.
REFUSALS = [
    (lambda o: panel.sma(3, [[1.0]], o[0]), TypeError,
     "argument 'data': expected a 2-D NumPy array of float64 with one series per row, not list; "
     "np.asarray(data, dtype=np.float64) converts an array-like"),
    (lambda o: panel.ema(3, X.astype(np.float32), o[0]), TypeError,
     "argument 'data': expected a 2-D NumPy array of float64 with one series per row, not an array of float32; "
     "data.astype(np.float64) converts it"),
    (lambda o: panel.sma(3, X, np.ones(30)), ValueError,
     "argument 'output': expected a 2-D array with one series per row, not a 1-D array of shape (30,); "
     "output.reshape(1, -1) makes one series a panel of one row"),
    (lambda o: panel.atr(3, X, X, np.ones((3, 2, 5)), o[0]), ValueError,
     "argument 'close': expected a 2-D array with one series per row, not a 3-D array of shape (3, 2, 5); "
     "reshape it to (series, values)"),
    (lambda o: panel.ema(3, np.ones((3, 20))[:, ::2], o[0]), ValueError,
     "argument 'data': expected a C-contiguous array (each row's values side by side, rows one after another), "
     "not one with strides (160, 16); np.ascontiguousarray(data) makes a contiguous copy"),
    (lambda o: panel.sma(3, X, np.asfortranarray(np.empty((3, 10)))), ValueError,
     "argument 'output': expected a C-contiguous array (each row's values side by side, rows one after "
     "another), not one with strides (8, 24); np.ascontiguousarray(output) makes a contiguous copy"),
    (lambda o: panel.atr(3, X, X[:, :9].copy(), X, o[0]), ValueError,
     "argument 'low': expected the shape of 'high', (3, 10), not (3, 9)"),
    (lambda o: panel.macd(2, 4, 3, X, o[0], o[1], _read_only((3, 10))), ValueError,
     "argument 'hist_output': expected a writeable array, not a read-only one; np.empty_like(data) allocates one"),
    (lambda o: panel.atr(3, X, X, o[0], o[0]), ValueError,
     "argument 'output': shares memory with 'close'; each output needs memory of its own, "
     "np.empty_like(high) allocates it"),
    (lambda o: panel.macd(2, 4, 3, X, o[0], o[1], o[0][:, ::-1]), ValueError,
     "argument 'hist_output': expected a C-contiguous array (each row's values side by side, rows one after "
     "another), not one with strides (80, -8); np.ascontiguousarray(hist_output) makes a contiguous copy"),
    (lambda o: panel.macd(2, 4, 3, X, o[0], o[1], o[1]), ValueError,
     "argument 'hist_output': shares memory with 'signal_output'; each output needs memory of its own, "
     "np.empty_like(data) allocates it"),
    (lambda o: panel.macd(0, 4, 3, X, *o), ValueError, "Periods must be greater than 0"),
    (lambda o: panel.macd(4, 4, 3, X, *o), ValueError, "Fast period must be less than slow period"),
    (lambda o: panel.sma(3, X, o[0], threads=0), ValueError, "argument 'threads': expected at least 1 thread, not 0"),
    (lambda o: panel.ema(3, X, o[0], threads=-2**70), ValueError,
     f"argument 'threads': expected at least 1 thread, not {-2**70}"),
    (lambda o: panel.ema(3, X, o[0], threads=1.5), TypeError,
     "argument 'threads': 'float' object cannot be interpreted as an integer"),
    (lambda o: panel.sma(3, X, o[0], 2), TypeError, "sma() takes 3 positional arguments but 4 were given"),
    (lambda o: panel.atr(-1, X, X, X, o[0]), OverflowError, "can't convert negative int to unsigned"),
]


@pytest.mark.parametrize("call, error, text", REFUSALS, ids=range(len(REFUSALS)))
def test_refusals_say_what_was_expected_and_write_nothing(call, error, text):
    outputs = outputs_for("macd", (3, 10))
    with pytest.raises(error) as raised:
        call(outputs)
    assert str(raised.value) == text
    assert all((o == SENTINEL).all() for o in outputs)


def test_signatures_and_home():
    assert str(inspect.signature(panel.macd)) == (
        "(fast_period, slow_period, signal_period, data, macd_output, signal_output, hist_output, *, threads=1)")
    for name in panel.__all__:
        function = getattr(panel, name)
        assert (function.__module__, function.__name__) == ("veldspar_kit.panel", name)
        assert function.__doc__.startswith("Simple moving average" if name == "sma" else function.__doc__[:3])


@pytest.mark.parametrize("name", ["sma", "ema", "macd", "atr"])
def test_the_computation_runs_without_the_interpreter_lock(peer, name):
    # The gated input holds the kernel at its first read of it; this thread runs Python meanwhile.
    periods = {"sma": (2,), "ema": (2,), "macd": (2, 3, 2), "atr": (2,)}[name]
    data = gated(peer, np.arange(1.0, 65.0)).reshape(4, 16)
    inputs = [data, data.copy(), data.copy()] if name == "atr" else [data]
    outputs = outputs_for(name, (4, 16))
    call = lambda: getattr(panel, name)(*periods, *inputs, *outputs, threads=1)  # noqa: E731
    during = while_kernel_runs(peer, call, lambda: outputs[0][-1, -1].tobytes())
    assert during == np.float64(SENTINEL).tobytes()
    assert (outputs[0] != SENTINEL).all() and outputs[0][0, 0].view(np.uint64) == NO_VALUE_BITS


def test_the_guide_s_example_runs_and_its_rows_are_the_module_s(monkeypatch):
    namespace = run_doc_block(4, monkeypatch)
    closes, ema, hist = namespace["closes"], namespace["ema"], namespace["hist"]
    assert ema.shape == hist.shape == (500, 2520)
    alone = np.empty(2520)
    veldspar.indicator_ema(20, closes[499], alone)
    assert ema[499].tobytes() == alone.tobytes()
