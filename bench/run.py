"""The speed benchmark in one command: kernels, calls, peers, threads, registry and allocations, as tables.

    python3 bench/run.py [--quick] [--install-peers] [--module-dir DIR] [--out DIR] [--only SECTION,...]

Works in its own virtual environment (build/bench-venv, made on first use, with
NumPy, CMake and pyperf; --install-peers adds the libraries users compare us
with: TA-Lib, numba, bottleneck, pandas, polars, tulipy). Builds what it needs
in build/bench with CMake (-DVELDSPAR_BUILD_BENCH=ON; Google Benchmark comes
from Debian's libbenchmark-dev), and the module unless --module-dir names a
folder holding a built veldspar. Runs:
  bench/kernels.cpp  Google Benchmark: each kernel and its floor loop (the
                     core's oracle), `kernel/<ind>/<n>` and `floor/<ind>/<n>`;
                     each panel kernel and the batch kernel called row by
                     row, `panel/<ind>/<rows>x<cols>` and `loop/...`;
  bench/table.cpp    Google Benchmark: the borrow table, one thread and two;
  bench/calls.py     pyperf: calls, peers, threads, registry;
  bench/alloc_count.c  preloaded into an interpreter to count malloc calls.
Each writes its JSON into --out (default build/bench/results); the tables
printed here (Markdown) are also written there as tables.md. To compare two
builds: run with --module-dir A --out a, then with B and b, and
`python -m pyperf compare_to a/calls.json b/calls.json --table`.

Tables and targets (a "!" marks a figure that misses its target):
  kernel    ns per value at n = 1e4 (in cache), 1e6 and 1e7 against the floor
            loop of the same recurrence: at most 1.05x at 1e4 and 1e6; ATR on
            bars whose true-range terms win unpredictably (atr_mixed) at most
            1.15x ATR on bars where one term always wins, at 1e6;
  panel     ns per value of one panel kernel call against the batch kernel
            called row by row over the same rows: at least 2.5x (EMA, MACD,
            ATR) and 1.5x (SMA) at 64 x 4096, 1.5x (EMA), 1.15x (MACD, ATR)
            and 0.95x (SMA) at 1000 x 10000; 16 x 2048, whose arrays stay in
            a core's own cache, shows the arithmetic's share. Then the same
            from Python: veldspar_kit.panel's call against a loop of the
            module's function over the rows, and two threads against one: at
            least 1.8x at 64 x 4096; and each peer's way of computing many
            series at once (numba's prange loop over rows, bottleneck's
            move_mean(axis=1), pandas and polars grouped by symbol) against
            our panel call with one thread, on the same 64 x 4096 data;
  call      ns per call at n = 16 and 1000 against np.add(a, b, out=c), both
            called through a bare name: at n = 16 at most 0.35x (SMA, EMA),
            0.50x (MACD), 0.60x (ATR);
  peers     each installed peer's time as a multiple of ours at n = 1e6 and 16,
            with "=" where its results are bit-identical to ours;
  threads   two threads calling at once against one, arrays of their own: at
            least 1.85x for SMA, EMA and MACD at 1e5 (ATR keeps the lock);
  registry  ns added per borrow and release against a registry that does
            nothing: at most 35; the table alone under one thread and two, and
            nothing left in it afterwards;
  stream    veldspar_kit's streams: update against math.fabs(x) called the same
            way, at most 2x (SMA, EMA) and 3x (MACD, ATR); update_many at n = 1e6
            against the batch function, at most 1.15x; one new bar on a 10 000-bar
            history: the batch function over the whole history and each installed
            peer's stream function as multiples of our update, the peers at
            least 100x;
  allocs    malloc-family calls around many calls in steady state: none (stream
            updates included: their float or tuple comes from the interpreter's
            free lists).
Call, peer and registry figures are medians of pyperf's values, each the CPU
time of a loop of calls in a fresh worker process; kernel and table figures are
the best of Google Benchmark's repetitions, interleaved at random.
"""
import argparse
import json
import os
import platform
import runpy
import subprocess
import sys
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HERE = Path(__file__).resolve().parent
VENV = ROOT / "build" / "bench-venv"
BUILD = ROOT / "build" / "bench"
REQUIREMENTS = ["numpy>=2,<3", "cmake>=3.21", "pyperf>=2.6"]
PEERS = ["TA-Lib", "numba", "bottleneck", "pandas", "polars", "tulipy"]
SECTIONS = ("kernel", "panel", "call", "peers", "threads", "registry", "stream", "allocs")
INDICATORS = ("sma", "ema", "macd", "atr")

