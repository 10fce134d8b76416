"""The speed benchmark: one table of kernels, calls, peers, threads, registry and allocations.

    python bench/run.py [--quick] [--install-peers] [--json out.json] [--module-dir DIR]

Runs in its own virtual environment (build/bench-venv, made on first use, with
NumPy; --install-peers adds the libraries users compare us with: TA-Lib,
numba, bottleneck, pandas, polars, tulipy). Unless --module-dir names a folder
holding a built veldspar, it builds the module, the floor loops
(bench/floor.cpp) and an allocation counter in build/bench with CMake.

Sections, each a ratio measured in this process against a reference that
shares its conditions:
  kernel    ns per value of a whole call at n = 1e4 (in cache), 1e6 and 1e7,
            against the plain C loop of the same recurrence (the floor);
  call      ns per call at n = 16 and 1000, against np.add(a, b, out=c) and a
            do-nothing fast-call function of the same arity, each called
            through a bare name;
  peer      the same cases for every installed peer, as a ratio to veldspar,
            with "=" where its results are bit-identical to ours and a note
            where it computes something else;
  threads   two threads calling at once against one: n = 16 per thread (the
            interpreter lock's share), 1e5 (in cache) and 1e7 (where memory
            bandwidth caps it);
  registry  one borrow and release against a registry that does nothing, and
            the table alone with one thread and with two on one key;
  allocs    malloc-family calls counted around many calls in steady state.

Single-thread timings count this thread's CPU time, not wall time, so that
time spent descheduled on a shared machine is left out (caches and memory
bandwidth are still shared); each is the best of several interleaved repeats,
with the median in the JSON too. Thread scaling needs wall time and is the
noisiest section.
A "!" marks a figure that misses its target.
"""
import argparse
import importlib
import json
import os
import platform
import runpy
import statistics
import subprocess
import sys
import threading
import time
import timeit
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV = ROOT / "build" / "bench-venv"
BUILD = ROOT / "build" / "bench"
PEERS = ["TA-Lib", "numba", "bottleneck", "pandas", "polars", "tulipy"]

# Targets of the performance work, as ratios.
KERNEL_TARGET = 1.05  # kernel / floor loop, at n = 1e4 and 1e6
CALL_TARGET = {"sma": 0.35, "ema": 0.35, "macd": 0.50, "atr": 0.60}  # call / np.add at n = 16
THREAD_TARGET = 1.85  # 2 threads / 1 thread, in cache, SMA EMA MACD
REGISTRY_TARGET = 35.0  # ns per borrow and release over a do-nothing registry

# Periods: the usual ones, and short ones for n = 16 so that every call computes values.
PERIODS = {"long": dict(p_sma=20, p_ema=20, pf=12, ps=26, pg=9, p_atr=14),
           "short": dict(p_sma=5, p_ema=5, pf=3, ps=6, pg=4, p_atr=5)}
INDICATORS = ("sma", "ema", "macd", "atr")


# --- environment and build -------------------------------------------------------------------------------

def venv_python():
    return VENV / "bin" / "python"


def prepare_venv(install_peers):
    """Makes the benchmark's venv if needed and re-runs this script in it."""
    python = venv_python()
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--upgrade", "pip"], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "numpy>=2,<3", "cmake>=3.21"], check=True)
    if install_peers:
        for peer in PEERS:  # one at a time: a peer that cannot install must not stop the others
            done = subprocess.run([str(python), "-m", "pip", "install", "-q", peer])
            if done.returncode != 0:
                print(f"bench: {peer} did not install; its rows are left out", file=sys.stderr)
    if Path(sys.prefix).resolve() != VENV.resolve():
        argv = [a for a in sys.argv[1:] if a != "--install-peers"]
        os.execv(str(python), [str(python), str(Path(__file__).resolve()), *argv])


def build(module_dir):
    """Builds what the benchmark needs; returns the folders to import from and the counter's path."""
    targets = ["veldspar_bench", "veldspar_alloc_count", "veldspar_table_contention"] + \
        ([] if module_dir else ["veldspar"])
    cmake = str(VENV / "bin" / "cmake") if (VENV / "bin" / "cmake").exists() else "cmake"
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELDSPAR_BUILD_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)
    paths = [str(Path(module_dir).resolve()) if module_dir else str(BUILD / "module"), str(BUILD / "bench")]
    return paths, BUILD / "bench" / "libveldspar_alloc_count.so"


