"""Cost of the exact statistics accumulators next to the statistics module.

Prints, per value, the cost of MomentsF64.add (and CovF64.add when it is
built) and the latency of the variance query, beside statistics.pvariance
on the same data, with their ratios.

    PYTHONPATH=build/<dir> python benchmarks/bench_stats.py [n]
"""

import random
import statistics
import sys
import timeit

import tallix

N = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000


def best(fn, number=1, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def per_value_add(cls, xs):
    def run():
        m = cls()
        add = m.add
        for x in xs:
            add(x)

    return best(run) / len(xs)


def per_value_add_pairs(cls, xs, ys):
    def run():
        m = cls()
        add = m.add
        for x, y in zip(xs, ys, strict=True):
            add(x, y)

    return best(run) / len(xs)


def loop_overhead(xs):
    def run():
        f = abs
        for x in xs:
            f(x)

    return best(run) / len(xs)


def main():
    rng = random.Random(1)
    xs = [rng.gauss(1e6, 1e3) for _ in range(N)]
    ys = [2.0 * x + rng.gauss(0, 1.0) for x in xs]
    ns = 1e9

    baseline = loop_overhead(xs)
    print(f"n = {N}")
    print(f"python loop calling a builtin:  {baseline * ns:8.1f} ns/value")

    moments = per_value_add(tallix.MomentsF64, xs)
    print(f"MomentsF64.add:                 {moments * ns:8.1f} ns/value ({moments / baseline:.2f}x the bare loop)")
    m4 = per_value_add(tallix.Moments4F64, xs)
    print(f"Moments4F64.add:                {m4 * ns:8.1f} ns/value")

    cov_cls = getattr(tallix, "CovF64", None)
    if cov_cls is not None:
        cov = per_value_add_pairs(cov_cls, xs, ys)
        print(f"CovF64.add:                     {cov * ns:8.1f} ns/value")
    else:
        print("CovF64 not built; skipped")

    m = tallix.MomentsF64()
    for x in xs:
        m.add(x)
    query = best(m.variance, number=2000)
    print(f"MomentsF64.variance query:      {query * 1e6:8.2f} us")
    m4s = tallix.Moments4F64()
    for x in xs:
        m4s.add(x)
    print(f"Moments4F64.kurtosis query:     {best(m4s.kurtosis, number=500) * 1e6:8.2f} us")

    reference = best(lambda: statistics.pvariance(xs), repeat=3)
    ours = moments * len(xs) + query
    print(f"statistics.pvariance (n values): {reference * 1e3:8.2f} ms, {reference / len(xs) * ns:.1f} ns/value")
    print(f"MomentsF64 add all + variance:   {ours * 1e3:8.2f} ms")
    print(f"ratio statistics.pvariance / MomentsF64: {reference / ours:.1f}x")
    assert m.variance() == statistics.pvariance(xs)


if __name__ == "__main__":
    main()
