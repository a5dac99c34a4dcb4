"""Reductions on a real Dask cluster of worker processes: every partitioning and
row order must give the bytes and receipt that one process gets from the plain
add loop over all rows."""

import decimal
import logging
import math
import os
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
import dask  # noqa: E402
import pandas as pd  # noqa: E402

import tallix  # noqa: E402

try:
    import tallix_dask
except ImportError:  # running from the source tree; spawned workers inherit sys.path
    sys.path.append(str(Path(__file__).resolve().parents[1] / "python"))
    import tallix_dask

TIMEOUT = 60
N = 6000
EDGES = [-1e12, -1.0, -0.0, 0.0, 1e-300, 1.0, 1e12]


def make_table():
    rng = np.random.default_rng(7)
    wide = np.ldexp(rng.random(N), rng.integers(-1074, 1000, N)) * rng.choice([-1.0, 1.0], N)
    unusual = wide.copy()
    unusual[[5, 900, 4000, 4001, 5999]] = [math.inf, -0.0, math.nan, -math.inf, 5e-324]
    return pd.DataFrame(
        {
            "wide": wide,
            "unusual": unusual,
            "normal": rng.standard_normal(N) * 1e3 + 7.0,
            "weight": rng.exponential(size=N),
            "key": rng.choice(["", "a", "b", "á", "zz"], N),
        }
    )


TABLE = make_table()

# name -> (class, columns, extra constructor arguments)
NUMERIC = {
    "sum": (tallix.SumF64, ["wide"], ()),
    "sum_unusual": (tallix.SumF64, ["unusual"], ()),
    "sum32": (tallix.SumF32, ["normal"], ()),
    "moments": (tallix.MomentsF64, ["normal"], ()),
    "moments4": (tallix.Moments4F64, ["normal"], ()),
    "pn": (tallix.PnMomentsF64, ["unusual"], ()),
    "extrema": (tallix.ExtremaF64, ["unusual"], ()),
    "hist": (tallix.HistogramF64, ["unusual"], (EDGES,)),
    "cov": (tallix.CovF64, ["normal", "wide"], ()),
    "weighted": (tallix.WeightedMomentsF64, ["normal", "weight"], ()),
    "covmat": (tallix.CovMatrixF64, ["normal", "weight", "wide"], (2,)),
    "covmat0": (tallix.CovMatrixF64, ["normal"], (0,)),
}
KEYED = {
    "summap": (tallix.SumMap, ["key", "wide"], ()),
    "momentsmap": (tallix.MomentsMap, ["key", "normal"], ()),
}
COLUMNS = [c for c in TABLE.columns if c != "key"]


def dump(state):
    return state.to_bytes() if hasattr(state, "to_bytes") else state.encode()


def single_process(cls, columns, args):
    state = cls(*args)
    if cls is tallix.CovMatrixF64:
        rows = TABLE[columns[:-1]].to_numpy().tolist() if columns[:-1] else [[]] * N
        for row, y in zip(rows, TABLE[columns[-1]].tolist(), strict=True):
            state.add(row, y)
    else:
        for values in zip(*(TABLE[c].tolist() for c in columns), strict=True):
            state.add(*values)
    return state


@pytest.fixture(scope="module")
def reference():
    return {name: single_process(*entry) for name, entry in (NUMERIC | KEYED).items()}


def targets(entries, ref):
    def one(cls, cols, args):
        edges = args[0] if cls is tallix.HistogramF64 else None
        return tallix_dask.target(cls, *map(ref, cols), edges=edges)

    return {name: one(*entry) for name, entry in entries.items()}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        silence_logs=logging.ERROR,
    )
    client = distributed.Client(cluster, timeout=TIMEOUT)
    try:
        pids = set(client.run(os.getpid).values())
        assert len(pids) == 2 and os.getpid() not in pids  # worker processes, not threads
        yield client
    finally:
        client.close(timeout=TIMEOUT)
        cluster.close(timeout=TIMEOUT)


def order(kind, seed=0):
    if kind == "original":
        return np.arange(N)
    if kind == "reversed":
        return np.arange(N)[::-1]
    return np.random.default_rng(seed).permutation(N)


def uneven(parts, seed):
    cuts = np.sort(np.random.default_rng(seed).choice(np.arange(1, N), parts - 1, replace=False))
    return tuple(np.diff(np.concatenate([[0], cuts, [N]])).tolist())


