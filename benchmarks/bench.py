"""Speed of tallix's exact sums, dot product, moments and histogram against
numpy, math.fsum, statistics and xsum, in nanoseconds per value, on the same
data in one run.

    python benchmarks/bench.py [--sizes 1000,100000,10000000]

Data: float64 values with random exponents (2^-40 to 2^40) in pairs that
cancel exactly, plus 1% small noise, shuffled, so that the exact sum is tiny
next to the terms (numpy.sum is then mostly wrong; the "exact" column says
whether a result equals the correctly rounded sum); and, for the narrow-range
sums, dot products and variances, uniform values in [1, 2), all of one
exponent (the products of two independent such arrays). Rows whose class or
package is missing are skipped. Each group's first row is the reference of
its ratio column. BLAS runs single-threaded (unless the environment says
otherwise), as tallix does.
"""

import argparse
import math
import os
import statistics
import sys
import time

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402  (after the thread settings)

try:
    import tallix
except ImportError:  # pragma: no cover - the benchmark needs the module
    sys.exit("tallix is not importable: build it and put it on PYTHONPATH")

try:
    import xsum
except ImportError:
    xsum = None

SUBSET = 10_000  # statistics.pvariance works on Fractions: time it on a subset


def make_data(n, seed):
    rng = np.random.default_rng(seed)
    half = n // 2
    a = rng.standard_normal(half) * np.exp2(rng.integers(-40, 41, half))
    x = np.concatenate([a, -rng.permutation(a)])
    x = np.concatenate([x, rng.standard_normal(n - x.size)])
    noisy = rng.random(n) < 0.01
    x[noisy] = rng.standard_normal(noisy.sum())
    return rng.permutation(x)


def best_time(fn, budget=1.0, max_reps=25):
    best, spent, reps = math.inf, 0.0, 0
    while reps == 0 or (spent < budget and reps < max_reps):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent, reps = min(best, dt), spent + dt, reps + 1
    return best


def has(cls, method):
    return hasattr(tallix, cls) and hasattr(getattr(tallix, cls), method)


# ---- the cases: (group, label, availability, setup(data) -> (callable, n values)) ----


def sum_cases():
    def tallix_add_loop(d):
        lst = d["list"]

        def run():
            s = tallix.SumF64()
            add = s.add
            for v in lst:
                add(v)
            return s.value()

        return run

    def fast(kind):
        def setup(d):
            xs = d[kind]

            def run():
                f = tallix.FastSumF64()
                f.extend(xs)
                return f.finish().value()

            return run

        return setup

    def sum_extend(d):
        def run():
            s = tallix.SumF64()
            s.extend(d["array"])
            return s.value()

        return run

    def xsum_acc(kind):
        def setup(d):
            def run():
                acc = getattr(xsum, kind)()
                xsum.xsum_add(acc, d["array"])
                return xsum.xsum_round(acc)

            return run

        return setup

    return [
        ("numpy.sum (array)", True, lambda d: lambda: float(np.sum(d["array"]))),
        ("math.fsum (list)", True, lambda d: lambda: math.fsum(d["list"])),
        ("xsum small (array)", xsum is not None, xsum_acc("xsum_small_accumulator")),
        ("xsum large (array)", xsum is not None, xsum_acc("xsum_large_accumulator")),
        ("SumF64.add loop (list)", has("SumF64", "add"), tallix_add_loop),
        ("FastSumF64.extend (list)", has("FastSumF64", "extend"), fast("list")),
        ("FastSumF64.extend (array)", has("FastSumF64", "extend"), fast("array")),
        ("SumF64.extend (array)", has("SumF64", "extend"), sum_extend),
    ]


def narrow_sum_cases():
    def extend(cls, finish):
        def setup(d):
            xs = d["narrow"]

            def run():
                acc = getattr(tallix, cls)()
                acc.extend(xs)
                return finish(acc)

            return run

        return setup

    return [
        ("numpy.sum (array)", True, lambda d: lambda: float(np.sum(d["narrow"]))),
        ("FastSumF64.extend (array)", has("FastSumF64", "extend"), extend("FastSumF64", lambda f: f.finish().value())),
        ("SumF64.extend (array)", has("SumF64", "extend"), extend("SumF64", lambda s: s.value())),
    ]


def dot_cases(xs, ys):
    """The dot product of the arrays d[xs] and d[ys]."""

    def xsum_dot(d):
        def run():
            acc = xsum.xsum_large_accumulator()
            xsum.xsum_add_dot(acc, d[xs], d[ys])
            return xsum.xsum_round(acc)

        return run

    def dot_extend(d):
        def run():
            acc = tallix.DotF64()
            acc.extend(d[xs], d[ys])
            return acc.value()

        return run

    return lambda: [
        ("numpy.dot (array)", True, lambda d: lambda: float(np.dot(d[xs], d[ys]))),
        ("xsum large add_dot (array)", xsum is not None, xsum_dot),
        ("tallix.dot (array)", hasattr(tallix, "dot"), lambda d: lambda: tallix.dot(d[xs], d[ys])),
        ("DotF64.extend (array)", has("DotF64", "extend"), dot_extend),
    ]


def moments_cases(xs):
    """The population variance of the array d[xs]."""

    def moments(query):
        def setup(d):
            def run():
                m = tallix.MomentsF64()
                m.extend(d[xs])
                return m.variance() if query else m

            return run

        return setup

    def pvariance(d):
        head = d[xs][:SUBSET].tolist()
        return lambda: statistics.pvariance(head), len(head)

    return lambda: [
        ("numpy.var (array)", True, lambda d: lambda: float(np.var(d[xs]))),
        (f"statistics.pvariance (first {SUBSET})", True, pvariance),
        ("MomentsF64.extend (array)", has("MomentsF64", "extend"), moments(query=False)),
        ("MomentsF64.extend + variance (array)", has("MomentsF64", "extend"), moments(query=True)),
    ]


