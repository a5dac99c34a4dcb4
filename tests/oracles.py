"""Exact reference arithmetic shared by the tests."""

import math
import struct
from fractions import Fraction


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def same_float(a: float, b: float) -> bool:
    """Bitwise equality, except that any two NaNs agree."""
    if math.isnan(a) and math.isnan(b):
        return True
    return bits(a) == bits(b)


def outcome(state, query):
    """A query's result as its bit pattern, or the message of its ValueError."""
    try:
        return bits(getattr(state, query)())
    except ValueError as e:
        return str(e)


def round_fraction(q: Fraction, p: int = 53, emin: int = -1022, emax: int = 1023) -> float:
    """q rounded to nearest, ties to even, in a binary format with p significand
    bits (p - 1 stored), exponents emin..emax, gradual underflow and overflow to
    infinity; a nonzero q that rounds to zero keeps its sign."""
    if q == 0:
        return 0.0
    neg = q < 0
    a = -q if neg else q
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if a < Fraction(2) ** e:
        e -= 1
    s = max(e, emin) - (p - 1)  # exponent of the last place
    scaled = a / Fraction(2) ** s
    m = scaled.numerator // scaled.denominator
    r = scaled - m
    if r > Fraction(1, 2) or (r == Fraction(1, 2) and m % 2 == 1):
        m += 1
    if m == 2**p:
        m //= 2
        s += 1
    if m != 0 and s + p - 1 > emax:
        out = math.inf
    else:
        out = math.ldexp(m, s)
    return -out if neg else out


def round_f32(q: Fraction) -> float:
    return round_fraction(q, 24, -126, 127)


def exact_sum(xs) -> Fraction:
    return sum((Fraction(x) for x in xs), Fraction(0))
