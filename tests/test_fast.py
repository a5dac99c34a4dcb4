"""FastSumF64 must leave exactly the state of a SumF64 fed the same values,
whatever mixture of single adds and batches delivered them."""

import inspect
import math
import random
from array import array
from itertools import pairwise

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import same_float
from tallix import FastSumF64, SumF64

NAN = float("nan")
INF = float("inf")
# Largest significand at a bit position 31 mod 32: the biggest share a value
# puts into one bin, so long runs of it stress the bin bounds.
BIN_STRESS = math.nextafter(4.0, 0.0)


def reference(xs):
    s = SumF64()
    for x in xs:
        s.add(x)
    return s


def assert_same_state(fast, xs):
    got, want = fast.finish(), reference(xs)
    assert got.to_bytes() == want.to_bytes()
    assert got.state_hash() == want.state_hash()
    assert fast.count() == want.count() == len(xs)
    assert same_float(got.value(), want.value())


def wide_values(rng, n):
    """Random signs, significands and exponents over the whole binary64 range."""
    out = []
    for _ in range(n):
        e = rng.randint(-1074, 1023)
        out.append(math.ldexp(rng.random(), e) * rng.choice((1.0, -1.0)))
    return out


def cancelling_values(rng, n):
    """Large terms that cancel in pairs around a small residue."""
    half = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-20, 300) for _ in range(n // 2)]
    xs = half + [-x for x in half] + [rng.uniform(-1, 1) for _ in range(n - 2 * len(half))]
    rng.shuffle(xs)
    return xs


@pytest.mark.parametrize("n", [0, 1, 3, 511, 512, 513, 1024, 1537])
def test_single_adds_match_sum(n):
    xs = wide_values(random.Random(n), n)
    f = FastSumF64()
    for x in xs:
        f.add(x)
    assert_same_state(f, xs)


@pytest.mark.parametrize("n", [1, 5, 2047, 2048, 2049, 4095, 4096, 4097, 5000, 10_001])
@pytest.mark.parametrize("kind", ["wide", "cancelling"])
def test_one_batch_matches_sum(n, kind):
    rng = random.Random(n)
    xs = wide_values(rng, n) if kind == "wide" else cancelling_values(rng, n)
    f = FastSumF64()
    f.extend(xs)
    assert_same_state(f, xs)
    if kind == "cancelling":
        assert f.finish().value() == math.fsum(xs)


@pytest.mark.parametrize("pending", [0, 1, 300, 511])
@pytest.mark.parametrize("batch", [2, 4095, 4096, 4097, 9000])
def test_pending_adds_then_batch_stay_in_range(pending, batch):
    # Same-sign values of the largest bin share fill the persistent bank as
    # far as the fold schedule allows.
    xs = [BIN_STRESS] * (pending + batch) + [-BIN_STRESS] * 3
    f = FastSumF64()
    for x in xs[:pending]:
        f.add(x)
    f.extend(xs[pending : pending + batch])
    for x in xs[pending + batch :]:
        f.add(x)
    assert_same_state(f, xs)


def test_interleaved_mixture_matches_sum():
    rng = random.Random(7)
    f, seen = FastSumF64(), []
    for _ in range(60):
        xs = wide_values(rng, rng.choice([0, 1, 3, 200, 511, 700, 4096, 4097, 6000]))
        if rng.random() < 0.5:
            for x in xs:
                f.add(x)
        else:
            f.extend(xs)
        seen += xs
    assert_same_state(f, seen)


@pytest.mark.parametrize(
    "xs, expected",
    [
        ([], 0.0),
        ([-0.0], 0.0),
        ([1.0, NAN], NAN),
        ([INF, -INF], NAN),
        ([INF, 1.0], INF),
        ([-INF] + [1.0] * 5000, -INF),
        ([1e308, 1e308], INF),
        ([1e308, 1e308, -1e308], 1e308),
        ([5e-324, -5e-324], 0.0),
        ([2.0**53, 1.0, 5e-324], 2.0**53 + 2),
    ],
)
@pytest.mark.parametrize("how", ["adds", "short batch", "long batch"])
def test_nonfinite_and_edge_values(xs, expected, how):
    f = FastSumF64()
    if how == "adds":
        for x in xs:
            f.add(x)
    else:
        padded = xs + [0.0] * (5000 if how == "long batch" else 0)
        f.extend(padded)
        xs = padded
    assert_same_state(f, xs)
    assert same_float(f.finish().value(), expected)


@pytest.mark.parametrize("make", [list, tuple, lambda xs: array("d", xs), np.array])
def test_sequence_kinds_agree(make):
    xs = wide_values(random.Random(3), 5000)
    f = FastSumF64()
    f.extend(make(xs))
    assert_same_state(f, xs)


def test_strided_numpy_view_is_read_by_value():
    xs = np.array(wide_values(random.Random(4), 9000))
    view = xs[::3]
    f = FastSumF64()
    f.extend(view)
    assert_same_state(f, list(view))


def test_finish_is_independent_and_does_not_change_state():
    f = FastSumF64()
    f.add(1.5)
    first = f.finish()
    f.add(2.0)
    second = f.finish()
    assert first.value() == 1.5 and first.count() == 1
    assert second.value() == 3.5 and second.count() == 2
    second.add(1.0)
    assert f.finish().value() == 3.5


@pytest.mark.parametrize("bad", ["abc", [1.0, "x"], 5, (x for x in [1.0])])
def test_failed_extend_changes_nothing(bad):
    f = FastSumF64()
    for x in [1.0] * 100:
        f.add(x)
    before = f.finish().to_bytes()
    with pytest.raises(TypeError):
        f.extend(bad)
    assert f.finish().to_bytes() == before
    assert f.count() == 100


def test_empty_batches_keep_the_fold_schedule():
    # Empty batches between runs of single adds must not let the bank grow
    # past its fold bound.
    f, xs = FastSumF64(), []
    for _ in range(40):
        for _ in range(511):
            f.add(BIN_STRESS)
            xs.append(BIN_STRESS)
        f.extend([])
    assert_same_state(f, xs)


# The documented methods: each called by its documented argument names, with
# the type it returns. Nothing else is public (no merge, value, to_bytes or
# state_hash: a result leaves through finish only).
DOCUMENTED = [
    ("add", {"x": 1.5}, type(None)),
    ("extend", {"xs": [1.5, -2.0]}, type(None)),
    ("count", {}, int),
    ("finish", {}, SumF64),
]


@pytest.mark.parametrize("name, arguments, returns", DOCUMENTED)
def test_documented_methods(name, arguments, returns):
    method = getattr(FastSumF64(), name)
    assert list(inspect.signature(method).parameters) == list(arguments)
    assert type(method(**arguments)) is returns


def test_nothing_public_beyond_the_documented_methods():
    public = {m for m in dir(FastSumF64) if not m.startswith("_")}
    assert public == {name for name, _, _ in DOCUMENTED}


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.one_of(finite, st.sampled_from([NAN, INF, -INF, BIN_STRESS])), max_size=300),
    st.lists(st.integers(0, 300), max_size=4),
    st.randoms(use_true_random=False),
)
def test_any_split_and_order_gives_the_sum_state(xs, cuts, rng):
    rng.shuffle(xs)
    f = FastSumF64()
    bounds = sorted(set([0, len(xs)] + [min(c, len(xs)) for c in cuts]))
    for i, (a, b) in enumerate(pairwise(bounds)):
        if i % 2:
            for x in xs[a:b]:
                f.add(x)
        else:
            f.extend(xs[a:b])
    assert_same_state(f, xs)