def assert_matches(states, reference):
    for name, state in states.items():
        assert dump(state) == dump(reference[name]), name
        if hasattr(state, "state_hash"):
            assert state.state_hash() == reference[name].state_hash(), name


@pytest.mark.parametrize(
    "chunks, rows, split_every",
    [
        ((N,), "original", 8),
        (uneven(7, 1), "reversed", 2),
        (uneven(31, 2), "shuffled", 3),
        ((1,) * 40 + (N - 40,), "shuffled", 8),
    ],
    ids=["one-partition", "7-reversed", "31-shuffled-binary", "40-tiny-shuffled"],
)
def test_array_partitionings_match_one_process(client, reference, chunks, rows, split_every):
    table = TABLE[COLUMNS].to_numpy()[order(rows, seed=len(chunks))]
    data = da.from_array(table, chunks=(chunks, 2))
    plan = targets(NUMERIC, COLUMNS.index)
    states = tallix_dask.reduce_many(data, plan, split_every=split_every, client=client, timeout=TIMEOUT)
    assert_matches(states, reference)


@pytest.mark.parametrize("npartitions, seed", [(5, 3), (13, 4)])
def test_dataframe_partitionings_include_keyed_maps(client, reference, npartitions, seed):
    frame = TABLE.iloc[order("shuffled", seed)].reset_index(drop=True)
    data = dd.from_pandas(frame, npartitions=npartitions, sort=False)
    states = tallix_dask.reduce_many(data, targets(NUMERIC | KEYED, str), client=client, timeout=TIMEOUT)
    assert_matches(states, reference)
    assert states["sum"].value() == math.fsum(TABLE["wide"])


def one_liner_inputs():
    frame = dd.from_pandas(TABLE, npartitions=4, sort=False)
    arr = {c: da.from_array(TABLE[c].to_numpy(), chunks=1111) for c in COLUMNS}
    features = da.from_array(TABLE[["normal", "weight"]].to_numpy(), chunks=(700, 1))
    stacked = da.from_array(TABLE[["normal", "weight", "wide"]].to_numpy(), chunks=(2500, 3))
    return [
        ("moments", (tallix.MomentsF64, arr["normal"])),
        ("cov", (tallix.CovF64, frame["normal"], frame["wide"])),
        ("weighted", (tallix.WeightedMomentsF64, frame["normal"], arr["weight"])),
        ("covmat", (tallix.CovMatrixF64, features, arr["wide"])),
        ("covmat", (tallix.CovMatrixF64, stacked)),
        ("covmat", (tallix.CovMatrixF64, frame[["normal", "weight", "wide"]])),
        ("summap", (tallix.SumMap, frame["key"], frame["wide"])),
    ]


@pytest.mark.parametrize(
    "name, call",
    one_liner_inputs(),
    ids=["array", "frame-pairs", "mixed-pairs", "rows+y", "rows-last-y", "frame-rows", "keyed"],
)
def test_one_liner(client, reference, name, call):
    state = tallix_dask.reduce(*call, client=client, timeout=TIMEOUT)
    assert dump(state) == dump(reference[name])


def test_replicated_sum_gives_one_replica_per_partition(client):
    column = da.from_array(TABLE["wide"].to_numpy(), chunks=uneven(9, 5))
    state = tallix_dask.reduce(tallix.ReplicatedSum, column, client=client, timeout=TIMEOUT)
    assert state.value() == math.fsum(TABLE["wide"])
    assert len(state.encode()) == 4 + 293 * 9
    assert tallix.ReplicatedSum.decode(state.encode()).encode() == state.encode()


@pytest.mark.parametrize(
    "call, error, message",
    [
        ((tallix.DotF64, "x", "y"), TypeError, "no byte form"),
        ((tallix.DeltasSum, "x"), TypeError, "no byte form"),
        ((tallix.FastSumF64, "x"), TypeError, "no byte form"),
        ((tallix.MomentsF64, "x", "y"), ValueError, "takes 1 column"),
        ((tallix.CovF64, "x"), ValueError, "takes 2 column"),
        ((tallix.HistogramF64, "x"), TypeError, "edges are required"),
    ],
)
def test_targets_rejected_before_any_work(call, error, message):
    with pytest.raises(error, match=message):
        tallix_dask.target(*call)


