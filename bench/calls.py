"""Python-level timings of veldspar, a pyperf script with one suite per run (bench/run.py runs it).

    python bench/calls.py --suite calls|peers|threads|registry -o out.json \\
        [--module-dir DIR] [--quick] [--only NAME,...] [--null-peer PATH] [pyperf options]

Suites:
  calls     each function through a bare name at n = 16 and 1000, and
            np.add(a, b, out=c) the same way (the reference of the call targets);
  panels    veldspar_kit.panel's functions with one thread and two, a loop of
            the module's function over the same rows, and each peer's way of
            computing many series at once on the same data (wall seconds);
  peers     ours and each peer library called as module attributes at n = 16
            and 1e6 (run.py passes --only with the peers it found working);
  threads   one and two threads calling at once, each on arrays of its own:
            wall seconds for every thread to make one call;
  registry  one input (SMA) and three (ATR) with veldspar's registry and with a
            registry that does nothing (published first by the test peer);
  stream    veldspar_kit's streams: update through a bare bound method against
            math.fabs called the same way, update_many at n = 1e6 against the
            batch function, and one new bar on a 10 000-bar history: our update,
            the batch function over the whole history, and each installed
            peer's stream function (run.py passes --only with those that work).

Every value but the threads' is this thread's CPU time over a loop of calls
(the `for` loop's own cost included, on both sides of every ratio), so that time
spent descheduled on a shared machine is left out. A suite yields (name, time
function) pairs; cpu_timed(setup, ...) makes the time function from a setup that
returns a statement and its globals, run only in the worker that times the row,
untimed. A new row is one more pair:

    yield "math.fabs", cpu_timed(lambda: ("fabs(x)", {"fabs": math.fabs, "x": 1.5}))
"""
import functools
import importlib
import importlib.metadata
import runpy
import sys
import threading
import time
import timeit
import types
from pathlib import Path

import pyperf

ROOT = Path(__file__).resolve().parent.parent
INDICATORS = ("sma", "ema", "macd", "atr")
ARGS = {"sma": "p, x, o", "ema": "p, x, o", "macd": "pf, ps, pg, x, o, o2, o3", "atr": "p, h, l, x, o"}
# The usual periods, and short ones for tiny n so that every call computes values.
PERIODS = {"long": dict(p_sma=20, p_ema=20, pf=12, ps=26, pg=9, p_atr=14),
           "short": dict(p_sma=5, p_ema=5, pf=3, ps=6, pg=4, p_atr=5)}


# --- data and our calls ----------------------------------------------------------------------------------

def bars(n, seed=7):
    import numpy as np
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    spread = np.abs(rng.normal(0.0, 1.0, n))
    return close, close + spread, close - spread * 0.5


def arrays(indicator, n):
    """The globals every statement of one indicator at one n runs with: prices, outputs and periods."""
    import numpy as np
    x, h, l = bars(n)
    env = dict(np=np, x=x, h=h, l=l, o=np.empty(n), o2=np.empty(n), o3=np.empty(n),
               **PERIODS["short" if n < 100 else "long"])
    env["p"] = env.get(f"p_{indicator}")
    return env


def ours(indicator, n, bare=True):
    """Our call: through a bare name (calls, threads) or as a module attribute like the peers (peers)."""
    import veldspar
    env = arrays(indicator, n)
    if bare:
        env["f"] = getattr(veldspar, f"indicator_{indicator}")
        return f"f({ARGS[indicator]})", env
    env["v"] = veldspar
    return f"v.indicator_{indicator}({ARGS[indicator]})", env


def np_add(n):
    import numpy as np
    return "add(a, b, out=c)", dict(add=np.add, a=np.ones(n), b=np.ones(n), c=np.empty(n))