def histogram_cases():
    def hist(d):
        def run():
            h = tallix.HistogramF64(d["edges"])
            h.extend(d["array"])
            return h.counts()

        return run

    return [
        ("numpy.histogram, same 101 edges", True, lambda d: lambda: np.histogram(d["array"], bins=d["edges"])[0]),
        (
            "numpy.histogram, 100 equal bins",
            True,
            lambda d: lambda: np.histogram(d["array"], bins=100, range=(d["edges"][0], d["edges"][-1]))[0],
        ),
        ("HistogramF64.extend (array)", has("HistogramF64", "extend"), hist),
    ]


GROUPS = [
    ("exact sum", sum_cases),
    ("exact sum, values in [1, 2)", narrow_sum_cases),
    ("dot product", dot_cases("array", "other")),
    ("dot product, values in [1, 2)", dot_cases("narrow", "narrow_other")),
    ("variance", moments_cases("array")),
    ("variance, values in [1, 2)", moments_cases("narrow")),
    ("histogram", histogram_cases),
]


def run_group(cases, datasets, exact):
    """ns/value per size for every available case; None where skipped."""
    rows = []
    for label, available, setup in cases:
        if not available:
            continue
        cells = []
        for d in datasets:
            made = setup(d)
            fn, n = made if isinstance(made, tuple) else (made, d["n"])
            if label.startswith("SumF64.add loop") and d["n"] > 10**6:
                budget = 0.0  # one pass is plenty at this size
            else:
                budget = 1.0
            t = best_time(fn, budget=budget)
            result = fn()
            ok = exact(d, result) if exact else None
            cells.append((t / n * 1e9, ok))
        rows.append((label, cells))
    return rows


def print_group(title, rows, sizes):
    print(f"\n{title}")
    head = f"  {'case':38s}" + "".join(f"{'n=' + format(n, ','):>24s}" for n in sizes)
    print(head)
    ref = rows[0][1] if rows else None
    for label, cells in rows:
        text = f"  {label:38s}"
        for (ns, ok), (ref_ns, _) in zip(cells, ref, strict=True):
            mark = "" if ok is None else (" " if ok else "*")
            text += f"{ns:11.2f} ns {ns / ref_ns:7.2f}x{mark:2s}"
        print(text)


def lookup(rows, label):
    for name, cells in rows:
        if name == label:
            return cells[-1][0]
    return None


def print_targets(results):
    goals = [  # (our row, the peer's row, limit, group), each met on both data sets
        ("SumF64.extend (array)", "numpy.sum (array)", 1.5, "exact sum"),
        ("FastSumF64.extend (array)", "numpy.sum (array)", 1.5, "exact sum"),
        ("tallix.dot (array)", "numpy.dot (array)", 3.0, "dot product"),
        ("MomentsF64.extend + variance (array)", "numpy.var (array)", 1.0, "variance"),
    ]
    checks = []  # (target, group, our row, the peer's row, limit)
    for ours, peer, limit, group in goals:
        times = "" if limit == 1 else f"{limit:g} x "
        target = f"{ours.removesuffix(' (array)')} <= {times}{peer.removesuffix(' (array)')}"
        checks.append((target, results[group], ours, peer, limit))
        checks.append(("  same, values in [1, 2)", results[f"{group}, values in [1, 2)"], ours, peer, limit))
    histogram = ("HistogramF64.extend (array)", "numpy.histogram, same 101 edges")
    checks.append(("HistogramF64.extend <= numpy.histogram", results["histogram"], *histogram, 1.0))
    print("\ntargets at the largest size (ratio of the two times):")
    for name, rows, ours, peer, limit in checks:
        mine, theirs = lookup(rows, ours), lookup(rows, peer)
        if mine is None or theirs is None:
            print(f"  {name:46s} skipped")
            continue
        ratio = mine / theirs
        verdict = "met" if ratio <= limit else "NOT met"
        print(f"  {name:46s} {ratio:6.2f} {f'(limit {limit:g})':12s} {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,100000,10000000")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    datasets = []
    for i, n in enumerate(sizes):
        x = make_data(n, seed=i)
        lo, hi = np.quantile(x, [0.01, 0.99])
        datasets.append(
            {
                "n": n,
                "array": x,
                "list": x.tolist(),
                "other": make_data(n, seed=100 + i),
                "narrow": np.random.default_rng(200 + i).uniform(1.0, 2.0, n),
                "narrow_other": np.random.default_rng(300 + i).uniform(1.0, 2.0, n),
                "edges": np.linspace(lo, hi, 101).tolist(),
            }
        )
    print(
        f"tallix benchmark: ns per value (best of repeated runs); "
        f"python {sys.version.split()[0]}, numpy {np.__version__}, "
        f"xsum {'present' if xsum else 'absent'}"
    )
    print("ratio: time over the group's first row; '*' marks a sum that is not the correctly rounded exact sum")
    summed = {"exact sum": "list", "exact sum, values in [1, 2)": "narrow"}
    exact_sum = {(t, id(d)): math.fsum(d[key]) for t, key in summed.items() for d in datasets}
    results = {}
    for title, cases in GROUPS:
        exact = (lambda d, r, t=title: r == exact_sum[(t, id(d))]) if title in summed else None
        results[title] = run_group(cases(), datasets, exact)
        print_group(title, results[title], sizes)
    print_targets(results)


if __name__ == "__main__":
    main()
