"""Indicators fed one bar at a time, with the batch functions' values to the bit."""
from typing import Any, SupportsIndex, Tuple, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["SMA", "EMA", "MACD", "ATR"]

_Array = NDArray[np.float64]
# What update() takes: any numbers.Real; these are the types checkers know to be real numbers.
_Real = float | int | np.floating[Any] | np.integer[Any]

@final
class SMA:
    """Simple moving average, fed one bar at a time."""

    def __new__(cls, period: SupportsIndex) -> SMA: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    def update(self, x: _Real, /) -> float:
        """Feeds one bar and returns the value at it (NaN where the batch function has none)."""
    def update_many(self, data: _Array, output: _Array) -> None:
        """Feeds the bars of data and writes the value at each into output, in place."""
    def __reduce__(self) -> Tuple[type[SMA], Tuple[int], Tuple[int, bytes]]: ...
    def __setstate__(self, state: Tuple[int, bytes], /) -> None: ...

@final
class EMA:
    """Exponential moving average with alpha = 2 / (period + 1), fed one bar at a time."""

    def __new__(cls, period: SupportsIndex) -> EMA: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    def update(self, x: _Real, /) -> float:
        """Feeds one bar and returns the value at it (NaN where the batch function has none)."""
    def update_many(self, data: _Array, output: _Array) -> None:
        """Feeds the bars of data and writes the value at each into output, in place."""
    def __reduce__(self) -> Tuple[type[EMA], Tuple[int], Tuple[int, bytes]]: ...
    def __setstate__(self, state: Tuple[int, bytes], /) -> None: ...

@final
class MACD:
    """MACD line, signal line and histogram, fed one bar at a time."""

    def __new__(cls, fast_period: SupportsIndex, slow_period: SupportsIndex, signal_period: SupportsIndex) -> MACD: ...
    @property
    def fast_period(self) -> int: ...
    @property
    def slow_period(self) -> int: ...
    @property
    def signal_period(self) -> int: ...
    @property
    def count(self) -> int: ...
    def update(self, x: _Real, /) -> Tuple[float, float, float]:
        """Feeds one bar and returns (macd, signal, hist) at it."""
    def update_many(self, data: _Array, macd_output: _Array, signal_output: _Array, hist_output: _Array) -> None:
        """Feeds the bars of data and writes the three values at each into the outputs, in place."""
    def __reduce__(self) -> Tuple[type[MACD], Tuple[int, int, int], Tuple[int, bytes]]: ...
    def __setstate__(self, state: Tuple[int, bytes], /) -> None: ...

@final
class ATR:
    """Average true range, fed one bar (high, low, close) at a time."""

    def __new__(cls, period: SupportsIndex) -> ATR: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    def update(self, high: _Real, low: _Real, close: _Real) -> float:
        """Feeds one bar and returns the average true range at it."""
    def update_many(self, high: _Array, low: _Array, close: _Array, output: _Array) -> None:
        """Feeds the bars of high, low and close and writes the value at each into output, in place."""
    def __reduce__(self) -> Tuple[type[ATR], Tuple[int], Tuple[int, bytes]]: ...
    def __setstate__(self, state: Tuple[int, bytes], /) -> None: ...
