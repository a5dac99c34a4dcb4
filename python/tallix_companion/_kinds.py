"""What the companion knows of each tallix class with a byte form: how to make
one, feed it a batch of columns, write and read its documented bytes, and
merge (or join) two of them.  One table serves pickling and every engine, so
the engines differ only in how they move the bytes."""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

import tallix

from ._accept import accept

if TYPE_CHECKING:
    from typing import TypeAlias, TypeVar

    # The classes whose states travel as bytes (the table below): what the
    # engines build and give back.
    State: TypeAlias = (
        tallix.SumF64
        | tallix.SumF32
        | tallix.MomentsF64
        | tallix.Moments4F64
        | tallix.PnMomentsF64
        | tallix.ExtremaF64
        | tallix.HistogramF64
        | tallix.CovF64
        | tallix.WeightedMomentsF64
        | tallix.CovMatrixF64
        | tallix.SumMap
        | tallix.MomentsMap
        | tallix.ReplicatedSum
    )
    # The class asked for is the class given back.
    StateT = TypeVar("StateT", bound=State)


def _extend(state: Any, columns: Sequence[Any]) -> None:
    state.extend(*columns)


def _extend_rows(state: Any, columns: Sequence[Any]) -> None:
    """Feature columns, then the response: fed as (n, d) rows and y."""
    state.extend(_stack(columns[:-1], len(columns[-1])), columns[-1])


def _stack(columns: Sequence[np.ndarray], n: int) -> np.ndarray:
    if not columns:
        return np.empty((n, 0))
    dtype = np.result_type(*columns)
    if dtype.kind == "f":
        # Stacking 64-bit integers beside floats casts them, which would round
        # silently; the core decides which integers are float64 values.
        for column in columns:
            if column.dtype.kind in "iu" and column.dtype.itemsize == 8:
                tallix.ExtremaF64().extend(column)
    return np.column_stack([np.asarray(c, dtype=dtype) for c in columns])


class Replica:
    """One replica of a ReplicatedSum, as an engine makes each partition.

    ReplicatedSum adds one value at a time; its slot is a SumF64, so the slot
    is filled through the SumF64 batch method and the core makes the replica
    from it (``tallix._replica``), as the loop of ``add`` would leave it.
    """

    def __init__(self, number: int) -> None:
        self.number = number
        self.slot = tallix.SumF64()

    def extend(self, xs: Any) -> None:
        self.slot.extend(xs)

    def encode(self) -> bytes:
        return tallix._replica(self.number, self.slot).encode()


class Kind(NamedTuple):
    columns: int | None  # value columns per row; None: feature columns plus y
    make: Callable[[tuple[Any, ...], int], Any]  # (constructor arguments, replica number)
    dump: str = "to_bytes"  # method that gives the documented bytes
    load: str = "from_bytes"  # static method that reads them back
    combine: str = "merge"
    feed: Callable[[Any, Sequence[Any]], None] = _extend
    keyed: bool = False  # the first column holds str keys


def _plain(name: str) -> Callable[[tuple[Any, ...], int], Any]:
    return lambda args, replica: getattr(tallix, name)(*args)


KINDS: dict[str, Kind] = {
    "SumF64": Kind(1, _plain("SumF64")),
    "SumF32": Kind(1, _plain("SumF32")),
    "MomentsF64": Kind(1, _plain("MomentsF64")),
    "Moments4F64": Kind(1, _plain("Moments4F64")),
    "PnMomentsF64": Kind(1, _plain("PnMomentsF64")),
    "ExtremaF64": Kind(1, _plain("ExtremaF64")),
    "HistogramF64": Kind(1, lambda args, _: tallix.HistogramF64(list(args[0])), "encode", "decode"),
    "CovF64": Kind(2, _plain("CovF64")),
    "WeightedMomentsF64": Kind(2, _plain("WeightedMomentsF64")),
    "CovMatrixF64": Kind(None, _plain("CovMatrixF64"), "encode", "decode", feed=_extend_rows),
    "SumMap": Kind(2, _plain("SumMap"), "encode", "decode", keyed=True),
    "MomentsMap": Kind(2, _plain("MomentsMap"), "encode", "decode", keyed=True),
    # Replicas are reconciled by an idempotent join: an engine makes each
    # partition its own replica, so the joins meet disjoint replicas.
    "ReplicatedSum": Kind(1, lambda _, replica: Replica(replica), "encode", "decode", "join"),
}


