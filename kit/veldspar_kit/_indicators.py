"""The four indicators for everyday data: any series of numbers in, a new result of the same kind out.

Each function takes a NumPy array of any real dtype, a list or tuple of numbers, a pandas Series or a
polars Series (or a polars expression, giving an expression); 2-D arrays and DataFrames give one
result column per column. Values are converted to contiguous float64 (read in place where they
already are) and computed by the veldspar module, so every value is the module's to the bit. Leading
NaNs are skipped: the result is NaN there and, after them, the module's result on the rest, so
indicators chain (``sma(ema(x, 20), 10)``). nulls of pandas and polars columns count as NaN.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence, SupportsIndex, Tuple, Union, overload

from ._inputs import period as _period
from ._inputs import run as _run

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    import polars as pl

    #: One series of numbers, or one column per series in a 2-D array.
    ArrayLike = Union[npt.NDArray[Any], Sequence[float]]
    Float64Array = npt.NDArray[np.float64]


@overload
def sma(data: ArrayLike, period: SupportsIndex) -> Float64Array: ...
@overload
def sma(data: pd.Series[Any], period: SupportsIndex) -> pd.Series[float]: ...
@overload
def sma(data: pd.DataFrame, period: SupportsIndex) -> pd.DataFrame: ...
@overload
def sma(data: pl.Series, period: SupportsIndex) -> pl.Series: ...
@overload
def sma(data: pl.DataFrame, period: SupportsIndex) -> pl.DataFrame: ...
@overload
def sma(data: pl.Expr, period: SupportsIndex) -> pl.Expr: ...
def sma(data: Any, period: SupportsIndex) -> Any:
    """Simple moving average of ``data`` over ``period`` values, as a new object of ``data``'s kind.

    After any leading NaNs, the first ``period - 1`` positions are NaN (warm-up); each later one is
    the mean of the last ``period`` values. A NaN after the start makes every later average NaN.
    ``period`` 0 or longer than the series gives all NaN.
    """
    return _run("sma", (_period(period, "sma", "period"),), {"data": data})


@overload
def ema(data: ArrayLike, period: SupportsIndex) -> Float64Array: ...
@overload
def ema(data: pd.Series[Any], period: SupportsIndex) -> pd.Series[float]: ...
@overload
def ema(data: pd.DataFrame, period: SupportsIndex) -> pd.DataFrame: ...
@overload
def ema(data: pl.Series, period: SupportsIndex) -> pl.Series: ...
@overload
def ema(data: pl.DataFrame, period: SupportsIndex) -> pl.DataFrame: ...
@overload
def ema(data: pl.Expr, period: SupportsIndex) -> pl.Expr: ...
def ema(data: Any, period: SupportsIndex) -> Any:
    """Exponential moving average of ``data`` (``alpha = 2/(period+1)``), as a new object of ``data``'s kind.

    Seeded with the mean of the first ``period`` consecutive finite values, NaN before the seed;
    later NaN and infinite values are skipped (NaN at their position, the average carries on).
    """
    return _run("ema", (_period(period, "ema", "period"),), {"data": data})


@overload
def macd(data: ArrayLike, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> Tuple[Float64Array, Float64Array, Float64Array]: ...
@overload
def macd(data: pd.Series[Any], fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> pd.DataFrame: ...
@overload
def macd(data: pd.DataFrame, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> pd.DataFrame: ...
@overload
def macd(data: pl.Series, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> pl.DataFrame: ...
@overload
def macd(data: pl.DataFrame, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> pl.DataFrame: ...
@overload
def macd(data: pl.Expr, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> pl.Expr: ...
def macd(data: Any, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9) -> Any:
    """MACD line, signal line and histogram of ``data``.

    Results: a tuple ``(macd, signal, hist)`` of arrays for arrays and lists; a DataFrame with
    columns ``macd``, ``signal`` and ``hist`` for a Series (pandas: on its index); an expression of
    a struct with those fields for a polars expression. For a 2-D array, a tuple of 2-D arrays; for a
    pandas DataFrame, columns in two levels (``result["macd"]`` has one column per series); for a
    polars DataFrame, one struct column per series.

    Skipped NaNs after the start leave NaN in all three outputs at their position. The periods must
    be greater than 0 and ``fast_period`` less than ``slow_period`` (``ValueError`` otherwise).
    """
    periods = tuple(_period(p, "macd", arg) for p, arg in
                    ((fast_period, "fast_period"), (slow_period, "slow_period"), (signal_period, "signal_period")))
    return _run("macd", periods, {"data": data})


@overload
def atr(high: ArrayLike, low: ArrayLike, close: ArrayLike, period: SupportsIndex = 14) -> Float64Array: ...
@overload
def atr(high: pd.Series[Any], low: pd.Series[Any], close: pd.Series[Any],
        period: SupportsIndex = 14) -> pd.Series[float]: ...
@overload
def atr(high: pd.DataFrame, low: pd.DataFrame, close: pd.DataFrame, period: SupportsIndex = 14) -> pd.DataFrame: ...
@overload
def atr(high: pl.Series, low: pl.Series, close: pl.Series, period: SupportsIndex = 14) -> pl.Series: ...
@overload
def atr(high: pl.DataFrame, low: pl.DataFrame, close: pl.DataFrame, period: SupportsIndex = 14) -> pl.DataFrame: ...
@overload
def atr(high: pl.Expr, low: pl.Expr, close: pl.Expr, period: SupportsIndex = 14) -> pl.Expr: ...
def atr(high: Any, low: Any, close: Any, period: SupportsIndex = 14) -> Any:
    """Average true range over ``period`` bars, as a new object of ``close``'s kind (and its name).

    The leading bars where any of the three inputs is NaN are skipped together. After them, the first
    ``period`` positions are NaN: the first bar has no true range, and the next ``period`` seed the
    average. pandas inputs must share one index; all three must have the same length.
    """
    return _run("atr", (_period(period, "atr", "period"),), {"high": high, "low": low, "close": close})
