"""No leaks: every method of every class, on its success and its failure
paths, called many times, leaves the reference counts of its arguments as
they were and does not grow the process's memory."""

import os
import sys
import tracemalloc
from decimal import Decimal

import numpy as np
import pyarrow as pa
import pytest

import tallix
from tallix import PanicException

try:
    import polars as pl
except ImportError:
    pl = None

UNDEFINED = "undefined (insufficient data or invalid input)"
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class Index:
    """An int-like object: accepted wherever an unsigned integer is."""

    def __index__(self):
        return 3


class Real:
    """A float-like object whose conversion fails."""

    def __float__(self):
        raise ArithmeticError("no value")


class Args:
    """The argument objects handed to the library; their reference counts
    are compared before and after."""

    def __init__(self):
        self.x = float("1.25")
        self.y = float("-3.5")
        self.row = [0.5, -2.0, 7.25]
        self.short_row = [1.0]
        self.seq = [float(v) for v in range(40)] + [float("nan")]
        self.text = "str is not a float"
        self.key = "k\u00e9y"
        self.other_key = "missing"
        self.index = Index()
        self.real = Real()
        self.big = 2**64
        self.bad_bytes = b"\x00" * 7
        self.edges = [-1.0, 0.0, 2.5]
        self.bad_edges = [1.0, 0.0]
        self.q = float("0.0")
        # Batch inputs read through buffers, Arrow exports and exact conversions.
        self.arrow = pa.array(self.seq)
        self.chunked = pa.chunked_array([self.seq[:20], self.seq[20:]])
        self.long_double = np.array(self.seq, dtype=np.longdouble)
        self.polars = pl.Series(self.seq) if pl else self.arrow
        self.arrow_null = pa.array([1.0, None])
        self.arrow_inexact = pa.array([2**53 + 1])
        self.masked = np.ma.masked_array([1.0, 2.0], mask=[False, True])
        self.decimal_inexact = [Decimal(2**53 + 1)]
        self.complex = [1.0, 2j]

    def objects(self):
        return dict(vars(self))


def expect(kind, fn, *args):
    try:
        fn(*args)
    except kind:
        return
    raise AssertionError(f"{fn} did not raise {kind}")


class Calls:
    """Runs a method and records that it ran, for the coverage check."""

    def __init__(self):
        self.seen = set()

    def __call__(self, obj, name, *args, error=None):
        cls = obj if isinstance(obj, type) else type(obj)
        self.seen.add((cls.__name__, name))
        fn = getattr(obj, name)
        if error is None:
            return fn(*args)
        expect(error, fn, *args)


def bytes_paths(call, cls, good, method="from_bytes"):
    call(cls, method, good)
    call(cls, method, b"\x00" * 7, error=ValueError)
    call(cls, method, bytearray(good), error=TypeError)
    bad = bytearray(good)
    bad[272 if len(bad) >= 281 else 16] = 8  # an invalid flag byte
    call(cls, method, bytes(bad), error=ValueError)


def scalar_class(call, a, cls, queries, adder="add", arity=1, merge="merge"):
    s, t = cls(), cls()
    for q in queries:  # empty state: most answers are errors
        try:
            call(s, q)
        except ValueError:
            pass
    vals = (a.x, a.y)[:arity]
    call(s, adder, *vals)
    call(t, adder, *vals)
    call(s, adder, *(a.y, a.x)[:arity])
    call(s, adder, *((a.text,) + vals[1:]), error=TypeError)
    call(s, adder, *((a.real,) + vals[1:]), error=ArithmeticError)
    batch(call, a, s, arity)
    if merge:
        call(s, merge, t)
        call(s, merge, s, error=RuntimeError)
        call(s, merge, a.row, error=TypeError)
    for q in queries:
        try:
            call(s, q)
        except ValueError:
            pass
    if hasattr(cls, "to_bytes"):
        good = call(s, "to_bytes")
        bytes_paths(call, cls, good)
    if hasattr(cls, "state_hash"):
        call(s, "state_hash")
    return s


