"""Exact reductions on local Spark next to Spark's own sum, avg and variance.

Generates n rows in the JVM (values over sixty binary orders of magnitude,
a small-integer group key), then times, on the same lazily generated rows:
Spark's sum/avg/variance of the column, tallix's SumF64 and MomentsF64 of
the column in one pass, and the same per group; beside them, the cost of
only moving the column to the Python workers as Arrow batches (which also
starts the workers before anything is timed). Each timing is the best of
``repeat`` runs; the JVM start is reported on its own.

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
GROUPS = 16


def start():
    if not os.environ.get("JAVA_HOME"):
        os.environ["JAVA_HOME"] = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))[0]
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    os.environ["PYSPARK_PYTHON"] = sys.executable
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


def main():
    spark, startup = start()
    scale = F.pow(F.lit(2.0), F.floor(F.rand(2) * 60) - 30)
    df = spark.range(N, numPartitions=4).select(
        ((F.rand(1) - 0.5) * scale).alias("x"), (F.col("id") % GROUPS).alias("k")
    )
    print(f"{N} rows, local[2], 4 partitions; JVM and session start: {startup:.1f} s")

    def spark_whole():
        return df.agg(F.sum("x"), F.avg("x"), F.variance("x")).first()

    def tallix_whole():
        states = ts.reduce_many(df, {"s": ts.target(tallix.SumF64, "x"), "m": ts.target(tallix.MomentsF64, "x")})
        return states["s"].value(), states["m"].mean(), states["m"].sample_variance()

    def spark_grouped():
        return df.groupBy("k").agg(F.sum("x"), F.avg("x"), F.variance("x")).collect()

    def tallix_grouped():
        return df.groupBy("k").agg(ts.exact_sum("x"), ts.exact_mean("x"), ts.exact_variance("x")).collect()

    def arrow_transfer_only():
        return df.select("x").mapInArrow(_count_rows, "n long").collect()

    transfer, _ = best(arrow_transfer_only)
    print(f"moving the column to Python workers as Arrow, doing nothing: {transfer:.2f} s")
    rows = [
        ("whole column", spark_whole, tallix_whole),
        (f"{GROUPS} groups", spark_grouped, tallix_grouped),
    ]
    print(f"{'':14} {'Spark sum/avg/variance':>24} {'tallix exact':>14} {'ratio':>7}")
    answers = {}
    for label, theirs_fn, ours_fn in rows:
        theirs, answers["Spark"] = best(theirs_fn)
        ours, answers["tallix"] = best(ours_fn)
        print(f"{label:14} {theirs:22.2f} s {ours:12.2f} s {ours / theirs:6.1f}x")
        if label == "whole column":
            whole = {who: tuple(answer) for who, answer in answers.items()}
    for who, (total, mean, variance) in whole.items():
        print(f"{who:>7}: sum {total!r}, avg {mean!r}, variance {variance!r}")
    spark.stop()


if __name__ == "__main__":
    main()
