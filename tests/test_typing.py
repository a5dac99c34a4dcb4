"""The installed type stubs agree with the module; the companion package, the
examples and every Python snippet of the README pass mypy --strict."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[1]

# The README's snippets continue a session that already holds these.
SNIPPET_CONTEXT = """from typing import Any

df: Any  # a dask dataframe
X: Any  # dask arrays
y: Any

"""

# dask and distributed leave much of their API unannotated; strictness is
# asked of our code and stubs, not of theirs.
STRICT = [
    "--strict",
    "--untyped-calls-exclude=dask",
    "--untyped-calls-exclude=distributed",
]


def mypy(module, *args, cwd):
    # Run from a scratch directory so that the source tree cannot shadow the
    # installed stubs and packages.
    run = subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def test_stubs_agree_with_the_module(tmp_path):
    mypy("mypy.stubtest", "tallix", cwd=tmp_path)


def readme_snippets(into):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    snippets = re.findall(r"^```python\n(.*?)^```", readme, flags=re.S | re.M)
    assert snippets
    for i, code in enumerate(snippets):
        path = into / f"readme_snippet_{i}.py"
        path.write_text(SNIPPET_CONTEXT + code, encoding="utf-8")
        yield str(path)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy-cache"))


@pytest.mark.parametrize("checked", ["examples and README", "companion package"])
def test_strict_mypy_passes(checked, tmp_path, mypy_cache):
    if checked == "companion package":
        targets = ["-p", "tallix_companion"]
    else:
        examples = [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
        targets = examples + list(readme_snippets(tmp_path))
    mypy("mypy", *STRICT, "--cache-dir", mypy_cache, *targets, cwd=tmp_path)


# A user's script: the lines marked "# error" misuse what a call returned, and
# mypy must report exactly those lines (the rest are the right uses).
USER_SCRIPT = """\
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

import tallix
import tallix_companion.dask as tdask
import tallix_companion.numpy as tnp
from tallix_companion import spark as ts
from tallix_companion.pandas import SeriesAccessor

column: Any  # a dask column
frame: Any  # a Spark DataFrame
a: npt.NDArray[np.float64] = np.ones((3, 2))
ints: npt.NDArray[np.int64] = np.arange(6).reshape(3, 2)


def value(s: tallix.SumF64) -> float:
    return s.value()


total: float = tnp.sum(a) + tnp.nanmean(a) + tnp.var(a, ddof=1) + tnp.std(a) + tnp.average(a, weights=a)
rows: npt.NDArray[np.float64] = tnp.mean(a, axis=1, keepdims=True) + tnp.sliding_sum(a, 2)
exact: int | np.int64 | np.uint64 = tnp.sum(ints)
pairs: float = tnp.dot(a[:, 0], a[:, 1]) + float(tnp.cov(a[:, 0], a[:, 1])[0, 1])
tnp.sum(a) + "x"  # error
scalar: float = tnp.sum(a, axis=0)  # error
wrapped: int = tnp.sum(ints)  # error
value(tdask.reduce(tallix.SumF64, column)) + tdask.reduce(tallix.MomentsF64, column).mean()
value(ts.reduce(tallix.SumF64, frame, "x")) + ts.load(tallix.CovF64, b"").covariance()
value(tdask.reduce(tallix.MomentsF64, column))  # error
tdask.reduce(tallix.SumF64, column).mean()  # error
value(ts.load(tallix.CovF64, b""))  # error
value(ts.reduce_many(frame, {})["s"])  # error
tdask.reduce(tallix.FastSumF64, column)  # error
series = pd.Series([1.0, 2.0])
window: pd.Series = SeriesAccessor(series).rolling(2).sum()
SeriesAccessor(series).mean() + "x"  # error
framed: pd.DataFrame = SeriesAccessor(series).expanding().std()  # error
"""


def test_strict_mypy_types_what_calls_return(tmp_path, mypy_cache):
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT, encoding="utf-8")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", *STRICT, "--cache-dir", mypy_cache, str(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    reported = {int(line) for line in re.findall(r"^user\.py:(\d+): error:", run.stdout, flags=re.M)}
    marked = {n for n, line in enumerate(USER_SCRIPT.splitlines(), 1) if line.endswith("# error")}
    assert reported == marked, run.stdout + run.stderr
