"""Acceptance of array arguments, contiguity, alignment and writeability."""
import numpy as np
import pytest

import veldspar
from conftest import assert_free, bits, misaligned
from reference import sma

N = 6
DATA = np.arange(1.0, N + 1.0)


def refused_type_name(value):
    out = np.full(N, 9.0)
    with pytest.raises(TypeError) as raised:
        veldspar.indicator_sma(2, value, out)
    assert bits(out) == bits(np.full(N, 9.0))
    prefix = "argument 'data': '"
    suffix = "' object cannot be converted to 'PyArray<T, D>'"
    message = str(raised.value)
    assert message.startswith(prefix) and message.endswith(suffix), message
    return message[len(prefix):-len(suffix)]


@pytest.mark.parametrize("value, type_name", [
    (DATA.astype(np.float32), "ndarray"),
    (np.ones((2, 3)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (DATA.astype(">f8"), "ndarray"),
    (DATA.astype(np.int64), "ndarray"),
    (list(DATA), "list"),
    (None, "NoneType"),
    (memoryview(DATA), "memoryview"),
])
def test_refused_values_name_their_type(value, type_name):
    assert refused_type_name(value) == type_name


def test_nested_class_is_named_by_qualified_name():
    class Holder:
        class Inner:
            pass
    assert refused_type_name(Holder.Inner()) == "test_nested_class_is_named_by_qualified_name.<locals>.Holder.Inner"


class Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("make", [
    lambda: DATA.copy(),
    lambda: DATA.view(Subclass),
    lambda: DATA.astype("=f8"),
    lambda: DATA.astype(np.dtype("d")),
    lambda: DATA.astype(np.dtype("f8", metadata={"unit": "usd"})),
    lambda: np.lib.stride_tricks.as_strided(DATA, writeable=False),
    lambda: np.concatenate([[0.0], DATA, [0.0]])[1:-1],
], ids=["plain", "subclass", "native-order", "dtype-d", "dtype-with-metadata", "read-only", "view-of-larger"])
def test_accepted_inputs(make, peer):
    # Plain arrays take a shorter path than subclasses and other float64
    # descriptors: both must compute the same and end their borrow.
    data, out = make(), np.empty(N)
    veldspar.indicator_sma(2, data, out)
    assert bits(out) == bits(sma(2, DATA.tolist()))
    if data.flags.writeable:  # a read-only array takes no writer at all
        assert_free(peer, data)


def test_memory_mapped_array_is_accepted(tmp_path):
    mapped = np.memmap(tmp_path / "prices.bin", dtype=np.float64, mode="w+", shape=(N,))
    mapped[:] = DATA
    out = np.memmap(tmp_path / "out.bin", dtype=np.float64, mode="w+", shape=(N,))
    veldspar.indicator_sma(3, mapped, out)
    assert bits(out) == bits(sma(3, DATA.tolist()))


def strided_views():
    base = np.arange(1.0, 9.0)
    record = np.dtype([("price", "f8"), ("flag", "i4")], align=False)
    structured = np.zeros(4, dtype=record)
    structured["price"] = [1.0, 2.0, 3.0, 4.0]
    return {
        "reversed": base[::-1],
        "every-second": base[::2],
        "broadcast": np.broadcast_to(np.float64(1.0), (4,)),
        "struct-field": structured["price"],
    }


@pytest.mark.parametrize("name", list(strided_views()))
def test_non_contiguous_views_are_accepted_then_refused(name):
    view = strided_views()[name]
    out = np.full(len(view), 9.0)
    with pytest.raises(ValueError, match="^Input array must be C-contiguous and float64$"):
        veldspar.indicator_sma(2, view, out)
    with pytest.raises(ValueError, match="^Output array must be C-contiguous and float64$"):
        veldspar.indicator_sma(2, np.ones(len(view)), view if view.flags.writeable else out[::-1])
    assert bits(out) == bits(np.full(len(view), 9.0))


@pytest.mark.parametrize("view", [np.arange(3.0)[::-1][:1], np.arange(4.0)[::3][:1], np.empty(0)],
                         ids=["one-reversed", "one-strided", "empty"])
def test_short_views_are_contiguous_whatever_the_stride(view):
    out = np.full(len(view), 9.0)
    veldspar.indicator_sma(1, view, out)
    assert bits(out) == bits(view)


@pytest.mark.parametrize("offset", [1, 3, 4, 7])
def test_misaligned_arrays_are_read_and_written_exactly(offset):
    rng = np.random.default_rng(offset)
    values = rng.normal(100.0, 5.0, 200)
    data = misaligned(values, offset)
    out = misaligned(np.zeros(200), 8 - offset)
    assert data.ctypes.data % 8 != 0 and out.ctypes.data % 8 != 0
    veldspar.indicator_sma(7, data, out)
    assert bits(out) == bits(sma(7, values.tolist()))
    high, low = misaligned(values + 1, offset), misaligned(values - 1, offset)
    aligned_out = np.empty(200)
    veldspar.indicator_atr(5, high, low, data, out)
    veldspar.indicator_atr(5, values + 1, values - 1, values, aligned_out)
    assert bits(out) == bits(aligned_out)


def read_only(n):
    array = np.full(n, 9.0)
    array.flags.writeable = False
    return array


def test_read_only_outputs_are_refused_untouched():
    with pytest.raises(ValueError, match="^Output array must be writeable$"):
        veldspar.indicator_sma(2, DATA, read_only(N))
    with pytest.raises(ValueError, match="^Output array must be writeable$"):
        veldspar.indicator_ema(2, DATA, read_only(N))
    with pytest.raises(ValueError, match="^Output array must be writeable$"):
        veldspar.indicator_atr(2, DATA, DATA, DATA, read_only(N))
    for position, name in enumerate(["MACD", "Signal", "Histogram"]):
        outputs = [np.full(N, 9.0) for _ in range(3)]
        outputs[position] = read_only(N)
        with pytest.raises(ValueError, match=f"^{name} output array must be writeable$"):
            veldspar.indicator_macd(2, 3, 2, DATA, *outputs)
        assert all(bits(o) == bits(np.full(N, 9.0)) for o in outputs)


def test_a_read_only_output_still_reports_earlier_failures_first():
    with pytest.raises(ValueError, match="^Output array length must match input$"):
        veldspar.indicator_sma(2, DATA, read_only(N + 1))
