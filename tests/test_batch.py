"""Every `extend` must leave exactly the bytes of the loop of single updates,
change nothing when it refuses its input, and accept any sequence kind."""

import array
import math
import random
import signal
import struct
import subprocess
import sys
import threading
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix as T

try:
    import polars as pl
except ImportError:
    pl = None

NAN, INF = float("nan"), float("inf")
EDGES = [-1e300, -2.0, -0.0, 0.0, 1e-300, 0.5, 3.0, 1e200]
ODD_VALUES = [0.0, -0.0, NAN, INF, -INF, 5e-324, -2.2250738585072014e-308, 1e-200, 1.7e308, -1.3e154]


def values(rng, n):
    """Wide exponents, cancellations, and now and then an odd value."""
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.02:
            out.append(rng.choice(ODD_VALUES))
        elif r < 0.5:
            out.append(rng.gauss(0, 1) * 2.0 ** rng.randint(-60, 60))
        else:
            out.append(rng.uniform(-1, 1) * 10.0 ** rng.randint(-300, 300))
    return out


def finite_values(rng, n):
    return [x for x in values(rng, 2 * n) if math.isfinite(x) and abs(x) > 1e-150][:n]


def state_bytes(obj):
    for name in ("to_bytes", "encode", "state_hash"):
        if hasattr(obj, name):
            return getattr(obj, name)()
    return struct.pack("<d", obj.value())


# name, constructor, number of sequences, single update
UNARY = [
    ("SumF64", T.SumF64, "add"),
    ("SumF32", T.SumF32, "add"),
    ("MomentsF64", T.MomentsF64, "add"),
    ("Moments4F64", T.Moments4F64, "add"),
    ("PnMomentsF64", T.PnMomentsF64, "add"),
    ("ExtremaF64", T.ExtremaF64, "add"),
    ("HistogramF64", lambda: T.HistogramF64(EDGES), "add"),
    ("DeltasSum", T.DeltasSum, "add"),
]
BINARY = [
    ("CovF64", T.CovF64, "add"),
    ("WeightedMomentsF64", T.WeightedMomentsF64, "add"),
    ("DotF64", T.DotF64, "push"),
]


def case_id(v):
    return v if isinstance(v, str) else ""


def loop_and_batch(make, update, columns, prefix):
    """Two states that saw `prefix` one at a time, then `columns` one at a time
    or in one extend."""
    a, b = make(), make()
    for state in (a, b):
        for args in zip(*prefix, strict=True):
            getattr(state, update)(*args)
    for args in zip(*columns, strict=True):
        getattr(a, update)(*args)
    b.extend(*columns)
    return a, b


@pytest.mark.parametrize("n", [0, 1, 3, 255, 256, 257, 2049, 5000, 140001])
@pytest.mark.parametrize("name, make, update", UNARY + BINARY, ids=case_id)
def test_extend_equals_update_loop(name, make, update, n):
    rng = random.Random(n * 31 + len(name))
    arity = 2 if (name, make, update) in BINARY else 1
    columns = [values(rng, n) for _ in range(arity)]
    prefix = [values(rng, 7) for _ in range(arity)]
    a, b = loop_and_batch(make, update, columns, prefix)
    assert state_bytes(a) == state_bytes(b)


@pytest.mark.parametrize("name, make, update", UNARY + BINARY, ids=case_id)
def test_extend_accepts_arrays_and_tuples(name, make, update):
    rng = random.Random(5)
    arity = 2 if (name, make, update) in BINARY else 1
    columns = [finite_values(rng, 3000) for _ in range(arity)]
    a, b = loop_and_batch(make, update, columns, [[]] * arity)
    c = make()
    c.extend(*[np.array(col) if i == 0 else tuple(col) for i, col in enumerate(columns)])
    assert state_bytes(a) == state_bytes(b) == state_bytes(c)