# --- timing ----------------------------------------------------------------------------------------------

def interleaved(cases, budget, repeats):
    """Seconds per execution of each case: {name: (best, median)}, repeats interleaved across cases.

    A case is a statement string with its globals (timed with no call around
    it); each repeat of a case runs it as often as fits in `budget` seconds."""
    timers, numbers = {}, {}
    for name, (stmt, env) in cases.items():
        timer = timeit.Timer(stmt, globals=env, timer=time.thread_time)
        timer.timeit(1)  # compiles JIT peers, warms caches
        count, spent = 1, timer.timeit(1)
        while spent < budget / 10:
            count *= 10
            spent = timer.timeit(count)
        numbers[name] = max(1, int(budget * count / spent))
        timers[name] = timer
    runs = {name: [] for name in cases}
    for _ in range(repeats):
        for name, timer in timers.items():
            runs[name].append(timer.timeit(numbers[name]) / numbers[name])
    return {name: (min(r), statistics.median(r)) for name, r in runs.items()}


# --- data and the functions under test -------------------------------------------------------------------

def bars(n, seed=7):
    import numpy as np
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    spread = np.abs(rng.normal(0.0, 1.0, n))
    return close, close + spread, close - spread * 0.5


class Case:
    """The arrays of one indicator at one n, and statements calling it and its floor."""

    def __init__(self, name, n, veldspar, floor):
        import numpy as np
        self.name, self.n = name, n
        self.close, self.high, self.low = bars(n)
        self.outs = [np.empty(n) for _ in range(3 if name == "macd" else 1)]
        self.env = {"v": veldspar, "f": floor, "x": self.close, "h": self.high, "l": self.low,
                    "o": self.outs[0], "np": np, **PERIODS["short" if n < 100 else "long"]}
        self.env["p"] = self.env[f"p_{name}"] if name != "macd" else None
        if name == "macd":
            self.env.update(o2=self.outs[1], o3=self.outs[2])
        self.args = {
            "sma": "p, x, o", "ema": "p, x, o", "macd": "pf, ps, pg, x, o, o2, o3", "atr": "p, h, l, x, o",
        }[name]

    def stmt(self, module):
        return (f"{module}.indicator_{self.name}({self.args})" if module == "v"
                else f"{module}.{self.name}({self.args})", self.env)

    def result(self, module="v"):
        """The outputs of one call of veldspar ("v") or of the floor loop ("f"), on fresh arrays."""
        import numpy as np
        outs = [np.empty(self.n) for _ in self.outs]
        env = dict(self.env, o=outs[0], o2=outs[min(1, len(outs) - 1)], o3=outs[-1])
        eval(self.stmt(module)[0], env)
        return outs


# --- peers -----------------------------------------------------------------------------------------------

