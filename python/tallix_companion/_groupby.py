"""Exact sums, means and variances per group: one implementation for pandas and Dask.

A column is read once (through ``accept``) and fed, with each row's group
code, to the core's grouped states (``tallix._Groups``): exact per group at
any range, answered for every group at once into arrays, merged exactly
between partitions and carried between processes as records.  A column
without keys is one group, read by the core's vector kernels.  This module
only shapes the answers into the dtype pandas gives for the same reduction
(nullable results nullable, integers exact at any width).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import tallix

from . import _answers
from ._accept import Accepted

EXACT = ("sum", "mean", "var", "std")
# The core's grouped states (a private class: the stub does not list it yet).
_Groups: Any = tallix._Groups  # type: ignore[attr-defined, unused-ignore]
_INTEGER_KINDS = frozenset("iub")


# ---------------------------------------------------------------------------
# Rows to groups


class Grouping(NamedTuple):
    codes: np.ndarray  # each row's position in the result, -1 for a row in no group
    labels: pd.Index  # the result's index, as pandas builds it


def grouping(grouped: Any) -> Grouping:
    """Each row's group as a position in ``grouped``'s results.

    pandas numbers the groups that hold rows in result order (``ngroup``); the
    result may also hold empty groups (unobserved categories), so the numbers
    are spread over the positions of the groups that are not empty.
    """
    sizes = grouped.size()
    numbered = grouped.ngroup()
    if numbered.dtype.kind == "f":  # NaN for rows in no group
        numbered = numbered.fillna(-1)
    numbers = np.asarray(numbered.to_numpy(), dtype=np.int64)
    counts = sizes.to_numpy()
    filled = np.flatnonzero(counts > 0)
    everywhere = len(filled) == len(counts)  # no empty group: the numbers are the positions
    codes = numbers
    if not everywhere:
        codes = np.where(numbers >= 0, filled[np.maximum(numbers, 0)] if len(filled) else -1, -1)
    placed = codes if len(codes) == 0 or codes.min() >= 0 else codes[codes >= 0]
    if not np.array_equal(np.bincount(placed, minlength=len(counts)), counts):
        raise RuntimeError("pandas numbered the groups in an order this version does not know")
    return Grouping(codes, sizes.index)


# ---------------------------------------------------------------------------
# Exact states per group


class GroupStates:
    """One column's exact states in each group, held by the core (``tallix._Groups``):
    ``n`` values present and ``missing`` skipped in each group.

    ``integer``: the column holds integers (sums exact at any width);
    ``squares``: the states keep Σx² too, so variances can be answered.
    """

    def __init__(
        self,
        groups: Any,
        integer: bool,
        squares: bool,
        n: np.ndarray | None = None,
        missing: np.ndarray | None = None,
    ) -> None:
        self.groups = groups
        self.integer = integer
        self.squares = squares
        if n is None or missing is None:
            n, missing = np.zeros(groups.count, dtype=np.int64), np.zeros(groups.count, dtype=np.int64)
            groups.counts(n, missing)
        self.n, self.missing = n, missing

    def empty(self, count: int) -> Any:
        """New core states for ``count`` groups, of this column's kind."""
        return new_groups(count, self.integer, self.squares)

    def values(self, how: str, ddof: int, binary32: bool) -> list[int] | np.ndarray:
        """Each group's exact ``how`` rounded once: Python ints for integer sums."""
        if self.integer and how == "sum":
            sums: list[int] = self.groups.int_sums()[0]
            return sums
        # Integer groups answer in binary64 only; pandas answers their means in it.
        asked = how + "32" if binary32 and not self.integer else how
        out = np.empty(self.groups.count, dtype=np.float64)
        self.groups.answer(asked, ddof, out)
        return out

    def take(self, order: np.ndarray) -> GroupStates:
        """The groups in the given order (each group at most once)."""
        positions = np.full(self.groups.count, -1, dtype=np.int64)  # a group not taken is dropped
        positions[order] = np.arange(len(order))
        taken = self.empty(len(order))
        taken.merge(self.groups, positions)
        return GroupStates(taken, self.integer, self.squares, self.n[order], self.missing[order])

    def dump(self) -> tuple[Any, ...]:
        """The states as bytes and arrays, for travel between processes."""
        return (self.integer, self.squares, self.n, self.missing, self.groups.records())

    @classmethod
    def load(cls, dumped: tuple[Any, ...]) -> GroupStates:
        integer, squares, n, missing, records = dumped
        groups = new_groups(len(records), integer, squares)
        groups.merge_records(np.arange(len(records), dtype=np.int64), records)
        return cls(groups, integer, squares, n, missing)


