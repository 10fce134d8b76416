# pyright: strict
"""Typed use of veldspar_kit: must pass `mypy --strict` and pyright's strict mode, and runs.

Each call's result has the caller's kind to a type checker too: arrays give arrays, pandas gives
pandas, polars gives polars.
"""
import copy
import pickle
from typing import Any, Tuple

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
from typing_extensions import assert_type

import veldspar_kit as vk
from veldspar_kit import panel

F64 = npt.NDArray[np.float64]


def arrays() -> None:
    close = np.linspace(10.0, 20.0, 40)
    high, low = close + 0.5, close - 0.5
    assert_type(vk.sma(close, 5), F64)
    assert_type(vk.ema([1.0, 2.0, 3.0], 2), F64)
    assert_type(vk.ema(np.arange(10), 3), F64)  # any real dtype
    macd: Tuple[F64, F64, F64] = vk.macd(close)
    assert_type(vk.atr(high, low, close, 14), F64)
    assert not np.isnan(macd[0][-1])
    assert_type(vk.__version__, str)


def pandas_frame() -> pd.DataFrame:
    frame = pd.DataFrame({"high": np.linspace(11.0, 21.0, 40), "low": np.linspace(9.0, 19.0, 40)})
    frame["close"] = (frame["high"] + frame["low"]) / 2
    sma = vk.sma(frame["close"], 20)
    assert_type(sma, "pd.Series[float]")
    frame["sma"] = sma
    frame["ema"] = vk.ema(frame["close"], 20)
    frame["atr"] = vk.atr(frame["high"], frame["low"], frame["close"])
    macd = vk.macd(frame["close"])
    assert_type(macd, pd.DataFrame)
    wide: pd.DataFrame = vk.sma(frame[["high", "low"]], 5)
    assert list(wide.columns) == ["high", "low"]
    return frame.join(macd)


def polars_frame() -> pl.DataFrame:
    frame = pl.DataFrame({"symbol": ["A", "B"] * 20, "close": np.linspace(10.0, 20.0, 40)})
    expr = vk.sma(pl.col("close"), 5)
    assert_type(expr, pl.Expr)
    series = vk.ema(frame["close"], 5)
    assert_type(series, pl.Series)
    query = frame.lazy().with_columns(sma=expr.over("symbol"), macd=vk.macd(pl.col("close"), 3, 6, 4))
    result: pl.DataFrame = query.collect().unnest("macd")
    assert_type(vk.macd(frame["close"]), pl.DataFrame)
    assert_type(vk.ema(frame.select("close"), 5), pl.DataFrame)
    return result


def streams() -> None:
    close = np.linspace(10.0, 20.0, 40)
    out, signal, hist = np.empty(40), np.empty(40), np.empty(40)
    sma = vk.stream.SMA(5)
    assert_type(sma.update(1.5), float)
    assert_type(sma.update(np.float32(2.0)), float)
    sma.update_many(close, out)
    assert sma.count == 42 and sma.period == 5
    macd = vk.stream.MACD(3, 6, 4)
    assert_type(macd.update(3), Tuple[float, float, float])
    macd.update_many(close, out, signal, hist)
    assert_type(copy.deepcopy(macd), vk.stream.MACD)
    resumed: vk.stream.MACD = pickle.loads(pickle.dumps(macd))
    assert resumed.update(21.0) == macd.update(21.0)
    atr = vk.stream.ATR(14)
    assert_type(atr.update(high=11.0, low=9.0, close=10.0), float)
    atr.update_many(close + 0.5, close - 0.5, close, out)
    assert_type(vk.stream.EMA(3).update_many(close, out), None)


def panels() -> None:
    close = np.cumsum(np.ones((4, 30)), axis=1)
    sma: F64 = np.empty_like(close)
    panel.sma(5, close, sma, threads=2)
    lines = [np.empty_like(close) for _ in range(3)]
    panel.macd(3, 6, 4, close, lines[0], lines[1], lines[2])
    panel.atr(5, close + 0.5, close - 0.5, close, np.empty_like(close), threads=4)
    assert sma[0, -1] == 28.0


def main() -> None:
    arrays()
    streams()
    panels()
    columns: Any = list(pandas_frame().columns)
    assert columns == ["high", "low", "close", "sma", "ema", "atr", "macd", "signal", "hist"]
    assert polars_frame().columns == ["symbol", "close", "sma", "macd", "signal", "hist"]


if __name__ == "__main__":
    main()
