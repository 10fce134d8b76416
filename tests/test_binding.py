"""Binding of positional and keyword arguments, and conversion of periods."""
import struct

import numpy as np
import pytest

import veldspar
from conftest import Index, bits, run_python

SIZE_MAX = 2 ** (8 * struct.calcsize("P")) - 1
D = np.array([1.0, 2.0, 3.0, 4.0, 5.0])


def outs(n=5, count=1):
    return [np.full(n, 9.0) for _ in range(count)]


@pytest.mark.parametrize("call, message", [
    (lambda: veldspar.indicator_sma(5, D, outs()[0], D),
     "indicator_sma() takes 3 positional arguments but 4 were given"),
    (lambda: veldspar.indicator_sma(5, D, outs()[0], D, output=D),
     "indicator_sma() takes 3 positional arguments but 4 were given"),
    (lambda: veldspar.indicator_sma(5, D),
     "indicator_sma() missing 1 required positional argument: 'output'"),
    (lambda: veldspar.indicator_sma(5),
     "indicator_sma() missing 2 required positional arguments: 'data' and 'output'"),
    (lambda: veldspar.indicator_sma(),
     "indicator_sma() missing 3 required positional arguments: 'period', 'data', and 'output'"),
    (lambda: veldspar.indicator_macd(1, 2, 3, D),
     "indicator_macd() missing 3 required positional arguments: 'macd_output', 'signal_output', and 'hist_output'"),
    (lambda: veldspar.indicator_macd(1, 2, 3, D, hist_output=D),
     "indicator_macd() missing 2 required positional arguments: 'macd_output' and 'signal_output'"),
    (lambda: veldspar.indicator_ema(5, D, outs()[0], period=3),
     "indicator_ema() got multiple values for argument 'period'"),
    (lambda: veldspar.indicator_atr(period=3, high=D, low=D, close=D, out=D),
     "indicator_atr() got an unexpected keyword argument 'out'"),
    # An unexpected keyword is reported before missing parameters.
    (lambda: veldspar.indicator_atr(3, bogus=1),
     "indicator_atr() got an unexpected keyword argument 'bogus'"),
    # Names compare as exact bytes.
    (lambda: veldspar.indicator_sma(5, D, Output=D),
     "indicator_sma() got an unexpected keyword argument 'Output'"),
])
def test_binding_failures(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_keyword_that_is_not_valid_utf8_is_reported_repaired():
    name = "\udcff"
    expected = name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    with pytest.raises(TypeError) as raised:
        veldspar.indicator_sma(1, D, D, **{name: 1})
    assert str(raised.value) == f"indicator_sma() got an unexpected keyword argument '{expected}'"


@pytest.mark.parametrize("kwargs_of", [
    lambda d, o: dict(args=(), kwargs=dict(period=3, data=d, output=o)),
    lambda d, o: dict(args=(3,), kwargs=dict(output=o, data=d)),
    lambda d, o: dict(args=(3, d), kwargs=dict(output=o)),
])
def test_keywords_bind_like_positions(kwargs_of):
    expected = np.empty(5)
    veldspar.indicator_sma(3, D, expected)
    out = np.empty(5)
    call = kwargs_of(D, out)
    assert veldspar.indicator_sma(*call["args"], **call["kwargs"]) is None
    assert bits(out) == bits(expected)


def test_macd_and_atr_bind_every_parameter_by_keyword():
    data = np.linspace(1.0, 20.0, 20)
    m, s, h = outs(20, 3)
    veldspar.indicator_macd(signal_period=2, fast_period=2, slow_period=3, hist_output=h,
                            signal_output=s, macd_output=m, data=data)
    m2, s2, h2 = outs(20, 3)
    veldspar.indicator_macd(2, 3, 2, data, m2, s2, h2)
    assert (bits(m), bits(s), bits(h)) == (bits(m2), bits(s2), bits(h2))
    o, o2 = outs(20, 2)
    veldspar.indicator_atr(output=o, close=data, low=data - 1, high=data + 1, period=3)
    veldspar.indicator_atr(3, data + 1, data - 1, data, o2)
    assert bits(o) == bits(o2)


def sma_of(period):
    out = np.full(5, 9.0)
    veldspar.indicator_sma(period, D, out)
    return out


@pytest.mark.parametrize("period, same_as", [
    (True, 1), (False, 0), (np.int64(3), 3), (np.uint8(2), 2), (Index(4), 4), (SIZE_MAX, 0),
])
def test_period_conversion_accepts_integers(period, same_as):
    assert bits(sma_of(period)) == bits(sma_of(same_as))


class IntSubclass(int):
    pass


@pytest.mark.parametrize("period", [*range(0, 42), 2**30 - 1, 2**30, 2**30 + 1, 2**31, 2**62, 2**64 - 1])
def test_exact_ints_read_in_place_agree_with_the_general_conversion(period):
    # Small exact ints are read straight from the int object; a subclass goes
    # through the general conversion. Both must see the same value.
    data = np.linspace(1.0, 3.0, 40) ** 2
    fast, general = np.full(40, 9.0), np.full(40, 9.0)
    if period > SIZE_MAX:  # 32-bit targets
        for value in (period, IntSubclass(period)):
            with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
                veldspar.indicator_sma(value, data, fast)
        return
    veldspar.indicator_sma(period, data, fast)
    veldspar.indicator_sma(IntSubclass(period), data, general)
    assert bits(fast) == bits(general)
    assert np.isnan(fast).sum() == (40 if not 1 <= period <= 40 else period - 1)


@pytest.mark.parametrize("period", [3.0, "3", None, np.float64(3.0), [3]])
def test_period_without_index_is_a_prefixed_type_error(period):
    with pytest.raises(TypeError) as raised:
        sma_of(period)
    try:
        period.__index__()
    except (TypeError, AttributeError) as inner:
        inner_message = str(inner) if isinstance(inner, TypeError) else None
    if inner_message is not None:
        assert str(raised.value) == f"argument 'period': {inner_message}"
    assert str(raised.value).startswith("argument 'period': ")
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__ is True


@pytest.mark.parametrize("period", [-1, SIZE_MAX + 1, 2 ** 64, Index(-5)])
def test_out_of_range_period_is_an_unprefixed_overflow_error(period):
    with pytest.raises(OverflowError) as raised:
        sma_of(period)
    assert not str(raised.value).startswith("argument")
    if SIZE_MAX < period_value(period) < 2 ** 64:
        assert str(raised.value) == "out of range integral type conversion attempted"


def period_value(period):
    return period.value if isinstance(period, Index) else period


def test_index_errors_pass_through_wrapping_by_exact_type():
    class Custom(TypeError):
        pass

    cause = KeyError("why")

    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    # A TypeError subclass and any other exception reach the caller unchanged.
    for error in (Custom("subclass"), ValueError("value")):
        with pytest.raises(type(error)) as raised:
            sma_of(Raises(error))
        assert raised.value is error
    # An exact TypeError is re-raised with the prefix and keeps its cause.
    chained = TypeError("inner")
    chained.__cause__ = cause
    with pytest.raises(TypeError) as raised:
        sma_of(Raises(chained))
    assert str(raised.value) == "argument 'period': inner"
    assert raised.value.__cause__ is cause
    assert raised.value.__suppress_context__ is True


def test_unprintable_inner_error_is_reported_and_replaced(monkeypatch):
    class BadArg:
        def __str__(self):
            raise RuntimeError("no text")

    class Raises:
        def __index__(self):
            raise TypeError(BadArg())

    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as raised:
        sma_of(Raises())
    assert str(raised.value) == "argument 'period': <unprintable TypeError object>"
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]


