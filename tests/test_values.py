"""The four indicators' values, bit for bit, against the pure-Python reference."""

import math
import random
import struct
from fractions import Fraction

import numpy as np
import pytest

import reference as ref
import veldspar
from conftest import HOSTILE, assert_matches, misaligned, random_walk, value_bits

SIZE_MAX = (1 << ref.SIZE_BITS) - 1
INF = math.inf


def output_like(n):
    # Garbage, so that a position the kernel forgets to write shows.
    return np.full(n, 123.0)


def run_sma(period, data):
    out = output_like(len(data))
    assert veldspar.indicator_sma(period, np.array(data, dtype=np.float64), out) is None
    return out


def run_ema(period, data):
    out = output_like(len(data))
    assert veldspar.indicator_ema(period, np.array(data, dtype=np.float64), out) is None
    return out


def run_macd(fast, slow, signal, data):
    outs = [output_like(len(data)) for _ in range(3)]
    assert veldspar.indicator_macd(fast, slow, signal, np.array(data, dtype=np.float64), *outs) is None
    return outs


def run_atr(period, high, low, close):
    out = output_like(len(high))
    arrays = [np.array(v, dtype=np.float64) for v in (high, low, close)]
    assert veldspar.indicator_atr(period, *arrays, out) is None
    return out


def periods_for(n):
    return sorted({0, 1, 2, 7, max(n - 1, 0), n, n + 1, SIZE_MAX})


# --- The reference itself against the documented worked examples ---------------

NAN = math.nan


@pytest.mark.parametrize(
    "func, args, want",
    [
        (ref.sma, (3, [1, 2, 3, 4, 5]), [NAN, NAN, 2.0, 3.0, 4.0]),
        (ref.sma, (3, [1.0, 1.0, 3.0]), [NAN, NAN, 1.6666666666666665]),
        (ref.sma, (1, [-0.0]), [-0.0]),
        (ref.sma, (1, [1e16, 1.0]), [1e16, 0.0]),
        (ref.sma, (2, [1.0, INF, 3.0, 4.0, 5.0]), [NAN, INF, INF, NAN, NAN]),
        (ref.ema, (4, [1, 2, 3, 4, 5]), [NAN, NAN, NAN, 2.5, 3.5]),
        (ref.ema, (2, [1.0, NAN, 2.0, 3.0, 4.0, NAN, 6.0]), [NAN, NAN, NAN, 2.5, 3.5, NAN, 5.166666666666667]),
        (ref.ema, (3, [1, 2, NAN, 4, 5, 6, 7]), [NAN] * 5 + [5.0, 6.0]),
        (ref.ema, (2, [INF, 2.0, 4.0, -INF, 8.0]), [NAN, NAN, 3.0, NAN, 6.333333333333333]),
        (ref.ema, (3, [1.0, 1.0, 3.0]), [NAN, NAN, 1.6666666666666667]),
        (ref.ema, (1, [1.0, -0.0]), [1.0, 0.0]),
        (ref.ema, (1, [-1.0, -0.0]), [-1.0, -0.0]),
        (ref.ema, (2, [1e308, 1e308, 1.0]), [NAN, INF, INF]),
    ],
)
def test_reference_reproduces_worked_examples(func, args, want):
    period, data = args
    assert list(value_bits(func(period, [float(v) for v in data]))) == list(value_bits(want))
    assert list(value_bits(run_sma(period, data) if func is ref.sma else run_ema(period, data))) == list(
        value_bits(want)
    )


# --- Random series: module against reference --------------------------------


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("density", [0.0, 0.02, 0.3])
@pytest.mark.parametrize(
    "n",
    [0, 1, 5, 40,
     # 63 and 64 values after a window of 8: either side of the blocked loop.
     71, 72, 150],
)
@pytest.mark.parametrize("indicator", ["sma", "ema"])
def test_moving_average_matches_reference(indicator, n, density, seed):
    data = random_walk(n, seed * 1000 + n, density)
    func, run = (ref.sma, run_sma) if indicator == "sma" else (ref.ema, run_ema)
    for period in periods_for(n) + [8, 10]:
        assert_matches(run(period, data), func(period, data), f"{indicator} n={n} period={period}")


def macd_periods(n):
    combos = {(1, 2, 1), (2, 3, 1), (3, 6, 2), (12, 26, 9), (2, 5, max(n, 1)), (1, max(n, 2), 1),
              (max(n - 1, 1), max(n, 2), 2), (2, n + 1, 1), (2, 4, SIZE_MAX)}
    return sorted(c for c in combos if 0 < c[0] < c[1])


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("clean_prefix", [0, 8, 30])
@pytest.mark.parametrize("n", [0, 2, 9, 40, 100])
def test_macd_matches_reference(n, clean_prefix, seed):
    # A NaN in the first slow window makes everything NaN, so the interesting
    # series start clean and turn hostile later.
    clean = random_walk(n, seed, 0.0)
    hostile = random_walk(n, seed + 500, 0.3)
    data = clean[:clean_prefix] + hostile[clean_prefix:]
    for fast, slow, signal in macd_periods(n):
        got = run_macd(fast, slow, signal, data)
        want = ref.macd(fast, slow, signal, data)
        for name, g, w in zip(("macd", "signal", "hist"), got, want):
            assert_matches(g, w, f"{name} n={n} F={fast} S={slow} G={signal}")


