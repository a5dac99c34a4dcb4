"""What the companion knows of each tallix class with a byte form: how many
value columns a row of it takes, and the methods that write and read its
documented bytes. One table serves pickling and every engine."""

from __future__ import annotations

from typing import Any, NamedTuple, Sequence

import tallix


class Kind(NamedTuple):
    columns: int | None  # value columns per row; None: a feature row plus y
    dump: str  # method that gives the documented bytes
    load: str  # static method that reads them back
    combine: str = "merge"
    keyed: bool = False  # the first column holds str keys


KINDS: dict[str, Kind] = {
    "SumF64": Kind(1, "to_bytes", "from_bytes"),
    "SumF32": Kind(1, "to_bytes", "from_bytes"),
    "MomentsF64": Kind(1, "to_bytes", "from_bytes"),
    "Moments4F64": Kind(1, "to_bytes", "from_bytes"),
    "PnMomentsF64": Kind(1, "to_bytes", "from_bytes"),
    "ExtremaF64": Kind(1, "to_bytes", "from_bytes"),
    "HistogramF64": Kind(1, "encode", "decode"),
    "CovF64": Kind(2, "to_bytes", "from_bytes"),
    "WeightedMomentsF64": Kind(2, "to_bytes", "from_bytes"),
    "CovMatrixF64": Kind(None, "encode", "decode"),
    "SumMap": Kind(2, "encode", "decode", keyed=True),
    "MomentsMap": Kind(2, "encode", "decode", keyed=True),
    # Replicas are reconciled by an idempotent join: an engine makes each
    # partition its own replica, so the joins meet disjoint replicas.
    "ReplicatedSum": Kind(1, "encode", "decode", combine="join"),
}


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
