"""A griffe extension for the API reference (mkdocs.yml): docstrings write powers
and products as Python does (2**-1074, w*x), which Markdown would read as
emphasis. Asterisks outside code spans are escaped so that they show as written."""

from __future__ import annotations

import re
from typing import Any

import griffe

CODE_SPAN = re.compile(r"(`+).+?\1", re.S)


def escaped(text: str) -> str:
    pieces, start = [], 0
    for span in CODE_SPAN.finditer(text):
        pieces += [text[start : span.start()].replace("*", r"\*"), span.group(0)]
        start = span.end()
    pieces.append(text[start:].replace("*", r"\*"))
    return "".join(pieces)


class LiteralAsterisks(griffe.Extension):
    def on_instance(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None:
            obj.docstring.value = escaped(obj.docstring.value)
