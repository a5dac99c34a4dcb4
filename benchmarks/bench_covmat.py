"""CovMatrixF64 costs: `add` and `extend` per row, and the latency of each
query, beside numpy's inexact least squares over the same rows as the peer.

    PYTHONPATH=build/<dir> python benchmarks/bench_covmat.py
"""

import random
import time
from functools import partial

import numpy as np

from tallix import CovMatrixF64

DIMS = [2, 5, 10, 20]
ROWS = 20000


def per_call(fn, min_seconds=0.3):
    """Mean seconds per call, repeating until min_seconds have passed."""
    calls, start = 0, time.perf_counter()
    while True:
        fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / calls


def add_cost(d, rows, ys):
    s = CovMatrixF64(d)
    start = time.perf_counter()
    for row, y in zip(rows, ys, strict=True):
        s.add(row, y)
    return (time.perf_counter() - start) / len(rows), s


def main():
    rng = random.Random(1)
    print(
        "| d | add, list row | add, numpy row | extend, 2-D array | numpy lstsq | extend / lstsq "
        "| covariance | regression (fast) | regression_exact |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for d in DIMS:
        lists = [[rng.uniform(-100, 100) for _ in range(d)] for _ in range(ROWS)]
        arrays = [np.array(r) for r in lists]
        ys = [sum(r) + rng.uniform(-1, 1) for r in lists]
        t_list, s = add_cost(d, lists, ys)
        t_array, _ = add_cost(d, arrays, ys)
        matrix, y = np.array(lists), np.array(ys)
        t_extend = per_call(lambda d=d, matrix=matrix, y=y: CovMatrixF64(d).extend(matrix, y)) / ROWS
        design = np.column_stack([np.ones(ROWS), matrix])
        t_lstsq = per_call(partial(np.linalg.lstsq, design, y, rcond=None)) / ROWS
        t_cov = per_call(partial(s.covariance, 0, d - 1))
        t_fast = per_call(s.regression)
        t_exact = per_call(s.regression_exact, min_seconds=1.0)
        print(
            f"| {d} | {t_list * 1e6:.2f} µs | {t_array * 1e6:.2f} µs | {t_extend * 1e9:.0f} ns "
            f"| {t_lstsq * 1e9:.0f} ns | {t_extend / t_lstsq:.1f}x | {t_cov * 1e6:.1f} µs "
            f"| {t_fast * 1e6:.0f} µs | {t_exact * 1e6:.0f} µs |"
        )


if __name__ == "__main__":
    main()
