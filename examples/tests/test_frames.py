"""DataFrame columns into the module and its outputs back: which conversions are views, which
copy, and which the module refuses (as of pandas 3.1 and polars 2.2)."""
import re

import numpy as np
import pandas as pd
import polars as pl
import pytest

from conftest import bits

import veldspar

CLOSE = [10.0, 11.0, 12.5, 11.5, 13.0, 14.0]
NAN = float("nan")


def sma3(values):
    out = np.empty(len(values))
    veldspar.indicator_sma(3, values, out)
    return out


@pytest.mark.parametrize("column", [pd.Series(CLOSE), pd.Series(CLOSE, dtype="Float64"),
                                    pl.Series(CLOSE)], ids=["pandas", "pandas Float64", "polars"])
def test_float64_column_without_nulls_is_read_in_place(column):
    values = column.to_numpy()
    # A copy would be new memory on every call.
    assert values.dtype == np.float64 and np.shares_memory(values, column.to_numpy())
    assert (bits(sma3(values)) == bits(sma3(np.array(CLOSE)))).all()


def test_pandas_round_trip():
    frame = pd.DataFrame({"close": CLOSE})
    out = np.empty(len(frame))
    veldspar.indicator_sma(3, frame["close"].to_numpy(), out)
    frame["copied"] = out                                                  # pandas copies
    frame["shared"] = pd.Series(out, index=frame.index, copy=False)      # wraps out as it is
    assert not np.shares_memory(frame["copied"].to_numpy(), out)
    assert np.shares_memory(frame["shared"].to_numpy(), out)
    want = bits(sma3(np.array(CLOSE)))
    assert (bits(frame["copied"]) == want).all() and (bits(frame["shared"]) == want).all()
    # A column's own memory is read-only under copy-on-write, so it cannot be an output.
    with pytest.raises(ValueError, match="^Output array must be writeable$"):
        veldspar.indicator_sma(3, frame["close"].to_numpy(), frame["copied"].to_numpy())


def test_polars_round_trip():
    frame = pl.DataFrame({"close": CLOSE})
    out = np.empty(frame.height)
    veldspar.indicator_sma(3, frame["close"].to_numpy(), out)
    frame = frame.with_columns(pl.Series("sma", out))                     # wraps out as it is
    frame["close"].to_numpy(allow_copy=False)
    with pytest.raises(RuntimeError, match="copy not allowed"):           # nulls need a copy
        pl.Series([1.0, None]).to_numpy(allow_copy=False)
    assert np.shares_memory(frame["sma"].to_numpy(), out)
    assert (bits(frame["sma"].to_numpy()) == bits(sma3(np.array(CLOSE)))).all()


NOT_FLOAT = (TypeError, "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("column, outcome", [
    (pd.Series([10.0, None, 12.5], dtype="Float64"), [10.0, NAN, 12.5]),  # NA becomes NaN
    (pl.Series([10.0, None, 12.5]), [10.0, NAN, 12.5]),
    (pl.Series([10, None, 12]), [10.0, NAN, 12.0]),                       # integers too
    (pd.Series([10, 11, 12]), NOT_FLOAT),
    (pl.Series([10, 11, 12]), NOT_FLOAT),
], ids=["pandas Float64 NA", "polars null", "polars Int64 null", "pandas int64", "polars Int64"])
def test_column_that_is_no_float64_view(column, outcome):
    values = column.to_numpy()
    if isinstance(outcome, list):
        assert values.dtype == np.float64 and values.flags.c_contiguous
        assert not np.shares_memory(values, column.to_numpy())
        np.testing.assert_array_equal(values, outcome)
        np.testing.assert_array_equal(sma3(values), sma3(np.array(outcome)))
    else:
        out = np.full(len(values), 7.0)
        with pytest.raises(outcome[0], match=f"^{re.escape(outcome[1])}$"):
            veldspar.indicator_sma(3, values, out)
        assert (out == 7.0).all()


def test_every_other_row():
    pandas_column, polars_column = pd.Series(CLOSE), pl.Series(CLOSE)
    strided = pandas_column.iloc[::2].to_numpy()        # a view with a stride of two elements
    assert np.shares_memory(strided, pandas_column.to_numpy())
    with pytest.raises(ValueError, match="^Input array must be C-contiguous and float64$"):
        sma3(strided)
    gathered = polars_column[::2].to_numpy()            # polars gathers into new memory
    assert not np.shares_memory(gathered, polars_column.to_numpy())
    assert (bits(sma3(gathered)) == bits(sma3(np.array(CLOSE[::2])))).all()
    assert (bits(sma3(np.ascontiguousarray(strided))) == bits(sma3(gathered))).all()
