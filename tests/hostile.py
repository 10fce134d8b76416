"""Shared by the fuzz, leak and thread suites: run profiles, the functions' signatures, the reference
results of a call, and the catalogue of every success and failure path of every function."""
import copy
import numbers
import os
import pickle
import types
from fractions import Fraction

import numpy as np

import reference as ref
import veldspar
from conftest import Index
from veldspar_kit import panel

# quick: seconds in all; ci (default): adds at most a minute; long: the soak named in the README.
_PROFILES = {
    "quick": dict(fuzz_examples=60, leak_calls=300, stress_seconds=0.5),
    "ci": dict(fuzz_examples=3000, leak_calls=10_000, stress_seconds=4.0),
    "long": dict(fuzz_examples=1_000_000, leak_calls=100_000, stress_seconds=120.0),
}
PROFILE_NAME = os.environ.get("VELDSPAR_PROFILE") or "ci"
if PROFILE_NAME not in _PROFILES:
    raise RuntimeError(f"VELDSPAR_PROFILE={PROFILE_NAME!r}: use one of {', '.join(_PROFILES)}")
PROFILE = _PROFILES[PROFILE_NAME]

# Parameter kinds, in parameter order: the module's functions, then veldspar_kit.panel's (named
# "panel.<indicator>"), whose arrays are 2-D and whose keyword-only `threads` comes last.
SIGNATURES = {
    "sma": (("period", "period"), ("data", "input"), ("output", "output")),
    "ema": (("period", "period"), ("data", "input"), ("output", "output")),
    "macd": (("fast_period", "period"), ("slow_period", "period"), ("signal_period", "period"),
             ("data", "input"), ("macd_output", "output"), ("signal_output", "output"), ("hist_output", "output")),
    "atr": (("period", "period"), ("high", "input"), ("low", "input"), ("close", "input"), ("output", "output")),
}
SIGNATURES.update({"panel." + name: (*signature, ("threads", "threads")) for name, signature in SIGNATURES.items()})


def is_panel(name):
    return name.startswith("panel.")


def indicator(name):
    """The indicator a function computes: "sma" for "sma" and "panel.sma"."""
    return name.removeprefix("panel.")


def function(name):
    return getattr(panel, indicator(name)) if is_panel(name) else getattr(veldspar, "indicator_" + name)


def params(name, kind):
    return [p for p, k in SIGNATURES[name] if k == kind]


def expected(name, periods, inputs):
    """Reference outputs (lists of floats) of one call, in output order: 1-D inputs are series;
    a panel's 2-D inputs give each output's rows one after another."""
    if is_panel(name):
        rows = [expected(indicator(name), periods, [x[r] for x in inputs]) for r in range(len(inputs[0]))]
        return [sum((row[k] for row in rows), []) for k in range(3 if indicator(name) == "macd" else 1)]
    if name == "macd":
        return list(ref.macd(*periods, inputs[0]))
    if name == "atr":
        return [ref.atr(periods[0], *inputs)]
    return [getattr(ref, name)(periods[0], inputs[0])]


# Every ValueError text the functions raise, for checking messages of fuzzed failures.
VALUE_MESSAGES = {
    "Input array must be C-contiguous and float64", "Output array must be C-contiguous and float64",
    "Output array length must match input", "Output array must be writeable",
    "Output array must not partially overlap the input", "Periods must be greater than 0",
    "Fast period must be less than slow period", "All output arrays must have the same length as input data",
    "Input array must be C-contiguous", "MACD output array must be C-contiguous",
    "Signal output array must be C-contiguous", "Histogram output array must be C-contiguous",
    "MACD output array must be writeable", "Signal output array must be writeable",
    "Histogram output array must be writeable", "Output arrays must not overlap the input or each other",
    "High array must be C-contiguous and float64", "Low array must be C-contiguous and float64",
    "Close array must be C-contiguous and float64", "All arrays must have the same length",
    "Output array must not overlap the inputs",
}


