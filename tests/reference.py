"""Pure-Python transcription of the four veldspar kernels, step by step from their definitions.

Plain floats only: every arithmetic step is one IEEE-754 double operation
rounded to nearest, so the results are those the definitions give bit for bit.

Each indicator is written once, as `<name>_into`: it writes the positions that
have a value into outputs that the caller filled with the stored NaN, and
leaves every other position alone. It uses only what numba compiles too
(plain loops, `math`, indexing), so that the benchmark's numba peer is this
same code writing into arrays. `sma`, `ema`, `macd` and `atr` return new
lists of floats of the input's length.

In those lists a position without a value holds the object NAN itself (bit
pattern 0x7FF8000000000000); NaNs made by arithmetic (inf - inf, NaN inputs
carried through a sum) are other objects. is_no_value() tells the two apart, so
a test can demand the exact stored pattern where the kernel stores "no value"
and compare only values (NaN sign cleared) elsewhere.
"""

import math
import struct

__all__ = ["NAN", "SIZE_BITS", "is_no_value", "sma", "ema", "macd", "atr",
           "sma_into", "ema_into", "macd_into", "atr_into", "signal_start"]

NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]

# Width of the unsigned size type that carries periods (32 bits on the
# shipped ARM build): MACD's S + G - 2 is computed modulo 2**SIZE_BITS.
SIZE_BITS = 8 * struct.calcsize("N")


def is_no_value(v):
    """True when v is the "no value" NaN the reference stored, not a computed one."""
    return v is NAN


def sma_into(period, data, out):
    """SMA: running window sum times the reciprocal, one position at a time."""
    n = len(data)
    if period == 0 or period > n:
        return
    total = -0.0
    for i in range(period):
        total = total + data[i]
    inv = 1.0 / float(period)
    out[period - 1] = total * inv
    for i in range(period, n):
        d = data[i] - data[i - period]
        total = total + d
        out[i] = total * inv


def ema_into(period, data, out):
    """EMA: seed on the first window of `period` finite values, skip non-finite after."""
    n = len(data)
    if period == 0 or period > n:
        return
    # Every candidate start is examined from its first value, one after another.
    seed_start = -1
    s = 0
    while s + period <= n:
        j = s
        while j < s + period and math.isfinite(data[j]):
            j += 1
        if j == s + period:
            seed_start = s
            break
        s += 1
    if seed_start < 0:
        return
    total = -0.0
    for j in range(seed_start, seed_start + period):
        total = total + data[j]
    value = total / float(period)
    out[seed_start + period - 1] = value
    alpha = 2.0 / (float(period) + 1.0)
    beta = 1.0 - alpha
    for i in range(seed_start + period, n):
        x = data[i]
        if math.isfinite(x):
            a = alpha * x
            b = beta * value
            value = a + b
            out[i] = value


def signal_start(slow, signal):
    """MACD's first index for the signal line, S + G - 2, in the size type's wrapping arithmetic."""
    return (slow + signal - 2) % (1 << SIZE_BITS)


def macd_into(fast, slow, signal, signal_from, data, macd_out, signal_out, hist_out):
    """MACD: MACD line, signal line and histogram, `signal_from` being signal_start(slow, signal).

    Valid periods only (0 < fast < slow, signal > 0), as the entry function
    guarantees; the windows would otherwise reach before the series.
    """
    n = len(data)
    af = 2.0 / (float(fast) + 1.0)
    a_s = 2.0 / (float(slow) + 1.0)
    ag = 2.0 / (float(signal) + 1.0)
    bf, bs, bg = 1.0 - af, 1.0 - a_s, 1.0 - ag
    # NAN itself, so that the signal line's positions before its seed are the stored NaN.
    f_avg = s_avg = sig = NAN
    for i in range(n):
        x = data[i]
        if math.isnan(x):
            continue
        if i < slow - 1:
            continue
        if math.isnan(f_avg):
            f_sum = -0.0
            for j in range(fast):
                f_sum = f_sum + data[i - j]
            s_sum = -0.0
            for j in range(slow):
                s_sum = s_sum + data[i - j]
            f_avg = f_sum / float(fast)
            s_avg = s_sum / float(slow)
        else:
            s_avg = (a_s * x) + (bs * s_avg)
            f_avg = (af * x) + (bf * f_avg)
        m = f_avg - s_avg
        macd_out[i] = m
        if math.isnan(sig):
            if i >= signal_from:
                sig = m
        else:
            sig = (ag * m) + (bg * sig)
        signal_out[i] = sig
        if not math.isnan(sig):
            hist_out[i] = m - sig


def nan_max(a, b):
    """The indicator's two-argument max: b when a is NaN or a < b, else a."""
    if a != a or a < b:
        return b
    return a


def true_range(high, low, close, j):
    c = close[j - 1]
    return nan_max(nan_max(high[j] - low[j], abs(high[j] - c)), abs(low[j] - c))


def atr_into(period, high, low, close, out):
    """ATR: mean of TR(1..P) at index P, then atr + (1/P)*(TR - atr)."""
    n = len(high)
    if period == 0 or n <= period:
        return
    k = 1.0 / float(period)
    total = +0.0
    for j in range(1, period + 1):
        total = total + true_range(high, low, close, j)
    value = total / float(period)
    out[period] = value
    for i in range(period + 1, n):
        d = true_range(high, low, close, i) - value
        value = value + k * d
        out[i] = value


def sma(period, data):
    out = [NAN] * len(data)
    sma_into(period, data, out)
    return out


def ema(period, data):
    out = [NAN] * len(data)
    ema_into(period, data, out)
    return out


def macd(fast, slow, signal, data):
    """The MACD line, signal line and histogram as three lists."""
    if not (0 < fast < slow and signal > 0):
        raise ValueError("reference.macd needs 0 < fast < slow and signal > 0")
    outs = [NAN] * len(data), [NAN] * len(data), [NAN] * len(data)
    macd_into(fast, slow, signal, signal_start(slow, signal), data, *outs)
    return outs


def atr(period, high, low, close):
    out = [NAN] * len(high)
    atr_into(period, high, low, close, out)
    return out
