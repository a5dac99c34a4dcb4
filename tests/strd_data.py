"""Reader for the NIST StRD linear-regression files in tests/data/strd.

Each data set becomes a list of feature rows, the responses, the certified
coefficients (B0 first) and whether the model has an intercept.
"""

import re
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data" / "strd"

# Polynomial degree in x for the single-predictor models; 1 is a straight line.
DEGREE = {
    "Norris": 1,
    "Pontius": 2,
    "NoInt1": 1,
    "NoInt2": 1,
    "Filip": 10,
    "Wampler1": 5,
    "Wampler2": 5,
    "Wampler3": 5,
    "Wampler4": 5,
    "Wampler5": 5,
}
NAMES = [
    "Norris",
    "Pontius",
    "NoInt1",
    "NoInt2",
    "Filip",
    "Longley",
    "Wampler1",
    "Wampler2",
    "Wampler3",
    "Wampler4",
    "Wampler5",
]


@dataclass
class Problem:
    name: str
    rows: list  # feature rows (floats)
    ys: list  # responses
    certified: list  # certified coefficients as parsed floats, B0 (or B1) first
    intercept: bool


def _line_range(text, label):
    m = re.search(label + r"\s*\(lines\s+(\d+)\s+to\s+(\d+)\)", text)
    return int(m.group(1)), int(m.group(2))


def power(x, k):
    """x**k correctly rounded (the C library pow need not be)."""
    return float(Fraction(x) ** k)


def load(name):
    lines = (DATA_DIR / f"{name}.dat").read_text().splitlines()
    text = "\n".join(lines[:10])
    cert_from, cert_to = _line_range(text, "Certified Values")
    data_from, data_to = _line_range(text, "Data")
    certified = []
    for line in lines[cert_from - 1 : cert_to]:
        m = re.match(r"\s*B(\d+)\s+(\S+)\s+\S+", line)
        if m:
            certified.append(float(m.group(2)))
    rows, ys = [], []
    for line in lines[data_from - 1 : data_to]:
        fields = [float(v) for v in line.split()]
        if not fields:
            continue
        ys.append(fields[0])
        xs = fields[1:]
        if name in DEGREE:
            rows.append([power(xs[0], k) for k in range(1, DEGREE[name] + 1)])
        else:
            rows.append(xs)
    return Problem(name, rows, ys, certified, not name.startswith("NoInt"))


def fill(state, problem):
    """Adds a problem's observations to a CovMatrixF64.

    A model without intercept is fitted by adding every observation twice,
    as (x, y) and (-x, -y): the means become exactly zero, so the fitted
    intercept is 0 and the slopes are those of the fit through the origin
    (Σxy / Σx² for one predictor). Negation is exact, so nothing is rounded.
    """
    for row, y in zip(problem.rows, problem.ys, strict=True):
        state.add(row, y)
        if not problem.intercept:
            state.add([-v for v in row], -y)


def coefficients(problem, beta):
    """The certified parameters from a fitted [intercept, slopes...] list."""
    return list(beta) if problem.intercept else list(beta[1:])