@pytest.mark.parametrize(
    "make, message",
    [
        (T.CovF64, "xs and ys must have the same length"),
        (T.WeightedMomentsF64, "xs and ws must have the same length"),
    ],
)
@pytest.mark.parametrize("lengths", [(3, 2), (0, 1), (2, 3)])
def test_unequal_lengths_refused_unchanged(make, message, lengths):
    s = make()
    s.add(1.5, 2.0)
    before = s.to_bytes()
    with pytest.raises(ValueError, match=f"^{message}$"):
        s.extend([1.0] * lengths[0], [2.0] * lengths[1])
    assert s.to_bytes() == before


def test_dot_extend_unequal_lengths_is_a_broken_invariant():
    d = T.DotF64()
    d.push(3.0, 4.0)
    before = d.state_hash()
    with pytest.raises(T.PanicException, match="dot product requires equal-length slices"):
        d.extend([1.0, 2.0], [1.0])
    assert d.state_hash() == before
    with pytest.raises(T.PanicException):
        T.dot([1.0, 2.0], [1.0])


@pytest.mark.parametrize("name, make, update", UNARY + BINARY, ids=case_id)
def test_bad_element_changes_nothing(name, make, update):
    arity = 2 if (name, make, update) in BINARY else 1
    s = make()
    getattr(s, update)(*[1.25] * arity)
    before = state_bytes(s)
    bad = [1.0] * 5000 + ["x"]
    with pytest.raises(TypeError):
        s.extend(*([bad] + [[1.0] * 5001] * (arity - 1)))
    if arity == 2:
        with pytest.raises(TypeError):
            s.extend([1.0] * 5001, bad)
    assert state_bytes(s) == before


def arrow_table(block):
    """The columns of a 2-D block as an Arrow table of two record batches."""
    table = pa.table({f"c{j}": block[:, j] for j in range(block.shape[1])})
    cut = block.shape[0] // 3
    return pa.concat_tables([table.slice(0, cut), table.slice(cut)])


def covmat_pair(d, rows, ys):
    a, b = T.CovMatrixF64(d), T.CovMatrixF64(d)
    for r, y in zip(rows, ys, strict=True):
        a.add(r, y)
    b.extend(rows, ys)
    return a, b


@pytest.mark.parametrize("d, n", [(0, 5), (1, 300), (3, 0), (3, 257), (4, 1000), (3, 20000)])
def test_covmat_extend_equals_add_loop(d, n):
    rng = random.Random(d * 1000 + n)
    rows = [values(rng, d) for _ in range(n)]
    ys = values(rng, n)
    a, b = covmat_pair(d, rows, ys)
    assert a.encode() == b.encode()
    forms = [np.array(rows, dtype=float).reshape(n, d), [tuple(r) for r in rows]]
    if d:
        forms.append(arrow_table(np.array(rows, dtype=float).reshape(n, d)))
    for form in forms:
        c = T.CovMatrixF64(d)
        c.extend(form, np.array(ys))
        assert c.encode() == a.encode()


@pytest.mark.parametrize(
    "rows, ys, message",
    [
        ([[1.0, 2.0, 3.0]] * 2, [1.0], "rows and ys must have the same length"),
        ([], [1.0], "rows and ys must have the same length"),
        ([[1.0, 2.0]] * 2, [1.0, 2.0], "each row must hold d values"),
        (np.ones((2, 4)), [1.0, 2.0], "each row must hold d values"),
        ([[1.0, 2.0, 3.0], [1.0, 2.0]], [1.0, 2.0], "rows must all have the same length"),
    ],
)
def test_covmat_extend_refuses_misshapen_rows_unchanged(rows, ys, message):
    c = T.CovMatrixF64(3)
    c.add([1.0, 2.0, 3.0], 4.0)
    before = c.encode()
    with pytest.raises(ValueError, match=f"^{message}$"):
        c.extend(rows, ys)
    for bad in (np.ones(6), [1.0, 2.0], "ab", [[1.0, "x", 3.0]]):
        with pytest.raises(TypeError, match="^argument 'rows': "):
            c.extend(bad, [1.0, 2.0])
    assert c.encode() == before


