"""Exact rationals read back from the documented byte forms of the states.

Every sum inside a state is a 2176-bit two's-complement integer in units of
2^-1074, followed by a flag byte (bit 0 NaN, bit 1 +inf, bit 2 -inf) and a
u64 count; a product sum adds one byte that is set when a product fell below
the normal range and so lost bits.  Reading those integers lets a statistic
that the class does not offer (a variance with any ``ddof``, a weighted mean
with negative weights) be formed exactly and rounded once.
"""

from __future__ import annotations

import math
from typing import NamedTuple

SUM_BYTES = 281
DOT_BYTES = 282
_LIMB_BYTES = 272
UNIT_BITS = 1074  # one unit of a limb integer is 2^-1074


class ExactSum(NamedTuple):
    """One exact sum: the integer N (value N * 2^-1074), its flags, its count."""

    scaled: int
    flags: int
    n: int  # the values added
    exactness_lost: bool = False

    @property
    def finite(self) -> bool:
        return self.flags == 0 and not self.exactness_lost


def read_sum(blob: bytes, offset: int, product: bool = False) -> ExactSum:
    """The sum stored at ``offset`` of a state's bytes (a product sum when ``product``)."""
    scaled = int.from_bytes(blob[offset : offset + _LIMB_BYTES], "little", signed=True)
    flags = blob[offset + _LIMB_BYTES]
    count = int.from_bytes(blob[offset + _LIMB_BYTES + 1 : offset + SUM_BYTES], "little")
    lost = product and blob[offset + SUM_BYTES] != 0
    return ExactSum(scaled, flags, count, lost)


def to_float(num: int, den: int) -> float:
    """num / den rounded once to the nearest float64 (den > 0); overflow gives ±inf."""
    try:
        return num / den  # int true division rounds correctly
    except OverflowError:
        return math.inf if num > 0 else -math.inf


def sqrt_ratio(num: int, den: int) -> float:
    """sqrt(num / den) rounded once to the nearest float64 (num >= 0, den > 0).

    With at least 55 significant bits in the integer root r, no rounding
    boundary of a 53-bit result lies strictly between r and r + 1, so the
    inexact root can stand in as r + 1/2.
    """
    if num == 0:
        return 0.0
    shift = max(0, (112 - num.bit_length() + den.bit_length()) // 2 + 1)
    scaled, rest = divmod(num << (2 * shift), den)
    root = math.isqrt(scaled)
    if rest == 0 and root * root == scaled:
        return to_float(root, 1 << shift)
    return to_float(2 * root + 1, 1 << (shift + 1))
