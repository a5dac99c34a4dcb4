"""What the companion knows of each tallix class with a byte form: how many
value columns a row of it takes, and the methods that write and read its
documented bytes. One table serves pickling and every engine."""

from __future__ import annotations

from typing import NamedTuple


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
