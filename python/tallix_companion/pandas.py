"""Exact reductions on pandas objects, with pandas' conventions.

Importing this module registers the ``.exact`` accessor on Series and
DataFrame::

    import tallix_companion.pandas
    df.exact.sum()                 # a Series indexed by column, like df.sum()
    s.exact.var()                  # ddof=1, NaN and pd.NA skipped
    df.exact.groupby("key").agg({"x": ["sum", "mean", "var"]})

As in pandas, ``skipna=True`` skips NaN and pd.NA (nullable dtypes included),
``var`` and ``std`` default to ``ddof=1``, an empty or all-missing sum is 0
and a mean or variance without enough values is NaN.  Every value is the exact
one rounded once.  Group keys may be anything pandas can group by.
"""

from __future__ import annotations

import warnings
from typing import Any, Callable, Hashable, Mapping, Sequence

import numpy as np
import pandas as pd

import tallix

from . import numpy as tnp
from ._exact import SUM_BYTES, UNIT_BITS, read_sum, sqrt_ratio, to_float

__all__ = ["SeriesAccessor", "DataFrameAccessor", "ExactGroupBy", "groupby_agg"]

_NUMBER_KINDS = frozenset("fiub")
_AGGREGATIONS = ("sum", "mean", "var", "std", "count")


def _values(s: pd.Series, skipna: bool) -> np.ndarray | None:
    """The series' numbers as a numpy array; None when a missing value makes the answer NaN."""
    if getattr(s.dtype, "kind", None) not in _NUMBER_KINDS:
        raise TypeError(f"column {s.name!r} has dtype {s.dtype}, not a number")
    missing = np.asarray(s.isna())
    if missing.any():
        if not skipna:
            return None
        s = s[~missing]
    return s.to_numpy(dtype=getattr(s.dtype, "numpy_dtype", None))