NUMBA_SOURCE = '''
import math
import numpy as np
from numba import njit

@njit(cache=False)
def sma(p, x, out):
    n = x.shape[0]
    out[:] = np.nan
    if p == 0 or p > n:
        return
    s = -0.0
    for i in range(p):
        s += x[i]
    inv = 1.0 / p
    out[p - 1] = s * inv
    for i in range(p, n):
        s += x[i] - x[i - p]
        out[i] = s * inv

@njit(cache=False)
def ema(p, x, out):
    n = x.shape[0]
    out[:p - 1] = np.nan
    s = -0.0
    for i in range(p):
        s += x[i]
    e = s / p
    out[p - 1] = e
    a = 2.0 / (p + 1.0)
    b = 1.0 - a
    for i in range(p, n):
        if math.isfinite(x[i]):
            e = a * x[i] + b * e
            out[i] = e
        else:
            out[i] = np.nan

@njit(cache=False)
def macd(fp, sp, gp, x, m, sg, hi):
    n = x.shape[0]
    first = sp - 1
    m[:first] = np.nan
    sg[:first] = np.nan
    hi[:first] = np.nan
    fa = 2.0 / (fp + 1.0)
    fb = 1.0 - fa
    sa = 2.0 / (sp + 1.0)
    sb = 1.0 - sa
    ga = 2.0 / (gp + 1.0)
    gb = 1.0 - ga
    f = -0.0
    for k in range(fp):
        f += x[first - k]
    f = f / fp
    s = -0.0
    for k in range(sp):
        s += x[first - k]
    s = s / sp
    g = np.nan
    for i in range(first, n):
        if math.isnan(x[i]):
            m[i] = sg[i] = hi[i] = np.nan
            continue
        if i > first:
            s = sa * x[i] + sb * s
            f = fa * x[i] + fb * f
        d = f - s
        m[i] = d
        if not math.isnan(g):
            g = ga * d + gb * g
        elif i >= sp + gp - 2:
            g = d
        sg[i] = g
        hi[i] = np.nan if math.isnan(g) else d - g

@njit(cache=False)
def nan_max(a, b):
    return b if (math.isnan(a) or a < b) else a

@njit(cache=False)
def atr(p, h, l, c, out):
    n = h.shape[0]
    out[:p] = np.nan
    k = 1.0 / p
    s = 0.0
    for j in range(1, p + 1):
        s += nan_max(nan_max(h[j] - l[j], abs(h[j] - c[j - 1])), abs(l[j] - c[j - 1]))
    avg = s / p
    out[p] = avg
    for i in range(p + 1, n):
        tr = nan_max(nan_max(h[i] - l[i], abs(h[i] - c[i - 1])), abs(l[i] - c[i - 1]))
        avg = avg + k * (tr - avg)
        out[i] = avg
'''


def load_numba():
    module = types.ModuleType("veldspar_bench_numba")
    exec(compile(NUMBA_SOURCE, "<numba loops>", "exec"), module.__dict__)
    return module


def available(name):
    try:
        return importlib.import_module(name)
    except Exception:
        return None


def peer_table():
    """[(peer, indicator, setup(case) -> (stmt, env), same_computation, note)] for the installed peers."""
    import numpy as np
    rows = []
    talib, bn, pd, pl, ti = (available(m) for m in ("talib", "bottleneck", "pandas", "polars", "tulipy"))
    nb = load_numba() if available("numba") else None

    def env(case, **extra):
        return dict(case.env, **extra)

    if talib:
        rows += [
            ("talib", "sma", lambda c: ("t.SMA(x, timeperiod=p)", env(c, t=talib)), False,
             "adds then subtracts, divides by period"),
            ("talib", "ema", lambda c: ("t.EMA(x, timeperiod=p)", env(c, t=talib)), False,
             "ema += k*(x-ema)"),
            ("talib", "macd", lambda c: ("t.MACD(x, pf, ps, pg)", env(c, t=talib)), False,
             "own seeds and recurrence form"),
            ("talib", "atr", lambda c: ("t.ATR(h, l, x, timeperiod=p)", env(c, t=talib)), False,
             "Wilder's smoothing"),
        ]
    if nb:
        rows += [
            ("numba", "sma", lambda c: ("m.sma(p, x, o)", env(c, m=nb)), True, "same loop"),
            ("numba", "ema", lambda c: ("m.ema(p, x, o)", env(c, m=nb)), True, "same loop"),
            ("numba", "macd", lambda c: ("m.macd(pf, ps, pg, x, o, o2, o3)", env(c, m=nb)), True, "same loop"),
            ("numba", "atr", lambda c: ("m.atr(p, h, l, x, o)", env(c, m=nb)), True, "same loop"),
        ]
    if bn:
        rows.append(("bottleneck", "sma", lambda c: ("b.move_mean(x, p)", env(c, b=bn)), False,
                     "own rounding"))
    if pd:
        def pandas_macd(s, fast, slow, signal):
            m = s.ewm(span=fast, adjust=False).mean() - s.ewm(span=slow, adjust=False).mean()
            g = m.ewm(span=signal, adjust=False).mean()
            return m, g, m - g
        rows += [
            ("pandas", "sma", lambda c: ("s.rolling(p).mean()", env(c, s=pd.Series(c.close))), False,
             "own summation"),
            ("pandas", "ema", lambda c: ("s.ewm(span=p, adjust=False).mean()", env(c, s=pd.Series(c.close))),
             False, "seeded with x[0]"),
            ("pandas", "macd", lambda c: ("pm(s, pf, ps, pg)", env(c, s=pd.Series(c.close), pm=pandas_macd)), False,
             "ewm seeded with x[0]"),
        ]
    if pl:
        def polars_macd(s, fast, slow, signal):
            m = s.ewm_mean(span=fast, adjust=False) - s.ewm_mean(span=slow, adjust=False)
            g = m.ewm_mean(span=signal, adjust=False)
            return m, g, m - g
        rows += [
            ("polars", "sma", lambda c: ("s.rolling_mean(p)", env(c, s=pl.Series(c.close))), False,
             "own summation"),
            ("polars", "ema", lambda c: ("s.ewm_mean(span=p, adjust=False)", env(c, s=pl.Series(c.close))),
             False, "seeded with x[0]"),
            ("polars", "macd", lambda c: ("pm(s, pf, ps, pg)", env(c, s=pl.Series(c.close), pm=polars_macd)), False,
             "ewm seeded with x[0]"),
        ]
    if ti:
        rows += [
            ("tulipy", "sma", lambda c: ("t.sma(x, p)", env(c, t=ti)), False, "own summation"),
            ("tulipy", "ema", lambda c: ("t.ema(x, p)", env(c, t=ti)), False, "own seed"),
            ("tulipy", "macd", lambda c: ("t.macd(x, pf, ps, pg)", env(c, t=ti)), False, "own seeds"),
            ("tulipy", "atr", lambda c: ("t.atr(h, l, x, p)", env(c, t=ti)), False, "own seed and recurrence"),
        ]
    return rows


