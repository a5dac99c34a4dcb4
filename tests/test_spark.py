"""Reductions on a real local Spark: every partitioning and row order gives the
bytes and receipt of one process over all rows, while Spark's own float sum
moves; nulls skipped as Spark skips them; per-group aggregates exact."""

import glob
import math
import os
import re
import statistics
import sys
from datetime import date, datetime
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("pyspark")
from pyspark.sql import SparkSession  # noqa: E402
from pyspark.sql import functions as F  # noqa: E402

import tallix  # noqa: E402

SOURCE = Path(__file__).resolve().parents[1] / "python"
try:
    from tallix_companion import spark as ts
except ImportError:  # running from the source tree: the workers need the path too
    sys.path.append(str(SOURCE))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(SOURCE)]))
    from tallix_companion import spark as ts

N = 2000
pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support:FutureWarning")
EDGES = [-1e12, -1.0, 0.0, 1e-300, 1.0, 1e12]


@pytest.fixture(scope="session")
def spark():
    if not os.environ.get("JAVA_HOME"):
        homes = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
        if homes:
            os.environ["JAVA_HOME"] = homes[0]
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    os.environ["PYSPARK_PYTHON"] = sys.executable  # workers must see this tallix
    builder = (
        SparkSession.builder.master("local[2]")
        .appName("tallix-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.host", "127.0.0.1")  # stay on the loopback interface
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.driver.memory", "1g")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.sql.session.timeZone", "UTC")
    )
    # Under the sanitizer build the JVM hangs with the sanitizer runtime
    # preloaded; only the Python workers, which load tallix, need it.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        if preload:
            builder = builder.config("spark.executorEnv.LD_PRELOAD", preload)
        session = builder.getOrCreate()
    finally:
        if preload:
            os.environ["LD_PRELOAD"] = preload
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def make_table():
    rng = np.random.default_rng(11)
    wide = np.ldexp(rng.random(N), rng.integers(-1074, 1000, N)) * rng.choice([-1.0, 1.0], N)
    return {
        "wide": wide.tolist(),
        "normal": (rng.standard_normal(N) * 1e3 + 7.0).tolist(),
        "weight": rng.exponential(size=N).tolist(),
        "count": rng.integers(-(2**53), 2**53, N).tolist(),
        "key": rng.choice(["", "a", "b", "á", "zz"], N).tolist(),
    }


TABLE = make_table()
SCHEMA = "wide double, normal double, weight double, count long, key string"
TARGETS = {
    "sum": (tallix.SumF64, ["wide"]),
    "sum32": (tallix.SumF32, ["normal"]),
    "moments": (tallix.MomentsF64, ["normal"]),
    "moments4": (tallix.Moments4F64, ["count"]),
    "pn": (tallix.PnMomentsF64, ["wide"]),
    "extrema": (tallix.ExtremaF64, ["wide"]),
    "hist": (tallix.HistogramF64, ["wide"]),
    "cov": (tallix.CovF64, ["normal", "wide"]),
    "weighted": (tallix.WeightedMomentsF64, ["normal", "weight"]),
    "covmat": (tallix.CovMatrixF64, ["normal", "count", "wide"]),
    "summap": (tallix.SumMap, ["key", "wide"]),
    "momentsmap": (tallix.MomentsMap, ["key", "normal"]),
}


def dump(state):
    return state.to_bytes() if hasattr(state, "to_bytes") else state.encode()


def one_process(cls, columns):
    cols = [np.array(TABLE[c]) for c in columns]
    if cls is tallix.HistogramF64:
        state = cls(EDGES)
    elif cls is tallix.CovMatrixF64:
        state = cls(len(columns) - 1)
        cols = [np.column_stack(cols[:-1]).astype(float), cols[-1]]
    else:
        state = cls()
    state.extend(*([TABLE["key"]] + cols[1:] if cls in (tallix.SumMap, tallix.MomentsMap) else cols))
    return state


def plan():
    return {
        name: ts.target(cls, *cols, edges=EDGES if cls is tallix.HistogramF64 else None)
        for name, (cls, cols) in TARGETS.items()
    }