def test_histogram_extend_on_decoded_unsorted_edges():
    h = T.HistogramF64([0.0, 1.0, 2.0])
    raw = bytearray(h.encode())
    raw[5:13], raw[13:21] = raw[13:21], raw[5:13]  # swap the first two edges
    a, b = T.HistogramF64.decode(bytes(raw)), T.HistogramF64.decode(bytes(raw))
    xs = values(random.Random(2), 500) + [0.5, 1.0, 0.0, -0.0, NAN]
    for x in xs:
        a.add(x)
    b.extend(xs)
    assert a.encode() == b.encode()


def test_batches_keep_sticky_flags():
    m = T.MomentsF64()
    m.extend([1e-200, 1.0])
    with pytest.raises(ValueError, match="ExactnessLost"):
        m.variance()
    d = T.DotF64()
    d.extend([1e308, 1e308], [10.0, -10.0])
    assert math.isnan(d.value())
    assert T.dot([1.0 + 2.0**-30, -1.0], [1.0 - 2.0**-30, 1.0]) == -(2.0**-60)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.floats(width=64), st.floats(width=64)), max_size=600))
def test_pairwise_batches_any_values(pairs):
    xs, ys = [p[0] for p in pairs], [p[1] for p in pairs]
    for make, update in [(T.CovF64, "add"), (T.WeightedMomentsF64, "add"), (T.DotF64, "push")]:
        a, b = loop_and_batch(make, update, [xs, ys], [[], []])
        assert state_bytes(a) == state_bytes(b)
    a, b = loop_and_batch(T.Moments4F64, "add", [xs], [[]])
    assert a.to_bytes() == b.to_bytes()


# ---- input kinds: any array-like or iterable, read exactly ----

STREAMING = [c for c in UNARY + BINARY if c[0] != "DotF64"]  # DotF64 keeps its own rules
SMALL = [0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 127] * 12  # held by every numeric dtype


def numeric(dtype):
    return lambda v: np.array(v, dtype=dtype)