def test_bad_edges_and_stray_edges_rejected():
    with pytest.raises(ValueError, match="edges must be sorted"):
        tallix_dask.target(tallix.HistogramF64, "x", edges=[1.0, 0.0])
    with pytest.raises(TypeError, match="only for it"):
        tallix_dask.target(tallix.SumF64, "x", edges=[0.0, 1.0])


def test_misaligned_inputs_rejected():
    x = da.ones(10, chunks=3)
    with pytest.raises(ValueError, match="differ in length"):
        tallix_dask.reduce(tallix.CovF64, x, da.ones(11, chunks=3))
    a = dd.from_pandas(pd.DataFrame({"x": np.arange(10.0)}), npartitions=2)
    b = dd.from_pandas(pd.DataFrame({"y": np.arange(10.0)}), npartitions=3)
    with pytest.raises(ValueError, match="partitioned differently"):
        tallix_dask.reduce(tallix.CovF64, a["x"], b["y"])
    with pytest.raises(ValueError, match="no such column"):
        tallix_dask.plan(a, {"s": tallix_dask.target(tallix.SumF64, "nope")})
    with pytest.raises(ValueError, match="no such column"):
        tallix_dask.plan(da.ones((4, 2)), {"s": tallix_dask.target(tallix.SumF64, 2)})
    with pytest.raises(ValueError, match="split_every"):
        tallix_dask.reduce(tallix.SumF64, x, split_every=1)


def test_rows_of_different_frames_pair_by_index_or_not_at_all(client):
    x = pd.Series(np.arange(12.0) ** 2, name="x")
    y = pd.Series(np.arange(12.0) % 5, index=np.arange(12)[::-1], name="y")
    dx = dd.from_pandas(x, npartitions=2)
    shuffled = dd.from_pandas(y, npartitions=2, sort=False)
    relabelled = dd.from_pandas(y.set_axis([*range(10), 11, 11]), npartitions=2)
    assert relabelled.divisions == dx.divisions
    for other in (shuffled, relabelled):
        with pytest.raises(ValueError, match="partition .: the columns have different indexes"):
            tallix_dask.reduce(tallix.CovF64, dx, other, client=client, timeout=TIMEOUT)
    joined = dx.to_frame().join(shuffled)  # the remedy the error suggests
    cov = tallix_dask.reduce(tallix.CovF64, joined["x"], joined["y"], client=client)
    pairs = [(Fraction(a), Fraction(b)) for a, b in zip(x, y.reindex(x.index), strict=True)]
    mean_x, mean_y = (sum(c) / len(pairs) for c in zip(*pairs, strict=True))
    exact = sum((a - mean_x) * (b - mean_y) for a, b in pairs) / len(pairs)
    assert cov.covariance() == float(exact)


LONG_DOUBLE_WIDER = np.finfo(np.longdouble).nmant > 52
NUMBER_COLUMNS = [
    (pd.Series(pd.to_datetime(["2020-01-01", "2021-06-30"])), TypeError, "dtype datetime64"),
    (pd.Series(pd.to_timedelta([1, 2], unit="D")), TypeError, "dtype timedelta64"),
    (np.array([1 + 2j, 3j]), TypeError, "dtype complex128"),
    (pd.Series(["1.5", "2"]), TypeError, "dtype str"),
    (np.array([1.5, 2.0], dtype=object), TypeError, "dtype object"),
    (pd.Series([1, None], dtype="Int64"), ValueError, r"missing values \(pd.NA\); drop them"),
    (pd.Series([2**53 + 1, 0]), ValueError, "9007199254740993 has no exact float64"),
    (np.array([2**64 - 1], dtype=np.uint64), ValueError, "18446744073709551615 has no exact"),
    pytest.param(
        np.array([1, 3], dtype=np.longdouble) ** -1,
        ValueError,
        "no float64 holds exactly",
        marks=pytest.mark.skipif(not LONG_DOUBLE_WIDER, reason="long double is double here"),
    ),
    (pd.Series([-(2**63), 2**62 + 2**10, 7], dtype="Int64"), None, None),
    (np.array([2**64 - 2**11, 1], dtype=np.uint64), None, None),
    (pd.Series([True, False, True]), None, None),
    (np.array([0.1, -3.5], dtype=np.float32), None, None),
]


