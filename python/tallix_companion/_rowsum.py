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
_LOWEST_SAFE_EXPONENT = -1022 + 64  # scaled results above this are normal floats


def row_sums(view: np.ndarray) -> np.ndarray:
    """Correctly rounded sums of the rows of a 2-D float array (NaN for NaN/inf rows)."""
    x = view.astype(np.float64, copy=False)
    rows, cols = x.shape
    headroom = 62 - max(1, cols - 1).bit_length()
    with np.errstate(invalid="ignore", over="ignore"):
        top = np.max(np.abs(x), axis=1) if cols else np.zeros(rows)
        _, exponent = np.frexp(top)  # |x| < 2^exponent across the row
        shift = (headroom - exponent).astype(np.int32)
        scaled = np.ldexp(x, shift[:, None])
        ints = scaled.astype(np.int64)
        exact = np.all(ints == scaled, axis=1) & np.isfinite(top)
        exact &= exponent - headroom > _LOWEST_SAFE_EXPONENT
        out = np.ldexp(ints.sum(axis=1).astype(np.float64), -shift)
    for k in np.flatnonzero(~exact).tolist():
        out[k] = _one_row(x[k])
    return out


def _one_row(row: np.ndarray) -> float:
    if not np.isfinite(row).all():
        return math.nan  # the caller asks numpy for its answer
    try:
        return math.fsum(row.tolist())
    except OverflowError:  # an intermediate beyond float64: the exact state has room
        state = tallix.SumF64()
        state.extend(row)
        return state.value()
