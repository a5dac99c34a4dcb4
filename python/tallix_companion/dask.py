"""Reduce Dask collections into exact tallix states.

One line turns a dask array, or columns of a dask dataframe, into a tallix
state::

    import tallix
    import tallix_companion.dask as tdask
    m = tdask.reduce(tallix.MomentsF64, x)              # one column
    c = tdask.reduce(tallix.CovF64, df["x"], df["y"])   # pairs
    r = tdask.reduce(tallix.CovMatrixF64, X, y)         # rows of a (n, d) array

Each partition builds its state from its own rows (through the class's batch
``extend`` where it has one), the state travels as its documented bytes, and
the bytes are merged in a tree.  Every merge is exact, so the state that comes
back is bit for bit the one a single process builds from all the rows: the
same bytes and the same ``state_hash`` for any partitioning and any order.

Several states can be built in one pass over each partition with
``reduce_many`` (or ``plan`` to run it yourself, for example under a progress
bar).  Only bytes cross process boundaries: the tasks ship the documented
bytes themselves rather than pickled objects, so they need no picklers.

Columns must hold numbers: float, integer or boolean dtypes (numpy, or the
nullable pandas ones without pd.NA), every value exactly a float64.  Anything
else raises rather than becoming some other number.  Columns of different
dataframes are paired row by row only where their indexes are equal.

``sum``, ``mean``, ``var`` and ``std`` answer as dask does, exactly: each
partition sends exact parts (integer sums for integer columns, moment states
otherwise) and the core answers from all of them, rounded once.
"""

from __future__ import annotations

import builtins
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np

import tallix

from . import _answers, _kinds
from ._accept import accept, is_number_dtype
from ._kinds import KINDS as _KINDS
from ._kinds import Target, supported
from ._kinds import kind_name as _kind_name

if TYPE_CHECKING:
    import pandas as pd

    from ._kinds import State, StateT

__all__ = [
    "Target",
    "Reduction",
    "target",
    "plan",
    "reduce",
    "reduce_many",
    "supported",
    "sum",
    "mean",
    "var",
    "std",
    "groupby",
]


def target(cls: type[State] | str, *columns: Any, edges: Sequence[float] | None = None) -> Target:
    """Describe a state to build from named (dataframe) or numbered (2-D array) columns.

    ``CovMatrixF64`` takes the feature columns followed by the response column;
    ``HistogramF64`` needs ``edges``; keyed maps take the key column first.
    """
    return _kinds.target(cls, columns, edges)


# ---------------------------------------------------------------------------
# Work done inside the workers: build states from one partition, merge bytes.


def _label(raw: Any) -> str:
    name = getattr(raw, "name", None)
    return "a column" if name is None else f"column {name!r}"


def _check_numbers(raw: Any) -> None:
    # Casting a date, a duration, a string or an object to float64 gives a
    # number that was never in the data, so such columns are refused by dtype.
    if not is_number_dtype(raw.dtype):
        raise TypeError(
            f"{_label(raw)} has dtype {raw.dtype}, not a number: tallix takes float, integer and "
            f"boolean columns; convert other columns explicitly first"
        )


def _missing(raw: Any) -> ValueError:
    return ValueError(
        f"{_label(raw)} contains missing values (pd.NA); drop them with .dropna() or fill them with .fillna(...)"
    )


def _column(parts: tuple[Any, ...], ref: tuple[Any, ...]) -> Any:
    part = parts[ref[0]]
    key = ref[1]
    if key is None:
        return part
    return part[key] if hasattr(part, "columns") else part[:, key]


def _check_same_rows(index: int, parts: tuple[Any, ...]) -> None:
    """Pair rows of different frames only where pairing by position is pairing by index.

    Pandas and Dask pair rows by their index labels.  Equal indexes in every
    partition make position and label agree; otherwise a positional pairing
    would silently combine rows that do not belong together.
    """
    from dask.utils import is_dataframe_like, is_series_like

    labels = [p.index for p in parts if is_dataframe_like(p) or is_series_like(p)]
    if any(not labels[0].equals(other) for other in labels[1:]):
        raise ValueError(
            f"partition {index}: the columns have different indexes, so their rows cannot be "
            f"paired by position; join them into one dataframe first (for example "
            f"x.to_frame().join(y)) and pass its columns"
        )


