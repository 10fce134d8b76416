"""The indicators on contiguous float64 arrays: one series (1-D), or one series per row (2-D).

Leading NaNs are skipped: their positions get the module's "no value" NaN, and the module computes
on the rest of the series, so an indicator of an indicator has values after both warm-ups.
"""
from __future__ import annotations

from typing import Callable, Sequence

import numpy as np
import numpy.typing as npt

import veldspar

from . import panel

Float64Array = npt.NDArray[np.float64]

# The NaN the module stores where a position has no value; assigning it copies these exact bits.
NO_VALUE = np.array(0x7FF8000000000000, dtype=np.uint64).view(np.float64)

# Each indicator: the module's function, and its outputs (one column each, named as they are named here).
MODULE: dict[str, Callable[..., None]] = {
    "sma": veldspar.indicator_sma,
    "ema": veldspar.indicator_ema,
    "macd": veldspar.indicator_macd,
    "atr": veldspar.indicator_atr,
}
OUTPUTS = {"sma": ("sma",), "ema": ("ema",), "macd": ("macd", "signal", "hist"), "atr": ("atr",)}
# The panel function of each module function: the same rows in one call.
PANEL: dict[Callable[..., None], Callable[..., None]] = {
    veldspar.indicator_sma: panel.sma,
    veldspar.indicator_ema: panel.ema,
    veldspar.indicator_macd: panel.macd,
    veldspar.indicator_atr: panel.atr,
}


def first_value(values: Float64Array) -> int:
    """The index of the first value that is not NaN (len(values) if none is)."""
    n = len(values)
    if n == 0 or values[0] == values[0]:
        return 0
    # Warm-up runs are short next to the series: look in growing chunks rather than test it whole.
    start, step = 1, 64
    while start < n:
        chunk = values[start:start + step]
        found = np.flatnonzero(chunk == chunk)
        if found.size:
            return start + int(found[0])
        start, step = start + step, step * 4
    return n


def fill(function: Callable[..., None], periods: Sequence[int], inputs: Sequence[Float64Array],
         outputs: Sequence[Float64Array]) -> None:
    """One series: NaN over the leading positions where an input is NaN, the module's result after them."""
    skip = 0
    for values in inputs:
        skip = max(skip, first_value(values))
    if skip:
        for out in outputs:
            out[:skip] = NO_VALUE
        inputs = [values[skip:] for values in inputs]
        outputs = [out[skip:] for out in outputs]
    function(*periods, *inputs, *outputs)


def fill_rows(function: Callable[..., None], periods: Sequence[int], inputs: Sequence[Float64Array],
              outputs: Sequence[Float64Array]) -> None:
    """One series per row of C-contiguous 2-D arrays, each row exactly as `fill` computes it alone.

    One call of the panel function computes every row as the module computes it whole; that is `fill`'s
    result for every row whose inputs do not start with NaN. The others, whose leading NaNs `fill`
    skips, are computed again by `fill`, one by one.
    """
    PANEL[function](*periods, *inputs, *outputs)
    starts_missing = np.zeros(len(inputs[0]), dtype=bool)
    for values in inputs:
        if values.shape[1]:
            starts_missing |= np.isnan(values[:, 0])
    for row in np.flatnonzero(starts_missing):
        fill(function, periods, [values[row] for values in inputs], [out[row] for out in outputs])


def compute(name: str, periods: Sequence[int], inputs: Sequence[Float64Array]) -> Float64Array:
    """A new block of the indicator's outputs, block[k] the k-th, each of the inputs' shape (all 1-D, or all
    2-D with one series per row). A frame takes the block whole, without a copy."""
    first = inputs[0]
    block = np.empty((len(OUTPUTS[name]), *first.shape))
    (fill if first.ndim == 1 else fill_rows)(MODULE[name], periods, inputs, list(block))
    return block
