"""Exact models of the accumulator states, built from Fractions, and the
byte forms they must encode to. A test feeds the same values to a model and
to the real class and compares bytes."""

import math
from dataclasses import dataclass, field
from fractions import Fraction

from oracles import round_fraction

UNIT = Fraction(1, 2**1074)
MIN_NORMAL = 2.0**-1022
COUNT_MAX = 2**64 - 1
LIMB_MOD = 2**2176


@dataclass
class SumModel:
    total: Fraction = Fraction(0)  # exact finite part
    count: int = 0
    nan: bool = False
    pos_inf: bool = False
    neg_inf: bool = False

    def add(self, x: float, counted: bool = True) -> None:
        if counted:
            self.count = min(self.count + 1, COUNT_MAX)
        if math.isnan(x):
            self.nan = True
        elif math.isinf(x):
            if x > 0:
                self.pos_inf = True
            else:
                self.neg_inf = True
        else:
            self.total += Fraction(x)

    def form(self) -> bytes:
        n = self.total / UNIT
        assert n.denominator == 1
        limbs = int(n) % LIMB_MOD
        flags = self.nan | (self.pos_inf << 1) | (self.neg_inf << 2)
        return limbs.to_bytes(272, "little") + bytes([flags]) + self.count.to_bytes(8, "little")


def splits_inexactly(a: float, b: float) -> bool:
    """Whether a·b, with non-zero factors, escapes the rounded product plus
    fma error in a sum whose unit is 2^-1074: the product is subnormal or
    has a bit below the unit."""
    if a == 0 or b == 0 or not (math.isfinite(a) and math.isfinite(b)):
        return False
    return abs(a * b) < MIN_NORMAL or (Fraction(a) * Fraction(b) / UNIT).denominator != 1


@dataclass
class DotModel:
    sum: SumModel = field(default_factory=SumModel)
    exactness_lost: bool = False

    def push(self, a: float, b: float) -> None:
        p = a * b
        if math.isinf(p):
            self.sum.add(p)
            self.sum.count = min(self.sum.count + 1, COUNT_MAX)
            return
        if splits_inexactly(a, b):
            self.exactness_lost = True
        if math.isnan(p):
            e = math.nan
        else:  # fma(a, b, -p): the exact remainder rounded once
            e = round_fraction(Fraction(a) * Fraction(b) - Fraction(p))
        self.sum.add(p)
        self.sum.add(e)

    def form(self) -> bytes:
        return self.sum.form() + bytes([self.exactness_lost])


@dataclass
class MomentsModel:
    sum_x: SumModel = field(default_factory=SumModel)
    sum_xx: DotModel = field(default_factory=DotModel)

    def add(self, x: float) -> None:
        self.sum_x.add(x)
        self.sum_xx.push(x, x)

    def form(self) -> bytes:
        return self.sum_x.form() + self.sum_xx.form()


def fma(a: float, b: float, c: float) -> float:
    """Correctly rounded a*b + c for finite operands and a finite result."""
    return round_fraction(Fraction(a) * Fraction(b) + Fraction(c))


@dataclass
class Moments4Model:
    sum_x: SumModel = field(default_factory=SumModel)
    sum_xx: DotModel = field(default_factory=DotModel)
    sum_x3: DotModel = field(default_factory=DotModel)
    sum_x4: DotModel = field(default_factory=DotModel)
    square_underflow: bool = False

    def add(self, x: float) -> None:
        # Only finite x whose pieces stay finite are modelled here.
        p = x * x
        e = fma(x, x, -p)
        self.sum_x.add(x)
        self.sum_xx.push(x, x)
        if splits_inexactly(x, x):
            self.square_underflow = True
        self.sum_x3.push(x, p)
        self.sum_x3.push(x, e)
        for a, b in ((p, p), (p, e), (p, e), (e, e)):
            self.sum_x4.push(a, b)

    def form(self) -> bytes:
        return (
            self.sum_x.form()
            + self.sum_xx.form()
            + self.sum_x3.form()
            + self.sum_x4.form()
            + bytes([self.square_underflow])
        )
