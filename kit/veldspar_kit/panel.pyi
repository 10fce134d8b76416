# The types of veldspar_kit.panel, whose functions are native (their docstrings are at run time).
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["sma", "ema", "macd", "atr"]

_Panel = npt.NDArray[np.float64]

def sma(period: SupportsIndex, data: _Panel, output: _Panel, *, threads: SupportsIndex = 1) -> None: ...
def ema(period: SupportsIndex, data: _Panel, output: _Panel, *, threads: SupportsIndex = 1) -> None: ...
def macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _Panel,
    macd_output: _Panel,
    signal_output: _Panel,
    hist_output: _Panel,
    *,
    threads: SupportsIndex = 1,
) -> None: ...
def atr(
    period: SupportsIndex, high: _Panel, low: _Panel, close: _Panel, output: _Panel, *, threads: SupportsIndex = 1
) -> None: ...
