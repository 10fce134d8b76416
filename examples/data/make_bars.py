"""Writes bars.csv beside this file: 252 business days of seeded synthetic daily bars.

The walk uses only the standard library, so the same seed gives the same file everywhere.
Run: python examples/data/make_bars.py
"""
import datetime
import pathlib
import random

SEED, DAYS, FIRST = 12, 252, datetime.date(2025, 1, 2)


def bars(seed=SEED, days=DAYS, first=FIRST):
    rng = random.Random(seed)
    day, close, drift = first, 100.0, 0.0
    while days:
        if day.weekday() < 5:
            # A slowly wandering drift gives trends long enough for MACD(12, 26, 9) to cross.
            drift = 0.97 * drift + rng.gauss(0.0, 0.0006)
            open_ = close
            close = open_ * (1.0 + drift + rng.gauss(0.0, 0.012))
            high = max(open_, close) * (1.0 + abs(rng.gauss(0.0, 0.006)))
            low = min(open_, close) * (1.0 - abs(rng.gauss(0.0, 0.006)))
            yield day.isoformat(), *(round(v, 2) for v in (open_, high, low, close))
            days -= 1
        day += datetime.timedelta(days=1)


if __name__ == "__main__":
    path = pathlib.Path(__file__).resolve().parent / "bars.csv"
    lines = ["date,open,high,low,close"] + [",".join(map(str, bar)) for bar in bars()]
    path.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(lines) - 1} bars to {path}")
