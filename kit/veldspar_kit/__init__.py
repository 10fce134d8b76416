"""veldspar_kit: the companion of the veldspar module, for everyday indicator work.

The veldspar module computes four indicators in place into arrays the caller allocates; this
package builds on it for the work around that.
"""
from importlib import metadata as _metadata

try:
    __version__: str = _metadata.version("veldspar")
except _metadata.PackageNotFoundError:  # a build tree on PYTHONPATH, not an installed distribution
    __version__ = "0+unknown"

__all__ = ["__version__"]
