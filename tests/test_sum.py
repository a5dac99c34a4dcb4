"""SumF64 and SumF32: exact sums rounded once, merges, unmerges, byte forms
and receipts."""

import hashlib
import math
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import bits, exact_sum, round_f32, same_float
from tallix import SumF32, SumF64

NAN = float("nan")
INF = float("inf")


def summed(cls, xs):
    s = cls()
    for x in xs:
        s.add(x)
    return s


@pytest.mark.parametrize(
    "xs, expected",
    [
        ([], 0.0),
        ([-0.0], 0.0),
        ([1e16, 1.0, -1e16], 1.0),
        ([-1e16, 1e16, 1.0], 1.0),
        ([2.0**53, 1.0], 2.0**53),
        ([2.0**53, 1.0, 1.0], 2.0**53 + 2),
        ([2.0**53, 1.0, 2.0**-1074], 2.0**53 + 2),
        ([2.0**-1074], 2.0**-1074),
        ([2.0**-1074, -(2.0**-1074)], 0.0),
        ([1e308, 1e308], INF),
        ([1e308, 1e308, -1e308], 1e308),
        ([-1e308, -1e308], -INF),
        ([NAN, 1.0], NAN),
        ([INF, 1.0], INF),
        ([-INF, 1.0], -INF),
        ([INF, -INF], NAN),
        ([NAN, INF], NAN),
        ([-1.5, 0.25], -1.25),
    ],
)
def test_sum_f64_edge_cases(xs, expected):
    s = summed(SumF64, xs)
    assert same_float(s.value(), expected)
    assert s.count() == len(xs)
    if not xs or xs == [-0.0] or xs == [2.0**-1074, -(2.0**-1074)]:
        assert bits(s.value()) == 0  # a zero sum is +0.0


def test_nan_value_has_the_canonical_pattern():
    assert bits(summed(SumF64, [NAN]).value()) == 0x7FF8000000000000


@pytest.mark.parametrize(
    "xs, expected",
    [
        ([16777216.0, 1.0], 16777216.0),
        ([16777216.0, 1.0, 2.0**-60], 16777218.0),
        ([0.1], 0.10000000149011612),
        ([1e39], INF),
        ([-1e39], -INF),
        ([1e-46], 0.0),
    ],
)
def test_sum_f32_rounds_once_to_binary32(xs, expected):
    assert same_float(summed(SumF32, xs).value(), expected)


def test_sum_f32_negative_value_rounding_to_zero_is_negative_zero():
    s = SumF32.from_bytes(SumF64.from_bytes(neg_tiny_bytes()).to_bytes())
    assert bits(s.value()) == 0x8000000000000000


def neg_tiny_bytes():
    s = SumF64()
    s.add(-(2.0**-1074))  # far below half the binary32 subnormal step
    return s.to_bytes()


finite = st.floats(allow_nan=False, allow_infinity=False)
wide = st.builds(lambda m, e: math.ldexp(m, e), st.floats(-2, 2, allow_nan=False), st.integers(-1074, 1000))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(finite, wide), max_size=60))
def test_sum_f64_equals_fsum_and_is_order_and_partition_free(xs):
    try:
        expected = math.fsum(xs)
    except OverflowError:
        return
    s = summed(SumF64, xs)
    assert bits(s.value()) == bits(expected + 0.0)  # fsum may return -0.0
    shuffled = xs[:]
    random.Random(len(xs)).shuffle(shuffled)
    cut = len(xs) // 3
    a, b = summed(SumF64, shuffled[:cut]), summed(SumF64, shuffled[cut:])
    b.merge(a)
    assert b.to_bytes() == s.to_bytes()
    assert b.state_hash() == s.state_hash()


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False), max_size=40))
def test_sum_f32_equals_rounded_exact_sum(xs):
    assert same_float(summed(SumF32, xs).value(), round_f32(exact_sum(xs)))


def test_heavy_cancellation_and_subnormals_against_fsum():
    rng = random.Random(7)
    xs = [rng.choice([-1, 1]) * math.ldexp(rng.random(), rng.randint(-1074, 1020)) for _ in range(3000)]
    xs += [-x for x in xs[:2990]]
    rng.shuffle(xs)
    assert bits(summed(SumF64, xs).value()) == bits(math.fsum(xs))


