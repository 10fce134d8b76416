"""pandas: Series and DataFrames in and out, and the Series accessor `.veldspar`.

Imported only once the caller's program has imported pandas; importing it registers the accessor.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence, Union

import numpy as np
import pandas as pd
from pandas.api import types as pdt

from . import _indicators as vk
from . import _messages as msg
from ._inputs import KINDS_BY_TYPE, join
from ._series import Float64Array

if TYPE_CHECKING:
    from typing import SupportsIndex

    Frame = Union["pd.Series[Any]", pd.DataFrame]


_FLOAT64 = np.dtype(np.float64)


def claims(obj: object) -> bool:
    return isinstance(obj, (pd.Series, pd.DataFrame))


def _numeric(dtype: Any) -> bool:
    """Real numbers: NumPy's ints and floats, and the extension types that hold them (nullable, Arrow)."""
    if isinstance(dtype, np.dtype):
        return dtype.kind in "iuf"
    return pdt.is_numeric_dtype(dtype) and not pdt.is_bool_dtype(dtype) and not pdt.is_complex_dtype(dtype)


def _hint(dtype: Any, arg: str) -> str:
    if pdt.is_bool_dtype(dtype):
        return msg.PANDAS_HINT_BOOL.format(arg=arg)
    if pdt.is_object_dtype(dtype) or pdt.is_string_dtype(dtype):
        return msg.PANDAS_HINT.format(arg=arg)
    return msg.PANDAS_HINT_OTHER.format(arg=arg)


class PandasKind:
    def values(self, obj: Frame, fn: str, arg: str) -> Float64Array:
        if isinstance(obj, pd.Series):
            dtype = obj.dtype
            if dtype == _FLOAT64:  # the common case, read in place
                return np.ascontiguousarray(obj.to_numpy())
            if not _numeric(dtype):
                raise TypeError(msg.PANDAS_DTYPE.format(fn=fn, arg=arg, dtype=dtype, hint=_hint(dtype, arg)))
            if isinstance(dtype, np.dtype):  # float64 is read in place
                return np.ascontiguousarray(obj.to_numpy(dtype=np.float64))
            return np.ascontiguousarray(obj.to_numpy(dtype=np.float64, na_value=np.nan))  # <NA> is NaN
        plain = True
        for column, dtype in obj.dtypes.items():
            if not _numeric(dtype):
                raise TypeError(msg.PANDAS_COLUMN.format(fn=fn, arg=arg, column=column, dtype=dtype))
            plain = plain and isinstance(dtype, np.dtype)
        # A na_value makes pandas copy; NumPy dtypes have no <NA> to replace.
        values = (obj.to_numpy(dtype=np.float64) if plain else
                  obj.to_numpy(dtype=np.float64, na_value=np.nan))
        # A float64 frame's values are its block transposed: the columns are rows already.
        return np.ascontiguousarray(values.T)

    def result(self, like: Frame, block: Float64Array, names: Sequence[str]) -> Any:
        if isinstance(like, pd.Series):
            if len(block) == 1:
                return pd.Series(block[0], index=like.index, name=like.name, copy=False)
            return pd.DataFrame(block.T, index=like.index, columns=list(names), copy=False)
        frames = [pd.DataFrame(out.T, index=like.index, columns=like.columns, copy=False) for out in block]
        if len(frames) == 1:
            return frames[0]
        # Two column levels: frame["macd"] is the MACD of every series.
        return pd.concat(dict(zip(names, frames)), axis=1)

    def check_together(self, fn: str, args: dict[str, Frame]) -> None:
        (first, head), *rest = args.items()
        for arg, obj in rest:
            if obj.index is not head.index and not obj.index.equals(head.index):
                raise ValueError(msg.PANDAS_INDEX.format(fn=fn, args=join(list(args)), first=first, second=arg))
            if (isinstance(obj, pd.DataFrame) and isinstance(head, pd.DataFrame)
                    and not obj.columns.equals(head.columns)):
                raise ValueError(msg.PANDAS_COLUMNS.format(fn=fn, args=join(list(args)), first=first, second=arg))

    def is_expression(self, obj: object) -> bool:
        return False


KIND = PandasKind()
KINDS_BY_TYPE.update({pd.Series: KIND, pd.DataFrame: KIND})


@pd.api.extensions.register_series_accessor("veldspar")
class VeldsparAccessor:
    """veldspar_kit's indicators of this Series: ``close.veldspar.sma(20)`` is ``vk.sma(close, 20)``.

    Type checkers do not see accessors; ``veldspar_kit.sma(close, 20)`` is the typed spelling.
    """

    def __init__(self, series: pd.Series[Any]) -> None:
        self._series = series

    def sma(self, period: SupportsIndex) -> pd.Series[float]:
        """Simple moving average: see ``veldspar_kit.sma``."""
        return vk.sma(self._series, period)

    def ema(self, period: SupportsIndex) -> pd.Series[float]:
        """Exponential moving average: see ``veldspar_kit.ema``."""
        return vk.ema(self._series, period)

    def macd(self, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
             signal_period: SupportsIndex = 9) -> pd.DataFrame:
        """MACD, signal line and histogram as columns ``macd``, ``signal``, ``hist``: see ``veldspar_kit.macd``."""
        return vk.macd(self._series, fast_period, slow_period, signal_period)

    def atr(self, high: pd.Series[Any], low: pd.Series[Any], period: SupportsIndex = 14) -> pd.Series[float]:
        """Average true range, this Series being the close: see ``veldspar_kit.atr``."""
        return vk.atr(high, low, self._series, period)
