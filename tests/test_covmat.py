"""CovMatrixF64: state, exact downdating, encoding and both regression tiers."""

import math
import random
import struct
from fractions import Fraction
from functools import partial

import numpy as np
import pytest

import strd_data
from oracles import bits, round_fraction
from tallix import CovMatrixF64, PanicException

UNDEFINED = r"^undefined \(insufficient data or invalid input\)$"
SUB_DOC = (
    "Exactly remove a previously merged contribution (downdating /\n"
    "unlearning). All-or-nothing; raises on dimension mismatch, on\n"
    "non-finite-flagged subtrahends, or on count underflow."
)
EXACT_DOC = (
    "Exact tier: correctly rounded coefficients \u2014 the normal equations are\n"
    "solved in exact integer arithmetic and each coefficient rounded once.\n"
    "Bit-identical on any machine by mathematical definition."
)


def make(d, rows, ys):
    s = CovMatrixF64(d)
    for row, y in zip(rows, ys, strict=True):
        s.add(row, y)
    return s


def raises(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


def random_data(rng, d, n, kind="plain"):
    """Rows and responses; `poly` and `collinear` give ill-conditioned systems."""
    rows, ys = [], []
    for _ in range(n):
        if kind == "poly":
            x = rng.uniform(1.0, 1.5)
            row = [float(Fraction(x) ** k) for k in range(1, d + 1)]
        elif kind == "collinear":
            base = rng.uniform(-10, 10)
            row = [base + rng.uniform(-1, 1) * 1e-9 * (k + 1) for k in range(d)]
        else:
            row = [rng.uniform(-100, 100) for _ in range(d)]
        rows.append(row)
        ys.append(rng.uniform(-50, 50) + sum(row))
    return rows, ys


def normal_equations(d, rows, ys, weights=None):
    """The exact normal equations [A | b] of the regression with an intercept,
    as Fractions; rows of weight -1 are downdated."""
    weights = weights or [1] * len(rows)
    feats = [[Fraction(1)] + [Fraction(v) for v in row] for row in rows]
    return [
        [sum(w * f[i] * f[j] for f, w in zip(feats, weights, strict=True)) for j in range(d + 1)]
        + [sum(w * f[i] * Fraction(y) for f, y, w in zip(feats, ys, weights, strict=True))]
        for i in range(d + 1)
    ]


def exact_solution(d, rows, ys, weights=None):
    """The exact least-squares coefficients (Fractions), or None if singular;
    rows of weight -1 are downdated."""
    a = normal_equations(d, rows, ys, weights)
    for c in range(d + 1):
        p = next((r for r in range(c, d + 1) if a[r][c] != 0), None)
        if p is None:
            return None
        a[c], a[p] = a[p], a[c]
        for r in range(d + 1):
            if r != c and a[r][c] != 0:
                f = a[r][c] / a[c][c]
                a[r] = [u - f * v for u, v in zip(a[r], a[c], strict=True)]
    return [a[i][d + 1] / a[i][i] for i in range(d + 1)]


# ---- state -------------------------------------------------------------


def test_dimension_zero():
    s = CovMatrixF64(0)
    assert s.count() == 0
    s.add([], 1.0)
    assert s.count() == 1
    assert len(s.encode()) == 286


def test_layout_of_one_row():
    s = make(2, [[1.0, 2.0]], [3.0])
    raw = s.encode()
    assert s.count() == 1 and len(raw) == 2258
    assert raw[:5] == bytes([2, 0, 0, 0, 0])
    products = 5 + 281 * 3
    for k, value in enumerate([1, 2, 4, 3, 6]):
        group = raw[products + 282 * k : products + 282 * (k + 1)]
        limbs = struct.unpack("<34Q", group[:272])
        assert limbs[16] == value << 50 and sum(limbs) == value << 50
        assert struct.unpack("<Q", group[273:281])[0] == 2 and group[272] == 0 and group[281] == 0


@pytest.mark.parametrize("row", [[1.0], [1.0, 2.0, 3.0], []])
def test_wrong_row_length_panics_and_changes_nothing(row):
    s = make(2, [[5.0, 6.0]], [1.0])
    before = s.encode()
    with pytest.raises(PanicException) as e:
        s.add(row, 1.0)
    assert not isinstance(e.value, Exception)
    assert str(e.value) == (
        f"assertion `left == right` failed: row length must equal dim()\n  left: {len(row)}\n right: 2"
    )
    assert s.encode() == before


def test_numpy_rows_match_lists():
    rows = [[0.5, -3.25, 1e10], [7.0, 0.1, -2.0]]
    a = make(3, rows, [1.0, 2.0])
    b = make(3, [np.array(r) for r in rows], [1.0, 2.0])
    assert a.encode() == b.encode()


def test_docstrings():
    assert CovMatrixF64.sub.__doc__ == SUB_DOC
    assert CovMatrixF64.regression_exact.__doc__ == EXACT_DOC
    assert CovMatrixF64.regression.__text_signature__ == "($self)"


@pytest.mark.parametrize(
    "d, error, message",
    [
        (2**32, ValueError, "^dimension too large for the byte encoding$"),
        (2**64 - 1, ValueError, "^dimension too large for the byte encoding$"),
        (3 * 10**8, MemoryError, None),  # encodable, but beyond any address space
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
    ],
)
def test_constructor_refuses_impossible_dimensions(d, error, message):
    with pytest.raises(error, match=message):
        CovMatrixF64(d)


def test_merge_across_dimensions_marks_mismatch():
    s = make(2, [[1.0, 2.0], [3.0, 5.0], [4.0, -1.0]], [1.0, 2.0, 0.5])
    other = make(3, [[1.0, 2.0, 3.0]], [1.0])
    other_bytes = other.encode()
    s.merge(other)
    assert other.encode() == other_bytes
    assert s.count() == 3 and s.encode()[4] == 1
    for call in (lambda: s.covariance(0, 0), s.regression, s.regression_exact, lambda: s.sub(CovMatrixF64(2))):
        raises(call, "Degenerate")
    # The mark travels with merges and encodings.
    t = CovMatrixF64(2)
    t.merge(s)
    assert t.encode()[4] == 1
    assert CovMatrixF64.decode(s.encode()).encode() == s.encode()
    s.add([1.0, 1.0], 1.0)  # still accumulates
    assert s.count() == 4


def test_self_merge_and_sub_refused():
    s = make(1, [[1.0]], [1.0])
    for op in (s.merge, s.sub):
        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            op(s)


@pytest.mark.parametrize("seed", range(6))
def test_merge_then_sub_restores_bytes(seed):
    rng = random.Random(seed)
    d = seed % 4
    a = make(d, *random_data(rng, d, rng.randint(0, 6)))
    if seed % 2:  # flags on the minuend survive and do not block the subtraction
        a.add([math.nan] * d, math.inf)
        a.add([1e-300] * d, 1.0)
    b = make(d, *random_data(rng, d, rng.randint(1, 6)))
    before, receipt = a.encode(), a.state_hash()
    a.merge(b)
    a.sub(b)
    assert a.encode() == before and a.state_hash() == receipt


def test_sub_of_a_part_equals_the_rest():
    rng = random.Random(11)
    rows, ys = random_data(rng, 3, 12)
    whole = make(3, rows, ys)
    whole.sub(make(3, rows[:5], ys[:5]))
    assert whole.encode() == make(3, rows[5:], ys[5:]).encode()


@pytest.mark.parametrize(
    "subtrahend",
    [
        lambda: make(2, [[1.0, 2.0]] * 4, [1.0] * 4),  # larger count
        lambda: make(2, [[math.nan, 2.0]], [1.0]),  # NaN in one feature sum only
        lambda: make(2, [[1.0, 2.0]], [math.inf]),  # infinite y
        lambda: make(2, [[1.0, 1e-300]], [1.0]),  # exactness lost in products
        lambda: make(3, [[1.0, 2.0, 3.0]], [1.0]),  # other dimension
    ],
)
def test_sub_refusals_change_nothing(subtrahend):
    s = make(2, [[1.0, 2.0], [3.0, 1.0], [0.5, 0.25]], [1.0, 2.0, 3.0])
    before = s.encode()
    raises(lambda: s.sub(subtrahend()), "Degenerate")
    assert s.encode() == before


# ---- encoding ------------------------------------------------------------


@pytest.mark.parametrize("seed", range(5))
def test_decode_reproduces_every_state(seed):
    rng = random.Random(100 + seed)
    d = seed
    s = make(d, *random_data(rng, d, 4))
    if seed >= 2:
        s.add([-math.inf] + [1e-310] * (d - 1), math.nan)
    if seed == 4:
        s.merge(CovMatrixF64(1))
    t = CovMatrixF64.decode(s.encode())
    assert t.encode() == s.encode() and t.state_hash() == s.state_hash()
    assert t.count() == s.count()


def header(d, flag=0):
    return struct.pack("<I", d) + bytes([flag])


@pytest.mark.parametrize(
    "raw",
    [
        b"",
        b"\x00",
        bytes(4),
        header(0, 2) + bytes(281),
        header(0) + bytes(280),
        header(0) + bytes(282),
        header(1) + bytes(1125),
        header(1) + bytes(1127),
        header(0xFFFFFFFF),  # the length computation overflows 64 bits
        header(0xFFFFFFFF) + bytes(1000),
        header(100000) + bytes(5000),  # hostile dimensions
        header(0) + bytes(272) + b"\x08" + bytes(8),  # sum flags above 7
    ],
)
def test_decode_rejects(raw):
    with pytest.raises(ValueError, match=UNDEFINED):
        CovMatrixF64.decode(raw)


def test_decode_rejects_bad_product_bytes():
    valid = make(1, [[2.0]], [3.0]).encode()
    first_product = 5 + 281 * 2
    for offset, value in ((first_product + 272, 8), (first_product + 281, 2), (len(valid) - 1, 2), (281 + 5 + 272, 9)):
        raw = bytearray(valid)
        raw[offset] = value
        with pytest.raises(ValueError, match=UNDEFINED):
            CovMatrixF64.decode(bytes(raw))


def test_decode_survives_random_input():
    rng = random.Random(5)
    valid = make(2, [[1.0, 2.0]], [3.0]).encode()
    for _ in range(300):
        if rng.random() < 0.5:
            raw = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40)))
        else:
            raw = bytearray(valid)
            for _ in range(rng.randint(1, 4)):
                raw[rng.randrange(len(raw))] = rng.getrandbits(8)
            raw = bytes(raw[: rng.choice([len(raw), rng.randrange(len(raw))])])
        try:
            decoded = CovMatrixF64.decode(raw)
        except ValueError as e:
            assert str(e) == "undefined (insufficient data or invalid input)"
        else:
            assert decoded.encode() == raw