def test_byte_form_layout():
    s = summed(SumF64, [1.0, -(2.0**-1074), NAN, -INF])
    b = s.to_bytes()
    assert len(b) == 281 and SumF64().to_bytes() == bytes(281)
    limbs = struct.unpack("<34Q", b[:272])
    # 1.0 - 2^-1074 is 2^1074 - 1 in units of 2^-1074.
    assert sum(limb << (64 * i) for i, limb in enumerate(limbs)) == 2**1074 - 1
    assert b[272] == 0b101 and struct.unpack("<Q", b[273:])[0] == 4
    assert SumF64.from_bytes(b).to_bytes() == b


@pytest.mark.parametrize("cls", [SumF64, SumF32])
def test_from_bytes_rejections(cls):
    with pytest.raises(ValueError, match="^wrong byte length$"):
        cls.from_bytes(bytes(280))
    with pytest.raises(ValueError, match="^wrong byte length$"):
        cls.from_bytes(bytes(282))
    with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
        cls.from_bytes(bytes(272) + b"\x08" + bytes(8))
    assert cls.from_bytes(bytes(272) + b"\x07" + bytes(8)).to_bytes()[272] == 7


def test_counts_saturate():
    top = bytes(273) + b"\xff" * 8
    s = SumF64.from_bytes(top)
    s.add(1.0)
    s.merge(SumF64.from_bytes(top))
    assert s.count() == 2**64 - 1


def state(xs):
    return summed(SumF64, xs)


def test_try_unmerge_inverts_merge():
    a = state([1.0, 2.0])
    a.merge(state([3.0]))
    assert a.try_unmerge(state([3.0])) is True
    assert a.value() == 3.0 and a.count() == 2
    assert a.to_bytes() == state([1.0, 2.0]).to_bytes()


@pytest.mark.parametrize("other", [[NAN], [INF], [-INF], [1.0, 2.0, 3.0]])
def test_try_unmerge_refusals_change_nothing(other):
    a = state([1.0, 2.0])
    before = a.to_bytes()
    assert a.try_unmerge(state(other)) is False
    assert a.to_bytes() == before


def limb_state(limbs, count):
    return SumF64.from_bytes(struct.pack("<34Q", *limbs) + b"\x00" + struct.pack("<Q", count))


ALL_ONES = (1 << 64) - 1


@pytest.mark.parametrize("seed", range(12))
def test_unmerge_undoes_merge_through_full_carry_chains(seed):
    rng = random.Random(seed)
    pick = [lambda: 0, lambda: ALL_ONES, lambda: rng.getrandbits(64)]
    b_limbs = [rng.choice(pick)() for _ in range(34)]
    c_limbs = [rng.choice(pick)() for _ in range(34)]
    if seed == 0:  # a carry that ripples through all 34 limbs
        b_limbs, c_limbs = [ALL_ONES] * 34, [1] + [0] * 33
    if seed == 1:  # a borrow that ripples through all 34 limbs
        b_limbs, c_limbs = [0] * 34, [1] + [0] * 33
    b, c = limb_state(b_limbs, 5), limb_state(c_limbs, 3)
    merged = limb_state(b_limbs, 5)
    merged.merge(c)
    total = (
        sum(limb << (64 * i) for i, limb in enumerate(b_limbs))
        + sum(limb << (64 * i) for i, limb in enumerate(c_limbs))
    ) % 2**2176
    assert merged.to_bytes()[:272] == total.to_bytes(272, "little")
    assert merged.try_unmerge(c) is True
    assert merged.to_bytes() == b.to_bytes()


def test_receipt_is_sha256_of_the_bytes():
    assert SumF64().state_hash() == hashlib.sha256(bytes(281)).digest()
    assert SumF32().state_hash() == SumF64().state_hash()
    s = state([0.1, 0.2])
    assert s.state_hash() == hashlib.sha256(s.to_bytes()).digest()
    assert len(s.state_hash()) == 32


def test_receipt_tells_apart_one_ulp_and_a_count():
    base = state([1.0, 2.0])
    assert state([1.0, math.nextafter(2.0, 3.0)]).state_hash() != base.state_hash()
    with_zero = state([1.0, 2.0, 0.0])
    assert with_zero.value() == base.value()
    assert with_zero.state_hash() != base.state_hash()


def test_failing_calls_leave_the_state_unchanged():
    s = state([1.5, -(2.0**-1074)])
    before = s.to_bytes()
    for bad in [
        lambda: s.add("x"),
        lambda: s.add(10**400),
        lambda: s.merge(SumF32()),
        lambda: s.merge(s),
        lambda: s.try_unmerge(s),
        lambda: s.add(),
    ]:
        with pytest.raises((TypeError, OverflowError, RuntimeError)):
            bad()
    assert s.to_bytes() == before
