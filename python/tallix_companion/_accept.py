"""What the companion takes as numbers, and how absent values are marked.

Every entry point (the numpy-style functions, the pandas accessor, Dask and
Spark) reads its input through ``accept``, so one input means the same
numbers everywhere.  Values are never rounded on the way in: long doubles,
Decimals and Fractions that no float64 holds are refused, and integers keep
their integer dtype (however wide) for the exact integer path.  Absent
values (numpy masks, pandas NA, Arrow and polars nulls, ``None``) are
reported in ``skip`` and read as 0 in ``values``; NaN is a value, left to
the reductions.
"""

from __future__ import annotations

import datetime
import importlib
import numbers
import operator
import sys
from decimal import Decimal
from typing import Any, NamedTuple

import numpy as np

import tallix

__all__ = ["Accepted", "accept", "is_number_dtype"]

# Float, signed and unsigned integer, bool: the dtypes whose values are
# numbers.  Casting anything else to float64 gives a number that was never in
# the data (dates become tick counts, complex values lose their imaginary part,
# strings are parsed), so such inputs are refused rather than converted.
_NUMBER_KINDS = frozenset("fiub")
_INT64 = (-(1 << 63), (1 << 63) - 1)
_UINT64_END = 1 << 64


class Accepted(NamedTuple):
    values: np.ndarray  # the numbers, same shape as the input; dtype kind 'f', 'i', 'u' or 'b'
    skip: np.ndarray | None  # True where a value is absent (its ``values`` entry is 0); None if none is


def is_number_dtype(dtype: Any) -> bool:
    """Whether ``accept`` reads every value of this dtype as a number: float,
    integer and boolean dtypes of numpy, pandas (nullable and Arrow-backed)
    and Arrow itself, and Arrow decimals.  Object dtypes are not: whether
    they hold numbers depends on their contents."""
    if dtype is None:
        return False
    pa = sys.modules.get("pyarrow")
    arrow_type = getattr(dtype, "pyarrow_dtype", dtype)  # pandas' ArrowDtype wraps one
    if pa is not None and isinstance(arrow_type, pa.DataType):
        return _is_arrow_number(pa, arrow_type)
    kind = getattr(dtype, "kind", None)
    if isinstance(kind, str):
        return kind in _NUMBER_KINDS
    try:
        return np.dtype(dtype).kind in _NUMBER_KINDS
    except (TypeError, ValueError):
        return False


def accept(a: Any, name: str = "input") -> Accepted:
    """``a``'s numbers and which of them are absent; TypeError for what is not
    a real number, ValueError for a number that no float64 or 64-bit integer
    holds exactly."""
    if isinstance(a, np.ma.MaskedArray):
        return _from_masked(a, name)
    if isinstance(a, np.ndarray):
        return _from_numpy(a, name)
    if isinstance(a, np.generic):
        return _from_numpy(np.asarray(a), name)
    pd = sys.modules.get("pandas")  # a pandas object implies pandas is imported
    if pd is not None and isinstance(a, (pd.Series, pd.Index, pd.api.extensions.ExtensionArray)):
        return _from_pandas(pd, a, name)
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(a, (pa.Array, pa.ChunkedArray)):
        return _from_arrow(pa, a, name)
    if hasattr(a, "__arrow_c_array__") or hasattr(a, "__arrow_c_stream__"):
        return _from_arrow_interface(a, name)
    if isinstance(a, (list, tuple)):
        return _from_sequence(a, name)
    return _from_numpy(np.asarray(a), name)


# ---------------------------------------------------------------------------
# numpy


def _from_numpy(arr: np.ndarray, name: str) -> Accepted:
    dtype = arr.dtype
    if dtype.kind in "iub" or (dtype.kind == "f" and not _is_long_double(dtype)):
        return Accepted(arr, None)  # as it lies: views stay views
    if dtype.kind == "f":
        return Accepted(_from_long_double(arr, name), None)
    if dtype.kind == "O":
        return _from_objects(arr, name)
    raise _not_a_number(name, dtype)


def _is_long_double(dtype: np.dtype) -> bool:
    # Where long double is binary64 its dtype still differs from float64.
    return dtype.itemsize > 8 or dtype.char == "g"


def _not_a_number(name: str, dtype: Any) -> TypeError:
    return TypeError(f"{name} has dtype {dtype}, not a real number")


def _from_long_double(arr: np.ndarray, name: str) -> np.ndarray:
    with np.errstate(over="ignore", under="ignore"):
        out = arr.astype(np.float64)
    inexact = (out != arr) & ~np.isnan(arr)  # compared as long doubles: exactly
    if inexact.any():
        raise _inexact(name, arr.reshape(-1)[np.argmax(inexact)])
    return out


def _inexact(name: str, value: Any) -> ValueError:
    try:
        near = repr(float(value))
    except OverflowError:
        near = "an infinity"
    # str, not format: numpy formats a long double as the float64 it rounds to.
    return ValueError(f"{name} holds {value!s}, which no float64 holds exactly (it would become {near})")


def _from_masked(a: np.ma.MaskedArray, name: str) -> Accepted:
    data = np.asarray(a.data)
    mask = np.ma.getmaskarray(a)
    if data.dtype.kind not in _NUMBER_KINDS | {"O"}:
        raise _not_a_number(name, data.dtype)
    if not mask.any():
        return _from_numpy(data, name)
    # What lies under the mask is never read: no NaN, overflow or refusal from it.
    filled = data.copy()
    filled[mask] = 0
    values, skip = _from_numpy(filled, name)
    return Accepted(values, mask if skip is None else mask | skip)