def documented_value_error(name, message):
    """Whether `message` is one of the ValueError texts of function `name`: the module's fixed
    texts, or for a panel function MACD's period texts and the texts that name an argument."""
    if not is_panel(name):
        return message in VALUE_MESSAGES
    return message in ("Periods must be greater than 0", "Fast period must be less than slow period") or (
        message.startswith(("argument '", "argument 'threads': ")))


def rss_bytes():
    """Resident set size of this process, or None where /proc is missing."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


def tracked(objects):
    """The objects whose reference counts only a call could change (not constants, types,
    dtypes or modules, which any array or import may take)."""
    shared = (int, float, complex, str, bytes, type(None), type, np.dtype, types.ModuleType, types.BuiltinFunctionType)
    return [o for o in objects if not isinstance(o, shared)]


class Raises:
    """An integer-like object whose __index__ raises a new exception of the type it was given."""

    def __init__(self, error_type):
        self.error_type = error_type

    def __index__(self):
        raise self.error_type("planted")


class _NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return type.__getattribute__(cls, name)


# Its type's __qualname__ cannot be read: refusals name "<failed to extract type name>".
Unnamed = _NoQualname("Unnamed", (), {})

# --- Every path of every function, on arrays of length N -------------------------------------

N = 16
ROWS = 3  # of the panel functions' arrays
GOOD_PERIODS = {"sma": (3,), "ema": (3,), "macd": (2, 4, 3), "atr": (3,)}


def _shape(name):
    return (ROWS, N) if is_panel(name) else (N,)


def _good_arrays(name):
    shape = _shape(name)
    return {p: np.cos(np.arange(ROWS * N if is_panel(name) else N) + i).reshape(shape) + 2.0
            for i, p in enumerate(params(name, "input"))} | {p: np.full(shape, 9.0) for p in params(name, "output")}


def _read_only(shape=(N,)):
    a = np.full(shape, 9.0)
    a.flags.writeable = False
    return a


def _shifted_over_input(g, param):
    """The output shares all but one element with the first input."""
    first = next(p for p in g if p in ("data", "high"))
    shape = g[first].shape
    buffer = np.concatenate([g[first].ravel(), [0.0]])
    return {**g, first: buffer[:-1].reshape(shape), param: buffer[1:].reshape(shape)}


# Bad values per kind: (label, value, exception); a value may be a rewrite of all arguments.
_BAD = {
    "period": [
        ("float", 1.5, TypeError),
        ("negative", -1, OverflowError),
        ("2**64", 2**64, OverflowError),
        ("__index__ raises ValueError", lambda: Raises(ValueError), ValueError),
        ("__index__ raises TypeError", lambda: Raises(TypeError), TypeError),
    ],
    "input": [
        ("list", [1.0] * N, TypeError),
        ("2-D", lambda: np.ones((2, N)), TypeError),
        ("big-endian", lambda: np.ones(N, ">f8"), TypeError),
        ("unnamed type", Unnamed, TypeError),
        ("strided", lambda: np.ones(2 * N)[::2], ValueError),
        ("short", lambda: np.ones(N - 1), ValueError),
    ],
    "output": [
        ("None", None, TypeError),
        ("float32", lambda: np.ones(N, np.float32), TypeError),
        ("reversed", lambda: np.ones(N)[::-1], ValueError),
        ("long", lambda: np.ones(N + 1), ValueError),
        ("read-only", _read_only, ValueError),
        ("overlapping an input", _shifted_over_input, ValueError),
    ],
}


# A panel function's bad arrays differ where the module's 1-D arrays are the bad ones.
_BAD_PANEL = {
    "input": [
        ("list", [[1.0] * N] * ROWS, TypeError),
        ("1-D", lambda: np.ones(N), ValueError),
        ("big-endian", lambda: np.ones((ROWS, N), ">f8"), TypeError),
        ("unnamed type", Unnamed, TypeError),
        ("strided", lambda: np.ones((ROWS, 2 * N))[:, ::2], ValueError),
        ("short", lambda: np.ones((ROWS, N - 1)), ValueError),
    ],
    "output": [
        ("None", None, TypeError),
        ("float32", lambda: np.ones((ROWS, N), np.float32), TypeError),
        ("rows reversed", lambda: np.ones((ROWS, N))[::-1], ValueError),
        ("one more row", lambda: np.ones((ROWS + 1, N)), ValueError),
        ("read-only", lambda: _read_only((ROWS, N)), ValueError),
        ("overlapping an input", _shifted_over_input, ValueError),
    ],
    "threads": [
        ("zero", 0, ValueError),
        ("float", 1.5, TypeError),
        ("more than rows", 2**80, None),
        ("__index__ raises ValueError", lambda: Raises(ValueError), ValueError),
    ],
}


def _macd_periods(periods):
    return lambda g: {**g, **dict(zip(params("macd", "period"), periods))}


_EXTRA = {  # function-specific paths: (label, rewrite(arguments), exception)
    "sma": [("input over bytes", lambda g: {**g, "data": np.frombuffer(g["data"].tobytes())}, None),
            ("output is the input", lambda g: {**g, "output": g["data"]}, None)],
    "ema": [("input over bytes", lambda g: {**g, "data": np.frombuffer(g["data"].tobytes())}, None),
            ("output is the input", lambda g: {**g, "output": g["data"]}, None)],
    "macd": [("zero period", _macd_periods((0, 4, 3)), ValueError),
             ("fast not below slow", _macd_periods((4, 4, 3)), ValueError),
             ("outputs overlap", lambda g: {**g, "hist_output": g["macd_output"]}, ValueError)],
    "atr": [("one array thrice", lambda g: {**g, "low": g["high"], "close": g["high"]}, None)],
}
_EXTRA.update({
    "panel.sma": [("output is the input", lambda g: {**g, "output": g["data"]}, ValueError)],
    "panel.ema": [("two threads", lambda g: {**g, "threads": 2}, None)],
    "panel.macd": [("zero period", _macd_periods((0, 4, 3)), ValueError),
                   ("outputs overlap", lambda g: {**g, "hist_output": g["macd_output"]}, ValueError)],
    "panel.atr": [("one array thrice", lambda g: {**g, "low": g["high"], "close": g["high"]}, None)],
})


class Path:
    """One path through a function: fixed argument objects, called again and again."""

    def __init__(self, name, label, args, kwargs, error, held=None):
        self.name, self.label, self.args, self.kwargs, self.error, self.held = name, label, args, kwargs, error, held
        self.id = f"{name} {label}"

    def objects(self):
        return tracked([*self.args, *self.kwargs.values()])

    def starts_threads(self):
        """Whether a call starts threads of its own: a panel function's with threads above 1."""
        threads = self.kwargs.get("threads", 1)
        return self.error is None and is_panel(self.name) and isinstance(threads, int) and threads > 1

    def writeable_arrays(self):
        """The arrays a writer could borrow: once the calls end, it must get every one."""
        return [o for o in self.objects() if isinstance(o, np.ndarray) and o.flags.writeable]

    def __call__(self):
        return function(self.name)(*self.args, **self.kwargs)


