"""Per-call cost of the shared borrow registry.

Times indicator calls on tiny arrays, where the registry's work is a visible
share of a call, in two fresh interpreters each:

  registry  veldspar publishes and uses its own registry (the normal case);
  null      the test peer publishes a registry first whose functions only
            return 0, so every borrow is one indirect call that does nothing.

The difference per call is what key computation, locking and the two map
updates cost for the call's inputs (one for SMA, three for ATR).

    PYTHONPATH=build/dev/module python bench/bench_registry.py [--calls 1000000] [--rounds 3]

veldspar must be importable; the peer is compiled with the system C compiler.
"""
import argparse
import importlib.util
import json
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
_found = importlib.util.spec_from_file_location("build_peer", ROOT / "tests" / "peer" / "build_peer.py")
build_peer = importlib.util.module_from_spec(_found)
_found.loader.exec_module(build_peer)

TIMER = """
import importlib.util, json, time
import numpy as np
import veldspar
if {null!r}:
    found = importlib.util.spec_from_file_location("veldspar_test_peer", {peer!r})
    peer = importlib.util.module_from_spec(found)
    found.loader.exec_module(peer)
    peer.install_registry(1)
x, out = np.linspace(1.0, 2.0, 16), np.empty(16)
sma, atr = veldspar.indicator_sma, veldspar.indicator_atr
low, close = x - 0.5, x - 0.25
calls = {calls}

def best(call):
    results = []
    for _ in range({repeats}):
        start = time.thread_time_ns()  # CPU time: descheduled time is not the registry's
        for _ in range(calls):
            call()
        results.append((time.thread_time_ns() - start) / calls)
    return min(results)

print(json.dumps({{
    "sma": best(lambda: sma(3, x, out)),
    "atr": best(lambda: atr(3, x, low, close, out)),
}}))
"""


def measure(peer, null, calls, repeats=3):
    """Best ns per call over `repeats` runs of `calls` calls, in a fresh interpreter."""
    code = TIMER.format(null=null, peer=str(peer), calls=calls, repeats=repeats)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000, help="calls per timing (default 1e6)")
    parser.add_argument("--rounds", type=int, default=3, help="alternating process pairs (default 3)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        peer = build_peer.build_peer(Path(tmp))
        best = {"registry": {}, "null": {}}
        for _ in range(args.rounds):  # alternate, so that machine load hits both alike
            for name, null in (("registry", False), ("null", True)):
                for call, ns in measure(peer, null, args.calls).items():
                    best[name][call] = min(ns, best[name].get(call, ns))

    print(f"{'call':<6}{'registry ns':>13}{'null ns':>10}{'added ns':>10}")
    for call in ("sma", "atr"):
        with_registry, without = best["registry"][call], best["null"][call]
        print(f"{call:<6}{with_registry:>13.1f}{without:>10.1f}{with_registry - without:>10.1f}")


if __name__ == "__main__":
    main()