def frame(spark, slices, seed):
    rows = list(zip(*(TABLE[c] for c in ["wide", "normal", "weight", "count", "key"]), strict=True))
    if seed is not None:
        rows = [rows[i] for i in np.random.default_rng(seed).permutation(N)]
    return spark.createDataFrame(spark.sparkContext.parallelize(rows, slices), SCHEMA)


def test_receipts_stay_while_sparks_own_sum_moves(spark):
    reference = {name: one_process(cls, cols) for name, (cls, cols) in TARGETS.items()}
    spark_sums = set()
    for slices, seed in [(1, None), (4, 1), (13, 2)]:
        df = frame(spark, slices, seed)
        states = ts.reduce_many(df, plan())
        for name, state in states.items():
            assert dump(state) == dump(reference[name]), (name, slices)
        assert states["sum"].state_hash() == reference["sum"].state_hash()
        spark_sums.add(df.agg(F.sum("wide")).first()[0])
    assert states["sum"].value() == math.fsum(TABLE["wide"])
    assert len(spark_sums) > 1  # Spark's float sum depends on the split; ours does not


def test_replicated_sum_gives_one_replica_per_partition(spark):
    df = frame(spark, 5, 4)
    state = ts.reduce(tallix.ReplicatedSum, df, "wide")
    assert state.value() == math.fsum(TABLE["wide"])
    assert len(state.encode()) == 4 + 293 * 5


def test_nulls_skipped_like_sparks_aggregates_and_empty_partitions(spark):
    rows = [(1.5, 3, True), (None, 4, False), (2.25, None, True), (float("nan"), 1, None), (-4.0, 2**53, True)]
    schema = "x double, n long, b boolean"
    df = spark.createDataFrame(spark.sparkContext.parallelize(rows, 9), schema)  # 4 empty
    states = ts.reduce_many(
        df.filter(F.col("x").isNull() | ~F.isnan("x")),
        {
            "x": ts.target(tallix.SumF64, "x"),
            "n": ts.target(tallix.MomentsF64, "n"),
            "xn": ts.target(tallix.CovF64, "x", "n"),
            "rows": ts.target(tallix.CovMatrixF64, "n", "b", "x"),
        },
    )
    assert states["x"].value() == -0.25 and states["x"].count() == 3
    assert states["n"].mean() == float(Fraction(3 + 4 + 2**53, 3))
    assert states["xn"].count() == 2  # only rows where both are present
    assert states["rows"].count() == 2
    assert math.isnan(ts.reduce(tallix.SumF64, df, "x").value())  # NaN is a value, as in Spark
    empty = spark.createDataFrame([], schema)
    assert dump(ts.reduce(tallix.ExtremaF64, empty, "x")) == dump(tallix.ExtremaF64())
    assert ts.reduce(tallix.HistogramF64, df.filter("x > 100"), "x", edges=[0.0, 1.0]).counts() == [0, 0, 0]


@pytest.mark.parametrize(
    "value, spark_type, error, message",
    [
        ("1.5", "string", TypeError, "Spark type string"),
        (datetime(2020, 1, 1), "timestamp", TypeError, "Spark type timestamp"),
        (date(2020, 1, 1), "date", TypeError, "Spark type date"),
        (Decimal("1.25"), "decimal(10,2)", TypeError, r"Spark type decimal\(10,2\)"),
        (2**53 + 1, "long", ValueError, "9007199254740993 has no exact float64"),
    ],
)
def test_columns_that_are_not_exact_numbers_are_refused(spark, value, spark_type, error, message):
    df = spark.createDataFrame([(value, 1.0)], f"v {spark_type}, w double")
    with pytest.raises(error, match=message):
        ts.reduce(tallix.WeightedMomentsF64, df, "w", "v")


