"""Exact sums computed in pieces, in separate processes, merged from their
bytes: the value and the receipt do not depend on the split."""

import math
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import tallix

N = 1_000_000


def make_data(seed: int = 2026) -> np.ndarray:
    """Values of wildly different magnitudes that largely cancel."""
    rng = np.random.default_rng(seed)
    mags = np.ldexp(rng.random(N), rng.integers(-60, 60, N))
    signs = rng.choice([-1.0, 1.0], N)
    return mags * signs


def partial_state(chunk: np.ndarray) -> bytes:
    s = tallix.SumF64()
    for x in chunk.tolist():
        s.add(x)
    return s.to_bytes()


def reduce_in_parts(pool, data: np.ndarray, parts: int, order_seed: int):
    order = np.random.default_rng(order_seed).permutation(N)
    chunks = np.array_split(data[order], parts)
    states = list(pool.map(partial_state, chunks))
    total = tallix.SumF64()
    for b in states:
        total.merge(tallix.SumF64.from_bytes(b))
    naive = 0.0
    for chunk in chunks:  # how a float reduction over the same parts comes out
        naive += float(np.sum(chunk))
    return total, naive, len(states[0])


def main() -> None:
    data = make_data()
    print(f"tallix demo: exact sum of {N:,} values, split across processes\n")
    with ProcessPoolExecutor(max_workers=2) as pool:
        runs = [(parts, seed) for parts, seed in [(2, 1), (7, 2), (16, 3)]]
        results = []
        for parts, seed in runs:
            total, naive, nbytes = reduce_in_parts(pool, data, parts, seed)
            results.append((parts, total, naive))
            print(f"{parts:>3} parts, {nbytes}-byte states  exact {total.value()!r:<24} "
                  f"naive float {naive!r:<24} receipt {total.state_hash().hex()[:16]}…")
    receipts = {t.state_hash() for _, t, _ in results}
    naives = {n for _, _, n in results}
    print(f"\nmath.fsum over all values: {math.fsum(data.tolist())!r}")
    print(f"receipts identical across splits: {len(receipts) == 1} "
          f"({results[0][1].state_hash().hex()})")
    print(f"naive float sums that differ by split: {len(naives)} distinct values")


if __name__ == "__main__":
    main()
