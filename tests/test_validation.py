"""Validation order of the four entry functions; failures leave no trace."""
import sys

import numpy as np
import pytest

import veldspar
from conftest import bits

SENTINEL = 9.0


def fresh(n):
    return np.full(n, SENTINEL)


def strided(n):
    return np.full(2 * n, SENTINEL)[::2]


def untouched(*arrays):
    return all(bits(a) == bits(np.full(len(a), SENTINEL)) for a in arrays)


D = np.arange(1.0, 7.0)


@pytest.mark.parametrize("function", [veldspar.indicator_sma, veldspar.indicator_ema])
@pytest.mark.parametrize("period, data, output, error, message", [
    (-1, "bad", "bad", OverflowError, None),
    (2.5, "bad", "bad", TypeError, "^argument 'period': "),
    (2, [1.0], "bad", TypeError, "^argument 'data': 'list' object"),
    (2, D, [1.0], TypeError, "^argument 'output': 'list' object cannot be converted to 'PyArray<T, D>'$"),
    (2, D, np.ones((2, 3)), TypeError, "^argument 'output': 'ndarray' object"),
    (2, D[::2], strided(4), ValueError, "^Input array must be C-contiguous and float64$"),
    (2, D[::2], fresh(9), ValueError, "^Input array must be C-contiguous and float64$"),
    (2, D, strided(6), ValueError, "^Output array must be C-contiguous and float64$"),
    (2, D, strided(7), ValueError, "^Output array must be C-contiguous and float64$"),
    (2, D, fresh(7), ValueError, "^Output array length must match input$"),
    (2, D, fresh(5), ValueError, "^Output array length must match input$"),
])
def test_moving_average_checks_in_order(function, period, data, output, error, message):
    with pytest.raises(error, match=message):
        function(period, data, output)
    if isinstance(output, np.ndarray) and output.ndim == 1:
        assert untouched(output)


def macd_outputs(n=6):
    return [fresh(n), fresh(n), fresh(n)]


@pytest.mark.parametrize("periods, data, outputs, error, message", [
    ((0, 0, 1), D, macd_outputs(), ValueError, "^Periods must be greater than 0$"),
    ((2, 3, 0), D, macd_outputs(), ValueError, "^Periods must be greater than 0$"),
    ((3, 3, 1), D, macd_outputs(), ValueError, "^Fast period must be less than slow period$"),
    ((4, 3, 1), D, macd_outputs(), ValueError, "^Fast period must be less than slow period$"),
    # Acquisition precedes validation.
    ((0, 3, 1), D, [[0.0], fresh(6), fresh(6)], TypeError, "^argument 'macd_output': 'list'"),
    ((0, 3, 1), D, [fresh(6), fresh(6), None], TypeError, "^argument 'hist_output': 'NoneType'"),
    ((2, 3, 1), D, [fresh(6), strided(5), fresh(6)], ValueError,
     "^All output arrays must have the same length as input data$"),
    ((2, 3, 1), D[::2], [strided(3), fresh(3), fresh(3)], ValueError, "^Input array must be C-contiguous$"),
    ((2, 3, 1), D, [strided(6), strided(6), fresh(6)], ValueError, "^MACD output array must be C-contiguous$"),
    ((2, 3, 1), D, [fresh(6), strided(6), strided(6)], ValueError, "^Signal output array must be C-contiguous$"),
    ((2, 3, 1), D, [fresh(6), fresh(6), strided(6)], ValueError, "^Histogram output array must be C-contiguous$"),
])
def test_macd_checks_in_order(periods, data, outputs, error, message):
    with pytest.raises(error, match=message):
        veldspar.indicator_macd(*periods, data, *outputs)
    assert untouched(*[o for o in outputs if isinstance(o, np.ndarray)])


@pytest.mark.parametrize("arrays, error, message", [
    ((None, D, D, fresh(6)), TypeError, "^argument 'high': 'NoneType'"),
    ((D, None, D, fresh(6)), TypeError, "^argument 'low': 'NoneType'"),
    ((D, D, None, fresh(6)), TypeError, "^argument 'close': 'NoneType'"),
    ((D, D, D, None), TypeError, "^argument 'output': 'NoneType'"),
    ((D[::2], D[:4], D, fresh(6)), ValueError, "^High array must be C-contiguous and float64$"),
    ((D, D[::2], D[::2], fresh(6)), ValueError, "^Low array must be C-contiguous and float64$"),
    ((D, D, D[::2], strided(6)), ValueError, "^Close array must be C-contiguous and float64$"),
    ((D, D[:5], D, fresh(6)), ValueError, "^All arrays must have the same length$"),
    ((D, D, D, fresh(7)), ValueError, "^All arrays must have the same length$"),
    ((D, D, D, strided(5)), ValueError, "^All arrays must have the same length$"),
    ((D, D, D, strided(6)), ValueError, "^Output array must be C-contiguous and float64$"),
])
def test_atr_checks_in_order(arrays, error, message):
    with pytest.raises(error, match=message):
        veldspar.indicator_atr(3, *arrays)
    output = arrays[3]
    if isinstance(output, np.ndarray):
        assert untouched(output)


