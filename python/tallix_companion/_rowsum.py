"""Exact sums of many short rows, vectorised.

A reduction with many outputs (``sum(a, axis=1)`` over a tall array) would
need one state per row.  Most rows, though, hold values whose bits all lie
within 60 bits of the row's largest: scaled by a power of two they are
integers below 2^(62 - log2 n), their int64 sum is exact, and converting that
integer to float64 rounds it once.  Only the rows where that fails (a value
with bits far below the largest, a subnormal scale, NaN, infinities) are
summed one by one, with ``math.fsum``, itself exact and correctly rounded.
"""

from __future__ import annotations

import math

import numpy as np

import tallix

_EXACT_DTYPES = (np.float16, np.float32, np.float64)
_ROWS = 1 << 14  # rows per block: the block and its temporaries stay in cache
_LOWEST_SAFE_EXPONENT = -1022 + 64  # scaled results above this are normal floats


def row_sums(view: np.ndarray) -> np.ndarray:
    """Correctly rounded sums of the rows of a 2-D float array (NaN for NaN/inf rows)."""
    x = view.astype(np.float64, copy=False)
    rows, cols = x.shape
    out = np.zeros(rows)
    exact = np.ones(rows, dtype=bool)
    for lo in range(0, rows, _ROWS):
        _scaled_sums(x[lo : lo + _ROWS], out[lo : lo + _ROWS], exact[lo : lo + _ROWS])
    rest = np.flatnonzero(~exact)
    if rest.size:
        finite = np.isfinite(x[rest]).all(axis=1)
        out[rest[~finite]] = math.nan  # the caller asks numpy for its answer
        rest = rest[finite]
        out[rest] = [_fsum(r) for r in x[rest].tolist()]
    return out


def _fsum(row: list[float]) -> float:
    try:
        return math.fsum(row)
    except OverflowError:  # an intermediate beyond float64: the exact state has room
        state = tallix.SumF64()
        state.extend(row)
        return state.value()


def _scaled_sums(x: np.ndarray, out: np.ndarray, exact: np.ndarray) -> None:
    # Transposed, each row of the block is a column of contiguous scratch, and
    # the reductions over it run along numpy's fast (outer) axis.
    columns = np.ascontiguousarray(x.T)
    headroom = 62 - max(1, len(columns) - 1).bit_length()
    with np.errstate(invalid="ignore", over="ignore"):
        top = np.max(np.abs(columns), axis=0, initial=0.0)
        _, exponent = np.frexp(top)  # |x| < 2^exponent across the row
        shift = np.clip(headroom - exponent, -1000, 1000)
        scale, unscale = np.ldexp(1.0, shift), np.ldexp(1.0, -shift)
        ints = (columns * scale).astype(np.int64)
        # Scaling back must give every value again: this fails for bits below
        # the grid, and for values that scaling flushed to zero.
        exact &= np.all(ints * unscale == columns, axis=0)
        exact &= np.isfinite(top) & (exponent - headroom > _LOWEST_SAFE_EXPONENT)
        out[:] = ints.sum(axis=0).astype(np.float64) * unscale
