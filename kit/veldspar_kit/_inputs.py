"""Inputs in, results out: which kind of object the caller passed, its values as contiguous float64,
and a result of the same kind.

A kind is an object with four methods: `values(obj, fn, arg)` gives contiguous float64 (1-D for one
series, 2-D with one series per row for several) or refuses with a text naming `fn` and `arg`;
`result(like, block, names)` wraps the outputs (`block[k]` the k-th, named `names[k]`) as `like`'s kind; `check_together(fn, args)` refuses
inputs of its kind that do not line up (indexes, columns); `is_expression(obj)` tells whether `obj`
stands for data yet to come, whose kind then builds the result with `expression(fn, periods, args)`.

NumPy arrays, lists and tuples are handled here. pandas and polars objects are handled by
`_pandas` and `_polars`, imported only once the caller's program has imported that library: an
object of it cannot exist before.
"""
from __future__ import annotations

import importlib
import numbers
import operator
import sys
from typing import Any, Optional, Sequence

import numpy as np

from . import _messages as msg
from ._series import OUTPUTS, Float64Array, compute


class NumpyKind:
    """NumPy arrays of any real dtype, and lists and tuples of numbers; results are float64 arrays."""

    def values(self, obj: Any, fn: str, arg: str) -> Float64Array:
        if type(obj) is np.ndarray and obj.dtype == np.float64 and obj.ndim == 1 and obj.flags.c_contiguous:
            return obj
        if isinstance(obj, np.ndarray):
            return self._array(obj, fn, arg)
        if isinstance(obj, (list, tuple)):
            return self._sequence(obj, fn, arg)
        raise TypeError(msg.NOT_A_SERIES.format(fn=fn, arg=arg, what=_describe(obj, arg)))

    def _array(self, obj: np.ndarray[Any, Any], fn: str, arg: str) -> Float64Array:
        if isinstance(obj, np.ma.MaskedArray):
            raise TypeError(msg.MASKED.format(fn=fn, arg=arg))
        kind = obj.dtype.kind
        if kind not in "iuf":
            hint = {"b": msg.HINT_BOOL, "c": msg.HINT_COMPLEX, "O": msg.HINT_OBJECT, "U": msg.HINT_TEXT,
                    "S": msg.HINT_TEXT}.get(kind, msg.HINT_OTHER)
            raise TypeError(msg.NUMPY_DTYPE.format(fn=fn, arg=arg, dtype=obj.dtype, hint=hint.format(arg=arg)))
        if obj.ndim == 1:
            return np.ascontiguousarray(obj, dtype=np.float64)
        if obj.ndim == 2:
            # Axis 0 is time, one column per series: the columns become rows.
            return np.ascontiguousarray(obj.T, dtype=np.float64)
        if obj.ndim == 0:
            raise ValueError(msg.SINGLE_VALUE.format(fn=fn, arg=arg))
        raise ValueError(msg.DIMENSIONS.format(fn=fn, arg=arg, ndim=obj.ndim, shape=obj.shape))

    def _sequence(self, obj: list[Any] | tuple[Any, ...], fn: str, arg: str) -> Float64Array:
        kind = type(obj).__name__
        # Rows of a list are refused before NumPy sees them: NumPy before 1.24 warns of ragged ones.
        if obj and isinstance(obj[0], (list, tuple, np.ndarray)):
            raise ValueError(msg.LIST_NESTED.format(fn=fn, arg=arg, type=kind))
        try:
            array = np.asarray(obj)
        except ValueError:  # ragged nesting
            raise ValueError(msg.LIST_NESTED.format(fn=fn, arg=arg, type=kind)) from None
        if array.ndim == 1 and array.dtype.kind in "iuf":
            return array.astype(np.float64, copy=False)
        for index, item in enumerate(obj):
            if isinstance(item, (list, tuple, np.ndarray)):
                raise ValueError(msg.LIST_NESTED.format(fn=fn, arg=arg, type=kind))
            if isinstance(item, bool) or not isinstance(item, numbers.Real):
                raise TypeError(msg.LIST_ITEM.format(fn=fn, arg=arg, type=kind, index=index,
                                                     item=_describe_item(item)))
        # Numbers NumPy keeps as objects (ints beyond 64 bits, fractions): float() each.
        return np.asarray(obj, dtype=np.float64)

    def result(self, like: Any, block: Float64Array, names: Sequence[str]) -> Any:
        outputs = [out.T for out in block] if block.ndim == 3 else list(block)  # 2-D: a column per series
        return outputs[0] if len(outputs) == 1 else tuple(outputs)

    def check_together(self, fn: str, args: dict[str, Any]) -> None:
        pass

    def is_expression(self, obj: Any) -> bool:
        return False