KERNEL_TARGET = {10_000: 1.05, 1_000_000: 1.05}  # kernel / floor, by n
# (kernel row, the row it is judged against, n, most it may take as a multiple)
KERNEL_PAIRS = [("atr_mixed", "atr", 1_000_000, 1.15)]
# loop / panel, at least, by shape
PANEL_TARGET = {"64x4096": {"sma": 1.5, "ema": 2.5, "macd": 2.5, "atr": 2.5, "atr_mixed": 2.5},
                "1000x10000": {"sma": 0.95, "ema": 1.5, "macd": 1.15, "atr": 1.15, "atr_mixed": 1.15}}
CALL_TARGET = {"sma": 0.35, "ema": 0.35, "macd": 0.50, "atr": 0.60}  # at n = 16
# (row, pyperf benchmark, reference benchmark, target: at most this multiple of the reference)
CALL_ROWS = [(f"{i} n={n}", f"{i}/{n}", f"np.add/{n}", CALL_TARGET[i] if n == 16 else None)
             for n in (16, 1000) for i in INDICATORS]
THREAD_TARGET = 1.85  # at least, 2 threads / 1 thread, SMA EMA MACD at n = 1e5
PANEL_THREAD_TARGET = {"64x4096": 1.8}  # at least, a panel call with threads=2 / threads=1
BYTES_PER_VALUE = {"sma": 16, "ema": 16, "macd": 32, "atr": 40}
REGISTRY_TARGET = 35.0  # ns per borrow and release, at most
REGISTRY_INPUTS = {"sma": 1, "atr": 3}
STREAM_UPDATE_TARGET = {"sma": 2.0, "ema": 2.0, "macd": 3.0, "atr": 3.0}  # update / math.fabs(x), at most
STREAM_MANY_TARGET = 1.15  # update_many / batch function at n = 1e6, at most
STREAM_PEER_TARGET = 100.0  # a peer's stream function / our update, per new bar, at least

# Google Benchmark and pyperf options: (quick, full).
GBENCH = {"kernel": ("--benchmark_repetitions=3 --benchmark_min_time=0.05 --benchmark_filter=^(kernel|floor)/",
                     "--benchmark_repetitions=7 --benchmark_min_time=0.2 --benchmark_filter=^(kernel|floor)/"),
          "panel": ("--benchmark_repetitions=3 --benchmark_min_time=0.05 --benchmark_filter=^(panel|loop)/",
                    "--benchmark_repetitions=5 --benchmark_min_time=0.2 --benchmark_filter=^(panel|loop)/"),
          "table": ("--benchmark_repetitions=3 --benchmark_min_time=0.1",
                    "--benchmark_repetitions=5 --benchmark_min_time=0.5")}
PYPERF = {"calls": ("--processes 3 --values 3 --min-time 0.05", "--processes 20 --values 3"),
          "panels": ("--processes 1 --values 3 --min-time 0.05", "--processes 4 --values 3"),
          "peers": ("--processes 1 --values 3 --min-time 0.05", "--processes 4 --values 3"),
          "threads": ("--processes 2 --values 3 --min-time 0.05", "--processes 6 --values 3"),
          "registry": ("--processes 4 --values 3 --min-time 0.05", "--processes 20 --values 3"),
          "stream": ("--processes 3 --values 3 --min-time 0.05", "--processes 20 --values 3")}


# --- environment and build -------------------------------------------------------------------------------

def prepare_venv(install_peers):
    """Makes the benchmark's venv if needed and re-runs this script in it."""
    python = VENV / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
    if subprocess.run([str(python), "-c", "import numpy, pyperf, cmake"], capture_output=True).returncode:
        subprocess.run([str(python), "-m", "pip", "install", "-q", *REQUIREMENTS], check=True)
    if install_peers:
        for peer in PEERS:  # one at a time: a peer that cannot install must not stop the others
            if subprocess.run([str(python), "-m", "pip", "install", "-q", peer]).returncode:
                print(f"bench: {peer} did not install; its rows are left out", file=sys.stderr)
    if Path(sys.prefix).resolve() != VENV.resolve():
        argv = [a for a in sys.argv[1:] if a != "--install-peers"]
        os.execv(str(python), [str(python), str(Path(__file__).resolve()), *argv])


