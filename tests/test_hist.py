import bisect
import hashlib
import math
import random
import re
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import bits
from tallix import HistogramF64

UNDEFINED = "undefined (insufficient data or invalid input)"
NAN, INF, MAX_U64 = math.nan, math.inf, 2**64 - 1


def key(x):
    k = struct.unpack("<q", struct.pack("<d", x))[0]
    return k ^ 0x7FFFFFFFFFFFFFFF if k < 0 else k


def encoding(edges, counts, nan_count=0, undefined=0):
    n = len(edges)
    return struct.pack(f"<IB{n}d{len(counts)}QQ", n, undefined, *edges, *counts, nan_count)


def hist(edges, values=()):
    h = HistogramF64(edges)
    for v in values:
        h.add(v)
    return h


any_float = st.floats()
edge_lists = st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=2, max_size=12, unique_by=key).map(
    lambda es: sorted(es, key=key)
)


@pytest.mark.parametrize("edges", [[], [1.0], [0.0, 0.0], [1.0, 0.0], [0.0, INF], [NAN, 1.0], [0.0, -0.0]])
def test_rejected_edges(edges):
    with pytest.raises(ValueError, match="^edges must be sorted, finite, len>=2$"):
        HistogramF64(edges)


def test_new_histogram():
    h = HistogramF64((-0.0, 0.0))
    assert [bits(e) for e in h.edges()] == [bits(-0.0), 0] and h.counts() == [0, 0, 0]
    b = HistogramF64([0.0, 1.0]).encode()
    assert b == bytes([2, 0, 0, 0, 0]) + struct.pack("<dd", 0.0, 1.0) + bytes(32)
    assert HistogramF64([0.0, 1.0]).state_hash() == hashlib.sha256(b).digest()


@pytest.mark.parametrize(
    "edges, values, counts",
    [
        ([0.0, 1.0], [0.0, 0.5, 1.0, -0.0], [1, 2, 1]),
        ([0.0, 1.0], [-INF, INF, NAN, -NAN], [1, 0, 1]),
        ([-0.0, 0.0], [-0.0, 0.0, -5e-324], [1, 1, 1]),
        ([1.0, 2.0, 3.0], [3.0, math.nextafter(3.0, 0), 2.0], [0, 0, 2, 1]),
    ],
)
def test_bins(edges, values, counts):
    h = hist(edges, values)
    assert h.counts() == counts and h.total() == sum(counts)
    assert h.encode()[-8:] == struct.pack("<Q", sum(map(math.isnan, values)))


@settings(max_examples=150, deadline=None)
@given(edge_lists, st.lists(any_float, max_size=40), st.randoms(use_true_random=False))
def test_counts_match_bisect_and_ignore_order(edges, values, rnd):
    h = hist(edges, values)
    expected = [0] * (len(edges) + 1)
    for v in values:
        if not math.isnan(v):
            expected[bisect.bisect_right([key(e) for e in edges], key(v))] += 1
    assert h.counts() == expected
    rnd.shuffle(values)
    assert hist(edges, values).state_hash() == h.state_hash() == hashlib.sha256(h.encode()).digest()


def reference_bounds(edges, values, q):
    """Bounds of the bin holding the r-th smallest counted value, or None."""
    counted = sorted((v for v in values if not math.isnan(v)), key=key)
    if not 0 <= q <= 1 or not counted:
        return None
    t = min(math.ceil(float(len(counted)) * q), MAX_U64)  # binary64 product
    r = 1 if t == 0 else min(t, len(counted))
    j = bisect.bisect_right([key(e) for e in edges], key(counted[r - 1]))
    return None if j in (0, len(edges)) else (edges[j - 1], edges[j])


@settings(max_examples=150, deadline=None)
@given(edge_lists, st.lists(any_float, max_size=30), st.floats(min_value=-0.1, max_value=1.1))
def test_quantile_matches_sorted_rank(edges, values, q):
    h = hist(edges, values)
    expected = reference_bounds(edges, values, q)
    if expected is None:
        with pytest.raises(ValueError, match=f"^{re.escape(UNDEFINED)}$"):
            h.quantile_bounds(q)
    else:
        assert [bits(x) for x in h.quantile_bounds(q)] == [bits(x) for x in expected]


def test_quantile_edge_cases():
    h = hist([0.0, 1.0, 2.0], [0.5, 1.5, 1.5])
    assert [h.quantile_bounds(q) for q in (0.0, -0.0, 0.5, 1.0)] == [(0.0, 1.0)] * 2 + [(1.0, 2.0)] * 2
    for q in (NAN, INF, -0.01, 1.01):
        with pytest.raises(ValueError, match="undefined"):
            h.quantile_bounds(q)
    # T = 2^53 + 1 is 2^53 in binary64, so q = 1 asks for rank 2^53 (bin 1).
    assert HistogramF64.decode(encoding([0.0, 1.0, 2.0], [0, 2**53, 1, 0])).quantile_bounds(1.0) == (0.0, 1.0)
    # Saturated counters: the total and the running sum stop at 2^64 - 1.
    full = encoding([0.0, 1.0, 2.0], [0, MAX_U64, MAX_U64, 0], nan_count=MAX_U64)
    h = HistogramF64.decode(full)
    h.add(0.5)
    h.add(NAN)
    assert h.encode() == full and h.total() == MAX_U64
    assert h.quantile_bounds(1.0) == (0.0, 1.0)


