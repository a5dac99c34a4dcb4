"""MomentsF64: exact mean and variances rounded once, and its 563-byte form."""

import math
import statistics
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix
from byte_forms import MomentsModel
from oracles import bits, outcome, round_fraction

NAN, INF = math.nan, math.inf
QUERIES = ["mean", "variance", "sample_variance", "stddev"]


def fed(xs, cls=tallix.MomentsF64):
    m = cls()
    for x in xs:
        m.add(x)
    return m


def test_empty_state():
    m = tallix.MomentsF64()
    assert [outcome(m, q) for q in QUERIES] == ["Empty"] * 4
    assert m.count() == 0
    assert m.to_bytes() == bytes(563)


def test_single_observation():
    m = fed([5.0])
    assert (m.mean(), m.variance(), m.stddev()) == (5.0, 0.0, 0.0)
    assert outcome(m, "sample_variance") == "Empty"


@pytest.mark.parametrize(
    "parts",
    [
        [[1.0, 2.0, 3.0, 4.0]],
        [[4.0, 3.0, 2.0, 1.0]],
        [[3.0], [1.0, 4.0], [], [2.0]],
        [[2.0, 4.0], [3.0, 1.0]],
    ],
)
def test_worked_example_in_any_order_and_split(parts):
    m = tallix.MomentsF64()
    for part in parts:
        m.merge(fed(part))
    reference = fed([1.0, 2.0, 3.0, 4.0])
    assert (m.mean(), m.variance()) == (2.5, 1.25)
    assert bits(m.sample_variance()) == 0x3FFAAAAAAAAAAAAB
    assert m.to_bytes() == reference.to_bytes()
    assert m.state_hash() == reference.state_hash()


def test_large_common_offset_loses_nothing():
    m = fed([1e15 + 1, 1e15 + 3, 1e15 + 5])
    assert m.variance() == 2.6666666666666665
    assert m.sample_variance() == 4.0


@pytest.mark.parametrize(
    "xs, expected",
    [
        # the squares overflow: the mean still works
        ([1e200, -1e200], [0.0, "NonFinite", "NonFinite", "NonFinite"]),
        # the square underflows
        ([1e-200], [1e-200, "ExactnessLost", "ExactnessLost", "ExactnessLost"]),
        ([0.0], [0.0, 0.0, "Empty", 0.0]),
        ([NAN, 1.0], ["NonFinite"] * 4),
        ([INF], ["NonFinite"] * 4),
        # one observation with a flag: the flag wins over the missing second value
        ([NAN], ["NonFinite"] * 4),
        ([1e-200, 1e-200], [1e-200, "ExactnessLost", "ExactnessLost", "ExactnessLost"]),
        # the sum is read before the squares
        ([NAN, 1e-200], ["NonFinite"] * 4),
    ],
)
def test_queries_and_their_first_failure(xs, expected):
    m = fed(xs)
    want = [bits(v) if isinstance(v, float) else v for v in expected]
    assert [outcome(m, q) for q in QUERIES] == want
    assert m.count() == len(xs)


def test_bytes_hold_counts_and_flags():
    m = fed([1.0, NAN, -INF, 1e300])
    b = m.to_bytes()
    assert int.from_bytes(b[273:281], "little") == 4
    assert int.from_bytes(b[554:562], "little") == 8
    assert b[272] == 0b101  # NaN and -infinity
    assert b[553] == 0b011  # NaN and +infinity (the squares)
    assert b[562] == 0


any_float = st.floats(allow_nan=True, allow_infinity=True)


@settings(max_examples=150, deadline=None)
@given(st.lists(any_float, max_size=15))
def test_bytes_match_exact_model(xs):
    model = MomentsModel()
    for x in xs:
        model.add(x)
    m = fed(xs)
    assert m.to_bytes() == model.form()
    assert tallix.MomentsF64.from_bytes(m.to_bytes()).to_bytes() == m.to_bytes()


finite = st.floats(min_value=-1e100, max_value=1e100).filter(lambda v: v == 0 or abs(v) > 1e-100)


@settings(max_examples=150, deadline=None)
@given(st.lists(finite, min_size=1, max_size=20))
def test_queries_match_statistics_module(xs):
    m = fed(xs)
    assert bits(m.mean()) == bits(statistics.mean(xs))
    assert bits(m.variance()) == bits(statistics.pvariance(xs))
    assert bits(m.stddev()) == bits(math.sqrt(statistics.pvariance(xs)))
    if len(xs) > 1:
        assert bits(m.sample_variance()) == bits(statistics.variance(xs))


@settings(max_examples=60, deadline=None)
@given(st.lists(any_float, max_size=15), st.randoms(use_true_random=False))
def test_order_and_partition_invariance(xs, rnd):
    whole = fed(xs)
    ys = xs[:]
    rnd.shuffle(ys)
    cut = rnd.randint(0, len(ys))
    left, right = fed(ys[:cut]), fed(ys[cut:])
    right.merge(left)
    assert right.to_bytes() == whole.to_bytes()
    assert right.state_hash() == whole.state_hash()


def sum_form(n, count, flags=0):
    return (n % 2**2176).to_bytes(272, "little") + bytes([flags]) + count.to_bytes(8, "little")


def test_loaded_state_with_negative_variance():
    # Counts and limbs of a loaded state need not agree with any data set.
    b = sum_form(2 * 2**1074, 1) + sum_form(0, 2) + b"\0"
    m = tallix.MomentsF64.from_bytes(b)
    assert m.variance() == -4.0
    assert math.isnan(m.stddev())


def test_saturated_count_is_used_unchanged():
    n = 2**64 - 1
    b = sum_form(3 * 2**1074 * n, n) + sum_form(9 * 2**1074 * n, n) + b"\0"
    m = tallix.MomentsF64.from_bytes(b)
    m.add(0.0)
    assert m.count() == n
    assert m.mean() == round_fraction(Fraction(3 * n, n))


def each_added(cls, add, vs):
    s = cls()
    for v in vs:
        add(s, v)
    return s


# x^2 is normal but has a bit below 2^-1074, so its rounded value and fma
# error cannot hold it; the exact variance would round to 0x1.0000000000001p-1010.
X, Y = 2.0**-505 * (1 + 2.0**-52), 2.0**-505
BELOW_THE_UNIT = [X, -X] + [Y, -Y] * 3


@pytest.mark.parametrize(
    "variance",
    [
        lambda vs: fed(vs).variance(),
        lambda vs: fed(vs, tallix.PnMomentsF64).variance(),
        lambda vs: each_added(tallix.MomentsMap, lambda m, v: m.add("k", v), vs).variance("k"),
        lambda vs: each_added(tallix.CovF64, lambda c, v: c.add(v, v), vs).covariance(),
        lambda vs: each_added(tallix.WeightedMomentsF64, lambda w, v: w.add(v, 1.0), vs).variance(),
        lambda vs: each_added(lambda: tallix.CovMatrixF64(1), lambda c, v: c.add([v], 0.0), vs).covariance(0, 0),
    ],
    ids=["MomentsF64", "PnMomentsF64", "MomentsMap", "CovF64", "WeightedMomentsF64", "CovMatrixF64"],
)
def test_squares_with_bits_below_the_unit_lose_exactness(variance):
    with pytest.raises(ValueError, match="^ExactnessLost$"):
        variance(BELOW_THE_UNIT)