@pytest.mark.parametrize(
    "column, error, message",
    NUMBER_COLUMNS,
    ids=[
        "datetime",
        "timedelta",
        "complex",
        "str",
        "object",
        "Int64-NA",
        "int64-2^53+1",
        "uint64-max",
        "longdouble",
        "Int64",
        "uint64-exact",
        "bool",
        "float32",
    ],
)
def test_columns_are_numbers_taken_exactly(client, column, error, message):
    data = (
        dd.from_pandas(column.rename("v"), npartitions=1)
        if isinstance(column, pd.Series)
        else da.from_array(column, chunks=1)
    )
    if error is not None:
        with pytest.raises(error, match=message):
            tallix_dask.reduce(tallix.SumF64, data, client=client, timeout=TIMEOUT)
        return
    state = tallix_dask.reduce(tallix.SumF64, data, client=client, timeout=TIMEOUT)
    assert state.value() == float(sum(map(Fraction, column.tolist())))


def test_nullable_column_beside_an_array_is_checked_too():
    values = dd.from_pandas(pd.Series([1, None, 4], dtype="Int64"), npartitions=2)
    weights = da.from_array(np.array([1.0, 2.0, 3.0]), chunks=2)
    with dask.config.set(scheduler="sync"):
        with pytest.raises(ValueError, match=r"missing values \(pd.NA\)"):
            tallix_dask.reduce(tallix.WeightedMomentsF64, values, weights)
        filled = tallix_dask.reduce(tallix.WeightedMomentsF64, values.fillna(2), weights)
    assert filled.mean() == (1 + 4 + 12) / 6


def test_feature_rows_of_mixed_dtypes_are_never_rounded():
    table = pd.DataFrame({"f": [0.5, 1.0, 2.0], "i": [2**60, 3, 1], "y": [1.0, 2.0, 4.0]})
    expected = tallix.CovMatrixF64(2)
    for f, i, y in zip(table["f"], table["i"].tolist(), table["y"], strict=True):
        expected.add([f, float(i)], y)
    with dask.config.set(scheduler="sync"):
        for i, error in [(table["i"], None), (table["i"] + 1, "1152921504606846977 has no exact")]:
            frame = dd.from_pandas(table.assign(i=i), npartitions=2)
            if error:
                with pytest.raises(ValueError, match=error):
                    tallix_dask.reduce(tallix.CovMatrixF64, frame[["f", "i", "y"]])
            else:
                state = tallix_dask.reduce(tallix.CovMatrixF64, frame[["f", "i", "y"]])
                assert state.encode() == expected.encode()


def test_empty_partitions_merge_as_nothing():
    x = da.from_array(np.array([3.0, -1.0, 2.5]), chunks=((0, 2, 0, 1, 0),))
    with dask.config.set(scheduler="sync"):
        extrema = tallix_dask.reduce(tallix.ExtremaF64, x)
        hist = tallix_dask.reduce(tallix.HistogramF64, x, edges=[0.0, 1.0])
    assert (extrema.min(), extrema.max(), hist.counts()) == (-1.0, 3.0, [1, 0, 2])


def test_dataframe_columns_labelled_by_numbers():
    frame = dd.from_pandas(pd.DataFrame({0: [1.0, 2.0, 4.0], 1: [1.0, 3.0, 2.0]}), npartitions=2)
    with dask.config.set(scheduler="sync"):
        fit = tallix_dask.reduce_many(frame, {"f": tallix_dask.target(tallix.CovMatrixF64, 0, 1)})
    assert fit["f"].regression_exact() == [1.5, 3 / 14]


finite = st.floats(allow_nan=False, allow_infinity=False)
values = st.one_of(finite, st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324]))