KINDS = {
    "list": list,
    "tuple": tuple,
    "range": lambda v: v,
    "generator": lambda v: (x for x in v),
    "numpy scalars": lambda v: iter(np.array(v, dtype=np.int16)),
    "array.array": lambda v: array.array("d", v),
    "big-endian": numeric(">f8"),
    "little-endian int": numeric("<i4"),
    "strided": lambda v: np.column_stack([v, v])[:, 1],
    "reversed": lambda v: np.array(v[::-1], dtype=np.float64)[::-1],
    "pandas Series": pd.Series,
    "pandas Index": pd.Index,
    "nullable Int64": lambda v: pd.Series(v, dtype="Int64"),
    "pandas double[pyarrow]": lambda v: pd.Series(v, dtype="double[pyarrow]"),
    **{
        str(np.dtype(t)): numeric(t)
        for t in (
            np.float16,
            np.float32,
            np.longdouble,
            np.int8,
            np.int16,
            np.int32,
            np.int64,
            np.uint8,
            np.uint16,
            np.uint32,
            np.uint64,
            np.bool_,
        )
    },
    "float32 scalars": lambda v: iter(np.array(v, dtype=np.float32)),
    "long double scalars": lambda v: list(np.array(v, dtype=np.longdouble)),
    "0-d arrays": lambda v: [np.array(x) for x in v],
    "Decimals": lambda v: [Decimal(x) for x in v],
    "Fractions": lambda v: [Fraction(x, 1) for x in v],
    "pyarrow int64": pa.array,
    "pyarrow bool": lambda v: pa.array([bool(x) for x in v]),
    "pyarrow float16": lambda v: pa.array(np.array(v, dtype=np.float16)),
    "pyarrow sliced uint8": lambda v: pa.array([0, *v], pa.uint8()).slice(1),
    "pyarrow chunked float32": lambda v: pa.chunked_array(
        [pa.array(v[:7], pa.float32()), pa.array([], pa.float32()), pa.array(v[7:], pa.float32())]
    ),
    **(
        {
            "polars": pl.Series,
            "polars chunks": lambda v: pl.concat(
                [pl.Series(v[:50], dtype=pl.Float64), pl.Series(v[50:], dtype=pl.Float64)], rechunk=False
            ),
        }
        if pl
        else {}
    ),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, make, update", STREAMING, ids=case_id)
def test_every_input_kind_gives_the_float64_bytes(name, make, update, kind):
    v = [x % 2 for x in SMALL] if kind.endswith("bool") else SMALL
    v = range(len(v)) if kind == "range" else v
    arity = 2 if (name, make, update) in BINARY else 1
    a, b = make(), make()
    a.extend(*[np.array(v, dtype=np.float64)] * arity)
    b.extend(*[KINDS[kind](v) for _ in range(arity)])
    assert state_bytes(a) == state_bytes(b)


EXACT = [2**53 + 2, 1, -(2**53), -(2**63), 2**63]


@pytest.mark.parametrize(
    "xs",
    [
        EXACT,
        np.array(EXACT[:-1], dtype=np.int64),
        np.array([2**64 - 2**11], np.uint64),
        pa.array(EXACT[:-1]),
        pa.chunked_array([[2**53 + 2], [2**63 - 2**10]], pa.int64()),
        [np.longdouble(2**53) + 2, 1.0, -(2.0**53)],
        np.array([2**53 + 2, 0.5], np.longdouble),
        [Decimal(2**53 + 2), Decimal("-0.5"), Decimal(2**1000), Decimal("-Infinity")],
        [Fraction(2**53 + 2), Fraction(-3, 8), np.float16(0.1), np.float32(0.1)],
    ],
    ids=lambda xs: type(xs).__name__ + ":" + type(xs[0]).__name__,
)
def test_exact_values_are_taken_exactly(xs):
    s = T.SumF64()
    s.extend(xs)
    values = [x.as_py() if isinstance(x, pa.Scalar) else x for x in xs]
    if any(math.isinf(x) for x in values):
        assert s.value() == -math.inf
    else:
        exact = [
            Fraction(int(x)) if isinstance(x, (int, np.integer)) else Fraction(*x.as_integer_ratio()) for x in values
        ]
        assert s.value() == float(sum(exact))


def chunks_then(bad, n=100_000):
    return [1.5] * n + [bad]


def raising_generator():
    yield from [1.5] * 100_000
    raise LookupError("half-way")


REFUSED = [
    (lambda: b"12", TypeError, "not 'bytes'"),
    (lambda: bytearray(b"12"), TypeError, "not 'bytearray'"),
    (lambda: "12", TypeError, "expected an iterable of real numbers or a numeric array, not 'str'"),
    (lambda: np.array([1 + 2j]), TypeError, "dtype complex128"),
    (lambda: np.array(["2020-01-01"], dtype="M8[ns]"), TypeError, "dtype datetime64"),
    (lambda: np.array([1], dtype="m8[s]"), TypeError, "dtype timedelta64"),
    (lambda: np.array(["a"]), TypeError, "dtype <U1"),
    (lambda: np.array([1.0], dtype=object), TypeError, "dtype object"),
    (lambda: np.ones((2, 2)), TypeError, "1-dimensional array of real numbers, not 2"),
    (lambda: np.float64(2.0), TypeError, "not 0-dimensional"),
    (lambda: 5, TypeError, "'int' object cannot be converted"),
    (lambda: pd.Series([1.5, None], dtype="Float64"), ValueError, r"missing values.*dropna"),
    (lambda: pd.Series([True, None], dtype="boolean"), ValueError, r"missing values.*fillna"),
    (lambda: chunks_then(pd.NA), ValueError, "missing values"),
    (lambda: chunks_then(1 + 1j), TypeError, "complex"),
    (lambda: chunks_then(np.complex128(1 + 2j)), TypeError, "not 'complex128'"),
    (lambda: chunks_then(np.complex64(1)), TypeError, "not 'complex64'"),
    (
        lambda: chunks_then(np.longdouble(2**53) + 1),
        ValueError,
        "long double 9007199254740993 has no exact float64 value",
    ),
    (
        lambda: chunks_then(Decimal(2**53 + 1)),
        ValueError,
        r"Decimal\('9007199254740993'\) has no exact float64 value \(it would become 9007199254740992.0",
    ),
    (lambda: chunks_then(Fraction(2**53 + 1)), ValueError, "Fraction.* has no exact float64 value"),
    (lambda: chunks_then(Fraction(1, 3)), ValueError, "Fraction.* has no exact float64 value"),
    (lambda: chunks_then(Decimal("1e400")), ValueError, "out of range"),
    (lambda: chunks_then(Fraction(10**400)), ValueError, "out of range"),
    (
        lambda: np.array([1.0] * 100_000 + [2**53 + 1], np.longdouble),
        ValueError,
        "long double 9007199254740993 has no exact",
    ),
    (lambda: np.ma.masked_array([1.0, 2.0], mask=[False, True]), TypeError, "masked arrays are not read"),
    (lambda: pa.array([1.5, None, 2.5]), ValueError, "missing values"),
    (lambda: pa.array([2**53 + 3, None]), ValueError, "missing values"),
    (lambda: pa.array([2**53 + 3]), ValueError, "integer 9007199254740995 has no exact"),
    (lambda: pa.chunked_array([[1.5] * 100_000, [None]], pa.float64()), ValueError, "missing values"),
    (lambda: pa.table({"a": [1.5]}), TypeError, "1-dimensional array of real numbers, not 2"),
    (lambda: pa.array(["a"]), TypeError, "Arrow data of format 'u'"),
    (lambda: pa.array([1.0]).dictionary_encode(), TypeError, "dictionary-encoded"),
    *(
        [
            (lambda: pl.Series([1.5, None]), ValueError, "missing values"),
            (lambda: pl.Series([2**53 + 3]), ValueError, "integer 9007199254740995"),
        ]
        if pl
        else []
    ),
    (lambda: chunks_then("x"), TypeError, "str"),
    (lambda: chunks_then(2**53 + 1), ValueError, "integer 9007199254740993 has no exact"),
    (lambda: chunks_then(10**400), ValueError, "out of range"),
    (lambda: np.array([1] * 100_000 + [-(2**53) - 1]), ValueError, "integer -9007199254740993"),
    (lambda: np.array([2**64 - 1], dtype=np.uint64), ValueError, "18446744073709551615"),
    (raising_generator, LookupError, "half-way"),
]


@pytest.mark.parametrize("make_input, error, message", REFUSED)
@pytest.mark.parametrize("name, make, update", STREAMING, ids=case_id)
def test_refused_input_changes_nothing(name, make, update, make_input, error, message):
    arity = 2 if (name, make, update) in BINARY else 1
    s = make()
    getattr(s, update)(*[1.25] * arity)
    before = state_bytes(s)
    for bad_at in range(arity):
        columns = [make_input() if i == bad_at else range(100_001) for i in range(arity)]
        with pytest.raises(error, match=message):
            s.extend(*columns)
    assert state_bytes(s) == before


MASKED = np.ma.masked_array([1.0, 2.0], mask=[False, True])
MASKED_MESSAGE = "expected real numbers, not a masked array: masked arrays are not read"
EXPECTED = "expected an iterable of "
DOCUMENTED = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: T.dot(MASKED, [1.0, 1.0]), "argument 'xs': " + MASKED_MESSAGE),
        (lambda: T.DotF64().extend([1.0, 1.0], MASKED), "argument 'ys': " + MASKED_MESSAGE),
        (lambda: T.FastSumF64().extend(MASKED), MASKED_MESSAGE),
        (lambda: T._extend_rows([T.SumF64()], MASKED.reshape(1, 2)), MASKED_MESSAGE),
        (
            lambda: T.CovMatrixF64(2).extend(np.ma.masked_array(np.ones((2, 2)), mask=[[0, 1], [0, 0]]), [1.0, 2.0]),
            "argument 'rows': " + MASKED_MESSAGE,
        ),
        (lambda: T.CovMatrixF64(2).extend([MASKED], [1.0]), MASKED_MESSAGE),
        (lambda: T.SumMap().extend(["a", "b"], MASKED), "argument 'xs': " + MASKED_MESSAGE),
        (lambda: T.SumMap().extend("ab", [1.0, 2.0]), f"^argument 'keys': {EXPECTED}str keys, not 'str'$"),
        (
            lambda: T.CovMatrixF64(2).extend("ab", [1.0]),
            f"^argument 'rows': {EXPECTED}rows of real numbers or a 2-dimensional numeric array, not 'str'$",
        ),
        (
            lambda: T.SumF64().extend(np.str_("ab")),
            f"^argument 'xs': {EXPECTED}real numbers or a numeric array, not 'str_'$",
        ),
        (lambda: T.FastSumF64().extend("ab"), f"^argument 'xs': {DOCUMENTED}$"),
        (lambda: T.DotF64().extend([1.0], "a"), f"^argument 'ys': {DOCUMENTED}$"),
        (lambda: T.HistogramF64("ab"), f"^argument 'edges': {DOCUMENTED}$"),
    ],
)
def test_refusals_say_what_was_expected(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keyed_extend_equals_add_loop_and_refuses_unchanged():
    keys = ["a", "b", "\u00e9", "a"] * 30_000
    xs = np.linspace(-1, 1, len(keys))
    for cls in (T.SumMap, T.MomentsMap):
        a, b = cls(), cls()
        for k, x in zip(keys, xs, strict=True):
            a.add(k, x)
        b.extend(iter(keys), xs)
        assert a.encode() == b.encode()
        for bad_keys, bad_xs, error in ((keys, xs[:-1], ValueError), (keys + [1], list(xs) + [1.0], TypeError)):
            with pytest.raises(error):
                b.extend(bad_keys, bad_xs)
        assert a.encode() == b.encode()


@pytest.mark.parametrize(
    "make, data",
    [
        (T.SumF64, (np.broadcast_to(np.float64(0.5), (3 * 10**7,)),)),
        # Wide rows come fewer to a chunk; the lock still goes.
        (lambda: T.CovMatrixF64(8), (np.full((10**6, 8), 0.5), np.full(10**6, 2.0))),
    ],
)
def test_other_threads_run_and_meet_the_borrow_during_a_batch(make, data):
    s = make()
    worker = threading.Thread(target=s.extend, args=data)
    refused = 0
    worker.start()
    while worker.is_alive():
        try:
            s.count()
        except RuntimeError as e:
            assert str(e) == "Already mutably borrowed"
            refused += 1
    worker.join()
    assert refused > 0  # this thread ran while the batch held the instance
    assert s.count() == len(data[0])


@pytest.mark.parametrize(
    "call",
    [
        "m.extend(np.broadcast_to(np.float64(1.5), (10**10,)))",
        "m.extend(range(10**10))",
        "m.extend(float(i) for i in range(10**10))",
        "tallix._extend_rows([m], np.broadcast_to(1.5, (1, 10**10)))",
    ],
)
def test_ctrl_c_lands_inside_a_batch_and_changes_nothing(call):
    code = f"""if True:
        import numpy as np, tallix
        m = tallix.Moments4F64()
        m.add(2.0)
        before = m.to_bytes()
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", m.to_bytes() == before)
    """
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)  # well inside the batch, which runs for minutes
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out.strip() == "interrupted True"