def peer_outputs(stmt, env, case):
    """The peer's result arrays, computed once (in-place peers write the case's outputs)."""
    import numpy as np
    for o in case.outs:
        o.fill(12345.0)
    got = eval(stmt, env)
    if got is None:
        got = [o.copy() for o in case.outs]
    elif not isinstance(got, (tuple, list)):
        got = [got]
    return [np.asarray(g.to_numpy() if hasattr(g, "to_numpy") else g, dtype=float) for g in got]


def compare(ours, theirs):
    """'=' when bit-identical where both have values, else the largest relative difference."""
    import numpy as np
    worst, identical = 0.0, True
    for a, b in zip(ours, theirs):
        k = min(len(a), len(b))
        a, b = a[len(a) - k:], b[len(b) - k:]  # peers without warm-up positions return shorter arrays
        both = np.isfinite(a) & np.isfinite(b)
        identical &= bool(np.array_equal(a[both].view(np.uint64), b[both].view(np.uint64)))
        identical &= bool(np.array_equal(np.isnan(a), np.isnan(b)))
        if both.any():
            scale = np.maximum(np.abs(a[both]), np.abs(b[both]))
            gap = np.abs(a[both] - b[both])
            worst = max(worst, float(np.max(np.where(gap == 0, 0.0, gap / np.where(scale == 0, 1.0, scale)))))
    return "=" if identical else f"~{worst:.0e}"


# --- sections --------------------------------------------------------------------------------------------

class Table:
    """One table, printed as it fills, kept for the JSON."""
    HEAD = ("section", "case", "veldspar", "reference", "ref", "ratio", "target", "")
    WIDTHS = (9, 22, 10, 18, 10, 8, 8, 20)

    def __init__(self):
        self.rows = []
        print(self.line(self.HEAD))
        print("-" * sum(self.WIDTHS))

    def line(self, cells):
        out = ""
        for i, (cell, width) in enumerate(zip(cells, self.WIDTHS)):
            out += f"{cell:<{width}}" if i in (0, 1, 3, 7) else f"{cell:>{width - 1}} "
        return out.rstrip()

    def add(self, section, case, value, reference, ref_value, ratio, target=None, miss=False, note="", **extra):
        def fmt(v):
            return "" if v is None else (f"{v:.3f}" if abs(v) < 10 else f"{v:.1f}")
        mark = ("! " if miss else "") + note
        print(self.line((section, case, fmt(value), reference, fmt(ref_value), fmt(ratio),
                         "" if target is None else f"{target:g}", mark)), flush=True)
        self.rows.append(dict(section=section, case=case, veldspar=value, reference=reference,
                              reference_value=ref_value, ratio=ratio, target=target, missed=miss, note=note,
                              **extra))


