"""Draws the bundled bars with their indicators and writes a PNG: price with SMA and EMA,
MACD with its signal line and histogram, and ATR.

Run from anywhere: python examples/chart.py [--bars bars.csv] [--out chart.png]
Needs matplotlib: pip install '.[examples]' (from the source folder).
"""
import argparse
import datetime
import pathlib
import sys

import numpy as np

import veldspar
from demo import SAMPLE, load

try:
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.dates as mdates
    import matplotlib.ticker
    import matplotlib.pyplot as plt
except ImportError:
    sys.exit("chart.py needs matplotlib: pip install '.[examples]' (from the source folder)")

HERE = pathlib.Path(__file__).resolve().parent


def draw(path, out, size=(10.0, 7.0), dpi=100):
    dates, high, low, close = load(path)
    days = [datetime.date.fromisoformat(d) for d in dates]
    sma, ema, macd, signal, hist, atr = (np.empty(len(close)) for _ in range(6))
    veldspar.indicator_sma(20, close, sma)
    veldspar.indicator_ema(20, close, ema)
    veldspar.indicator_macd(12, 26, 9, close, macd, signal, hist)
    veldspar.indicator_atr(14, high, low, close, atr)

    fig, (price, mac, rng) = plt.subplots(
        3, 1, sharex=True, figsize=size, dpi=dpi, layout="constrained",
        gridspec_kw={"height_ratios": [3, 2, 1.3]})
    fig.suptitle(f"veldspar indicators on {pathlib.Path(path).name}, {days[0]} to {days[-1]}")
    price.plot(days, close, color="0.35", lw=1, label="close")
    price.plot(days, sma, lw=1.4, label="SMA(20)")
    price.plot(days, ema, lw=1.4, label="EMA(20)")
    price.set_ylabel("price")
    # Histogram bars are coloured by sign; NaN warm-up positions draw nothing.
    mac.bar(days, hist, width=1.0, color=np.where(hist >= 0, "tab:green", "tab:red"),
            alpha=0.6, label="histogram")
    mac.plot(days, macd, lw=1.2, label="MACD(12, 26)")
    mac.plot(days, signal, lw=1.2, label="signal(9)")
    mac.axhline(0.0, color="0.6", lw=0.6)
    mac.set_ylabel("MACD")
    rng.plot(days, atr, color="tab:purple", lw=1.2, label="ATR(14)")
    rng.set_ylabel("ATR")
    rng.set_xlabel("date")
    rng.set_xlim(days[0], days[-1])
    rng.xaxis.set_major_locator(mdates.MonthLocator())
    rng.xaxis.set_major_formatter(mdates.DateFormatter("%b %Y"))
    for ax, corner in ((price, "upper left"), (mac, "lower left"), (rng, "upper left")):
        ax.grid(alpha=0.3)
        ax.yaxis.set_major_locator(matplotlib.ticker.MaxNLocator(5))
        ax.legend(loc=corner, ncols=3, fontsize="small", framealpha=0.9)
    fig.autofmt_xdate()
    fig.savefig(out)
    plt.close(fig)
    return out


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--bars", default=SAMPLE, help="CSV with date, high, low, close columns")
    parser.add_argument("--out", default=HERE / "chart.png", help="PNG to write")
    args = parser.parse_args()
    print("wrote", draw(args.bars, args.out))
