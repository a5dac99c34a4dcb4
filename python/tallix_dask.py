"""Reduce Dask collections into exact tallix states.

One line turns a dask array, or columns of a dask dataframe, into a tallix
state::

    import tallix, tallix_dask
    m = tallix_dask.reduce(tallix.MomentsF64, x)              # one column
    c = tallix_dask.reduce(tallix.CovF64, df["x"], df["y"])   # pairs
    r = tallix_dask.reduce(tallix.CovMatrixF64, X, y)         # rows of a (n, d) array

Each partition builds its state from its own rows (through the class's batch
``extend`` where it has one), the state travels as its documented bytes, and
the bytes are merged in a tree.  Every merge is exact, so the state that comes
back is bit for bit the one a single process builds from all the rows: the
same bytes and the same ``state_hash`` for any partitioning and any order.

Several states can be built in one pass over each partition with
``reduce_many`` (or ``plan`` to run it yourself, for example under a progress
bar).  Only bytes cross process boundaries; tallix objects are never pickled.
"""

from __future__ import annotations

import importlib.metadata
from typing import Any, Iterable, Mapping, NamedTuple, Sequence

import numpy as np

import tallix

__all__ = ["Target", "Reduction", "target", "plan", "reduce", "reduce_many", "supported"]

# The version is set once, in pyproject.toml, and read back from the installed metadata.
try:
    __version__ = importlib.metadata.version("tallix")
except importlib.metadata.PackageNotFoundError:  # imported from a source tree never installed
    __version__ = "0+unknown"


class _Kind(NamedTuple):
    columns: int | None  # value columns per row; None: a feature row plus y
    dump: str  # method that gives the documented bytes
    load: str  # static method that reads them back
    combine: str = "merge"
    keyed: bool = False  # the first column holds str keys


_KINDS: dict[str, _Kind] = {
    "SumF64": _Kind(1, "to_bytes", "from_bytes"),
    "SumF32": _Kind(1, "to_bytes", "from_bytes"),
    "MomentsF64": _Kind(1, "to_bytes", "from_bytes"),
    "Moments4F64": _Kind(1, "to_bytes", "from_bytes"),
    "PnMomentsF64": _Kind(1, "to_bytes", "from_bytes"),
    "ExtremaF64": _Kind(1, "to_bytes", "from_bytes"),
    "HistogramF64": _Kind(1, "encode", "decode"),
    "CovF64": _Kind(2, "to_bytes", "from_bytes"),
    "WeightedMomentsF64": _Kind(2, "to_bytes", "from_bytes"),
    "CovMatrixF64": _Kind(None, "encode", "decode"),
    "SumMap": _Kind(2, "encode", "decode", keyed=True),
    "MomentsMap": _Kind(2, "encode", "decode", keyed=True),
    # Each partition is its own replica, numbered by its position, so the
    # joins meet disjoint replicas and lose nothing.
    "ReplicatedSum": _Kind(1, "encode", "decode", combine="join"),
}


def supported() -> list[str]:
    """Names of the tallix classes that can be reduced over partitions."""
    return list(_KINDS)


class Target(NamedTuple):
    """One state to build: a tallix class name, its columns, its constructor arguments."""

    kind: str
    columns: tuple
    args: tuple = ()


def target(cls: Any, *columns: Any, edges: Sequence[float] | None = None) -> Target:
    """Describe a state to build from named (dataframe) or numbered (2-D array) columns.

    ``CovMatrixF64`` takes the feature columns followed by the response column;
    ``HistogramF64`` needs ``edges``; keyed maps take the key column first.
    """
    name = _kind_name(cls)
    kind = _KINDS[name]
    if kind.columns is None:
        if not columns:
            raise ValueError("CovMatrixF64 needs at least the response column")
    elif len(columns) != kind.columns:
        raise ValueError(f"{name} takes {kind.columns} column(s), got {len(columns)}")
    if (edges is None) == (name == "HistogramF64"):
        raise TypeError("edges are required for HistogramF64 and only for it")
    args: tuple = ()
    if name == "HistogramF64":
        args = (tuple(float(e) for e in edges),)
        tallix.HistogramF64(list(args[0]))  # reject bad edges before any work is sent
    elif name == "CovMatrixF64":
        args = (len(columns) - 1,)
    return Target(name, tuple(columns), args)


def _kind_name(cls: Any) -> str:
    name = cls if isinstance(cls, str) else getattr(cls, "__name__", None)
    if name not in _KINDS or (not isinstance(cls, str) and getattr(tallix, name) is not cls):
        raise TypeError(
            f"cannot reduce {name or cls!r} over partitions: its state has no byte form that a "
            f"Python process can read back; supported: {', '.join(_KINDS)}"
        )
    return name