def batch(call, a, s, arity):
    """The batch `extend`, where a class has one: whole sequences, a str in
    place of one, and sequences of different lengths."""
    if not hasattr(s, "extend"):
        return
    seqs = (a.seq,) * arity
    call(s, "extend", *seqs)
    call(s, "extend", *((a.text,) + seqs[1:]), error=TypeError)
    call(s, "extend", *(([a.x, a.real],) + seqs[1:]), error=ArithmeticError)
    if not isinstance(s, (tallix.DotF64, tallix.FastSumF64)):  # these read sequences of floats
        for good in (a.arrow, a.chunked, a.long_double, a.polars):
            call(s, "extend", *((good,) + seqs[1:]))
        for bad, error in (
            (a.arrow_null, ValueError),
            (a.arrow_inexact, ValueError),
            (a.masked, TypeError),
            (a.decimal_inexact, ValueError),
            (a.complex, TypeError),
        ):
            call(s, "extend", *((bad,) + seqs[1:]), error=error)
    if arity == 2:
        call(s, "extend", a.seq, a.row, error=(PanicException, ValueError))


def exercise(call, a):
    s = scalar_class(call, a, tallix.SumF64, ["count", "value"])
    call(s, "try_unmerge", tallix.SumF64())
    call(s, "try_unmerge", tallix.SumF32(), error=TypeError)
    scalar_class(call, a, tallix.SumF32, ["count", "value"])

    f = tallix.FastSumF64()
    call(f, "add", a.x)
    call(f, "extend", a.seq)
    call(f, "extend", a.text, error=TypeError)
    call(f, "extend", a.real, error=TypeError)
    call(f, "extend", [a.x, a.real], error=ArithmeticError)
    call(f, "count")
    call(f, "finish")

    d = scalar_class(call, a, tallix.DotF64, ["value"], adder="push", arity=2)
    call(d, "extend", a.row, a.row)
    call(d, "extend", a.row, a.short_row, error=PanicException)
    call(tallix.DotF64(), "push", 1e-200, 1e-200)
    lost = tallix.DotF64()
    lost.push(1e-200, 1e-200)
    call(lost, "value", error=ValueError)
    tallix.dot(a.row, a.row)
    expect(PanicException, tallix.dot, a.row, a.short_row)
    expect(TypeError, tallix.dot, a.text, a.row)

    scalar_class(call, a, tallix.MomentsF64, ["count", "mean", "variance", "sample_variance", "stddev"])
    scalar_class(
        call,
        a,
        tallix.Moments4F64,
        ["count", "mean", "variance", "kurtosis", "excess_kurtosis", "skewness", "skewness_squared"],
    )
    scalar_class(
        call, a, tallix.CovF64, ["count", "covariance", "slope", "intercept", "r_squared", "correlation"], arity=2
    )
    scalar_class(call, a, tallix.WeightedMomentsF64, ["count", "mean", "variance"], arity=2)
    p = scalar_class(call, a, tallix.PnMomentsF64, ["live_count", "mean", "variance"])
    call(p, "remove", a.x)
    call(p, "remove", a.text, error=TypeError)

    covmat(call, a)
    histogram(call, a)
    e = scalar_class(call, a, tallix.ExtremaF64, ["min", "max", "range"], merge=None)
    if hasattr(e, "merge"):
        call(e, "merge", tallix.ExtremaF64())
    maps(call, a)
    deltas = tallix.DeltasSum()
    call(deltas, "add", a.x)
    call(deltas, "add", a.text, error=TypeError)
    batch(call, a, deltas, 1)
    call(deltas, "value")


ROWS = [[1.0, 2.0, 3.0], [2.0, 1.0, 5.0], [0.0, 4.0, 1.0], [3.0, 3.0, 2.0], [5.0, 1.0, 1.0]]


