"""Computes the four indicators for a few thousand synthetic symbols on a thread pool and
prints the throughput with 1 thread and with every core.

SMA, EMA and MACD release the interpreter lock while their kernel runs, and they allocate
nothing, so threads working on different symbols run truly in parallel. ATR keeps the lock
for its whole call by design, so its threads take turns and it does not get faster. Every
call also holds the lock while it binds and checks its arguments, about a microsecond, so
short series (try --bars 252) leave the threads queueing for the lock rather than computing.

Memory bandwidth: each kernel makes one pass, reading each input and writing each output
once, and every series is used once, so at the default sizes (160 MB an array) the data
streams from main memory, which all cores share. The GB/s column is that traffic in the
many-thread run. When it nears what the machine can move (time a NumPy copy of a large
array to find out), more threads cannot help: SMA is cheap enough to get there on one
core, and MACD, which moves four arrays, gets close. Panels small enough to stay in cache
scale further. On a machine that others are using, expect noise too: run it a few times.

Run from anywhere: python examples/many_symbols.py [--symbols 2000] [--bars 10000]
"""
import argparse
import concurrent.futures
import os
import time

import numpy as np

import veldspar

# One call on one series: high, low, close and a list of outputs; how many outputs and inputs.
INDICATORS = {
    "SMA(20)": (lambda h, lo, c, o: veldspar.indicator_sma(20, c, o[0]), 1, 1),
    "EMA(20)": (lambda h, lo, c, o: veldspar.indicator_ema(20, c, o[0]), 1, 1),
    "MACD(12,26,9)": (lambda h, lo, c, o: veldspar.indicator_macd(12, 26, 9, c, *o), 3, 1),
    "ATR(14)": (lambda h, lo, c, o: veldspar.indicator_atr(14, h, lo, c, o[0]), 1, 3),
}


def synthetic(symbols, bars, seed=7):
    """High, low and close as (symbols, bars) C-ordered arrays: each row is one contiguous series."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (symbols, bars)), axis=1))
    spread = close * np.abs(rng.normal(0.0, 0.005, (symbols, bars)))
    return close + spread, close - spread, close


def compute(name, high, low, close, outs, threads):
    """Fills outs[k][s] for every symbol s, symbols split into one chunk of rows per task."""
    call = INDICATORS[name][0]

    def rows(chunk):
        for s in chunk:
            call(high[s], low[s], close[s], [o[s] for o in outs])

    chunks = np.array_split(np.arange(len(close)), threads * 4)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(rows, chunks))


def main(symbols=2000, bars=10000, threads=os.cpu_count(), repeat=5):
    high, low, close = synthetic(symbols, bars)
    print(f"{symbols} symbols x {bars} bars, best of {repeat}; millions of bars per second:")
    print(f"{'indicator':>14}{'1 thread':>11}{f'{threads} threads':>11}{'speedup':>9}{'GB/s':>7}")
    results = {}
    for name, (_, count, inputs) in INDICATORS.items():
        best = dict.fromkeys((1, threads), float("inf"))
        for n in best:
            results[name, n] = [np.zeros_like(close) for _ in range(count)]
        # Alternating the two settings spreads the noise of a busy machine over both.
        for _ in range(repeat):
            for n in best:
                best[n] = min(best[n], timed(compute, name, high, low, close, results[name, n], n))
        rate = {n: symbols * bars / best[n] / 1e6 for n in best}
        traffic = rate[threads] * 8 * (count + inputs) / 1e3
        print(f"{name:>14}{rate[1]:>11.1f}{rate[threads]:>11.1f}{best[1] / best[threads]:>8.2f}x"
              f"{traffic:>7.1f}")
    return results


def timed(f, *args):
    start = time.perf_counter()
    f(*args)
    return time.perf_counter() - start


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=10000, help="bars per symbol")
    parser.add_argument("--threads", type=int, default=os.cpu_count(), help="the many-thread run")
    parser.add_argument("--repeat", type=int, default=5, help="runs per setting; the best counts")
    main(**vars(parser.parse_args()))