# --- peers -----------------------------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def numba_oracle():
    """The Python oracle (tests/reference.py) compiled by numba as written, writing into the caller's arrays.

    {indicator: function}; one numba refused raises, saying why. Every function of
    the oracle is compiled in one namespace, so that its helpers are compiled
    too. Like the module's kernels, each call first fills its outputs with NaN,
    then lets the oracle's `<name>_into` write the positions that have a value."""
    import numba
    oracle = runpy.run_path(str(ROOT / "tests" / "reference.py"), run_name="veldspar_oracle")
    space = dict(oracle)
    for name, value in oracle.items():
        if isinstance(value, types.FunctionType) and value.__module__ == "veldspar_oracle":
            space[name] = numba.njit(types.FunctionType(value.__code__, space, name, value.__defaults__))
    sma_into, ema_into, macd_into, atr_into = (space[name + "_into"] for name in INDICATORS)
    nan = oracle["NAN"]

    def sma(p, x, o):
        o[:] = nan
        sma_into(p, x, o)

    def ema(p, x, o):
        o[:] = nan
        ema_into(p, x, o)

    def macd(pf, ps, pg, x, o, o2, o3):
        o[:] = nan
        o2[:] = nan
        o3[:] = nan
        # The threshold S + G - 2 cannot wrap for the periods numba can be passed.
        macd_into(pf, ps, pg, ps + pg - 2, x, o, o2, o3)

    def atr(p, h, l, x, o):
        o[:] = nan
        atr_into(p, h, l, x, o)

    out = {}
    for name, function in {"sma": sma, "ema": ema, "macd": macd, "atr": atr}.items():
        function = numba.njit(function)
        try:  # numba compiles on the first call
            eval(f"f({ARGS[name]})", dict(arrays(name, 64), f=function))
            out[name] = function
        except Exception as refused:  # numba's own errors: calling it then says why
            lines = [line for line in str(refused).splitlines() if line.strip()]
            out[name] = functools.partial(refusal, name, next(
                (line for line in lines if not line.startswith("Failed in")), lines[0]))
    return out


def refusal(name, reason, *args):
    raise RuntimeError(f"numba cannot compile tests/reference.py's {name}: {reason}")


def pandas_macd(s, fast, slow, signal):
    m = s.ewm(span=fast, adjust=False).mean() - s.ewm(span=slow, adjust=False).mean()
    g = m.ewm(span=signal, adjust=False).mean()
    return m, g, m - g


def polars_macd(s, fast, slow, signal):
    m = s.ewm_mean(span=fast, adjust=False) - s.ewm_mean(span=slow, adjust=False)
    g = m.ewm_mean(span=signal, adjust=False)
    return m, g, m - g


# Each peer's module and distribution, and what its statements see besides the arrays (`t`, `s`, `pm`).
PEER_MODULES = {"talib": ("talib", "TA-Lib"), "numba": ("numba", "numba"), "bottleneck": ("bottleneck", "bottleneck"),
                "pandas": ("pandas", "pandas"), "polars": ("polars", "polars"), "tulipy": ("tulipy", "tulipy")}
PEER_SETUP = {
    "numba": lambda m, env: dict(t=types.SimpleNamespace(**numba_oracle())),
    "pandas": lambda m, env: dict(s=m.Series(env["x"]), pm=pandas_macd),
    "polars": lambda m, env: dict(s=m.Series(env["x"]), pm=polars_macd),
}
# (peer, indicator, statement, what it computes otherwise: "" where it should give our bits).
PEERS = [
    ("talib", "sma", "t.SMA(x, timeperiod=p)", "adds then subtracts, divides by period"),
    ("talib", "ema", "t.EMA(x, timeperiod=p)", "ema += k*(x-ema)"),
    ("talib", "macd", "t.MACD(x, pf, ps, pg)", "own seeds and recurrence form"),
    ("talib", "atr", "t.ATR(h, l, x, timeperiod=p)", "Wilder's smoothing"),
    ("numba", "sma", "t.sma(p, x, o)", ""),
    ("numba", "ema", "t.ema(p, x, o)", ""),
    ("numba", "macd", "t.macd(pf, ps, pg, x, o, o2, o3)", ""),
    ("numba", "atr", "t.atr(p, h, l, x, o)", ""),
    ("bottleneck", "sma", "t.move_mean(x, p)", "own rounding"),
    ("pandas", "sma", "s.rolling(p).mean()", "own summation"),
    ("pandas", "ema", "s.ewm(span=p, adjust=False).mean()", "seeded with x[0]"),
    ("pandas", "macd", "pm(s, pf, ps, pg)", "ewm seeded with x[0]"),
    ("polars", "sma", "s.rolling_mean(p)", "own summation"),
    ("polars", "ema", "s.ewm_mean(span=p, adjust=False)", "seeded with x[0]"),
    ("polars", "macd", "pm(s, pf, ps, pg)", "ewm seeded with x[0]"),
    ("tulipy", "sma", "t.sma(x, p)", "own summation"),
    ("tulipy", "ema", "t.ema(x, p)", "own seed"),
    ("tulipy", "macd", "t.macd(x, pf, ps, pg)", "own seeds"),
    ("tulipy", "atr", "t.atr(h, l, x, p)", "own seed and recurrence"),
]
PEER_SIZES = (16, 1_000_000)


