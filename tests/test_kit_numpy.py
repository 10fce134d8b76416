"""veldspar_kit's functions on NumPy arrays, lists and tuples: the module's bits, leading NaNs skipped,
one column per series in 2-D, and refusals that say what was expected. Helpers here serve the pandas
and polars tests too."""
import re
from pathlib import Path

import numpy as np
import pytest

import veldspar
import veldspar_kit as vk
from conftest import NO_VALUE_BITS, bits, random_walk, run_python

# Each indicator with small periods, so that short series have values.
INDICATORS = [("sma", (5,)), ("ema", (5,)), ("macd", (3, 6, 4)), ("atr", (5,))]
MODULE = {"sma": veldspar.indicator_sma, "ema": veldspar.indicator_ema, "macd": veldspar.indicator_macd,
          "atr": veldspar.indicator_atr}


def bars(n=60, seed=3):
    """High, low and close of a random walk, as float64 arrays."""
    close = np.array(random_walk(n, seed))
    spread = np.abs(np.array(random_walk(n, seed + 1)) - 100.0) / 10 + 0.1
    return close + spread, close - spread, close


def inputs_of(name, high, low, close):
    return (high, low, close) if name == "atr" else (close,)


def kit(name, periods, *inputs):
    """The kit's result, its outputs always as a list."""
    result = getattr(vk, name)(*inputs, *periods)
    return list(result) if isinstance(result, tuple) else [result]


def expected(name, periods, *inputs):
    """The module's outputs on the inputs after their leading NaNs, NaN (the stored bits) before them."""
    inputs = [np.asarray(x, dtype=np.float64) for x in inputs]
    skip = max(int(np.argmax(~np.isnan(x))) if (~np.isnan(x)).any() else len(x) for x in inputs)
    outs = [np.empty(len(inputs[0]) - skip) for _ in range(3 if name == "macd" else 1)]
    MODULE[name](*periods, *(np.ascontiguousarray(x[skip:]) for x in inputs), *outs)
    head = np.full(skip, NO_VALUE_BITS, dtype=np.uint64).view(np.float64)
    return [np.concatenate([head, out]) for out in outs]


ROOT = Path(__file__).resolve().parents[1]


def doc_blocks(doc):
    return re.findall(r"```python\n(.*?)```", (ROOT / doc).read_text(), re.S)


def run_doc_block(index, monkeypatch, doc="docs/kit.md"):
    """Runs the index-th Python block of a document as a reader would, from the source folder."""
    monkeypatch.chdir(ROOT)
    namespace = {}
    exec(compile(doc_blocks(doc)[index], f"{doc}, block {index}", "exec"), namespace)
    return namespace


