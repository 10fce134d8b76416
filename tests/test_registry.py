"""The shared borrow registry as a second native module sees it: refusals, conflicts, no stale borrows, the capsule."""
import contextlib
import json
import threading
import time

import numpy as np
import pytest

import veldspar
from conftest import ALREADY_BORROWED, BORROWED, NOT_WRITEABLE, assert_free, bits, gated, run_python, while_kernel_runs
from hostile import paths

N = 12
SENTINEL = 9.0


def prices(n=N, seed=0):
    return np.cos(np.arange(n) + seed) + 2.0


def fresh(n=N):
    return np.full(n, SENTINEL)


INPUTS = {"sma": 1, "ema": 1, "macd": 1, "atr": 3}
OUTPUTS = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}


def call(name, inputs, outputs):
    if name == "macd":
        return veldspar.indicator_macd(2, 4, 3, *inputs, *outputs)
    return getattr(veldspar, "indicator_" + name)(3, *inputs, *outputs)


@pytest.mark.parametrize("name, held", [("sma", 0), ("ema", 0), ("macd", 0), ("atr", 0), ("atr", 1), ("atr", 2)])
def test_write_borrowed_input_refuses_the_call_until_released(peer, name, held):
    inputs = [prices(seed=i) for i in range(INPUTS[name])]
    expected = [fresh() for _ in range(OUTPUTS[name])]
    call(name, inputs, expected)
    outputs = [fresh() for _ in range(OUTPUTS[name])]

    assert peer.acquire_mut(inputs[held]) == BORROWED
    try:
        with pytest.raises(BufferError, match="^AlreadyBorrowed$"):
            call(name, inputs, outputs)
        assert [bits(o) for o in outputs] == [bits(fresh()) for _ in outputs]
        # Inputs borrowed before the refused one were let go again.
        assert_free(peer, *inputs[:held])
    finally:
        peer.release_mut(inputs[held])

    call(name, inputs, outputs)
    assert [bits(o) for o in outputs] == [bits(o) for o in expected]
    assert_free(peer, *inputs)


def test_read_borrows_coexist_and_are_counted(peer):
    data, out = prices(), fresh()
    assert peer.acquire(data) == BORROWED
    assert peer.acquire(data) == BORROWED
    try:
        veldspar.indicator_sma(3, data, out)
        veldspar.indicator_atr(3, data, data, data, out)
        assert peer.acquire_mut(data) == ALREADY_BORROWED
        peer.release(data)
        # One of the peer's two read borrows is still there.
        assert peer.acquire_mut(data[3:5]) == ALREADY_BORROWED
    finally:
        peer.release(data)
    assert_free(peer, data)


@pytest.mark.parametrize("reader_first", [False, True])
def test_write_borrow_of_readonly_array_is_refused_before_the_registry(peer, reader_first):
    buffer = prices()
    view = buffer[2:6]
    view.flags.writeable = False
    if reader_first:
        assert peer.acquire(view) == BORROWED
    assert peer.acquire_mut(view) == NOT_WRITEABLE
    if reader_first:
        peer.release(view)
    # No writer was stored: a reader of the view gets in, then all is free.
    assert peer.acquire(view) == BORROWED
    peer.release(view)
    assert_free(peer, buffer)


def _zero_stride(buffer, offset=0):
    return np.ndarray((3,), np.float64, buffer=buffer, offset=offset, strides=(0,))


def _float64_at_byte(buffer, offset):
    return buffer.view(np.uint8)[offset:offset + 80].view(np.float64)


# Two views of one buffer: (first, second, whether they may share a byte).
VIEW_PAIRS = {
    "overlapping slices": (lambda b: b[0:8], lambda b: b[4:12], True),
    "adjacent slices": (lambda b: b[0:8], lambda b: b[8:16], False),
    "even and odd elements": (lambda b: b[0::2], lambda b: b[1::2], False),
    "even elements and whole": (lambda b: b[0::2], lambda b: b, True),
    "even and every fourth": (lambda b: b[0::2], lambda b: b[2::4], True),
    "every fourth, shifted by two": (lambda b: b[0::4], lambda b: b[2::4], False),
    "reversed odd and even": (lambda b: b[::-2], lambda b: b[0::2], False),
    "reversed and last element": (lambda b: b[::-1], lambda b: b[15:], True),
    "two columns": (lambda b: b.reshape(4, 4)[:, 0], lambda b: b.reshape(4, 4)[:, 1], False),
    "interleaved 2-D views": (lambda b: b.reshape(4, 4)[:, ::2], lambda b: b.reshape(4, 4)[:, 1::2], False),
    "zero stride on element 0 and element 0": (lambda b: _zero_stride(b), lambda b: b[0:1], True),
    "zero stride on element 0 and element 1": (lambda b: _zero_stride(b), lambda b: b[1:2], False),
    # Both divisors zero: nothing rules a shared byte out, so they conflict.
    "zero strides 4 bytes apart": (lambda b: _zero_stride(b, 0), lambda b: _zero_stride(b, 4), True),
    # Elements wider than the distance between the two views' grids meet.
    "8-byte elements 1 byte apart": (lambda b: _float64_at_byte(b, 0), lambda b: _float64_at_byte(b, 1), True),
    "8-byte elements 4 bytes apart": (lambda b: _float64_at_byte(b, 0), lambda b: _float64_at_byte(b, 4), True),
    "4-byte elements inside even ones": (lambda b: b[0::2], lambda b: b.view(np.float32)[1::4], True),
    "4-byte elements between even ones": (lambda b: b[0::2], lambda b: b.view(np.float32)[3::4], False),
    "different buffers": (lambda b: b, lambda b: np.zeros(16), False),
    "one empty view twice": (lambda b: b[3:3], lambda b: b[3:3], True),
}


