"""Moments4F64: skewness and kurtosis from exact power sums, rounded once."""

import math
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix
from byte_forms import Moments4Model
from oracles import bits, outcome, round_fraction

NAN, INF = math.nan, math.inf
QUERIES = ["mean", "variance", "skewness", "skewness_squared", "kurtosis", "excess_kurtosis"]


def fed(xs):
    m = tallix.Moments4F64()
    for x in xs:
        m.add(x)
    return m


def oracle(xs):
    """Every query's expected bits, from exact central moments."""
    n = len(xs)
    mean = sum(map(Fraction, xs)) / n
    m2, m3, m4 = (sum((Fraction(x) - mean) ** k for x in xs) / n for k in (2, 3, 4))
    out = {"mean": round_fraction(mean), "variance": round_fraction(m2)}
    if m2 == 0:
        out.update(dict.fromkeys(QUERIES[2:], "Degenerate"))
        return {k: v if isinstance(v, str) else bits(v) for k, v in out.items()}
    sq = round_fraction(m3 * m3 / m2**3)
    sq = -sq if m3 < 0 else sq
    out["skewness_squared"] = sq
    out["skewness"] = -math.sqrt(-sq) if sq < 0 else math.sqrt(sq)
    out["kurtosis"] = round_fraction(m4 / m2**2)
    out["excess_kurtosis"] = round_fraction(m4 / m2**2 - 3)
    return {k: bits(v) for k, v in out.items()}


def test_empty_state():
    m = tallix.Moments4F64()
    assert [outcome(m, q) for q in QUERIES] == ["Empty"] * 6
    assert m.count() == 0
    assert m.to_bytes() == bytes(1128)


@pytest.mark.parametrize(
    "xs, expected",
    [
        ([2.0], [2.0, 0.0] + ["Degenerate"] * 4),
        ([1.0, 2.0, 3.0, 4.0], [2.5, 1.25, 0.0, 0.0, 1.64, -1.36]),
        ([0.0, 0.0, 3.0], [1.0, 2.0, 0.7071067811865476, 0.5, 1.5, -1.5]),
        ([0.0, 0.0, -3.0], [-1.0, 2.0, -0.7071067811865476, -0.5, 1.5, -1.5]),
        ([1e100], [1e100] + ["NonFinite"] * 5),  # the fourth power overflows
        ([1e-80], [1e-80] + ["ExactnessLost"] * 5),  # the fourth power underflows
        ([1e-170], [1e-170] + ["ExactnessLost"] * 5),  # the square underflows
        ([1e-170, NAN], ["NonFinite"] + ["ExactnessLost"] * 5),  # underflow is checked first
        ([NAN], ["NonFinite"] * 6),
        ([INF, 1.0], ["NonFinite"] * 6),
    ],
)
def test_worked_values_and_first_failures(xs, expected):
    m = fed(xs)
    assert [outcome(m, q) for q in QUERIES] == [bits(v) if isinstance(v, float) else v for v in expected]


@pytest.mark.parametrize(
    "x, flags",
    [
        # Infinite x: the square's fma error is NaN, and the pushes receive it.
        (INF, (0b010, 0b010, 0b011, 0b011)),
        (-INF, (0b100, 0b010, 0b101, 0b011)),
        (NAN, (0b001, 0b001, 0b001, 0b001)),
    ],
)
def test_non_finite_observation_flags(x, flags):
    b = fed([x]).to_bytes()
    assert (b[272], b[553], b[835], b[1117]) == flags
    assert (b[562], b[844], b[1126], b[1127]) == (0, 0, 0, 0)


def test_counts_grow_by_one_two_four_eight():
    b = fed([1.0, -2.0, 0.0]).to_bytes()
    counts = [int.from_bytes(b[o : o + 8], "little") for o in (273, 554, 836, 1118)]
    assert counts == [3, 6, 12, 24]


moderate = st.floats(min_value=-1e60, max_value=1e60).filter(lambda v: v == 0 or abs(v) > 1e-60)


@settings(max_examples=80, deadline=None)
@given(st.lists(moderate, min_size=1, max_size=12))
def test_queries_match_exact_central_moments(xs):
    m = fed(xs)
    want = oracle(xs)
    assert {q: outcome(m, q) for q in QUERIES} == want


wide = st.floats(min_value=-1e150, max_value=1e150)


@settings(max_examples=80, deadline=None)
@given(st.lists(wide, max_size=8))
def test_bytes_match_exact_model(xs):
    model = Moments4Model()
    for x in xs:
        model.add(x)
    m = fed(xs)
    assert m.to_bytes() == model.form()
    assert tallix.Moments4F64.from_bytes(m.to_bytes()).state_hash() == m.state_hash()


@settings(max_examples=40, deadline=None)
@given(st.lists(wide, max_size=10), st.randoms(use_true_random=False))
def test_order_and_partition_invariance(xs, rnd):
    whole = fed(xs)
    ys = xs[:]
    rnd.shuffle(ys)
    cut = rnd.randint(0, len(ys))
    merged = fed(ys[:cut])
    merged.merge(fed(ys[cut:]))
    assert merged.to_bytes() == whole.to_bytes()
    assert merged.state_hash() == whole.state_hash()
