"""Rolling and expanding windows, each answered exactly and rounded once.

The core slides every window in one pass (``tallix._slide``): a value
entering is added and a value leaving is taken back in exact fixed-point
sums, so no window carries a rounding artefact of the windows before it.
This module only speaks numpy's and pandas' language: which windows a call
means, how absent values and dtypes are read, and the result's shape,
index, name and dtype.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Generic, TypeVar, cast

import numpy as np
import pandas as pd
from pandas.api.types import is_object_dtype

import tallix

from ._accept import accept, is_number_dtype

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["ExactRolling", "sliding"]

# A window at least this wide never drops a value: the expanding window.
_EXPANDING = 1 << 62
_MAX_EXACT_INT = 1 << 53

# The windows of a Series answer as Series, those of a DataFrame as DataFrames.
Frame = TypeVar("Frame", pd.Series, pd.DataFrame)


def _column(a: Any, name: str) -> np.ndarray:
    """The values as the core reads them: absent values as NaN."""
    read = accept(a, name)
    values = read.values
    if read.skip is None or not read.skip.any():
        return values
    if values.dtype.kind in "iu" and np.any(np.abs(values[~read.skip].astype(np.float64)) > _MAX_EXACT_INT):
        # NaN marks an absent value, so the column becomes float64: refuse
        # what float64 cannot hold rather than round it.
        raise ValueError(f"{name} holds integers beyond 2**53 beside missing values")
    floats = values.astype(np.float64)
    floats[read.skip] = np.nan
    return floats


def _slide(what: str, values: Any, count: int, window: int, offset: int, min_periods: int, ddof: float) -> np.ndarray:
    out = np.empty(count, dtype=np.float64)
    tallix._slide(what, values, out, (window, offset, None, None, min_periods, ddof))
    return out


def _slide_bounds(
    what: str, values: Any, starts: np.ndarray, ends: np.ndarray, min_periods: int, ddof: float
) -> np.ndarray:
    out = np.empty(len(starts), dtype=np.float64)
    bounds = (np.ascontiguousarray(starts, np.int64), np.ascontiguousarray(ends, np.int64))
    tallix._slide(what, values, out, (0, 0, bounds[0], bounds[1], min_periods, ddof))
    return out


# ---- numpy style --------------------------------------------------------------------


def sliding(what: str, a: Any, w: Any, axis: int, ddof: float) -> NDArray[np.float64]:
    """``what`` over every window of ``w`` consecutive values along ``axis``:
    n - w + 1 answers per row, NaNs propagating as in numpy's reductions."""
    arr = np.asarray(a) if not isinstance(a, np.ndarray) else a
    if arr.ndim == 0:
        raise ValueError("sliding windows need an array of at least one dimension")
    if isinstance(w, bool) or not isinstance(w, (int, np.integer)):
        raise TypeError(f"window must be an int, not {type(w).__name__!r}")
    if not -arr.ndim <= axis < arr.ndim:
        raise np.exceptions.AxisError(axis, arr.ndim)
    moved = np.moveaxis(arr, axis, -1)
    n = moved.shape[-1]
    if not 1 <= w <= n:
        raise ValueError(f"window must lie within 1 and the axis length {n}, not {w}")
    rows = moved.reshape(-1, n)
    answers = np.empty((rows.shape[0], n - w + 1), dtype=np.float64)
    for k in range(rows.shape[0]):
        answers[k] = _slide(what, _column(rows[k], "a"), n - w + 1, int(w), int(w) - 1, 0, ddof)
    # float64 answers, as the other numpy-style reductions give
    return np.moveaxis(answers.reshape(moved.shape[:-1] + (n - w + 1,)), -1, axis)


# ---- pandas --------------------------------------------------------------------------