# ---------------------------------------------------------------------------
# Work done inside the workers: build states from one partition, merge bytes.


def _make(name: str, args: tuple) -> Any:
    cls = getattr(tallix, name)
    return cls(list(args[0])) if name == "HistogramF64" else cls(*args)


def _dump(name: str, state: Any) -> bytes:
    return getattr(state, _KINDS[name].dump)()


def _load(name: str, blob: bytes) -> Any:
    return getattr(getattr(tallix, name), _KINDS[name].load)(blob)


def _floats(raw: Any) -> np.ndarray:
    if hasattr(raw, "to_numpy"):  # pandas: missing values become NaN
        raw = raw.to_numpy(dtype=np.float64, na_value=np.nan)
    return np.ascontiguousarray(raw, dtype=np.float64)


def _keys(raw: Any) -> list:
    return raw.tolist() if hasattr(raw, "tolist") else list(raw)


def _column(parts: tuple, ref: tuple) -> Any:
    part = parts[ref[0]]
    key = ref[1]
    if key is None:
        return part
    return part[key] if hasattr(part, "columns") else part[:, key]


def _feed(name: str, state: Any, cols: list, index: int) -> None:
    """Feed one partition's columns through the class's batch update."""
    if name == "ReplicatedSum":  # each partition is its own replica
        add = state.add
        for x in cols[0].tolist():
            add(index, x)
    elif _KINDS[name].keyed:
        add = state.add
        for key, x in zip(cols[0], cols[1].tolist()):
            add(key, x)
    elif name == "CovMatrixF64":
        n = len(cols[-1])
        x = np.column_stack(cols[:-1]) if len(cols) > 1 else np.empty((n, 0))
        state.extend(np.ascontiguousarray(x), cols[-1])
    else:
        state.extend(*cols)


def _ingest(plan: tuple, index: int, refs: tuple, *parts: Any) -> tuple:
    """Build every planned state from one partition and return their bytes."""
    cache: dict = {}

    def values(ref: tuple, as_keys: bool) -> Any:
        if (ref, as_keys) not in cache:
            raw = _column(parts, refs[ref])
            cache[ref, as_keys] = _keys(raw) if as_keys else _floats(raw)
        return cache[ref, as_keys]

    out = []
    for name, columns, args in plan:
        keyed = _KINDS[name].keyed
        cols = [values(c, keyed and i == 0) for i, c in enumerate(columns)]
        if len({len(c) for c in cols}) > 1:
            raise ValueError(f"partition {index}: the columns of {name} differ in length")
        state = _make(name, args)
        _feed(name, state, cols, index)
        out.append(_dump(name, state))
    return tuple(out)


def _combine(plan: tuple, *pieces: tuple) -> tuple:
    """Merge the bytes of several partial results, state by state."""
    out = []
    for i, (name, _, _) in enumerate(plan):
        acc = _load(name, pieces[0][i])
        combine = getattr(acc, _KINDS[name].combine)
        for piece in pieces[1:]:
            combine(_load(name, piece[i]))
        out.append(_dump(name, acc))
    return tuple(out)


# ---------------------------------------------------------------------------
# Client side: partitions, the task tree, decoding the result.


class Reduction:
    """A planned reduction: ``delayed`` yields the bytes, ``states`` reads them back."""

    def __init__(self, names: list[str], plan: tuple, delayed: Any) -> None:
        self.names = names
        self.plan = plan
        self.delayed = delayed

    def states(self, blobs: Sequence[bytes]) -> dict[str, Any]:
        return {n: _load(t[0], b) for n, t, b in zip(self.names, self.plan, blobs)}

    def compute(self, client: Any = None, timeout: float | None = None) -> dict[str, Any]:
        """Run the tree (on ``client`` when given, else on dask's current scheduler)."""
        if client is not None:
            blobs = client.compute(self.delayed).result(timeout=timeout)
        else:
            (blobs,) = _dask().compute(self.delayed)
        return self.states(blobs)


def _dask() -> Any:
    import dask

    return dask


def _is_frame(obj: Any) -> bool:
    from dask.utils import is_dataframe_like, is_series_like

    return hasattr(obj, "npartitions") and (is_dataframe_like(obj) or is_series_like(obj))


def _is_array(obj: Any) -> bool:
    import dask.array as da

    return isinstance(obj, da.Array)


