"""polars: Series, DataFrames and expressions in and out, and the `.veldspar` namespaces of Expr and Series.

Imported only once the caller's program has imported polars; importing it registers the namespaces.
An expression computes when polars runs it, on each batch polars hands it: the whole column, or
one group's rows under `.over(...)` and in `group_by(...).agg(...)`.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence, Union

import numpy as np
import polars as pl

from . import _indicators as vk
from . import _messages as msg
from ._inputs import KINDS_BY_TYPE, join, run
from ._series import OUTPUTS, Float64Array

if TYPE_CHECKING:
    from typing import SupportsIndex

    Frame = Union[pl.Series, pl.DataFrame]


def claims(obj: object) -> bool:
    return isinstance(obj, (pl.Series, pl.DataFrame, pl.Expr))


def _numeric(dtype: Any) -> bool:
    return bool(dtype.is_float() or dtype.is_integer())


def _series_values(series: pl.Series, fn: str, arg: str) -> Float64Array:
    if not _numeric(series.dtype):
        raise TypeError(msg.POLARS_DTYPE.format(fn=fn, arg=arg, dtype=series.dtype))
    # Float64 without nulls in one chunk is read in place; nulls become NaN.
    return np.ascontiguousarray(series.to_numpy(), dtype=np.float64)


class PolarsKind:
    def values(self, obj: Frame, fn: str, arg: str) -> Float64Array:
        if isinstance(obj, pl.Series):
            return _series_values(obj, fn, arg)
        for column, dtype in obj.schema.items():
            if not _numeric(dtype):
                raise TypeError(msg.POLARS_COLUMN.format(fn=fn, arg=arg, column=column, dtype=dtype))
        rows = np.empty((obj.width, obj.height))
        for row, series in enumerate(obj.iter_columns()):
            rows[row] = _series_values(series, fn, arg)
        return rows

    def result(self, like: Frame, block: Float64Array, names: Sequence[str]) -> Any:
        if isinstance(like, pl.Series):
            if len(block) == 1:
                return pl.Series(like.name, block[0])
            return pl.DataFrame(dict(zip(names, block)))
        if len(block) == 1:
            return pl.DataFrame({column: block[0][row] for row, column in enumerate(like.columns)})
        # One struct column per series, as `frame.select(pl.all().veldspar.macd())` gives.
        return pl.DataFrame([
            pl.DataFrame({name: out[row] for name, out in zip(names, block)}).to_struct(column)
            for row, column in enumerate(like.columns)])

    def check_together(self, fn: str, args: dict[str, Any]) -> None:
        frames = [(arg, obj) for arg, obj in args.items() if isinstance(obj, pl.DataFrame)]
        for arg, obj in frames[1:]:
            if obj.columns != frames[0][1].columns:
                raise ValueError(msg.POLARS_COLUMNS.format(fn=fn, args=join(list(args)), first=frames[0][0],
                                                           second=arg))

    def is_expression(self, obj: object) -> bool:
        return isinstance(obj, pl.Expr)

    def expression(self, fn: str, periods: Sequence[int], args: dict[str, Any]) -> pl.Expr:
        if not all(isinstance(obj, pl.Expr) for obj in args.values()):
            raise TypeError(msg.POLARS_EXPRESSIONS.format(fn=fn, args=join(list(args))))
        names = OUTPUTS[fn]
        dtype = pl.Float64 if len(names) == 1 else pl.Struct({name: pl.Float64 for name in names})

        def batch(series: list[pl.Series]) -> pl.Series:
            result = run(fn, periods, dict(zip(args, series)))
            return result if isinstance(result, pl.Series) else result.to_struct(series[-1].name)

        exprs: list[pl.Expr] = list(args.values())
        if len(exprs) == 1:
            return exprs[0].map_batches(lambda series: batch([series]), return_dtype=dtype)
        # Several inputs travel as one struct (pl.map_batches over several expressions gets whole columns
        # under .over() in polars 1.0). Its first field, the last input (close), names the result; the
        # others get names that cannot clash with it.
        fields = [exprs[-1], *(expr.alias(f"__veldspar_{arg}") for arg, expr in list(args.items())[:-1])]
        return pl.struct(fields).map_batches(
            lambda struct: batch([*(struct.struct.field(f) for f in struct.struct.fields[1:]),
                                  struct.struct.field(struct.struct.fields[0])]), return_dtype=dtype)


KIND = PolarsKind()
KINDS_BY_TYPE.update({pl.Series: KIND, pl.DataFrame: KIND, pl.Expr: KIND})


def _column(expr: pl.Expr | str) -> pl.Expr:
    return pl.col(expr) if isinstance(expr, str) else expr


@pl.api.register_expr_namespace("veldspar")
class VeldsparExpr:
    """veldspar_kit's indicators of this expression: ``pl.col("close").veldspar.sma(20)``.

    Works in lazy frames and per group (``.over("symbol")``). Type checkers do not see namespaces;
    ``veldspar_kit.sma(pl.col("close"), 20)`` is the typed spelling.
    """

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def sma(self, period: SupportsIndex) -> pl.Expr:
        """Simple moving average: see ``veldspar_kit.sma``."""
        return vk.sma(self._expr, period)

    def ema(self, period: SupportsIndex) -> pl.Expr:
        """Exponential moving average: see ``veldspar_kit.ema``."""
        return vk.ema(self._expr, period)

    def macd(self, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
             signal_period: SupportsIndex = 9) -> pl.Expr:
        """MACD as a struct with fields ``macd``, ``signal``, ``hist`` (``.struct.unnest()`` spreads them)."""
        return vk.macd(self._expr, fast_period, slow_period, signal_period)

    def atr(self, high: pl.Expr | str, low: pl.Expr | str, period: SupportsIndex = 14) -> pl.Expr:
        """Average true range, this expression being the close; ``high`` and ``low`` may be column names."""
        return vk.atr(_column(high), _column(low), self._expr, period)


@pl.api.register_series_namespace("veldspar")
class VeldsparSeries:
    """veldspar_kit's indicators of this Series: ``close.veldspar.sma(20)`` is ``vk.sma(close, 20)``."""

    def __init__(self, series: pl.Series) -> None:
        self._series = series

    def sma(self, period: SupportsIndex) -> pl.Series:
        """Simple moving average: see ``veldspar_kit.sma``."""
        return vk.sma(self._series, period)

    def ema(self, period: SupportsIndex) -> pl.Series:
        """Exponential moving average: see ``veldspar_kit.ema``."""
        return vk.ema(self._series, period)

    def macd(self, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
             signal_period: SupportsIndex = 9) -> pl.DataFrame:
        """MACD, signal line and histogram as columns ``macd``, ``signal``, ``hist``."""
        return vk.macd(self._series, fast_period, slow_period, signal_period)

    def atr(self, high: pl.Series, low: pl.Series, period: SupportsIndex = 14) -> pl.Series:
        """Average true range, this Series being the close: see ``veldspar_kit.atr``."""
        return vk.atr(high, low, self._series, period)