@pytest.mark.parametrize("first, second", [("write", "write"), ("read", "write"), ("write", "read")])
@pytest.mark.parametrize("pair", list(VIEW_PAIRS))
def test_conflicts_between_views_of_one_buffer(peer, pair, first, second):
    make_first, make_second, conflict = VIEW_PAIRS[pair]
    buffer = np.zeros(16)
    a, b = make_first(buffer), make_second(buffer)
    acquire = {"read": peer.acquire, "write": peer.acquire_mut}
    release = {"read": peer.release, "write": peer.release_mut}

    assert acquire[first](a) == BORROWED
    code = acquire[second](b)
    assert code == (ALREADY_BORROWED if conflict else BORROWED)
    if code == BORROWED:
        release[second](b)
    release[first](a)
    assert_free(peer, buffer, b)


def _with_slice(array):
    return array, array[8:]


@pytest.mark.parametrize("views", [
    # frombuffer's array has a memoryview as base; the slice's base is that array.
    lambda raw: _with_slice(np.frombuffer(raw)),
    lambda raw: (np.ndarray((16,), buffer=raw), np.ndarray((8,), buffer=raw, offset=64)),
], ids=["slice of a frombuffer array", "two arrays over one bytearray"])
def test_arrays_meet_at_their_first_base_that_is_not_an_array(peer, views):
    whole, tail = views(bytearray(128))
    assert peer.acquire_mut(tail) == BORROWED
    assert peer.acquire_mut(whole) == ALREADY_BORROWED
    assert peer.acquire(whole) == ALREADY_BORROWED
    peer.release_mut(tail)
    assert_free(peer, whole, tail)


def test_unmatched_releases_are_ignored(peer):
    buffer = prices()
    held = buffer[0:6]
    assert peer.acquire(held) == BORROWED
    peer.release(buffer)          # never acquired
    peer.release_mut(held)        # held for reading, not writing
    peer.release_mut(np.zeros(3))  # a base nobody borrowed
    assert peer.acquire_mut(held) == ALREADY_BORROWED
    peer.release(held)
    peer.release(held)            # one release too many
    assert_free(peer, buffer)

    assert peer.acquire_mut(held) == BORROWED
    peer.release(held)            # held for writing, not reading
    assert peer.acquire(held) == ALREADY_BORROWED
    peer.release_mut(held)
    assert_free(peer, buffer)


class _A(np.ndarray):
    pass


class _B(np.ndarray):
    pass


def _reinitialise(array):
    """NumPy's unpickling hook, run on a live array: new memory, no base, in place."""
    array.__setstate__((1, array.shape, np.dtype("f8"), False, bytes(array.nbytes)))


def _set_data(array):
    """NumPy 1.x only: another buffer, which becomes the array's base."""
    array.data = memoryview(bytearray(array.nbytes))


NUMPY1 = int(np.__version__.split(".")[0]) < 2

# How Python code changes an input in place between its borrow and its release:
# make(buffer) -> (input, what the change acts on), change, undo or None. The
# registry keys a borrow by layout and base chain: each change moves one.
INPUT_CHANGES = {
    "dtype": (lambda b: (b[:N],) * 2, lambda a: setattr(a, "dtype", np.float32),
              lambda a: setattr(a, "dtype", np.float64)),
    # A 2-D shape of a reversed view has a stride divisor of another sign;
    # one of a contiguous array would cover the same bytes.
    "shape": (lambda b: (b[N - 1::-1],) * 2, lambda a: setattr(a, "shape", (2, -1)),
              lambda a: setattr(a, "shape", (-1,))),
    "memory": (lambda b: (b[:N],) * 2, _reinitialise, None),
    "memory of a base": (lambda b: ((m := b.view(_A))[:N].view(_B), m), _reinitialise, None),
    "data buffer": (lambda b: (b[:N],) * 2, _set_data, None),
}
CHANGES = [pytest.param(c, marks=pytest.mark.skipif(c == "data buffer" and not NUMPY1, reason="NumPy 1.x only"))
           for c in INPUT_CHANGES]