def build(module_dir, sections):
    """Builds what the sections need; returns the folder to import veldspar from."""
    if not Path("/usr/include/benchmark/benchmark.h").exists():
        sys.exit("bench: Google Benchmark is missing: apt-get install libbenchmark-dev")
    targets = ["veldspar-bench-table", "veldspar-alloc-count"]
    if "kernel" in sections or "panel" in sections:
        targets.append("veldspar-bench-kernels")
    if not module_dir:
        targets += ["veldspar", "veldspar-kit"]
    cmake = str(VENV / "bin" / "cmake")
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELDSPAR_BUILD_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)
    return Path(module_dir).resolve() if module_dir else BUILD / "module"


# --- the tools ---------------------------------------------------------------------------------------------

def gbench(program, out, options):
    """Runs a Google Benchmark program; {(name, threads): best ns per item} over its repetitions.

    The name drops the suffixes the library adds (real_time, threads:N, ...)."""
    subprocess.run([str(program), f"--benchmark_out={out}", "--benchmark_out_format=json",
                    "--benchmark_enable_random_interleaving=true", *options.split()],
                   check=True, stdout=sys.stderr)
    runs = {}
    for b in json.loads(out.read_text())["benchmarks"]:
        if b.get("run_type") == "iteration":
            name = "/".join(p for p in b["run_name"].split("/") if ":" not in p and p != "real_time")
            runs.setdefault((name, b["threads"]), []).append(b)
    return {key: dict(ns=min((1e9 / b["items_per_second"] for b in bs if not b.get("error_occurred")),
                             default=float("inf")),
                      error=next((b["error_message"] for b in bs if b.get("error_occurred")), None),
                      left=max(b.get("left", 0) for b in bs))
            for key, bs in runs.items()}


def pyperf_suite(suite, ctx, *extra):
    """Runs one suite of bench/calls.py; {benchmark name: median seconds}."""
    import pyperf
    out = ctx.out / f"{suite}.json"
    out.unlink(missing_ok=True)
    subprocess.run([sys.executable, str(HERE / "calls.py"), "--suite", suite, "--module-dir", str(ctx.module),
                    "--quiet", "-o", str(out), *(["--quick"] if ctx.quick else []),
                    *PYPERF[suite][not ctx.quick].split(), *extra], check=True, stdout=sys.stderr)
    return {b.get_name(): b.median() for b in pyperf.BenchmarkSuite.load(str(out)).get_benchmarks()}


def load_calls():
    return types.SimpleNamespace(**runpy.run_path(str(HERE / "calls.py"), run_name="veldspar_bench_calls"))


# --- tables ----------------------------------------------------------------------------------------------

class Context:
    def __init__(self, args, module):
        self.quick, self.module, self.out = args.quick, module, args.out
        self.lines = []

    def table(self, head, rows):
        """Prints a Markdown table (and keeps it for tables.md); columns of figures align right."""
        rows = [[str(c) for c in r] for r in rows]
        widths = [max(len(str(r[i])) for r in [head, *rows]) for i in range(len(head))]
        right = [all(figure(r[i]) for r in rows) for i in range(len(head))]
        cell = lambda c, i: c.rjust(widths[i]) if right[i] else c.ljust(widths[i])  # noqa: E731
        lines = ["| " + " | ".join(cell(str(c), i) for i, c in enumerate(head)) + " |",
                 "|" + "|".join("-" * (w + 1) + (":" if right[i] else "-") for i, w in enumerate(widths)) + "|"]
        lines += ["| " + " | ".join(cell(c, i) for i, c in enumerate(r)) + " |" for r in rows]
        self.say("\n".join(lines) + "\n")

    def say(self, text):
        print(text, flush=True)
        self.lines.append(text)


def figure(cell):
    """A number, a marked number or nothing: a cell to align right."""
    try:
        float(cell.removesuffix(" !") or 0)
        return True
    except ValueError:
        return False


def mark(text, missed):
    return f"{text} !" if missed else text


def size(n):
    """16, 1000, 1e4, 1e6: powers of ten from 1e4 on as exponents."""
    return f"1e{len(str(n)) - 1}" if n >= 10_000 and str(n).rstrip("0") == "1" else str(n)


