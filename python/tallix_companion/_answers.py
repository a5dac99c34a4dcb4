"""Exact answers for samples of any range: the core answers, this module picks the parts.

A state holds a square or a product exactly only while it stays inside the
normal binary64 range, so values beyond about 2^±511 cannot be squared in
place.  Such samples are fed in exponent bands instead: each band is scaled
towards 1 by a power of two (exact, since every scaled value stays normal)
and fed to its own state, and the core reads the bands back as one sample
(``tallix._moments`` and ``tallix._cov`` take a list of ``(state, scale)``
parts).  Integers take their own exact path: their sums are Python ints.

The usual sample needs one unscaled state; the bands are built only when the
core says a square or product left the exact range (it answers None).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import tallix

MomentParts = list[tuple[Any, int]]  # (MomentsF64, scale): the state was fed x·2^scale
PairParts = list[tuple[Any, int, int]]  # (CovF64, scale of x, scale of y)

_LOWEST_EXPONENT = -1074  # frexp's exponent of the smallest subnormal, less one
_BAND_BITS = 512  # a band's values, scaled, lie within 2^±256: their squares within 2^±512
_INTEGER_KINDS = frozenset("iub")


def _bands(values: np.ndarray) -> np.ndarray:
    _, exponent = np.frexp(values.astype(np.float64, copy=False))
    return np.asarray((exponent - _LOWEST_EXPONENT) // _BAND_BITS)


def _scale(band: int) -> int:
    """The power of two that brings a band's middle exponent to 0."""
    low = _LOWEST_EXPONENT + band * _BAND_BITS
    high = min(low + _BAND_BITS, 1025)
    return -((low + high) // 2)


def _scaled(values: np.ndarray, scale: int) -> np.ndarray:
    return np.ldexp(values.astype(np.float64, copy=False), scale)


# ---------------------------------------------------------------------------
# One variable


def moment_parts(values: np.ndarray) -> MomentParts:
    """Parts that hold the 1-D real ``values`` exactly, squares included."""
    state = tallix.MomentsF64()
    state.extend(values)
    if tallix._moments("var", state, 0, 0) is not None:
        return [(state, 0)]
    return banded_moments(values)


def banded_moments(values: np.ndarray) -> MomentParts:
    bands = _bands(values)
    parts: MomentParts = []
    for band in np.unique(bands).tolist():
        state = tallix.MomentsF64()
        scale = _scale(band)
        state.extend(_scaled(values[bands == band], scale))
        parts.append((state, scale))
    return parts


def moments(values: np.ndarray, what: str, ddof: float = 0) -> float:
    """``mean``, ``var`` or ``std`` of 1-D values, rounded once; NaN where undefined.

    Integer values take the integer path, exact at any width; missing values
    must be gone already.
    """
    if values.dtype.kind in _INTEGER_KINDS:
        s1, s2 = tallix._int_sums(values.reshape(1, -1))
        return float(tallix._int_answer(what, (s1[0], s2[0], values.size), ddof))
    if what == "mean":
        total = tallix.SumF64()
        total.extend(values)
        return answer(total, "mean")
    return answer(moment_parts(values), what, ddof)


def answer(parts: Any, what: str, ddof: float = 0, missing: int = 0) -> float:
    """The core's answer for a state or parts; parts must be exact (never None)."""
    result = tallix._moments(what, parts, ddof, missing)
    if result is None:
        raise ValueError("the parts do not hold every square exactly; build them with moment_parts")
    return float(result)


def combine(first: MomentParts, second: MomentParts) -> MomentParts:
    """The parts of two samples taken together: states of one scale merged, new states."""
    merged: dict[int, Any] = {}
    for state, scale in [*first, *second]:
        if scale not in merged:
            merged[scale] = type(state)()
        merged[scale].merge(state)
    return sorted(((s, k) for k, s in merged.items()), key=lambda p: p[1])


def dump_parts(parts: MomentParts) -> list[tuple[bytes, int]]:
    return [(state.to_bytes(), scale) for state, scale in parts]


def load_parts(dumped: Sequence[tuple[bytes, int]]) -> MomentParts:
    return [(tallix.MomentsF64.from_bytes(blob), int(scale)) for blob, scale in dumped]


# ---------------------------------------------------------------------------
# Integers


def integer_sums(rows: np.ndarray) -> tuple[list[int], list[int]]:
    """Exact Σx and Σx² of each row of a 2-D integer array, as Python ints."""
    if not rows.dtype.isnative:
        rows = rows.astype(rows.dtype.newbyteorder("="))
    s1, s2 = tallix._int_sums(rows)
    return s1, s2


def integer_sum(values: np.ndarray) -> int:
    return int(integer_sums(values.reshape(1, -1))[0][0])


def integer_answer(what: str, s1: int, s2: int, n: int, ddof: float = 0) -> float:
    return float(tallix._int_answer(what, (s1, s2, n), ddof))


# ---------------------------------------------------------------------------
# Two variables


def pair_parts(x: np.ndarray, y: np.ndarray) -> PairParts:
    """Parts that hold the pairs exactly, every square and cross product included."""
    state = tallix.CovF64()
    state.extend(x, y)
    if tallix._cov("corr", state, 0) is not None:
        return [(state, 0, 0)]
    bx, by = _bands(x), _bands(y)
    parts: PairParts = []
    for band_x, band_y in sorted(set(zip(bx.tolist(), by.tolist(), strict=True))):
        chosen = (bx == band_x) & (by == band_y)
        part = tallix.CovF64()
        sx, sy = _scale(band_x), _scale(band_y)
        part.extend(_scaled(x[chosen], sx), _scaled(y[chosen], sy))
        parts.append((part, sx, sy))
    return parts


def pair(parts: PairParts, what: str, ddof: float = 0) -> float:
    result = tallix._cov(what, parts, ddof)
    if result is None:
        raise ValueError("the parts do not hold every product exactly; build them with pair_parts")
    return float(result)


def pair_answer(x: np.ndarray, y: np.ndarray, what: str, ddof: float = 0) -> float:
    """``cov``, ``var_x``, ``var_y``, ``corr``, ``ratio`` (Σxy/Σx), ``sum_x`` or ``sum_xy``."""
    return pair(pair_parts(x, y), what, ddof)
