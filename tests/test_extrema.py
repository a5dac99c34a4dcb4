import hashlib
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import bits, same_float
from tallix import ExtremaF64

UNDEFINED = "undefined (insufficient data or invalid input)"
NAN, INF, MAX_U64 = math.nan, math.inf, 2**64 - 1


def key(x):
    k = struct.unpack("<q", struct.pack("<d", x))[0]
    return k ^ 0x7FFFFFFFFFFFFFFF if k < 0 else k


def form(lo, hi, flags, count):
    return struct.pack("<ddBQ", lo, hi, flags, count)


def extrema(values):
    e = ExtremaF64()
    for v in values:
        e.add(v)
    return e


def assert_undefined(e):
    for query in (e.min, e.max, e.range):
        with pytest.raises(ValueError) as err:
            query()
        assert str(err.value) == UNDEFINED


@pytest.mark.parametrize(
    "values, lo, hi, width",
    [
        ([3.0, -1.0, 2.0], -1.0, 3.0, 4.0),
        ([0.0, -0.0], -0.0, 0.0, 0.0),
        ([-0.0], -0.0, -0.0, 0.0),
        ([INF], INF, INF, NAN),
        ([INF, -INF], -INF, INF, INF),
        ([5e-324, -5e-324], -5e-324, 5e-324, 1e-323),
    ],
)
def test_queries_and_bytes(values, lo, hi, width):
    for order in (values, values[::-1]):
        e = extrema(order)
        assert [bits(e.min()), bits(e.max())] == [bits(lo), bits(hi)]
        assert same_float(e.range(), width)
        assert e.to_bytes() == form(lo, hi, 2, len(values))


def test_empty_and_nan_states():
    assert_undefined(ExtremaF64())
    assert ExtremaF64().to_bytes() == bytes(25)
    assert extrema([NAN, -NAN]).to_bytes() == form(0.0, 0.0, 1, 2)
    e = extrema([1.0, NAN, 2.0])
    assert_undefined(e)
    assert e.to_bytes() == form(1.0, 2.0, 3, 3)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(), max_size=30), st.randoms(use_true_random=False))
def test_total_order_extrema_in_any_order(values, rnd):
    a = extrema(values)
    rnd.shuffle(values)
    assert a.to_bytes() == extrema(values).to_bytes()
    assert a.state_hash() == hashlib.sha256(a.to_bytes()).digest()
    plain = [v for v in values if not math.isnan(v)]
    if not plain or len(plain) < len(values):
        assert_undefined(a)
    else:
        assert (bits(a.min()), bits(a.max())) == (
            bits(min(plain, key=key)),
            bits(max(plain, key=key)),
        )


@settings(max_examples=150, deadline=None)
@given(st.lists(st.floats(), max_size=15), st.lists(st.floats(), max_size=15))
def test_merge_equals_single_pass_and_commutes(xs, ys):
    a, b = extrema(xs), extrema(ys)
    ab, ba = ExtremaF64.from_bytes(a.to_bytes()), ExtremaF64.from_bytes(b.to_bytes())
    ab.merge(b)
    ba.merge(other=a)
    assert ab.to_bytes() == ba.to_bytes() == extrema(xs + ys).to_bytes()


def test_counts_saturate_and_self_merge_is_refused():
    e = ExtremaF64.from_bytes(form(1.0, 2.0, 2, MAX_U64))
    e.add(1.5)
    e.merge(extrema([0.0]))
    assert e.to_bytes() == form(0.0, 2.0, 2, MAX_U64)
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        e.merge(e)
    with pytest.raises(TypeError, match="argument 'x'"):
        e.add("2")
    assert e.to_bytes() == form(0.0, 2.0, 2, MAX_U64)


@pytest.mark.parametrize(
    "b", [form(0.0, 0.0, 1, 9), form(-0.0, 3.0, 2, 7), form(NAN, -1.0, 3, 2), form(5.0, 1.0, 2, 0)]
)
def test_from_bytes_takes_content_as_stored(b):
    assert ExtremaF64.from_bytes(b).to_bytes() == b


@pytest.mark.parametrize(
    "b, message",
    [
        (bytes(24), "wrong byte length"),
        (bytes(26), "wrong byte length"),
        (bytes(16) + b"\x04" + bytes(8), UNDEFINED),
        (form(1.0, 0.0, 0, 0), UNDEFINED),
        (form(0.0, -0.0, 1, 0), UNDEFINED),
    ],
)
def test_from_bytes_rejects(b, message):
    with pytest.raises(ValueError) as e:
        ExtremaF64.from_bytes(b)
    assert str(e.value) == message