def _ingest(plan: tuple[Any, ...], index: int, refs: tuple[Any, ...], *parts: Any) -> tuple[Any, ...]:
    """Build every planned state from one partition and return their bytes."""
    _check_same_rows(index, parts)
    cache: dict[tuple[int, bool], Any] = {}

    def values(ref: int, keys: bool) -> Any:
        if (ref, keys) not in cache:
            raw = _column(parts, refs[ref])
            if not keys:
                _check_numbers(raw)
            column, skip = _kinds.read(raw, _label(raw), keys)
            if skip is not None:
                raise _missing(raw)
            cache[ref, keys] = column
        return cache[ref, keys]

    out = []
    for name, columns, args in plan:
        keyed = _KINDS[name].keyed
        cols = [values(c, keyed and i == 0) for i, c in enumerate(columns)]
        if len({len(c) for c in cols}) > 1:
            raise ValueError(f"partition {index}: the columns of {name} differ in length")
        state = _kinds.make(name, args, replica=index)  # each partition is its own replica
        _kinds.feed(name, state, cols)
        out.append(_kinds.dump(name, state))
    return tuple(out)


def _combine(plan: tuple[Any, ...], *pieces: tuple[Any, ...]) -> tuple[Any, ...]:
    """Merge the bytes of several partial results, state by state."""
    out = []
    for i, (name, _, _) in enumerate(plan):
        out.append(_kinds.dump(name, _kinds.merge_all(name, [piece[i] for piece in pieces])))
    return tuple(out)


# ---------------------------------------------------------------------------
# Client side: partitions, the task tree, decoding the result.


class Reduction:
    """A planned reduction: ``delayed`` yields the bytes, ``states`` reads them back."""

    def __init__(self, names: list[str], plan: tuple[Any, ...], delayed: Any) -> None:
        self.names = names
        self.plan = plan
        self.delayed = delayed

    def states(self, blobs: Sequence[bytes]) -> dict[str, State]:
        return {n: _kinds.load(t[0], b) for n, t, b in zip(self.names, self.plan, blobs, strict=True)}

    def compute(self, client: Any = None, timeout: float | None = None) -> dict[str, State]:
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


def _partitions(inputs: Sequence[Any]) -> list[tuple[Any, ...]]:
    """Row-aligned partitions of the inputs: one tuple of delayed parts per partition."""
    if all(_is_frame(o) for o in inputs):
        counts = {o.npartitions for o in inputs}
        known = [o.divisions for o in inputs if o.known_divisions]
        if len(counts) > 1 or len(set(known)) > 1:
            raise ValueError("the columns are partitioned differently; align them first")
        return list(zip(*(o.to_delayed() for o in inputs), strict=True))
    arrays = _same_family(inputs)
    for a in arrays:
        if not _is_array(a) or a.ndim not in (1, 2):
            raise TypeError("expected dask arrays (1-D or 2-D) or dask dataframe columns")
    if len({a.shape[0] for a in arrays}) > 1:
        raise ValueError("the columns differ in length")
    rows = arrays[0].chunks[0]
    aligned = [a.rechunk({0: rows, 1: -1} if a.ndim == 2 else {0: rows}) for a in arrays]
    return list(zip(*(a.to_delayed().reshape(-1) for a in aligned), strict=True))


def _tree(plan: tuple[Any, ...], refs: tuple[Any, ...], partitions: list[tuple[Any, ...]], split_every: int) -> Any:
    from dask.delayed import delayed

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
    compiled = tuple((t.kind, tuple(index[c] for c in t.columns), t.args) for t in targets.values())
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
) -> dict[str, State]:
    """Build several states in one pass over each partition; returns them by name."""
    return plan(data, targets, split_every=split_every).compute(client, timeout)


@overload
def reduce(
    cls: type[StateT],
    *columns: Any,
    edges: Sequence[float] | None = None,
    split_every: int = 8,
    client: Any = None,
    timeout: float | None = None,
) -> StateT: ...
@overload
def reduce(
    cls: str,
    *columns: Any,
    edges: Sequence[float] | None = None,
    split_every: int = 8,
    client: Any = None,
    timeout: float | None = None,
) -> State: ...
def reduce(
    cls: type[Any] | str,
    *columns: Any,
    edges: Sequence[float] | None = None,
    split_every: int = 8,
    client: Any = None,
    timeout: float | None = None,
) -> State:
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


def _same_family(columns: Sequence[Any]) -> list[Any]:
    """All dataframe columns, or else all dask arrays (row positions align them)."""
    if all(_is_frame(c) for c in columns):
        return list(columns)
    return [_as_array(c) if _is_frame(c) else c for c in columns]


def _as_array(frame: Any) -> Any:
    # Nullable columns would become object arrays holding pd.NA; give them
    # their numpy dtype first, so that they are checked like any other column.
    plain = frame.map_partitions(_numpy_dtypes, meta=_numpy_dtypes(frame._meta))
    return plain.to_dask_array(lengths=True)


def _numpy_dtypes(part: Any) -> Any:
    import pandas as pd

    if not _is_dataframe(part):
        return _numpy_dtype(part)
    columns = {i: _numpy_dtype(part.iloc[:, i]) for i in range(part.shape[1])}
    return pd.DataFrame(columns, index=part.index).set_axis(part.columns, axis=1)