def installed(peer):
    try:
        importlib.metadata.distribution(PEER_MODULES[peer][1])
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


def peer(name, indicator, statement, n):
    module = importlib.import_module(PEER_MODULES[name][0])
    env = arrays(indicator, n)
    env["t"] = module
    env.update(PEER_SETUP.get(name, lambda m, e: {})(module, env))
    return statement, env


# --- panels: many series at once --------------------------------------------------------------------------

PANEL_SHAPES = {True: ((64, 4096),), False: ((64, 4096), (1000, 10_000))}  # by --quick
PANEL_PEER_SHAPE = (64, 4096)


def shape_name(shape):
    return f"{shape[0]}x{shape[1]}"


def panel_arrays(indicator, shape):
    """Like arrays(), with one series per row of shape: a long walk cut into rows."""
    import numpy as np
    x, h, l = (a.reshape(shape) for a in bars(shape[0] * shape[1]))
    env = dict(np=np, x=x, h=h, l=l, o=np.empty(shape), o2=np.empty(shape), o3=np.empty(shape), **PERIODS["long"])
    env["p"] = env.get(f"p_{indicator}")
    return env


def ours_panel(indicator, shape, threads):
    from veldspar_kit import panel
    env = panel_arrays(indicator, shape)
    env.update(f=getattr(panel, indicator), threads=threads)
    return f"f({ARGS[indicator]}, threads=threads)", env


def ours_loop(indicator, shape):
    """The module's function called row by row, as a caller without panels would."""
    import veldspar
    env = panel_arrays(indicator, shape)
    env.update(f=getattr(veldspar, f"indicator_{indicator}"), rows=range(shape[0]))
    row_args = ", ".join(a if a.startswith("p") else f"{a}[r]" for a in ARGS[indicator].split(", "))
    return f"for r in rows: f({row_args})", env


@functools.lru_cache(maxsize=None)
def numba_rows():
    """numba's way to many series: the oracle's functions over rows in a prange loop (all cores)."""
    import numba
    one = numba_oracle()
    if not all(isinstance(one[name], numba.core.registry.CPUDispatcher) for name in INDICATORS):
        return one  # refusals: calling them says why
    sma1, ema1, macd1, atr1 = (one[name] for name in INDICATORS)

    @numba.njit(parallel=True)
    def sma(p, x, o):
        for r in numba.prange(x.shape[0]):
            sma1(p, x[r], o[r])

    @numba.njit(parallel=True)
    def ema(p, x, o):
        for r in numba.prange(x.shape[0]):
            ema1(p, x[r], o[r])

    @numba.njit(parallel=True)
    def macd(pf, ps, pg, x, o, o2, o3):
        for r in numba.prange(x.shape[0]):
            macd1(pf, ps, pg, x[r], o[r], o2[r], o3[r])

    @numba.njit(parallel=True)
    def atr(p, h, l, x, o):
        for r in numba.prange(x.shape[0]):
            atr1(p, h[r], l[r], x[r], o[r])

    return {"sma": sma, "ema": ema, "macd": macd, "atr": atr}


def long_format(module, env):
    """The panel as pandas and polars users keep it: one row per bar, a symbol column."""
    import numpy as np
    rows, cols = env["x"].shape
    return module.DataFrame({"symbol": np.repeat(np.arange(rows), cols), "close": env["x"].ravel()})


PANEL_PEER_SETUP = {
    "numba": lambda m, env: dict(t=types.SimpleNamespace(**numba_rows())),
    "pandas": lambda m, env: dict(g=long_format(m, env).groupby("symbol")["close"]),
    "polars": lambda m, env: dict(df=long_format(m, env), c=m.col("close")),
}
# (peer, indicator, statement, what it computes otherwise: "" where it should give our bits).
PANEL_PEERS = [
    ("numba", "sma", "t.sma(p, x, o)", ""),
    ("numba", "ema", "t.ema(p, x, o)", ""),
    ("numba", "macd", "t.macd(pf, ps, pg, x, o, o2, o3)", ""),
    ("numba", "atr", "t.atr(p, h, l, x, o)", ""),
    ("bottleneck", "sma", "t.move_mean(x, p, axis=1)", "own rounding"),
    ("pandas", "sma", "g.rolling(p).mean()", "own summation"),
    ("pandas", "ema", "g.ewm(span=p, adjust=False).mean()", "seeded with x[0]"),
    ("polars", "sma", 'df.select(c.rolling_mean(p).over("symbol"))', "own summation"),
    ("polars", "ema", 'df.select(c.ewm_mean(span=p, adjust=False).over("symbol"))', "seeded with x[0]"),
]


