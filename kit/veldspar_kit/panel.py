"""Many series at once: each indicator over a 2-D block of float64, one series per row, in one call.

    import numpy as np
    from veldspar_kit import panel

    closes = ...                   # float64, shape (symbols, bars), C-contiguous
    ema = np.empty_like(closes)
    panel.ema(20, closes, ema, threads=2)

Row r of every output holds, bit for bit, what the veldspar module's function writes for row r
alone: warm-up, seeding, NaN and infinity rules included, whatever the neighbouring rows hold.
Several rows advance together on each core, so a panel takes a fraction of the time of one call
per row.

The arrays are NumPy arrays of float64, 2-D, C-contiguous and all of one shape; outputs are
writeable and share no memory with an input or with each other. A call that breaks any of this
raises before anything is written, with a text that says what was expected. Periods are taken
and checked as the module takes them. ``threads`` (keyword-only, 1 by default) splits the rows
across that many native threads, the calling one among them; the interpreter lock is released
for the whole computation, ATR's included. A thread the system refuses to start leaves its rows
to the calling thread: the results are the same, only later.
"""
from ._native import panel_atr as atr
from ._native import panel_ema as ema
from ._native import panel_macd as macd
from ._native import panel_sma as sma

__all__ = ["sma", "ema", "macd", "atr"]
