"""The `tallix` command end to end, on files written here: exact statistics
against exact oracles, receipts that stay put across row orders and splits
into batches and files, and one-line errors with their exit status."""

import importlib.util
import json
import math
import random
import statistics
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("tqdm")

import tallix  # noqa: E402
from tallix_companion.cli import main  # noqa: E402

KEYS = ["b", "a", None, "c"]  # "c" holds no value of price: its undefined statistics


def sample(n=240, seed=7):
    """Rows whose sums and variances float arithmetic gets wrong: huge values
    that cancel, small ones beside them, a large common offset; nulls and NaN."""
    rng = random.Random(seed)
    pool = [1e16, -1e16, 1.0, 0.1, 0.3, 3e-17, 1e9 + 0.1, 1e9 + 0.7, -2.5, None, math.nan]
    rows = []
    for i in range(n):
        key = KEYS[i % 4]
        price = None if key == "c" else rng.choice(pool)
        qty = None if i % 9 == 0 else rng.choice([2**62, 2**62 + 2**10, -3, 7])  # sums beyond int64
        rows.append((key, price, qty))
    return rows


def write(path, rows, row_group_size=None):
    """rows as a CSV (floats as their repr) or a Parquet file with row groups of the given size."""
    keys, prices, qtys = (list(c) for c in zip(*rows, strict=True))
    if path.suffix == ".csv":
        text = ["region,price,qty"]
        text += [",".join("" if v is None else v if isinstance(v, str) else repr(v) for v in row) for row in rows]
        path.write_text("\n".join(text) + "\n")
    else:
        table = pa.table({"region": keys, "price": pa.array(prices, pa.float64()), "qty": pa.array(qtys, pa.int64())})
        pq.write_table(table, path, row_group_size=row_group_size)
    return path


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def oracle(values, ddof):
    """Exact statistics of the values present, each rounded once (statistics works in fractions)."""
    present = [v for v in values if v is not None and not (isinstance(v, float) and math.isnan(v))]
    n = len(present)
    integers = bool(present) and all(isinstance(v, int) for v in present)
    var = [statistics.pvariance, statistics.variance][ddof] if n > ddof else None
    std = [statistics.pstdev, statistics.stdev][ddof] if n > ddof else None
    return {
        "count": n,
        "skipped": len(values) - n,
        "sum": sum(present) if integers else math.fsum(present),
        "mean": float(statistics.mean(present)) if n else None,
        "var": float(var(present)) if var else None,
        "std": float(std(present)) if std else None,
        "min": min(present) if n else None,
        "max": max(present) if n else None,
    }


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("ddof", [0, 1])
def test_stats_are_the_exact_answers_per_group(tmp_path, capsys, suffix, ddof):
    rows = sample()
    prices = [p for _, p, _ in rows if p is not None and not math.isnan(p)]
    assert sum(prices) != math.fsum(prices)  # the data defeats float arithmetic
    path = write(tmp_path / f"sales{suffix}", rows, row_group_size=50)
    argv = ["stats", path, "-c", "price", "-c", "qty", "--by", "region", "--ddof", ddof]
    status, out, err = run(capsys, *argv, "--json")
    assert (status, err) == (0, "")
    got = json.loads(out)
    assert (got["by"], got["ddof"]) == ("region", ddof)
    want = []
    for key in sorted(KEYS, key=lambda k: (k is None, k)):  # key order, null last
        for column in (1, 2):
            values = [row[column] for row in rows if row[0] == key]
            want.append({"key": key, "column": ["price", "qty"][column - 1]} | oracle(values, ddof))
    assert got["rows"] == want
    # The table shows the same numbers, floats as repr.
    status, table, _ = run(capsys, *argv)
    lines = table.splitlines()
    assert status == 0 and lines[0].split()[-4:] == [f"var(ddof={ddof})", f"std(ddof={ddof})", "min", "max"]
    shown = [["-" if v is None else repr(v) if isinstance(v, float) else str(v) for v in row.values()] for row in want]
    assert [line.split() for line in lines[1:]] == [["null" if r[0] == "-" else r[0], *r[1:]] for r in shown]


CLASSES = [("SumF64", None), ("MomentsF64", None), ("Moments4F64", None), ("HistogramF64", [-1e17, 0.0, 1.0, 1e17])]


