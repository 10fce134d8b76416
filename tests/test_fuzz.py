"""Property-based fuzzing: any object in any parameter, any keyword layout, arrays of every layout,
and conversions that raise, re-enter, resize or change the other arguments while the call runs.

Every call either raises one of the documented exception types (or the exception that hostile code
planted) having changed no array, or succeeds bit-identical to the reference; it keeps no reference
and leaves no borrow in the shared registry.
"""
import copy
import gc
import math
import operator
import pickle
import sys
import tempfile
import threading
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

try:
    from hypothesis import HealthCheck, event, given, settings, strategies as st
except ImportError:  # the 32-bit ARM root has no hypothesis; everything else runs there
    pytest.skip("hypothesis is not installed: the fuzz suite needs it", allow_module_level=True)

import reference as ref  # noqa: E402
import veldspar  # noqa: E402
from conftest import BORROWED, assert_matches  # noqa: E402
from hostile import (PROFILE, PROFILE_NAME, SIGNATURES, documented_value_error, expected, function,  # noqa: E402
                     indicator, is_panel, params, tracked)

ROOT_BYTES = 1024
MAX_N = 20
DOCUMENTED = (TypeError, ValueError, OverflowError, BufferError)
SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, -5e-324]
# Prices with a tenth of special values; each example's buffers are windows of it.
_rng = np.random.default_rng(0)
VALUES = _rng.normal(100.0, 10.0, 8192)
_special = _rng.random(VALUES.size) < 0.1
VALUES[_special] = _rng.choice(SPECIAL, _special.sum())
# A memory map shared by all examples, refilled by each.
MAPPED = np.memmap(tempfile.TemporaryFile(), dtype=np.uint8, mode="w+", shape=(ROOT_BYTES,))

