"""Writes golden.json: fixed hostile series and the four indicators' outputs, as bit patterns.

The outputs come from the module built for x86-64; test_platform.py demands the
same bits from every other build (the 32-bit ARM one above all). Run it again
after an intended change to a kernel's results:

    PYTHONPATH=<dir holding the built veldspar module> python tests/data/make_golden.py

It refuses to write anything unless the module agrees with the pure-Python
reference in tests/, so a kernel bug cannot be frozen into the file.
"""

import json
import math
import platform
import random
import struct
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import reference as ref  # noqa: E402
import veldspar  # noqa: E402
from conftest import mismatch, random_walk  # noqa: E402

N = 72  # past one 64-value block after a window of 8
NO_VALUE = "nv"  # a position the kernel marks as having no value: exactly 0x7FF8000000000000
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
# NaN of either sign, infinities, signed zeros, the largest and the smallest
# magnitudes: the values whose arithmetic differs most between FPUs if any does.
HOSTILE = [math.nan, NEG_NAN, math.inf, -math.inf, 0.0, -0.0, 1.7976931348623157e308,
           -1.7976931348623157e308, 1e308, 5e-324, -5e-324, 2.2250738585072014e-308]
# Finite only: a running sum survives them, and what it loses to rounding shows.
FINITE_EXTREMES = [0.0, -0.0, 1e308, -1e16, 5e-324, -5e-324, 2.2250738585072014e-308]


def walk(seed, density, extremes=HOSTILE):
    return random_walk(N, seed, density, extremes)


def make_series():
    calm = walk(11, 0.06, FINITE_EXTREMES)
    hostile = walk(12, 0.3)
    # MACD turns everything NaN after a NaN in its first slow window: start clean.
    mixed = walk(13, 0.0)[:30] + walk(14, 0.3)[30:]
    close = walk(15, 0.05, FINITE_EXTREMES)
    rng = random.Random(16)
    high = [c + abs(rng.gauss(0, 1)) if rng.random() > 0.05 else rng.choice(FINITE_EXTREMES) for c in close]
    low = [c - abs(rng.gauss(0, 1)) if rng.random() > 0.05 else rng.choice(FINITE_EXTREMES) for c in close]
    # The smoothed range carries an infinity or a NaN to the end: only near the end.
    high[58], low[66] = math.inf, math.nan
    return {"calm": calm, "hostile": hostile, "mixed": mixed, "high": high, "low": low, "close": close}


CASES = (
    [("sma", (p,), (s,)) for s in ("calm", "hostile") for p in (1, 8, 30)]
    + [("ema", (p,), (s,)) for s in ("calm", "hostile") for p in (1, 5, 20)]
    + [("macd", (12, 26, 9), ("calm",)), ("macd", (3, 8, 4), ("mixed",))]
    + [("atr", (p,), ("high", "low", "close")) for p in (1, 5, 14)]
)
OUTPUT_NAMES = {"sma": ["output"], "ema": ["output"], "macd": ["macd_output", "signal_output", "hist_output"],
                "atr": ["output"]}


def hex_bits(x):
    return "%016x" % struct.unpack("<Q", struct.pack("<d", x))[0]


def encode(got, want):
    """Module output as hex bits, "nv" where the reference has no value; None on disagreement."""
    if mismatch(got, want) is not None:
        return None
    return [NO_VALUE if ref.is_no_value(w) else hex_bits(g) for g, w in zip(got.tolist(), want)]


def main():
    if platform.machine() not in ("x86_64", "AMD64") and "--any-platform" not in sys.argv:
        sys.exit("make_golden.py: the golden outputs are those of the x86-64 build (--any-platform overrides)")
    series = make_series()
    cases = []
    for indicator, periods, inputs in CASES:
        arrays = [np.array(series[name]) for name in inputs]
        outs = [np.full(N, 123.0) for _ in OUTPUT_NAMES[indicator]]
        getattr(veldspar, f"indicator_{indicator}")(*periods, *arrays, *outs)
        want = getattr(ref, indicator)(*periods, *(series[name] for name in inputs))
        if indicator != "macd":
            want = [want]
        encoded = {}
        for name, got, w in zip(OUTPUT_NAMES[indicator], outs, want):
            cells = encode(got, w)
            if cells is None:
                sys.exit(f"make_golden.py: {indicator}{periods} {name} disagrees with the reference; not writing")
            encoded[name] = cells
        cases.append({"indicator": indicator, "periods": list(periods), "inputs": list(inputs),
                      "outputs": encoded})

    # One array per line keeps a regenerated file reviewable as a diff.
    lines = ['{"series": {']
    lines.append(",\n".join(f"  {json.dumps(k)}: {json.dumps([hex_bits(v) for v in vs])}" for k, vs in series.items()))
    lines.append('}, "cases": [')
    lines.append(",\n".join(json.dumps(c, separators=(", ", ": ")) for c in cases))
    lines.append("]}\n")
    (HERE / "golden.json").write_text("\n".join(lines))
    print(f"wrote {HERE / 'golden.json'}: {len(cases)} cases of {N} values, NumPy {np.__version__}")


if __name__ == "__main__":
    main()
