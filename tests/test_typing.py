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
