"""Computes the four indicators for a few thousand synthetic symbols, one call per symbol and
then one panel call per block of symbols, and prints the throughput of each, with 1 thread and
with every core.

One call per symbol pays the call's fixed cost for every series, and each series' values
wait on each other: an EMA value needs the previous one, so the core's arithmetic units sit
mostly idle. A panel call (veldspar_kit.panel) takes a block of symbols as one 2-D array,
one series per row, and advances several rows together, so their waits overlap; every row
is still, bit for bit, what the module's function gives for that series alone. Its threads
argument splits the rows across native threads, and the interpreter lock is released for
the whole call (ATR's too, which the module keeps the lock for).

Memory bandwidth: each pass reads each input and writes each output once, and every series
is used once, so at the default sizes (160 MB an array) the data streams from main memory,
which all cores share. The GB/s column is that traffic in the fastest run. When it nears
what the machine can move (time a NumPy copy of a large array to find out), neither
interleaving nor threads can help: SMA is cheap enough to get there on one core, and MACD,
which moves four arrays, gets close. Blocks small enough to stay in cache (try --symbols 64
--bars 4096) show the interleaving's full gain. On a machine that others are using, expect
noise too: run it a few times.

Run from anywhere: python examples/many_symbols.py [--symbols 2000] [--bars 10000] [--block 0]
"""
import argparse
import concurrent.futures
import os
import time

import numpy as np

import veldspar
from veldspar_kit import panel

# Each indicator: one call on one series (high, low, close, a list of outputs), the same as one
# panel call on a block of rows (and a thread count), and how many outputs and inputs it has.
INDICATORS = {
    "SMA(20)": (lambda h, lo, c, o: veldspar.indicator_sma(20, c, o[0]),
                lambda h, lo, c, o, t: panel.sma(20, c, o[0], threads=t), 1, 1),
    "EMA(20)": (lambda h, lo, c, o: veldspar.indicator_ema(20, c, o[0]),
                lambda h, lo, c, o, t: panel.ema(20, c, o[0], threads=t), 1, 1),
    "MACD(12,26,9)": (lambda h, lo, c, o: veldspar.indicator_macd(12, 26, 9, c, *o),
                      lambda h, lo, c, o, t: panel.macd(12, 26, 9, c, *o, threads=t), 3, 1),
    "ATR(14)": (lambda h, lo, c, o: veldspar.indicator_atr(14, h, lo, c, o[0]),
                lambda h, lo, c, o, t: panel.atr(14, h, lo, c, o[0], threads=t), 1, 3),
}
WAYS = ("per symbol", "panel")


def synthetic(symbols, bars, seed=7):
    """High, low and close as (symbols, bars) C-ordered arrays: each row is one contiguous series."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (symbols, bars)), axis=1))
    spread = close * np.abs(rng.normal(0.0, 0.005, (symbols, bars)))
    return close + spread, close - spread, close


def per_symbol(name, high, low, close, outs, threads, block):
    """One call per symbol, the symbols split into chunks of rows on a thread pool."""
    call = INDICATORS[name][0]

    def rows(chunk):
        for s in chunk:
            call(high[s], low[s], close[s], [o[s] for o in outs])

    if threads == 1:  # a plain loop: a pool's start would be counted against the calls
        return rows(range(len(close)))
    chunks = np.array_split(np.arange(len(close)), threads * 4)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(rows, chunks))


def panels(name, high, low, close, outs, threads, block):
    """One panel call per block of `block` symbols (all of them when 0), its rows on `threads` threads.
    Rows of a C-ordered array are a C-ordered array: a block is a view, not a copy."""
    call = INDICATORS[name][1]
    block = block or len(close)
    for start in range(0, len(close), block):
        rows = slice(start, start + block)
        call(high[rows], low[rows], close[rows], [o[rows] for o in outs], threads)


def main(symbols=2000, bars=10000, threads=os.cpu_count(), block=0, repeat=5):
    high, low, close = synthetic(symbols, bars)
    print(f"{symbols} symbols x {bars} bars, best of {repeat}; millions of bars per second:")
    print(f"{'':>14}{'one call per symbol':>22}{'one panel call':>22}")
    print(f"{'indicator':>14}{'1 thread':>11}{f'{threads} threads':>11}{'1 thread':>11}{f'{threads} threads':>11}"
          f"{'speedup':>9}{'GB/s':>7}")
    settings = [(way, n) for way in WAYS for n in dict.fromkeys((1, threads))]
    results = {}
    for name, (_, _, count, inputs) in INDICATORS.items():
        best = dict.fromkeys(settings, float("inf"))
        for setting in settings:
            results[(name, *setting)] = [np.zeros_like(close) for _ in range(count)]
        # Alternating the settings spreads the noise of a busy machine over all of them.
        for _ in range(repeat):
            for way, n in settings:
                compute = per_symbol if way == "per symbol" else panels
                elapsed = timed(compute, name, high, low, close, results[name, way, n], n, block)
                best[way, n] = min(best[way, n], elapsed)
        rate = {setting: symbols * bars / seconds / 1e6 for setting, seconds in best.items()}
        traffic = max(rate.values()) * 8 * (count + inputs) / 1e3
        cells = "".join(f"{rate[way, n]:>11.1f}" for way in WAYS for n in (1, threads))
        # The panel call on one thread against one call per symbol on one thread.
        print(f"{name:>14}{cells}{best['per symbol', 1] / best['panel', 1]:>8.2f}x{traffic:>7.1f}")
    print("speedup: one panel call against one call per symbol, both on 1 thread")
    return results


def timed(f, *args):
    start = time.perf_counter()
    f(*args)
    return time.perf_counter() - start


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=10000, help="bars per symbol")
    parser.add_argument("--threads", type=int, default=os.cpu_count(), help="the many-thread runs")
    parser.add_argument("--block", type=int, default=0, help="symbols per panel call (0: all in one)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per setting; the best counts")
    main(**vars(parser.parse_args()))