# ---- queries -------------------------------------------------------------


@pytest.mark.parametrize(
    "d, rows, ys, exact, fast",
    [
        (1, [[1.0], [2.0], [3.0]], [2.0, 4.0, 6.0], [0.0, 2.0], [0.0, 2.0]),
        (1, [[1.0], [2.0], [4.0]], [1.0, 3.0, 2.0], [1.5, 0.21428571428571427], [1.5, 0.21428571428571425]),
        (0, [[], []], [1.0, 2.0], [1.5], [1.5]),
        (1, [[49.0]], [1.0], "Degenerate", [0.234375, 0.015625]),
        (2, [[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]], [1.0, 2.0, 3.0], "Degenerate", "Degenerate"),
        (2, [], [], "Empty", "Empty"),
        (2, [[1.0, 1e-310]], [1.0], "ExactnessLost", "ExactnessLost"),
        # x_0·y (read with row 0) underflows before x_1·x_1 (row 1) overflows.
        (2, [[1.0, 1e200], [2.0, 1.0]], [1e-320, 1.0], "ExactnessLost", "ExactnessLost"),
        (2, [[1.0, 2.0], [1e-300, 1.0]], [math.nan, 1.0], "NonFinite", "NonFinite"),
    ],
)
def test_regression_cases(d, rows, ys, exact, fast):
    s = make(d, rows, ys)
    before = s.encode()
    for method, expected in ((s.regression_exact, exact), (s.regression, fast)):
        if isinstance(expected, str):
            raises(method, expected)
        else:
            assert [bits(v) for v in method()] == [bits(v) for v in expected]
    assert s.encode() == before