class ExactRolling(Generic[Frame]):
    """``s.exact.rolling(...)`` and ``s.exact.expanding(...)``: pandas'
    windows, each answered exactly and rounded once: ``sum``, ``mean``,
    ``var``, ``std``, ``count``, ``skew``, ``kurt``, ``cov`` and ``corr``."""

    def __init__(self, obj: Frame, make: Callable[[Any], Any], expanding: bool) -> None:
        self._obj: Frame = obj
        self._make = make  # pandas' own window of an object: its checks, its defaults
        self._window = make(obj)
        self._expanding = expanding

    def sum(self, numeric_only: bool = False) -> Frame:
        return cast(Frame, self._answer("nansum", 0, numeric_only))

    def mean(self, numeric_only: bool = False) -> Frame:
        return cast(Frame, self._answer("nanmean", 0, numeric_only))

    def var(self, ddof: int = 1, numeric_only: bool = False) -> Frame:
        return cast(Frame, self._answer("nanvar", ddof, numeric_only))

    def std(self, ddof: int = 1, numeric_only: bool = False) -> Frame:
        return cast(Frame, self._answer("nanstd", ddof, numeric_only))

    def count(self, numeric_only: bool = False) -> Frame:
        if not numeric_only and not all(_is_numbers(d) for d in _dtypes(self._obj)):
            counted: Frame = self._window.count()  # any dtype; counts are exact
            return counted
        return cast(Frame, self._answer("nancount", 0, numeric_only))

    def skew(self, numeric_only: bool = False) -> Frame:
        """pandas' bias-corrected skewness of each window, exact and rounded once."""
        return cast(Frame, self._answer("skew", 0, numeric_only))

    def kurt(self, numeric_only: bool = False) -> Frame:
        """pandas' bias-corrected excess kurtosis of each window, exact and rounded once."""
        return cast(Frame, self._answer("kurt", 0, numeric_only))

    def cov(self, other: pd.Series | None = None, ddof: int = 1) -> Frame:
        """The covariance of each window with ``other`` (aligned as pandas aligns it)."""
        return cast(Frame, self._pairs("cov", other, ddof))

    def corr(self, other: pd.Series | None = None) -> Frame:
        """The correlation of each window with ``other``, exact and rounded once."""
        return cast(Frame, self._pairs("corr", other, 1))

    def _pairs(self, what: str, other: pd.Series | None, ddof: int) -> pd.Series | pd.DataFrame:
        _check_ddof(ddof)
        obj = self._obj
        if other is None and isinstance(obj, pd.Series):
            other = obj
        if not isinstance(other, pd.Series):
            raise TypeError(f"other must be a Series, not {type(other).__name__!r}")
        if isinstance(obj, pd.Series):
            x, y = _aligned(obj, other)
            answers = self._windows(what, x, ddof, y)
            name = obj.name if obj.name == other.name else None  # pandas keeps a name both share
            return pd.Series(answers, index=self._index(x.index), name=name, dtype=np.float64, copy=False)
        frame, y = obj.align(other, join="outer", axis=0)
        pairs = [_aligned(frame.iloc[:, k], y) for k in range(frame.shape[1])]
        return self._frame({k: self._windows(what, xk, ddof, yk) for k, (xk, yk) in enumerate(pairs)}, frame)

    def _answer(self, what: str, ddof: int, numeric_only: bool) -> pd.Series | pd.DataFrame:
        _check_ddof(ddof)
        obj = self._obj
        if isinstance(obj, pd.Series):
            _check_numbers(obj.dtype)
            # The answers are a fresh array: the Series takes it without a copy.
            answers = self._windows(what, obj, ddof)
            return pd.Series(answers, index=self._index(obj.index), name=obj.name, dtype=np.float64, copy=False)
        if numeric_only:  # pandas' numeric columns: object ones go too
            obj = obj.loc[:, [is_number_dtype(d) for d in obj.dtypes]]
        for dtype in obj.dtypes:
            _check_numbers(dtype)
        return self._frame({k: self._windows(what, obj.iloc[:, k], ddof) for k in range(obj.shape[1])}, obj)

    def _frame(self, columns: dict[int, np.ndarray], like: pd.DataFrame) -> pd.DataFrame:
        frame = pd.DataFrame(columns, index=self._index(like.index), copy=False)
        frame.columns = like.columns
        return frame

    def _windows(self, what: str, s: pd.Series, ddof: int, other: pd.Series | None = None) -> np.ndarray:
        values: Any = _column(s, _label(s.name))
        if other is not None:
            values = (values, _column(other, _label(other.name)))
        n = len(s)
        # Pairs are aligned first: their windows are those of the aligned index.
        r = self._window if other is None else self._make(s)
        indexer = r._get_window_indexer()
        min_periods = int(r.min_periods) if r.min_periods is not None else int(indexer.window_size)
        if self._expanding:
            return _slide(what, values, n, _EXPANDING, 0, min_periods, ddof)
        if isinstance(r.window, (int, np.integer)) and r.closed in (None, "right") and r.step in (None, 1):
            w = int(r.window)
            offset = (w - 1) // 2 if r.center else 0
            return _slide(what, values, n, w, offset, min_periods, ddof)
        # Time-based windows, `closed`, `step` and custom indexers: pandas' own
        # bounds, one array each.
        starts, ends = indexer.get_window_bounds(
            num_values=n, min_periods=min_periods, center=r.center, closed=r.closed, step=r.step
        )
        return _slide_bounds(what, values, starts, ends, min_periods, ddof)

    def _index(self, index: pd.Index) -> pd.Index:
        """The result's index: every `step`-th label, as pandas gives it."""
        step = getattr(self._window, "step", None)
        return index[::step] if step else index


def _is_numbers(dtype: Any) -> bool:
    # Object columns may hold numbers: the acceptance of their values decides.
    return is_number_dtype(dtype) or is_object_dtype(dtype)


def _dtypes(obj: pd.Series | pd.DataFrame) -> list[Any]:
    return [obj.dtype] if isinstance(obj, pd.Series) else list(obj.dtypes)


def _check_numbers(dtype: Any) -> None:
    """pandas' refusal of a column that holds no numbers."""
    if not _is_numbers(dtype):
        raise pd.errors.DataError(f"Cannot aggregate non-numeric type: {dtype}")


def _check_ddof(ddof: Any) -> None:
    if isinstance(ddof, bool) or not isinstance(ddof, (int, np.integer)):
        raise TypeError(f"ddof must be an int, not {type(ddof).__name__!r}")


def _aligned(x: pd.Series, y: pd.Series) -> tuple[pd.Series, pd.Series]:
    """Both sides on the union of their indexes, as pandas pairs them."""
    return x.align(y, join="outer")


def _label(name: Any) -> str:
    return "input" if name is None else str(name)


def rolling(
    obj: Frame,
    window: Any,
    min_periods: int | None,
    center: bool,
    closed: Any,
    step: int | None,
) -> ExactRolling[Frame]:
    def make(o: Any) -> Any:
        return o.rolling(window, min_periods=min_periods, center=center, closed=closed, step=step)

    return ExactRolling(obj, make, False)


def expanding(obj: Frame, min_periods: int) -> ExactRolling[Frame]:
    return ExactRolling(obj, lambda o: o.expanding(min_periods=min_periods), True)