def covmat(call, a):
    cls = tallix.CovMatrixF64
    m, o = cls(3), cls(3)
    cls(a.index)
    expect(TypeError, cls, a.text)
    expect(OverflowError, cls, a.big)
    call(m, "add", a.row, a.x)
    for row in ROWS:
        m.add(row, row[0] - row[2])
    call(o, "add", a.row, a.x)
    call(m, "add", a.short_row, a.x, error=PanicException)
    call(m, "add", a.text, a.x, error=TypeError)
    if hasattr(m, "extend"):
        call(m, "extend", [a.row, a.row], [a.x, a.y])
        call(m, "extend", [a.row], [a.x, a.y], error=ValueError)
        call(m, "extend", [a.short_row], [a.x], error=ValueError)
        call(m, "extend", a.text, [a.x], error=TypeError)
    call(m, "count")
    call(m, "merge", o)
    call(m, "merge", m, error=RuntimeError)
    call(m, "covariance", 0, 1)
    call(m, "covariance", a.index, 0, error=ValueError)
    call(m, "covariance", a.big, 0, error=OverflowError)
    call(m, "regression")
    call(m, "regression_exact")
    call(cls(2), "regression", error=ValueError)
    call(m, "sub", o)
    call(m, "sub", cls(2), error=ValueError)
    good = call(m, "encode")
    call(m, "state_hash")
    call(cls, "decode", good)
    call(cls, "decode", a.bad_bytes, error=ValueError)
    call(cls, "decode", a.text, error=TypeError)


def histogram(call, a):
    cls = tallix.HistogramF64
    h = cls(a.edges)
    cls(a.edges)
    expect(ValueError, cls, a.bad_edges)
    expect(TypeError, cls, a.text)
    call(h, "add", a.x)
    call(h, "add", a.text, error=TypeError)
    batch(call, a, h, 1)
    call(h, "edges")
    call(h, "counts")
    call(h, "total")
    call(h, "quantile_bounds", a.q)
    call(h, "quantile_bounds", a.big, error=ValueError)
    call(h, "quantile_bounds", a.text, error=TypeError)
    good = call(h, "encode")
    call(h, "state_hash")
    call(cls, "decode", good)
    call(cls, "decode", a.bad_bytes, error=ValueError)
    undefined = bytearray(good)
    undefined[4] = 1
    call(cls.decode(bytes(undefined)), "counts", error=ValueError)
    if hasattr(h, "merge"):
        call(h, "merge", cls(a.edges))
        call(h, "merge", cls([0.0, 1.0]), error=ValueError)


def maps(call, a):
    for cls, queries in ((tallix.SumMap, ["value"]), (tallix.MomentsMap, ["mean", "variance"])):
        m, o = cls(), cls()
        call(m, "add", a.key, a.x)
        call(o, "add", a.key, a.y)
        call(m, "add", a.x, a.x, error=TypeError)
        call(m, "add", a.key, a.text, error=TypeError)
        call(m, "extend", [a.key, a.key], a.seq[:2])
        call(m, "extend", [a.key], a.seq[:2], error=ValueError)
        call(m, "extend", [a.key, a.x], a.seq[:2], error=TypeError)
        for q in queries:
            call(m, q, a.key)
            call(m, q, a.other_key, error=ValueError)
        call(m, "merge", o)
        call(m, "merge", m, error=RuntimeError)
        call(m, "len")
        if hasattr(m, "count"):
            call(m, "count")
        good = call(m, "encode")
        if hasattr(cls, "decode"):
            call(cls, "decode", good)
            call(cls, "decode", a.bad_bytes, error=ValueError)
    r, o = tallix.ReplicatedSum(), tallix.ReplicatedSum()
    call(r, "add", a.index, a.x)
    call(o, "add", 9, a.y)
    call(r, "add", a.big, a.x, error=OverflowError)
    call(r, "add", -1, a.x, error=OverflowError)
    call(r, "join", o)
    call(r, "join", r, error=RuntimeError)
    call(r, "value")
    good = call(r, "encode")
    if hasattr(tallix.ReplicatedSum, "decode"):
        call(tallix.ReplicatedSum, "decode", good)
        call(tallix.ReplicatedSum, "decode", a.bad_bytes, error=ValueError)


class FailingStream:
    """Arrow record batches whose stream fails after the first."""

    def __init__(self):
        self.schema = pa.schema([("a", pa.float64())])

    def batches(self):
        yield pa.record_batch([pa.array([1.5] * 300)], schema=self.schema)
        raise LookupError("the source went away")

    def __arrow_c_stream__(self, requested_schema=None):
        reader = pa.RecordBatchReader.from_batches(self.schema, self.batches())
        return reader.__arrow_c_stream__(requested_schema)