@pytest.mark.parametrize(
    "kind, d, n, seed",
    [
        ("plain", 1, 5, 1),
        ("plain", 3, 8, 2),
        ("plain", 8, 14, 3),
        ("poly", 4, 9, 4),
        ("poly", 6, 10, 5),
        ("poly", 8, 12, 6),
        ("collinear", 3, 7, 7),
        ("collinear", 8, 11, 8),
    ],
)
def test_exact_tier_is_the_rounded_rational_solution(kind, d, n, seed):
    rows, ys = random_data(random.Random(seed), d, n, kind)
    solution = exact_solution(d, rows, ys)
    got = make(d, rows, ys).regression_exact()
    assert [bits(v) for v in got] == [bits(round_fraction(b)) for b in solution]


@pytest.mark.parametrize(
    "kept, removed",
    [
        (
            [([-2, 0, 1], 1), ([0, -2, -2], -1), ([0, 1, 1], 0), ([-2, -1, 2], 2), ([1, 1, -1], 1)],
            [([0, -2, 0], -3), ([1, -2, 1], 1), ([0, -2, 2], 2)],
        ),
        (
            [([-1, 0, 1], 0), ([-2, 0, 1], 2), ([-1, 0, -1], -3), ([1, 0, 1], 0)],
            [([-2, -1, -1], 0), ([0, 1, 0], -2), ([1, 0, 1], 0)],
        ),
    ],
)
def test_exact_tier_after_downdating_rows_never_added(kept, removed):
    # No longer a Gram matrix: a leading minor vanishes (of order 2, then 3),
    # so the elimination must swap rows to reach the solution. Features of
    # unequal scale give the equations unequal powers of two to shed.
    def scaled(part):
        return [[v * 2.0**e for v, e in zip(r, (-1, 2, -3), strict=True)] for r, _ in part]

    s = make(3, scaled(kept), [y for _, y in kept])
    s.sub(make(3, scaled(removed), [y for _, y in removed]))
    both = kept + removed
    solution = exact_solution(3, scaled(both), [y for _, y in both], [1] * len(kept) + [-1] * len(removed))
    assert [bits(v) for v in s.regression_exact()] == [bits(round_fraction(b)) for b in solution]