def bad_decodings():
    good = encoding([0.0, 1.0], [1, 2, 3], 4)
    return [
        good[:4],
        good[:-1],
        good + b"\0",
        good[:4] + b"\x02" + good[5:],
        encoding([], [0]),
        b"",
        b"\xff\xff\xff\xff\x00" + bytes(100),
    ]


@pytest.mark.parametrize("b", bad_decodings())
def test_decode_rejects(b):
    with pytest.raises(ValueError, match=f"^{re.escape(UNDEFINED)}$"):
        HistogramF64.decode(b)


def test_decode_random_bytes():
    rnd = random.Random(7)
    for _ in range(2000):
        n = rnd.randrange(4)
        b = struct.pack("<IB", n, rnd.getrandbits(1)) + rnd.randbytes(16 * n + 16 + rnd.choice([0, 0, 1, -1]))
        try:
            h = HistogramF64.decode(b)
        except ValueError as e:
            assert str(e) == UNDEFINED
        else:
            assert h.encode() == b
            h.add(rnd.choice([0.0, -1.0, 1e300, NAN, INF]))


@pytest.mark.parametrize(
    "edges",
    [[1.0], [3.0, 1.0, 2.0], [1.0, 1.0, 0.0], [NAN, 0.0, -NAN], [-NAN, 0.0, NAN], [0.0, -0.0]],
)
def test_decoded_edges_in_any_order_count_edges_at_or_below(edges):
    values = [-INF, -1.5, -0.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, INF, NAN]
    h = HistogramF64.decode(encoding(edges, [0] * (len(edges) + 1)))
    batch = HistogramF64.decode(h.encode())
    for v in values:
        h.add(v)
    batch.extend(values * 3)
    assert [bits(e) for e in h.edges()] == [bits(e) for e in edges]
    expected = [0] * (len(edges) + 1)
    for v in values[:-1]:
        expected[sum(key(e) <= key(v) for e in edges)] += 1
    assert h.counts() == expected
    assert batch.counts() == [3 * c for c in expected]


def test_unsorted_decoded_edges_cost_logarithmic_time():
    # Counting 10^6 edges one by one for each of 10^5 values takes minutes;
    # a search over sorted keys takes well under a second.
    code = """if True:
        import random, struct, tallix
        n = 10**6
        edges = [float(i) for i in range(n)]
        random.Random(1).shuffle(edges)
        b = struct.pack(f"<IB{n}d", n, 0, *edges) + bytes(8 * (n + 2))
        h = tallix.HistogramF64.decode(b)
        h.extend([i + 0.5 for i in range(0, n, 10)])
        h.add(-1.0)
        c = h.counts()
        assert c[0] == 1 and c[1] == 1 and c[11] == 1 and sum(c) == n // 10 + 1
    """
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_undefined_flag_blocks_counts_and_quantiles_only():
    h = HistogramF64.decode(encoding([0.0, 1.0, 2.0], [0, 2, 1, 0], undefined=1))
    h.add(0.5)
    for query in (h.counts, lambda: h.quantile_bounds(0.5)):
        with pytest.raises(ValueError, match="undefined"):
            query()
    assert (h.total(), h.edges()) == (4, [0.0, 1.0, 2.0])
    assert h.encode() == encoding([0.0, 1.0, 2.0], [0, 3, 1, 0], undefined=1)


@settings(max_examples=60, deadline=None)
@given(edge_lists, st.lists(any_float, max_size=20), st.lists(any_float, max_size=20))
def test_merge_equals_single_pass(edges, xs, ys):
    a, b = hist(edges, xs), hist(edges, ys)
    ab, ba = HistogramF64.decode(a.encode()), HistogramF64.decode(b.encode())
    ab.merge(b)
    ba.merge(other=a)
    assert ab.encode() == ba.encode() == hist(edges, xs + ys).encode()


def test_merge_saturates_keeps_undefined_and_refuses_other_edges():
    a = HistogramF64.decode(encoding([0.0, 1.0], [MAX_U64, 1, 0], nan_count=MAX_U64))
    a.merge(HistogramF64.decode(encoding([0.0, 1.0], [1, 1, 0], nan_count=1, undefined=1)))
    after = encoding([0.0, 1.0], [MAX_U64, 2, 0], nan_count=MAX_U64, undefined=1)
    assert a.encode() == after
    for other in ([0.0, 2.0], [-0.0, 1.0], [0.0, 1.0, 2.0]):
        with pytest.raises(ValueError, match="^histogram edges differ$"):
            a.merge(hist(other, [0.5]))
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        a.merge(a)
    assert a.encode() == after
    assert "bit-identical edges" in HistogramF64.merge.__doc__
