"""veldspar_kit.stream: any mix of update, update_many, copies and pickles gives the batch functions'
bits; what it refuses, it refuses as the batch functions do, leaving the stream as it was."""
import copy
import inspect
import pickle
import random
import re
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as hs

import reference as ref
import veldspar
from conftest import Index, assert_matches, gated, misaligned, random_walk, value_bits, while_kernel_runs
from hostile import GOOD_PERIODS, PROFILE, SIGNATURES, HostileReal, is_panel, paths, params
from veldspar_kit import stream

KINDS = ["sma", "ema", "macd", "atr"]
TYPES = {"sma": stream.SMA, "ema": stream.EMA, "macd": stream.MACD, "atr": stream.ATR}
INPUTS = {"sma": 1, "ema": 1, "macd": 1, "atr": 3}
OUTPUTS = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}
OPS = ["one", "many", "misaligned", "in place", "pickle", "copy", "deepcopy"]


def series(kind, n, seed, density):
    """The inputs of one series: a walk with a `density` share of NaN, infinities and other extremes."""
    close = random_walk(n, seed, density)
    if kind != "atr":
        return [close]
    rng = random.Random(seed + 1)
    return [[c + abs(rng.gauss(0, 1)) for c in close], [c - abs(rng.gauss(0, 1)) for c in close], close]


def batch(kind, periods, inputs):
    outputs = [np.empty(len(inputs[0])) for _ in range(OUTPUTS[kind])]
    getattr(veldspar, "indicator_" + kind)(*periods, *map(np.array, inputs), *outputs)
    return outputs


def run_plan(kind, periods, inputs, plan):
    """Feeds the series through one stream by `plan`, a list of (operation, bars); returns the outputs."""
    n = len(inputs[0])
    arrays = [np.array(x) for x in inputs]
    outputs = [np.full(n, 7.5) for _ in range(OUTPUTS[kind])]
    s = TYPES[kind](*periods)
    at = 0
    for op, k in plan:
        k = min(k, n - at)
        part = slice(at, at + k)
        if op == "one":
            for i in range(at, at + k):
                got = s.update(*(a[i] for a in inputs))
                for out, value in zip(outputs, got if kind == "macd" else [got]):
                    out[i] = value
        elif op == "in place" and kind in ("sma", "ema"):
            work = arrays[0][part].copy()
            s.update_many(work, work)
            outputs[0][part] = work
        elif op in ("many", "misaligned", "in place"):
            odd = op == "misaligned" and k > 0  # an empty array has no address to shift
            ins = [misaligned(a[part], 3) if odd else a[part].copy() for a in arrays]
            outs = [misaligned(np.zeros(k), 5) if odd else np.zeros(k) for _ in outputs]
            s.update_many(*ins, *outs)
            for out, got in zip(outputs, outs):
                out[part] = got
        elif op == "pickle":
            s = pickle.loads(pickle.dumps(s, protocol=k % (pickle.HIGHEST_PROTOCOL + 1)))
            k = 0
        else:
            s = getattr(copy, op)(s)
            k = 0
        at += k
        assert s.count == at
    assert at == n, "the plan must feed the whole series"
    return outputs


def assert_batch_bits(kind, periods, inputs, outputs):
    """Each output equals the batch function's (NaN signs aside), and the reference's stored NaNs."""
    want = batch(kind, periods, inputs)
    reference = getattr(ref, kind)(*periods, *inputs)
    for got, batch_out, ref_out in zip(outputs, want, reference if kind == "macd" else [reference]):
        assert value_bits(got).tolist() == value_bits(batch_out).tolist()
        assert_matches(got, ref_out, f"{kind}{tuple(periods)}")


@settings(max_examples=max(30, PROFILE["fuzz_examples"] // 20), deadline=None, database=None)
@given(kind=hs.sampled_from(KINDS), n=hs.sampled_from([0, 1, 5, 40, 150, 700]), seed=hs.integers(0, 2**16),
       density=hs.sampled_from([0.0, 0.03, 0.5]), data=hs.data())
def test_any_mix_of_calls_gives_the_batch_bits(kind, n, seed, density, data):
    if kind == "macd":
        fast = data.draw(hs.integers(1, 6))
        periods = (fast, data.draw(hs.integers(fast + 1, 14)), data.draw(hs.integers(1, 8)))
    else:
        periods = (data.draw(hs.sampled_from([0, 1, 2, 3, 5, 14, 400])),)
    sizes = hs.sampled_from([0, 1, 2, 3, 7, 40, 300])
    plan = data.draw(hs.lists(hs.tuples(hs.sampled_from(OPS), sizes), max_size=40))
    plan.append(("many", n))  # whatever the plan left
    inputs = series(kind, n, seed, density)
    assert_batch_bits(kind, periods, inputs, run_plan(kind, periods, inputs, plan))


# --- Construction ----------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bad, error", [(1.5, TypeError), ("3", TypeError), (-1, OverflowError),
                                        (2**64, OverflowError), (Index(-2), OverflowError)])