@pytest.mark.parametrize(
    "kind, d, n, seed",
    [
        ("plain", 1, 4, 21),
        ("plain", 4, 9, 22),
        ("plain", 7, 12, 23),
        ("poly", 5, 9, 24),  # condition number near 1e15
        ("collinear", 4, 8, 25),  # its normal matrix rounded to binary64 is singular
    ],
)
def test_fast_tier_solves_the_normal_equations(kind, d, n, seed):
    # The fast tier eliminates in binary64 from rounded means, so it owes no
    # correct rounding, only a small backward error: Gauss-Jordan with partial
    # pivoting leaves a residual of the exact equations within a few roundings
    # per unknown of their scale (8 (d + 1) u stated here; the cases reach
    # 2 u). That bounds the distance to the exact tier by the condition number,
    # which says something only for the well-conditioned cases.
    rows, ys = random_data(random.Random(seed), d, n, kind)
    s = make(d, rows, ys)
    fast, exact = [Fraction(v) for v in s.regression()], s.regression_exact()
    a = normal_equations(d, rows, ys)
    residual = max(abs(sum(c * x for c, x in zip(eq[:-1], fast, strict=True)) - eq[-1]) for eq in a)
    scale = max(sum(map(abs, eq[:-1])) for eq in a) * max(map(abs, fast)) + max(abs(eq[-1]) for eq in a)
    backward = 8 * (d + 1) * 2.0**-53
    assert residual <= backward * scale
    kappa = np.linalg.cond(np.array([[float(c) for c in eq[:-1]] for eq in a]), p=np.inf)
    error = max(abs(x - Fraction(e)) for x, e in zip(fast, exact, strict=True)) / max(map(abs, exact))
    assert kappa * backward >= 0.5 or error <= 2 * kappa * backward


