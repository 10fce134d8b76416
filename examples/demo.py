"""Computes the four indicators over the bundled sample bars and prints the last rows.

Run from anywhere: python examples/demo.py [path/to/bars.csv] [--rows 15]
"""
import argparse
import csv
import pathlib

import numpy as np

import veldspar

SAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "bars.csv"


def load(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    dates = [row["date"] for row in rows]
    column = lambda name: np.array([float(row[name]) for row in rows])  # noqa: E731
    return dates, column("high"), column("low"), column("close")


def main(path=SAMPLE, shown=15):
    dates, high, low, close = load(path)
    n = len(close)
    # Outputs are allocated by the caller and filled in place.
    sma, ema = np.empty(n), np.empty(n)
    macd, signal, hist = np.empty(n), np.empty(n), np.empty(n)
    atr = np.empty(n)
    veldspar.indicator_sma(10, close, sma)
    veldspar.indicator_ema(10, close, ema)
    veldspar.indicator_macd(12, 26, 9, close, macd, signal, hist)
    veldspar.indicator_atr(14, high, low, close, atr)

    print(f"{n} bars from {path.name if hasattr(path, 'name') else path}; last {shown}:")
    header = ("date", "close", "sma(10)", "ema(10)", "macd", "signal", "hist", "atr(14)")
    print("".join(f"{h:>12}" for h in header))
    for i in range(n - shown, n):
        values = (close[i], sma[i], ema[i], macd[i], signal[i], hist[i], atr[i])
        print(f"{dates[i]:>12}" + "".join(f"{v:>12.4f}" for v in values))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", type=pathlib.Path, default=SAMPLE,
                        help="a CSV file with date, high, low and close columns (default: the bundled bars)")
    parser.add_argument("--rows", dest="shown", metavar="N", type=int, default=15, help="how many of the last rows to print")
    main(**vars(parser.parse_args()))
