"""Exact statistics and receipts of a table's columns, per group, fed batch by batch.

Every number is the core's: sums, means and variances come from its grouped
states (``tallix._Groups``, exact at any range, integers exact at any width),
extrema from one ``ExtremaF64`` per group, receipts from one state of the
asked class per group.  This module only routes each batch's rows to their
groups and reads the answers out.
"""

from __future__ import annotations

import importlib
import inspect
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

import tallix

from ._accept import Accepted
from ._groupby import native_values, new_groups
from ._scan import Batch, DataError, Table, UsageError, split

# A group's statistics, in the order they are shown.
STATISTICS = ("count", "skipped", "sum", "mean", "var", "std", "min", "max")


class ColumnStats:
    """One column's states in each group.  Nulls and NaN are skipped and
    counted, as the pandas accessor skips them."""

    def __init__(self, name: str, integer: bool) -> None:
        self.name = name
        self.integer = integer
        self.groups = new_groups(0, integer, True)
        self.extrema: list[tallix.ExtremaF64] = []

    def grow(self, count: int) -> None:
        """Room for ``count`` groups: the core's states are sized when made, so
        new keys move the states so far into larger ones (exactly, by merge)."""
        old = self.groups.count
        if count <= old:
            return
        grown = new_groups(count, self.integer, True)
        grown.merge(self.groups, np.arange(old, dtype=np.int64))
        self.groups = grown
        self.extrema += [tallix.ExtremaF64() for _ in range(count - old)]

    def feed(self, codes: np.ndarray, count: int, column: Accepted) -> None:
        self.grow(count)
        values = native_values(column)
        try:
            self.groups.feed(codes, values, column.skip, True)
        except (TypeError, ValueError) as e:
            raise DataError(f"column {self.name!r}: {e}") from None
        absent = column.skip
        if values.dtype.kind == "f":
            absent = np.isnan(values) if absent is None else absent | np.isnan(values)
        if absent is not None and absent.any():
            codes, values = codes[~absent], values[~absent]
        try:
            for group, part in split(codes, values):
                self.extrema[group].extend(part)
        except ValueError as e:  # an integer that no float64 holds: ExtremaF64 refuses it
            raise DataError(f"column {self.name!r}: its min and max are float64 values: {e}") from None

    def answers(self, ddof: int) -> list[dict[str, Any]]:
        """Each group's statistics; None where one is undefined (no values, or no more than ``ddof``)."""
        count = self.groups.count
        n, missing = np.zeros(count, dtype=np.int64), np.zeros(count, dtype=np.int64)
        self.groups.counts(n, missing)
        sums = self.groups.int_sums()[0] if self.integer else self._answer("sum", ddof)
        mean, var, std = (self._answer(how, ddof) for how in ("mean", "var", "std"))
        rows = []
        for g, (present, skipped) in enumerate(zip(n.tolist(), missing.tolist(), strict=True)):
            some, spread = present > 0, present > ddof
            rows.append(
                {
                    "count": present,
                    "skipped": skipped,
                    "sum": sums[g],
                    "mean": mean[g] if some else None,
                    "var": var[g] if spread else None,
                    "std": std[g] if spread else None,
                    "min": self._extreme(g, "min") if some else None,
                    "max": self._extreme(g, "max") if some else None,
                }
            )
        return rows

    def _answer(self, how: str, ddof: int) -> list[float]:
        out = np.empty(self.groups.count, dtype=np.float64)
        self.groups.answer(how, ddof, out)
        answers: list[float] = out.tolist()
        return answers

    def _extreme(self, group: int, which: str) -> int | float:
        value: float = getattr(self.extrema[group], which)()
        # ExtremaF64 took the integers only where float64 holds them: int() is exact.
        return int(value) if self.integer else value