def bars(n, seed, density):
    """High, low, close around a walk; hostile values land in each input independently."""
    mid = random_walk(n, seed, 0.0)
    rng = random.Random(seed + 1)
    high, low, close = [], [], []
    for m in mid:
        h, lo, c = m + abs(rng.gauss(0, 1)), m - abs(rng.gauss(0, 1)), m + rng.gauss(0, 0.5)
        if rng.random() < 0.05:
            h, lo = lo, h  # a bar with high below low
        high.append(rng.choice(HOSTILE) if rng.random() < density else h)
        low.append(rng.choice(HOSTILE) if rng.random() < density else lo)
        close.append(rng.choice(HOSTILE) if rng.random() < density else c)
    return high, low, close


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("density", [0.0, 0.02, 0.2])
@pytest.mark.parametrize("n", [0, 1, 2, 15, 120])
def test_atr_matches_reference(n, density, seed):
    high, low, close = bars(n, seed, density)
    for period in sorted({0, 1, 2, 14, max(n - 1, 0), n, n + 1, SIZE_MAX}):
        assert_matches(run_atr(period, high, low, close), ref.atr(period, high, low, close), f"n={n} P={period}")


@pytest.mark.parametrize("indicator", ["sma", "ema", "macd", "atr"])
def test_misaligned_arrays_give_the_aligned_result(indicator):
    n = 100
    data = random_walk(n, 42, 0.02)
    if indicator == "macd":
        outs = [misaligned(np.full(n, 123.0), 3 + k) for k in range(3)]
        veldspar.indicator_macd(3, 7, 2, misaligned(data, 1), *outs)
        for g, w in zip(outs, ref.macd(3, 7, 2, data)):
            assert_matches(g, w, "macd misaligned")
    elif indicator == "atr":
        high, low, close = bars(n, 42, 0.02)
        out = misaligned(np.full(n, 123.0), 7)
        veldspar.indicator_atr(5, misaligned(high, 1), misaligned(low, 2), misaligned(close, 3), out)
        assert_matches(out, ref.atr(5, high, low, close), "atr misaligned")
    else:
        out = misaligned(np.full(n, 123.0), 5)
        getattr(veldspar, f"indicator_{indicator}")(10, misaligned(data, 1), out)
        assert_matches(out, getattr(ref, indicator)(10, data), f"{indicator} misaligned")


# --- No fused multiply-add ---------------------------------------------------
#
# Each case searches, with exact rational arithmetic, for inputs whose result
# differs when a product and a sum are rounded once (fused) rather than
# twice, for either product being the fused one, and then demands the
# unfused result. SMA has no product feeding a sum, so it has no such case.


def fused(a, b, c):
    """a*b + c rounded once, as a fused multiply-add computes it."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def find(predicate, make, tries=20000):
    rng = random.Random(2024)
    for _ in range(tries):
        args = make(rng)
        if predicate(*args):
            return args
    pytest.fail("no inputs found that tell fused from unfused arithmetic")


def test_ema_update_is_not_fused():
    alpha = 2.0 / (2.0 + 1.0)
    beta = 1.0 - alpha

    def differs(a, b, x):
        seed = (-0.0 + a + b) / 2.0
        unfused = alpha * x + beta * seed
        return unfused != fused(alpha, x, beta * seed) and unfused != fused(beta, seed, alpha * x)

    a, b, x = find(differs, lambda r: (r.uniform(1, 1000), r.uniform(1, 1000), r.uniform(1, 1000)))
    seed = (-0.0 + a + b) / 2.0
    unfused = alpha * x + beta * seed
    assert ref.ema(2, [a, b, x])[2] == unfused
    assert bits_of(run_ema(2, [a, b, x])[2]) == bits_of(unfused)


def test_atr_smoothing_is_not_fused():
    k = 1.0 / 3.0

    def differs(t1, t2, t3, t4):
        seed = (0.0 + t1 + t2 + t3) / 3.0
        d = t4 - seed
        return seed + k * d != fused(k, d, seed)

    t = find(differs, lambda r: tuple(r.uniform(0.5, 50) for _ in range(4)))
    seed = (0.0 + t[0] + t[1] + t[2]) / 3.0
    unfused = seed + k * (t[3] - seed)
    # Bars whose true range is exactly the high: low and close are zero.
    high, low, close = [0.0, *t], [0.0] * 5, [0.0] * 5
    assert ref.atr(3, high, low, close)[4] == unfused
    assert bits_of(run_atr(3, high, low, close)[4]) == bits_of(unfused)


def test_macd_update_is_not_fused():
    # F = 2, S = 4: neither weight is a power of two, so both updates can round
    # differently when fused. The averages are seeded at index 3 and updated at 4.
    af, a_s = 2.0 / 3.0, 2.0 / 5.0
    bf, bs = 1.0 - af, 1.0 - a_s

    def updates(d0, d1, d2, d3, x):
        fast = (-0.0 + d3 + d2) / 2.0
        slow = (-0.0 + d3 + d2 + d1 + d0) / 4.0
        # For each average: unfused, first product fused, second product fused.
        f = [af * x + bf * fast, fused(af, x, bf * fast), fused(bf, fast, af * x)]
        s = [a_s * x + bs * slow, fused(a_s, x, bs * slow), fused(bs, slow, a_s * x)]
        return f, s

    def differs(*args):
        f, s = updates(*args)
        unfused = f[0] - s[0]
        return all(f[i] - s[j] != unfused for i in range(3) for j in range(3) if (i, j) != (0, 0))

    args = find(differs, lambda r: tuple(r.uniform(1, 1000) for _ in range(5)))
    f, s = updates(*args)
    unfused = f[0] - s[0]
    assert ref.macd(2, 4, 2, list(args))[0][4] == unfused
    assert bits_of(run_macd(2, 4, 2, list(args))[0][4]) == bits_of(unfused)
