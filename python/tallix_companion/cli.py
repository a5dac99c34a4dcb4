"""The ``tallix`` command: exact statistics and receipts of columns of CSV and Parquet files.

Two machines that run it on the same values print the same numbers and the
same receipts, whatever the row order or the split of the data into files
and row groups: every number is an exact state of the core, rounded once.
Files are read in record batches, so they may be larger than memory.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from . import __version__

EXTRA = "pip install 'tallix[cli]'"
# What the reading needs beyond the companion: the dataset reader and the bar.
_NEEDED = ("pyarrow", "tqdm")

EXAMPLES = """\
examples:
  tallix stats sales.csv --column price --column qty
  tallix stats sales.parquet --column price --by region --ddof 0
  tallix receipt sales.parquet --column price --class MomentsF64 --json
  tallix receipt parts/ --format parquet --column price --class HistogramF64 --edges 0,10,100

Nulls and NaN are skipped and counted ("skipped") in stats, as pandas skips
them; a receipt skips nulls only (NaN is a value its state records). Rows whose
--by key is null form a group of their own. "-" (null in JSON) marks a
statistic that is undefined: no values, or no more than ddof for var and std.
In --json, a result JSON has no number for is a string: "inf", "-inf", "nan".
Exit status: 0 done, 1 the file or its columns do not hold what was asked,
2 the command itself is wrong."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
    except SystemExit as e:  # --help, --version, or argparse's own usage error
        return e.code if isinstance(e.code, int) else 0 if e.code is None else 2
    missing = [name for name in _NEEDED if importlib.util.find_spec(name) is None]
    if missing:
        _say(args.command, f"reading files needs {' and '.join(missing)}: {EXTRA}")
        return 2
    from . import _scan  # imports pyarrow: only once it is known to be there

    try:
        document = args.run(args)
    except _scan.UsageError as e:
        _say(args.command, str(e))
        return 2
    except _scan.DataError as e:
        _say(args.command, str(e))
        return 1
    except KeyboardInterrupt:
        return 130
    print(json.dumps(_json_safe(document), indent=2) if args.json else _table(document))
    return 0


def _say(command: str, message: str) -> None:
    print(f"tallix {command}: {message}", file=sys.stderr)


# ---------------------------------------------------------------------------
# Commands: each returns a document, {"rows": [...], ...}, shown as a table or JSON


def _stats(args: argparse.Namespace) -> dict[str, Any]:
    from . import _scan, _tally

    table = _scan.Table(args.file, args.format, args.column, args.by)
    feeders = [_tally.ColumnStats(name, table.integer(name)) for name in table.columns]
    _tally.scan(table, feeders, _progress(args, table))
    answers = [feeder.answers(args.ddof) for feeder in feeders]
    return {
        "by": args.by,
        "ddof": args.ddof,
        "rows": _rows(table, answers),
    }


def _receipt(args: argparse.Namespace) -> dict[str, Any]:
    from . import _scan, _tally

    make = _tally.receipt_maker(args.cls, args.edges)
    table = _scan.Table(args.file, args.format, args.column, args.by)
    feeders = [_tally.ColumnReceipts(name, make) for name in table.columns]
    _tally.scan(table, feeders, _progress(args, table))
    document: dict[str, Any] = {"by": args.by, "class": args.cls}
    if args.edges is not None:
        document["edges"] = list(args.edges)
    document["rows"] = _rows(table, [feeder.answers() for feeder in feeders])
    return document


def _rows(table: Any, answers: list[list[dict[str, Any]]]) -> list[dict[str, Any]]:
    """One row per group and column, groups in key order (null last) so that
    any row order of the file prints the same."""
    if table.by is None:
        order, keys = [0], None
    else:
        keys = table.keys.keys
        order = sorted(range(len(keys)), key=lambda g: _key_order(keys[g]))
    rows = []
    for g in order:
        for name, groups in zip(table.columns, answers, strict=True):
            head = {"column": name} if keys is None else {"key": keys[g], "column": name}
            rows.append(head | groups[g])
    return rows


