"""Builds of veldspar side by side: ns per call at n = 16 and the ratio to np.add, in fresh interpreters.

    python bench/compare.py DIR [DIR ...] [--rounds 4]

Each DIR holds a built veldspar (a CMake build's `module` folder, say). Every
round runs one fresh interpreter per build, in turn, so that a quiet or busy
moment of a shared machine falls on all of them alike; the best of the rounds
counts. In each interpreter the four functions and np.add(a, b, out=c) are
called through bare local names in a plain loop, interleaved, and the loop's
own cost is subtracted. This is the tool for "did this change make calls
cheaper"; bench/run.py is the full benchmark.
"""
import argparse
import json
import subprocess
import sys
from pathlib import Path

TIMER = """
import json, sys, time
sys.path.insert(0, {path!r})
import numpy as np
import veldspar
a = np.linspace(10.0, 11.0, 16); h, l = a + 1.0, a - 1.0
b, o, o2, o3 = np.ones(16), np.empty(16), np.empty(16), np.empty(16)
sma, ema, macd, atr, add = (veldspar.indicator_sma, veldspar.indicator_ema, veldspar.indicator_macd,
                            veldspar.indicator_atr, np.add)

def t_sma(n):
    for _ in range(n): sma(5, a, o)
def t_ema(n):
    for _ in range(n): ema(5, a, o)
def t_macd(n):
    for _ in range(n): macd(3, 6, 4, a, o, o2, o3)
def t_atr(n):
    for _ in range(n): atr(5, h, l, a, o)
def t_add(n):
    for _ in range(n): add(a, b, out=o)
def t_loop(n):
    for _ in range(n): pass

cases = dict(sma=t_sma, ema=t_ema, macd=t_macd, atr=t_atr, add=t_add, loop=t_loop)
best = dict.fromkeys(cases, float("inf"))
for _ in range({repeats}):
    for name, run in cases.items():
        start = time.thread_time_ns()
        run({calls})
        best[name] = min(best[name], (time.thread_time_ns() - start) / {calls})
print(json.dumps(best))
"""


def measure(path, repeats=15, calls=20_000):
    code = TIMER.format(path=str(path), repeats=repeats, calls=calls)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs="+", type=Path, help="folders holding a built veldspar")
    parser.add_argument("--rounds", type=int, default=4, help="fresh interpreters per build (default 4)")
    args = parser.parse_args()
    best = {d: {} for d in args.dirs}
    for _ in range(args.rounds):
        for d in args.dirs:
            for name, ns in measure(d.resolve()).items():
                best[d][name] = min(ns, best[d].get(name, ns))
    names = ("sma", "ema", "macd", "atr")
    print(f"{'build':<40}" + "".join(f"{n:>14}" for n in names) + f"{'np.add':>9}")
    for d, b in best.items():
        loop = b["loop"]
        cells = "".join(f"{b[n] - loop:6.0f} ({(b[n] - loop) / (b['add'] - loop):.2f}x)" for n in names)
        print(f"{str(d)[-40:]:<40}{cells}{b['add'] - loop:9.0f}")
    print("ns per call at n = 16, the loop's cost subtracted; in brackets: as a multiple of np.add")


if __name__ == "__main__":
    main()
