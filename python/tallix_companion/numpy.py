"""numpy's reductions, computed exactly and rounded once.

Write ``import tallix_companion.numpy as tnp`` and use ``tnp.sum``,
``tnp.mean``, ``tnp.var`` ... where you would use numpy's: the same names,
the same ``axis`` (None, int, tuple, negative), ``keepdims``, ``ddof``,
``weights``, ``bias`` and ``bins`` parameters with numpy's defaults.  Each
answer is the exact value rounded once to the nearest float64, so it does not
depend on memory order, strides, chunking or threads.  Where the answer is not
a number (empty slices, NaN, infinities, ``ddof >= n``) numpy itself answers,
with its own warnings.

Inputs are numpy arrays of any real dtype and layout, pandas Series and
sequences of numbers.  Integers are read exactly (one that no float64 holds is
refused); complex, date, string and object data raise TypeError.  Results are
float64.  ``workers`` (as in scipy.fft: None for every core or
``OMP_NUM_THREADS``, -1 for every core) splits large inputs across threads.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike

import tallix

from . import _answers as answers
from . import _engine as engine
from ._accept import Accepted, accept
from ._histogram import histogram
from ._rolling import sliding as _sliding

__all__ = [
    "sum",
    "mean",
    "var",
    "std",
    "nansum",
    "nanmean",
    "nanvar",
    "nanstd",
    "average",
    "dot",
    "cov",
    "corrcoef",
    "histogram",
    "sliding_sum",
    "sliding_mean",
    "sliding_var",
    "sliding_std",
    "default_workers",
]

Axis = int | Sequence[int] | None
default_workers = engine.default_workers

if TYPE_CHECKING:
    from numpy.typing import NDArray

    _Axes: TypeAlias = int | Sequence[int]
    # Inputs whose sums are integers (numpy's int64 or uint64, or a Python int
    # where that would wrap), and inputs whose sums are float64.  A list of
    # ints would also pass as a list of floats: the integer overloads come first.
    _Integers: TypeAlias = (
        NDArray[np.integer[Any] | np.bool_] | np.integer[Any] | np.bool_ | int | Sequence[int] | Sequence[Sequence[int]]
    )
    _Floats: TypeAlias = (
        NDArray[np.floating[Any]] | np.floating[Any] | float | Sequence[float] | Sequence[Sequence[float]]
    )
    _IntegerSum: TypeAlias = np.int64 | np.uint64 | int
    _IntegerSums: TypeAlias = NDArray[np.int64] | NDArray[np.uint64] | NDArray[np.object_]
    # Reducing every axis of the input (a 1-D input along axis 0, say) gives a
    # scalar, as numpy does; the type of an array says nothing of its dimensions.
    _Float64s: TypeAlias = NDArray[np.float64]


@overload
def sum(
    a: _Integers, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _IntegerSum: ...
@overload
def sum(
    a: _Integers, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _IntegerSums | _IntegerSum: ...
@overload
def sum(a: _Integers, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _IntegerSums: ...
@overload
def sum(a: _Floats, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None) -> float: ...
@overload
def sum(
    a: _Floats, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def sum(a: _Floats, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _Float64s: ...
@overload
def sum(
    a: ArrayLike, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None
) -> float | _IntegerSum: ...
@overload
def sum(
    a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None
) -> float | _IntegerSum | _Float64s | _IntegerSums: ...
def sum(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum, rounded once; NaN or infinities give numpy's answer."""
    return _sum(a, axis, keepdims, workers, skip_nans=False)