def test_targets_refused_before_any_job(spark):
    df = spark.createDataFrame([(1.0, "a")], "x double, k string")
    for call, error, message in [
        ((tallix.DotF64, "x", "x"), TypeError, "no byte form"),
        ((tallix.MomentsF64, "x", "x"), ValueError, "takes 1 column"),
        ((tallix.HistogramF64, "x"), TypeError, "edges are required"),
        ((tallix.SumMap, "x", "x"), TypeError, "Spark type double: SumMap takes string keys"),
        ((tallix.SumF64, "nope"), ValueError, "no such column"),
    ]:
        with pytest.raises(error, match=message):
            ts.reduce(call[0], df, *call[1:])


def exact_stats(values):
    xs = [Fraction(v) for v in values if v is not None]
    if not xs:
        return None, None, None, None
    mean = sum(xs) / len(xs)
    square = sum((x - mean) ** 2 for x in xs)
    sample = float(square / (len(xs) - 1)) if len(xs) > 1 else None
    return float(sum(xs)), float(mean), sample, float(square / len(xs))


def test_grouped_aggregates_are_correctly_rounded(spark):
    rng = np.random.default_rng(5)
    keys = [(date(2024, 1, 1 + i % 3), i % 2) for i in range(60)]
    values = (rng.standard_normal(60) * 10.0 ** rng.integers(-20, 20, 60)).tolist()
    values[::7] = [None] * len(values[::7])
    longs = [int(n) for n in rng.integers(-(2**62), 2**62, 60)]  # most beyond a float64
    longs[::5] = [None] * len(longs[::5])
    rows = [(d, k, v, n) for (d, k), v, n in zip(keys, values, longs, strict=True)]
    rows += [(date(2030, 1, 1), 0, None, None), (date(2030, 1, 1), 1, 2.5, 7)]  # all-null, single row
    rows += [(date(2031, 1, 1), 0, 1e160, 2**63 - 1)] * 3  # squares beyond the float range
    rows += [(date(2031, 1, 1), 1, x, -(2**63)) for x in (1e-200, 3e-200)]  # squares below it
    df = spark.createDataFrame(rows, "d date, k int, v double, n long").repartition(3)
    result = (
        df.groupBy("d", "k")
        .agg(
            ts.exact_sum("v").alias("s"),
            ts.exact_mean("v").alias("m"),
            ts.exact_variance("v").alias("var"),
            ts.exact_var_pop("v").alias("pop"),
            ts.exact_state(tallix.MomentsF64, "v").alias("state"),
            ts.exact_sum("n").alias("ns"),
            ts.exact_mean("n").alias("nm"),
            ts.exact_variance("n").alias("nvar"),
            ts.exact_var_pop("n").alias("npop"),
        )
        .collect()
    )
    assert len(result) == 10
    for row in result:
        group = [(v, n) for d, k, v, n in rows if (d, k) == (row.d, row.k)]
        assert (row.s, row.m, row["var"], row.pop) == exact_stats([v for v, _ in group])
        assert (row.ns, row.nm, row.nvar, row.npop) == exact_stats([n for _, n in group])
        assert ts.load(tallix.MomentsF64, row.state).count() == sum(v is not None for v, _ in group)
    halves = (
        df.withColumn("half", F.rand(1) < 0.5)
        .groupBy("d", "k", "half")
        .agg(ts.exact_state(tallix.MomentsF64, "v").alias("m"))
    )
    merged = halves.groupBy("d", "k").agg(ts.merged_state(tallix.MomentsF64, "m").alias("m"))
    by_group = {(r.d, r.k): r.state for r in result}
    assert all(r.m == by_group[r.d, r.k] for r in merged.collect())
    with pytest.raises(Exception, match="a column has type string, not a real number"):
        df.groupBy("k").agg(ts.exact_sum(F.col("d").cast("string"))).collect()


