"""What differs between builds: 32-bit periods, misaligned element access, bit-exact results."""

import json
import signal
import struct
from pathlib import Path

import numpy as np
import pytest

import reference as ref
import veldspar
from conftest import Index, assert_matches, run_python

IS_32_BIT = struct.calcsize("P") == 4
only_32_bit = pytest.mark.skipif(not IS_32_BIT, reason="periods fit a 64-bit size_t")

NO_VALUE_BITS = 0x7FF8000000000000
DATA = np.array([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0])


# (function, other arguments in order, position of the period under test)
def sma(p):
    return veldspar.indicator_sma, [p, DATA]


def ema(p):
    return veldspar.indicator_ema, [p, DATA]


def atr(p):
    return veldspar.indicator_atr, [p, DATA + 1.0, DATA - 1.0, DATA]


def macd_fast(p):
    return veldspar.indicator_macd, [p, 26, 9, DATA]


def macd_slow(p):
    return veldspar.indicator_macd, [12, p, 9, DATA]


def macd_signal(p):
    return veldspar.indicator_macd, [12, 26, p, DATA]


def output_count(func):
    return 3 if func is veldspar.indicator_macd else 1


@only_32_bit
@pytest.mark.parametrize("period", [2**32, 2**64 - 1, np.uint64(2**32), Index(2**32)],
                         ids=["2**32", "2**64-1", "numpy-uint64", "__index__"])
@pytest.mark.parametrize("call", [sma, ema, atr, macd_fast, macd_slow, macd_signal])
def test_period_beyond_32_bits_is_an_overflow_error(call, period):
    func, args = call(period)
    outs = [np.full(len(DATA), 7.0) for _ in range(output_count(func))]
    with pytest.raises(OverflowError) as raised:
        func(*args, *outs)
    assert str(raised.value) == "out of range integral type conversion attempted"
    for out in outs:
        assert (out == 7.0).all(), "a refused call wrote to its output"


@only_32_bit
@pytest.mark.parametrize("call", [sma, ema, atr])
def test_largest_32_bit_period_is_accepted(call):
    func, args = call(2**32 - 1)
    out = np.full(len(DATA), 7.0)
    func(*args, out)
    assert out.view(np.uint64).tolist() == [NO_VALUE_BITS] * len(DATA)


@only_32_bit
def test_macd_accepts_the_largest_32_bit_periods():
    outs = [np.full(len(DATA), 7.0) for _ in range(3)]
    veldspar.indicator_macd(2**32 - 2, 2**32 - 1, 2**32 - 1, DATA, *outs)
    for out in outs:
        assert out.view(np.uint64).tolist() == [NO_VALUE_BITS] * len(DATA)


# Every input and output at each byte offset 1..7 against the aligned result.
# In a child process: a misaligned double load on 32-bit ARM is a bus error,
# which would otherwise take the whole test run down with it.
MISALIGNED_CHILD = r"""
import numpy as np, veldspar
from conftest import misaligned, random_walk

n = 70
base = np.array(random_walk(n, 5))
base[[9, 33]] = [np.nan, np.inf]
inputs = {"sma": [base], "ema": [base], "macd": [base], "atr": [base + 1.0, base - 1.0, base]}
periods = {"sma": [8], "ema": [8], "macd": [3, 8, 4], "atr": [5]}
outputs = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}

compared = 0
for name, ins in inputs.items():
    func = getattr(veldspar, "indicator_" + name)
    want = [np.empty(n) for _ in range(outputs[name])]
    func(*periods[name], *ins, *want)
    for offset in range(1, 8):
        got = [misaligned(np.full(n, 123.0), (offset + k) % 8 or 1) for k in range(outputs[name])]
        func(*periods[name], *(misaligned(a, offset) for a in ins), *got)
        for g, w in zip(got, want):
            if g.tobytes() != w.tobytes():
                raise SystemExit(f"{name} at offset {offset} differs from the aligned result")
            compared += 1
print("compared", compared)
"""


def test_misaligned_arrays_give_the_aligned_result_bit_for_bit():
    done = run_python(MISALIGNED_CHILD)
    if done.returncode < 0:
        pytest.fail(f"child killed by {signal.Signals(-done.returncode).name}\n{done.stderr}")
    assert done.returncode == 0, done.stderr + done.stdout
    assert done.stdout.split() == ["compared", str(7 * (1 + 1 + 3 + 1))]


# --- Results recorded on x86-64 (tests/data/make_golden.py) -----------------

GOLDEN = json.loads((Path(__file__).parent / "data" / "golden.json").read_text())


def from_hex(cells):
    return np.array([int(c, 16) for c in cells], dtype=np.uint64).view(np.float64)


def case_id(case):
    return f"{case['indicator']}{tuple(case['periods'])}-{case['inputs'][0]}"


@pytest.mark.parametrize("case", GOLDEN["cases"], ids=case_id)
def test_results_match_the_x86_64_golden_file(case):
    inputs = [from_hex(GOLDEN["series"][name]) for name in case["inputs"]]
    n = len(inputs[0])
    outs = [np.full(n, 123.0) for _ in case["outputs"]]
    getattr(veldspar, "indicator_" + case["indicator"])(*case["periods"], *inputs, *outs)

    for (name, cells), out in zip(case["outputs"].items(), outs):
        # A NaN that arithmetic made may carry either sign (x86 sets it, ARM does
        # not); the NaN stored for "no value" has one exact pattern everywhere.
        want = [ref.NAN if c == "nv" else from_hex([c])[0] for c in cells]
        assert_matches(out, want, name)