@settings(max_examples=20, deadline=None)
@given(
    rows=st.lists(st.tuples(values, finite), min_size=1, max_size=60),
    cuts=st.lists(st.integers(0, 60), max_size=8),
    split_every=st.integers(2, 5),
)
def test_any_tree_gives_add_loop_bytes(rows, cuts, split_every):
    xs, ys = (np.array(c) for c in zip(*rows, strict=True))
    bounds = sorted({min(c, len(xs)) for c in cuts} | {0, len(xs)})
    data = da.from_array(np.column_stack([xs, ys]), chunks=(tuple(np.diff(bounds)), 2))
    plan = {
        "m": tallix_dask.target(tallix.Moments4F64, 0),
        "h": tallix_dask.target(tallix.HistogramF64, 0, edges=[-1.0, 0.0, 1e300]),
        "c": tallix_dask.target(tallix.CovMatrixF64, 0, 1),
    }
    with dask.config.set(scheduler="sync"):
        states = tallix_dask.reduce_many(data, plan, split_every=split_every)
    expected = {"m": tallix.Moments4F64(), "h": tallix.HistogramF64([-1.0, 0.0, 1e300]), "c": tallix.CovMatrixF64(1)}
    for x, y in zip(xs.tolist(), ys.tolist(), strict=True):
        expected["m"].add(x)
        expected["h"].add(x)
        expected["c"].add([x], y)
    assert {k: dump(s) for k, s in states.items()} == {k: dump(s) for k, s in expected.items()}


def exact_statistic(values, how, ddof):
    xs = [Fraction(v) for v in values if not math.isnan(v)]
    n, s1 = len(xs), sum(xs, Fraction(0))
    if how == "sum":
        return float(s1)
    if how == "mean":
        return float(s1 / n)
    spread = (sum(x * x for x in xs) - s1 * s1 / n) / (n - ddof)
    if how == "var":
        return float(spread)
    with decimal.localcontext(prec=80):  # far past a float's digits: the root rounds once
        return float((decimal.Decimal(spread.numerator) / spread.denominator).sqrt())


@pytest.mark.parametrize("how", ["sum", "mean", "var", "std"])
def test_statistics_keep_dask_nan_conventions(client, how):
    import tallix_companion.dask as tdask

    values = np.array([1e16, 1.0, np.nan, -1e16, 3.5, 2.0**-60, 7.0] * 5)
    array = da.from_array(values, chunks=6)
    column = dd.from_pandas(pd.Series(values, name="v"), npartitions=4)
    stat = getattr(tdask, how)
    assert math.isnan(stat(array))  # arrays keep NaN, as da.sum does
    assert stat(array, skipna=True) == exact_statistic(values, how, 0)
    assert stat(column) == exact_statistic(values, how, 1)  # columns skip it, ddof 1
    assert math.isnan(stat(column, skipna=False))


@pytest.mark.parametrize(
    "values",
    [
        np.array([1e160, 1e160, 1e160]),  # squares beyond the float range
        np.array([1e-200, 3e-200, 2e-200]),  # squares below it
        np.array([2**53 + 1, 3, -(2**60) - 1], dtype=np.int64),  # no float64 holds them
        np.array([2**62 + 1, 2**62 + 3, 2**63 - 1, -5], dtype=np.int64),  # sum beyond int64
        np.array([2**64 - 1, 2**64 - 3, 7], dtype=np.uint64),
    ],
    ids=["huge", "tiny", "int64-beyond-2^53", "int64-sum-overflows", "uint64"],
)
@pytest.mark.parametrize("how", ["sum", "mean", "var", "std"])
def test_statistics_exact_at_any_range(how, values):
    import tallix_companion.dask as tdask

    array = da.from_array(values, chunks=2)
    column = dd.from_pandas(pd.Series(values, name="v"), npartitions=2)
    with dask.config.set(scheduler="sync"):
        for data, ddof in [(array, 0), (column, 1)]:
            got = getattr(tdask, how)(data)
            if how == "sum" and values.dtype.kind in "iu":
                exact = int(sum(map(int, values)))  # an exact integer, int64 where it fits
                want = np.int64(exact) if -(2**63) <= exact < 2**63 else exact
            else:
                want = exact_statistic(values.tolist(), how, ddof)
            assert got == want and type(got) is type(want), (ddof, got, want)


def test_statistics_skip_masks_and_pd_na_unless_asked_not_to():
    import tallix_companion.dask as tdask

    column = dd.from_pandas(pd.Series([2**62 + 1, None, 2**62 + 1], dtype="Int64"), npartitions=2)
    masked = da.ma.masked_array(da.from_array([1e16, math.nan, 1.0, -1e16], chunks=2), mask=[False, True, False, False])
    with dask.config.set(scheduler="sync"):
        assert tdask.sum(column) == 2**63 + 2
        assert tdask.mean(column) == float(2**62 + 1) and tdask.var(column) == 0.0
        assert math.isnan(tdask.sum(column, skipna=False))
        assert tdask.sum(masked) == 1.0 and tdask.var(masked) == exact_statistic([1e16, 1.0, -1e16], "var", 0)