def _key_order(key: Any) -> tuple[bool, bool, Any]:
    """Keys in their order, then NaN, then null (NaN compares with nothing)."""
    nan = isinstance(key, float) and math.isnan(key)
    return (key is None, nan, None if nan or key is None else key)


def _progress(args: argparse.Namespace, table: Any) -> bool:
    from ._scan import BIG_FILE

    return not args.no_progress and sys.stderr.isatty() and table.size() >= BIG_FILE


# ---------------------------------------------------------------------------
# Output


def _json_safe(document: dict[str, Any]) -> dict[str, Any]:
    """The document as strict JSON holds it: infinities and NaN as their repr
    strings, keys that JSON has no type for (dates) as text."""
    return {k: _json_value(v) for k, v in document.items()}


def _json_value(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _json_value(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if value is None or isinstance(value, (str, int, float)):
        return value
    return str(value)


def _table(document: dict[str, Any]) -> str:
    """The rows aligned: text to the left, numbers to the right."""
    rows: list[dict[str, Any]] = document["rows"]
    if not rows:
        return "(no rows)"
    names = list(rows[0])
    titles = {"key": document["by"]}
    if "ddof" in document:
        titles |= {how: f"{how}(ddof={document['ddof']})" for how in ("var", "std")}
    cells = [[titles.get(n, n) for n in names]]
    cells += [[_key_cell(row[n]) if n == "key" else _cell(row[n]) for n in names] for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(names))]
    left = [n == "key" or any(isinstance(row[n], str) for row in rows) for n in names]
    return "\n".join(
        "  ".join(c.ljust(w) if flush else c.rjust(w) for c, w, flush in zip(line, widths, left, strict=True)).rstrip()
        for line in cells
    )


def _key_cell(key: Any) -> str:
    return "null" if key is None else _cell(key)


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return repr(value)  # the shortest text that reads back as the same float
    return str(value)


# ---------------------------------------------------------------------------
# Arguments


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tallix",
        description="Exact statistics and receipts of columns of CSV and Parquet files: the same "
        "values give the same output on any machine, in any row order and any split into files.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tallix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{stats,receipt}")
    stats = commands.add_parser(
        "stats",
        help="count, skipped, sum, mean, var, std, min and max of columns",
        description="Exact count, skipped values, sum, mean, variance, standard deviation, min and max.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _common(stats)
    stats.add_argument(
        "--ddof", type=_non_negative, default=1, help="var and std divide by count - DDOF (default 1, as pandas)"
    )
    stats.set_defaults(run=_stats)
    receipt = commands.add_parser(
        "receipt",
        help="the state_hash of a class's state of each column",
        description="The receipt (state_hash, hex) of a state of CLASS fed each column's values: equal "
        "for the same values in any order and any split into files and batches.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _common(receipt)
    receipt.add_argument("--class", dest="cls", required=True, metavar="CLASS", help="a tallix class, e.g. MomentsF64")
    receipt.add_argument(
        "--edges",
        type=_edges,
        help="HistogramF64's bin edges, comma-separated (--edges=-1,0,1 when the first is negative)",
    )
    receipt.set_defaults(run=_receipt)
    return parser


def _common(command: argparse.ArgumentParser) -> None:
    command.add_argument("file", type=Path, metavar="FILE", help="a CSV or Parquet file, or a folder of them")
    command.add_argument(
        "--column", "-c", action="append", required=True, metavar="NAME", help="a numeric column (repeat for more)"
    )
    command.add_argument("--by", metavar="KEY", help="one result per value of this column")
    command.add_argument("--format", choices=("csv", "parquet"), help="the files' format (default: from the suffix)")
    command.add_argument("--json", action="store_true", help="JSON for scripts instead of a table")
    command.add_argument(
        "--no-progress", action="store_true", help="no progress bar (shown on big files in a terminal)"
    )


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a count (a non-negative integer)")
    return value


def _edges(text: str) -> list[float]:
    try:
        return [float(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not numbers separated by commas") from None


if __name__ == "__main__":
    sys.exit(main())