def _from_sequence(a: list[Any] | tuple[Any, ...], name: str) -> Accepted:
    arr = np.asarray(a)
    if arr.dtype == np.float64 and arr.size:
        # numpy makes float64 of integers beyond int64, and of integers mixed
        # with floats, rounding them: such integers are read one by one.
        objects = np.asarray(a, dtype=object)
        if any(_is_integer(x) for x in objects.reshape(-1).tolist()):
            return _from_objects(objects, name)
    return _from_numpy(arr, name)


def _is_integer(x: Any) -> bool:
    return isinstance(x, numbers.Integral) and not isinstance(x, (bool, np.bool_))


# ---------------------------------------------------------------------------
# Python objects: big integers, Decimals, rationals, None


def _from_objects(arr: np.ndarray, name: str) -> Accepted:
    numbers_ = [_exact_number(x, name) for x in arr.reshape(-1).tolist()]
    absent = [x is None for x in numbers_]
    present = [x for x in numbers_ if x is not None]
    if present and all(isinstance(x, bool) for x in present):
        dtype: Any = np.bool_
    elif present and len(ints := [x for x in present if isinstance(x, int)]) == len(present):
        dtype = _integer_dtype(ints)
    else:
        dtype = np.float64
    if dtype is np.float64:
        numbers_ = [x if x is None or isinstance(x, float) else _exact_float(x, name) for x in numbers_]
    values = np.array([0 if x is None else x for x in numbers_], dtype=dtype).reshape(arr.shape)
    skip = np.array(absent, dtype=bool).reshape(arr.shape) if any(absent) else None
    return Accepted(values, skip)


def _exact_number(x: Any, name: str) -> int | float | None:
    """One element as a Python int, bool or float equal to it, or None if absent."""
    if x is None or _is_pandas_na(x):
        return None
    if isinstance(x, (bool, np.bool_)):
        return bool(x)
    if isinstance(x, (np.timedelta64, datetime.timedelta)):  # numpy files timedelta64 under integers
        raise _not_a_real(name, x)
    if isinstance(x, numbers.Integral):
        return operator.index(x)
    if isinstance(x, float):
        return float(x)
    if isinstance(x, Decimal) and x.is_snan():
        raise ValueError(f"{name} holds {x!r}, a signalling NaN")
    if isinstance(x, (np.floating, Decimal, numbers.Rational)):
        return _exact_float(x, name)
    raise _not_a_real(name, x)


def _is_pandas_na(x: Any) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and x is pd.NA


def _not_a_real(name: str, x: Any) -> TypeError:
    return TypeError(f"{name} holds {x!r} of type {type(x).__name__}, not a real number")


def _exact_float(x: Any, name: str) -> float:
    """x as a float64, asked of the core, which knows whether binary64 holds it exactly."""
    try:
        return float(tallix._exact_float(x))
    except ValueError:
        raise _inexact(name, x) from None


def _integer_dtype(ints: list[int]) -> Any:
    low, high = min(ints), max(ints)
    if low >= _INT64[0] and high <= _INT64[1]:
        return np.int64
    if low >= 0 and high < _UINT64_END:
        return np.uint64
    return np.float64  # only when every one is exactly a float64, checked by the caller


# ---------------------------------------------------------------------------
# pandas


def _from_pandas(pd: Any, a: Any, name: str) -> Accepted:
    dtype = a.dtype
    if isinstance(dtype, np.dtype):
        return _from_numpy(a.to_numpy(), name)  # NaN stays a value, as numpy has it
    if isinstance(dtype, pd.ArrowDtype):
        pa = sys.modules["pyarrow"]  # ArrowDtype needs it
        return _from_arrow(pa, pa.array(a), name)
    if getattr(dtype, "kind", None) not in _NUMBER_KINDS:
        raise _not_a_number(name, dtype)
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if numpy_dtype is None:  # sparse: its dense values
        return _from_numpy(np.asarray(a), name)
    missing = np.asarray(a.isna(), dtype=bool)
    if not missing.any():
        return _from_numpy(a.to_numpy(dtype=numpy_dtype), name)
    return Accepted(_from_numpy(a.to_numpy(dtype=numpy_dtype, na_value=0), name).values, missing)


# ---------------------------------------------------------------------------
# Arrow, polars and anything else with the Arrow PyCapsule interface


def _from_arrow_interface(a: Any, name: str) -> Accepted:
    try:
        pa = importlib.import_module("pyarrow")  # untyped: Any here
    except ImportError:
        raise TypeError(f"{name} ({type(a).__name__}) is read through Arrow: install pyarrow") from None
    return _from_arrow(pa, pa.array(a), name)


def _is_arrow_number(pa: Any, arrow_type: Any) -> bool:
    t = pa.types
    return bool(
        t.is_boolean(arrow_type) or t.is_integer(arrow_type) or t.is_floating(arrow_type) or t.is_decimal(arrow_type)
    )


def _from_arrow(pa: Any, arr: Any, name: str) -> Accepted:
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.chunk(0) if arr.num_chunks == 1 else arr.combine_chunks()
    if pa.types.is_dictionary(arr.type):
        arr = arr.dictionary_decode()
    if pa.types.is_decimal(arr.type) or pa.types.is_null(arr.type):
        return _from_objects(arr.to_numpy(zero_copy_only=False), name)
    if not _is_arrow_number(pa, arr.type):
        raise TypeError(f"{name} has type {arr.type}, not a real number")
    # Booleans are stored as bits: reading them as numpy bytes takes a copy.
    is_bool = pa.types.is_boolean(arr.type)
    if arr.null_count == 0:
        return Accepted(arr.to_numpy(zero_copy_only=not is_bool), None)
    skip = arr.is_null().to_numpy(zero_copy_only=False)
    filled = arr.fill_null(pa.scalar(False if is_bool else 0, arr.type))
    return Accepted(filled.to_numpy(zero_copy_only=not is_bool), skip)