def panel_peer(name, indicator, statement, shape):
    module = importlib.import_module(PEER_MODULES[name][0])
    env = panel_arrays(indicator, shape)
    env["t"] = module
    env.update(PANEL_PEER_SETUP.get(name, lambda m, e: {})(module, env))
    return statement, env


# --- suites: (name, time function) -------------------------------------------------------------------------

def suite_calls(args):
    for n in (16, 1000):
        yield f"np.add/{n}", cpu_timed(np_add, n)
        for indicator in INDICATORS:
            yield f"{indicator}/{n}", cpu_timed(ours, indicator, n)


def suite_peers(args):
    for n in PEER_SIZES:
        for indicator in INDICATORS:
            yield f"veldspar/{indicator}/{n}", cpu_timed(ours, indicator, n, bare=False)
        for name, indicator, statement, _ in PEERS:
            if installed(name):
                yield f"{name}/{indicator}/{n}", cpu_timed(peer, name, indicator, statement, n)


def suite_panels(args):
    for shape in PANEL_SHAPES[args.quick]:
        for indicator in INDICATORS:
            yield f"loop/{indicator}/{shape_name(shape)}", wall_clock_timed(ours_loop, indicator, shape)
            for threads in (1, 2):
                yield (f"panel/{indicator}/{shape_name(shape)}/{threads}",
                       wall_clock_timed(ours_panel, indicator, shape, threads))
    for name, indicator, statement, _ in PANEL_PEERS:
        if installed(name):
            yield (f"{name}/{indicator}/{shape_name(PANEL_PEER_SHAPE)}",
                   wall_clock_timed(panel_peer, name, indicator, statement, PANEL_PEER_SHAPE))


THREAD_SIZES = {True: (16, 100_000), False: (16, 100_000, 10_000_000)}


def suite_threads(args):
    for n in THREAD_SIZES[args.quick]:
        for indicator in INDICATORS:
            for threads in (1, 2):
                yield f"threads/{indicator}/{n}/{threads}", wall_timed(indicator, n, threads)


def registry_case(indicator, null_peer):
    import numpy as np
    import veldspar
    if null_peer:
        sys.path.insert(0, str(ROOT / "tests" / "peer"))
        from build_peer import load_peer
        load_peer(null_peer).install_registry(1)  # before our first call, so that ours finds it published
    x, out = np.linspace(1.0, 2.0, 16), np.empty(16)
    env = dict(sma=veldspar.indicator_sma, atr=veldspar.indicator_atr, x=x, out=out, low=x - 0.5, close=x - 0.25)
    return {"sma": "sma(3, x, out)", "atr": "atr(3, x, low, close, out)"}[indicator], env


def suite_registry(args):
    for indicator in ("sma", "atr"):
        yield f"registry/{indicator}", cpu_timed(registry_case, indicator, None)
        yield f"null/{indicator}", cpu_timed(registry_case, indicator, args.null_peer)


# --- streams ---------------------------------------------------------------------------------------------

STREAM_ARGS = {"sma": "x", "ema": "x", "macd": "x", "atr": "h, l, x"}
STREAM_MANY_ARGS = {"sma": "x, o", "ema": "x, o", "macd": "x, o, o2, o3", "atr": "h, l, x, o"}
STREAM_HISTORY = 10_000
# (peer, indicator, statement): the cost of one new bar through a peer's stream function, on the history.
STREAM_PEERS = [
    ("talib", "sma", "t.stream.SMA(x, timeperiod=p)"),
    ("talib", "ema", "t.stream.EMA(x, timeperiod=p)"),
    ("talib", "macd", "t.stream.MACD(x, pf, ps, pg)"),
    ("talib", "atr", "t.stream.ATR(h, l, x, timeperiod=p)"),
]


def stream_of(indicator, env):
    from veldspar_kit import stream
    periods = {"macd": (env["pf"], env["ps"], env["pg"])}.get(indicator, (env["p"],))
    return getattr(stream, indicator.upper())(*periods)


