"""The README's examples run, and every number a comment in them claims is what
the line shows: a changed answer (ours or numpy's and pandas') fails here
instead of leaving a stale comment behind."""

import ast
import io
import re
import tokenize
from pathlib import Path

import pytest

pytest.importorskip("pandas")

README = Path(__file__).resolve().parents[1] / "README.md"
SECTIONS = ["## Example", "## numpy, pandas and Dask, exactly"]
NUMBER = re.compile(r"-?\d+\.?\d*(?:e[-+]?\d+)?")

# Each line whose comment states numbers, and the expressions whose printed
# forms show those numbers in order; `shown` is what the line prints.
CLAIMS = {
    "b.merge(tallix.SumF64.from_bytes(a.to_bytes()))": ["len(a.to_bytes())"],
    "print(b.value())": ["shown", "1e16 + 1.0 + -1e16"],
    "print(tallix.dot([1.0 + 2**-30, -1.0], [1.0 - 2**-30, 1.0]))": ["shown"],
    "print(tnp.sum(a, axis=0))": ["shown", "np.sum(a, axis=0)"],
    "print(frame.exact.sum(numeric_only=True))": ["shown['x']", "frame.sum()['x']"],
    'print(groupby_agg(frame, "key", {"x": ["sum", "mean", "var"]}))': [
        "shown.loc['a', ('x', 'sum')]",
        "frame.groupby('key')['x'].sum()['a']",
    ],
}


def block(section):
    text = README.read_text(encoding="utf-8").split(section + "\n", 1)[1]
    return re.search(r"```python\n(.*?)```", text, re.S).group(1)


def comments(code):
    tokens = tokenize.generate_tokens(io.StringIO(code).readline)
    return {t.start[0]: t.string.lstrip("# ").rstrip() for t in tokens if t.type == tokenize.COMMENT}


def numbers(text):
    return [float(n) for n in NUMBER.findall(text)]


@pytest.mark.parametrize("section", SECTIONS)
def test_readme_example_runs_and_its_comments_hold(section):
    code = block(section)
    notes = comments(code)
    scope = {}
    checked = set()
    for statement in ast.parse(code).body:
        printed = (
            isinstance(statement, ast.Expr)
            and isinstance(statement.value, ast.Call)
            and getattr(statement.value.func, "id", None) == "print"
        )
        if printed:  # what it would print, kept to check its comment against
            values = [eval(compile(ast.Expression(arg), "README", "eval"), scope) for arg in statement.value.args]
            scope["shown"] = values[0] if len(values) == 1 else tuple(values)
        else:
            exec(compile(ast.Module([statement], []), "README", "exec"), scope)
        note = notes.get(statement.end_lineno, "")
        if not numbers(note):
            continue
        line = ast.get_source_segment(code, statement)
        assert line in CLAIMS, f"no check for the README comment on {line!r}"
        shown = [numbers(str(eval(e, scope))) for e in CLAIMS[line]]
        assert numbers(note) == [n for part in shown for n in part], (line, note)
        checked.add(line)
    assert checked, "no comment of this example claims a number"