def kernel_section(ctx):
    best = gbench(BUILD / "bench" / "veldspar-bench-kernels", ctx.out / "kernels.json", GBENCH["kernel"][not ctx.quick])
    ns = {tuple(name.split("/")): v["ns"] for (name, _), v in best.items() if name.count("/") == 2}
    found = {(i, int(n)) for kind, i, n in ns if kind == "kernel" and ("floor", i, n) in ns}
    sizes = sorted({n for _, n in found})
    rows = []
    for indicator in sorted({i for i, _ in found}, key=lambda i: (i not in INDICATORS, INDICATORS.index(i)
                                                                   if i in INDICATORS else 0, i)):
        cells = [indicator]
        for n in sizes:
            ours, floor = ns.get(("kernel", indicator, str(n))), ns.get(("floor", indicator, str(n)))
            if ours is None or floor is None:
                cells += ["", ""]
                continue
            target = KERNEL_TARGET.get(n)
            cells += [f"{ours:.2f}", mark(f"{ours / floor:.2f}", target is not None and ours / floor > target)]
        rows.append(cells)
    ctx.table(["kernel", *(c for n in sizes for c in (f"n={size(n)} ns/value",
                                                      "x floor" + (f" (<= {KERNEL_TARGET[n]})" if n in KERNEL_TARGET
                                                                   else "")))], rows)
    pairs = []
    for row, against, n, target in KERNEL_PAIRS:
        a, b = ns.get(("kernel", row, str(n))), ns.get(("kernel", against, str(n)))
        if a and b:
            pairs.append([f"{row} / {against}", size(n), f"{a:.2f}", f"{b:.2f}", mark(f"{a / b:.2f}", a / b > target),
                          target])
    if pairs:
        ctx.table(["kernel against kernel", "n", "ns/value", "against ns/value", "ratio", "target"], pairs)


def panel_section(ctx):
    best = gbench(BUILD / "bench" / "veldspar-bench-kernels", ctx.out / "panel-kernels.json",
                  GBENCH["panel"][not ctx.quick])
    ns = {tuple(name.split("/")): v["ns"] for (name, _), v in best.items() if name.count("/") == 2}
    shapes = sorted({shape for kind, _, shape in ns if kind == "panel"}, key=lambda s: int(s.replace("x", "")))
    indicators = sorted({i for kind, i, _ in ns if kind == "panel"},
                        key=lambda i: (INDICATORS.index(i.split("_")[0]), i))
    rows = []
    for indicator in indicators:
        cells = [indicator]
        for shape in shapes:
            ours, loop = ns.get(("panel", indicator, shape)), ns.get(("loop", indicator, shape))
            if ours is None or loop is None:
                cells += ["", ""]
                continue
            target = PANEL_TARGET.get(shape, {}).get(indicator)
            cells += [f"{ours:.3f}", mark(f"{loop / ours:.2f}", target is not None and loop / ours < target)]
        rows.append(cells)
    ctx.table(["panel", *(c for shape in shapes for c in (f"{shape} ns/value", "x loop"))], rows)
    panel_calls(ctx)


