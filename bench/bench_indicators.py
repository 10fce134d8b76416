"""Per-call overhead and kernel throughput of the four indicators.

    python bench/bench_indicators.py [--quick]

Short series measure the cost of a call (binding, conversion, acceptance,
borrow registration, lock release); long series measure the kernels (ns per
value), in cache and streaming from memory. Each figure is the best of several repeats, to suppress noise.
"""
import argparse
import timeit

import numpy as np

import veldspar


def best_ns(statement, number, repeat=5):
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number * 1e9


def calls(n, rng):
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    high, low = close + 1.0, close - 1.0
    a, b, c = (np.empty(n) for _ in range(3))
    return {
        "sma(20)": lambda: veldspar.indicator_sma(20, close, a),
        "ema(20)": lambda: veldspar.indicator_ema(20, close, a),
        "macd(12,26,9)": lambda: veldspar.indicator_macd(12, 26, 9, close, a, b, c),
        "atr(14)": lambda: veldspar.indicator_atr(14, high, low, close, a),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    rng = np.random.default_rng(1)

    short = calls(16, rng)
    empty = lambda: None  # noqa: E731
    floor = best_ns(empty, 200_000 // scale)
    print(f"{'call on 16 values':<22}{'ns/call':>10}   (a no-op Python call costs {floor:.0f} ns)")
    for name, call in short.items():
        print(f"{name:<22}{best_ns(call, 200_000 // scale):>10.0f}")

    # 1e4 values stay in cache (the arithmetic's dependency chain sets the
    # pace); 1e6 values stream from memory.
    for n in (10_000, 1_000_000):
        long = calls(n, rng)
        print(f"\n{f'kernel on {n:.0e} values':<22}{'ns/value':>10}")
        for name, call in long.items():
            print(f"{name:<22}{best_ns(call, max(2, 20_000_000 // n // scale)) / n:>10.3f}")


if __name__ == "__main__":
    main()
