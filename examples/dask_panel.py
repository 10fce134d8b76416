"""Computes the four indicators for a panel of symbols on a Dask cluster, Parquet in and
out, and checks the results bit for bit against a run in this process.

The panel goes to Parquet partitioned by symbol group, one folder per group. Each task
reads one group, allocates its output columns once and fills them in place: when every
symbol of the group has as many bars as the others, each column is a (symbols, bars) block
with one series per row (a reshape, not a copy), and one panel call (veldspar_kit.panel)
per indicator computes the whole group; otherwise one call per symbol does, on the symbol's
contiguous slice of every column. The group's results go back to Parquet. The run in this
process then times both ways on the whole panel and prints the panel's speed-up.

This machine: python examples/dask_panel.py [--symbols 400] [--workers 2]
A running cluster: python examples/dask_panel.py --scheduler tcp://HOST:8786 --dir /shared/path
  (its workers need veldspar and pandas, pyarrow installed and must see --dir at the same path)
Needs pandas, pyarrow and dask[distributed]: pip install '.[examples]' (from the source folder).
"""
import argparse
import contextlib
import pathlib
import sys
import tempfile
import time

import numpy as np

import veldspar
from many_symbols import synthetic
from veldspar_kit import panel

try:
    import pandas as pd
    from dask.distributed import Client, LocalCluster
except ImportError:
    sys.exit("dask_panel.py needs pandas, pyarrow and dask[distributed]: "
             "pip install '.[examples]' (from the source folder)")

OUTPUTS = ("sma", "ema", "macd", "signal", "hist", "atr")


def fill(high, low, close, out):
    """The four indicators of one series, written into out's arrays."""
    veldspar.indicator_sma(20, close, out["sma"])
    veldspar.indicator_ema(20, close, out["ema"])
    veldspar.indicator_macd(12, 26, 9, close, out["macd"], out["signal"], out["hist"])
    veldspar.indicator_atr(14, high, low, close, out["atr"])


def fill_panel(high, low, close, out):
    """The four indicators of every row (one series each) of 2-D arrays, one panel call each."""
    panel.sma(20, close, out["sma"])
    panel.ema(20, close, out["ema"])
    panel.macd(12, 26, 9, close, out["macd"], out["signal"], out["hist"])
    panel.atr(14, high, low, close, out["atr"])


def indicators(group, out_root):
    """One task: a group folder of the panel in, a Parquet file of its indicators out."""
    frame = pd.read_parquet(group).sort_values(["symbol", "bar"], ignore_index=True)
    high, low, close = (frame[c].to_numpy(np.float64) for c in ("high", "low", "close"))
    out = {name: np.empty(len(frame)) for name in OUTPUTS}
    _, starts, counts = np.unique(frame["symbol"].to_numpy(), return_index=True, return_counts=True)
    if len(counts) and (counts == counts[0]).all():  # a rectangle: one series per row
        shape = len(counts), int(counts[0])
        fill_panel(*(x.reshape(shape) for x in (high, low, close)), {n: o.reshape(shape) for n, o in out.items()})
    else:
        for a, b in zip(starts, [*starts[1:], len(frame)]):
            fill(high[a:b], low[a:b], close[a:b], {name: o[a:b] for name, o in out.items()})
    path = pathlib.Path(out_root) / pathlib.Path(group).name / "part.parquet"
    path.parent.mkdir(parents=True, exist_ok=True)
    frame[["symbol", "bar"]].assign(**out).to_parquet(path, index=False)
    return str(path)


def write_panel(root, high, low, close, groups):
    symbols, bars = close.shape
    names = np.array([f"S{i:05d}" for i in range(symbols)])
    pd.DataFrame({
        "group": np.repeat(np.arange(symbols) % groups, bars),
        "symbol": np.repeat(names, bars),
        "bar": np.tile(np.arange(bars), symbols),
        "high": high.ravel(), "low": low.ravel(), "close": close.ravel(),
    }).to_parquet(root / "panel", partition_cols=["group"], index=False)
    return [str(p) for p in sorted((root / "panel").glob("group=*"))]


def main(symbols=400, bars=2520, groups=8, workers=2, scheduler=None, folder=None):
    if folder:
        return run(pathlib.Path(folder), symbols, bars, groups, workers, scheduler, keep=True)
    # Without --dir the panel and the results (about 90 MB at the default sizes) go when the run ends.
    with tempfile.TemporaryDirectory(prefix="veldspar-panel-") as root:
        return run(pathlib.Path(root), symbols, bars, groups, workers, scheduler, keep=False)


def run(root, symbols, bars, groups, workers, scheduler, keep):
    high, low, close = synthetic(symbols, bars)
    parts = write_panel(root, high, low, close, groups)

    begin = time.perf_counter()
    cluster = (contextlib.nullcontext(scheduler) if scheduler else
               LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            dashboard_address=None))
    with cluster as address, Client(address) as client:
        ready = time.perf_counter()
        count = len(client.scheduler_info()["workers"])
        files = client.gather(client.map(indicators, parts, out_root=str(root / "out")))
        done = time.perf_counter()
    print(f"{count} worker processes: {symbols} symbols x {bars} bars in {len(parts)} groups "
          f"took {done - ready:.2f} s (cluster start {ready - begin:.2f} s)")

    # The single-process run: every series straight from memory, no Parquet, no Dask; one call
    # per symbol (what the cluster's results must equal), then one panel call per indicator.
    # Outputs written once before the clock starts, so that neither way pays for first touches.
    want, again = ({name: np.full_like(close, 0.0) for name in OUTPUTS} for _ in range(2))
    per_symbol = time.perf_counter()
    for s in range(symbols):
        fill(high[s], low[s], close[s], {name: o[s] for name, o in want.items()})
    per_panel = time.perf_counter()
    fill_panel(high, low, close, again)
    end = time.perf_counter()
    print(f"in this process: one call per symbol {1e3 * (per_panel - per_symbol):.1f} ms, one panel call per "
          f"indicator {1e3 * (end - per_panel):.1f} ms ({(per_panel - per_symbol) / (end - per_panel):.1f}x)")
    got = pd.concat(map(pd.read_parquet, files)).sort_values(["symbol", "bar"])
    same = all(np.array_equal(got[name].to_numpy().view(np.uint64),
                              want[name].view(np.uint64).ravel()) for name in OUTPUTS)
    print("results are bit-identical to the single-process run" if same else
          "MISMATCH between the cluster and the single-process run")
    if keep:
        print("results in", root / "out")
    return same


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--symbols", type=int, default=400)
    parser.add_argument("--bars", type=int, default=2520, help="bars per symbol")
    parser.add_argument("--groups", type=int, default=8, help="Parquet partitions (tasks)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--scheduler", help="address of a running scheduler, instead of a local cluster")
    parser.add_argument("--dir", dest="folder",
                        help="working folder, kept afterwards (default: a temporary one, removed at the end)")
    sys.exit(0 if main(**vars(parser.parse_args())) else 1)
