"""Technical-analysis indicators over NumPy float64 arrays, computed in place.

Every function writes into arrays the caller allocated and returns None. Arrays are
one-dimensional NumPy arrays (or subclasses) of native float64 with elements 8 bytes apart,
ascending; periods are integers or objects with ``__index__``. A failing call writes nothing.
Every parameter can be given by position or by keyword.
"""

from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

_F64 = npt.NDArray[np.float64]

# The docstrings below exist for editors and type checkers only: the functions' runtime
# __doc__ is None. Their error lists follow the checks of module/src and the texts of
# module/src/messages.hpp; keep them in step.

def indicator_sma(period: SupportsIndex, data: _F64, output: _F64) -> None:
    """Simple moving average of ``data`` over ``period`` values, written into ``output``.

    ``output[period-1]`` is the sum of ``data[0]`` to ``data[period-1]`` (added in index
    order, starting from -0.0) times ``1.0/period``; each later ``output[i]`` adds
    ``data[i] - data[i-period]`` to the running sum and multiplies it by the same
    reciprocal. A NaN in ``data`` makes every later average NaN.

    Output:
        ``output[0]`` to ``output[period-2]``: NaN (warm-up).
        ``output[period-1]`` onwards: the averages.
        All NaN when ``period`` is 0 or larger than ``len(data)``, or when ``output`` is
        ``data`` itself.

    Errors, in the order they are checked:
        TypeError: wrong argument count, an unknown or repeated keyword.
        TypeError, OverflowError: ``period`` without ``__index__``, negative, or too large.
        ImportError: NumPy's C API cannot be obtained (raised at ``data``).
        TypeError: ``data`` is not a one-dimensional float64 array.
        BufferError: another native module holds a write borrow on ``data``'s memory.
        TypeError: ``output`` is not a one-dimensional float64 array.
        ValueError: "Input array must be C-contiguous and float64".
        ValueError: "Output array must be C-contiguous and float64".
        ValueError: "Output array length must match input".
        ValueError: "Output array must be writeable".
        ValueError: "Output array must not partially overlap the input".
    """

def indicator_ema(period: SupportsIndex, data: _F64, output: _F64) -> None:
    """Exponential moving average of ``data``, written into ``output``.

    ``alpha = 2.0/(period+1.0)``. The average is seeded at the end of the first run of
    ``period`` consecutive finite values with their mean (a true division); then each finite
    value ``x`` updates ``ema = alpha*x + (1-alpha)*ema``. NaN and infinite values after the
    seed are skipped: their position holds NaN and the average carries on.

    Output:
        Positions before the end of the seed window: NaN; values before that window are
        ignored.
        The seed position and onwards: the average (NaN where the input was not finite).
        All NaN when ``period`` is 0, larger than ``len(data)``, when no ``period``
        consecutive values are finite, or when ``output`` is ``data`` itself.

    Errors, in the order they are checked:
        TypeError: wrong argument count, an unknown or repeated keyword.
        TypeError, OverflowError: ``period`` without ``__index__``, negative, or too large.
        ImportError: NumPy's C API cannot be obtained (raised at ``data``).
        TypeError: ``data`` is not a one-dimensional float64 array.
        BufferError: another native module holds a write borrow on ``data``'s memory.
        TypeError: ``output`` is not a one-dimensional float64 array.
        ValueError: "Input array must be C-contiguous and float64".
        ValueError: "Output array must be C-contiguous and float64".
        ValueError: "Output array length must match input".
        ValueError: "Output array must be writeable".
        ValueError: "Output array must not partially overlap the input".
    """

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _F64,
    macd_output: _F64,
    signal_output: _F64,
    hist_output: _F64,
) -> None:
    """MACD line, signal line and histogram of ``data``, written into the three outputs.

    With F, S, G the fast, slow and signal periods, each average uses
    ``alpha = 2/(period+1)``. At the first index ``i >= S-1`` whose input is not NaN the
    fast and slow averages are seeded with the means of the last F and the last S values
    (summed newest first from -0.0, true division), then follow
    ``ema = alpha*x + (1-alpha)*ema``. MACD is fast minus slow. The signal line is seeded
    with a single MACD value at the first index ``>= S+G-2`` with a non-NaN input, then
    follows the same recurrence over MACD values. The histogram is MACD minus signal.

    Output:
        Index ``i < S-1``: NaN in all three outputs (warm-up).
        ``macd_output[i]``: fast EMA minus slow EMA, from the seed index on.
        ``signal_output[i]``, ``hist_output[i]``: NaN before the signal seed; 0.0 in the
        histogram at the seed; then the signal line and MACD minus signal.
        A NaN input leaves NaN in all three outputs at its index and changes no state.

    Errors, in the order they are checked:
        TypeError: wrong argument count, an unknown or repeated keyword.
        TypeError, OverflowError: a period without ``__index__``, negative, or too large
        (``fast_period``, ``slow_period``, ``signal_period``, in that order).
        ImportError: NumPy's C API cannot be obtained (raised at ``data``).
        TypeError: ``data`` is not a one-dimensional float64 array.
        BufferError: another native module holds a write borrow on ``data``'s memory.
        TypeError: an output is not a one-dimensional float64 array (in parameter order).
        ValueError: "Periods must be greater than 0".
        ValueError: "Fast period must be less than slow period".
        ValueError: "All output arrays must have the same length as input data".
        ValueError: "Input array must be C-contiguous".
        ValueError: "MACD output array must be C-contiguous".
        ValueError: "Signal output array must be C-contiguous".
        ValueError: "Histogram output array must be C-contiguous".
        ValueError: "MACD output array must be writeable".
        ValueError: "Signal output array must be writeable".
        ValueError: "Histogram output array must be writeable".
        ValueError: "Output arrays must not overlap the input or each other".
    """

def indicator_atr(period: SupportsIndex, high: _F64, low: _F64, close: _F64, output: _F64) -> None:
    """Average true range of the bars ``high``, ``low``, ``close``, written into ``output``.

    For each bar ``j >= 1``,
    ``TR(j) = max(max(high[j]-low[j], |high[j]-close[j-1]|), |low[j]-close[j-1]|)``, where
    ``max(a, b)`` is ``b`` when ``a`` is NaN or ``a < b``, else ``a`` (one NaN term is
    ignored). ``output[period]`` is the mean of ``TR(1)`` to ``TR(period)`` (summed from
    +0.0, divided by ``period``); each later bar gives ``atr = atr + (1/period)*(TR(i) - atr)``.
    The call keeps the interpreter lock throughout.

    Output:
        ``output[0]`` to ``output[period-1]``: NaN (bar 0 has no true range).
        ``output[period]`` onwards: the average true range.
        All NaN when ``period`` is 0 or there are no more bars than ``period``.

    Errors, in the order they are checked:
        TypeError: wrong argument count, an unknown or repeated keyword.
        TypeError, OverflowError: ``period`` without ``__index__``, negative, or too large.
        ImportError: NumPy's C API cannot be obtained (raised at ``high``).
        TypeError, BufferError: ``high``, then ``low``, then ``close`` is not a
        one-dimensional float64 array, or another native module holds a write borrow on it.
        TypeError: ``output`` is not a one-dimensional float64 array.
        ValueError: "High array must be C-contiguous and float64".
        ValueError: "Low array must be C-contiguous and float64".
        ValueError: "Close array must be C-contiguous and float64".
        ValueError: "All arrays must have the same length".
        ValueError: "Output array must be C-contiguous and float64".
        ValueError: "Output array must be writeable".
        ValueError: "Output array must not overlap the inputs".
    """