@pytest.mark.parametrize("name, edges", CLASSES)
def test_receipts_hold_across_order_and_split(tmp_path, capsys, name, edges):
    rows = [row for row in sample() if not (isinstance(row[1], float) and math.isnan(row[1]))]
    shuffled = rows[::-1]
    random.Random(3).shuffle(shuffled)
    one = write(tmp_path / "one.parquet", rows, row_group_size=7)
    parts = tmp_path / "parts"
    parts.mkdir()
    write(parts / "x.parquet", shuffled[:100], row_group_size=33)
    write(parts / "y.parquet", shuffled[100:], row_group_size=40)
    assert pq.ParquetFile(one).num_row_groups > 20
    extra = [] if edges is None else ["--edges=" + ",".join(map(repr, edges))]  # "=": the first is negative
    receipts = []
    for path in (one, parts, write(tmp_path / "one.csv", shuffled)):
        status, out, _ = run(
            capsys, "receipt", path, "-c", "price", "--class", name, "--by", "region", *extra, "--json"
        )
        assert status == 0
        receipts.append(json.loads(out)["rows"])
    assert receipts[0] == receipts[1] == receipts[2]
    # ... and each is the receipt of a state fed that group's values directly.
    for row in receipts[0]:
        values = [p for k, p, _ in rows if k == row["key"]]
        state = getattr(tallix, name)(*([] if edges is None else [edges]))
        state.extend([v for v in values if v is not None])
        skipped = values.count(None)
        assert row == {
            "key": row["key"],
            "column": "price",
            "count": len(values) - skipped,
            "skipped": skipped,
            "state_hash": state.state_hash().hex(),
        }


@pytest.mark.parametrize(
    "argv, status, words",
    [
        (["stats", "{dir}/absent.csv", "-c", "price"], 1, ["no such file", "absent.csv"]),
        (["stats", "{dir}/s.parquet", "-c", "cost"], 1, ["no column 'cost'", "region, price, qty"]),
        (["stats", "{dir}/s.parquet", "-c", "region"], 1, ["'region'", "not numbers"]),
        (["stats", "{dir}/s.parquet", "-c", "price", "--by", "zone"], 1, ["no column 'zone'"]),
        (["receipt", "{dir}/s.parquet", "-c", "qty", "--class", "SumF64"], 1, ["no exact float64 value"]),
        (["stats", "{dir}/s.txt", "-c", "price"], 2, ["cannot tell the format", "--format"]),
        (["receipt", "{dir}/s.parquet", "-c", "price", "--class", "Sum"], 2, ["unknown class 'Sum'", "MomentsF64"]),
        (["receipt", "{dir}/s.parquet", "-c", "price", "--class", "CovF64"], 2, ["CovF64 takes 2 columns"]),
        (["receipt", "{dir}/s.parquet", "-c", "price", "--class", "HistogramF64"], 2, ["needs --edges"]),
        (["stats", "{dir}/s.parquet"], 2, ["--column"]),
    ],
)
def test_errors_say_what_was_wrong_in_one_line(tmp_path, capsys, argv, status, words):
    write(tmp_path / "s.parquet", [("a", 1.0, 2**53 + 1)])
    (tmp_path / "s.txt").write_text("price\n1\n")
    got, out, err = run(capsys, *[a.format(dir=tmp_path) for a in argv])
    assert (got, out) == (status, "")
    last = err.strip().splitlines()[-1]  # argparse prints its usage first
    assert all(w in last for w in words), last


def test_float_keys_group_nan_and_zero_once_in_any_order(tmp_path, capsys):
    keys = [0.0, math.nan, -0.0, 1.0, math.nan, None]
    shown = []
    for order in (keys, keys[::-1]):
        path = tmp_path / "keys.parquet"
        pq.write_table(pa.table({"k": order, "x": [1.0] * len(order)}), path, row_group_size=1)
        status, out, _ = run(capsys, "stats", path, "-c", "x", "--by", "k")
        shown.append(out)
    assert status == 0 and shown[0] == shown[1]
    assert [line.split()[:3] for line in shown[0].splitlines()[1:]] == [
        ["0.0", "x", "2"],
        ["1.0", "x", "1"],
        ["nan", "x", "2"],
        ["null", "x", "1"],
    ]


def test_a_file_without_rows_gives_the_empty_states(tmp_path, capsys):
    path = tmp_path / "empty.csv"
    path.write_text("region,price\n")
    status, out, _ = run(capsys, "stats", path, "-c", "price", "--json")
    assert status == 0
    assert json.loads(out)["rows"] == [
        {"column": "price", "count": 0, "skipped": 0, "sum": 0.0} | dict.fromkeys(["mean", "var", "std", "min", "max"])
    ]
    status, out, _ = run(capsys, "receipt", path, "-c", "price", "--class", "SumF64", "--json")
    assert json.loads(out)["rows"][0]["state_hash"] == tallix.SumF64().state_hash().hex()


def test_a_missing_extra_is_named(tmp_path, capsys, monkeypatch):
    found = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "tqdm" else found(name, *a))
    status, out, err = run(capsys, "stats", write(tmp_path / "s.csv", sample(4)), "-c", "price")
    assert (status, out) == (2, "")
    assert err == "tallix stats: reading files needs tqdm: pip install 'tallix[cli]'\n"


def test_runs_as_a_module_with_help_and_version():
    def cli(*argv):
        return subprocess.run([sys.executable, "-m", "tallix_companion.cli", *argv], capture_output=True, text=True)

    shown = cli("--help")
    assert shown.returncode == 0 and "examples:" in shown.stdout and "tallix receipt" in shown.stdout
    version = cli("--version")
    assert version.returncode == 0 and version.stdout.startswith("tallix ")
