"""Exact rolling and expanding windows against pandas' own, in one run.

Each row times ``s.exact.rolling(...)`` (or ``.expanding()``) and pandas' same
call on the same data (best of a few runs) and prints both, their ratio and
the goal.  A second table counts the windows where pandas' float answer is not
the exact value (tallix's answers, which the tests hold to ``Fraction``), and
a third measures the memory a call takes beyond its input and output, in a
fresh interpreter per case (the kernel's high-water mark, reset through
``/proc/self/clear_refs`` once the data is built): it must not grow with the
column.

Run with ``env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE`` so numpy runs as a
user's numpy does.
"""

import subprocess
import sys

import numpy as np
import pandas as pd
from timing import best

import tallix_companion.numpy as tnp
import tallix_companion.pandas  # noqa: F401  (registers .exact)

N = 10**6
GOAL = 3.0


def row(label, ours, theirs, goal=None):
    # Alternate the sides so that a busy moment of the machine falls on both.
    t_ours, t_theirs = [], []
    for _ in range(3):
        t_theirs.append(best(theirs, 3, 3.0))
        t_ours.append(best(ours, 3, 3.0))
    ratio = min(t_ours) / min(t_theirs)
    verdict = "" if goal is None else f"  (goal <= {goal}x, {'met' if ratio <= goal else 'missed'})"
    print(f"{label:<44} {min(t_ours) * 1e3:8.1f} ms {min(t_theirs) * 1e3:8.1f} ms {ratio:6.2f}x{verdict}")


def datasets(rng):
    n = 3000
    spread = rng.standard_normal(n) * np.exp2(rng.integers(-40, 40, n))
    return {
        "normal": rng.standard_normal(N),
        "offset 1e9 + 1e-3 noise": 1e9 + 1e-3 * rng.standard_normal(n),
        "many binades": spread,
        "two-decimal prices": np.round(100 + rng.standard_normal(n).cumsum() * 0.1, 2),
    }


def speed(data):
    s = pd.Series(data["normal"])
    print(f"{'call on ' + format(N, ',') + ' float64 values':<44} {'tallix':>11} {'pandas':>11}  ratio")
    row("rolling(100).mean()", lambda: s.exact.rolling(100).mean(), lambda: s.rolling(100).mean(), GOAL)
    row("rolling(100).var()", lambda: s.exact.rolling(100).var(), lambda: s.rolling(100).var(), GOAL)
    row("expanding().var()", lambda: s.exact.expanding().var(), lambda: s.expanding().var(), GOAL)
    row("rolling(100).sum()", lambda: s.exact.rolling(100).sum(), lambda: s.rolling(100).sum())
    row("rolling(100).std()", lambda: s.exact.rolling(100).std(), lambda: s.rolling(100).std())
    timed = pd.Series(data["normal"], index=pd.date_range("2024-01-01", periods=N, freq="100ms"))
    row(
        "rolling('10s').var() (100 values a window)",
        lambda: timed.exact.rolling("10s").var(),
        lambda: timed.rolling("10s").var(),
    )
    view = np.lib.stride_tricks.sliding_window_view
    row(
        "tnp.sliding_var(x, 100) vs numpy's view",
        lambda: tnp.sliding_var(data["normal"], 100),
        lambda: view(data["normal"], 100).var(axis=-1),
    )
    short = pd.Series(data["normal"][:100_000])
    row("rolling(20).skew() (10^5 values)", lambda: short.exact.rolling(20).skew(), lambda: short.rolling(20).skew())
    row(
        "rolling(20).cov(other) (10^5 values)",
        lambda: short.exact.rolling(20).cov(short[::-1].reset_index(drop=True)),
        lambda: short.rolling(20).cov(short[::-1].reset_index(drop=True)),
    )


def accuracy(data):
    print(f"\n{'rolling(20).var(): windows pandas gets wrong':<44} {'wrong':>7} {'of':>6}  worst relative error")
    for name, values in data.items():
        if name == "normal":
            continue
        s = pd.Series(values)
        exact = s.exact.rolling(20).var().to_numpy()[19:]
        theirs = s.rolling(20).var().to_numpy()[19:]
        wrong = exact != theirs
        worst = np.max(np.abs(theirs - exact)[wrong] / np.abs(exact[wrong])) if wrong.any() else 0.0
        print(f"{name:<44} {int(wrong.sum()):>7} {len(exact):>6}  {worst:.2g}")


MEASURE = """
import sys
import numpy as np, pandas as pd
import tallix_companion.pandas
n, how = int(sys.argv[1]), sys.argv[2]
s = pd.Series(np.random.default_rng(0).standard_normal(n))
call = (lambda: s.exact.expanding().var()) if how == "expanding" else (lambda: s.exact.rolling(100).var())
pd.Series(np.arange(1000.0)).exact.rolling(10).var()  # imports and caches, not counted
def kb(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = kb("VmRSS")
out = call()
print(kb("VmHWM") - before, out.nbytes // 1024)
"""


def memory():
    print(f"\n{'peak memory growth (the output alone)':<44} {'10^5 values':>20} {'10^6 values':>20}")
    for how in ("rolling", "expanding"):
        peaks = []
        for n in (10**5, 10**6):
            done = subprocess.run([sys.executable, "-c", MEASURE, str(n), how], capture_output=True, text=True)
            peak, output = done.stdout.split() if done.returncode == 0 else ("n/a", "n/a")
            peaks.append(f"{peak} KiB ({output} KiB)")
        print(f"{how + '().var()':<44} {peaks[0]:>20} {peaks[1]:>20}")


def main():
    data = datasets(np.random.default_rng(27))
    speed(data)
    accuracy(data)
    memory()


if __name__ == "__main__":
    main()
