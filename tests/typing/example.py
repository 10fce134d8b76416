"""Typed use of veldspar: must pass `mypy --strict` against the installed stubs, and runs."""
import numpy as np
import numpy.typing as npt

import veldspar


class Period:
    """A period that is not an int: the functions take anything with __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def sma(data: npt.NDArray[np.float64], period: int) -> npt.NDArray[np.float64]:
    output = np.empty_like(data)
    veldspar.indicator_sma(period, data, output)
    return output


def main() -> None:
    close = np.array([1.0, 2.0, 3.0, 4.0, 5.0], dtype=np.float64)
    high = close + 0.5
    low = close - 0.5
    assert np.array_equal(sma(close, 3), [np.nan, np.nan, 2.0, 3.0, 4.0], equal_nan=True)

    ema = np.zeros(len(close))
    veldspar.indicator_ema(period=Period(2), data=close, output=ema)
    macd, signal, hist = np.empty(5), np.empty(5), np.empty(5)
    veldspar.indicator_macd(2, 3, 2, close, macd_output=macd, signal_output=signal, hist_output=hist)
    atr = np.empty(5)
    veldspar.indicator_atr(2, high, low, close, atr)
    assert not np.isnan(ema[1]) and not np.isnan(hist[3]) and not np.isnan(atr[2])

    exported: list[str] = veldspar.__all__
    assert exported == ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]


if __name__ == "__main__":
    main()