@overload
def nansum(
    a: _Integers, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _IntegerSum: ...
@overload
def nansum(
    a: _Integers, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _IntegerSums | _IntegerSum: ...
@overload
def nansum(a: _Integers, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _IntegerSums: ...
@overload
def nansum(a: _Floats, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None) -> float: ...
@overload
def nansum(
    a: _Floats, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def nansum(a: _Floats, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _Float64s: ...
@overload
def nansum(
    a: ArrayLike, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None
) -> float | _IntegerSum: ...
@overload
def nansum(
    a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None
) -> float | _IntegerSum | _Float64s | _IntegerSums: ...
def nansum(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum of the values that are not NaN, rounded once."""
    return _sum(a, axis, keepdims, workers, skip_nans=True)


@overload
def mean(a: ArrayLike, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None) -> float: ...
@overload
def mean(
    a: ArrayLike, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def mean(a: ArrayLike, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _Float64s: ...
@overload
def mean(
    a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def mean(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum divided by the count, rounded once."""
    return _moment(a, axis, keepdims, workers, "mean", None)


@overload
def nanmean(
    a: ArrayLike, axis: None = None, *, keepdims: Literal[False] = False, workers: int | None = None
) -> float: ...
@overload
def nanmean(
    a: ArrayLike, axis: _Axes, *, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def nanmean(a: ArrayLike, axis: Axis = None, *, keepdims: Literal[True], workers: int | None = None) -> _Float64s: ...
@overload
def nanmean(
    a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def nanmean(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    return _moment(a, axis, keepdims, workers, "nanmean", None)


@overload
def var(
    a: ArrayLike, axis: None = None, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> float: ...
@overload
def var(
    a: ArrayLike, axis: _Axes, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def var(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: Literal[True], workers: int | None = None
) -> _Float64s: ...
@overload
def var(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def var(a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None) -> Any:
    """Σ(x - mean)² / (n - ddof) from the exact power sums, rounded once."""
    return _moment(a, axis, keepdims, workers, "var", ddof)


@overload
def nanvar(
    a: ArrayLike, axis: None = None, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> float: ...
@overload
def nanvar(
    a: ArrayLike, axis: _Axes, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def nanvar(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: Literal[True], workers: int | None = None
) -> _Float64s: ...
@overload
def nanvar(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def nanvar(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    return _moment(a, axis, keepdims, workers, "nanvar", ddof)


@overload
def std(
    a: ArrayLike, axis: None = None, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> float: ...
@overload
def std(
    a: ArrayLike, axis: _Axes, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def std(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: Literal[True], workers: int | None = None
) -> _Float64s: ...
@overload
def std(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def std(a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None) -> Any:
    """The square root of the exact variance, rounded once."""
    return _moment(a, axis, keepdims, workers, "std", ddof)


@overload
def nanstd(
    a: ArrayLike, axis: None = None, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> float: ...
@overload
def nanstd(
    a: ArrayLike, axis: _Axes, *, ddof: float = 0, keepdims: Literal[False] = False, workers: int | None = None
) -> _Float64s | np.float64: ...
@overload
def nanstd(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: Literal[True], workers: int | None = None
) -> _Float64s: ...
@overload
def nanstd(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> float | _Float64s: ...
def nanstd(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    return _moment(a, axis, keepdims, workers, "nanstd", ddof)


# ---------------------------------------------------------------------------
# Reading the input as rows


class _Rows:
    """An accepted input seen as rows: one row per result, each with its count."""

    def __init__(self, a: ArrayLike, axis: Axis, skip_nans: bool) -> None:
        taken: Accepted = accept(a)
        self.array = taken.values
        self.absent = taken.skip
        self.axis = None if self.array.ndim == 0 else axis
        self.lay = engine.layout(self.array, axis)
        self.view = self.lay.view
        self.skip_nans = skip_nans and self.view.dtype.kind == "f"
        absent = np.zeros(self.view.shape[0], dtype=np.int64)
        self.skip = None if taken.skip is None else engine.layout(taken.skip, axis).view
        if self.skip is not None:
            absent += np.count_nonzero(self.skip, axis=1)
        if self.skip_nans:
            absent += engine.nan_counts(self.view)
        self.missing = absent
        self.counts = self.view.shape[1] - absent

    @property
    def integers(self) -> bool:
        return self.view.dtype.kind in "iub"

    def present(self, k: int) -> np.ndarray:
        """Row k without its absent values (NaN stays unless NaNs are skipped)."""
        row: np.ndarray = self.view[k]
        if self.skip is not None:
            row = row[~self.skip[k]]
        return row[~np.isnan(row)] if self.skip_nans else row

    def states(self, make: Callable[[], Any], workers: int | None) -> list[Any]:
        return engine.build([self.view], make, workers, self.skip_nans)

    def result(self, values: np.ndarray, keepdims: bool) -> Any:
        return engine.shape_result(values, self.lay, keepdims)


def _numpy_rows(rows: _Rows, special: Sequence[int], fn: Callable[..., Any], out: np.ndarray, **kw: Any) -> None:
    """numpy's own answer, with its warnings, for the rows whose answer is not a number."""
    if not special:
        return
    data = rows.array if rows.absent is None else np.ma.masked_array(rows.array, mask=rows.absent)
    ref = np.ma.filled(np.ma.asarray(fn(data, axis=rows.axis, **kw)).astype(np.float64), np.nan)
    out[special] = np.reshape(ref, -1)[special]


# ---------------------------------------------------------------------------
# Sums


def _sum(a: ArrayLike, axis: Axis, keepdims: bool, workers: int | None, skip_nans: bool) -> Any:
    return _sum_of(_Rows(a, axis, skip_nans), keepdims, workers, skip_nans)


def _sum_of(rows: _Rows, keepdims: bool, workers: int | None, skip_nans: bool) -> Any:
    if rows.integers:
        return _integer_sums(rows, keepdims)
    values = _row_answers(rows, "nansum" if skip_nans else "sum", 0, workers)
    if values is None:
        values = np.array([s.value() for s in rows.states(tallix.SumF64, workers)], dtype=np.float64)
    special = np.flatnonzero(~np.isfinite(values)).tolist()
    _numpy_rows(rows, special, np.nansum if skip_nans else np.sum, values)
    return rows.result(values, keepdims)


def _integer_sums(rows: _Rows, keepdims: bool) -> Any:
    """Exact integer sums in numpy's result dtype, or Python ints where that would wrap."""
    totals, _ = answers.integer_sums(rows.view)
    dtype = np.uint64 if rows.view.dtype.kind == "u" else np.int64
    info = np.iinfo(dtype)
    if all(info.min <= t <= info.max for t in totals):
        return rows.result(np.array(totals, dtype=dtype), keepdims)
    wide = np.empty(len(totals), dtype=object)
    wide[:] = totals
    return rows.result(wide, keepdims)


# ---------------------------------------------------------------------------
# Means and variances


_NUMPY_MOMENTS: dict[str, Callable[..., Any]] = {
    "mean": np.mean,
    "nanmean": np.nanmean,
    "var": np.var,
    "nanvar": np.nanvar,
    "std": np.std,
    "nanstd": np.nanstd,
}


def _moment(a: ArrayLike, axis: Axis, keepdims: bool, workers: int | None, name: str, ddof: float | None) -> Any:
    return _moment_of(_Rows(a, axis, name.startswith("nan")), keepdims, workers, name, ddof)


def _moment_of(rows: _Rows, keepdims: bool, workers: int | None, name: str, ddof: float | None) -> Any:
    what = name.removeprefix("nan")
    if ddof is not None:
        ddof = _finite_ddof(ddof)
    if rows.integers:
        values = _integer_moments(rows, what, ddof or 0)
    else:
        values = _float_moments(rows, name, what, ddof or 0, workers)
    undefined = (rows.counts == 0) | ((rows.counts - (ddof or 0) <= 0) & (what != "mean"))
    special = np.flatnonzero(undefined | np.isnan(values)).tolist()
    kwargs = {} if ddof is None else {"ddof": ddof}
    _numpy_rows(rows, special, _NUMPY_MOMENTS[name], values, **kwargs)
    return rows.result(values, keepdims)


def _finite_ddof(ddof: Any) -> float:
    value = float(ddof)
    if not math.isfinite(value):
        raise ValueError(f"ddof must be a finite number, got {ddof!r}")
    return value


def _integer_moments(rows: _Rows, what: str, ddof: float) -> np.ndarray:
    s1, s2 = answers.integer_sums(rows.view)
    counts = rows.counts.tolist()
    return np.array([answers.integer_answer(what, a, b, n, ddof) for a, b, n in zip(s1, s2, counts, strict=True)])


def _float_moments(rows: _Rows, name: str, what: str, ddof: float, workers: int | None) -> np.ndarray:
    out = _row_answers(rows, name, ddof, workers)
    if out is None:
        states = rows.states(tallix.SumF64 if what == "mean" else tallix.MomentsF64, workers)
        missing = rows.missing.tolist()
        answers_ = [tallix._moments(what, s, ddof, m) for s, m in zip(states, missing, strict=True)]
        out = np.array([math.nan if r is None else r for r in answers_], dtype=np.float64)
    # The core has no number for a row with NaN or infinities, too few values,
    # or squares beyond the exact range: the last are asked again in bands.
    for k in np.flatnonzero(np.isnan(out)).tolist():
        present = rows.present(k)
        if present.size and np.isfinite(present).all():
            out[k] = answers.answer(answers.banded_moments(present), what, ddof)
    return out


_MANY_ROWS = 64  # results beyond which rows are answered without a state object each


def _row_answers(rows: _Rows, name: str, ddof: float, workers: int | None) -> np.ndarray | None:
    """One answer per row straight from the core, for tall inputs; None where states serve better."""
    count, width = rows.view.shape
    if count <= _MANY_ROWS or width >= count or width == 0 or rows.skip is not None:
        return None
    out = np.empty(count)

    def run(span: tuple[int, int]) -> None:
        tallix._row_answers(name, rows.view[span[0] : span[1]], ddof, out[span[0] : span[1]])

    engine.each_span(count, width, workers, run)
    return out


# ---------------------------------------------------------------------------
# Weighted mean, dot product, covariance, correlation


@overload
def average(
    a: ArrayLike,
    axis: None = None,
    weights: ArrayLike | None = None,
    returned: Literal[False] = False,
    *,
    keepdims: Literal[False] = False,
    workers: int | None = None,
) -> float: ...
@overload
def average(
    a: ArrayLike,
    axis: _Axes,
    weights: ArrayLike | None = None,
    returned: Literal[False] = False,
    *,
    keepdims: Literal[False] = False,
    workers: int | None = None,
) -> _Float64s | np.float64: ...
@overload
def average(
    a: ArrayLike,
    axis: Axis = None,
    weights: ArrayLike | None = None,
    returned: Literal[False] = False,
    *,
    keepdims: Literal[True],
    workers: int | None = None,
) -> _Float64s: ...
@overload
def average(
    a: ArrayLike,
    axis: None,
    weights: ArrayLike | None,
    returned: Literal[True],
    *,
    keepdims: Literal[False] = False,
    workers: int | None = None,
) -> tuple[float, float]: ...
@overload
def average(
    a: ArrayLike,
    axis: None = None,
    weights: ArrayLike | None = None,
    *,
    returned: Literal[True],
    keepdims: Literal[False] = False,
    workers: int | None = None,
) -> tuple[float, float]: ...
@overload
def average(
    a: ArrayLike,
    axis: Axis = None,
    weights: ArrayLike | None = None,
    returned: bool = False,
    *,
    keepdims: bool = False,
    workers: int | None = None,
) -> float | _Float64s | tuple[float | _Float64s, float | _Float64s]: ...
def average(
    a: ArrayLike,
    axis: Axis = None,
    weights: ArrayLike | None = None,
    returned: bool = False,
    *,
    keepdims: bool = False,
    workers: int | None = None,
) -> Any:
    """Σ w·x / Σ w rounded once (the mean when ``weights`` is None)."""
    if weights is None:
        avg = mean(a, axis, keepdims=keepdims, workers=workers)
        if not returned:
            return avg
        size = accept(a).values.size
        return avg, np.full(np.shape(avg), float(size // max(1, np.size(avg))))[()]
    taken, w = accept(a), accept(weights, "weights")
    x = taken.values
    axes = None if axis is None else engine.normalize_axes(axis, x.ndim)
    wgt = _weights_like(x, w.values, axes)
    if taken.skip is not None:  # an absent value takes no weight, as in numpy.ma.average
        wgt = np.where(taken.skip, 0, wgt)
    lay, wlay = engine.layout(x, axes), engine.layout(wgt, axes)
    avg, total = _row_averages(lay.view, wlay.view, workers)
    for k in np.flatnonzero(np.isnan(avg)).tolist():  # rows the core's window did not answer
        avg[k], total[k] = _state_average(lay.view[k], wlay.view[k])
    if (total == 0).any():
        raise ZeroDivisionError("Weights sum to zero, can't be normalized")
    result = engine.shape_result(avg, lay, keepdims)
    return (result, engine.shape_result(total, lay, keepdims)) if returned else result


def _row_averages(view: np.ndarray, weights: np.ndarray, workers: int | None) -> tuple[np.ndarray, np.ndarray]:
    """Each row's weighted mean and weight sum from the core's rows at once; NaN where it needs states."""
    count, width = view.shape
    avg, total = np.full(count, np.nan), np.full(count, np.nan)
    if count > _MANY_ROWS and 0 < width <= _WINDOW_ROW and view.dtype.kind in "fiub":

        def run(span: tuple[int, int]) -> None:
            lo, hi = span
            tallix._row_average(view[lo:hi], weights[lo:hi], avg[lo:hi], total[lo:hi])

        engine.each_span(count, width, workers, run)
    return avg, total


_WINDOW_ROW = 64  # the widest row the core's weighted window takes


def _state_average(x: np.ndarray, w: np.ndarray) -> tuple[float, float]:
    """One row's weighted mean and weight sum from a CovF64 state (bands where products leave the range)."""
    state = tallix.CovF64()
    state.extend(w, x)
    ratio, weight = tallix._cov("ratio", state, 0), tallix._cov("sum_x", state, 0)
    if ratio is None or weight is None:  # products beyond the exact range: the row again, in bands
        parts = answers.pair_parts(w, x)
        ratio, weight = answers.pair(parts, "ratio"), answers.pair(parts, "sum_x")
    if math.isnan(ratio) and weight != 0:  # NaN or infinities in the data: numpy's answer and warnings
        ratio = float(np.average(x, weights=w))
    return ratio, weight


def _weights_like(x: np.ndarray, w: np.ndarray, axes: tuple[int, ...] | None) -> np.ndarray:
    """The weights broadcast to x's shape, with numpy's rules and errors."""
    if w.shape == x.shape:
        return w
    if axes is None:
        raise TypeError("Axis must be specified when shapes of a and weights differ.")
    if w.shape != tuple(x.shape[ax] for ax in axes):
        raise ValueError("Shape of weights must be consistent with shape of a along specified axis.")
    w = w.transpose(np.argsort(axes))
    w = w.reshape(tuple(n if ax in axes else 1 for ax, n in enumerate(x.shape)))
    return np.broadcast_to(w, x.shape)


def dot(a: ArrayLike, b: ArrayLike) -> np.float64:
    """Σ a·b of two 1-D inputs, rounded once."""
    x, y = _plain(a, "a"), _plain(b, "b")
    if x.ndim != 1 or y.ndim != 1 or x.shape != y.shape:
        if x.ndim == 1 and y.ndim == 1:
            return np.float64(np.dot(x, y))  # raises numpy's error for mismatched lengths
        raise ValueError("tallix_companion.numpy.dot takes two 1-D inputs")
    if x.dtype == np.float64 and y.dtype == np.float64:
        try:
            return np.float64(tallix.dot(x, y))
        except ValueError:  # a product beyond the exact range
            pass
    result = answers.pair_answer(x, y, "sum_xy")
    return np.float64(np.dot(x, y) if math.isnan(result) else result)


def _plain(a: ArrayLike, name: str) -> np.ndarray:
    """Values with none absent: products and pairs have no rule for a gap."""
    taken = accept(a, name)
    if taken.skip is not None and taken.skip.any():
        raise ValueError(f"{name} has missing values; drop or fill them first")
    return taken.values


def cov(
    m: ArrayLike, y: ArrayLike, rowvar: bool = True, bias: bool = False, ddof: int | None = None
) -> NDArray[np.float64]:
    """The 2×2 covariance matrix of two 1-D inputs, numpy's defaults (ddof 1)."""
    x, yy = _pair(m, y)
    if ddof is not None and ddof != int(ddof):
        raise ValueError("ddof must be integer")
    d = ddof if ddof is not None else (0 if bias else 1)
    parts = answers.pair_parts(x, yy)
    var_x, cov_xy, var_y = (answers.pair(parts, k, d) for k in ("var_x", "cov", "var_y"))
    out = np.array([[var_x, cov_xy], [cov_xy, var_y]])
    if x.size - d <= 0 or np.isnan(out).any():  # no number: numpy's answer and warnings
        ref = np.cov(x, yy, rowvar=rowvar, bias=bias, ddof=ddof)
        out = ref if x.size - d <= 0 else np.where(np.isnan(out), ref, out)
    return out


def corrcoef(x: ArrayLike, y: ArrayLike, rowvar: bool = True) -> NDArray[np.float64]:
    """The 2×2 correlation matrix of two 1-D inputs; r is rounded once."""
    xs, ys = _pair(x, y)
    r = answers.pair(answers.pair_parts(xs, ys), "corr")
    if not math.isfinite(r):  # constant or non-finite data: numpy's answer and warnings
        ref: NDArray[np.float64] = np.corrcoef(xs, ys, rowvar=rowvar)
        return ref
    return np.array([[1.0, r], [r, 1.0]])


def _pair(a: ArrayLike, b: ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    x, y = _plain(a, "x"), _plain(b, "y")
    if x.ndim != 1 or y.ndim != 1:
        raise ValueError("tallix_companion.numpy.cov and corrcoef take two 1-D inputs")
    if x.shape != y.shape:
        raise ValueError("all the input array dimensions except for the concatenation axis must match exactly")
    return x, y


def sliding_sum(a: ArrayLike, w: int, axis: int = -1) -> NDArray[np.float64]:
    """The exact sum of every ``w`` consecutive values along ``axis``, rounded once."""
    return _sliding("sum", a, w, axis, 0)


def sliding_mean(a: ArrayLike, w: int, axis: int = -1) -> NDArray[np.float64]:
    """The exact mean of every ``w`` consecutive values along ``axis``, rounded once."""
    return _sliding("mean", a, w, axis, 0)


def sliding_var(a: ArrayLike, w: int, axis: int = -1, *, ddof: int = 0) -> NDArray[np.float64]:
    """The exact variance of every ``w`` consecutive values along ``axis``, rounded once."""
    return _sliding("var", a, w, axis, ddof)


def sliding_std(a: ArrayLike, w: int, axis: int = -1, *, ddof: int = 0) -> NDArray[np.float64]:
    """The correctly rounded standard deviation of every ``w`` consecutive values along ``axis``."""
    return _sliding("std", a, w, axis, ddof)
