"""Exact sums of many short rows, vectorised.

A reduction with many outputs (``sum(a, axis=1)`` over a tall array) would
need one state per row.  Most rows, though, hold values whose bits all lie
within about 115 bits of the row's largest: scaled by a power of two, each
value splits into two integers on two grids (high bits, low bits), the int64
sums of both are exact, and the pair is rounded once.  Only the rows where
that fails (a value with bits far below the largest, heavy cancellation, a
subnormal scale, NaN, infinities) are summed one by one, with ``math.fsum``,
itself exact and correctly rounded.
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
    headroom = 61 - max(1, len(columns) - 1).bit_length()  # 2·|A| + 1 fits an int64
    with np.errstate(invalid="ignore", over="ignore"):
        top = np.max(np.abs(columns), axis=0, initial=0.0)
        _, exponent = np.frexp(top)  # |x| < 2^exponent across the row
        shift = np.clip(headroom - exponent, -1000, 1000)
        scale, grid = np.ldexp(1.0, shift), np.ldexp(1.0, -shift)
        high = (columns * scale).astype(np.int64)
        rest = columns - high * grid  # the bits below the grid, exactly
        low = (rest * (scale * 2.0**headroom)).astype(np.int64)
        # Scaling back must give every remainder again: this fails for bits
        # below the second grid, and for values that scaling flushed to zero.
        exact &= np.all(low * (grid * 2.0**-headroom) == rest, axis=0)
        exact &= np.isfinite(top) & (exponent - 2 * headroom > _LOWEST_SAFE_EXPONENT)
        out[:] = _round_two_level(high.sum(axis=0), low.sum(axis=0), headroom, exact) * grid


def _round_two_level(a: np.ndarray, b: np.ndarray, bits: int, exact: np.ndarray) -> np.ndarray:
    """a + b·2^-bits rounded once to float64, where a and b are int64 sums.

    Written as sign·(m + l·2^-bits) with 0 <= l < 2^bits, the fraction only
    decides a rounding when m has 53 bits or more (then it is a sticky bit
    below m's last), or when it is zero; other rows are left to the caller.
    """
    a = a + (b >> bits)
    low = b & ((1 << bits) - 1)
    negative = a < 0
    borrow = negative & (low > 0)
    m = np.where(negative, -a - borrow, a)
    rem = np.where(borrow, (1 << bits) - low, low)
    exact &= (m >= 1 << 52) | (rem == 0)
    doubled = (2 * m + (rem > 0)).astype(np.float64) * 0.5
    return np.where(negative, -doubled, doubled)