def panel_calls(ctx):
    """veldspar_kit.panel from Python: against a loop of module calls, two threads against one, the peers."""
    calls = load_calls()
    sys.path.insert(0, str(ctx.module))
    peer_shape = calls.shape_name(calls.PANEL_PEER_SHAPE)
    working, notes = [], {}
    for peer, indicator, statement, differs in calls.PANEL_PEERS:
        if not calls.installed(peer):
            continue
        try:
            got = outputs(*calls.panel_peer(peer, indicator, statement, calls.PANEL_PEER_SHAPE))
        except Exception as error:  # a peer that cannot compute this case is left out, with why
            ctx.say(f"left out: {peer} {indicator} panel: {type(error).__name__}: {error}")
            continue
        ours = outputs(*calls.ours_panel(indicator, calls.PANEL_PEER_SHAPE, 1))
        same = agreement([o.ravel() for o in ours], [g.ravel() for g in got])
        notes[peer, indicator] = mark(f"{same} {differs}".strip(), not differs and same != "=")
        working.append(f"{peer}/{indicator}/{peer_shape}")
    ours_rows = [f"{kind}/{i}/{calls.shape_name(s)}{suffix}" for s in calls.PANEL_SHAPES[ctx.quick] for i in INDICATORS
                 for kind, suffix in (("loop", ""), ("panel", "/1"), ("panel", "/2"))]
    t = pyperf_suite("panels", ctx, "--only", ",".join(ours_rows + working))
    rows = []
    for shape in map(calls.shape_name, calls.PANEL_SHAPES[ctx.quick]):
        for i in INDICATORS:
            loop, one, two = t[f"loop/{i}/{shape}"], t[f"panel/{i}/{shape}/1"], t[f"panel/{i}/{shape}/2"]
            target = PANEL_THREAD_TARGET.get(shape)
            rows.append([i, shape, f"{loop * 1e3:.2f}", f"{one * 1e3:.2f}", f"{loop / one:.2f}", f"{two * 1e3:.2f}",
                         mark(f"{one / two:.2f}", target is not None and one / two < target), target or ""])
    ctx.table(["panel call", "shape", "loop ms", "threads=1 ms", "x loop", "threads=2 ms", "x threads=1",
               "target"], rows)
    if notes:
        ctx.table(["panel peer", "indicator", f"{peer_shape}, x ours", "results"],
                  [[peer, i, f"{t[f'{peer}/{i}/{peer_shape}'] / t[f'panel/{i}/{peer_shape}/1']:.2f}", note]
                   for (peer, i), note in notes.items()])


def call_section(ctx):
    t = pyperf_suite("calls", ctx)
    rows = []
    for row, bench, reference, target in CALL_ROWS:
        ratio = t[bench] / t[reference]
        rows.append([row, f"{t[bench] * 1e9:.0f}", reference, f"{t[reference] * 1e9:.0f}",
                     mark(f"{ratio:.2f}", target is not None and ratio > target), target or ""])
    ctx.table(["call", "ns", "reference", "ns", "ratio", "target"], rows)


def agreement(ours, theirs):
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


def outputs(statement, env):
    """The result arrays of one call on fresh outputs (in-place peers write them)."""
    import numpy as np
    env = dict(env, o=np.full_like(env["o"], 12345.0), o2=np.full_like(env["o"], 12345.0),
               o3=np.full_like(env["o"], 12345.0))
    got = eval(statement, env)
    if got is None:
        got = [env["o"], env["o2"], env["o3"]] if "o3" in statement else [env["o"]]
    elif not isinstance(got, (tuple, list)):
        got = [got]
    return [np.asarray(g.to_numpy() if hasattr(g, "to_numpy") else g, dtype=float) for g in got]


def peers_section(ctx):
    calls = load_calls()
    sys.path.insert(0, str(ctx.module))
    working, notes = [], {}
    for peer, indicator, statement, differs in calls.PEERS:
        if not calls.installed(peer):
            continue
        try:
            got = outputs(*calls.peer(peer, indicator, statement, max(calls.PEER_SIZES)))
        except Exception as error:  # a peer that cannot compute this case is left out, with why
            ctx.say(f"left out: {peer} {indicator}: {type(error).__name__}: {error}")
            continue
        same = agreement(outputs(*calls.ours(indicator, max(calls.PEER_SIZES), bare=False)), got)
        notes[peer, indicator] = mark(f"{same} {differs}".strip(), not differs and same != "=")
        working += [f"{peer}/{indicator}/{n}" for n in calls.PEER_SIZES]
    if not working:
        ctx.say("peers: none installed (--install-peers adds them)\n")
        return
    ours = [f"veldspar/{i}/{n}" for i in INDICATORS for n in calls.PEER_SIZES]
    t = pyperf_suite("peers", ctx, "--only", ",".join(ours + working))
    rows = [[peer, indicator, *(f"{t[f'{peer}/{indicator}/{n}'] / t[f'veldspar/{indicator}/{n}']:.2f}"
                                for n in sorted(calls.PEER_SIZES, reverse=True)), note]
            for (peer, indicator), note in notes.items()]
    ctx.table(["peer", "indicator", *(f"n={size(n)}, x ours" for n in sorted(calls.PEER_SIZES, reverse=True)),
               "results"], rows)