# ---- many states, one per row of 2-D blocks ----


def row_layouts(block):
    """The same rows in C and F order, strided both ways, and as int32."""
    yield block
    yield np.asfortranarray(block)
    wide = np.zeros((2 * block.shape[0], 3 * block.shape[1]))
    wide[::2, ::3] = block
    yield wide[::2, ::3]
    yield np.ascontiguousarray(block.T).T[::-1][::-1]
    if np.all(block == np.round(block)):
        yield block.astype(np.int32)
    if 0 < block.shape[1] <= 1000:
        yield arrow_table(block)
        if pl:
            yield pl.DataFrame(block)


@pytest.mark.parametrize("shape", [(0, 4), (3, 0), (1, 20000), (5, 7), (3000, 3), (40, 900)])
@pytest.mark.parametrize("name, make, update", STREAMING, ids=case_id)
def test_extend_rows_equals_extend_per_row(name, make, update, shape):
    rng = random.Random(shape[0] * 7 + shape[1])
    arity = 2 if (name, make, update) in BINARY else 1
    small = shape == (5, 7)  # integers, so that the int32 layout is read too
    blocks = [
        np.array(
            [rng.randint(-9, 9) for _ in range(shape[0] * shape[1])] if small else values(rng, shape[0] * shape[1]),
            dtype=np.float64,
        ).reshape(shape)
        for _ in range(arity)
    ]
    prefix = [1.25] * arity
    want = [make() for _ in range(shape[0])]
    for i, state in enumerate(want):
        getattr(state, update)(*prefix)
        state.extend(*[b[i] for b in blocks])
    for forms in zip(*[row_layouts(b) for b in blocks], strict=True):
        got = [make() for _ in range(shape[0])]
        for state in got:
            getattr(state, update)(*prefix)
        T._extend_rows(got, *forms)
        assert [state_bytes(s) for s in got] == [state_bytes(s) for s in want]