def test_arrow_exports_are_released():
    # Every exported array, batch, schema and stream holds the producer's
    # buffers until released: a path that missed a release would keep
    # pyarrow's allocations growing.
    def workout():
        s = tallix.SumF64()
        s.extend(pa.array(range(1000), pa.int64()))
        s.extend(pa.chunked_array([pa.array([1.5] * 500), pa.array([], pa.float64()), pa.array([2.5] * 500)]))
        expect(ValueError, s.extend, pa.array([1.0, None] * 500))
        expect(ValueError, s.extend, pa.array([2**53 + 1] * 1000))
        expect(TypeError, s.extend, pa.array(["x"] * 100))
        expect(TypeError, s.extend, pa.table({"a": [1.0] * 100}))
        table = pa.table({"a": [1.5] * 300, "b": pa.array(range(300), pa.int32())})
        tallix.CovMatrixF64(2).extend(table, [1.0] * 300)
        tallix._extend_rows([tallix.SumF64() for _ in range(300)], table)
        expect(ValueError, tallix._extend_rows, [tallix.SumF64()], pa.table({"a": pa.array([None], pa.float64())}))
        expect(RuntimeError, tallix.CovMatrixF64(1).extend, FailingStream(), [1.0] * 600)

    workout()
    before = pa.total_allocated_bytes()
    for _ in range(100):
        workout()
    assert pa.total_allocated_bytes() == before


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_every_public_method_is_exercised():
    call = Calls()
    exercise(call, Args())
    missing = []
    for name in tallix.__all__[:-1]:
        cls = getattr(tallix, name)
        for method in vars(cls):
            if not method.startswith("_") and (name, method) not in call.seen:
                missing.append(f"{name}.{method}")
    assert not missing, "add these to the leak workout: " + ", ".join(missing)


def test_arguments_keep_their_reference_counts():
    a = Args()
    call = Calls()
    exercise(call, a)  # warm caches (type objects, interned strings)
    before = {k: sys.getrefcount(v) for k, v in a.objects().items()}
    for _ in range(50):
        exercise(call, a)
    after = {k: sys.getrefcount(v) for k, v in a.objects().items()}
    assert after == before


def test_python_objects_are_released():
    # Results, exceptions and converted arguments are Python objects, which
    # tracemalloc sees.
    a = Args()
    call = Calls()
    for _ in range(30):
        exercise(call, a)
    # A leak grows in every round; a one-off allocation (a cache filling, a
    # dict resizing) lands in one round only, so the least growth is judged.
    tracemalloc.start()
    try:
        for _ in range(10):
            exercise(call, a)
        rounds = []
        for _ in range(3):
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(400):
                exercise(call, a)
            rounds.append(tracemalloc.get_traced_memory()[0] - start)
        grown = min(rounds)
    finally:
        tracemalloc.stop()
    # A clean run stays within a few dozen bytes; a single leaked float per
    # iteration would add 9600.
    assert grown < 4096, f"traced Python memory grew by {grown} bytes"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_native_memory_does_not_grow():
    # The core's own storage (vectors of a covariance matrix and a histogram,
    # encodings, converted sequences) is outside tracemalloc: watch the
    # resident size instead, with states large enough that a leak shows.
    big = tallix.CovMatrixF64(40)
    big.add([1.0] * 40, 2.0)
    blob = big.encode()
    edges = [float(i) for i in range(20000)]
    a = Args()
    call = Calls()

    def workout():
        exercise(call, a)
        tallix.CovMatrixF64.decode(blob).encode()
        tallix.CovMatrixF64(40).state_hash()
        tallix.HistogramF64(edges).encode()
        tallix.FastSumF64().extend(edges)

    for _ in range(20):
        workout()
    start = rss()
    for _ in range(150):
        workout()
    grown = rss() - start
    # Each workout moves about 1 MB through the core; a leak of any of it
    # would add well over 16 MB.
    assert grown < 16 * 2**20, f"resident memory grew by {grown} bytes"
