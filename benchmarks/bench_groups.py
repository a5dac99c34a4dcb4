"""Row-wise and grouped reductions against their peers: numpy, pandas and Dask.

Each row times the exact call and its peer on the same data (best of a few
runs; a side stops repeating once it has spent its time budget, so a slow
path costs one run, not fifteen) and prints both, their ratio and the goal.
A row whose exact call raises prints ``error: <message>`` and the run goes on.

Peak memory of a grouped aggregation is measured in a fresh interpreter per
case, so one case's freed-but-kept pages cannot hide another's: after the data
is built (and both sides have run once on a small frame, so imports and caches
are not counted) the kernel's high-water mark of resident memory is reset
through ``/proc/self/clear_refs``; the growth of ``VmHWM`` over ``VmRSS`` at
that point is the call's peak, C++ allocations included (tracemalloc would
miss them).  Where ``clear_refs`` is not writable, the growth of
``ru_maxrss`` across the call is used instead, which can only under-report.

Run with ``env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE`` so numpy runs as a
user's numpy does.
"""

import re
import resource
import subprocess
import sys

import numpy as np
import pandas as pd
from timing import best

import tallix_companion.numpy as tnp
import tallix_companion.pandas  # noqa: F401  (registers .exact)

ROWS = 10**6
COLUMNS = 8
DASK_ROWS = 4 * 10**6
DASK_PARTITIONS = 8
DASK_KEYS = 10**3
GROUP_KEYS = (10**3, 10**5)
AGG = {"x": ["sum", "mean", "var"]}


def machine():
    """The CPU model and the widest vector extension the kernels can use."""
    with open("/proc/cpuinfo") as info:
        text = info.read()
    model = re.search(r"^model name\s*:\s*(.*)$", text, re.M)
    flags = set(re.search(r"^flags\s*:\s*(.*)$", text, re.M).group(1).split())
    vector = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    cores = text.count("processor\t:")
    return f"{model.group(1) if model else 'unknown CPU'}, {vector}, {cores} logical cores"


def verdict(ratio, goal):
    return f"goal <= {goal}x, {'met' if ratio <= goal else 'missed'}"


def row(label, ours, theirs, goal, repeat=5):
    t_theirs = best(theirs, repeat)
    try:
        t_ours = best(ours, repeat)
    except Exception as error:  # others are still wiring these paths: report, go on
        print(f"{label:<46} {'':>11} {t_theirs * 1e3:8.1f} ms  error: {one_line(error)}")
        return
    ratio = t_ours / t_theirs
    print(f"{label:<46} {t_ours * 1e3:8.1f} ms {t_theirs * 1e3:8.1f} ms {ratio:6.2f}x  ({verdict(ratio, goal)})")


def one_line(error):
    text = f"{type(error).__name__}: {error}".splitlines()[0]
    return text if len(text) <= 100 else text[:97] + "..."


def header(peer):
    print(f"\n{'':<46} {'tallix':>11} {peer:>11} {'ratio':>7}")


def numpy_rows(rng):
    a = rng.normal(size=(ROWS, COLUMNS))
    holed = a.copy()
    holed[rng.random(a.shape) < 0.01] = np.nan
    w = rng.uniform(0.5, 2.0, COLUMNS)
    header("numpy")
    for name in ("sum", "mean", "var", "std"):
        row(
            f"{name}(a, axis=1), 10^6 x 8",
            lambda f=name: getattr(tnp, f)(a, axis=1),
            lambda f=name: getattr(np, f)(a, axis=1),
            3,
        )
    for name in ("nansum", "nanmean", "nanvar", "nanstd"):
        row(
            f"{name}(a, axis=1), 1% NaN",
            lambda f=name: getattr(tnp, f)(holed, axis=1),
            lambda f=name: getattr(np, f)(holed, axis=1),
            3,
        )
    row(
        "average(a, axis=1, weights=w (8,))",
        lambda: tnp.average(a, axis=1, weights=w),
        lambda: np.average(a, axis=1, weights=w),
        3,
    )