def make(name: str, args: tuple[Any, ...] = (), replica: int = 0) -> Any:
    """A new state of ``name``; a ReplicatedSum is made as replica number ``replica``."""
    return KINDS[name].make(args, replica)


def feed(name: str, state: Any, columns: Sequence[Any]) -> None:
    """One batch of columns (from ``accepted``, absent rows removed) through the batch method."""
    KINDS[name].feed(state, columns)


def dump(name: str, state: Any) -> bytes:
    blob: bytes = getattr(state, KINDS[name].dump)()
    return blob


def load(name: str, blob: bytes) -> State:
    state: State = getattr(getattr(tallix, name), KINDS[name].load)(bytes(blob))
    return state


def merge_all(name: str, blobs: Sequence[bytes], args: tuple[Any, ...] = ()) -> State:
    """One state from the bytes of several (the empty state when there are none)."""
    if not blobs:
        return load(name, dump(name, make(name, args)))
    acc = load(name, blobs[0])
    combine: Callable[[State], None] = getattr(acc, KINDS[name].combine)
    for blob in blobs[1:]:
        combine(load(name, blob))
    return acc


def read(raw: Any, label: str, keys: bool = False) -> tuple[Any, np.ndarray | None]:
    """One column of a batch as ``feed`` takes it, and the rows in which it is
    absent (None where none is): keys as a list, numbers as ``accept`` reads them."""
    return _keys(raw) if keys else accept(raw, label)


def _keys(raw: Any) -> tuple[list[Any], np.ndarray | None]:
    keys = raw.to_pylist() if hasattr(raw, "to_pylist") else raw.tolist() if hasattr(raw, "tolist") else list(raw)
    na = getattr(sys.modules.get("pandas"), "NA", None)  # a pandas key implies pandas is imported
    absent = [k is None or k is na for k in keys]
    return keys, np.array(absent) if any(absent) else None


def present(columns: Sequence[Any], skips: Sequence[np.ndarray | None]) -> list[Any]:
    """The rows in which every column holds a value."""
    marked = [s for s in skips if s is not None]
    if not marked:
        return list(columns)
    keep = ~np.logical_or.reduce(marked)
    return [[k for k, kept in zip(c, keep, strict=True) if kept] if isinstance(c, list) else c[keep] for c in columns]


def supported() -> list[str]:
    """Names of the tallix classes that can be reduced over partitions."""
    return list(KINDS)


class Target(NamedTuple):
    """One state to build: a tallix class name, its columns, its constructor arguments."""

    kind: str
    columns: tuple[Any, ...]
    args: tuple[Any, ...] = ()


def kind_name(cls: Any) -> str:
    """The name of a tallix class (or of a class name) that can travel as bytes."""
    name = cls if isinstance(cls, str) else getattr(cls, "__name__", None)
    if name not in KINDS or (not isinstance(cls, str) and getattr(tallix, name) is not cls):
        raise TypeError(
            f"cannot reduce {name or cls!r} over partitions: its state has no byte form that a "
            f"Python process can read back; supported: {', '.join(KINDS)}"
        )
    return name


def target(cls: Any, columns: tuple[Any, ...], edges: Sequence[float] | None) -> Target:
    """A checked target: the column count the class takes, and ``edges`` exactly
    for HistogramF64 (refused here, before any work is sent, if they are bad)."""
    name = kind_name(cls)
    kind = KINDS[name]
    if kind.columns is None:
        if not columns:
            raise ValueError("CovMatrixF64 needs at least the response column")
    elif len(columns) != kind.columns:
        raise ValueError(f"{name} takes {kind.columns} column(s), got {len(columns)}")
    if (edges is None) == (name == "HistogramF64"):
        raise TypeError("edges are required for HistogramF64 and only for it")
    args: tuple[Any, ...] = ()
    if edges is not None:
        args = (tuple(float(e) for e in edges),)
        tallix.HistogramF64(list(args[0]))
    elif name == "CovMatrixF64":
        args = (len(columns) - 1,)
    return Target(name, tuple(columns), args)
