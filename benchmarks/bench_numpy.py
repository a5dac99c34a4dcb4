"""tallix_companion.numpy against numpy: one run each, best of fifteen (two for the slowest rows), as ratios.

Run with ``env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE`` so numpy runs as a
user's numpy does.
"""

import time

import numpy as np

import tallix_companion.numpy as tnp


def best(fn, repeat=15):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def row(label, ours, theirs, *goals, repeat=15):
    t_ours, t_theirs = best(ours, repeat), best(theirs, repeat)
    ratio = t_ours / t_theirs
    verdicts = "; ".join(f"goal <= {g}x, {'met' if ratio <= g else 'missed'}" for g in goals)
    print(f"{label:<40} {t_ours * 1e3:8.1f} ms {t_theirs * 1e3:8.1f} ms {ratio:6.2f}x  ({verdicts or 'no goal'})")


def cancelling(n, rng):
    """Random exponents (2^-40 to 2^40) in pairs that cancel, as bench.py's sums use."""
    half = n // 2
    a = rng.standard_normal(half) * np.exp2(rng.integers(-40, 41, half))
    return rng.permutation(np.concatenate([a, -a, rng.standard_normal(n - 2 * half)]))


def main():
    rng = np.random.default_rng(0)
    flat = rng.normal(size=10**7)
    tall = rng.normal(size=(10**6, 8))
    print(f"{'':<40} {'tallix':>11} {'numpy':>11} {'ratio':>7}")
    wide = cancelling(10**7, rng)
    row("sum, 10^7 values (1 worker)", lambda: tnp.sum(flat, workers=1), lambda: np.sum(flat), 3, 2)
    row("sum, 10^7 values (2 workers)", lambda: tnp.sum(flat, workers=2), lambda: np.sum(flat), 1.5, 1.2)
    row("same, cancelling (1 worker)", lambda: tnp.sum(wide, workers=1), lambda: np.sum(wide), 3, 2)
    row("same, cancelling (2 workers)", lambda: tnp.sum(wide, workers=2), lambda: np.sum(wide), 1.5, 1.2)
    row("sum axis=0, 10^6 x 8", lambda: tnp.sum(tall, axis=0), lambda: np.sum(tall, axis=0), 4)
    row("sum axis=1, 10^6 x 8", lambda: tnp.sum(tall, axis=1), lambda: np.sum(tall, axis=1), 3)
    row("var axis=0, 10^6 x 8", lambda: tnp.var(tall, axis=0), lambda: np.var(tall, axis=0), 5)
    # Row-wise (axis=1) means and variances, and grouped reductions: bench_groups.py.


if __name__ == "__main__":
    main()