KEYED_FRAME = pd.DataFrame(
    {
        "k": [3.5, 1.0, None, 1.0, 3.5, 2.0, 1.0] * 6,
        "v": [1e16, 1.0, 5.0, np.nan, -1e16, 2.0, 0.25] * 6,
        "far": [1e160, 1e-200, 5.0, 3e-200, 1e160, 7.0, 1e-200] * 6,  # squares beyond the float64 range
        "u": np.array([2**63, 1, 5, 2**63, 2**63, 3, 2**62] * 6, dtype=np.uint64),  # sums beyond uint64
        "n": pd.array([1, None, 3, 2**62 + 1, 5, 6, 2**62] * 6, dtype="Int64"),
    }
)


@pytest.mark.parametrize("how", ["sum", "mean", "var", "std", "count"])
@pytest.mark.parametrize("column", ["v", "far", "u", "n"])
def test_keyed_reduction_matches_pandas_groupby(client, how, column):
    import tallix_companion.dask as tdask

    frame = KEYED_FRAME
    parts = dd.from_pandas(frame, npartitions=5)
    got = tdask.groupby(parts["k"], parts[column], how)
    want = frame[column].groupby(frame["k"]).agg(how)
    assert got.index.equals(want.index) and got.name == want.name
    assert got.dtype == want.dtype or how == "sum" and got.dtype == object  # pandas would wrap around
    for key, value in got.items():
        group = [v for v in frame.loc[frame["k"] == key, column] if not pd.isna(v)]
        if how == "count" or how == "sum" and column in ("u", "n"):
            expected = len(group) if how == "count" else int(sum(int(v) for v in group))
        else:
            expected = exact_statistic([Fraction(int(v)) if column in ("u", "n") else v for v in group], how, 1)
        assert value == expected


@pytest.mark.parametrize("how", ["sum", "mean", "var"])
@pytest.mark.parametrize("column", ["x", "i"])
def test_keyed_reduction_is_one_answer_for_any_partitions_and_merge_order(how, column):
    import tallix_companion.dask as tdask

    rng = np.random.default_rng(5)
    rows = 20_000
    keys = rng.integers(0, 3000, rows)
    x = rng.standard_normal(rows) * 1e3
    wide = np.flatnonzero(keys < 300)  # these groups span 2^±1000: their squares leave binary64
    x[wide] = np.ldexp(rng.standard_normal(len(wide)), rng.integers(-1000, 1000, len(wide)))
    i = rng.integers(2**62, 2**63 - 1, rows)  # sums far beyond int64
    frame = pd.DataFrame({"k": keys, "x": x, "i": i})
    answers = []
    for seed, npartitions, split_every in [(0, 1, 8), (1, 7, 2), (2, 13, 3)]:
        parts = dd.from_pandas(frame.sample(frac=1, random_state=seed), npartitions=npartitions, sort=False)
        with dask.config.set(scheduler="sync"):
            answers.append(tdask.groupby(parts["k"], parts[column], how, split_every=split_every))
    for got in answers[1:]:
        pd.testing.assert_series_equal(got, answers[0], check_exact=True)


def test_keyed_partitions_of_an_object_column_merge_by_their_values_kind():
    import tallix_companion.dask as tdask

    ints = pd.DataFrame({"k": [1, 2, 1, 2], "v": pd.Series([2**62, 2**62, 2**62, 1], dtype=object)})
    mixed = ints.assign(v=pd.Series([2**62, 2**62, 0.5, 1.5], dtype=object))
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "sync"}):
        parts = dd.from_pandas(ints, npartitions=2)
        parts = dd.concat([parts[parts["k"] > 5], parts])  # empty partitions read as floats come first
        assert tdask.groupby(parts["k"], parts["v"], "sum").tolist() == [2**63, 2**62 + 1]
        parts = dd.from_pandas(mixed, npartitions=2)
        with pytest.raises(TypeError, match="integers in some and floats in others"):
            tdask.groupby(parts["k"], parts["v"], "sum")