def _bad(good, param, value):
    if value is _shifted_over_input:
        return value(good, param)
    return {**good, param: value() if callable(value) else value}


def paths():
    """Successes, binding failures, every bad value in every parameter, refusals by a writer."""
    out = []
    for name, signature in SIGNATURES.items():
        # `threads` is keyword-only: given by keyword when given, left to its default otherwise.
        names = [p for p, kind in signature if kind != "threads"]
        bad_values = _BAD | _BAD_PANEL if is_panel(name) else _BAD

        def good():
            return dict(zip(params(name, "period"), GOOD_PERIODS[indicator(name)])) | _good_arrays(name)

        def add(label, values, error, kwargs=None, held=None):
            keywords = {p: values[p] for p in ("threads",) if p in values} | (kwargs or {})
            out.append(Path(name, label, [values[p] for p in names if p in values], keywords, error, held))

        g = good()
        add("success", g, None)
        out.append(Path(name, "success by keyword", [], dict(reversed(g.items())), None))
        out.append(Path(name, "too many", [g[p] for p in names] + [1], {}, TypeError))
        add("missing", {p: g[p] for p in names[:-1]}, TypeError)
        add("given twice", g, TypeError, kwargs={names[0]: 1})
        add("unknown keyword", g, TypeError, kwargs={"\udcff": 1})
        for param, kind in signature:
            for label, value, error in bad_values[kind]:
                add(f"{param} {label}", _bad(good(), param, value), error)
            if kind == "input":
                g = good()
                add(f"{param} write-borrowed", g, BufferError, held=g[param])
        for label, rewrite, error in _EXTRA[name]:
            add(label, rewrite(good()), error)
    return out


