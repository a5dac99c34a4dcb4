"""Cost of state receipts: state_hash beside hashlib on the same bytes.

A receipt is the SHA-256 of the state's encoding, built inside the call.
Prints the latency for a small state (SumF64, 281 bytes) and the throughput
for a large one (CovMatrixF64 of dimension 64, 623 KB), with hashlib's
SHA-256 of the already encoded bytes as a fixed point of comparison.

    python benchmarks/bench_hash.py
"""

import hashlib
import timeit

import numpy as np

import tallix


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def report(name, state, encode, number):
    data = encode()
    assert state.state_hash() == hashlib.sha256(data).digest()
    receipt = best(state.state_hash, number)
    reference = best(lambda: hashlib.sha256(data).digest(), number)
    print(
        f"{name:18s} {len(data):7d} B  state_hash {receipt * 1e6:8.2f} us"
        f" ({len(data) / receipt / 1e6:5.0f} MB/s)"
        f"  hashlib {reference * 1e6:8.2f} us ({len(data) / reference / 1e6:5.0f} MB/s)"
    )


def main():
    small = tallix.SumF64()
    small.add(1.5)
    report("SumF64", small, small.to_bytes, 200_000)

    d = 64
    rng = np.random.default_rng(1)
    large = tallix.CovMatrixF64(d)
    large.extend(rng.normal(size=(200, d)), rng.normal(size=200))
    report(f"CovMatrixF64({d})", large, large.encode, 200)


if __name__ == "__main__":
    main()
