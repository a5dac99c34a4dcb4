"""Exact sums, means and variances per group: one implementation for pandas and Dask.

A column is read once (through ``accept``), its rows ordered by group, and
each group's values fed to exact states: Python-int sums for integers, a
SumF64 (sums and means) and moment parts (variances) for floats, and a SumF32
where pandas answers in binary32.  States of one group from different
partitions merge exactly, and travel as bytes.  The core answers each group
rounded once; this module only shapes the answers into the dtype pandas gives
for the same reduction (nullable results nullable, integers exact at any
width).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Sequence
from itertools import pairwise
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import tallix

from . import _answers
from ._accept import Accepted

EXACT = ("sum", "mean", "var", "std")
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
    numbers = np.asarray(grouped.ngroup().fillna(-1).to_numpy(), dtype=np.int64)
    filled = np.flatnonzero(sizes.to_numpy() > 0)
    codes = np.where(numbers >= 0, filled[np.maximum(numbers, 0)] if len(filled) else -1, -1)
    if not np.array_equal(np.bincount(codes[codes >= 0], minlength=len(sizes)), sizes.to_numpy()):
        raise RuntimeError("pandas numbered the groups in an order this version does not know")
    return Grouping(codes, sizes.index)


# ---------------------------------------------------------------------------
# Exact states per group


class GroupStates:
    """One column's exact states in each group; ``n`` values present, ``missing`` skipped.

    For integers ``sums`` and ``squares`` hold Python ints (Σx, Σx²); for
    floats ``sums`` holds SumF64 states, ``squares`` moment parts and
    ``sums32`` SumF32 states.  A list is None where no reduction asked for it.
    """

    def __init__(
        self,
        integer: bool,
        n: np.ndarray,
        missing: np.ndarray,
        sums: list[Any] | None = None,
        squares: list[Any] | None = None,
        sums32: list[Any] | None = None,
    ) -> None:
        self.integer = integer
        self.n = n
        self.missing = missing
        self.sums = sums
        self.squares = squares
        self.sums32 = sums32

    def take(self, order: np.ndarray) -> GroupStates:
        """The groups in the given order."""
        picks = order.tolist()

        def pick(states: list[Any] | None) -> list[Any] | None:
            return None if states is None else [states[k] for k in picks]

        n, missing = self.n[order], self.missing[order]
        return GroupStates(self.integer, n, missing, pick(self.sums), pick(self.squares), pick(self.sums32))

    def dump(self) -> tuple[Any, ...]:
        """The states as bytes and ints, for travel between processes."""
        if self.integer:
            return (True, self.n, self.missing, self.sums, self.squares, None)
        sums = None if self.sums is None else [s.to_bytes() for s in self.sums]
        squares = None if self.squares is None else [_answers.dump_parts(p) for p in self.squares]
        sums32 = None if self.sums32 is None else [s.to_bytes() for s in self.sums32]
        return (False, self.n, self.missing, sums, squares, sums32)

    @classmethod
    def load(cls, dumped: tuple[Any, ...]) -> GroupStates:
        integer, n, missing, sums, squares, sums32 = dumped
        if integer:
            return cls(True, n, missing, sums, squares)
        return cls(
            False,
            n,
            missing,
            None if sums is None else [tallix.SumF64.from_bytes(b) for b in sums],
            None if squares is None else [_answers.load_parts(p) for p in squares],
            None if sums32 is None else [tallix.SumF32.from_bytes(b) for b in sums32],
        )


def group_states(
    read: Accepted, codes: np.ndarray | None, count: int, hows: Iterable[str], binary32: bool, name: str
) -> GroupStates:
    """The states that answer ``hows`` for each of ``count`` groups of a column's rows.

    ``read`` is the column as ``accept`` reads it; ``codes`` gives each row's
    group (-1: none; None: every row is in the one group).  ``binary32``: sums
    are wanted rounded to binary32.  Absent values (NA, masks, NaN) are
    counted in ``missing`` and fed nowhere.
    """
    values = read.values.reshape(-1)
    absent = np.zeros(len(values), dtype=bool) if read.skip is None else read.skip.reshape(-1)
    if values.dtype.kind == "f":
        absent = absent | np.isnan(values)
    if codes is None:
        n = np.array([len(values) - np.count_nonzero(absent)], dtype=np.int64)
        missing = np.array([len(values)], dtype=np.int64) - n
        slices = [values[~absent] if n[0] < len(values) else values]
    else:
        in_group = codes >= 0
        keep = in_group & ~absent
        n = np.bincount(codes[keep], minlength=count).astype(np.int64)
        missing = np.bincount(codes[in_group & absent], minlength=count).astype(np.int64)
        slices = _by_group(values, codes, keep, n)
    wanted = set(hows)
    if values.dtype.kind in _INTEGER_KINDS:
        return _integer_states(slices, n, missing, wanted)
    return GroupStates(
        False,
        n,
        missing,
        sums=[_state(tallix.SumF64, v) for v in slices] if wanted & {"sum", "mean"} else None,
        squares=[_answers.moment_parts(v) for v in slices] if wanted & {"var", "std"} else None,
        sums32=[_state(tallix.SumF32, _binary32(v, name)) for v in slices] if binary32 and "sum" in wanted else None,
    )


def _by_group(values: np.ndarray, codes: np.ndarray, keep: np.ndarray, n: np.ndarray) -> list[np.ndarray]:
    """The kept values of each group, one contiguous array per group."""
    kept = values[keep]
    if len(n) > 1:
        # A stable sort of small integer codes is a radix sort in numpy.
        kept_codes = codes[keep]
        narrow = kept_codes.astype(np.int32) if len(n) < 2**31 else kept_codes
        kept = kept[np.argsort(narrow, kind="stable")]
    bounds = np.concatenate([[0], np.cumsum(n)]).tolist()
    return [kept[lo:hi] for lo, hi in pairwise(bounds)]


def _integer_states(slices: list[np.ndarray], n: np.ndarray, missing: np.ndarray, hows: set[str]) -> GroupStates:
    sums, squares = [], []
    for v in slices:
        s1, s2 = _answers.integer_sums(v.reshape(1, -1))
        sums.append(int(s1[0]))
        squares.append(int(s2[0]))
    return GroupStates(True, n, missing, sums, squares if hows & {"var", "std"} else None)


def _state(make: Any, values: np.ndarray) -> Any:
    state = make()
    state.extend(values)
    return state


def _binary32(values: np.ndarray, name: str) -> np.ndarray:
    # pandas sums in binary32 only columns of binary32 or narrower floats.
    narrow = values.astype(np.float32)
    if not np.array_equal(narrow, values, equal_nan=True):
        raise ValueError(f"{name}: a binary32 sum of values that binary32 does not hold")
    return narrow


def merge(pieces: Sequence[tuple[GroupStates, np.ndarray]], count: int) -> GroupStates:
    """The states of ``count`` groups from pieces whose groups sit at the given positions."""
    first = pieces[0][0]
    n = np.zeros(count, dtype=np.int64)
    missing = np.zeros(count, dtype=np.int64)
    lists: dict[str, list[Any] | None] = {}
    for field in ("sums", "squares", "sums32"):
        lists[field] = None if getattr(first, field) is None else [None] * count
    for states, positions in pieces:
        np.add.at(n, positions, states.n)
        np.add.at(missing, positions, states.missing)
        for field, merged in lists.items():
            if merged is not None:
                for k, p in enumerate(positions.tolist()):
                    merged[p] = _joined(merged[p], getattr(states, field)[k])
    return GroupStates(first.integer, n, missing, lists["sums"], lists["squares"], lists["sums32"])


def _joined(a: Any, b: Any) -> Any:
    if a is None:
        return b
    if isinstance(a, int):
        return a + b  # Python ints: exact at any width
    if isinstance(a, list):
        return _answers.combine(a, b)
    a.merge(b)
    return a


# ---------------------------------------------------------------------------
# Answers, shaped as pandas shapes them


def answer(states: GroupStates, how: str, dtype: Any, *, ddof: int = 1, min_count: int = 0, skipna: bool = True) -> Any:
    """Each group's exact ``how`` as an array of ``dtype`` (pandas' result dtype).

    Groups without an answer (fewer than ``min_count`` or ``ddof`` values,
    or a skipped value when ``skipna`` is False) are NA for nullable dtypes
    and NaN otherwise; integer sums that ``dtype`` cannot hold are Python
    ints in an object array.
    """
    missing = undefined_groups(states, how, ddof, min_count, skipna)
    return to_dtype(group_values(states, how, ddof, is_binary32(dtype)), missing, dtype)


def undefined_groups(states: GroupStates, how: str, ddof: int, min_count: int, skipna: bool) -> np.ndarray:
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


def group_values(states: GroupStates, how: str, ddof: int, binary32: bool) -> list[Any]:
    """Each group's exact ``how``: Python ints for integer sums, else floats rounded once
    (to binary32 when ``binary32``)."""
    n: list[int] = states.n.tolist()
    if how == "count":
        return n
    if states.integer:
        assert states.sums is not None
        if how == "sum":
            return list(states.sums)
        squares = states.squares or [0] * len(n)
        return [
            _answers.integer_answer(how, s1, s2, k, ddof) for s1, s2, k in zip(states.sums, squares, n, strict=True)
        ]
    if how == "sum":
        chosen = states.sums32 if binary32 and states.sums32 is not None else states.sums
        assert chosen is not None
        return [s.value() for s in chosen]
    asked = how + "32" if binary32 else how  # the core rounds once to binary32 itself
    if how == "mean":
        assert states.sums is not None
        return [_answers.answer(s, asked) if k else math.nan for s, k in zip(states.sums, n, strict=True)]
    assert states.squares is not None
    return [
        _answers.answer(p, asked, ddof) if k - ddof > 0 else math.nan for p, k in zip(states.squares, n, strict=True)
    ]


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
