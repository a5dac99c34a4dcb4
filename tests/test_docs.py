"""Every page of the documentation site runs: its ```python blocks in order, in one
namespace per page, and the outputs it shows (doctest-style `>>>` blocks) are
what the lines give. A block that cannot run here (a cluster's address) is
marked by a `<!-- no-run -->` line right above it."""

import doctest
import glob
import os
import re
import sys
import types
from pathlib import Path

import pytest

pytest.importorskip("pandas")

DOCS = Path(__file__).resolve().parents[1] / "docs"
BLOCK = re.compile(r"^(?P<mark><!-- no-run -->\n)?```python[^\n]*\n(?P<code>.*?)^```$", re.S | re.M)
PAGES = sorted(p.relative_to(DOCS).as_posix() for p in DOCS.rglob("*.md") if BLOCK.search(p.read_text("utf-8")))
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def blocks(page):
    """The page's runnable blocks: (line number, code)."""
    text = (DOCS / page).read_text(encoding="utf-8")
    for found in BLOCK.finditer(text):
        if not found["mark"]:
            yield text.count("\n", 0, found.start("code")) + 1, found["code"]


def start_spark():
    """What a page needs for a local Spark session, as tests/test_spark.py sets it up."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The page starts its own session, and the JVM hangs with the sanitizer
        # runtime preloaded; test_spark.py runs the Spark paths under it.
        pytest.skip("the page's JVM cannot start under the sanitizer's preload")
    pytest.importorskip("pyarrow")
    pytest.importorskip("pyspark")
    if not os.environ.get("JAVA_HOME"):
        homes = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
        if homes:
            os.environ["JAVA_HOME"] = homes[0]
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # The workers import tallix_companion from wherever this process found it.
    import tallix_companion

    source = str(Path(tallix_companion.__file__).resolve().parents[1])
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), source]))


# pyspark has no release yet that claims pandas 3 (see requirements-dev.txt).
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support:FutureWarning")
@pytest.mark.parametrize("page", PAGES)
def test_page_runs_and_shows_what_it_gives(page, monkeypatch):
    if page == "guides/spark.md":
        start_spark()
    # The page's namespace is a module, so that functions it defines can be
    # found by name when a process pool sends them to a forked worker.
    name = "docs_page_" + re.sub(r"\W", "_", page.removesuffix(".md"))
    module = types.ModuleType(name)
    monkeypatch.setitem(sys.modules, name, module)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    parser = doctest.DocTestParser()
    for line, code in blocks(page):
        if code.lstrip().startswith(">>>"):
            test = parser.get_doctest(code, module.__dict__, f"{page}:{line}", page, line)
            result = runner.run(test, clear_globs=False)
            module.__dict__.update(test.globs)  # a doctest runs in a copy of the namespace
            assert result.failed == 0, f"{page}, block at line {line}: see the report above"
        else:
            exec(compile(code, f"{page}:{line}", "exec"), module.__dict__)
