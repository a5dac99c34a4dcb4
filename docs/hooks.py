"""MkDocs hooks of the documentation site (mkdocs.yml names this file).

- The API reference reads the type stubs python/tallix.pyi statically. Griffe
  finds stubs of a module that has no Python source only as a stub package,
  so the stubs are staged as build/docs-stubs/tallix-stubs/__init__.pyi.
- The figures of "Why exact" are drawn from real runs on every build and
  added to the site as generated files: nothing is written into docs/.
"""

from __future__ import annotations

import io
import shutil
import sys
from collections.abc import Callable
from pathlib import Path

from matplotlib.figure import Figure
from mkdocs.config.defaults import MkDocsConfig
from mkdocs.structure.files import File, Files

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
STUBS = ROOT / "build" / "docs-stubs" / "tallix-stubs"


def on_config(config: MkDocsConfig) -> MkDocsConfig:
    STUBS.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ROOT / "python" / "tallix.pyi", STUBS / "__init__.pyi")
    return config


def _figures() -> dict[str, Callable[[], Figure]]:
    sys.path.insert(0, str(DOCS))
    try:
        import figures
        import rolling_std_plot
    finally:
        sys.path.remove(str(DOCS))
    return {
        "figures/drift.png": figures.drift_figure,
        "figures/variance.png": figures.variance_figure,
        "figures/rolling_std.png": rolling_std_plot.figure,
    }


def on_files(files: Files, config: MkDocsConfig) -> Files:
    for uri, draw in _figures().items():
        png = io.BytesIO()
        draw().savefig(png, format="png", dpi=100)
        files.append(File.generated(config, uri, content=png.getvalue()))
    return files