def _quietly(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    # pandas answers NaN for too few values without numpy's warnings.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fn(*args, **kwargs)


def _reduce(s: pd.Series, how: str, skipna: bool, ddof: int, min_count: int = 0) -> float:
    values = _values(s, skipna)
    if values is None:
        return float("nan")
    n = len(values)
    if how == "sum":
        return float("nan") if n < min_count else float(tnp.sum(values))
    if how == "mean":
        return float("nan") if n == 0 else float(tnp.mean(values))
    if n - ddof <= 0:
        return float("nan")
    return float(_quietly(getattr(tnp, how), values, ddof=ddof))


@pd.api.extensions.register_series_accessor("exact")
class SeriesAccessor:
    """``s.exact``: exact ``sum``, ``mean``, ``var`` and ``std`` of a Series."""

    def __init__(self, obj: pd.Series) -> None:
        self._obj = obj

    def sum(self, skipna: bool = True, min_count: int = 0) -> float:
        return _reduce(self._obj, "sum", skipna, 0, min_count)

    def mean(self, skipna: bool = True) -> float:
        return _reduce(self._obj, "mean", skipna, 0)

    def var(self, ddof: int = 1, skipna: bool = True) -> float:
        return _reduce(self._obj, "var", skipna, ddof)

    def std(self, ddof: int = 1, skipna: bool = True) -> float:
        return _reduce(self._obj, "std", skipna, ddof)


@pd.api.extensions.register_dataframe_accessor("exact")
class DataFrameAccessor:
    """``df.exact``: the same reductions per column (axis 0) or per row (axis 1)."""

    def __init__(self, obj: pd.DataFrame) -> None:
        self._obj = obj

    def sum(self, axis: int | str = 0, skipna: bool = True, numeric_only: bool = False, min_count: int = 0) -> pd.Series:
        return self._apply("sum", axis, skipna, numeric_only, 0, min_count)

    def mean(self, axis: int | str = 0, skipna: bool = True, numeric_only: bool = False) -> pd.Series:
        return self._apply("mean", axis, skipna, numeric_only, 0)

    def var(self, axis: int | str = 0, skipna: bool = True, ddof: int = 1, numeric_only: bool = False) -> pd.Series:
        return self._apply("var", axis, skipna, numeric_only, ddof)

    def std(self, axis: int | str = 0, skipna: bool = True, ddof: int = 1, numeric_only: bool = False) -> pd.Series:
        return self._apply("std", axis, skipna, numeric_only, ddof)

    def groupby(self, by: Any) -> ExactGroupBy:
        return ExactGroupBy(self._obj, by)

    def _apply(self, how: str, axis: int | str, skipna: bool, numeric_only: bool, ddof: int, min_count: int = 0) -> pd.Series:
        frame = self._obj
        if numeric_only:
            frame = frame[[c for c in frame.columns if getattr(frame[c].dtype, "kind", None) in _NUMBER_KINDS]]
        if axis in (1, "columns"):
            transposed = pd.DataFrame(_row_matrix(frame), index=frame.columns, columns=frame.index)
            return DataFrameAccessor(transposed)._apply(how, 0, skipna, False, ddof, min_count)
        if axis not in (0, "index"):
            raise ValueError(f"No axis named {axis} for object type DataFrame")
        out = [_reduce(frame.iloc[:, i], how, skipna, ddof, min_count) for i in range(frame.shape[1])]
        return pd.Series(out, index=frame.columns, dtype=np.float64)


def _row_matrix(frame: pd.DataFrame) -> np.ndarray:
    """The frame's numbers as float64 with NaN for missing values; refuses inexact integers."""
    columns = []
    for i in range(frame.shape[1]):
        s = frame.iloc[:, i]
        dtype: Any = s.dtype
        if getattr(s.dtype, "kind", None) not in _NUMBER_KINDS:
            raise TypeError(f"column {s.name!r} has dtype {s.dtype}, not a number")
        values = s.to_numpy(dtype=np.float64, na_value=np.nan)
        if dtype.kind in "iu" and dtype.itemsize == 8:
            present = ~np.asarray(s.isna())
            exact = s[present].to_numpy(dtype=getattr(dtype, "numpy_dtype", dtype))
            if (values[present].astype(exact.dtype) != exact).any():
                raise ValueError(f"column {s.name!r} holds integers that no float64 holds exactly")
        columns.append(values)
    return np.array(columns).reshape(len(columns), len(frame))


# ---------------------------------------------------------------------------
# Keyed reductions


class ExactGroupBy:
    """``df.exact.groupby(by)``: exact ``agg``, ``sum``, ``mean``, ``var``, ``std``."""

    def __init__(self, frame: pd.DataFrame, by: Any) -> None:
        self._frame = frame
        self._by = by

    def agg(self, func: str | Sequence[str] | Mapping[Hashable, str | Sequence[str]]) -> pd.DataFrame:
        return groupby_agg(self._frame, self._by, func)

    def sum(self) -> pd.DataFrame:
        return self.agg("sum")

    def mean(self) -> pd.DataFrame:
        return self.agg("mean")

    def var(self) -> pd.DataFrame:
        return self.agg("var")

    def std(self) -> pd.DataFrame:
        return self.agg("std")


def groupby_agg(
    frame: pd.DataFrame, by: Any, func: str | Sequence[str] | Mapping[Hashable, str | Sequence[str]]
) -> pd.DataFrame:
    """What ``frame.groupby(by).agg(func)`` returns, every value exact and rounded once.

    ``func`` names ``sum``, ``mean``, ``var`` (ddof 1), ``std`` or ``count``: one
    name or a list for every value column, or a dict from column to name(s).
    Missing values are skipped; rows with a missing key are dropped.
    """
    grouped = frame.groupby(by, sort=True, dropna=True)
    codes = grouped.ngroup().fillna(-1).to_numpy(dtype=np.int64)  # -1: a missing key
    index = grouped.size().index
    plan = _plan(frame, by, func)
    groups = _Groups(codes, len(index))
    results: dict[Any, Any] = {}
    for column, names in plan.items():
        stats = groups.reduce(frame[column], names)
        for name in names:
            results[(column, name)] = stats[name]
    flat = isinstance(func, str) or (isinstance(func, Mapping) and all(isinstance(v, str) for v in func.values()))
    columns = [c for c, _ in results] if flat else pd.MultiIndex.from_tuples(list(results))
    return pd.DataFrame(dict(zip(range(len(results)), results.values())), index=index).set_axis(columns, axis=1)


def _plan(frame: pd.DataFrame, by: Any, func: Any) -> dict[Any, list[str]]:
    if isinstance(func, Mapping):
        plan = {c: [v] if isinstance(v, str) else list(v) for c, v in func.items()}
    else:
        keys = set(by) if isinstance(by, list) else {by} if isinstance(by, Hashable) else set()
        names = [func] if isinstance(func, str) else list(func)
        plan = {c: names for c in frame.columns if c not in keys}
    for column, names in plan.items():
        if column not in frame.columns:
            raise KeyError(f"Column(s) [{column!r}] do not exist")
        bad = [n for n in names if n not in _AGGREGATIONS]
        if bad:
            raise ValueError(f"cannot aggregate with {bad[0]!r} exactly; choose from {', '.join(_AGGREGATIONS)}")
    return plan


class _Groups:
    """Rows sorted by group once, so every group is one contiguous slice."""

    def __init__(self, codes: np.ndarray, count: int) -> None:
        keep = codes >= 0
        # A stable sort of small integer codes is a radix sort in numpy.
        narrow = codes.astype(np.int16 if count < 2**15 else np.int64)
        order = np.argsort(narrow, kind="stable")
        self.order = order[np.count_nonzero(~keep) :]  # the -1 codes sort first
        self.bounds = np.concatenate([[0], np.cumsum(np.bincount(codes[keep], minlength=count))])
        self.count = count

    def reduce(self, column: pd.Series, names: list[str]) -> dict[str, np.ndarray]:
        needs_squares = any(n in ("var", "std") for n in names)
        blobs, counts = self.states(column, tallix.MomentsF64 if needs_squares else tallix.SumF64)
        return {name: group_stat(name, blobs, counts, column.dtype) for name in names}

    def states(self, column: pd.Series, make: Callable[[], Any]) -> tuple[list[bytes], np.ndarray]:
        """Each group's state (as bytes) over its values that are not missing, and their count."""
        values = _numbers(column)[self.order]
        present = ~np.isnan(values) if values.dtype.kind == "f" else np.ones(len(values), bool)
        clean = np.where(present, values, 0) if not present.all() else values
        counts = np.add.reduceat(present.astype(np.int64), self.bounds[:-1]) if len(values) else np.zeros(0, np.int64)
        counts = np.where(np.diff(self.bounds) > 0, counts, 0)
        blobs = []
        for lo, hi in zip(self.bounds[:-1].tolist(), self.bounds[1:].tolist()):
            state = make()
            state.extend(clean[lo:hi])
            blobs.append(state.to_bytes())
        return blobs, counts


def _numbers(column: pd.Series) -> np.ndarray:
    if getattr(column.dtype, "kind", None) not in _NUMBER_KINDS:
        raise TypeError(f"column {column.name!r} has dtype {column.dtype}, not a number")
    dtype: Any = column.dtype
    if isinstance(dtype, np.dtype):
        return np.asarray(column.to_numpy())
    if np.asarray(column.isna()).any():  # NaN marks the missing values from here on
        values: np.ndarray = _row_matrix(column.to_frame())[0]
        return values
    return np.asarray(column.to_numpy(dtype=dtype.numpy_dtype))


def group_stat(name: str, blobs: list[bytes], counts: np.ndarray, dtype: Any) -> np.ndarray:
    if name == "count":
        return counts
    if name == "sum" and getattr(dtype, "kind", None) in ("i", "u", "b"):
        # pandas sums integers as integers; these are exact, without wrap-around.
        return np.array([read_sum(b, 0).scaled >> UNIT_BITS for b in blobs], dtype=np.int64)
    out = np.empty(len(blobs))
    for k, blob in enumerate(blobs):
        s1, n = read_sum(blob, 0), int(counts[k])
        if s1.flags:  # infinities: the float arithmetic pandas does gives inf or NaN
            out[k] = _nonfinite(s1.flags) if name == "sum" or name == "mean" and n else np.nan
        elif name == "sum":
            out[k] = to_float(s1.scaled, 1 << UNIT_BITS)
        elif name == "mean":
            out[k] = to_float(s1.scaled, n << UNIT_BITS) if n else np.nan
        else:
            out[k] = _spread(blob, s1.scaled, n, name == "std")
    return out


def _nonfinite(flags: int) -> float:
    if flags & 1 or flags & 6 == 6:
        return float("nan")
    return float("inf") if flags & 2 else float("-inf")


def _spread(blob: bytes, s1: int, n: int, root: bool) -> float:
    s2 = read_sum(blob, SUM_BYTES, product=True)
    if n < 2 or s2.flags:
        return float("nan")
    if s2.exactness_lost:
        raise ValueError("a square fell below the normal float64 range; scale the column first")
    num = (n * s2.scaled << UNIT_BITS) - s1 * s1
    den = n * (n - 1) << (2 * UNIT_BITS)
    return sqrt_ratio(num, den) if root else to_float(num, den)