def test_a_wrap_that_fails_deep_in_a_recursion_is_raised_not_fatal():
    # The hook re-enters the call whose refusal looks it up, until the
    # interpreter refuses to go deeper: then (on CPython 3.9 and 3.10) making
    # the wrapping TypeError itself fails, and that failure is what is raised.
    # A low limit keeps the C stack small (sanitized builds have large frames).
    result = run_python(
        "import sys, numpy as np, veldspar\n"
        "sys.setrecursionlimit(200)\n"
        "class Meta(type):\n"
        "    def __getattribute__(cls, name):\n"
        "        if name == '__qualname__':\n"
        "            veldspar.indicator_sma(2, np.zeros(4), Bad())\n"
        "        return type.__getattribute__(cls, name)\n"
        "Bad = Meta('Bad', (), {})\n"
        "try:\n"
        "    veldspar.indicator_sma(2, np.zeros(4), Bad())\n"
        "except (TypeError, RecursionError) as error:\n"
        "    print(type(error).__name__)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in ("TypeError", "RecursionError")


def test_macd_converts_periods_in_parameter_order():
    m, s, h = outs(5, 3)
    with pytest.raises(TypeError, match="^argument 'slow_period': "):
        veldspar.indicator_macd(1, 2.0, 3, D, m, s, h)
    with pytest.raises(TypeError, match="^argument 'fast_period': "):
        veldspar.indicator_macd(1.0, 2.0, 3, D, m, s, h)
    with pytest.raises(TypeError, match="^argument 'signal_period': "):
        veldspar.indicator_macd(1, 2, None, "not an array", m, s, h)