def test_periods_are_converted_as_the_module_converts_them(kind, bad, error):
    periods = list(GOOD_PERIODS[kind])
    periods[-1] = bad
    with pytest.raises(error) as module_error:
        batch(kind, periods, [[1.0]] * INPUTS[kind])
    with pytest.raises(error) as stream_error:
        TYPES[kind](*periods)
    assert str(stream_error.value) == str(module_error.value)


@pytest.mark.parametrize("periods, text", [((0, 4, 3), "Periods must be greater than 0"),
                                           ((2, 4, 0), "Periods must be greater than 0"),
                                           ((4, 4, 3), "Fast period must be less than slow period"),
                                           ((5, 4, 3), "Fast period must be less than slow period")])
def test_macd_refuses_the_periods_the_module_refuses(periods, text):
    with pytest.raises(ValueError, match=f"^{text}$"):
        stream.MACD(*periods)


def test_a_window_too_large_for_memory_is_a_memory_error():
    with pytest.raises(MemoryError):
        stream.SMA(sys.maxsize)
    assert stream.EMA(sys.maxsize).update(1.0) != 1.0  # no window: NaN, nothing allocated


@pytest.mark.parametrize("kind", KINDS)
def test_attributes_repr_and_help(kind):
    names = params(kind, "period")
    s = TYPES[kind](*GOOD_PERIODS[kind], **{})
    s.update(*[1.0] * INPUTS[kind])
    assert [getattr(s, name) for name in names] == list(GOOD_PERIODS[kind])
    assert s.count == 1
    for name in names + ["count"]:
        with pytest.raises(AttributeError):
            setattr(s, name, 5)
    pairs = " ".join(f"{n}={p}" for n, p in zip(names, GOOD_PERIODS[kind]))
    assert repr(s) == f"<{kind.upper()} {pairs} count=1>"
    if sys.version_info >= (3, 10):  # before, heap types lose the signature in their docstring
        assert str(inspect.signature(TYPES[kind])) == f"({', '.join(names)})"
    assert TYPES[kind](**dict(zip(names, GOOD_PERIODS[kind]))).count == 0
    assert TYPES[kind].__module__ == "veldspar_kit.stream"
    assert "update_many" in TYPES[kind].__doc__ and TYPES[kind].update.__doc__


# --- update: what is a number ----------------------------------------------------------------------

ACCEPTED = [3, True, 2**60 + 1, Fraction(1, 3), np.float32(0.1), np.float16(-2.5), np.int64(-7), np.uint8(200),
            np.float64(1e-300), HostileReal(lambda: 4.25)]
REFUSED = ["1.0", None, 1j, np.complex128(1.0), Decimal("1.5"), np.array(1.0), [1.0], np.bool_(True),
           Index(3), object()]


@pytest.mark.parametrize("x", ACCEPTED, ids=repr)
def test_real_numbers_are_taken_as_float_takes_them(x):
    a, b = stream.EMA(1), stream.EMA(1)
    assert value_bits([a.update(x)]).tolist() == value_bits([b.update(float(x))]).tolist()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("x", REFUSED, ids=repr)
def test_anything_else_is_a_type_error_and_changes_nothing(kind, x):
    s = TYPES[kind](*GOOD_PERIODS[kind])
    s.update(*[1.0] * INPUTS[kind])
    args = [x] + [1.0] * (INPUTS[kind] - 1)
    where = "'high' " if kind == "atr" else ""
    with pytest.raises(TypeError, match=f"^update\\(\\) argument {where}must be a real number, not "
                                        f"{type(x).__qualname__}$"):
        s.update(*args)
    assert s.count == 1


def test_a_conversion_that_feeds_the_stream_counts_its_bar_first():
    s = stream.SMA(2)
    s.update(1.0)
    assert s.update(HostileReal(lambda: s.update(3.0) + 2.0)) == 3.5  # bars 1, 3, then 2 + 2
    assert s.count == 3


# --- copy and pickle ------------------------------------------------------------------------------

def saved(s):
    return s.__reduce__()[2]


@pytest.mark.parametrize("kind", KINDS)
def test_copies_are_independent(kind):
    s = TYPES[kind](*GOOD_PERIODS[kind])
    for i in range(5):
        s.update(*[float(i)] * INPUTS[kind])
    twin = copy.deepcopy(s)
    first = s.update(*[9.0] * INPUTS[kind])
    assert twin.count == 5 and s.count == 6
    again = twin.update(*[9.0] * INPUTS[kind])
    assert value_bits(np.ravel(again)).tolist() == value_bits(np.ravel(first)).tolist()


