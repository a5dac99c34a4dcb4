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

import builtins
import math
from fractions import Fraction
from typing import Any, Callable, Sequence

import numpy as np
from numpy.lib.array_utils import normalize_axis_tuple
from numpy.typing import ArrayLike, NDArray

import tallix

from . import _engine as engine
from ._exact import DOT_BYTES, SUM_BYTES, UNIT_BITS, read_sum, sqrt_ratio, to_float
from ._rowsum import row_sums

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
    "default_workers",
]

Axis = int | Sequence[int] | None
default_workers = engine.default_workers
_many_outputs = 64  # kept positions beyond which sums take the vectorised row path


def sum(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum, rounded once; NaN or infinities give numpy's answer."""
    return _sum(a, axis, keepdims, workers, skip_nans=False)


def nansum(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum of the values that are not NaN, rounded once."""
    return _sum(a, axis, keepdims, workers, skip_nans=True)


def mean(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    """The exact sum divided by the count, rounded once."""
    return _moment(a, axis, keepdims, workers, "mean", None)


def nanmean(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False, workers: int | None = None) -> Any:
    return _moment(a, axis, keepdims, workers, "nanmean", None)


def var(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    """Σ(x - mean)² / (n - ddof) from the exact power sums, rounded once."""
    return _moment(a, axis, keepdims, workers, "var", ddof)


def nanvar(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    return _moment(a, axis, keepdims, workers, "nanvar", ddof)


def std(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    """The square root of the exact variance, rounded once."""
    return _moment(a, axis, keepdims, workers, "std", ddof)


def nanstd(
    a: ArrayLike, axis: Axis = None, *, ddof: float = 0, keepdims: bool = False, workers: int | None = None
) -> Any:
    return _moment(a, axis, keepdims, workers, "nanstd", ddof)


# ---------------------------------------------------------------------------
# Sums, means and variances


def _sum(a: ArrayLike, axis: Axis, keepdims: bool, workers: int | None, skip_nans: bool) -> Any:
    arr = engine.as_array(a)
    lay = engine.layout(arr, axis)
    rows, cols = lay.view.shape
    if rows > _many_outputs and cols < rows and lay.view.dtype.kind == "f" and lay.view.itemsize <= 8:
        view = engine.nan_free(lay.view) if skip_nans else lay.view
        values = row_sums(view)
    else:
        states = _sum_states(lay.view, workers, skip_nans)
        values = np.array([s.value() for s in states], dtype=np.float64)
    special = ~np.isfinite(values)
    if special.any():  # NaN, infinities or overflow: numpy's answer and warnings
        ref = (np.nansum if skip_nans else np.sum)(arr, axis=axis)
        values[special] = np.asarray(ref, dtype=np.float64).reshape(-1)[special]
    return engine.shape_result(values, lay, keepdims)


def _sum_states(view: np.ndarray, workers: int | None, skip_nans: bool) -> list[Any]:
    # SumF64.extend releases the interpreter lock over arrays, so workers run in
    # parallel; FastSumF64.extend holds it by contract.
    return engine.build([view], tallix.SumF64, workers, skip_nans)


_NUMPY_MOMENTS: dict[str, Callable[..., Any]] = {
    "mean": np.mean,
    "nanmean": np.nanmean,
    "var": np.var,
    "nanvar": np.nanvar,
    "std": np.std,
    "nanstd": np.nanstd,
}


def _moment(a: ArrayLike, axis: Axis, keepdims: bool, workers: int | None, name: str, ddof: float | None) -> Any:
    arr = engine.as_array(a)
    lay = engine.layout(arr, axis)
    skip_nans = name.startswith("nan")
    needs_squares = ddof is not None
    # A mean asks its state only over many rows, where MomentsF64's squares
    # cost less than the rationals they save.
    many = lay.view.shape[0] > _many_outputs
    asked = _QUERIES.get((name.removeprefix("nan"), ddof)) if needs_squares or many else None
    make = tallix.MomentsF64 if needs_squares or asked else tallix.SumF64
    states = engine.build([lay.view], make, workers, skip_nans)
    missing = (engine.nan_counts(lay.view) if skip_nans else np.zeros(len(states), dtype=np.int64)).tolist()
    results: list[float | None] = []
    for k, state in enumerate(states):
        answer = _query(state, asked) if asked and missing[k] == 0 else None
        if answer is not None:
            results.append(answer)
            continue
        blob = state.to_bytes()
        s1 = read_sum(blob, 0)
        n = s1.n - missing[k]
        if not needs_squares:
            results.append(to_float(s1.scaled, n << UNIT_BITS) if s1.finite and n > 0 else None)
            continue
        s2 = read_sum(blob, SUM_BYTES, product=True)
        if (s2.exactness_lost or s2.flags) and s1.flags == 0 and n > 0:
            # Squares beyond the float64 range or below its normal range:
            # the values themselves still give the exact sums.
            s1, s2 = _exact_sums(lay.view[k])
        results.append(_variance(s1, s2, n, Fraction(ddof or 0), name.endswith("std")))
    values = np.array([np.nan if r is None else r for r in results], dtype=np.float64)
    specials = [k for k, r in enumerate(results) if r is None]
    if specials:
        kwargs = {} if ddof is None else {"ddof": ddof}
        ref = np.asarray(_NUMPY_MOMENTS[name](arr, axis=axis, **kwargs), dtype=np.float64)
        values[specials] = ref.reshape(-1)[specials]
    return engine.shape_result(values, lay, keepdims)


# The statistics a MomentsF64 answers itself, rounded once, far sooner than
# the rationals below: per row they set the pace of many-row reductions. (Its
# stddev is the root of the rounded variance, so std keeps the exact root.)
_QUERIES: dict[tuple[str, float | None], str] = {
    ("mean", None): "mean",
    ("var", 0): "variance",
    ("var", 1): "sample_variance",
}


def _query(state: Any, name: str) -> float | None:
    """The state's own answer when it is a finite number, else None."""
    try:
        answer = float(getattr(state, name)())
    except (ValueError, ArithmeticError):
        return None
    return answer if math.isfinite(answer) else None


def _variance(s1: Any, s2: Any, n: int, ddof: Fraction, root: bool) -> float | None:
    if not (s1.finite and s2.finite) or n - ddof <= 0:
        return None
    # n·Σx² − (Σx)² over n·(n − ddof), both sums in units of 2^-1074.
    num = (n * s2.scaled * (1 << UNIT_BITS) - s1.scaled * s1.scaled) * ddof.denominator
    den = n * (n * ddof.denominator - ddof.numerator) << (2 * UNIT_BITS)
    q = Fraction(num) / den  # integers, unless squares below the normal range were summed
    return sqrt_ratio(q.numerator, q.denominator) if root else to_float(q.numerator, q.denominator)


def _exact_sums(row: np.ndarray) -> tuple[Any, Any]:
    """Σx and Σx² of one row from its values, for squares outside the normal range."""
    values = [Fraction(float(x)) for x in row.tolist() if x == x]
    scale = 1 << UNIT_BITS
    s1 = builtins.sum(values, Fraction(0)) * scale
    s2 = builtins.sum((v * v for v in values), Fraction(0)) * scale
    return _Rational(s1), _Rational(s2)


class _Rational:
    """An exact sum that is not an integer multiple of 2^-1074 (tiny squares)."""

    finite = True

    def __init__(self, scaled: Fraction) -> None:
        self.scaled = scaled


# ---------------------------------------------------------------------------
# Weighted mean, dot product, covariance, correlation


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
        arr = engine.as_array(a)
        count = arr.size // max(1, np.size(avg)) if np.ndim(avg) else arr.size
        return avg, np.full_like(avg, float(count))
    arr = engine.as_array(a)
    w = _broadcast_weights(arr, engine.as_array(weights), axis)
    lay = engine.layout(arr, axis)
    wlay = engine.layout(w, axis)
    states = engine.build([wlay.view, lay.view], tallix.CovF64, workers)
    pairs = [_weighted(s.to_bytes()) for s in states]
    if any(p is None for p in pairs):
        numpy_average: Any = np.average  # numpy's answer, and its error for zero weights
        return numpy_average(arr, axis, weights, returned, keepdims=keepdims)
    avg = engine.shape_result(np.array([p[0] for p in pairs]), lay, keepdims)  # type: ignore[index]
    if not returned:
        return avg
    total = engine.shape_result(np.array([p[1] for p in pairs]), lay, keepdims)  # type: ignore[index]
    return avg, total


def _broadcast_weights(arr: np.ndarray, w: np.ndarray, axis: Axis) -> np.ndarray:
    if w.shape == arr.shape:
        return w
    if axis is None:
        raise TypeError("Axis must be specified when shapes of a and weights differ.")
    if w.ndim != 1:
        raise TypeError("1D weights expected when shapes of a and weights differ.")
    (ax,) = normalize_axis_tuple(axis, arr.ndim)
    if w.shape[0] != arr.shape[ax]:
        raise ValueError("Length of weights not compatible with specified axis.")
    shape = [1] * arr.ndim
    shape[ax] = -1
    return np.broadcast_to(w.reshape(shape), arr.shape)


_SUM_XY = 2 * SUM_BYTES + 2 * DOT_BYTES


def _weighted(blob: bytes) -> tuple[float, float] | None:
    sw = read_sum(blob, 0)
    swx = read_sum(blob, _SUM_XY, product=True)
    if not (sw.finite and swx.finite and read_sum(blob, SUM_BYTES).finite) or sw.scaled == 0:
        return None  # numpy answers (and raises for weights that sum to zero)
    sign = -1 if sw.scaled < 0 else 1
    return to_float(sign * swx.scaled, sign * sw.scaled), to_float(sw.scaled, 1 << UNIT_BITS)


def dot(a: ArrayLike, b: ArrayLike) -> Any:
    """Σ a·b of two 1-D inputs, rounded once."""
    x, y = engine.as_array(a), engine.as_array(b)
    if x.ndim != 1 or y.ndim != 1 or x.shape != y.shape:
        if x.ndim == 1 and y.ndim == 1:
            return np.dot(x, y)  # numpy's error for mismatched lengths
        raise ValueError("tallix_companion.numpy.dot takes two 1-D inputs")
    state = tallix.CovF64()
    state.extend(x, y)
    blob = state.to_bytes()
    sxy = read_sum(blob, _SUM_XY, product=True)
    if not sxy.finite:
        return np.float64(np.dot(x, y))
    return np.float64(to_float(sxy.scaled, 1 << UNIT_BITS))


def cov(m: ArrayLike, y: ArrayLike, rowvar: bool = True, bias: bool = False, ddof: int | None = None) -> Any:
    """The 2×2 covariance matrix of two 1-D inputs, numpy's defaults (ddof 1)."""
    x, yy, blob = _pair(m, y)
    d = Fraction(ddof if ddof is not None else (0 if bias else 1))
    sums = [read_sum(blob, 0), read_sum(blob, SUM_BYTES)]
    products = {(i, j): read_sum(blob, off, product=True) for (i, j), off in _PRODUCTS.items()}
    n = sums[0].n
    if n - d <= 0 or not all(s.finite for s in [*sums, *products.values()]):
        return np.cov(x, yy, rowvar=rowvar, bias=bias, ddof=ddof)
    out = np.empty((2, 2))
    den = n * (n * d.denominator - d.numerator) << (2 * UNIT_BITS)
    for (i, j), p in products.items():
        num = ((n * p.scaled << UNIT_BITS) - sums[i].scaled * sums[j].scaled) * d.denominator
        out[i, j] = out[j, i] = to_float(num, den)
    return out


_PRODUCTS = {(0, 0): 2 * SUM_BYTES, (1, 1): 2 * SUM_BYTES + DOT_BYTES, (0, 1): _SUM_XY}


def corrcoef(x: ArrayLike, y: ArrayLike, rowvar: bool = True) -> Any:
    """The 2×2 correlation matrix of two 1-D inputs; r is rounded once."""
    xs, ys, blob = _pair(x, y)
    sums = [read_sum(blob, 0), read_sum(blob, SUM_BYTES)]
    products = {(i, j): read_sum(blob, off, product=True) for (i, j), off in _PRODUCTS.items()}
    n = sums[0].n
    spread = {k: n * p.scaled * (1 << UNIT_BITS) - sums[k[0]].scaled * sums[k[1]].scaled for k, p in products.items()}
    if not all(s.finite for s in [*sums, *products.values()]) or spread[0, 0] == 0 or spread[1, 1] == 0:
        return np.corrcoef(xs, ys, rowvar=rowvar)
    r = sqrt_ratio(spread[0, 1] ** 2, spread[0, 0] * spread[1, 1])
    r = -r if spread[0, 1] < 0 else r
    return np.array([[1.0, r], [r, 1.0]])


def _pair(a: ArrayLike, b: ArrayLike) -> tuple[np.ndarray, np.ndarray, bytes]:
    x, y = engine.as_array(a), engine.as_array(b)
    if x.ndim != 1 or y.ndim != 1:
        raise ValueError("tallix_companion.numpy.cov and corrcoef take two 1-D inputs")
    if x.shape != y.shape:
        raise ValueError("all the input array dimensions except for the concatenation axis must match exactly")
    state = tallix.CovF64()
    state.extend(x, y)
    return x, y, state.to_bytes()


# ---------------------------------------------------------------------------
# Histogram


def histogram(
    a: ArrayLike, bins: int | ArrayLike = 10, range: tuple[float, float] | None = None
) -> tuple[NDArray[np.intp], NDArray[np.float64]]:
    """numpy's edges and counts, the last bin closed, NaNs not counted."""
    arr = engine.as_array(a).ravel()
    edges = np.histogram_bin_edges(arr, bins, range)
    try:
        state = tallix.HistogramF64(edges)
    except ValueError:  # edges numpy accepts but a histogram state does not (repeats)
        return np.histogram(arr, bins, range)
    state.extend(arr)
    counts = np.array(state.counts()[1:-1], dtype=np.intp)
    counts[-1] += np.count_nonzero(arr == edges[-1])
    return counts, edges
