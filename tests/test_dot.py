"""DotF64 and dot(): exact products rounded once, against exact models."""

import hashlib
import math
import random
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix
from byte_forms import DotModel
from oracles import bits, round_fraction, same_float

NAN, INF = math.nan, math.inf
A, B, F = 1 + 2.0**-52, 1.5 * 2.0**-1022, 2.0**-1000 * (1 + 2.0**-52)


def model_of(xs, ys) -> DotModel:
    m = DotModel()
    for a, b in zip(xs, ys, strict=True):
        m.push(a, b)
    return m


def fed(xs, ys) -> tallix.DotF64:
    d = tallix.DotF64()
    d.extend(xs, ys)
    return d


@pytest.mark.parametrize(
    "xs, ys, expected",
    [
        ([], [], 0.0),
        ([1.0 + 2**-30, -1.0], [1.0 - 2**-30, 1.0], -(2.0**-60)),
        ([1e16, 1.0, -1e16], [1.0, 1.0, 1.0], 1.0),
        ([0.0], [1e-300], 0.0),
        ([1e308, 1e308], [10.0, -10.0], NAN),
        ([NAN], [0.0], NAN),
        ([INF], [0.0], NAN),
        ([1e308], [10.0], INF),
        ([-1e308], [10.0], -INF),
        ([-0.0], [5.0], 0.0),
        ([1e308, 1e308], [1.0, 1.0], INF),  # finite products, sum beyond the largest finite value
        ([3.0, 2.0**-1021], [4.0, 1.0], 12.0 + 2.0**-1021),
        ([1 + 2.0**-52], [2.0**-1022], 2.0**-1022 + 2.0**-1074),  # lowest bit at 2^-1074: exact
    ],
)
def test_worked_values(xs, ys, expected):
    assert same_float(tallix.dot(xs, ys), expected)
    assert same_float(fed(xs, ys).value(), expected)


@pytest.mark.parametrize(
    "xs, ys",
    [
        ([1e-200], [1e-200]),  # the product underflows
        ([5e-324], [1.0]),  # exact, yet subnormal: still flagged
        ([1.0, 2.0**-600], [1.0, 2.0**-430]),
        ([NAN, 1e-200], [1.0, 1e-200]),  # exactness loss is reported before NaN
        # Normal products with a bit below 2^-1074, which their fma errors cannot hold.
        ([A, A, -A * B, -A * B], [B, B, 1.0, 1.0]),
        ([1 - 2.0**-53] * 2, [2.0**-1022] * 2),
        ([A, 2.0**-969, 2.0**-1022, -A * F], [F, 1.0, 1.0, 1.0]),
    ],
)
def test_exactness_lost(xs, ys):
    with pytest.raises(ValueError, match="^ExactnessLost$"):
        tallix.dot(xs, ys)
    with pytest.raises(ValueError, match="^ExactnessLost$"):
        fed(xs, ys).value()


def test_exactness_lost_is_sticky_through_merge():
    clean, lost = fed([3.0], [4.0]), fed([1e-200], [1e-200])
    clean.merge(lost)
    with pytest.raises(ValueError, match="^ExactnessLost$"):
        clean.value()
    clean.push(1.0, 1.0)
    with pytest.raises(ValueError, match="^ExactnessLost$"):
        clean.value()


def test_push_and_extend_give_the_documented_bytes():
    d, e = tallix.DotF64(), fed([3.0], [4.0])
    d.push(3.0, 4.0)
    expected = (12 * 2**1074).to_bytes(272, "little") + b"\0" + (2).to_bytes(8, "little") + b"\0"
    assert d.state_hash() == e.state_hash() == hashlib.sha256(expected).digest()
    assert tallix.DotF64().state_hash() == hashlib.sha256(bytes(282)).digest()


floats = st.floats(allow_nan=True, allow_infinity=True)
pairs = st.lists(st.tuples(floats, floats), max_size=12)


@settings(max_examples=200, deadline=None)
@given(pairs)
def test_state_bytes_match_exact_model(ps):
    xs, ys = [a for a, _ in ps], [b for _, b in ps]
    d = fed(xs, ys)
    assert d.state_hash() == hashlib.sha256(model_of(xs, ys).form()).digest()


# Products of these stay normal and on the 2^-1074 grid (each factor's lowest
# bit is at or above 2^-452), so no product loses exactness.
moderate = st.floats(min_value=-1e150, max_value=1e150, allow_nan=False).filter(lambda v: v == 0 or abs(v) > 1e-120)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(moderate, moderate), max_size=20))
def test_value_is_exact_dot_product_rounded_once(ps):
    xs, ys = [a for a, _ in ps], [b for _, b in ps]
    exact = sum((Fraction(a) * Fraction(b) for a, b in ps), Fraction(0))
    assert same_float(tallix.dot(xs, ys), round_fraction(exact))


@settings(max_examples=60, deadline=None)
@given(pairs, st.randoms(use_true_random=False))
def test_order_and_partition_invariance(ps, rnd):
    xs, ys = [a for a, _ in ps], [b for _, b in ps]
    whole = fed(xs, ys)
    shuffled = ps[:]
    rnd.shuffle(shuffled)
    cut = sorted(rnd.randint(0, len(ps)) for _ in range(2))
    parts = [shuffled[: cut[0]], shuffled[cut[0] : cut[1]], shuffled[cut[1] :]]
    merged = tallix.DotF64()
    for part in parts:
        merged.merge(fed([a for a, _ in part], [b for _, b in part]))
    assert merged.state_hash() == whole.state_hash()


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.extend([1.0, 2.0], [1.0]),
        lambda d: d.extend([], [1.0]),
    ],
)
def test_unequal_lengths_fail_before_any_change(call):
    d = fed([1.5, 2.5], [2.0, 4.0])
    before = d.state_hash()
    with pytest.raises(tallix.PanicException):
        call(d)
    assert d.state_hash() == before


def test_unequal_lengths_report_both_lengths():
    with pytest.raises(tallix.PanicException) as err:
        tallix.DotF64().extend([1.0], [1.0, 2.0, 3.0])
    assert err.value.args == (
        "assertion `left == right` failed: dot product requires equal-length slices\n  left: 1\n right: 3",
    )


def test_merge_with_itself_is_a_borrow_error():
    d = fed([1.0], [2.0])
    before = d.state_hash()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        d.merge(d)
    assert d.state_hash() == before


def test_buffers_and_lists_agree():
    rng = random.Random(5)
    xs = [rng.uniform(-1e3, 1e3) for _ in range(1000)]
    ys = [rng.uniform(-1e3, 1e3) for _ in range(1000)]
    arr = tallix.dot(np.array(xs), np.array(ys))
    assert bits(arr) == bits(tallix.dot(xs, ys))
    assert bits(arr) == bits(tallix.dot(np.array(xs)[::1], tuple(ys)))
    assert bits(tallix.dot(np.array(xs)[::2], ys[::2])) == bits(tallix.dot(xs[::2], ys[::2]))
