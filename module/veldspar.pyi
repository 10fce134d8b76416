# Type information for the native module veldspar. Every function writes into
# caller-allocated, contiguous, one-dimensional float64 arrays of the input's
# length and returns None; see README.md for the rules of each indicator.
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

_F64 = npt.NDArray[np.float64]

def indicator_sma(period: SupportsIndex, data: _F64, output: _F64) -> None: ...
def indicator_ema(period: SupportsIndex, data: _F64, output: _F64) -> None: ...
def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _F64,
    macd_output: _F64,
    signal_output: _F64,
    hist_output: _F64,
) -> None: ...
def indicator_atr(period: SupportsIndex, high: _F64, low: _F64, close: _F64, output: _F64) -> None: ...