# --- The stream objects' paths -------------------------------------------------------------------

class HostileReal:
    """A numbers.Real (registered) whose __float__ runs `action`: raises, returns a non-float, or feeds
    the stream it is given to."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


numbers.Real.register(HostileReal)


def stream_type(name):
    from veldspar_kit import stream
    return getattr(stream, name.upper())


class StreamPath(Path):
    """One path through a stream: `call(stream, *args)` on one stream made once, called again and again."""

    def __init__(self, name, label, call, args, error, held=None):
        super().__init__(name, label, list(args), {}, error, held)
        self.stream = stream_type(name)(*GOOD_PERIODS[name])
        self.call = call
        self.id = f"{name} stream {label}"

    def objects(self):
        return tracked([self.stream, *self.args])

    def __call__(self):
        return self.call(self.stream, *self.args)


def _saved(name, change):
    state = stream_type(name)(*GOOD_PERIODS[name]).__reduce__()[2]
    return change(*state)


def stream_paths():
    """update with numbers and with what is not one, update_many's successes and refusals (one of
    each kind), construction, copies, pickles and bad saved states."""
    out = []
    for name in GOOD_PERIODS:  # the four indicators, each a stream type
        bars = 3 if name == "atr" else 1
        g = _good_arrays(name)
        arrays = [g[p] for p in params(name, "input") + params(name, "output")]

        def update(stream, x, bars=bars):
            return stream.update(*[x] * bars)

        def many(stream, *arrays):
            return stream.update_many(*arrays)

        def add(label, call, args, error, held=None):
            out.append(StreamPath(name, label, call, args, error, held))

        for label, x, error in [("float", 1.5, None), ("int", 7, None), ("float32", np.float32(2.5), None),
                                ("Fraction", Fraction(1, 3), None), ("str", "1", TypeError),
                                ("huge int", 10**400, OverflowError),
                                ("__float__ raises", HostileReal(lambda: 1 / 0), ZeroDivisionError),
                                ("__float__ returns a str", HostileReal(lambda: "1"), TypeError)]:
            add(f"update {label}", update, [x], error)
        add("update_many", many, arrays, None)
        add("update_many input list", many, [[1.0] * N] + arrays[1:], TypeError)
        add("update_many output strided", many, arrays[:-1] + [np.ones(2 * N)[::2]], ValueError)
        add("update_many output read-only", many, arrays[:-1] + [_read_only()], ValueError)
        add("update_many input write-borrowed", many, arrays, BufferError, held=arrays[0])
        if name in ("sma", "ema"):
            add("update_many in place", many, [arrays[0], arrays[0]], None)
        add("construction", lambda s, p: type(s)(*p), [GOOD_PERIODS[name]], None)
        def construct(stream, period, rest=GOOD_PERIODS[name][1:]):
            return type(stream)(period, *rest)

        add("construction float period", construct, [1.5], TypeError)
        add("construction __index__ raises", construct, [Raises(KeyError)], KeyError)
        add("copy", lambda s: copy.copy(s), [], None)
        add("pickle", lambda s: pickle.loads(pickle.dumps(s)), [], None)
        for label, change in [("format 2", lambda f, b: (2, b)), ("truncated", lambda f, b: (f, b[:-1])),
                              ("not a pair", lambda f, b: [f, b])]:
            add(f"restore {label}", lambda s, state: s.__setstate__(state), [_saved(name, change)], ValueError)
    return out