class ColumnReceipts:
    """One column's state of a class in each group: nulls skipped and counted,
    everything else (NaN included) fed, so the receipt covers every value."""

    def __init__(self, name: str, make: Callable[[], Any]) -> None:
        self.name = name
        self.make = make
        self.states: list[Any] = []
        self.fed: list[int] = []
        self.skipped: list[int] = []

    def grow(self, count: int) -> None:
        """Room for ``count`` groups."""
        more = count - len(self.states)
        self.states += [self.make() for _ in range(more)]
        self.fed += [0] * more
        self.skipped += [0] * more

    def feed(self, codes: np.ndarray, count: int, column: Accepted) -> None:
        self.grow(count)
        values = native_values(column)
        if column.skip is not None and column.skip.any():
            for group, nulls in enumerate(np.bincount(codes[column.skip], minlength=count).tolist()):
                self.skipped[group] += nulls
            codes, values = codes[~column.skip], values[~column.skip]
        try:
            for group, part in split(codes, values):
                self.states[group].extend(part)
                self.fed[group] += len(part)
        except (TypeError, ValueError) as e:
            raise DataError(f"column {self.name!r}: {e}") from None

    def answers(self) -> list[dict[str, Any]]:
        return [
            {"count": fed, "skipped": skipped, "state_hash": state.state_hash().hex()}
            for state, fed, skipped in zip(self.states, self.fed, self.skipped, strict=True)
        ]


# ---------------------------------------------------------------------------
# Which classes give a receipt of one column


def _columns_taken(cls: type) -> int:
    """How many columns the class's batch method takes (0: it has none)."""
    extend = getattr(cls, "extend", None)
    if extend is None:
        return 0
    return len([p for p in inspect.signature(extend).parameters if p != "self"])


def _public_classes() -> dict[str, type]:
    return {name: value for name in tallix.__all__ if isinstance(value := getattr(tallix, name), type)}


def receipt_classes() -> list[str]:
    """The classes with a receipt whose batch method takes one column."""
    return [n for n, c in _public_classes().items() if _columns_taken(c) == 1 and hasattr(c, "state_hash")]


def receipt_maker(name: str, edges: Sequence[float] | None) -> Callable[[], Any]:
    """A maker of empty states of ``name``, checked: UsageError for a class no receipt of one column has."""
    classes = _public_classes()
    choices = f"classes with a receipt of one column: {', '.join(receipt_classes())}"
    if name not in classes:
        raise UsageError(f"unknown class {name!r}; {choices}")
    cls = classes[name]
    taken = _columns_taken(cls)
    if taken > 1:
        raise UsageError(f"{name} takes {taken} columns at once; a receipt here reads one column; {choices}")
    if taken == 0 or not hasattr(cls, "state_hash"):
        raise UsageError(f"{name} has no receipt (state_hash) of a column; {choices}")
    args: tuple[Any, ...] = () if edges is None else (list(edges),)
    try:
        cls(*args)
    except TypeError:
        raise UsageError(f"{name} needs --edges" if edges is None else f"{name} takes no --edges") from None
    except ValueError as e:
        raise UsageError(f"--edges: {e}") from None
    return lambda: cls(*args)


# ---------------------------------------------------------------------------
# The scan


Feeder = ColumnStats | ColumnReceipts


def scan(table: Table, feeders: Sequence[Feeder], progress: bool) -> None:
    """Every batch of the table into the feeders (one per value column, in order)."""
    for feeder in feeders:  # without --by, the one group is there even if no row is
        feeder.grow(0 if table.by is not None else 1)
    for batch in _with_progress(table, progress):
        for feeder, column in zip(feeders, batch.columns, strict=True):
            feeder.feed(batch.codes, batch.groups, column)


def _with_progress(table: Table, show: bool) -> Iterator[Batch]:
    if not show:
        yield from table.batches()
        return
    tqdm: Any = importlib.import_module("tqdm").tqdm  # untyped: Any here
    with tqdm(total=table.rows(), unit=" rows", unit_scale=True, desc=table.path.name, leave=False) as bar:
        for batch in table.batches():
            yield batch
            bar.update(len(batch.codes))