# Hypothesis keeps every choice it made in memory, so the long profile runs many shorter searches.
RUNS = max(1, PROFILE["fuzz_examples"] // 10_000)
SETTINGS = settings(max_examples=PROFILE["fuzz_examples"] // RUNS, deadline=None, database=None,
                    derandomize=PROFILE_NAME != "long", suppress_health_check=list(HealthCheck))


Planted = type("Planted", (Exception,), {})
PlantedBase = type("PlantedBase", (BaseException,), {})


class Case:
    """One generated call: its arrays, and what hostile code did while it ran."""

    def __init__(self, name, n, seed, rows=1):
        self.name, self.n, self.rows = name, n, rows  # rows: of a panel function's arrays
        self.root = np.empty(ROOT_BYTES, np.uint8)
        self.root.view(np.float64)[:] = VALUES[seed:seed + ROOT_BYTES // 8]
        MAPPED.view(np.float64)[:] = VALUES[-seed - ROOT_BYTES // 8:-seed or None]
        self.arrays = []     # every array made for the call
        self.roots = [self.root, MAPPED]  # writeable arrays over all their memory
        self.resizable = []  # arrays that own their memory and have no views
        self.borrowed = []   # write borrows taken through the peer, released after the call
        self.planted = []    # exceptions raised by hostile code
        self.peer = self.blocker = None
        self.args, self.kwargs, self.values = [], {}, {}
        self.before = {}  # the bytes of every array before the call, by id

    def __repr__(self):
        def show(v):
            if isinstance(v, np.ndarray):
                return (f"{type(v).__name__}({v.dtype.str}, {v.shape}, strides={v.strides}, "
                        f"at={address(v) % 64}, writeable={v.flags.writeable}, arg#{_index(self.arrays, v)})")
            if isinstance(v, HostileIndex):
                return f"HostileIndex({v.action}, {v.result!r})"
            if "action" in type(v).__dict__:
                return f"Hostile({type(v).__bases__[0].__name__}, {type(v).action})"
            return repr(v)
        kwargs = ", ".join(f"{k!r}={show(v)}" for k, v in self.kwargs.items())
        return (f"{self.name}({', '.join(map(show, self.args))}; {kwargs}) n={self.n} rows={self.rows} "
                f"blocker={show(self.blocker)} finalize={self.finalize_action}")


def act(case, action):
    """Hostile code, run by a conversion in the middle of a call."""
    kind, index, arg = action
    if kind == "raise":
        case.planted.append(arg("planted"))
        raise case.planted[-1]
    if not case.arrays:
        return
    target = case.arrays[index % len(case.arrays)]
    if kind in ("dtype", "shape", "resize") and any(target is b for b in case.borrowed):
        return  # the peer finds its write borrow by the array's layout
    try:
        if kind == "reenter":
            scratch = [np.empty(target.shape[0] if target.ndim else 1) for _ in range(3)]
            if arg == "macd":
                veldspar.indicator_macd(1, 2, 1, target, *scratch)
            elif arg == "atr":
                veldspar.indicator_atr(2, target, target, target, scratch[0])
            else:
                getattr(veldspar, "indicator_" + arg)(2, target, scratch[0])
        elif kind == "dtype":
            target.dtype = arg
        elif kind == "shape":
            target.shape = arg
        elif kind == "resize" and any(target is a for a in case.resizable):
            target.resize(arg, refcheck=False)  # safe: nothing else views its memory
            case.before[id(target)] = np.asarray(target).tobytes()  # shrinking to 0 loses the values
        elif kind == "readonly":
            target.flags.writeable = False
        elif kind == "borrow" and case.peer.acquire_mut(target) == BORROWED:
            case.borrowed.append(target)
    except (ValueError, TypeError, AttributeError, BufferError):
        pass


ACTIONS = [(kind, arg) for kind, args in {
    "none": [None] * 4,
    "raise": [Planted, PlantedBase, ValueError, OverflowError, BufferError, TypeError, KeyError, MemoryError],
    "reenter": ["sma", "ema", "macd", "atr"],
    "dtype": [np.float32, np.int64, ">f8", np.float64, np.uint8],
    "shape": [(2, -1), (-1,), (-1, 1)],
    "resize": [0, 1, 5, MAX_N, 2 * MAX_N],
    "readonly": [None, None],
    "borrow": [None] * 4,
}.items() for arg in args]


_INTEGERS = {}


def below(draw, top):
    """An integer from 0 to top; strategies are costly to build, so each is made once."""
    if top not in _INTEGERS:
        _INTEGERS[top] = st.integers(0, top)
    return draw(_INTEGERS[top])


def picks(draw, *options):
    """One element of each sequence, all from a single draw: hypothesis spends more time per
    draw than the call under test takes, so an example makes few of them."""
    value = below(draw, math.prod(len(o) for o in options) - 1)
    chosen = []
    for o in options:
        value, i = divmod(value, len(o))
        chosen.append(o[i])
    return chosen


EIGHT = range(8)


def action(draw):
    (kind, arg), index = picks(draw, ACTIONS, EIGHT)
    return kind, index, arg


class HostileIndex:
    """An integer-like object whose __index__ runs hostile code first."""

    def __init__(self, case, action, result):
        self.case, self.action, self.result, self.returned = case, action, result, None

    def __index__(self):
        act(self.case, self.action)
        self.returned = self.result
        return self.result


class Finalizing(np.ndarray):
    """Runs hostile code whenever NumPy makes a view of it during a call."""

    case = None

    def __array_finalize__(self, obj):
        if Finalizing.case is not None:
            act(Finalizing.case, Finalizing.case.finalize_action)


def hostile_type(case, action, base):
    """A class whose __qualname__, read to name it in a refusal, runs hostile code."""

    class Meta(type):
        def __getattribute__(cls, attr):
            if attr == "__qualname__":
                act(case, action)
            return type.__getattribute__(cls, attr)

    return Meta("Hostile", (base,), {"action": action})


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass converts without __index__")


class Name(str):
    """A keyword name of a str subclass; binding compares its bytes, messages use str()."""


class Unprintable(str):
    def __str__(self):
        raise Planted("no text")


BOUNDS = [0, 1, 2, 2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -1, -2**63, 2**100]
NP_INTS = [np.int8, np.uint8, np.int32, np.uint32, np.int64, np.uint64]
ANY = [None, 1.5, "3", b"12345678", [1.0] * 4, (), {}, object(), 2 + 0j, Fraction(3), Decimal(3), np.float64(2.0),
       np.array(3), np.array(1.0), np.float32(1.0), np.ndarray, np, Ellipsis, memoryview(b"x" * 8), bytearray(8),
       range(3), np.dtype("f8"), sum, IntSub(3), True]
DTYPES = ["f8"] * 4 + ["<f8", "=f8", ">f8", "f4", "f2", "i8", "u1", "c16", "?", "V8", "M8[s]", "g", "O",
                        np.dtype("f8", metadata={"unit": "usd"})]
SUBCLASSES = [None] * 10 + [Finalizing, np.memmap, np.ma.MaskedArray, np.matrix, "hostile"]


WIDE = st.integers(-2**70, 2**70)
INT_TYPES = [IntSub, bool, *NP_INTS]
PERIOD_KINDS = ["small"] * 16 + ["bound", "wide", "int type", "int type", "hostile", "hostile", "anything", "zero"]
HOSTILE_RESULTS = ["small"] * 3 + [2**64, -1, 1.5, None]


def period(draw, case):
    kind, small, bound, int_type, result = picks(draw, PERIOD_KINDS, range(1, case.n + 3), BOUNDS, INT_TYPES,
                                                 HOSTILE_RESULTS)
    if kind == "hostile":
        return HostileIndex(case, action(draw), small if result == "small" else result)
    if kind == "wide":
        return draw(WIDE)
    if kind == "anything":
        return anything(draw, case)
    return {"zero": 0, "small": small, "bound": bound, "int type": int_type(small)}[kind]


def _extent(shape, strides, itemsize):
    if any(d == 0 for d in shape):
        return 0, 0
    low = sum((d - 1) * s for d, s in zip(shape, strides) if s < 0)
    return low, sum((d - 1) * s for d, s in zip(shape, strides) if s > 0) + itemsize


LENGTH_CHANGES = [0] * 8 + [-1, 1]
NDIMS = [1] * 10 + [0, 2, 3]  # a panel function's arrays: one more each (0, 1, 2 and 3 for 1, 2, 3, 4)
STEPS = [1] * 8 + [2, -1, 0, 1.5]
SOURCES = ["own", "root", "root", "mapped", "again", "anything"]
MISALIGN = [0] * 6 + list(range(1, 8))
SLOTS = range(25)
WRITEABLE = [True] * 9 + [False]
# Most arrays pass every check, so that whole calls often succeed.
CLEAN = [True] * 7 + [False]
CLEAN_DTYPES = ["f8"] * 4 + ["<f8", "=f8", np.dtype("f8", metadata={"unit": "usd"})]
CLEAN_SUBCLASSES = [None] * 4 + [Finalizing, np.memmap, np.ma.MaskedArray]
CLEAN_SOURCES = ["own"] * 4 + ["root", "mapped", "again"]


def array(draw, case):
    clean, dtype, change, ndim, step, sub, source, slot, misalign, writeable = picks(
        draw, CLEAN, DTYPES, LENGTH_CHANGES, NDIMS, STEPS, SUBCLASSES, SOURCES, SLOTS, MISALIGN, WRITEABLE)
    if clean:
        dtype, sub, source = CLEAN_DTYPES[slot % 7], CLEAN_SUBCLASSES[slot % 7], CLEAN_SOURCES[misalign % 7]
        change, ndim, step, writeable = 0, 1, 1, True
    if source == "again" and case.arrays:
        return case.arrays[slot % len(case.arrays)]  # the same object again
    if source == "anything":
        return anything(draw, case)
    dtype, n = np.dtype(dtype), max(0, case.n + change)
    if is_panel(case.name):  # rows of n values, and now and then another number of dimensions
        ndim = {0: 1, 1: 2, 2: 0, 3: 3}[ndim]
        shape = (case.rows,) * (ndim - 1) + (n,) if ndim else ()
    else:
        shape = () if ndim == 0 else (2,) * (ndim - 1) + (n // 2 if ndim > 1 else n,)
    if (source == "own" and step == 1) or dtype.hasobject:  # objects never come from raw memory
        made = np.zeros(shape, dtype)
        if dtype == np.float64:
            made[...] = case.root.view(np.float64)[:made.size].reshape(shape)
        owner = made
    else:
        owner = case.root if source != "mapped" else MAPPED
        strides = []
        if shape:  # C order, the last dimension stepped (1.5 elements: a structured array's field)
            strides, span = [int(dtype.itemsize * step)], dtype.itemsize * max(abs(step), 1) * shape[-1]
            for d in reversed(shape[:-1]):
                strides.insert(0, int(span))
                span *= d
        low, high = _extent(shape, strides, dtype.itemsize)
        offset = max(-low, min(-low + 8 * slot + misalign, ROOT_BYTES - high))
        if high - low > ROOT_BYTES:  # wide elements, long strides: memory of its own instead
            owner = made = np.zeros(shape, dtype)
        else:
            made = np.ndarray(shape, dtype, buffer=owner, offset=offset, strides=tuple(strides))
    if sub == "hostile":
        sub = hostile_type(case, action(draw), np.ndarray)
    if sub is not None:
        try:
            made = made.view(sub)
        except ValueError:  # a matrix has two dimensions
            pass
    made.flags.writeable &= writeable
    case.arrays.append(made)
    if made is owner:
        case.resizable.append(made)
    elif owner is not case.root and owner is not MAPPED:
        case.roots.append(owner)
    return made


HOSTILE_KINDS = ["index", "object", "int"] + ["plain"] * 3


def anything(draw, case):
    kind, hostile, plain = picks(draw, HOSTILE_KINDS, ACTIONS, ANY)
    if kind == "plain":
        return plain
    if kind == "index":
        return HostileIndex(case, (hostile[0], 0, hostile[1]), case.n // 2)
    cls = hostile_type(case, action(draw), int if kind == "int" else object)
    return cls(3) if kind == "int" else cls()


THREAD_KINDS = ["default"] * 4 + ["small"] * 6 + ["huge", "zero", "negative", "hostile", "anything"]


def threads(draw, case):
    """A panel function's thread count: mostly left out or small."""
    kind, small = picks(draw, THREAD_KINDS, range(1, 5))
    if kind == "hostile":
        return HostileIndex(case, action(draw), small)
    if kind == "anything":
        return anything(draw, case)
    return {"default": None, "small": small, "huge": 2**70, "zero": 0, "negative": -2**40}[kind]


UNKNOWN_NAMES = ["out", "", "Period", "périod", "\udcff", "data\x00", Unprintable("zz")]
TWISTS = ["none"] * 8 + ["extra", "drop", "twice", "unknown"]
BLOCKED = [False] * 9 + [True]
RENAMED = [str] * 9 + [Name]
SEEDS = range(4096)
NAMES = list(SIGNATURES)


def permutation(items, index):
    """The index-th ordering of items (one draw for any number of keywords)."""
    items, out = list(items), []
    while items:
        index, i = divmod(index, len(items))
        out.append(items.pop(i))
    return out


@st.composite
def cases(draw):
    name, n, seed, positional, order, rename, twist, blocked, finalize, rows = picks(
        draw, NAMES, range(MAX_N + 1), SEEDS, range(8), range(5040), RENAMED, TWISTS, BLOCKED, ACTIONS, range(4))
    case = Case(name, n, seed, rows)
    case.finalize_action = finalize[0], 0, finalize[1]
    for param, kind in SIGNATURES[name]:
        case.values[param] = {"period": period, "threads": threads}.get(kind, array)(draw, case)
    if case.values.get("threads", 0) is None:
        del case.values["threads"]  # left to its default
    v = case.values
    if name == "macd" and type(v["fast_period"]) is type(v["slow_period"]) is int and v["fast_period"] > v["slow_period"]:
        v["fast_period"], v["slow_period"] = v["slow_period"], v["fast_period"]  # more calls get to the kernel
    if blocked:  # write-borrowed by the peer during the call
        case.blocker = array(draw, case)
        case.blocker = case.blocker if isinstance(case.blocker, np.ndarray) else None
    names = [p for p, _ in SIGNATURES[name] if p in case.values]
    positional = min(positional, len([p for p, kind in SIGNATURES[name] if kind != "threads"]))
    case.args = [case.values[p] for p in names[:positional]]
    case.kwargs = {rename(p): case.values[p] for p in permutation(names[positional:], order)}
    if twist == "twice" and not case.args:
        twist = "none"
    if twist == "extra":
        case.args.append(anything(draw, case))
    elif twist == "drop" and case.kwargs:
        del case.kwargs[list(case.kwargs)[order % len(case.kwargs)]]
    elif twist == "drop":
        case.args.pop()
    elif twist == "twice":
        case.kwargs[names[0]] = case.args[0]
    elif twist == "unknown":
        case.kwargs[UNKNOWN_NAMES[order % len(UNKNOWN_NAMES)]] = anything(draw, case)
    case.binds = twist == "none"
    return case


def _index(items, item):
    return next((i for i, x in enumerate(items) if x is item), None)


def period_value(value):
    return value.returned if isinstance(value, HostileIndex) else operator.index(value)


def address(array):
    return np.asarray(array).__array_interface__["data"][0]


def run(peer, case):
    """Calls the function; returns (exception type, message, whether hostile code planted it) or None."""
    case.peer = peer
    if case.blocker is not None and peer.acquire_mut(case.blocker) == BORROWED:
        case.borrowed.append(case.blocker)
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    Finalizing.case = case
    try:
        function(case.name)(*case.args, **case.kwargs)
        return None
    except BaseException as e:
        return type(e), str(e), any(e is p for p in case.planted)
    finally:
        Finalizing.case = None
        sys.unraisablehook = hook
        case.planted.clear()


def assert_unwritten(arrays, before, outputs):
    for array in arrays:
        if not any(np.may_share_memory(array, o) for o in outputs):
            assert np.asarray(array).tobytes() == before[id(array)], "an array was written"


def assert_success(case, writers):
    assert case.binds
    name = case.name
    inputs = [case.values[p] for p in params(name, "input")]
    outputs = [case.values[p] for p in params(name, "output")]
    data = [np.asarray(a).tolist() for a in inputs]
    if name in ("sma", "ema") and address(inputs[0]) == address(outputs[0]):
        data = [[ref.NAN] * len(data[0])]  # the output is the input: the kernel reads its NaN fill
    wanted = expected(name, [period_value(case.values[p]) for p in params(name, "period")], data)
    for output, want in zip(outputs, wanted):
        assert_matches(np.asarray(output).ravel(), want, name)
    for writer in writers:  # memory under a writer's borrow is never read
        assert not any(np.shares_memory(writer, a) for a in inputs)
    return outputs


def assert_documented(case, failure, writers):
    kind, message, planted = failure
    assert planted or kind in DOCUMENTED, f"{kind.__name__}: {message}"
    if not planted:
        assert kind is not ValueError or documented_value_error(case.name, message), message
        called = indicator(case.name) if is_panel(case.name) else f"indicator_{case.name}"
        assert kind is not TypeError or message.startswith((f"{called}() ", "argument '")), message
        assert kind is not BufferError or (message == "AlreadyBorrowed" and writers), message


def check(peer, case):
    case.before = before = {id(a): np.asarray(a).tobytes() for a in case.arrays}
    objects = tracked([*case.args, *case.kwargs.values()])
    gc.disable()  # a collection in between could drop references that older garbage held
    try:
        refs = [sys.getrefcount(o) for o in objects]
        failure = run(peer, case)
        after = [sys.getrefcount(o) - sum(o is w for w in case.borrowed) for o in objects]
    finally:
        gc.enable()
    event(f"{case.name}: " + ("success" if failure is None else failure[0].__name__))
    writers, case.borrowed = case.borrowed, []
    list(map(peer.release_mut, writers))
    if failure is None:
        assert_unwritten(case.arrays, before, assert_success(case, writers))
    else:
        assert_documented(case, failure, writers)
        assert_unwritten(case.arrays, before, [])
    assert after == refs, "a reference was kept or dropped"
    for array in {id(a): a for a in case.roots + case.arrays if a.flags.writeable}.values():
        assert peer.acquire_mut(array) == BORROWED, "a borrow was left behind"
        peer.release_mut(array)


@pytest.mark.parametrize("run_index", range(RUNS))
@SETTINGS
@given(case=cases())
def test_any_call_fails_cleanly_or_matches_the_reference(peer, run_index, case):
    check(peer, case)



# --- Streams: any object to update, any array to update_many, copies, pickles (of another format,
# damaged, cut short), conversions that feed or restore the stream they convert for, a second thread ---

from veldspar_kit import stream as streams  # noqa: E402
from hostile import HostileReal, Unnamed  # noqa: E402
from conftest import Index, misaligned, value_bits  # noqa: E402

STREAM_TYPES = {"sma": streams.SMA, "ema": streams.EMA, "macd": streams.MACD, "atr": streams.ATR}
STREAM_ERRORS = (TypeError, ValueError, OverflowError, BufferError)
STREAM_NUMBERS = [3, -0.0, True, 10**400, Fraction(2, 3), np.float32(1.25), np.float16(math.inf), np.int8(-4),
           np.uint64(2**64 - 1), np.float64(math.nan), 1e308, 5e-324]
NOT_NUMBERS = ["1.0", None, Decimal("2.5"), 1j, np.complex64(1), np.array(1.0), [1.0], np.bool_(True), Index(3),
               object(), Unnamed()]
HOSTILE_FLOATS = ["raise", "raise base", "non-float", "feed", "feed many", "restore"]
STREAM_LAYOUTS = ["plain", "misaligned", "in place", "strided", "float32", "read-only output", "short output", "overlap",
           "list", "write-borrowed"]
STREAM_DAMAGES = ["none", "format", "truncated", "extended", "foreign", "not a pair", "cut pickle"]
STREAM_STEPS = ["number", "not a number", "hostile", "many", "many", "pickle", "copy", "restore", "race"]


class StreamRun:
    """A stream and every bar it took, however it took it; compared with the batch function at the end."""

    def __init__(self, name, periods, peer):
        self.name, self.periods, self.peer = name, periods, peer
        self.width, self.outputs = (3, 1) if name == "atr" else (1, 3) if name == "macd" else (1, 1)
        self.stream = STREAM_TYPES[name](*periods)
        self.bars, self.values = [], []  # per bar: its input, and its outputs (None: not checked)
        self.saved = [(0, self.stream.__reduce__()[2])]

    def update(self, x):
        got = self.stream.update(*[x] * self.width)
        self.bars.append(x.returned if isinstance(x, HostileReal) else float(x))
        self.values.append(got if self.name == "macd" else (got,))
        self.saved.append((len(self.bars), self.stream.__reduce__()[2]))

    def restore(self, index):
        count, state = self.saved[index % len(self.saved)]
        self.stream.__setstate__(state)
        # The bars after it, and the states saved from them, are gone.
        del self.bars[count:], self.values[count:]
        self.saved = [(c, s) for c, s in self.saved if c <= count]

    def many(self, k, layout, start):
        data = VALUES[start:start + k].copy()
        inputs, outputs = [data] * self.width, [np.full(k, 7.5) for _ in range(self.outputs)]
        if layout == "misaligned" and k:
            inputs, outputs = [misaligned(data, 1)] * self.width, [misaligned(o, 6) for o in outputs]
        elif layout == "in place" and self.name in ("sma", "ema"):
            outputs = [data]
        elif layout == "strided":
            outputs[0] = np.ones(2 * k)[::2]
        elif layout == "float32":
            inputs = [np.zeros(k, np.float32)] * self.width
        elif layout == "read-only output":
            outputs[-1].flags.writeable = False
        elif layout == "short output":
            outputs[0] = np.ones(k + 1)
        elif layout == "overlap" and k:
            outputs[-1] = data
        elif layout == "list":
            inputs = [data.tolist()] * self.width
        borrowed = layout == "write-borrowed" and self.peer.acquire_mut(data) == BORROWED
        try:
            self.stream.update_many(*inputs, *outputs)
        finally:
            if borrowed:
                self.peer.release_mut(data)
        self.bars += VALUES[start:start + k].tolist()
        self.values += list(zip(*outputs))

    def race(self, k, x):
        """update_many of k bars of x in another thread while this one calls update(x) until it ends:
        refused while the other runs, taken before or after. All the bars are x, so the state is the
        same whichever way they interleaved; the values of the race are not checked."""
        done, failures = threading.Event(), []

        def worker():
            try:
                self.stream.update_many(*[np.full(k, x)] * self.width, *[np.empty(k) for _ in range(self.outputs)])
            except BaseException as e:  # reported below
                failures.append(e)
            done.set()

        thread = threading.Thread(target=worker)
        thread.start()
        taken = 0
        while not done.is_set():
            try:
                self.stream.update(*[x] * self.width)
                taken += 1
            except RuntimeError as e:
                assert "in use by another thread" in str(e)
        thread.join()
        assert not failures, failures
        self.bars += [x] * (k + taken)
        self.values += [None] * (k + taken)

    def check(self):
        assert self.stream.count == len(self.bars)
        inputs = [np.array(self.bars, dtype=np.float64)] * self.width
        outputs = [np.empty(len(self.bars)) for _ in range(self.outputs)]
        getattr(veldspar, "indicator_" + self.name)(*self.periods, *inputs, *outputs)
        checked = [i for i, v in enumerate(self.values) if v is not None]
        for j, output in enumerate(outputs):
            got = [self.values[i][j] for i in checked]
            assert value_bits(got).tolist() == value_bits(output[checked]).tolist()


def hostile_float(run, action, value, other):
    """A real number whose __float__ first acts on the stream it converts for (or fails)."""

    def act():
        if action == "raise":
            raise Planted("planted")
        if action == "raise base":
            raise PlantedBase("planted")
        if action == "non-float":
            return "1.0"
        if action == "feed":
            run.update(value)
        elif action == "feed many":
            run.many(3, "plain", other)
        elif action == "restore":
            run.restore(other)
        real.returned = value
        return value

    real = HostileReal(act)
    return real


def damaged(run, damage, other):
    fmt, raw = run.saved[other % len(run.saved)][1]
    if damage == "format":
        return (fmt + 1 + other, raw)
    if damage == "truncated":
        return (fmt, raw[:other % max(1, len(raw))])
    if damage == "extended":
        return (fmt, raw + bytes(8))
    if damage == "foreign":
        return (fmt, STREAM_TYPES[run.name](*[p + 1 for p in run.periods]).__reduce__()[2][1])
    return [fmt, raw]


def stream_step(run, step, what, k, other):
    if step == "number":
        run.update(STREAM_NUMBERS[what % len(STREAM_NUMBERS)])
    elif step == "not a number":
        run.update(NOT_NUMBERS[what % len(NOT_NUMBERS)])
    elif step == "hostile":
        run.update(hostile_float(run, HOSTILE_FLOATS[what % len(HOSTILE_FLOATS)], VALUES[other], other))
    elif step == "many":
        run.many(k, STREAM_LAYOUTS[what % len(STREAM_LAYOUTS)], other)
    elif step == "pickle":
        run.stream = pickle.loads(pickle.dumps(run.stream, protocol=what % (pickle.HIGHEST_PROTOCOL + 1)))
    elif step == "copy":
        run.stream = (copy.deepcopy if what % 2 else copy.copy)(run.stream)
    elif step == "restore":
        damage = STREAM_DAMAGES[what % len(STREAM_DAMAGES)]
        if damage == "none":
            run.restore(other)
        elif damage == "cut pickle":
            cut = pickle.dumps(run.stream)
            with pytest.raises(Exception):
                pickle.loads(cut[:other % len(cut)])
        else:
            with pytest.raises(ValueError, match=f"^{run.name.upper()}: cannot restore the stream"):
                run.stream.__setstate__(damaged(run, damage, other))
    else:
        run.race(2000 * k, float(VALUES[other]))


@st.composite
def stream_cases(draw):
    name, period, fast, seed, count = picks(draw, list(STREAM_TYPES), [0, 1, 2, 3, 9], [1, 2, 4], SEEDS, range(16))
    periods = (fast, fast + 1 + period, 1 + period % 4) if name == "macd" else (period,)
    return name, periods, [picks(draw, STREAM_STEPS, range(64), [0, 1, 2, 5, 30], range(64)) for _ in range(count)]


@pytest.mark.parametrize("run_index", range(RUNS))
# A __float__ that returns a float subclass (a NumPy float64) is one of the hostile cases; the
# interpreter accepts it with a DeprecationWarning on every call.
@pytest.mark.filterwarnings("ignore:.*__float__ returned non-float:DeprecationWarning")
@SETTINGS
@given(case=stream_cases())
def test_any_use_of_a_stream_fails_cleanly_or_matches_the_batch(peer, run_index, case):
    name, periods, steps = case
    run = StreamRun(name, periods, peer)
    planted = (Planted, PlantedBase)
    for step in steps:
        try:
            stream_step(run, *step)
        except BaseException as e:
            event(f"stream {step[0]}: {type(e).__name__}")
            assert isinstance(e, planted + STREAM_ERRORS), f"{type(e).__name__}: {e}"
        assert run.stream.count == len(run.bars), f"{step} changed the stream and failed"
    run.check()
