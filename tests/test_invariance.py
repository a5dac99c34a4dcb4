"""Every mergeable state: any order of the same inputs, split into any parts
merged in any grouping, gives the same bytes and the same receipt. Fixed byte
forms refuse wrong lengths and invalid content, and failing calls leave a
state as it was."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix as T

EDGES = [-1e300, -1.0, -0.0, 0.0, 2.0**-1074, 1.0, 1e300]


# name: (factory, add one item, bytes of the state, how many floats per item)
CLASSES = {
    "SumF64": (T.SumF64, lambda s, x: s.add(x), lambda s: s.to_bytes(), 1),
    "SumF32": (T.SumF32, lambda s, x: s.add(x), lambda s: s.to_bytes(), 1),
    "DotF64": (T.DotF64, lambda s, xy: s.push(*xy), lambda s: s.state_hash(), 2),
    "MomentsF64": (T.MomentsF64, lambda s, x: s.add(x), lambda s: s.to_bytes(), 1),
    "Moments4F64": (T.Moments4F64, lambda s, x: s.add(x), lambda s: s.to_bytes(), 1),
    "CovF64": (T.CovF64, lambda s, xy: s.add(*xy), lambda s: s.to_bytes(), 2),
    "WeightedMomentsF64": (T.WeightedMomentsF64, lambda s, xw: s.add(*xw), lambda s: s.to_bytes(), 2),
    "PnMomentsF64": (
        T.PnMomentsF64,
        lambda s, xr: s.remove(xr[0]) if xr[1] < 0 else s.add(xr[0]),
        lambda s: s.to_bytes(),
        2,
    ),
    "CovMatrixF64": (lambda: T.CovMatrixF64(2), lambda s, r: s.add([r[0], r[1]], r[2]), lambda s: s.encode(), 3),
    "HistogramF64": (lambda: T.HistogramF64(EDGES), lambda s, x: s.add(x), lambda s: s.encode(), 1),
    "ExtremaF64": (T.ExtremaF64, lambda s, x: s.add(x), lambda s: s.to_bytes(), 1),
    "SumMap": (T.SumMap, lambda s, kx: s.add(f"k{abs(int(kx[1])) % 3}", kx[0]), lambda s: s.encode(), 2),
    "MomentsMap": (T.MomentsMap, lambda s, kx: s.add(f"k{abs(int(kx[1])) % 3}", kx[0]), lambda s: s.encode(), 2),
}

values = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0**-1074, 1e300, math.inf, -math.inf, math.nan]),
)
small = st.integers(-5, 5).map(float)


def items(arity):
    return st.tuples(values, *[small] * (arity - 1)) if arity > 1 else values


def build(name, seq):
    factory, add, _, _ = CLASSES[name]
    s = factory()
    for item in seq:
        add(s, item)
    return s


def merge_tree(name, parts, rnd):
    """Merges partial states pairwise in a random grouping."""
    states = [build(name, p) for p in parts]
    while len(states) > 1:
        i = rnd.randrange(len(states) - 1)
        a, b = states[i], states.pop(i + 1)
        a.merge(b)
    return states[0]


@pytest.mark.parametrize("name", list(CLASSES))
@settings(max_examples=25, deadline=None)
@given(data=st.data(), rnd=st.randoms(use_true_random=False))
def test_bytes_and_receipt_do_not_depend_on_order_or_partition(name, data, rnd):
    arity = CLASSES[name][3]
    seq = data.draw(st.lists(items(arity), max_size=24))
    whole = build(name, seq)
    shuffled = seq[:]
    rnd.shuffle(shuffled)
    cuts = sorted(rnd.randint(0, len(seq)) for _ in range(rnd.randint(0, 4)))
    parts = [shuffled[a:b] for a, b in zip([0] + cuts, cuts + [len(seq)], strict=True)]
    merged = merge_tree(name, parts, rnd)
    dump = CLASSES[name][2]
    assert dump(merged) == dump(whole)
    if hasattr(whole, "state_hash"):
        assert merged.state_hash() == whole.state_hash()


def test_every_mergeable_class_is_covered():
    mergeable = {n for n in T.__all__[:-1] if hasattr(getattr(T, n), "merge")}
    assert mergeable == set(CLASSES)


def test_shuffles_with_fixed_seed_agree_on_large_inputs():
    rng = random.Random(5)
    xs = [math.ldexp(rng.random() - 0.5, rng.randint(-1070, 1000)) for _ in range(5000)]
    receipts = set()
    for seed in range(3):
        order = xs[:]
        random.Random(seed).shuffle(order)
        receipts.add(merge_tree("Moments4F64", [order[:1234], order[1234:]], random.Random(seed)).state_hash())
    assert len(receipts) == 1


# ---- fixed byte forms and failing calls, across classes ----

UNDEFINED = r"^undefined \(insufficient data or invalid input\)$"


def fed(cls, added, removed=()):
    s = cls()
    for x in added:
        s.add(x)
    for x in removed:
        s.remove(x)
    return s


@pytest.mark.parametrize(
    "cls, sizes",
    [
        (T.CovF64, [0, 1407, 1409]),
        (T.MomentsF64, [0, 562, 564, 1126]),
        (T.Moments4F64, [1127, 1129, 563]),
        (T.PnMomentsF64, [1125, 1127, 563]),
    ],
)
def test_fixed_form_of_wrong_length_is_refused(cls, sizes):
    for size in sizes:
        with pytest.raises(ValueError, match="^wrong byte length$"):
            cls.from_bytes(bytes(size))


@pytest.mark.parametrize(
    "state, offsets",
    [
        (lambda: fed(T.MomentsF64, [1.0, 2.0]), [(272, 8), (553, 8), (562, 2), (272, 255)]),
        (
            lambda: fed(T.Moments4F64, [1.0, 3.0]),
            [(272, 8), (553, 8), (562, 2), (835, 8), (844, 2), (1117, 8), (1126, 2), (1127, 2)],
        ),
        (lambda: fed(T.PnMomentsF64, [1.0], [2.0]), [(272, 8), (553, 9), (562, 2), (835, 8), (1116, 8), (1125, 2)]),
    ],
)
def test_fixed_form_with_invalid_content_is_refused(state, offsets):
    s = state()
    for offset, value in offsets:
        b = bytearray(s.to_bytes())
        b[offset] = value
        with pytest.raises(ValueError, match=UNDEFINED):
            type(s).from_bytes(bytes(b))


@pytest.mark.parametrize(
    "state, failing",
    [
        (
            lambda: fed(T.MomentsF64, [1e-200, 2.0]),
            [(q, (), ValueError, "^ExactnessLost$") for q in ("variance", "sample_variance", "stddev")]
            + [("add", ("1",), TypeError, "argument 'x'")],
        ),
        (
            lambda: fed(T.Moments4F64, [2.0, 2.0]),
            [
                (q, (), ValueError, "^Degenerate$")
                for q in ("skewness", "skewness_squared", "kurtosis", "excess_kurtosis")
            ],
        ),
        (
            lambda: fed(T.PnMomentsF64, [1.0], [1.0, 2.0]),
            [
                ("live_count", (), ValueError, UNDEFINED),
                ("variance", (), ValueError, "^Degenerate$"),
                ("remove", ("2",), TypeError, "argument 'x'"),
            ],
        ),
    ],
)
def test_failing_calls_leave_the_state_unchanged(state, failing):
    s = state()
    before = s.to_bytes()
    for name, args, error, message in failing + [
        ("merge", (s,), RuntimeError, "^Already mutably borrowed$"),
        ("merge", (T.SumF64(),), TypeError, "^argument 'o': "),
    ]:
        with pytest.raises(error, match=message):
            getattr(s, name)(*args)
    assert s.to_bytes() == before