def assert_same_bits(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert bits(g) == bits(w)


FORMS = {
    "float64": lambda a: a,
    "float32": lambda a: a.astype(np.float32),
    "int64": lambda a: np.round(a).astype(np.int64),
    "uint16": lambda a: np.round(a).astype(np.uint16),
    "big-endian": lambda a: a.astype(">f8"),
    "strided": lambda a: np.repeat(a, 2)[::2],
    "list": lambda a: a.tolist(),
    "tuple": lambda a: tuple(np.round(a).astype(int).tolist()),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("name, periods", INDICATORS)
def test_every_form_gives_float64_arrays_with_the_module_bits(name, periods, form):
    inputs = [FORMS[form](x) for x in inputs_of(name, *bars())]
    got = kit(name, periods, *inputs)
    assert all(type(g) is np.ndarray and g.dtype == np.float64 and g.shape == (60,) for g in got)
    assert_same_bits(got, expected(name, periods, *inputs))


def test_float64_arrays_are_read_in_place():
    from veldspar_kit._inputs import NUMPY
    close = bars()[2]
    assert NUMPY.values(close, "sma", "data") is close


@pytest.mark.parametrize("head", [5, 200])
@pytest.mark.parametrize("name, periods", INDICATORS)
def test_leading_nans_are_skipped(name, periods, head):
    high, low, close = bars(400)
    # ATR skips the bars where any input is NaN: here the low's longer head.
    high[:head - 2], low[:head + 2], close[:head] = np.nan, np.nan, np.nan
    inputs = inputs_of(name, high, low, close)
    got = kit(name, periods, *inputs)
    assert_same_bits(got, expected(name, periods, *inputs))
    skipped = head + 2 if name == "atr" else head
    assert all((bits(g[:skipped]) == [NO_VALUE_BITS] * skipped) for g in got)
    assert all(np.isfinite(g[-1]) for g in got)


def test_the_first_value_is_found_wherever_it_is():
    for head in range(300):
        got = vk.sma(np.concatenate([np.full(head, np.nan), [1.0, 2.0]]), 1)
        assert bits(got) == [NO_VALUE_BITS] * head + bits([1.0, 2.0]), head


@pytest.mark.parametrize("n", [0, 1, 130])
@pytest.mark.parametrize("name, periods", INDICATORS)
def test_all_nan_series_give_all_nan(name, periods, n):
    got = kit(name, periods, *inputs_of(name, *[np.full(n, np.nan)] * 3))
    assert all(bits(g) == [NO_VALUE_BITS] * n for g in got)


def test_indicators_chain():
    # The counts a user expects of 300 bars: values after both warm-ups, and after the NaN head.
    close = np.array(random_walk(300, 11))
    chained = vk.sma(vk.ema(close, 20), 10)
    assert np.isfinite(chained).sum() == 300 - 19 - 9
    headed = np.concatenate([np.full(5, np.nan), close[5:]])
    macd, signal, hist = vk.macd(headed)
    assert [np.isfinite(a).sum() for a in (macd, signal, hist)] == [270, 262, 262]


@pytest.mark.parametrize("name, periods", INDICATORS)
def test_columns_of_a_2d_array_are_series(name, periods):
    # Three series of different starts; each result column equals the series computed alone.
    columns = [np.column_stack([x, np.roll(x, 7), x[::-1]]) for x in bars()]
    columns[2][:4, 1] = np.nan
    inputs = inputs_of(name, *columns)
    got = kit(name, periods, *inputs)
    assert all(g.shape == (60, 3) for g in got)
    for j in range(3):
        assert_same_bits([g[:, j] for g in got], expected(name, periods, *(x[:, j] for x in inputs)))


NOT_A_SERIES = "sma(): data must be a 1-D series of numbers (a NumPy array, a list or tuple, a pandas or polars Series), not "


@pytest.mark.parametrize("data, error, text", [
    (None, TypeError, NOT_A_SERIES + "None"),
    ("1 2 3", TypeError, NOT_A_SERIES + "str; parse the numbers first"),
    (3.5, TypeError, NOT_A_SERIES + "a single float; pass the whole series"),
    ({1: 2.0}, TypeError, NOT_A_SERIES + "dict; np.asarray(data, dtype=np.float64) converts an array-like"),
    ([1.0, None, 2.0], TypeError, "sma(): data must be a 1-D series of numbers: item 1 of the list is None; only "
                                  "int and float values are numbers here (float('nan') marks a missing value)"),
    ((1.0, "2"), TypeError, "sma(): data must be a 1-D series of numbers: item 1 of the tuple is '2' (a str); "
                            "only int and float values are numbers here (float('nan') marks a missing value)"),
    ([True, False], TypeError, "sma(): data must be a 1-D series of numbers: item 0 of the list is True (a bool); "
                               "only int and float values are numbers here (float('nan') marks a missing value)"),
    ([[1.0, 2.0], [3.0]], ValueError, "sma(): data must be a 1-D series of numbers: a list must be flat; for one "
                                      "column per series pass a 2-D NumPy array, np.column_stack(...) builds one"),
    ([[1.0, 2.0], [3.0, 4.0]], ValueError, "sma(): data must be a 1-D series of numbers: a list must be flat; for "
                                           "one column per series pass a 2-D NumPy array, np.column_stack(...) "
                                           "builds one"),
    (np.zeros((2, 3, 4)), ValueError, "sma(): data must be a 1-D series of numbers (or a 2-D array with one column "
                                      "per series), not a 3-D array of shape (2, 3, 4); data.reshape(len(data), -1) "
                                      "makes one column per series"),
    (np.array(2.0), ValueError, "sma(): data must be a 1-D series of numbers, not a 0-D array (a single value); "
                                "pass the whole series"),
    (np.array(["1.5", "2"]), TypeError, "sma(): data must be a 1-D series of numbers, not an array of dtype <U3; "
                                        "data.astype(np.float64) parses numbers held as text"),
    (np.array([1.0, None]), TypeError, "sma(): data must be a 1-D series of numbers, not an array of dtype object; "
                                       "np.asarray(data, dtype=np.float64) converts numbers held as objects"),
    (np.array([True]), TypeError, "sma(): data must be a 1-D series of numbers, not an array of dtype bool; "
                                  "booleans are not prices: data.astype(np.float64) if 0 and 1 are meant"),
    (np.array([1j]), TypeError, "sma(): data must be a 1-D series of numbers, not an array of dtype complex128; "
                                "take data.real or abs(data) first"),
    (np.ma.masked_array([1.0, 2.0], [0, 1]), TypeError, "sma(): data must be a 1-D series of numbers, not a masked "
                                                        "array; data.filled(np.nan) marks the masked values as "
                                                        "missing"),
])
def test_what_is_not_a_series_is_refused_with_what_to_do(data, error, text):
    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        vk.sma(data, 3)


def test_numbers_numpy_keeps_as_objects_are_converted():
    from fractions import Fraction
    assert bits(vk.ema([2**70, Fraction(1, 2), 3], 2)) == bits(vk.ema([2.0**70, 0.5, 3.0], 2))


@pytest.mark.parametrize("call, error, text", [
    (lambda x: vk.sma(x, 2.0), TypeError, "sma(): period must be an int, not float"),
    (lambda x: vk.ema(x, -1), ValueError, "ema(): period must be 0 or more, got -1"),
    (lambda x: vk.macd(x, 12, "26"), TypeError, "macd(): slow_period must be an int, not str"),
    (lambda x: vk.macd(x, 26, 12), ValueError, "Fast period must be less than slow period"),  # the module's own
    (lambda x: vk.atr(x, x[:-1], x), ValueError, "atr(): high, low and close must have the same length, "
                                                 "got 60, 59 and 60"),
    (lambda x: vk.atr(x, x, np.column_stack([x, x])), ValueError, "atr(): high, low and close must all be single "
                                                                  "series or all have one column per series, "
                                                                  "got 1, 1 and 2-D"),
    (lambda x: vk.atr(*[np.ones((60, k)) for k in (2, 2, 3)]), ValueError,
     "atr(): high, low and close must have the same shape, got (60, 2), (60, 2) and (60, 3)"),
])
def test_bad_periods_and_shapes_are_refused(call, error, text):
    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        call(bars()[2])


def test_importing_the_kit_imports_no_frame_library():
    done = run_python(
        "import sys, numpy as np, veldspar_kit as vk\n"
        "vk.macd(np.arange(40.0)); vk.sma([1.0, 2.0], 1)\n"
        "print(sorted({'pandas', 'polars', 'pyarrow'} & set(sys.modules)))\n"
        # A program that blocks pandas (as if absent) still computes.
        "sys.modules['pandas'] = None\n"
        "print(vk.sma((1, 2, 3), 2)[2])")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["[]", "2.5"]


def test_the_readme_s_examples_run_as_written(monkeypatch):
    # Its pandas and polars blocks are the guide's first two, which their suites run.
    readme = doc_blocks("README.md")
    assert readme[:2] == doc_blocks("docs/kit.md")[:2]
    out = run_doc_block(2, monkeypatch, "README.md")["out"]
    assert bits(out) == bits(np.array([np.nan, np.nan, 2.0, 3.0, 4.0]))
    streamed = run_doc_block(3, monkeypatch, "README.md")
    whole = vk.sma(np.concatenate([[101.5], streamed["closes"]]), 20)
    assert bits(streamed["out"]) == bits(whole[1:]) and np.isnan(streamed["avg"])
    assert streamed["line"] != streamed["line"]  # NaN: MACD's first bar is in its warm-up
    paneled = run_doc_block(4, monkeypatch, "README.md")
    for row in (0, 499):
        assert bits(paneled["ema"][row]) == bits(vk.ema(paneled["closes"][row], 20))
