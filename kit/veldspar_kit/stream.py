"""Indicators fed one bar at a time, with the batch functions' values to the bit.

``SMA(period)``, ``EMA(period)``, ``MACD(fast_period, slow_period, signal_period)`` and
``ATR(period)`` each keep the state of one series between calls. ``update`` feeds one bar and
returns the value at it; ``update_many`` feeds a chunk of bars into output arrays, in place. Fed bar
by bar, chunk by chunk or in any mix, every value has exactly the bits that the veldspar module's
function gives at that index for the whole series. ``copy.copy``, ``copy.deepcopy`` and ``pickle``
give an independent stream that carries on identically.
"""
from ._native import ATR, EMA, MACD, SMA

__all__ = ["SMA", "EMA", "MACD", "ATR"]
