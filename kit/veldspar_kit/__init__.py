"""veldspar_kit: the companion of the veldspar module, for everyday indicator work.

The veldspar module computes four indicators in place into arrays the caller allocates; this
package builds on it for the work around that.

``sma``, ``ema``, ``macd`` and ``atr`` take a series in whatever form it comes (a NumPy array of any
real dtype, a list or tuple, a pandas or polars Series, a polars expression) and return a new result
of that kind, with the module's values to the bit and leading NaNs skipped, so indicators chain.
Importing the package also gives pandas Series a ``.veldspar`` accessor and polars expressions and
Series a ``.veldspar`` namespace (``pl.col("close").veldspar.sma(20)``), without importing either
library: each gets its namespace when the program imports it.

``veldspar_kit.stream`` holds the indicators fed one bar at a time (``stream.SMA(20).update(x)``),
with the same values to the bit.
"""
from importlib import metadata as _metadata

from . import _registration
from ._indicators import atr, ema, macd, sma

# Streams (veldspar_kit.stream): indicators fed one bar at a time.
from . import stream

try:
    __version__: str = _metadata.version("veldspar")
except _metadata.PackageNotFoundError:  # a build tree on PYTHONPATH, not an installed distribution
    __version__ = "0+unknown"

__all__ = ["__version__", "sma", "ema", "macd", "atr", "stream"]

_registration.watch()