def test_regression_independent_of_order_and_partition():
    rng = random.Random(31)
    rows, ys = random_data(rng, 3, 10)
    whole = make(3, rows, ys)
    order = list(range(10))
    rng.shuffle(order)
    left = make(3, [rows[i] for i in order[:4]], [ys[i] for i in order[:4]])
    left.merge(make(3, [rows[i] for i in order[4:]], [ys[i] for i in order[4:]]))
    assert left.encode() == whole.encode()
    assert left.regression_exact() == whole.regression_exact()
    assert left.regression() == whole.regression()


def test_covariance_cases():
    s = make(2, [[1.0, 2.0], [3.0, 4.0]], [7.0, -1.0])
    for i, j in ((0, 0), (0, 1), (1, 0), (1, 1)):
        assert s.covariance(i, j) == 1.0
    for i, j in ((0, 2), (2, 0), (2**64 - 1, 0)):
        raises(partial(s.covariance, i, j), "Degenerate")
    raises(lambda: CovMatrixF64(2).covariance(5, 5), "Empty")  # Empty precedes the index check
    raises(lambda: make(0, [[]], [1.0]).covariance(0, 0), "Degenerate")
    t = make(2, [[1.0, 1e-310]], [1.0])
    raises(lambda: t.covariance(0, 1), "ExactnessLost")
    assert t.covariance(0, 0) == 0.0
    u = make(2, [[math.nan, 1.0], [1.0, 2.0]], [1.0, 1.0])
    raises(lambda: u.covariance(1, 0), "NonFinite")
    assert u.covariance(1, 1) == 0.25


@pytest.mark.parametrize("seed", range(4))
def test_covariance_matches_fraction_formula(seed):
    rng = random.Random(seed)
    d = 3
    rows, ys = random_data(rng, d, rng.randint(1, 9))
    s = make(d, rows, ys)
    n = len(rows)
    for i in range(d):
        for j in range(d):
            xi = [Fraction(r[i]) for r in rows]
            xj = [Fraction(r[j]) for r in rows]
            c = (n * sum(a * b for a, b in zip(xi, xj, strict=True)) - sum(xi) * sum(xj)) / (n * n)
            assert bits(s.covariance(i, j)) == bits(round_fraction(c))


# ---- NIST StRD -------------------------------------------------------------


def digits_agreeing(estimates, certified):
    worst = math.inf
    for e, c in zip(estimates, certified, strict=True):
        if e != c:
            worst = min(worst, -math.log10(abs(e - c) / abs(c)))
    return worst


@pytest.mark.parametrize(
    "name, exact_digits",
    [
        ("Norris", 14),
        ("Pontius", 13),
        ("NoInt1", 14.5),
        ("NoInt2", 15),
        ("Longley", 14.5),
        ("Wampler1", math.inf),
        ("Wampler2", 13),
        ("Wampler3", math.inf),
        ("Wampler4", math.inf),
        ("Wampler5", math.inf),  # integer data: the certified 1.0 exactly
        ("Filip", 7.5),  # x^2 … x^10 are rounded to binary64, which moves the solution
    ],
)
def test_strd_certified_values(name, exact_digits):
    p = strd_data.load(name)
    s = CovMatrixF64(len(p.rows[0]))
    strd_data.fill(s, p)
    assert digits_agreeing(strd_data.coefficients(p, s.regression_exact()), p.certified) >= exact_digits