def kernel_section(table, veldspar, floor, sizes, budget, repeats, peers):
    for n in sizes:
        for name in INDICATORS:
            case = Case(name, n, veldspar, floor)
            cases = {"v": case.stmt("v"), "f": case.stmt("f")}
            ours = case.result()
            # A floor loop that computed something else would make its ratio meaningless.
            floor_agrees = compare(ours, case.result("f"))
            mine = [p for p in peers if p[1] == name]
            for peer, _, setup, _, _ in mine:
                cases[peer] = setup(case)
            times = interleaved(cases, budget, repeats)
            v, f = times["v"][0] / n * 1e9, times["f"][0] / n * 1e9
            judged = n in (10_000, 1_000_000)
            table.add("kernel", f"{name} n={n:.0e}", v, "floor loop", f, v / f,
                      KERNEL_TARGET if judged else None, (judged and v / f > KERNEL_TARGET) or floor_agrees != "=",
                      "ns/value" + ("" if floor_agrees == "=" else f"; floor results differ {floor_agrees}"),
                      indicator=name, n=n, median_ns=times["v"][1] / n * 1e9,
                      reference_median_ns=times["f"][1] / n * 1e9)
            for peer, _, setup, same, note in mine:
                p = times[peer][0] / n * 1e9
                agree = compare(ours, peer_outputs(*setup(case), case))
                table.add("peer", f"{name} n={n:.0e}", v, peer, p, p / v, None, same and agree != "=",
                          f"{agree} {'' if same else note}".strip(), indicator=name, n=n, unit="ns/value",
                          identical=agree == "=")


def call_section(table, veldspar, floor, budget, repeats, peers):
    import numpy as np
    arity = {"sma": 3, "ema": 3, "macd": 7, "atr": 5}
    for n in (16, 1000):
        for name in INDICATORS:
            case = Case(name, n, veldspar, floor)
            a, b, c = np.ones(n), np.ones(n), np.empty(n)
            # Like with like. Against np.add and the no-op, every statement
            # calls a function bound to a bare name, so that no side pays a
            # name lookup (np.add through NumPy's module takes about 50 ns more);
            # peers are called as module attributes, so ours is too ("v").
            fn, noop = f"indicator_{name}", f"noop{arity[name]}"
            cases = {"v": case.stmt("v"),
                     "bare": (f"{fn}({case.args})", dict(case.env, **{fn: getattr(veldspar, fn)})),
                     "add": ("add(a, b, out=c)", {"add": np.add, "a": a, "b": b, "c": c}),
                     "noop": (f"{noop}({case.args})", dict(case.env, **{noop: getattr(floor, noop)}))}
            mine = [p for p in peers if p[1] == name]
            for peer, _, setup, _, _ in mine:
                cases[peer] = setup(case)
            times = interleaved(cases, budget, repeats)
            v, bare, add, noop_ns = (times[k][0] * 1e9 for k in ("v", "bare", "add", "noop"))
            target = CALL_TARGET[name] if n == 16 else None
            table.add("call", f"{name} n={n}", bare, "np.add(out=)", add, bare / add, target,
                      target is not None and bare / add > target, "ns/call", indicator=name, n=n,
                      median_ns=times["bare"][1] * 1e9)
            table.add("call", f"{name} n={n}", bare, noop, noop_ns, bare / noop_ns, None, False, "ns/call",
                      indicator=name, n=n)
            for peer, *_ in mine:
                p = times[peer][0] * 1e9
                table.add("peer", f"{name} n={n}", v, peer, p, p / v, None, False, "ns/call", indicator=name, n=n,
                          unit="ns/call")