def new_groups(count: int, integer: bool, squares: bool) -> Any:
    return _Groups(count, kind="int" if integer else "float", squares=squares)


class ColumnStates:
    """A whole column as one group, for reductions without keys.

    The core's vector kernels read one long column several times faster than
    the grouped feed, which looks up a group for every row.
    """

    def __init__(self, values: np.ndarray, absent: np.ndarray) -> None:
        self.integer = values.dtype.kind in _INTEGER_KINDS
        self._present = values[~absent] if absent.any() else values
        self.n = np.array([self._present.size], dtype=np.int64)
        self.missing = np.array([values.size], dtype=np.int64) - self.n

    def values(self, how: str, ddof: int, binary32: bool) -> list[int] | np.ndarray:
        present = self._present
        if self.integer and how == "sum":
            return [_answers.integer_sum(present)]
        if how == "sum":
            total = tallix.SumF32() if binary32 else tallix.SumF64()
            total.extend(_binary32(present) if binary32 else present)
            return np.array([total.value()], dtype=np.float64)
        if present.size == 0 or how != "mean" and present.size - ddof <= 0:
            return np.array([math.nan])
        if self.integer:  # pandas answers an integer column's mean in binary64
            return np.array([_answers.moments(present, how, ddof)])
        asked = how + "32" if binary32 else how
        if how == "mean":
            state = tallix.SumF64()
            state.extend(present)
            return np.array([_answers.answer(state, asked)])
        return np.array([_answers.answer(_answers.moment_parts(present), asked, ddof)])


def _binary32(values: np.ndarray) -> np.ndarray:
    # pandas sums in binary32 only columns of binary32 or narrower floats.
    narrow = values.astype(np.float32)
    if not np.array_equal(narrow, values, equal_nan=True):
        raise ValueError("a binary32 sum of values that binary32 does not hold")
    return narrow


States = GroupStates | ColumnStates


def group_states(read: Accepted, codes: np.ndarray, count: int, hows: Iterable[str]) -> GroupStates:
    """The states that answer ``hows`` for each of ``count`` groups of a column's rows.

    ``read`` is the column as ``accept`` reads it; ``codes`` gives each row's
    group (-1: none).  Absent values (NA, masks, NaN) are counted in
    ``missing`` and fed nowhere.
    """
    values = native_values(read)
    skip = None if read.skip is None else read.skip.reshape(-1)
    integer = values.dtype.kind in _INTEGER_KINDS
    squares = not integer and bool(set(hows) & {"var", "std"})
    groups = new_groups(count, integer, squares)
    groups.feed(codes, values, skip, True)
    return GroupStates(groups, integer, squares)


def column_states(read: Accepted) -> ColumnStates:
    """A column's values as one group, absent ones (NA, masks, NaN) counted in ``missing``."""
    values = native_values(read)
    absent = np.zeros(len(values), dtype=bool) if read.skip is None else read.skip.reshape(-1)
    if values.dtype.kind == "f":
        absent = absent | np.isnan(values)
    return ColumnStates(values, absent)


def native_values(read: Accepted) -> np.ndarray:
    """A column's values, flat and in this machine's byte order, as the core reads them."""
    values = read.values.reshape(-1)
    return values if values.dtype.isnative else values.astype(values.dtype.newbyteorder("="))


def merge(pieces: Sequence[tuple[GroupStates, np.ndarray]], count: int) -> GroupStates:
    """The states of ``count`` groups from pieces whose groups sit at the given positions."""
    # A partition without groups holds no values whose kind could differ.
    live = [states for states, _ in pieces if states.groups.count] or [pieces[0][0]]
    first = live[0]
    if any(states.integer != first.integer for states in live):
        raise TypeError("the partitions hold integers in some and floats in others; give the column one dtype first")
    merged = first.empty(count)
    for states, positions in pieces:
        if states.groups.count:
            merged.merge(states.groups, np.asarray(positions, dtype=np.int64))
    return GroupStates(merged, first.integer, first.squares)