def stream_update(indicator):
    """One update through a bare bound method, on a stream past its warm-up; one bar's prices as floats."""
    env = arrays(indicator, 1000)
    s = stream_of(indicator, env)
    s.update_many(*(env[a] for a in STREAM_MANY_ARGS[indicator].replace(" ", "").split(",")))
    bar = dict(x=float(env["x"][-1]), h=float(env["h"][-1]), l=float(env["l"][-1]))
    return f"u({STREAM_ARGS[indicator]})", dict(bar, u=s.update)


def fabs_call():
    import math
    return "f(x)", dict(f=math.fabs, x=1.5)


def stream_many(indicator, n):
    env = arrays(indicator, n)
    env["u"] = stream_of(indicator, env).update_many
    return f"u({STREAM_MANY_ARGS[indicator]})", env


def stream_peer(name, indicator, statement):
    return peer(name, indicator, statement, STREAM_HISTORY)


def suite_stream(args):
    yield "math.fabs", cpu_timed(fabs_call)
    for indicator in INDICATORS:
        yield f"update/{indicator}", cpu_timed(stream_update, indicator)
        yield f"update_many/{indicator}/1000000", cpu_timed(stream_many, indicator, 1_000_000)
        yield f"batch/{indicator}/1000000", cpu_timed(ours, indicator, 1_000_000)
        yield f"history/{indicator}/{STREAM_HISTORY}", cpu_timed(ours, indicator, STREAM_HISTORY)
    for name, indicator, statement in STREAM_PEERS:
        if installed(name):
            yield f"{name}/stream/{indicator}", cpu_timed(stream_peer, name, indicator, statement)


SUITES = {"calls": suite_calls, "panels": suite_panels, "peers": suite_peers, "threads": suite_threads,
          "registry": suite_registry, "stream": suite_stream}


# --- timing ----------------------------------------------------------------------------------------------
# pyperf time functions. Each makes its arrays on first use, untimed, so that
# only the worker that times a row builds (or compiles) anything.

def cpu_timed(setup, *args, **kwargs):
    """This thread's CPU seconds for `loops` runs of the statement setup(*args, **kwargs) gives."""
    timer = None

    def time_func(loops):
        nonlocal timer
        if timer is None:
            statement, env = setup(*args, **kwargs)
            timer = timeit.Timer(statement, globals=env, timer=time.thread_time)
        return timer.timeit(loops)
    return time_func


def wall_clock_timed(setup, *args):
    """Wall seconds for `loops` runs of the statement setup(*args) gives: what a caller waits, threads
    of the call's own included."""
    timer = None

    def time_func(loops):
        nonlocal timer
        if timer is None:
            statement, env = setup(*args)
            timer = timeit.Timer(statement, globals=env, timer=time.perf_counter)
        return timer.timeit(loops)
    return time_func


def wall_timed(indicator, n, threads):
    """Wall seconds for `threads` threads, started together, to make `loops` calls each on arrays of their own."""
    timers = []

    def time_func(loops):
        if not timers:
            timers.extend(timeit.Timer(statement, globals=env)
                          for statement, env in (ours(indicator, n) for _ in range(threads)))
        start = threading.Barrier(threads + 1)

        def body(timer):
            start.wait()
            timer.timeit(loops)
        pool = [threading.Thread(target=body, args=(timer,)) for timer in timers]
        for thread in pool:
            thread.start()
        start.wait()
        began = time.perf_counter()
        for thread in pool:
            thread.join()
        return time.perf_counter() - began
    return time_func


def forward(cmd, args):
    cmd.extend(["--suite", args.suite])
    for flag in ("module_dir", "only", "null_peer"):
        if getattr(args, flag):
            cmd.extend([f"--{flag.replace('_', '-')}", getattr(args, flag)])
    if args.quick:
        cmd.append("--quick")


def main():
    runner = pyperf.Runner(add_cmdline_args=forward)
    parser = runner.argparser
    parser.add_argument("--suite", required=True, choices=SUITES)
    parser.add_argument("--module-dir", help="folder holding the veldspar to time (default: the importable one)")
    parser.add_argument("--quick", action="store_true", help="fewer sizes")
    parser.add_argument("--only", help="comma-separated benchmark names: time only these")
    parser.add_argument("--null-peer", help="the built test peer (tests/peer), for the registry suite")
    args = runner.parse_args()
    if args.module_dir:
        sys.path.insert(0, str(Path(args.module_dir).resolve()))
    only = set(args.only.split(",")) if args.only else None
    for name, time_func in SUITES[args.suite](args):
        if only is None or name in only:
            runner.bench_time_func(name, time_func)


if __name__ == "__main__":
    main()