def test_atr_period_error_precedes_array_errors():
    with pytest.raises(OverflowError):
        veldspar.indicator_atr(-3, None, None, None, None)


def failing_calls(data, out):
    """One failing call per stage of every entry function, all on the same arrays."""
    m, s, h = out
    return [
        lambda: veldspar.indicator_sma(2, data),
        lambda: veldspar.indicator_sma(-1, data, m),
        lambda: veldspar.indicator_ema(2, data, [0.0]),
        lambda: veldspar.indicator_ema(2, data, m[:3]),
        lambda: veldspar.indicator_macd(0, 2, 1, data, m, s, h),
        lambda: veldspar.indicator_macd(2, 3, 1, data, m, s, h[::2]),
        lambda: veldspar.indicator_macd(2, 3, 1, data, m, s, "x"),
        lambda: veldspar.indicator_atr(2, data, data, None, m),
        lambda: veldspar.indicator_atr(2, data, data, data, m[:2]),
        lambda: veldspar.indicator_atr(2, data, data, data[::2], m),
    ]


def test_failures_leave_no_reference_and_no_write_behind():
    data = np.arange(1.0, 9.0)
    out = (fresh(8), fresh(8), fresh(8))
    calls = failing_calls(data, out)
    before = [sys.getrefcount(a) for a in (data, *out)]
    for _ in range(200):
        for call in calls:
            with pytest.raises((TypeError, ValueError, OverflowError)):
                call()
    assert [sys.getrefcount(a) for a in (data, *out)] == before
    assert untouched(*out)
    # The inputs are free again at once.
    veldspar.indicator_macd(2, 3, 1, data, *out)
    veldspar.indicator_atr(2, data, data, data, out[0])
    assert [sys.getrefcount(a) for a in (data, *out)] == before


def test_successful_calls_leave_no_reference_behind():
    data = np.arange(1.0, 9.0)
    out = fresh(8)
    before = (sys.getrefcount(data), sys.getrefcount(out))
    for _ in range(200):
        veldspar.indicator_sma(3, data, out)
        veldspar.indicator_atr(3, data, data, data, out)
    assert (sys.getrefcount(data), sys.getrefcount(out)) == before


def test_output_that_is_the_input_becomes_all_nan():
    for function in (veldspar.indicator_sma, veldspar.indicator_ema):
        data = np.arange(1.0, 7.0)
        function(2, data, data)
        assert bits(data) == [0x7FF8000000000000] * 6


@pytest.mark.parametrize("shift", [1, -1, 3])
def test_moving_average_refuses_a_shifted_overlap(shift):
    buffer = np.full(12, SENTINEL)
    data, out = (buffer[:8], buffer[shift:shift + 8]) if shift > 0 else (buffer[1:9], buffer[:8])
    for function in (veldspar.indicator_sma, veldspar.indicator_ema):
        with pytest.raises(ValueError, match="^Output array must not partially overlap the input$"):
            function(2, data, out)
    assert untouched(buffer)


def test_macd_refuses_outputs_sharing_memory():
    buffer = np.full(12, SENTINEL)
    data = np.arange(1.0, 7.0)
    cases = [
        (buffer[:6], buffer[6:], buffer[3:9]),        # two outputs overlap
        (buffer[:6], buffer[:6], buffer[6:]),         # the same array twice
        (data, buffer[:6], buffer[6:]),               # an output is the input
    ]
    for outputs in cases:
        with pytest.raises(ValueError, match="^Output arrays must not overlap the input or each other$"):
            veldspar.indicator_macd(2, 3, 1, data, *outputs)
    assert untouched(buffer)
    assert bits(data) == bits(np.arange(1.0, 7.0))


def test_atr_refuses_an_output_sharing_memory_with_an_input():
    buffer = np.full(8, SENTINEL)
    clean = np.ones(6)
    for position in range(3):
        inputs = [clean, clean, clean]
        inputs[position] = buffer[:6]
        with pytest.raises(ValueError, match="^Output array must not overlap the inputs$"):
            veldspar.indicator_atr(2, *inputs, buffer[2:])
    assert untouched(buffer)


def test_adjacent_arrays_in_one_buffer_are_fine():
    buffer = np.zeros(12)
    buffer[:6] = np.arange(1.0, 7.0)
    veldspar.indicator_sma(2, buffer[:6], buffer[6:])
    assert buffer[6:].tolist()[1:] == [1.5, 2.5, 3.5, 4.5, 5.5]