# ---------------------------------------------------------------------------
# Answers, shaped as pandas shapes them


def answer(states: States, how: str, dtype: Any, *, ddof: int = 1, min_count: int = 0, skipna: bool = True) -> Any:
    """Each group's exact ``how`` as an array of ``dtype`` (pandas' result dtype).

    Groups without an answer (fewer than ``min_count`` or ``ddof`` values,
    or a skipped value when ``skipna`` is False) are NA for nullable dtypes
    and NaN otherwise; integer sums that ``dtype`` cannot hold are Python
    ints in an object array.
    """
    missing = undefined_groups(states, how, ddof, min_count, skipna)
    return to_dtype(group_values(states, how, ddof, is_binary32(dtype)), missing, dtype)


def undefined_groups(states: States, how: str, ddof: int, min_count: int, skipna: bool) -> np.ndarray:
    """The groups whose ``how`` pandas leaves NaN or NA."""
    n = states.n
    if how == "sum":
        out = n < min_count
    elif how == "mean":
        out = n == 0
    elif how == "count":
        return np.zeros(len(n), dtype=bool)
    else:
        out = n - ddof <= 0
    return np.asarray(out if skipna else out | (states.missing > 0))


def group_values(states: States, how: str, ddof: int, binary32: bool) -> list[Any] | np.ndarray:
    """Each group's exact ``how``: Python ints for integer sums, else floats rounded once
    (to binary32 when ``binary32``)."""
    if how == "count":
        return states.n
    return states.values(how, ddof, binary32)


def is_binary32(dtype: Any) -> bool:
    numpy_dtype = getattr(dtype, "numpy_dtype", dtype)  # masked and Arrow dtypes name theirs
    try:
        return bool(np.dtype(numpy_dtype) == np.float32)
    except TypeError:
        return False


def to_dtype(values: Sequence[Any] | np.ndarray, undefined: np.ndarray, dtype: Any) -> Any:
    """``values`` (ints and floats, exact or rounded once) as an array of ``dtype``.

    Floats become binary32 by one more rounding: the callers give values that
    binary32 holds, or say why they may not.  A numpy integer dtype with an
    undefined value becomes float64 with NaN, as pandas makes it.
    """
    kind = getattr(dtype, "kind", "O")
    nullable = not isinstance(dtype, np.dtype)
    target = np.dtype(getattr(dtype, "numpy_dtype", object)) if nullable else dtype
    if kind in "iu":
        try:
            array = np.array(values, dtype=target).reshape(-1)  # numpy refuses an int beyond the dtype
        except OverflowError:
            fill = pd.NA if nullable else math.nan
            beyond = [fill if u else int(v) for v, u in zip(values, undefined.tolist(), strict=True)]
            return np.array(beyond, dtype=object).reshape(-1)
        if not nullable and undefined.any():
            return to_dtype([float(v) for v in values], undefined, np.dtype(np.float64))
    elif kind == "f":
        if isinstance(values, np.ndarray):
            floats = values.astype(np.float64)
        else:
            floats = np.array([float(v) for v in values], dtype=np.float64).reshape(-1)
        floats[undefined] = math.nan
        array = floats.astype(target)
    else:
        return np.array(
            [math.nan if u else v for v, u in zip(values, undefined.tolist(), strict=True)], dtype=object
        ).reshape(-1)
    if not nullable:
        return array
    out = pd.array(array, dtype=dtype)
    if undefined.any():
        out[undefined] = pd.NA
    return out


# ---------------------------------------------------------------------------
# pandas' result dtypes


def result_dtype(dtype: Any, how: str) -> Any:
    """The dtype of pandas' own grouped ``how`` over a column of ``dtype``."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return sample(dtype).groupby(np.zeros(2, dtype=np.int8)).agg(how).dtype


def sample(dtype: Any) -> pd.Series:
    """Two zeros of ``dtype``: pandas' answers over them show its result types."""
    return pd.Series(np.zeros(2, dtype=np.int64)).astype(dtype)


def float64_like(dtype: Any) -> Any:
    """The 64-bit float dtype of the family (numpy, masked or Arrow) of ``dtype``."""
    if isinstance(dtype, np.dtype):
        return np.dtype(np.float64)
    if isinstance(dtype, pd.ArrowDtype):
        return pd.api.types.pandas_dtype("double[pyarrow]")
    return pd.Float64Dtype()
