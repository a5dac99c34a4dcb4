"""The main job: exact statistics of a large table on a Dask cluster.

A LocalCluster of worker processes builds, in one pass over each partition,
the exact sum, moments, covariance matrix, histogram and extrema of the data;
the states travel as their documented bytes and merge in a tree.  The same
work is then repeated with another partitioning and a shuffled row order: the
receipts are identical, while float reductions drift with the split.

    python examples/demo.py                 # seeded synthetic data, 3,000,000 rows
    python examples/demo.py --csv data.csv  # numeric columns of a CSV file instead

Univariate statistics describe the first column; the covariance matrix and the
regression take the remaining columns, the last one being the response.
"""

import argparse
import logging
import math
import sys
import tempfile
import time
from collections.abc import Callable
from fractions import Fraction
from itertools import pairwise
from pathlib import Path
from typing import Any

import dask.array as da
import numpy as np
import pandas as pd
from dask.delayed import delayed
from distributed import Client, LocalCluster, progress

import tallix
import tallix_companion.dask as tallix_dask
import tallix_companion.numpy as tnp
import tallix_companion.pandas  # noqa: F401  (registers .exact)

SEED = 2026
TIMEOUT = 300  # seconds for one pass; a hung cluster must not hang the demo


def synthetic(rows: int) -> tuple[list[str], np.ndarray]:
    """Amounts of wildly different magnitudes that largely cancel, and a
    regression problem whose features live on very different scales."""
    rng = np.random.default_rng(SEED)
    amount = np.ldexp(rng.random(rows), rng.integers(-40, 41, rows)) * rng.choice([-1.0, 1.0], rows)
    x0 = 1e4 + rng.standard_normal(rows)
    x1 = 1e-3 * rng.standard_normal(rows)
    x2 = 1e3 * rng.exponential(size=rows)
    y = 2.5 + 0.75 * (x0 - 1e4) - 40.0 * x1 + 1e-3 * x2 + 0.1 * rng.standard_normal(rows)
    return ["amount", "x0", "x1", "x2", "y"], np.column_stack([amount, x0, x1, x2, y])


def from_csv(path: str) -> tuple[list[str], np.ndarray]:
    import pandas as pd

    frame = pd.read_csv(path).select_dtypes("number")
    if frame.shape[1] == 0:
        sys.exit(f"{path}: no numeric columns")
    return list(map(str, frame.columns)), frame.to_numpy(dtype=np.float64)