def _partitions(inputs: Sequence[Any]) -> list[tuple]:
    """Row-aligned partitions of the inputs: one tuple of delayed parts per partition."""
    if all(_is_frame(o) for o in inputs):
        counts = {o.npartitions for o in inputs}
        known = [o.divisions for o in inputs if o.known_divisions]
        if len(counts) > 1 or len(set(known)) > 1:
            raise ValueError("the columns are partitioned differently; align them first")
        return list(zip(*(o.to_delayed() for o in inputs)))
    arrays = _same_family(inputs)
    for a in arrays:
        if not _is_array(a) or a.ndim not in (1, 2):
            raise TypeError("expected dask arrays (1-D or 2-D) or dask dataframe columns")
    if len({a.shape[0] for a in arrays}) > 1:
        raise ValueError("the columns differ in length")
    rows = arrays[0].chunks[0]
    aligned = [a.rechunk({0: rows, 1: -1} if a.ndim == 2 else {0: rows}) for a in arrays]
    return list(zip(*(a.to_delayed().reshape(-1) for a in aligned)))


def _tree(plan: tuple, refs: tuple, partitions: list[tuple], split_every: int) -> Any:
    from dask import delayed

    ingest = delayed(_ingest, pure=True)
    combine = delayed(_combine, pure=True)
    level = [ingest(plan, k, refs, *parts) for k, parts in enumerate(partitions)]
    while len(level) > 1:
        groups = range(0, len(level), split_every)
        level = [combine(plan, *level[i : i + split_every]) for i in groups]
    return level[0]


def plan(data: Any, targets: Mapping[str, Target], *, split_every: int = 8) -> Reduction:
    """Plan building every target in one pass over each partition of ``data``.

    ``data`` is a dask dataframe (columns by name) or a 2-D dask array (columns
    by number).
    """
    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    for t in targets.values():
        _kind_name(t.kind)
    if _is_array(data) and data.ndim == 2:
        refs = tuple(sorted({c for t in targets.values() for c in t.columns}))
        bad = [c for c in refs if not isinstance(c, int) or not 0 <= c < data.shape[1]]
        if bad:
            raise ValueError(f"no such column in the array: {bad}")
        parts = _partitions([data])
        lookup = {c: (0, c) for c in refs}
    elif _is_frame(data) and _is_dataframe(data):
        refs = tuple(dict.fromkeys(c for t in targets.values() for c in t.columns))
        missing = [c for c in refs if c not in data.columns]
        if missing:
            raise ValueError(f"no such column in the dataframe: {missing}")
        parts = _partitions([data[list(refs)]])
        lookup = {c: (0, c) for c in refs}
    else:
        raise TypeError("plan() takes a dask dataframe or a 2-D dask array")
    ref_list = tuple(lookup[c] for c in refs)
    index = {c: i for i, c in enumerate(refs)}
    compiled = tuple(
        (t.kind, tuple(index[c] for c in t.columns), t.args) for t in targets.values()
    )
    return Reduction(list(targets), compiled, _tree(compiled, ref_list, parts, split_every))


def _is_dataframe(obj: Any) -> bool:
    from dask.utils import is_dataframe_like

    return is_dataframe_like(obj)


def reduce_many(
    data: Any,
    targets: Mapping[str, Target],
    *,
    split_every: int = 8,
    client: Any = None,
    timeout: float | None = None,
) -> dict[str, Any]:
    """Build several states in one pass over each partition; returns them by name."""
    return plan(data, targets, split_every=split_every).compute(client, timeout)


def reduce(
    cls: Any,
    *columns: Any,
    edges: Sequence[float] | None = None,
    split_every: int = 8,
    client: Any = None,
    timeout: float | None = None,
) -> Any:
    """Reduce dask arrays or dataframe columns into one tallix state.

    Give one column for the one-column accumulators, two for pairs (``CovF64``:
    x, y; ``WeightedMomentsF64``: x, w; the maps: key, x), and for
    ``CovMatrixF64`` a 2-D array of features followed by the response (or one
    2-D array whose last column is the response).
    """
    if not columns:
        raise TypeError("reduce() needs at least one column")
    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    inputs = _same_family(columns)
    refs = tuple(_column_refs(inputs))
    t = target(cls, *range(len(refs)), edges=edges)
    compiled = ((t.kind, tuple(range(len(refs))), t.args),)
    tree = _tree(compiled, refs, _partitions(inputs), split_every)
    return Reduction(["state"], compiled, tree).compute(client, timeout)["state"]


def _same_family(columns: Sequence[Any]) -> list:
    """All dataframe columns, or else all dask arrays (row positions align them)."""
    if all(_is_frame(c) for c in columns):
        return list(columns)
    return [c.to_dask_array(lengths=True) if _is_frame(c) else c for c in columns]


def _column_refs(columns: Iterable[Any]) -> Iterable[tuple]:
    for i, c in enumerate(columns):
        if _is_frame(c) and _is_dataframe(c):
            yield from ((i, name) for name in c.columns)
        elif getattr(c, "ndim", 1) == 2:
            if np.isnan(c.shape[1]):
                raise ValueError("the number of columns must be known")
            yield from ((i, j) for j in range(c.shape[1]))
        else:
            yield (i, None)