def thread_section(table, veldspar, floor, plans, repeats):
    """Two threads against one, each thread calling on arrays of its own."""
    bytes_per_value = {"sma": 16, "ema": 16, "macd": 32, "atr": 40}
    for n, calls in plans:
        for name in INDICATORS:
            cases = [Case(name, n, veldspar, floor) for _ in range(2)]
            work = [compile(c.stmt("v")[0], "<call>", "eval") for c in cases]

            def run(k):
                for _ in range(calls):
                    eval(work[k], cases[k].env)

            def wall(threads):
                """Wall seconds for `threads` threads to make `calls` calls each, and the CPU seconds they used."""
                start = threading.Barrier(threads + 1)
                cpu = [0.0] * threads

                def body(k):
                    start.wait()
                    began = time.thread_time()
                    run(k)
                    cpu[k] = time.thread_time() - began
                pool = [threading.Thread(target=body, args=(k,)) for k in range(threads)]
                for t in pool:
                    t.start()
                began = time.perf_counter()
                start.wait()
                for t in pool:
                    t.join()
                return time.perf_counter() - began, sum(cpu)

            run(0), run(1)
            # Alternated, so that a burst of other work on the machine hits both alike.
            one, two = (float("inf"), 0.0), (float("inf"), 0.0)
            for _ in range(repeats):
                one, two = min(one, wall(1)), min(two, wall(2))
            one, one_cpu = one
            two, two_cpu = two
            speedup = 2 * one / two
            # CPU per call with two threads against one: above 1, the threads slow each other down
            # (shared caches, memory bandwidth, lock hand-over), whatever else runs on the machine.
            cpu_cost = two_cpu / (2 * one_cpu)
            # Calls on 16 values are mostly interpreter work under the lock: shown, not judged.
            judged = 1_000 <= n <= 100_000 and name != "atr"
            gbs = 2 * calls * n * bytes_per_value[name] / two / 1e9
            table.add("threads", f"{name} n={n if n < 1000 else f'{n:.0e}'}/thread", 2 * calls / two, "1 thread", calls / one, speedup,
                      THREAD_TARGET if judged else None, judged and speedup < THREAD_TARGET,
                      f"calls/s; {gbs:.1f} GB/s; CPU/call x{cpu_cost:.2f}" + ("; keeps the lock" if name == "atr" else ""),
                      indicator=name, n=n, gb_per_s=gbs, cpu_per_call_ratio=cpu_cost)