def _instance_whose_type_name_runs(action):
    """An object whose type's __qualname__, looked up for a TypeError message, runs `action` first."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                action()
            return type.__getattribute__(cls, name)
    return Meta("Bad", (), {})()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("name", ["sma", "atr"])
def test_borrow_is_released_after_python_code_changed_the_input(peer, name, change):
    make, alter, undo = INPUT_CHANGES[change]
    buffer, other = prices(2 * N), prices(seed=1)
    data, target = make(buffer)
    bad = _instance_whose_type_name_runs(lambda: alter(target))
    with pytest.raises(TypeError, match="^argument '(output|close)': 'Bad' object cannot be converted"):
        if name == "sma":
            veldspar.indicator_sma(3, data, bad)
        else:
            veldspar.indicator_atr(3, data, other, bad, fresh())
    if undo is not None:
        undo(target)
    assert_free(peer, buffer, data, other)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("change", [c for c in CHANGES if c.values[0] != "shape"])  # the kernel needs it contiguous
def test_borrow_is_released_after_another_thread_changed_the_input_under_the_kernel(peer, change):
    make, alter, undo = INPUT_CHANGES[change]
    buffer, out = gated(peer, prices(2 * N)), fresh()
    data, target = make(buffer)
    while_kernel_runs(peer, lambda: veldspar.indicator_sma(1, data, out), lambda: alter(target))
    if undo is not None:
        undo(target)
    assert_free(peer, buffer, data)


def test_same_array_as_every_atr_input_is_counted_and_released(peer):
    x, out = prices(), fresh()
    assert peer.acquire(x) == BORROWED
    veldspar.indicator_atr(3, x, x, x, out)
    # Three releases of the call took away only its own three read borrows.
    assert peer.acquire_mut(x) == ALREADY_BORROWED
    peer.release(x)
    assert_free(peer, x)


PATHS = paths()


@pytest.mark.parametrize("path", PATHS, ids=[p.id for p in PATHS])
def test_no_call_leaves_a_borrow_behind(peer, path):
    if path.held is not None:
        assert peer.acquire_mut(path.held) == BORROWED
    try:
        with pytest.raises(path.error) if path.error else contextlib.nullcontext():
            path()
    finally:
        if path.held is not None:
            peer.release_mut(path.held)
    assert_free(peer, *path.writeable_arrays())


def test_concurrent_calls_meet_a_writer_without_stale_borrows(peer):
    """Readers call indicators on shared inputs while a writer rewrites them under write borrows."""
    n = 1 << 16  # long enough kernels for the writer to arrive in the middle of one
    shared = np.ones(n)
    low, close = np.zeros(n), np.full(n, 0.5)
    stop = threading.Event()
    faults, completed, codes = [], [0], set()

    def reader(kind):
        out = [np.empty(n) for _ in range(3)]
        while not stop.is_set():
            for o in out:
                o.fill(SENTINEL)
            try:
                if kind == "sma":
                    veldspar.indicator_sma(8, shared, out[0])
                elif kind == "macd":
                    veldspar.indicator_macd(3, 6, 4, shared, *out)
                else:
                    veldspar.indicator_atr(8, shared, low, close, out[0])
            except BufferError as e:
                if str(e) != "AlreadyBorrowed" or any((o != SENTINEL).any() for o in out):
                    faults.append(f"{kind}: refused call {e!r} or wrote output")
                continue
            except BaseException as e:  # anything else is a fault of the test's subject
                faults.append(f"{kind}: {e!r}")
                return
            completed[0] += 1
            if kind == "sma":
                # The writer swaps the whole input between 1.0 and 2.0; a
                # kernel that read during a write would mix the two.
                values = np.unique(out[0][7:])
                if len(values) != 1 or values[0] not in (1.0, 2.0):
                    faults.append(f"sma saw a partly rewritten input: {values[:4]}")

    def writer():
        value = 1.0
        while not stop.is_set():
            code = peer.acquire_mut(shared)
            codes.add(code)
            if code == BORROWED:
                value = 3.0 - value
                shared[:] = value
                time.sleep(0)  # lets readers run into the write borrow
                peer.release_mut(shared)

    threads = [threading.Thread(target=reader, args=(k,)) for k in ("sma", "sma", "macd", "atr")]
    threads.append(threading.Thread(target=writer))
    for t in threads:
        t.start()
    time.sleep(0.5)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads), "deadlock: a thread did not finish"
    assert faults == []
    assert completed[0] > 0
    assert codes <= {BORROWED, ALREADY_BORROWED}
    assert_free(peer, shared, low, close)


_SUBPROCESS_PRELUDE = """
import ctypes, importlib, importlib.util, json
import numpy as np
import veldspar
found = importlib.util.spec_from_file_location("veldspar_test_peer", {peer_path!r})
peer = importlib.util.module_from_spec(found)
found.loader.exec_module(peer)
major = int(np.__version__.split(".")[0])
core = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
data, out = np.arange(8.0), np.full(8, 9.0)

