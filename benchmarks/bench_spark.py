"""Exact reductions on local Spark next to Spark's own sum, avg and variance.

Generates n rows in the JVM (values over sixty binary orders of magnitude,
a random integer group key), then times, on the same lazily generated rows:
Spark's sum/avg/variance, and tallix's exact ones, of the whole column
(``reduce_many``) and per key: through ``group_reduce`` (partial states in
each partition, one small row per key shuffled) with 16 and 100 000 keys,
and through the grouped aggregates ``groupBy().agg(ts.exact_*)`` (all rows
of a group in one worker) with 16 keys and one.  Beside them, the cost of
only moving the columns to the Python workers as Arrow batches (which also
starts the workers before anything is timed): the floor of any Python
aggregate.  Each timing is the best of ``repeat`` runs; the JVM start is
reported on its own.

Every Python worker runs under a 512 MB address-space limit
(``spark.executor.pyspark.memory``), with Arrow on the system allocator;
the last rows put all n rows in one group.

    .venv/bin/python benchmarks/bench_spark.py [n] [repeat]
"""

import glob
import os
import sys
import time

from pyspark.sql import SparkSession
from pyspark.sql import functions as F

import tallix
from tallix_companion import spark as ts

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
REPEAT = int(sys.argv[2]) if len(sys.argv) > 2 else 3
WORKER_MEMORY = "512m"


def start():
    if not os.environ.get("JAVA_HOME"):
        os.environ["JAVA_HOME"] = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))[0]
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # Arrow's default allocator (mimalloc) reserves address space by the
    # hundred megabytes as soon as a worker reads its first batch, which an
    # address-space limit counts as used; the system allocator takes what the
    # arrays need.
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    began = time.perf_counter()
    session = (
        SparkSession.builder.master("local[2]")
        .appName("tallix-bench")
        .config("spark.ui.enabled", "false")
        .config("spark.driver.host", "127.0.0.1")  # stay on the loopback interface
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "1g")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.executor.pyspark.memory", WORKER_MEMORY)
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    session.range(1).collect()  # the first job pays for class loading
    return session, time.perf_counter() - began


def best(fn):
    times, result = [], None
    for _ in range(REPEAT):
        began = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - began)
    return min(times), result


def _count_rows(batches):
    import pyarrow as pa

    yield pa.RecordBatch.from_arrays([pa.array([sum(b.num_rows for b in batches)])], ["n"])


def frame(spark, groups):
    scale = F.pow(F.lit(2.0), F.floor(F.rand(2) * 60) - 30)
    return spark.range(N, numPartitions=4).select(
        ((F.rand(1) - 0.5) * scale).alias("x"), F.floor(F.rand(3) * groups).cast("long").alias("k")
    )


def spark_grouped(df):
    return df.groupBy("k").agg(F.sum("x"), F.avg("x"), F.variance("x")).collect()


def group_reduce(df):
    targets = {"sum": ("sum", "x"), "mean": ("mean", "x"), "var": ("var", "x")}
    return ts.group_reduce(df, "k", targets).collect()


def grouped_udfs(df):
    return df.groupBy("k").agg(ts.exact_sum("x"), ts.exact_mean("x"), ts.exact_variance("x")).collect()


def compare(label, theirs_fn, ours):
    theirs, _ = best(theirs_fn)
    for name, fn in ours:
        try:
            mine, _ = best(fn)
        except Exception as exc:  # a worker over its memory limit fails the job
            print(f"{label:24} {name:30} fails: {type(exc).__name__}")
            continue
        print(f"{label:24} {name:30} {theirs:8.2f} s {mine:8.2f} s {mine / theirs:6.1f}x")


def main():
    spark, startup = start()
    df = frame(spark, 16)
    print(f"{N} rows, local[2], 4 partitions, Python workers limited to {WORKER_MEMORY}; start: {startup:.1f} s")
    for columns in (["x"], ["x", "k"]):
        transfer, _ = best(lambda columns=columns: df.select(*columns).mapInArrow(_count_rows, "n long").collect())
        print(f"moving {' and '.join(columns)} to Python workers as Arrow, doing nothing: {transfer:.2f} s")
    print(f"{'':24} {'tallix':30} {'Spark':>10} {'tallix':>10} {'ratio':>7}")

    def spark_whole():
        return df.agg(F.sum("x"), F.avg("x"), F.variance("x")).first()

    def tallix_whole():
        states = ts.reduce_many(df, {"s": ts.target(tallix.SumF64, "x"), "m": ts.target(tallix.MomentsF64, "x")})
        return states["s"].value(), states["m"].mean(), states["m"].sample_variance()

    compare("whole column", spark_whole, [("reduce_many", tallix_whole)])
    for groups in (16, 100_000, 1):
        keyed = frame(spark, groups)
        ours = [("group_reduce", lambda keyed=keyed: group_reduce(keyed))]
        if groups < 100_000:  # one Python call per group
            ours.append(("groupBy().agg(ts.exact_*)", lambda keyed=keyed: grouped_udfs(keyed)))
        compare(f"{groups} keys" if groups > 1 else "one key", lambda keyed=keyed: spark_grouped(keyed), ours)
    spark.stop()


if __name__ == "__main__":
    main()