def registry_section(table, module_paths, calls, rounds):
    registry = types.SimpleNamespace(**runpy.run_path(str(Path(__file__).with_name("bench_registry.py"))))
    import tempfile
    os.environ["PYTHONPATH"] = os.pathsep.join(module_paths + [os.environ.get("PYTHONPATH", "")])
    with tempfile.TemporaryDirectory() as tmp:
        peer = registry.build_peer.build_peer(Path(tmp))
        best = {"registry": {}, "null": {}}
        for _ in range(rounds):
            for kind, null in (("registry", False), ("null", True)):
                # Many short runs: on a shared machine the best of them is the least disturbed.
                for call, ns in registry.measure(peer, null, 20_000, calls // 20_000).items():
                    best[kind][call] = min(ns, best[kind].get(call, ns))
    for call, inputs in (("sma", 1), ("atr", 3)):
        added = (best["registry"][call] - best["null"][call]) / inputs
        table.add("registry", f"{call} ({inputs} input{'s' if inputs > 1 else ''})", best["registry"][call],
                  "null registry", best["null"][call], None, REGISTRY_TARGET, added > REGISTRY_TARGET,
                  f"ns/call; {added:.1f} ns per borrow", added_ns_per_borrow=added)
    # The table alone under two threads reading one key: the mutex serializes
    # the pairs, so the measure is the whole table's rate; a leftover count or
    # base would be a lost update.
    probe = BUILD / "bench" / "veldspar_table_contention"
    result = json.loads(subprocess.run([str(probe), str(calls * 10)], capture_output=True, text=True,
                                       check=True).stdout)
    one, two = result["one_thread_ns_per_pair"], result["two_threads_ns_per_pair"]
    left = result["count_left"] != 0 or result["bases_left"] != 0
    table.add("registry", "table, 2 threads", two, "1 thread", one, two / one, None, left,
              f"ns per borrow and release of the whole table; left behind: count {result['count_left']}, "
              f"bases {result['bases_left']}", threads_ns_per_pair=two, one_thread_ns_per_pair=one,
              lost=left)


ALLOC_PROBE = """
import ctypes, json, sys
import numpy as np
import veldspar, veldspar_bench as f
count = ctypes.CDLL({shim!r}).veldspar_allocations
count.restype = ctypes.c_ulong
x = np.linspace(1.0, 2.0, 64); h, l = x + 0.5, x - 0.5
o1, o2, o3 = np.empty(64), np.empty(64), np.empty(64)
calls = {{
    "noop3": lambda: f.noop3(20, x, o1),
    "np.add": lambda: np.add(x, h, out=o1),
    "sma": lambda: veldspar.indicator_sma(20, x, o1),
    "ema": lambda: veldspar.indicator_ema(20, x, o1),
    "macd": lambda: veldspar.indicator_macd(12, 26, 9, x, o1, o2, o3),
    "atr": lambda: veldspar.indicator_atr(14, h, l, x, o1),
    "np.empty": lambda: np.empty(1 << 20),  # must allocate: proves the counter is preloaded
}}
def counted(call, n):
    for _ in range(1000):
        call()
    before = count()
    for _ in range(n):
        call()
    return count() - before
print(json.dumps({{name: counted(call, {calls}) for name, call in calls.items()}}))
"""


def alloc_section(table, module_paths, shim, calls):
    env = dict(os.environ, LD_PRELOAD=str(shim),
               PYTHONPATH=os.pathsep.join(module_paths + [os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", ALLOC_PROBE.format(shim=str(shim), calls=calls)],
                          env=env, capture_output=True, text=True, check=True)
    counts = json.loads(done.stdout)
    if counts["np.empty"] < calls:
        raise RuntimeError(f"the allocation counter is not active: {counts}")
    for name in INDICATORS:
        table.add("allocs", f"{name} x{calls:.0e}", float(counts[name]), "noop3 / np.add",
                  float(counts["noop3"]), None, 0, counts[name] > 0,
                  f"malloc calls; np.add made {counts['np.add']}")


def machine():
    import numpy as np
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = {}
    for dist in ("TA-Lib", "numba", "bottleneck", "pandas", "polars", "tulipy"):
        try:
            from importlib.metadata import version
            versions[dist] = version(dist)
        except Exception:
            pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(), "numpy": np.__version__,
            "peers": versions, "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}


def markdown(result):
    """The README's tables, from the JSON of a run."""
    rows, info = result["rows"], result["machine"]

    def pick(section, **match):
        return [r for r in rows if r["section"] == section and all(r.get(k) == v for k, v in match.items())]

    def num(v, digits=2):
        return "" if v is None else (f"{v:.{digits}f}" if v < 100 else f"{v:.0f}")

    def flag(r):
        return " !" if r["missed"] else ""

    out = [f"Recorded {info['date']} on {info['cpu']} (the model /proc/cpuinfo names; {info['cores']} cores), "
           f"Python {info['python']}, "
           f"NumPy {info['numpy']}; peers: " + ", ".join(f"{k} {v}" for k, v in info["peers"].items()) + ".", ""]
    sizes = sorted({r["n"] for r in pick("kernel")})
    out += ["| kernel | " + " | ".join(f"n={n:.0e} ns/value | x floor" for n in sizes) + " |",
            "|---|" + "---:|---:|" * len(sizes)]
    for name in INDICATORS:
        cells = []
        for n in sizes:
            r = pick("kernel", indicator=name, n=n)[0]
            cells += [num(r["veldspar"]), num(r["ratio"]) + flag(r)]
        out.append(f"| {name} | " + " | ".join(cells) + " |")
    out += ["", "| call | n=16 ns | x np.add | target | x no-op | n=1000 ns | x np.add |", "|---|---:|---:|---:|---:|---:|---:|"]
    for name in INDICATORS:
        short = [r for r in pick("call", indicator=name, n=16)]
        long = pick("call", indicator=name, n=1000)[0]
        out.append(f"| {name} | {num(short[0]['veldspar'], 0)} ({num(short[0]['reference_value'], 0)}) | "
                   f"{num(short[0]['ratio'])}{flag(short[0])} | {short[0]['target']} | {num(short[1]['ratio'], 1)} | "
                   f"{num(long['veldspar'], 0)} | {num(long['ratio'])} |")
    peers = sorted({r["reference"] for r in pick("peer")}, key=lambda p: [r["reference"] for r in rows].index(p))
    if peers:
        big = 1_000_000
        out += ["", f"Peers, time as a multiple of ours (above 1: slower than veldspar); "
                f"= bit-identical results, ~x largest relative difference:", "",
                "| peer | indicator | n=1e6 | n=16 call | results |", "|---|---|---:|---:|---|"]
        for peer in peers:
            for name in INDICATORS:
                kern = pick("peer", reference=peer, indicator=name, n=big)
                call = pick("peer", reference=peer, indicator=name, n=16)
                if kern or call:
                    out.append(f"| {peer} | {name} | {num(kern[0]['ratio']) if kern else ''} | "
                               f"{num(call[0]['ratio']) if call else ''} | {kern[0]['note'] if kern else ''} |")
    out += ["", "| threads | n per thread | 1 thread calls/s | 2 threads calls/s | speed-up | 2 threads GB/s "
            "| CPU per call, 2 threads / 1 |", "|---|---:|---:|---:|---:|---:|---:|"]
    for r in pick("threads"):
        size = r["n"] if r["n"] < 1000 else f"{r['n']:.0e}"
        out.append(f"| {r['indicator']} | {size} | {num(r['reference_value'], 0)} | {num(r['veldspar'], 0)} | "
                   f"{num(r['ratio'])}{flag(r)} | {num(r['gb_per_s'], 1)} | {num(r['cpu_per_call_ratio'])} |")
    out += ["", "| registry | ns per call | with a do-nothing registry | added ns per borrow |", "|---|---:|---:|---:|"]
    for r in pick("registry"):
        if "threads_ns_per_pair" in r:
            continue
        out.append(f"| {r['case']} | {num(r['veldspar'], 0)} | {num(r['reference_value'], 0)} | "
                   f"{num(r['added_ns_per_borrow'], 1)}{flag(r)} |")
    for r in pick("registry"):
        if "threads_ns_per_pair" in r:
            out += ["", "| borrow table alone, one key | 1 thread | 2 threads | 2 threads / 1 | lost updates |",
                    "|---|---:|---:|---:|---|",
                    f"| ns per borrow and release (whole table) | {num(r['one_thread_ns_per_pair'], 1)} | "
                    f"{num(r['threads_ns_per_pair'], 1)} | {num(r['ratio'], 1)} | {'yes' if r['lost'] else 'none'} |"]
    out += ["", "| allocations | malloc-family calls |", "|---|---:|"]
    for r in pick("allocs"):
        out.append(f"| {r['case']} | {r['veldspar']:.0f}{flag(r)} |")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and repeats (well under a minute)")
    parser.add_argument("--install-peers", action="store_true", help="install the peer libraries into the venv")
    parser.add_argument("--json", type=Path, help="write the results here")
    parser.add_argument("--module-dir", help="folder holding a built veldspar (default: build it)")
    parser.add_argument("--markdown", type=Path, metavar="JSON",
                        help="print the README's tables from the JSON of an earlier run, and stop")
    args = parser.parse_args()
    if args.markdown:
        print(markdown(json.loads(args.markdown.read_text())), end="")
        return

    prepare_venv(args.install_peers)
    paths, shim = build(args.module_dir)
    sys.path[:0] = paths
    import veldspar
    import veldspar_bench

    info = machine()
    print(f"{info['cpu']}, {info['cores']} cores; Python {info['python']}, NumPy {info['numpy']}; "
          f"peers: {', '.join(f'{k} {v}' for k, v in info['peers'].items()) or 'none'}")
    print("ratio: ours/floor (kernel), ours/reference (call), peer/ours (peer), 2 threads/1 (threads)\n")
    started = time.perf_counter()
    table = Table()
    peers = peer_table()
    quick = args.quick
    kernel_section(table, veldspar, veldspar_bench, (10_000, 1_000_000) if quick else (10_000, 1_000_000, 10_000_000),
                   0.01 if quick else 0.02, 3 if quick else 7, peers)
    # Calls are short: many short repeats give the best a fair chance on a busy machine.
    call_section(table, veldspar, veldspar_bench, 0.003 if quick else 0.005, 5 if quick else 15, peers)
    thread_section(table, veldspar, veldspar_bench,
                   [(16, 20_000), (100_000, 100)] if quick else [(16, 100_000), (100_000, 400), (10_000_000, 4)],
                   3 if quick else 5)
    registry_section(table, paths, 200_000 if quick else 500_000, 2 if quick else 4)
    alloc_section(table, paths, shim, 100_000 if quick else 1_000_000)
    print(f"\n{time.perf_counter() - started:.0f} s; '!' marks a missed target")
    if args.json:
        args.json.write_text(json.dumps({"machine": info, "quick": quick, "rows": table.rows}, indent=1) + "\n")


if __name__ == "__main__":
    main()