def _numpy_dtype(column: Any) -> Any:
    import pandas as pd

    if isinstance(column.dtype, np.dtype) or not is_number_dtype(column.dtype):
        return column  # already plain, or refused with its own dtype later
    values, skip = accept(column, _label(column))
    if skip is not None:
        raise _missing(column)
    return pd.Series(values, index=column.index, name=column.name)


def _column_refs(columns: Iterable[Any]) -> Iterable[tuple[Any, ...]]:
    for i, c in enumerate(columns):
        if _is_frame(c) and _is_dataframe(c):
            yield from ((i, name) for name in c.columns)
        elif getattr(c, "ndim", 1) == 2:
            if np.isnan(c.shape[1]):
                raise ValueError("the number of columns must be known")
            yield from ((i, j) for j in range(c.shape[1]))
        else:
            yield (i, None)


# ---------------------------------------------------------------------------
# numpy- and pandas-style reductions of one column, and a keyed one.


def sum(column: Any, *, skipna: bool | None = None, split_every: int = 8, client: Any = None) -> float | int | np.int64:
    """The exact sum of a dask array or dataframe column, rounded once; of an
    integer or boolean column the exact integer, as int64 (a Python int beyond its range)."""
    return _statistic("sum", column, skipna, 0, split_every, client)


def mean(column: Any, *, skipna: bool | None = None, split_every: int = 8, client: Any = None) -> float:
    """The exact mean, rounded once; NaN for no values."""
    return float(_statistic("mean", column, skipna, 0, split_every, client))


def var(
    column: Any, *, ddof: int | None = None, skipna: bool | None = None, split_every: int = 8, client: Any = None
) -> float:
    """The exact variance, rounded once; ``ddof`` defaults to 0 for arrays, 1 for columns."""
    return float(_statistic("var", column, skipna, _ddof(column, ddof), split_every, client))


def std(
    column: Any, *, ddof: int | None = None, skipna: bool | None = None, split_every: int = 8, client: Any = None
) -> float:
    """The square root of the exact variance, rounded once."""
    return float(_statistic("std", column, skipna, _ddof(column, ddof), split_every, client))


def _ddof(column: Any, ddof: int | None) -> int:
    return ddof if ddof is not None else (0 if _is_array(column) else 1)


def _statistic(
    how: str, column: Any, skipna: bool | None, ddof: int, split_every: int, client: Any
) -> float | int | np.int64:
    """Dask arrays keep NaN by default and skip masked values (as ``da.sum``
    does); dataframe columns skip NaN and pd.NA (as ``Series.sum`` does)."""
    from dask.delayed import delayed

    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    if _is_array(column):
        blocks = list(column.ravel().to_delayed().reshape(-1))
        skip_nan, skip_absent = bool(skipna), True
    elif _is_frame(column) and not _is_dataframe(column):
        blocks = list(column.to_delayed())
        skip_nan = skip_absent = skipna is not False
    else:
        raise TypeError(f"{how}() takes a dask array or a dask dataframe column")
    _check_numbers(column)
    level = [delayed(_share, pure=True)(how, skip_nan, skip_absent, block) for block in blocks]
    while len(level) > 1:
        groups = range(0, len(level), split_every)
        level = [delayed(_joined, pure=True)(*level[i : i + split_every]) for i in groups]
    share = client.compute(level[0]).result() if client is not None else _dask().compute(level[0])[0]
    return _answer(how, share, ddof)


# A partition's share of a statistic, all of it exact: ("int", Σx, Σx², n)
# for integers; ("sum", SumF64 bytes) for a float sum or mean; ("parts",
# dumped moment parts) for a float variance; ("nan",) where an absent value
# is kept, which makes the answer NaN.
_Share = tuple[Any, ...]


def _share(how: str, skip_nan: bool, skip_absent: bool, block: Any) -> _Share:
    values, absent = accept(block, _label(block))
    values = values.reshape(-1)
    keep = None
    if absent is not None:
        if not skip_absent:
            return ("nan",)
        keep = ~absent.reshape(-1)
    if skip_nan and values.dtype.kind == "f":
        number = ~np.isnan(values)
        keep = number if keep is None else keep & number
    if keep is not None:
        values = values[keep]
    if values.dtype.kind in "iub":
        integers = values.view(np.uint8) if values.dtype.kind == "b" else values
        (s1,), (s2,) = _answers.integer_sums(integers.reshape(1, -1))
        return ("int", s1, s2, values.size)
    if how in ("sum", "mean"):  # the core's mean reads the plain sum
        total = tallix.SumF64()
        total.extend(values)
        return ("sum", total.to_bytes())
    return ("parts", _answers.dump_parts(_answers.moment_parts(values)))