@pytest.mark.parametrize("kind", KINDS)
def test_a_bad_saved_state_is_refused_and_changes_nothing(kind):
    s = TYPES[kind](*GOOD_PERIODS[kind])
    for i in range(7):
        s.update(*[float(i)] * INPUTS[kind])
    fmt, raw = saved(s)
    name = kind.upper()
    other = list(GOOD_PERIODS[kind])
    other[-1] += 1
    # A state no series leads to: ATR with an average after one bar; the others' window slot or seed run
    # out of range.
    words = np.frombuffer(raw, "<u8").copy()
    words[len(other) + (kind != "atr")] = 1 if kind == "atr" else 2**40
    cases = [
        ((2, raw), f"{name}: cannot restore the stream from format 2: this release of veldspar_kit reads format 1 "
                   "only; load it with the release that saved it"),
        ((fmt, raw[:-8]), f"{name}: cannot restore the stream: its saved state is damaged ({len(raw) - 8} bytes "
                          f"where {len(raw)} were expected)"),
        ((fmt, raw[:3]), f"{name}: cannot restore the stream: its saved state is damaged (3 bytes where"),
        ((fmt, raw + bytes(8)), "its saved state is damaged"),
        ((fmt, saved(TYPES[kind](*other))[1]), f"{name}: cannot restore the stream: it was saved with periods"),
        ((fmt, words.tobytes()), f"{name}: cannot restore the stream: its saved state is not one that any series"),
        ([fmt, raw], f"{name}: cannot restore the stream from a list: expected the (format, bytes) pair"),
        ((fmt, raw.decode("latin-1")), "from a tuple: expected"),
    ]
    for state, text in cases:
        with pytest.raises(ValueError, match=re.escape(text)):
            s.__setstate__(state)
        assert saved(s) == (fmt, raw)
    with pytest.raises(ValueError, match="format 3"):
        pickle.loads(pickle.dumps(s).replace(b"K\x01", b"K\x03", 1))


# --- threads ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_a_second_caller_during_update_many_is_refused(peer, kind):
    n = 64
    inputs = series(kind, n, 3, 0.0)
    data = [gated(peer, x) for x in inputs]
    outputs = [np.zeros(n) for _ in range(OUTPUTS[kind])]
    s = TYPES[kind](*GOOD_PERIODS[kind])
    other = saved(TYPES[kind](*GOOD_PERIODS[kind]))

    def meanwhile():
        refused = []
        for use in (lambda: s.update(*[1.0] * INPUTS[kind]), lambda: s.count, lambda: pickle.dumps(s),
                    lambda: s.__setstate__(other), lambda: s.update_many(*[np.zeros(1) for _ in range(INPUTS[kind] + OUTPUTS[kind])])):
            with pytest.raises(RuntimeError) as error:
                use()
            refused.append(str(error.value))
        return refused, repr(s), s.period if kind != "macd" else s.slow_period

    refused, shown, period = while_kernel_runs(peer, lambda: s.update_many(*data, *outputs), meanwhile)
    assert set(refused) == {f"this {kind.upper()} stream is in use by another thread (in update_many); a stream "
                            "serves one caller at a time"}
    assert shown.endswith("(in use by another thread)>")
    assert s.count == n
    assert_batch_bits(kind, GOOD_PERIODS[kind], inputs, outputs)


# --- update_many refuses what the batch functions refuse ---------------------------------------------

def _array_refusals():
    """The module's refusals caused by an array, from the shared catalogue of every path."""
    out = []
    for path in paths():
        if is_panel(path.name):
            continue  # a stream's update_many is 1-D, as the module's functions are
        periods = params(path.name, "period")
        if path.error is None or path.kwargs or len(path.args) != len(SIGNATURES[path.name]):
            continue  # successes and binding failures (which name the function)
        if path.label.split()[0] in periods or path.label in ("zero period", "fast not below slow"):
            continue
        out.append(path)
    return out


@pytest.mark.parametrize("path", _array_refusals(), ids=lambda p: p.id)
def test_update_many_refuses_as_the_batch_function_does(peer, path):
    s = TYPES[path.name](*GOOD_PERIODS[path.name])
    s.update(*[1.0] * INPUTS[path.name])
    arrays = path.args[len(params(path.name, "period")):]
    before = [a.copy() for a in arrays if isinstance(a, np.ndarray)]
    if path.held is not None:
        assert peer.acquire_mut(path.held) == 0
    try:
        with pytest.raises(path.error) as module_error:
            path()
        with pytest.raises(path.error) as stream_error:
            s.update_many(*arrays)
    finally:
        if path.held is not None:
            peer.release_mut(path.held)
    assert type(stream_error.value) is type(module_error.value)
    assert str(stream_error.value) == str(module_error.value)
    assert s.count == 1
    assert all(a.tobytes() == b.tobytes() for a, b in zip([a for a in arrays if isinstance(a, np.ndarray)], before))


def test_the_guide_s_example_runs_and_gives_the_batch_values(monkeypatch):
    from test_kit_numpy import run_doc_block
    namespace = run_doc_block(3, monkeypatch)
    closes = np.array([bar["close"] for bar in namespace["feed"]])
    batch = np.empty_like(closes)
    veldspar.indicator_sma(20, closes, batch)
    assert value_bits(namespace["out"]).tolist() == value_bits(batch[200:]).tolist()
    assert namespace["avg"] == batch[199] and namespace["sma"].count == len(closes)
