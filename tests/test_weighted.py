"""WeightedMomentsF64: exact weighted mean and variance, rounded once."""

import math
import random
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import bits, round_fraction
from tallix import WeightedMomentsF64

exact_floats = st.builds(math.ldexp, st.integers(-(2**53), 2**53), st.integers(-80, 80))


def make(pairs):
    m = WeightedMomentsF64()
    for x, w in pairs:
        m.add(x, w)
    return m


def errors(m):
    out = []
    for q in (m.mean, m.variance):
        with pytest.raises(ValueError) as e:
            q()
        out.append(str(e.value))
    return out


def test_empty_and_known_values():
    m = WeightedMomentsF64()
    assert m.count() == 0 and errors(m) == ["Empty", "Empty"]
    assert m.to_bytes() == bytes(846)
    m = make([(1.0, 1.0), (2.0, 1.0), (3.0, 2.0)])
    assert (m.count(), m.mean(), m.variance()) == (3, 2.25, 0.6875)


# Its square's lowest bit weighs 2^-1074: the rounded square is exact to the
# unit and normal, its error term 2^-1074.
ON_THE_UNIT = 2.0**-490 * (1 + 2.0**-47)


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([(5.0, 0.0)], "Degenerate"),
        ([(1.0, 1.0), (2.0, -1.0)], "Degenerate"),  # weights sum to zero
        ([(1.0, -3.0), (2.0, 1.0)], "Degenerate"),  # negative sum of weights
        ([(1.0, math.nan)], "NonFinite"),
        ([(1.0, math.inf)], "NonFinite"),
        ([(1e200, 1.0)], "NonFinite"),  # x² overflows
        ([(1e-200, 1.0)], "ExactnessLost"),  # x² underflows: square_underflow
        ([(1e-150, 1.0)], "ExactnessLost"),  # x² normal, with bits below 2^-1074
        ([(ON_THE_UNIT, 1.0)], "ExactnessLost"),  # x² split exactly, its error term subnormal
        ([(1e-200, math.nan)], "ExactnessLost"),  # square_underflow precedes sum_w
        # sum_wx is read before sum_wxx: its flags decide first.
        ([(2.0**40, 2.0**-1070), (1e200, 1.0)], "ExactnessLost"),
        ([(math.inf, 1.0), (ON_THE_UNIT, 1.0)], "NonFinite"),
    ],
)
def test_failures(pairs, message):
    m = make(pairs)
    before = m.to_bytes()
    assert errors(m) == [message, message]
    assert m.to_bytes() == before


def test_zero_value_sets_nothing():
    m = make([(0.0, 1.0), (2.0, 3.0)])
    assert m.mean() == 1.5
    assert m.to_bytes()[845] == 0


def test_negative_weights_can_give_negative_variance():
    pairs = [(0.0, 2.0), (1.0, -1.0)]
    m = make(pairs)
    assert m.variance() == round_fraction(Fraction(-2))  # (1·(−1) − 1) / 1


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(exact_floats, exact_floats), min_size=1, max_size=12))
def test_matches_exact_rationals(pairs):
    m = make(pairs)
    w = sum(Fraction(b) for _, b in pairs)
    wx = sum(Fraction(a) * Fraction(b) for a, b in pairs)
    wxx = sum(Fraction(a) ** 2 * Fraction(b) for a, b in pairs)
    if w <= 0:
        assert errors(m) == ["Degenerate", "Degenerate"]
        return
    assert bits(m.mean()) == bits(round_fraction(wx / w))
    assert bits(m.variance()) == bits(round_fraction((w * wxx - wx * wx) / (w * w)))


def test_two_pairs_either_way():
    a = make([(0.1, 3.0), (0.2, 5.0)])
    b = make([(0.2, 5.0), (0.1, 3.0)])
    c, d = make([(0.1, 3.0)]), make([(0.2, 5.0)])
    d.merge(c)
    assert a.to_bytes() == b.to_bytes() == d.to_bytes()
    expected = (Fraction(0.1) * 3 + Fraction(0.2) * 5) / 8
    assert bits(a.mean()) == bits(round_fraction(expected))


def test_merge_self_refused():
    m = make([(1.0, 1.0)])
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        m.merge(m)


def test_bytes_round_trip_and_validation():
    rng = random.Random(3)
    pairs = [(rng.uniform(-9, 9), rng.uniform(0, 4)) for _ in range(10)]
    for extra in ([], [(1e-200, 1.0)], [(math.nan, 1.0)]):
        m = make(pairs + extra)
        assert WeightedMomentsF64.from_bytes(m.to_bytes()).to_bytes() == m.to_bytes()
    for length in (845, 847):
        with pytest.raises(ValueError, match="^wrong byte length$"):
            WeightedMomentsF64.from_bytes(bytes(length))
    for offset, value in ((272, 8), (281 + 272, 8), (563 + 272, 8), (562, 2), (844, 2), (845, 2)):
        raw = bytearray(846)
        raw[offset] = value
        with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
            WeightedMomentsF64.from_bytes(bytes(raw))