def threads_section(ctx):
    t = pyperf_suite("threads", ctx)
    rows = []
    for name in t:
        _, indicator, n, threads = name.split("/")
        if threads != "1":
            continue
        one, two = t[name], t[name[:-1] + "2"]
        speedup, n = 2 * one / two, int(n)
        judged = 1_000 <= n <= 100_000 and indicator != "atr"
        gbs = 2 * n * BYTES_PER_VALUE[indicator] / two / 1e9
        rows.append([indicator, size(n), f"{1 / one:.0f}", f"{2 / two:.0f}",
                     mark(f"{speedup:.2f}", judged and speedup < THREAD_TARGET), THREAD_TARGET if judged else "",
                     f"{gbs:.1f}"])
    ctx.table(["threads", "n per thread", "1 thread calls/s", "2 threads calls/s", "speed-up", "target",
               "2 threads GB/s"], rows)


def registry_section(ctx):
    sys.path.insert(0, str(ROOT / "tests" / "peer"))
    from build_peer import build_peer
    (BUILD / "peer").mkdir(parents=True, exist_ok=True)
    t = pyperf_suite("registry", ctx, "--null-peer", str(build_peer(BUILD / "peer")))
    rows = []
    for indicator, inputs in REGISTRY_INPUTS.items():
        ours, null = t[f"registry/{indicator}"] * 1e9, t[f"null/{indicator}"] * 1e9
        added = (ours - null) / inputs
        rows.append([f"{indicator} ({inputs} input{'s' if inputs > 1 else ''})", f"{ours:.0f}", f"{null:.0f}",
                     mark(f"{added:.1f}", added > REGISTRY_TARGET), REGISTRY_TARGET])
    ctx.table(["registry", "ns per call", "with a do-nothing registry", "added ns per borrow", "target"], rows)
    best = gbench(BUILD / "bench" / "veldspar-bench-table", ctx.out / "table.json", GBENCH["table"][not ctx.quick])
    one, two = best["table/one_key", 1], best["table/one_key", 2]
    lost = [r["error"] or f"left {r['left']:.0f}" for r in (one, two) if r["error"] or r["left"]]
    ctx.table(["borrow table alone, one key", "1 thread", "2 threads", "2 threads / 1", "left behind"],
              [["ns per borrow and release (whole table)", f"{one['ns']:.1f}", f"{two['ns']:.1f}",
                f"{two['ns'] / one['ns']:.1f}", mark("; ".join(lost) or "none", bool(lost))]])


def stream_section(ctx):
    calls = load_calls()
    sys.path.insert(0, str(ctx.module))
    working = []
    for name, indicator, statement in calls.STREAM_PEERS:
        if not calls.installed(name):
            continue
        try:
            statement, env = calls.stream_peer(name, indicator, statement)
            eval(statement, env)
            working.append(f"{name}/stream/{indicator}")
        except Exception as error:  # a peer that cannot compute this case is left out, with why
            ctx.say(f"left out: {name} stream {indicator}: {type(error).__name__}: {error}")
    names = ["math.fabs"] + [f"{kind}/{i}{n}" for i in INDICATORS for kind, n in
                             (("update", ""), ("update_many", "/1000000"), ("batch", "/1000000"),
                              ("history", f"/{calls.STREAM_HISTORY}"))]
    t = pyperf_suite("stream", ctx, "--only", ",".join(names + working))
    fabs = t["math.fabs"]
    rows = []
    for i in INDICATORS:
        update, many, batch = t[f"update/{i}"], t[f"update_many/{i}/1000000"], t[f"batch/{i}/1000000"]
        rows.append([i, f"{update * 1e9:.1f}", f"{fabs * 1e9:.1f}",
                     mark(f"{update / fabs:.2f}", update / fabs > STREAM_UPDATE_TARGET[i]), STREAM_UPDATE_TARGET[i],
                     f"{many * 1e3:.2f}", f"{batch * 1e3:.2f}",
                     mark(f"{many / batch:.2f}", many / batch > STREAM_MANY_TARGET), STREAM_MANY_TARGET])
    ctx.table(["stream", "update ns", "math.fabs ns", "ratio", "target", "update_many n=1e6 ms", "batch ms",
               "ratio", "target"], rows)
    rows = []
    for i in INDICATORS:
        update = t[f"update/{i}"]
        history = t[f"history/{i}/{calls.STREAM_HISTORY}"]
        rows.append(["veldspar batch over the history", i, f"{history * 1e9:.0f}", f"{history / update:.0f}", ""])
        for name in sorted({n for n, ind, _ in calls.STREAM_PEERS if ind == i and f"{n}/stream/{i}" in working}):
            cost = t[f"{name}/stream/{i}"]
            rows.append([f"{name} stream", i, f"{cost * 1e9:.0f}",
                         mark(f"{cost / update:.0f}", cost / update < STREAM_PEER_TARGET), STREAM_PEER_TARGET])
    ctx.table([f"one new bar, {size(calls.STREAM_HISTORY)}-bar history", "indicator", "ns per bar", "x our update",
               "target (at least)"], rows)


