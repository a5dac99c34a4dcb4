"""Timing shared by the benchmarks: the fastest of repeated runs."""

import time


def best(fn, repeat=5, budget=2.0):
    """The fastest of up to ``repeat`` runs, stopping early once ``budget`` seconds are spent."""
    times = []
    while len(times) < repeat and sum(times) < budget:
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)