def attempt(f=lambda: veldspar.indicator_sma(3, data, out)):
    out.fill(9.0)
    try:
        f()
    except Exception as e:
        cause = type(e.__cause__).__name__ if e.__cause__ is not None else None
        return [type(e).__name__, str(e), cause, bool((out == 9.0).all())]
    return "ok"
"""


def _run(peer_path, body):
    proc = run_python(_SUBPROCESS_PRELUDE.format(peer_path=str(peer_path)) + body)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_registry_is_published_at_first_borrow_and_refused_when_unusable(peer_path):
    seen = _run(peer_path, """
r = {"before first call": hasattr(core, NAME)}

class Guarded:  # the core module, but its registry lookup fails oddly and nothing attaches
    def __getattr__(self, name):
        if name == NAME:
            raise RuntimeError("lookup failed")
        return getattr(core, name)
    def __setattr__(self, name, value):
        raise PermissionError("read-only")

import sys
sys.modules[core.__name__] = Guarded()
r["cannot attach"] = attempt()
sys.modules[core.__name__] = core
setattr(core, NAME, 42)
r["not a capsule"] = attempt()
peer.install_registry(0)
r["version 0"] = attempt()
import datetime
for key, other_capsule in [("datetime capsule", datetime.datetime_CAPI), ("array API capsule", core._ARRAY_API)]:
    setattr(core, NAME, other_capsule)
    r[key] = attempt()
delattr(core, NAME)
r["published"] = attempt()
capsule = getattr(core, NAME)
ctypes.pythonapi.PyCapsule_GetName.restype = ctypes.c_char_p
ctypes.pythonapi.PyCapsule_GetName.argtypes = [ctypes.py_object]
ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.c_void_p
ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
name = ctypes.pythonapi.PyCapsule_GetName(capsule)
r["type"] = type(capsule).__name__
r["name"] = name.decode()
r["version"] = ctypes.c_uint64.from_address(ctypes.pythonapi.PyCapsule_GetPointer(capsule, name)).value
r["again"] = attempt(lambda: veldspar.indicator_atr(3, data, data, data, out))
r["same capsule"] = getattr(core, NAME) is capsule
print(json.dumps(r))
""")
    prefix = "Interal borrow checking API error: TypeError: "
    assert seen == {
        "before first call": False,
        "cannot attach": ["BufferError", "Interal borrow checking API error: PermissionError: read-only",
                          "PermissionError", True],
        "not a capsule": ["BufferError", prefix + "'int' object cannot be converted to 'PyCapsule'", "TypeError", True],
        "version 0": ["BufferError",
                      prefix + "Version 0 of borrow checking API is not supported by this version of rust-numpy",
                      "TypeError", True],
        **dict.fromkeys(["datetime capsule", "array API capsule"], [
            "BufferError", "Interal borrow checking API error: ValueError: PyCapsule_GetPointer called with incorrect name",
            "ValueError", True]),
        "published": "ok",
        "type": "PyCapsule",
        "name": "_RUST_NUMPY_BORROW_CHECKING_API",
        "version": 1,
        "again": "ok",
        "same capsule": True,
    }


def test_an_existing_registry_receives_every_borrow_and_release(peer_path):
    seen = _run(peer_path, """
peer.install_registry(3)
peer.set_registry(3, 0)
r = {"atr": attempt(lambda: veldspar.indicator_atr(3, data, data, data, out))}
r["atr calls"] = peer.registry_calls()
for code in (-1, 7, -2):
    peer.set_registry(3, code)
    r[str(code)] = attempt()
r["calls"] = peer.registry_calls()
print(json.dumps(r))
""")
    assert seen == {
        "atr": "ok",
        "atr calls": [3, 3],
        "-1": ["BufferError", "AlreadyBorrowed", None, True],
        "7": ["BufferError", "Unexpected return code 7 from borrow checking API", None, True],
        "-2": ["BufferError", "Unexpected return code -2 from borrow checking API", None, True],
        "calls": [6, 3],
    }
