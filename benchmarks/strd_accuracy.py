"""Accuracy of the two regression tiers of CovMatrixF64 and of numpy's lstsq
on the NIST StRD linear-regression data sets.

For each data set it prints the LRE (log relative error: the number of
leading digits that agree with the certified coefficients), the smallest
over all coefficients, capped at 15 because NIST certifies 15 digits.

    PYTHONPATH=build/<dir> python benchmarks/strd_accuracy.py
"""

import math
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import strd_data  # noqa: E402
from tallix import CovMatrixF64  # noqa: E402

CAP = 15.0


def lre(estimate, certified):
    if estimate == certified:
        return CAP
    if not math.isfinite(estimate):
        return 0.0
    if certified == 0.0:
        err = abs(estimate)
    else:
        err = abs(estimate - certified) / abs(certified)
    return max(0.0, min(CAP, -math.log10(err)))


def worst_lre(estimates, certified):
    return min(lre(e, c) for e, c in zip(estimates, certified, strict=True))


def tier(problem, method):
    state = CovMatrixF64(len(problem.rows[0]))
    strd_data.fill(state, problem)
    try:
        beta = getattr(state, method)()
    except ValueError as e:
        return f"fails ({e})"
    return worst_lre(strd_data.coefficients(problem, beta), problem.certified)


def numpy_lstsq(problem):
    x = np.array(problem.rows, dtype=np.float64)
    if problem.intercept:
        x = np.hstack([np.ones((x.shape[0], 1)), x])
    beta, *_ = np.linalg.lstsq(x, np.array(problem.ys), rcond=None)
    return worst_lre(beta.tolist(), problem.certified)


def cell(v):
    return f"{v:.1f}" if isinstance(v, float) else v


def main():
    print("| data set | regression_exact | regression (fast) | numpy lstsq |")
    print("|---|---|---|---|")
    for name in strd_data.NAMES:
        p = strd_data.load(name)
        row = [tier(p, "regression_exact"), tier(p, "regression"), numpy_lstsq(p)]
        print(f"| {name} | " + " | ".join(cell(v) for v in row) + " |")


if __name__ == "__main__":
    main()