def choose_edges(col: np.ndarray) -> list[float]:
    """Symmetric decades for data spanning many magnitudes, else equal widths."""
    finite = col[np.isfinite(col)]
    if finite.size == 0:
        return [0.0, 1.0]
    mags = np.abs(finite[finite != 0])
    small, large = np.quantile(mags, [0.001, 0.999]) if mags.size else (1.0, 1.0)
    if large / small > 1e6:
        first, last = math.floor(math.log10(small)), math.ceil(math.log10(large))
        step = max(1, (last - first) // 6)
        pos = [10.0**k for k in range(first, last + 1, step)]
        return [-p for p in reversed(pos)] + [0.0] + pos
    lo, hi = float(finite.min()), float(finite.max())
    return [float(e) for e in np.linspace(lo, hi if hi > lo else lo + 1.0, 9)]


def targets(ncols: int, edges: list[float]) -> dict[str, tallix_dask.Target]:
    t = tallix_dask.target
    plan = {
        "sum": t(tallix.SumF64, 0),
        "moments": t(tallix.MomentsF64, 0),
        "extrema": t(tallix.ExtremaF64, 0),
        "histogram": t(tallix.HistogramF64, 0, edges=edges),
    }
    if ncols >= 2:
        plan["covmatrix"] = t(tallix.CovMatrixF64, *range(1, ncols))
    return plan


def load_rows(path: str, start: int, stop: int) -> np.ndarray:
    return np.array(np.load(path, mmap_mode="r")[start:stop])


def as_dask(path: str, bounds: list[int], ncols: int) -> da.Array:
    """A dask array whose partitions are read from the .npy file by the workers."""
    pieces = [
        da.from_delayed(delayed(load_rows)(path, a, b), shape=(b - a, ncols), dtype=np.float64)
        for a, b in pairwise(bounds)
    ]
    joined: da.Array = da.concatenate(pieces)
    return joined


def run(
    client: Client, data: da.Array, plan: dict[str, tallix_dask.Target], label: str
) -> tuple[dict[str, Any], float]:
    print(f"{label}: {data.numblocks[0]} partitions")
    red = tallix_dask.plan(data, plan)
    fut = client.compute(red.delayed)
    progress(fut)
    print()
    states = red.states(fut.result(timeout=TIMEOUT))
    naive = client.compute(data[:, 0].sum()).result(timeout=TIMEOUT)
    return states, float(naive)


def ask(query: Callable[..., Any], *args: Any) -> Any:
    """The answer, or the reason there is none (for example NonFinite)."""
    try:
        return query(*args)
    except (ValueError, np.linalg.LinAlgError) as err:
        return str(err).split(" (")[0]


def drift(approx: Any, exact: Any) -> str:
    if isinstance(exact, str) or isinstance(approx, str):
        return ""
    if approx == exact or (math.isnan(approx) and math.isnan(exact)):
        return "0"
    if exact == 0 or not math.isfinite(exact):
        return f"{approx - exact:+.1e} abs"
    return f"{abs(approx - exact) / abs(exact):.1e}"


def row(name: str, exact: Any, approx: Any) -> None:
    shown = [v if isinstance(v, str) else repr(float(v)) for v in (exact, approx)]
    print(f"  {name:<24}{shown[0]:<26}{shown[1]:<26}{drift(approx, exact)}")


def report(names: list[str], table: np.ndarray, a: dict[str, Any], edges: list[float]) -> None:
    col = table[:, 0]
    first = names[0]
    print(f"\n  {'':<24}{'tallix (exact)':<26}{'numpy':<26}relative drift")
    row(f"sum({first})", a["sum"].value(), np.sum(col))
    row(f"mean({first})", ask(a["moments"].mean), np.mean(col))
    row(f"variance({first})", ask(a["moments"].variance), np.var(col))
    row(f"stddev({first})", ask(a["moments"].stddev), np.std(col))
    row(f"min({first})", ask(a["extrema"].min), np.min(col))
    row(f"max({first})", ask(a["extrema"].max), np.max(col))
    if "covmatrix" in a:
        report_matrix(names[1:], table[:, 1:], a["covmatrix"])
    counts = a["histogram"].counts()
    seen = col[~np.isnan(col)]  # the histogram counts NaN apart
    theirs = np.bincount(np.searchsorted(edges, seen, side="right"), minlength=len(edges) + 1)
    print(
        f"\n  histogram of {first} ({len(edges)} edges; numpy agrees: {'yes' if counts == theirs.tolist() else 'NO'})"
    )
    labels = [f"< {edges[0]:g}"] + [f"[{lo:g}, {hi:g})" for lo, hi in pairwise(edges)]
    labels.append(f">= {edges[-1]:g}")
    cells = [f"{lab}: {c:,}" for lab, c in zip(labels, counts, strict=True)]
    for i in range(0, len(cells), 4):
        print("    " + " | ".join(cells[i : i + 4]))


def report_matrix(names: list[str], block: np.ndarray, cm: tallix.CovMatrixF64) -> None:
    features, response = names[:-1], names[-1]
    d = len(features)
    if d:
        exact = [[ask(cm.covariance, i, j) for j in range(d)] for i in range(d)]
        theirs = np.atleast_2d(np.cov(block[:, :-1], rowvar=False, bias=True))
        drifts = [drift(t, e) for t, e in zip(theirs.ravel(), sum(exact, []), strict=True) if drift(t, e)]
        worst = max(drifts, key=lambda s: float(s.split()[0]), default="n/a")
        print(f"\n  covariance matrix of {', '.join(features)} (numpy.cov worst drift {worst})")
        for line in exact:
            print("    " + "  ".join(f"{v:>24}" if isinstance(v, str) else f"{v:>24.17g}" for v in line))
    design = np.column_stack([np.ones(len(block)), block[:, :-1]])
    theirs = ask(lambda: np.linalg.lstsq(design, block[:, -1], rcond=None)[0].tolist())
    exact = ask(cm.regression_exact)
    print(f"\n  regression of {response} (exact normal equations beside numpy.linalg.lstsq)")
    if isinstance(exact, str) or isinstance(theirs, str):
        print(f"    tallix: {exact}\n    numpy: {theirs}")
        return
    for name, e, t in zip(["intercept"] + features, exact, theirs, strict=True):
        row(name, e, t)


def receipts(a: dict[str, Any], b: dict[str, Any]) -> bool:
    print(f"\n  {'receipts':<14}{'run A (SHA-256)':<20}{'run B (SHA-256)':<20}")
    same = True
    for name in a:
        ha, hb = a[name].state_hash(), b[name].state_hash()
        same &= ha == hb
        print(
            f"  {name:<14}{ha.hex()[:16] + '…':<20}{hb.hex()[:16] + '…':<20}{'identical' if ha == hb else 'DIFFERENT'}"
        )
    return same


def numpy_style(chunks: int = 16) -> bool:
    """numpy's and dask's answers against tallix_companion's, checked with fractions.

    Large amounts that cancel in pairs hide small ones: a float sum rounds the
    small ones away, an exact one keeps them.
    """
    rng = np.random.default_rng(SEED + 2)
    big = rng.uniform(1e15, 1e17, 30_000)
    x = rng.permutation(np.concatenate([big, -big, rng.uniform(0, 1, 40_000)]))
    exact = [Fraction(v) for v in x.tolist()]
    total, squares = sum(exact, Fraction(0)), sum((v * v for v in exact), Fraction(0))
    n = len(exact)
    oracle = {"sum": float(total), "mean": float(total / n), "var": float((squares - total * total / n) / n)}
    dx = da.from_array(x, chunks=len(x) // chunks)
    answers = {
        "sum": (tnp.sum(x), np.sum(x), dx.sum().compute(), tallix_dask.sum(dx)),
        "mean": (tnp.mean(x), np.mean(x), dx.mean().compute(), tallix_dask.mean(dx)),
        "var": (tnp.var(x), np.var(x), dx.var().compute(), tallix_dask.var(dx)),
    }
    print(f"\nnumpy-style calls on {n:,} values, large ones cancelling in pairs (oracle: fractions)")
    print(f"  {'':<5} {'exact (fractions)':>24} {'tnp':>24} {'numpy':>24} {'dask':>24} {'tallix dask':>24}")
    right = True
    for name, (ours, theirs, dask_float, ours_dask) in answers.items():
        right &= float(ours) == oracle[name] == float(ours_dask)
        cells = [oracle[name], ours, theirs, dask_float, ours_dask]
        print(f"  {name:<5} " + " ".join(f"{float(c)!r:>24}" for c in cells))
    print(f"  tallix_companion equals the exact value everywhere: {'yes' if right else 'NO'}")
    return right


def rolling_windows() -> bool:
    """A rolling standard deviation after a bad tick, pandas' beside tallix's.

    pandas slides its windows by floating-point updates, so a large value
    leaves an artefact in every later window; tallix slides exact sums and
    rounds each window once, so a constant stretch has a deviation of 0.0.
    """
    walk = np.round(100 + np.cumsum(np.random.default_rng(17).normal(0, 0.5, 60)), 2)
    prices = pd.DataFrame({"price": np.concatenate([walk, [1e6], walk[-3:], [walk[-1]] * 30])})
    theirs, ours = prices.rolling(20).std()["price"], prices.exact.rolling(20).std()["price"]
    print(f"\nrolling(20).std() of prices with one bad tick (1e6), then a constant stretch of {walk[-1]}")
    print(f"  {'window ends at':<16}{'pandas':>24}{'tallix':>24}")
    for end in range(len(prices) - 4, len(prices)):
        print(f"  {end:<16}{float(theirs.iloc[end])!r:>24}{float(ours.iloc[end])!r:>24}")
    flat = bool((ours.iloc[-4:] == 0.0).all())
    print(f"  tallix's deviation of the constant windows is exactly 0.0: {'yes' if flat else 'NO'}")
    return flat


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--csv", help="numeric CSV file to use instead of the synthetic data")
    parser.add_argument("--rows", type=int, default=3_000_000, help="synthetic rows")
    args = parser.parse_args()
    start = time.perf_counter()
    names, table = from_csv(args.csv) if args.csv else synthetic(args.rows)
    n, ncols = table.shape
    edges = choose_edges(table[:, 0])
    plan = targets(ncols, edges)
    rng = np.random.default_rng(SEED + 1)
    print(
        f"tallix on Dask: {n:,} rows of {', '.join(names)}"
        f" ({'from ' + args.csv if args.csv else 'seeded synthetic data'})"
    )
    with tempfile.TemporaryDirectory() as tmp:
        path_a, path_b = str(Path(tmp, "a.npy")), str(Path(tmp, "b.npy"))
        np.save(path_a, table)
        np.save(path_b, table[rng.permutation(n)])
        bounds_a = np.linspace(0, n, 17).astype(int).tolist()
        cuts = rng.choice(np.arange(1, n), size=min(22, n - 1), replace=False)
        bounds_b = [0, *sorted(cuts.tolist()), n]
        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR
            ) as cluster,
            Client(cluster) as client,
        ):
            print("cluster: 2 worker processes, 1 thread each\n")
            a, naive_a = run(client, as_dask(path_a, bounds_a, ncols), plan, "run A, original order, equal partitions")
            b, naive_b = run(client, as_dask(path_b, bounds_b, ncols), plan, "run B, shuffled rows, uneven partitions")
    report(names, table, a, edges)
    same = receipts(a, b)
    exact_sum = a["sum"].value()
    print(
        f"\n  sum({names[0]}), exact:          run A {exact_sum!r}, run B {b['sum'].value()!r}"
        f" (math.fsum: {math.fsum(table[:, 0].tolist())!r})"
    )
    print(
        f"  sum({names[0]}), dask float sum: run A {naive_a!r}, run B {naive_b!r}"
        f" ({'the same' if drift(naive_a, naive_b) == '0' else 'changes with the split'})"
    )
    print(
        f"\nreceipts identical across partitionings and orders: {'yes' if same else 'NO'}"
        f"  ({time.perf_counter() - start:.1f} s)"
    )
    right = numpy_style()
    flat = rolling_windows()
    return 0 if same and right and flat else 1


if __name__ == "__main__":
    sys.exit(main())
