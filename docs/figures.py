"""The figures of "Why exact", drawn from real runs while the site is built
(docs/hooks.py). Each run is small: the whole set takes a second or two.

Every function returns a matplotlib Figure; nothing is written here.
"""

from __future__ import annotations

import math
from fractions import Fraction

import matplotlib

matplotlib.use("Agg")
import dask.array as da  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

import tallix  # noqa: E402

RUNS = 40


def cancelling_data(n: int = 20_000, seed: int = 7) -> np.ndarray:
    """Small positive values buried among large ones that cancel in pairs: the
    exact sum is the sum of the small ones, which a float sum must recover from
    under rounding errors of the large ones."""
    rng = np.random.default_rng(seed)
    small = rng.uniform(0.0, 1.0, n)
    large = rng.standard_normal(n // 2) * 10.0 ** rng.uniform(8, 16, n // 2)
    return rng.permutation(np.concatenate([small, large, -large]))


def whole_state(x: np.ndarray) -> tallix.SumF64:
    state = tallix.SumF64()
    state.extend(x)
    return state


def merged_state(partitions: list[np.ndarray]) -> tallix.SumF64:
    """Each partition's state, sent as its bytes and merged, as an engine would."""
    total = tallix.SumF64()
    for part in partitions:
        total.merge(tallix.SumF64.from_bytes(whole_state(part).to_bytes()))
    return total


def drift_figure() -> Figure:
    """numpy's and Dask's float sums of one data set across row orders and
    partitionings, beside tallix's one value and one receipt."""
    x = cancelling_data()
    rng = np.random.default_rng(11)
    numpy_sums, dask_sums, receipts = [], [], set()
    for run in range(RUNS):
        shuffled = rng.permutation(x)
        numpy_sums.append(float(np.sum(shuffled)))
        receipts.add(whole_state(shuffled).state_hash())
        parts = run + 1
        column = da.from_array(x, chunks=math.ceil(len(x) / parts))
        dask_sums.append(float(column.sum().compute(scheduler="synchronous")))
        receipts.add(merged_state(np.array_split(x, parts)).state_hash())
    exact = whole_state(x).value()

    fig = Figure(figsize=(9, 4))
    left, right = fig.subplots(1, 2, sharey=True)
    runs = np.arange(1, RUNS + 1)
    left.plot(runs, numpy_sums, "o", color="tab:red", ms=4, label="numpy.sum")
    right.plot(runs, dask_sums, "o", color="tab:orange", ms=4, label="dask.array sum")
    for ax in (left, right):
        ax.axhline(exact, color="tab:blue", lw=2, label="tallix (every run)")
        ax.legend(loc="upper right", fontsize=8)
    left.set_xlabel("row order (a shuffle of the same rows)")
    right.set_xlabel("partitions")
    left.set_ylabel("sum of the same 40,000 values")
    assert len(receipts) == 1, "tallix's receipt moved"
    fig.suptitle(
        f"{len(set(numpy_sums))} numpy and {len(set(dask_sums))} Dask answers; "
        f"tallix: one value, one receipt ({next(iter(receipts)).hex()[:12]}…) in {2 * RUNS} runs",
        fontsize=10,
    )
    fig.tight_layout()
    return fig


def exact_variance(values: np.ndarray) -> Fraction:
    """The population variance of the stored values, in rationals."""
    xs = [Fraction(v) for v in values]
    mean = sum(xs, Fraction(0)) / len(xs)
    return sum(((v - mean) ** 2 for v in xs), Fraction(0)) / len(xs)


def digits(answer: float, truth: Fraction) -> float:
    """Correct significant digits of answer: −log10 of its relative error,
    capped at 17 where it is exact."""
    error = abs(Fraction(answer) - truth) / truth
    return 17.0 if error == 0 else min(17.0, -math.log10(error))


def variance_figure() -> Figure:
    """Digits right in numpy.var and in tallix's variance of unit noise on
    top of a growing offset."""
    rng = np.random.default_rng(3)
    noise = rng.standard_normal(500)
    offsets = 10.0 ** np.arange(0, 16)
    theirs, ours = [], []
    for offset in offsets:
        values = offset + noise
        truth = exact_variance(values)
        state = tallix.MomentsF64()
        state.extend(values)
        theirs.append(digits(float(np.var(values)), truth))
        ours.append(digits(state.variance(), truth))

    fig = Figure(figsize=(8, 4))
    ax = fig.subplots()
    ax.plot(offsets, theirs, "o-", color="tab:red", label="numpy.var(x)")
    ax.plot(offsets, ours, "s-", color="tab:blue", label="tallix MomentsF64.variance()")
    ax.set_xscale("log")
    ax.set_ylim(0, 18)
    ax.set_xlabel("offset c  (x = c + unit normal noise, 500 values)")
    ax.set_ylabel("correct significant digits")
    ax.set_title("Variance against a large offset: digits right of the stored data's exact variance")
    ax.legend(loc="lower left")
    fig.tight_layout()
    return fig
