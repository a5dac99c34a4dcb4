"""Columns of a CSV or Parquet file (or a folder of them), read in record batches.

The command line streams files larger than memory: pyarrow's dataset reader
gives the asked columns batch by batch, each value column is read through
``accept`` (as every other entry point reads its input: integers keep their
dtype, nulls are marked, not rounded or dropped), and the rows of a ``--by``
column are numbered by key, the numbers lasting across batches.
"""

from __future__ import annotations

import importlib
import math
import os
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from ._accept import Accepted, accept, is_number_dtype

pa: Any = importlib.import_module("pyarrow")  # untyped: Any here
ds: Any = importlib.import_module("pyarrow.dataset")

# The suffixes that name a format; a compressed CSV keeps its inner suffix.
FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}
_COMPRESSED = frozenset({".gz", ".bz2", ".zst", ".lz4"})
# Below this many bytes a file reads in moments: no progress bar.
BIG_FILE = 64 << 20


class UsageError(Exception):
    """The command asks for something that no file could give (exit status 2)."""


class DataError(Exception):
    """The file or its columns do not hold what was asked (exit status 1)."""


def file_format(path: Path, asked: str | None) -> str:
    """The format to read ``path`` in: the asked one, else its suffix's (a folder's files' suffix)."""
    if asked is not None:
        return asked
    names = [p for p in path.iterdir() if p.is_file()] if path.is_dir() else [path]
    found = {_suffix_format(p) for p in names} - {None}
    if len(found) != 1:
        raise UsageError(
            f"cannot tell the format of {path} from its name; give --format csv or --format parquet "
            f"(known suffixes: {', '.join(FORMATS)})"
        )
    return str(found.pop())


def _suffix_format(path: Path) -> str | None:
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in _COMPRESSED:
        suffixes.pop()
    return FORMATS.get(suffixes[-1]) if suffixes else None


class Batch(NamedTuple):
    codes: np.ndarray  # each row's group number (0 for every row without --by)
    groups: int  # how many groups the batches so far have numbered
    columns: list[Accepted]  # the value columns, in the order asked


class Table:
    """A file's asked columns, checked before any row is read."""

    def __init__(self, path: Path, fmt: str | None, columns: Sequence[str], by: str | None) -> None:
        if not path.exists():
            raise DataError(f"no such file or folder: {path}")
        self.path = path
        self.format = file_format(path, fmt)
        try:
            self.dataset = ds.dataset(str(path), format=self._reader())
        except (pa.ArrowException, OSError) as e:
            raise DataError(f"cannot read {path} as {self.format}: {_first_line(e)}") from None
        self.columns = list(dict.fromkeys(columns))
        self.by = by
        self._check_columns()
        self.keys = Keys()

    def _reader(self) -> Any:
        if self.format == "parquet":
            return "parquet"
        # Empty and NA fields are nulls in text columns too (keys among them), as pandas reads them.
        csv: Any = importlib.import_module("pyarrow.csv")
        return ds.CsvFileFormat(convert_options=csv.ConvertOptions(strings_can_be_null=True))

    def _check_columns(self) -> None:
        schema = self.dataset.schema
        for name in [*self.columns, *([self.by] if self.by is not None else [])]:
            if schema.get_field_index(name) < 0:
                raise DataError(f"{self.path} has no column {name!r}; its columns: {', '.join(schema.names)}")
        for name in self.columns:
            arrow_type = schema.field(name).type
            if not (is_number_dtype(arrow_type) or pa.types.is_null(arrow_type)):
                raise DataError(f"column {name!r} of {self.path} holds {arrow_type}, not numbers")

    def integer(self, name: str) -> bool:
        """Whether the column holds integers (or booleans), read on the exact integer path."""
        arrow_type = self.dataset.schema.field(name).type
        return bool(pa.types.is_integer(arrow_type) or pa.types.is_boolean(arrow_type))

    def size(self) -> int:
        """The bytes of the files the dataset reads."""
        return sum(os.path.getsize(f) for f in self.dataset.files)

    def rows(self) -> int | None:
        """The row count where the file's metadata holds it (Parquet), else None."""
        return int(self.dataset.count_rows()) if self.format == "parquet" else None

    def batches(self, batch_size: int = 1 << 17) -> Iterator[Batch]:
        names = list(dict.fromkeys([*self.columns, *([self.by] if self.by is not None else [])]))
        try:
            for batch in self.dataset.to_batches(columns=names, batch_size=batch_size):
                yield self._read(batch)
        except (pa.ArrowException, OSError) as e:
            guessed = (
                " (the reader takes a CSV column's type from the first rows)" if "CSV conversion" in str(e) else ""
            )
            raise DataError(f"cannot read {self.path}: {_first_line(e)}{guessed}") from None

    def _read(self, batch: Any) -> Batch:
        if self.by is None:
            codes = np.zeros(batch.num_rows, dtype=np.int64)
        else:
            codes = self.keys.number(batch.column(self.by), self.by)
        try:
            columns = [accept(batch.column(name), f"column {name!r}") for name in self.columns]
        except (TypeError, ValueError) as e:
            raise DataError(str(e)) from None
        return Batch(codes, len(self.keys.keys) if self.by is not None else 1, columns)


class Keys:
    """The keys met so far, numbered in the order met: a key keeps its number
    across batches.  A null key is a group of its own (no row is dropped)."""

    def __init__(self) -> None:
        self.keys: list[Any] = []
        self._numbers: dict[Any, int] = {}

    def number(self, column: Any, name: str) -> np.ndarray:
        """Each row's key number."""
        if pa.types.is_dictionary(column.type):
            column = column.dictionary_decode()
        try:
            encoded = column.dictionary_encode(null_encoding="encode")
        except pa.ArrowException as e:
            raise DataError(f"cannot group by column {name!r} of type {column.type}: {_first_line(e)}") from None
        found = np.array([self._number(k) for k in encoded.dictionary.to_pylist()], dtype=np.int64)
        codes: np.ndarray = found[encoded.indices.to_numpy(zero_copy_only=False)]
        return codes

    def _number(self, key: Any) -> int:
        if isinstance(key, float) and (key == 0 or math.isnan(key)):
            # One group for each of NaN and zero, shown the same in any row order:
            # every NaN (a new object each) is math.nan, found by identity; -0.0 is 0.0.
            key = math.nan if math.isnan(key) else 0.0
        if key not in self._numbers:
            self._numbers[key] = len(self.keys)
            self.keys.append(key)
        return self._numbers[key]


def split(codes: np.ndarray, values: np.ndarray) -> Iterator[tuple[int, np.ndarray]]:
    """The values of each group that has some, as (group, values)."""
    if len(codes) == 0:
        return
    if codes.min() == codes.max():  # one group: the column as it lies
        yield int(codes[0]), values
        return
    order = np.argsort(codes, kind="stable")
    ordered = codes[order]
    starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
    for start, part in zip(starts.tolist(), np.split(values[order], starts[1:]), strict=True):
        yield int(ordered[start]), part


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__