def inexact_late():
    block = np.ones((3, 40000), dtype=np.int64)
    block[2, -1] = 2**53 + 1
    return [block]


def fed(*classes):
    states = [cls() for cls in classes]
    for s in states:
        s.push(1.5, 2.0) if isinstance(s, T.DotF64) else s.add(*[1.5] * (1 + isinstance(s, T.CovF64)))
    return states


@pytest.mark.parametrize(
    "states, blocks, error, message",
    [
        (
            lambda: fed(T.SumF64, T.MomentsF64),
            lambda: [np.ones((2, 3))],
            TypeError,
            "one class, not SumF64 and MomentsF64",
        ),
        (lambda: fed(T.SumF64) * 2, lambda: [np.ones((2, 3))], ValueError, "only once"),
        (lambda: fed(T.CovF64, T.CovF64), lambda: [np.ones((2, 3))], TypeError, "2 array"),
        (
            lambda: fed(T.CovF64),
            lambda: [np.ones((1, 3)), np.ones((1, 2))],
            ValueError,
            "xs and ys must have the same length",
        ),
        (lambda: fed(T.SumF64, T.SumF64), lambda: [np.ones((3, 3))], ValueError, "2 states, 3 rows"),
        (lambda: fed(T.SumF64), lambda: [np.ones(3)], TypeError, "2-dimensional"),
        (lambda: fed(T.SumF64), lambda: [[[1.0]]], TypeError, "not 'list'"),
        (lambda: fed(T.SumF64), lambda: [np.ones((1, 1), dtype=complex)], TypeError, "complex128"),
        (lambda: fed(T.SumF64, T.SumF64), lambda: [pa.table({"a": [1.0, None]})], ValueError, "missing values"),
        (
            lambda: fed(T.SumF64, T.SumF64),
            lambda: [np.ones((2, 1), np.longdouble) + 2.0**-60],
            ValueError,
            "long double 1.00000000000000000087 has no exact",
        ),
        (lambda: fed(T.DotF64), lambda: [np.ones((1, 1))] * 2, TypeError, "not 'DotF64'"),
        (lambda: fed(T.SumF64, T.SumF64, T.SumF64), inexact_late, ValueError, "integer 9007199254740993 has no exact"),
        (
            lambda: [T.MomentsF64(), *fed(T.MomentsF64), T.MomentsF64()],
            inexact_late,
            ValueError,
            "integer 9007199254740993 has no exact",
        ),  # fresh states are put back as well
    ],
)
def test_extend_rows_refusals_change_nothing(states, blocks, error, message):
    targets = states()
    before = [state_bytes(s) for s in targets]
    with pytest.raises(error, match=message):
        T._extend_rows(targets, *blocks())
    assert [state_bytes(s) for s in targets] == before


def test_extend_rows_meets_a_state_busy_in_another_thread():
    busy, idle = T.SumF64(), T.SumF64()
    idle.add(2.0)
    worker = threading.Thread(target=busy.extend, args=(np.broadcast_to(np.float64(0.5), (3 * 10**8,)),))
    worker.start()
    try:
        while worker.is_alive():
            try:
                busy.count()
            except RuntimeError:
                break
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            T._extend_rows([idle, busy], np.ones((2, 5)))
    finally:
        worker.join()
    assert idle.value() == 2.0 and idle.count() == 1