ALLOC_PROBE = """
import ctypes, json
import numpy as np
import veldspar
from veldspar_kit import stream
count = ctypes.CDLL({shim!r}).veldspar_allocations
count.restype = ctypes.c_ulong
x = np.linspace(1.0, 2.0, 64); h, l = x + 0.5, x - 0.5
o1, o2, o3 = np.empty(64), np.empty(64), np.empty(64)
calls = {{
    "np.add": lambda: np.add(x, h, out=o1),
    "sma": lambda: veldspar.indicator_sma(20, x, o1),
    "ema": lambda: veldspar.indicator_ema(20, x, o1),
    "macd": lambda: veldspar.indicator_macd(12, 26, 9, x, o1, o2, o3),
    "atr": lambda: veldspar.indicator_atr(14, h, l, x, o1),
    "stream sma": lambda u=stream.SMA(20).update: u(1.5),
    "stream ema": lambda u=stream.EMA(20).update: u(1.5),
    "stream macd": lambda u=stream.MACD(12, 26, 9).update: u(1.5),
    "stream atr": lambda u=stream.ATR(14).update: u(2.0, 1.0, 1.5),
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


def allocs_section(ctx):
    calls = 100_000 if ctx.quick else 1_000_000
    shim = BUILD / "bench" / "libveldspar-alloc-count.so"
    env = dict(os.environ, LD_PRELOAD=str(shim),
               PYTHONPATH=os.pathsep.join([str(ctx.module), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", ALLOC_PROBE.format(shim=str(shim), calls=calls)],
                          env=env, capture_output=True, text=True, check=True)
    counts = json.loads(done.stdout)
    (ctx.out / "allocs.json").write_text(json.dumps(dict(calls=calls, counts=counts)) + "\n")
    if counts["np.empty"] < calls:
        raise RuntimeError(f"the allocation counter is not active: {counts}")
    ctx.table(["allocations", f"malloc-family calls in {size(calls)} calls", "target"],
              [[name, mark(str(counts[name]), counts[name] > 0), 0]
               for name in [*INDICATORS, *(f"stream {i}" for i in INDICATORS)]] +
              [["np.add(x, h, out=o)", counts["np.add"], ""]])


def machine():
    import numpy as np
    from importlib.metadata import version
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), "unknown")
    peers = []
    for dist in PEERS:
        try:
            peers.append(f"{dist} {version(dist)}")
        except Exception:
            pass
    return (f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {cpu} (as /proc/cpuinfo names it), "
            f"{os.cpu_count()} cores; Python {platform.python_version()}, NumPy {np.__version__}; "
            f"peers: {', '.join(peers) or 'none'}; load average {os.getloadavg()[0]:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes, repetitions and processes")
    parser.add_argument("--install-peers", action="store_true", help="install the peer libraries into the venv")
    parser.add_argument("--module-dir", help="folder holding a built veldspar (default: build it)")
    parser.add_argument("--out", type=Path, default=BUILD / "results", help="where the JSON files and tables.md go")
    parser.add_argument("--only", help=f"comma-separated sections of {','.join(SECTIONS)} (default: all)")
    args = parser.parse_args()
    sections = args.only.split(",") if args.only else list(SECTIONS)
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")

    prepare_venv(args.install_peers)
    module = build(args.module_dir, sections)
    args.out.mkdir(parents=True, exist_ok=True)
    ctx = Context(args, module)
    started = time.perf_counter()
    ctx.say(machine() + "\n")
    for section in sections:
        globals()[f"{section}_section"](ctx)
    ctx.say(f"{time.perf_counter() - started:.0f} s; load average {os.getloadavg()[0]:.2f}; "
            f"'!' marks a missed target; JSON in {args.out}")
    (args.out / "tables.md").write_text("\n".join(ctx.lines) + "\n")


if __name__ == "__main__":
    main()
