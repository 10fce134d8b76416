"""Replays the bundled sample bars as a live feed: each new bar updates four streaming indicators.

Each bar is printed with its indicators as it arrives. Every stream keeps its state between bars, so
a bar costs the same however long the history is, and every value has exactly the bits that the
veldspar module's functions give at that bar for the whole series (checked at the end). With
--resume-at N the streams are pickled after bar N and the feed carries on with the unpickled
copies, as a process restarted from a checkpoint would. The last lines give the measured cost of
one update of each indicator.

Run from anywhere: python examples/live.py [path/to/bars.csv] [--delay 0.05] [--resume-at 100]
"""
import argparse
import csv
import pathlib
import pickle
import time

import numpy as np

import veldspar
from veldspar_kit import stream

SAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "bars.csv"
COLUMNS = ("sma(10)", "ema(10)", "macd", "signal", "hist", "atr(14)")


def load(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    return [(row["date"], float(row["high"]), float(row["low"]), float(row["close"])) for row in rows]


def new_streams():
    return {"sma": stream.SMA(10), "ema": stream.EMA(10), "macd": stream.MACD(12, 26, 9), "atr": stream.ATR(14)}


def on_bar(streams, high, low, close):
    """The indicators at a new bar, in the order of COLUMNS."""
    return (streams["sma"].update(close), streams["ema"].update(close), *streams["macd"].update(close),
            streams["atr"].update(high, low, close))


def replay(bars, delay=0.0, resume_at=None, quiet=False):
    """Feeds the bars one at a time, printing each; returns the rows of indicator values."""
    streams, rows = new_streams(), []
    if not quiet:
        print(f"{'date':>12}{'close':>10}" + "".join(f"{c:>10}" for c in COLUMNS))
    for i, (date, high, low, close) in enumerate(bars):
        rows.append(on_bar(streams, high, low, close))
        if not quiet:
            print(f"{date:>12}{close:>10.2f}" + "".join(f"{v:>10.4f}" for v in rows[-1]), flush=True)
        if i + 1 == resume_at:
            saved = pickle.dumps(streams)
            streams = pickle.loads(saved)
            if not quiet:
                print(f"-- checkpoint after bar {i + 1}: {len(saved)} bytes pickled, the feed goes on from them")
        if delay:
            time.sleep(delay)
    return rows


def batch(bars):
    """The same indicators computed at once over the whole series, by the veldspar module."""
    high, low, close = (np.array([bar[k] for bar in bars]) for k in (1, 2, 3))
    out = [np.empty(len(bars)) for _ in COLUMNS]
    veldspar.indicator_sma(10, close, out[0])
    veldspar.indicator_ema(10, close, out[1])
    veldspar.indicator_macd(12, 26, 9, close, out[2], out[3], out[4])
    veldspar.indicator_atr(14, high, low, close, out[5])
    return np.column_stack(out)


def cost_per_update(bars, rounds, blocks=5):
    """ns per update of each indicator, the loop's own cost included: the whole series fed `rounds`
    times through a bound method, in `blocks` timed blocks, of which the fastest counts (the others
    met more interference from the rest of the machine)."""
    closes = [bar[3] for bar in bars]
    prices = [bar[1:] for bar in bars]
    costs = {}
    for name in ("sma", "ema", "macd", "atr"):
        update = new_streams()[name].update
        best = float("inf")
        for _ in range(blocks):
            began = time.perf_counter()
            for _ in range(max(1, rounds // blocks)):
                if name == "atr":
                    for high, low, close in prices:
                        update(high, low, close)
                else:
                    for close in closes:
                        update(close)
            best = min(best, time.perf_counter() - began)
        costs[name] = best / (max(1, rounds // blocks) * len(bars)) * 1e9
    return costs


def main(path=SAMPLE, delay=0.05, resume_at=None, rounds=2000):
    bars = load(path)
    streamed = np.array(replay(bars, delay, resume_at), dtype=np.float64).reshape(len(bars), len(COLUMNS))
    same = np.array_equal(streamed.view(np.uint64), batch(bars).view(np.uint64))
    print(f"\n{len(bars)} bars streamed; every value "
          + ("is bit-identical to the module's batch functions" if same else "DIFFERS from the batch functions"))
    costs = cost_per_update(bars, rounds)
    print("cost per update: " + ", ".join(f"{name.upper()} {ns:.0f} ns" for name, ns in costs.items()))
    return same


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", type=pathlib.Path, default=SAMPLE,
                        help="a CSV file with date, high, low and close columns (default: the bundled bars)")
    parser.add_argument("--delay", type=float, default=0.05, help="seconds between bars (default 0.05; 0: no pause)")
    parser.add_argument("--resume-at", type=int, metavar="N", help="pickle the streams after bar N and go on from the copies")
    parser.add_argument("--rounds", type=int, default=2000, help="how many times the timing feeds the whole series")
    raise SystemExit(0 if main(**vars(parser.parse_args())) else 1)