def readme_block():
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    section = text.split("### Spark", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_readme_spark_section_runs(spark):
    rng = np.random.default_rng(3)
    data = [
        (str(rng.choice(["north", "south"])), float(a), float(x), float(y)) for a, x, y in rng.standard_normal((400, 3))
    ]
    df = spark.createDataFrame(data, "region string, amount double, x double, y double")
    scope = {"df": df, "tallix": tallix}
    exec(readme_block(), scope)
    amounts = [r[1] for r in data]
    assert scope["m"].mean() == float(sum(map(Fraction, amounts)) / len(amounts))
    assert scope["states"]["sum"].value() == math.fsum(amounts)
    assert {r.region for r in scope["per_region"].collect()} == {"north", "south"}
    north = [Fraction(r[1]) for r in data if r[0] == "north"]
    totals = {r.region: r.total for r in scope["by_region"].collect()}
    assert totals["north"] == float(sum(north))


def group_rows():
    rng = np.random.default_rng(17)
    n = 3000
    keys = rng.choice(["a", "b", "c", None], n).tolist()
    floats = rng.integers(0, 60, n).astype(float).tolist()
    floats[:40] = [-0.0, 0.0, math.nan, None] * 10  # Spark's one zero, one NaN, a null key
    xs = (rng.standard_normal(n) * 10.0 ** rng.integers(-20, 20, n)).tolist()
    xs[::11] = [None] * len(xs[::11])
    ns = [int(v) for v in rng.integers(-(2**62), 2**62, n)]  # most beyond a float64
    ns[::7] = [None] * len(ns[::7])
    rows = list(zip(keys, floats, xs, ns, strict=True))
    rows += [("nan", 0.0, x, 1) for x in (math.nan, 1.0)]  # NaN is a value
    rows += [("void", 0.0, None, None)] * 2 + [("one", 0.0, 2.5, 7)]
    rows += [("big", 0.0, 1e160, 2**63 - 1)] * 3 + [("tiny", 0.0, x, -(2**63)) for x in (1e-200, 3e-200)]
    return rows


GROUP_TARGETS = {
    **{f"x_{what}": (what, "x") for what in ["sum", "mean", "var", "var_pop", "std", "std_pop", "count"]},
    **{f"n_{what}": (what, "n") for what in ["sum", "mean", "var", "std_pop", "count"]},
}


def group_oracle(values):
    """Spark's sum, avg, variance, var_pop, stddev, stddev_pop and count, correctly rounded."""
    xs = [v for v in values if v is not None]
    n = len(xs)
    if any(math.isnan(v) for v in xs):
        sample = math.nan if n > 1 else None
        return math.nan, math.nan, sample, math.nan, sample, math.nan, n
    total, mean, var, var_pop = exact_stats(xs)
    std = statistics.stdev(xs) if n > 1 else None
    return total, mean, var, var_pop, std, statistics.pstdev(xs) if n else None, n


def key_order(row):
    return (row[0] is None, row[0] or "", repr(row[1]))


def test_group_reduce_is_exact_per_key_whatever_the_partitioning(spark):
    rows = group_rows()
    df = spark.createDataFrame(rows, "k string, f double, x double, n long")
    spark.conf.set("spark.sql.adaptive.coalescePartitions.enabled", "false")  # keys over 4 reduce partitions
    try:
        results = [
            sorted(ts.group_reduce(shaped, ["k", "f"], GROUP_TARGETS).collect(), key=key_order)
            for shaped in (df.repartition(1), df.repartition(7, "f"), df.orderBy(F.rand(3)).repartition(5))
        ]
        theirs = sorted(df.groupBy("k", "f").agg(F.count("x"), F.count("n")).collect(), key=key_order)
    finally:
        spark.conf.unset("spark.sql.adaptive.coalescePartitions.enabled")
    assert repr(results[1]) == repr(results[0]) == repr(results[2])  # NaN reprs alike
    result = results[0]
    # Spark's own keys: -0.0 is 0.0, every NaN one key, null a key.
    assert [(r.k, repr(r.f), r.x_count, r.n_count) for r in result] == [(r[0], repr(r[1]), r[2], r[3]) for r in theirs]
    groups = {}
    for k, f, x, n in rows:
        groups.setdefault((k, "nan" if f != f else 0.0 if f == 0 else f), []).append((x, n))
    for row in result:
        group = groups[row.k, "nan" if row.f != row.f else row.f]
        assert repr(tuple(row)[2:9]) == repr(group_oracle([x for x, _ in group]))
        total, mean, var, _, _, std_pop, count = group_oracle([n for _, n in group])
        assert (row.n_sum, row.n_mean, row.n_var, row.n_std_pop, row.n_count) == (total, mean, var, std_pop, count)


def test_group_reduce_answers_alike_in_any_chunks_and_partitions(monkeypatch):
    import pyarrow as pa

    rng = np.random.default_rng(8)
    n = 1500
    keys = pa.array(rng.choice(["p", "q", "", "é"], n).tolist(), mask=rng.random(n) < 0.1)
    numbers = pa.array(rng.integers(0, 12, n), mask=rng.random(n) < 0.1)
    xs = rng.standard_normal(n) * 10.0 ** rng.integers(-30, 30, n)
    batches = [pa.record_batch([keys, numbers, pa.array(xs)], ["k", "j", "x"]).slice(i, 37) for i in range(0, n, 37)]
    plan = ts._GroupPlan(2, (("float", True),), ((0, "sum"), (0, "var"), (0, "count")))

    def answers(partitions):
        states = [
            batch
            for i in range(partitions)
            for batch in ts._grouped(plan, ts._feed, ts._records, ["k", "j", "s"])(iter(batches[i::partitions]))
        ]
        merged = ts._grouped(plan, ts._merge, ts._answered, ["k", "j", "sum", "var", "count"])(iter(states[::-1]))
        return pa.Table.from_batches(list(merged)).sort_by([("k", "ascending"), ("j", "ascending")]).to_pylist()

    whole = answers(1)  # one chunk
    monkeypatch.setattr(ts, "_CHUNK_BYTES", 1)  # a chunk per batch, or per as many rows as keys met
    monkeypatch.setattr(ts, "_OUTPUT_ROWS", 7)  # keys sent on in several batches
    assert answers(1) == whole
    assert answers(5) == whole
    groups = {}
    for k, j, x in zip(keys.to_pylist(), numbers.to_pylist(), xs, strict=True):
        groups.setdefault((k, j), []).append(x)
    assert len(whole) == len(groups)
    for row in whole:
        _, _, var, _ = exact_stats(groups[row["k"], row["j"]])
        assert (row["sum"], row["var"], row["count"]) == (
            math.fsum(groups[row["k"], row["j"]]),
            var,
            len(groups[row["k"], row["j"]]),
        )


def test_group_reduce_merges_partitions_far_apart_exactly():
    # Two states of one key, a value just below 2**14 and one 90 binary
    # orders lower, merged on the reduce side.
    import pyarrow as pa

    plan = ts._GroupPlan(1, (("float", False),), ((0, "sum"),))
    pair = [float.fromhex("-0x1.d71c7dfa26dadp+13"), float.fromhex("-0x1.08ed8146410fbp-77")]
    partitions = [pa.record_batch([pa.array(["k"]), pa.array([x])], ["k", "x"]) for x in pair]
    states = [s for p in partitions for s in ts._grouped(plan, ts._feed, ts._records, ["k", "s"])(iter([p]))]
    merged = ts._grouped(plan, ts._merge, ts._answered, ["k", "sum"])(iter(states))
    assert next(merged).column(1).to_pylist() == [math.fsum(pair)]


@pytest.mark.parametrize(
    "keys, targets, error, message",
    [
        ([], {"s": ("sum", "x")}, ValueError, "at least one key column"),
        ("a", {"s": ("sum", "x")}, TypeError, r"key column 'a' has Spark type array<int>"),
        ("k", {"s": ("median", "x")}, ValueError, "asks for 'median'"),
        ("k", {"s": ("sum", "k")}, TypeError, "column 'k' has Spark type string"),
        ("k", {"s": ("sum", "y")}, ValueError, "no such column"),
        ("k", {"k": ("sum", "x")}, ValueError, "differ from the key columns"),
        ("k", {"s": "x"}, TypeError, r"pair \(what, column\)"),
    ],
)
def test_group_reduce_refuses_before_any_job(spark, keys, targets, error, message):
    df = spark.createDataFrame([("a", 1.0, [1])], "k string, x double, a array<int>")
    with pytest.raises(error, match=message):
        ts.group_reduce(df, keys, targets)