NUMPY = NumpyKind()

# The frame libraries: the module handling each, imported once the library itself is.
FRAME_KINDS = {"pandas": "veldspar_kit._pandas", "polars": "veldspar_kit._polars"}


def frame_kind(library: str) -> Optional[Any]:
    """The module handling `library`'s objects, if the library is imported (and so may have made one)."""
    if sys.modules.get(library) is None:
        return None
    try:
        return importlib.import_module(FRAME_KINDS[library])
    except ImportError:  # a library too old or too broken to handle: its objects are refused as unknown
        return None


# The kind of each exact type seen; the frame modules add theirs when imported.
KINDS_BY_TYPE: dict[type, Any] = {np.ndarray: NUMPY, list: NUMPY, tuple: NUMPY}


def kind_of(obj: Any) -> Any:
    """The kind that handles `obj`; NumPy's for everything no frame library claims (and NumPy refuses)."""
    kind = KINDS_BY_TYPE.get(type(obj))
    if kind is not None:
        return kind
    # Subclasses, and the first object of a library whose module is not loaded yet.
    if isinstance(obj, (np.ndarray, list, tuple)):
        return NUMPY
    for library in FRAME_KINDS:
        module = frame_kind(library)
        if module is not None and module.claims(obj):
            return module.KIND
    return NUMPY


def period(value: Any, fn: str, arg: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(msg.PERIOD_TYPE.format(fn=fn, arg=arg, type=type(value).__name__)) from None
    if number < 0:
        raise ValueError(msg.PERIOD_NEGATIVE.format(fn=fn, arg=arg, value=number))
    return number


def run(fn: str, periods: Sequence[int], args: dict[str, Any]) -> Any:
    """The indicator `fn` of the inputs `args` (in the module's order), as the last input's kind."""
    if len(args) == 1:
        like = args["data"]
        kind = kind_of(like)
        if kind.is_expression(like):
            return kind.expression(fn, periods, args)
        return kind.result(like, compute(fn, periods, [kind.values(like, fn, "data")]), OUTPUTS[fn])
    names, objs = list(args), list(args.values())
    kinds = [kind_of(obj) for obj in objs]
    for kind, obj in zip(kinds, objs):
        if kind.is_expression(obj):
            return kind.expression(fn, periods, args)
    kind = kinds[-1]
    if kinds.count(kind) == len(kinds):
        kind.check_together(fn, args)
    else:
        for each in {id(k): k for k in kinds}.values():
            each.check_together(fn, {arg: obj for arg, obj, k in zip(names, objs, kinds) if k is each})
    values = [k.values(obj, fn, arg) for k, obj, arg in zip(kinds, objs, names)]
    _check_shapes(fn, names, values)
    return kind.result(objs[-1], compute(fn, periods, values), OUTPUTS[fn])


def _check_shapes(fn: str, names: list[str], values: list[Float64Array]) -> None:
    shapes = [v.shape for v in values]
    if shapes.count(shapes[0]) == len(shapes):
        return
    joined = join(names)
    if len({len(s) for s in shapes}) > 1:
        raise ValueError(msg.DIMENSIONS_MIXED.format(fn=fn, args=joined,
                                                     ndims=join([str(len(s)) for s in shapes])))
    if len(shapes[0]) == 1:
        raise ValueError(msg.LENGTHS.format(fn=fn, args=joined, lengths=join([str(s[0]) for s in shapes])))
    # Rows are series: report the shapes as the caller passed them, one column per series.
    raise ValueError(msg.SHAPES.format(fn=fn, args=joined, shapes=join([str(s[::-1]) for s in shapes])))


def join(words: Sequence[str]) -> str:
    return ", ".join(words[:-1]) + " and " + words[-1] if len(words) > 1 else words[0]


def _describe(obj: Any, arg: str) -> str:
    """An object that is not a series, as a refusal names it, with what to do about it."""
    if obj is None:
        return msg.NONE
    if isinstance(obj, (str, bytes)):
        return msg.TEXT.format(type=type(obj).__name__)
    if isinstance(obj, numbers.Number):
        return msg.SCALAR.format(type=type(obj).__name__)
    return msg.OTHER.format(type=type(obj).__name__, arg=arg)


def _describe_item(item: Any) -> str:
    if item is None:
        return msg.NONE
    text = repr(item)
    return f"{text if len(text) <= 40 else text[:37] + '...'} (a {type(item).__name__})"
