"""CovF64: exact co-moments rounded once, against Fraction oracles."""

import math
import random
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import bits, round_fraction
from tallix import CovF64

QUERIES = ["covariance", "slope", "intercept", "r_squared", "correlation"]
SUM_GROUPS = [0, 281]  # sum_x, sum_y
DOT_GROUPS = [562, 844, 1126]  # sum_xx, sum_yy, sum_xy

# Finite floats whose products stay well inside the normal range.
exact_floats = st.builds(math.ldexp, st.integers(-(2**53), 2**53), st.integers(-80, 80))


def make(pairs):
    c = CovF64()
    for x, y in pairs:
        c.add(x, y)
    return c


def error_of(c, query):
    with pytest.raises(ValueError) as e:
        getattr(c, query)()
    return str(e.value)


def oracle(pairs):
    n = len(pairs)
    xs = [Fraction(x) for x, _ in pairs]
    ys = [Fraction(y) for _, y in pairs]
    sx, sy = sum(xs), sum(ys)
    cxy = n * sum(x * y for x, y in zip(xs, ys, strict=True)) - sx * sy
    cxx = n * sum(x * x for x in xs) - sx * sx
    cyy = n * sum(y * y for y in ys) - sy * sy
    out = {"covariance": round_fraction(cxy / (n * n))}
    if cxx != 0:
        out["slope"] = round_fraction(cxy / cxx)
        out["intercept"] = round_fraction((sy * cxx - sx * cxy) / (n * cxx))
    if cxx * cyy != 0:
        r2 = round_fraction(cxy * cxy / (cxx * cyy))
        out["r_squared"] = r2
        out["correlation"] = math.copysign(math.sqrt(r2), -1.0 if cxy < 0 else 1.0)
    return out


def test_empty_state():
    c = CovF64()
    assert c.count() == 0
    assert c.to_bytes() == bytes(1408)
    assert all(error_of(c, q) == "Empty" for q in QUERIES)


def test_single_pair_layout():
    b = CovF64()
    b.add(1.0, 2.0)
    raw = bytearray(b.to_bytes())
    expected = bytearray(1408)
    for group, power in zip(SUM_GROUPS + DOT_GROUPS, [50, 51, 50, 52, 51], strict=True):
        expected[group + 128 : group + 136] = struct.pack("<Q", 2**power)
    for group, count in zip(SUM_GROUPS + DOT_GROUPS, [1, 1, 2, 2, 2], strict=True):
        expected[group + 273 : group + 281] = struct.pack("<Q", count)
    assert raw == expected


@pytest.mark.parametrize(
    "pairs, expected",
    [
        (
            [(1, 2), (2, 4), (3, 6)],
            {"covariance": 12 / 9, "slope": 2.0, "intercept": 0.0, "r_squared": 1.0, "correlation": 1.0},
        ),
        ([(1, -2), (2, -4), (3, -6)], {"slope": -2.0, "correlation": -1.0}),
        (
            [(1, 1), (2, 3), (4, 2)],
            {
                "covariance": 0.3333333333333333,
                "slope": 0.21428571428571427,
                "intercept": 1.5,
                "r_squared": 0.10714285714285714,
                "correlation": 0.32732683535398854,
            },
        ),
        ([(0, 0), (2, 2)], {"covariance": 1.0}),
        ([(1, 5), (2, 5), (7, 5)], {"slope": 0.0, "intercept": 5.0}),
        ([(-1, 1), (0, -2), (1, 1)], {"covariance": 0.0, "r_squared": 0.0, "correlation": 0.0}),
    ],
)
def test_known_values(pairs, expected):
    c = make(pairs)
    for query, value in expected.items():
        assert bits(getattr(c, query)()) == bits(value), query


@pytest.mark.parametrize(
    "pairs, failing",
    [
        ([(3.0, 1.0)], ["slope", "intercept", "r_squared", "correlation"]),
        ([(3.0, 1.0), (3.0, 2.0), (3.0, 9.0)], ["slope", "intercept", "r_squared", "correlation"]),
        ([(1.0, 5.0), (2.0, 5.0)], ["r_squared", "correlation"]),
    ],
)
def test_degenerate(pairs, failing):
    c = make(pairs)
    for q in QUERIES:
        if q in failing:
            assert error_of(c, q) == "Degenerate"
        else:
            getattr(c, q)()


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([(math.nan, 1.0)], "NonFinite"),
        ([(math.inf, 0.0)], "NonFinite"),
        ([(1e200, 1.0)], "NonFinite"),  # x·x overflows although x is finite
        ([(1e-200, 1e-200)], "ExactnessLost"),
        ([(0.0, 1e-300)], "ExactnessLost"),  # only y·y underflows
        ([(1e-200, 1e200)], "ExactnessLost"),  # underflowed x·x is read before overflowed y·y
        ([(1e-200, math.nan)], "NonFinite"),  # sum_y is read before every product
    ],
)
def test_flag_failures(pairs, message):
    c = make(pairs + [(1.0, 2.0), (3.0, 5.0)])
    before = c.to_bytes()
    assert all(error_of(c, q) == message for q in QUERIES)
    assert c.to_bytes() == before


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(exact_floats, exact_floats), min_size=1, max_size=12))
def test_queries_match_exact_rationals(pairs):
    c = make(pairs)
    expected = oracle(pairs)
    for q in QUERIES:
        if q in expected:
            assert bits(getattr(c, q)()) == bits(expected[q]), q
        else:
            assert error_of(c, q) == "Degenerate"


def test_merge_leaves_other_and_refuses_self():
    a, b = make([(1.0, 2.0)]), make([(3.0, 4.0)])
    snapshot = b.to_bytes()
    a.merge(b)
    assert b.to_bytes() == snapshot
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        a.merge(a)


def test_bytes_round_trip():
    rng = random.Random(7)
    pairs = [(rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3)) for _ in range(20)]
    for extra in ([], [(math.nan, 1.0)], [(1e-200, 1e-200)], [(-math.inf, math.inf)]):
        c = make(pairs + extra)
        d = CovF64.from_bytes(c.to_bytes())
        assert d.to_bytes() == c.to_bytes()
        assert d.state_hash() == c.state_hash()


@pytest.mark.parametrize(
    "offset, value", [(g + 272, 8) for g in SUM_GROUPS + DOT_GROUPS] + [(g + 281, 2) for g in DOT_GROUPS]
)
def test_from_bytes_rejects_content(offset, value):
    raw = bytearray(make([(1.0, 2.0)]).to_bytes())
    raw[offset] = value
    with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
        CovF64.from_bytes(bytes(raw))
    raw[offset] = value - 1  # the largest valid byte is accepted
    CovF64.from_bytes(bytes(raw))