def _joined(*shares: _Share) -> _Share:
    kinds = {share[0] for share in shares}
    if "nan" in kinds:
        return ("nan",)
    if len(kinds) > 1:
        raise TypeError("the partitions hold integers in some and floats in others; give the column one dtype first")
    kind = kinds.pop()
    if kind == "int":
        return ("int", *(builtins.sum(column) for column in zip(*(share[1:] for share in shares), strict=True)))
    if kind == "sum":
        return ("sum", _kinds.dump("SumF64", _kinds.merge_all("SumF64", [share[1] for share in shares])))
    parts = _answers.load_parts(shares[0][1])
    for share in shares[1:]:
        parts = _answers.combine(parts, _answers.load_parts(share[1]))
    return ("parts", _answers.dump_parts(parts))


_INT64 = np.iinfo(np.int64)


def _answer(how: str, share: _Share, ddof: int) -> float | int | np.int64:
    kind = share[0]
    if kind == "nan":
        return math.nan
    if kind == "int":
        s1, s2, n = (int(v) for v in share[1:])
        if how != "sum":
            return _answers.integer_answer(how, s1, s2, n, ddof)
        # dask answers an integer column's sum as int64; a sum beyond it stays exact
        return np.int64(s1) if _INT64.min <= s1 <= _INT64.max else s1
    if kind == "sum":
        total = tallix.SumF64.from_bytes(share[1])
        return total.value() if how == "sum" else _answers.answer(total, "mean")
    return _answers.answer(_answers.load_parts(share[1]), how, ddof)


def groupby(keys: Any, values: Any, how: str = "sum", *, split_every: int = 8, client: Any = None) -> pd.Series:
    """Exact ``sum``, ``mean``, ``var`` (ddof 1), ``std`` or ``count`` of ``values`` per key.

    ``keys`` and ``values`` are columns of one dask dataframe; keys may be any
    hashable values.  Returns the pandas Series that
    ``values.groupby(keys).agg(how).compute()`` returns: sorted by key, missing
    values and keys skipped, pandas' dtype (an integer sum beyond it is a
    Python int in an object Series, where pandas would wrap around).  Each
    partition's per-key states travel as bytes; the pandas accessor's groups
    use the same states.
    """
    from dask.delayed import delayed

    from . import _groupby

    if how not in (*_groupby.EXACT, "count"):
        raise ValueError(f"cannot aggregate with {how!r} exactly; choose from sum, mean, var, std, count")
    dtype = _groupby.result_dtype(values.dtype, how)
    if _groupby.is_binary32(dtype) and how != "sum":  # Dask's own means and variances of binary32 are 64-bit
        dtype = _groupby.float64_like(dtype)
    parts = _partitions([keys, values])
    level = [delayed(_keyed_part, pure=True)(i, *p, how) for i, p in enumerate(parts)]
    while len(level) > 1:
        level = [
            delayed(_keyed_merge, pure=True)(*level[i : i + split_every]) for i in range(0, len(level), split_every)
        ]
    merged = client.compute(level[0]).result() if client is not None else _dask().compute(level[0])[0]
    return _keyed_series(merged, how, dtype, getattr(keys, "name", None), getattr(values, "name", None))


def _keyed_part(index: int, keys: Any, values: Any, how: str) -> tuple[Any, tuple[Any, ...]]:
    """One partition's keys (a pandas Index) and the dumped states of their groups."""
    import pandas as pd

    from . import _groupby

    _check_same_rows(index, (keys, values))
    grouping = _groupby.grouping(values.groupby(pd.Index(keys)))  # keys' own dtype, paired by position
    read = accept(values, _label(values))
    states = _groupby.group_states(read, grouping.codes, len(grouping.labels), {how})
    return grouping.labels, states.dump()


def _keyed_merge(*pieces: tuple[Any, tuple[Any, ...]]) -> tuple[Any, tuple[Any, ...]]:
    """The union of the pieces' keys, each key's states merged exactly."""
    from . import _groupby

    keys = pieces[0][0].append([k for k, _ in pieces[1:]]).unique()
    placed = [(_groupby.GroupStates.load(dumped), keys.get_indexer(k)) for k, dumped in pieces]
    return keys, _groupby.merge(placed, len(keys)).dump()


def _keyed_series(merged: tuple[Any, tuple[Any, ...]], how: str, dtype: Any, key_name: Any, name: Any) -> pd.Series:
    import pandas as pd

    from . import _groupby

    keys, dumped = merged
    order = np.asarray(keys.argsort())  # sorted by key, as pandas sorts its groups
    states = _groupby.GroupStates.load(dumped).take(order)
    values = _groupby.answer(states, how, dtype, ddof=1)
    return pd.Series(values, index=keys[order].rename(key_name), name=name)