def pandas_rows(rng):
    frame = pd.DataFrame(rng.normal(size=(ROWS, COLUMNS)), columns=[f"c{i}" for i in range(COLUMNS)])
    header("pandas")
    for name in ("sum", "mean", "var", "std"):
        row(
            f"df.exact.{name}(axis=1), 10^6 x 8",
            lambda f=name: getattr(frame.exact, f)(axis=1),
            lambda f=name: getattr(frame, f)(axis=1),
            3,
        )


def power(n):
    return f"10^{round(np.log10(n))}"


def keyed_frame(keys, rows=ROWS, seed=1):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"k": rng.integers(0, keys, rows), "x": rng.normal(size=rows)})


def groupby_rows():
    for keys in GROUP_KEYS:
        frame = keyed_frame(keys)
        row(
            f"groupby agg sum/mean/var, 10^6 rows, {power(keys)} keys",
            lambda f=frame: f.exact.groupby("k").agg(AGG),
            lambda f=frame: f.groupby("k").agg(AGG),
            2,
        )


def aggregate(frame, side):
    return frame.exact.groupby("k").agg(AGG) if side == "tallix" else frame.groupby("k").agg(AGG)


def resident_kb(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def measure_peak(keys, side):
    """In this (fresh) interpreter: the peak growth of resident memory, in kB, of one aggregation."""
    frame = keyed_frame(keys)
    aggregate(keyed_frame(keys, rows=1000, seed=2), side)  # imports and caches, not the call's own
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # the high-water mark starts again from what is resident now
        before = resident_kb("VmRSS")
        aggregate(frame, side)
        return resident_kb("VmHWM") - before
    except OSError:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        aggregate(frame, side)
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before


def peak_in_subprocess(keys, side):
    done = subprocess.run(
        [sys.executable, __file__, "--peak", str(keys), side], capture_output=True, text=True, timeout=300
    )
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or [f"exited with status {done.returncode}"]
        raise RuntimeError(lines[-1])
    return int(done.stdout) / 1024


def memory_rows():
    header("pandas")
    for keys in GROUP_KEYS:
        label = f"groupby agg peak memory, {power(keys)} keys"
        theirs = peak_in_subprocess(keys, "pandas")
        try:
            ours = peak_in_subprocess(keys, "tallix")
        except Exception as error:
            print(f"{label:<46} {'':>11} {theirs:8.1f} MB  error: {one_line(error)}")
            continue
        ratio = ours / max(theirs, 0.1)
        print(f"{label:<46} {ours:8.1f} MB {theirs:8.1f} MB {ratio:6.2f}x  ({verdict(ratio, 2)})")


def dask_partition(index):
    rows = DASK_ROWS // DASK_PARTITIONS
    return keyed_frame(DASK_KEYS, rows=rows, seed=100 + index)


def dask_rows():
    try:
        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        import tallix_companion.dask as tdask
    except ImportError as error:
        print(f"\nDask rows skipped: {error}")
        return
    header("dask")
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        client.wait_for_workers(2)
        # Built and held by the workers, so each timing is the reduction, not shipping the data.
        parts = client.persist(dd.from_map(dask_partition, range(DASK_PARTITIONS)))
        parts["x"].sum().compute()  # settles the workers' first imports
        tdask.groupby(parts["k"], parts["x"], "count", client=client)  # and tallix's
        # One timing each: the exact groupby's tasks have deterministic keys, and a
        # repeat would be answered from the result the scheduler still holds.
        for how in ("sum", "mean", "var"):
            row(
                f"dask groupby {how}, 4x10^6 rows, 8 parts",
                lambda h=how: tdask.groupby(parts["k"], parts["x"], h, client=client),
                lambda h=how: getattr(parts["x"].groupby(parts["k"]), h)().compute(),
                2,
                repeat=1,
            )


def main():
    print(f"machine: {machine()}")
    rng = np.random.default_rng(0)
    numpy_rows(rng)
    pandas_rows(rng)
    header("pandas")
    groupby_rows()
    memory_rows()
    dask_rows()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        print(measure_peak(int(sys.argv[2]), sys.argv[3]))
    else:
        main()
