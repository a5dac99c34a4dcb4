"""Reduce Spark DataFrames into exact tallix states.

Whole columns, in one pass over each partition::

    from tallix_companion import spark as ts
    m = ts.reduce(tallix.MomentsF64, df, "price")                 # one column
    c = ts.reduce(tallix.CovF64, df, "x", "y")                    # pairs
    r = ts.reduce(tallix.CovMatrixF64, df, "x0", "x1", "y")       # feature rows, then y
    states = ts.reduce_many(df, {"s": ts.target(tallix.SumF64, "amount"), ...})

Each partition receives its rows as Arrow record batches (``mapInArrow``) and
feeds them, converted to numpy without copying, through the class's batch
``extend``: no Python loop over rows.  Each partition sends back only the
state's documented bytes, which the driver merges.  Every merge is exact, so
the state is bit for bit the one a single process builds from all the rows,
whatever the partitioning and the row order.

Per group, as columns for ``df.groupBy(k).agg(...)``::

    df.groupBy("region").agg(ts.exact_sum("amount"), ts.exact_mean("amount"),
                             ts.exact_variance("amount"), ts.exact_state(tallix.MomentsF64, "amount"))

Nulls are skipped as Spark's own ``sum`` and ``avg`` skip them; a state over
several columns (pairs, rows, keyed) skips every row in which any of its
columns is null.  NaN is a value, as it is for Spark.  Columns must be
boolean, integer or floating point; any other Spark type (strings, decimals,
dates, timestamps, ...) raises TypeError naming it: cast explicitly if a
number is what you mean.  A long that float64 cannot hold exactly raises
ValueError instead of being rounded.  ``reduce`` and ``reduce_many`` check
types before any job starts and raise a worker's refusal as the TypeError or
ValueError it was; the grouped aggregates refuse inside the query, where
Spark reports the worker's error as its PythonException.

The workers must import the same tallix as the driver: run them with the
driver's interpreter (``PYSPARK_PYTHON``).
"""

from __future__ import annotations

import contextlib
import importlib
import math
import re
import struct
import warnings
from typing import Any, Callable, Iterator, Mapping, Sequence

import numpy as np

import tallix

from . import _kinds
from ._kinds import KINDS as _KINDS
from ._kinds import Target, supported
from ._kinds import kind_name as _kind_name

__all__ = [
    "Target",
    "target",
    "supported",
    "reduce",
    "reduce_many",
    "exact_sum",
    "exact_mean",
    "exact_variance",
    "exact_var_pop",
    "exact_state",
    "merged_state",
    "load",
]


# One state of a pass: its class name, the indices of its columns in the
# selected frame, its constructor arguments.
_Step = tuple[str, tuple[int, ...], tuple[Any, ...]]


def target(cls: Any, *columns: str, edges: Sequence[float] | None = None) -> Target:
    """Describe a state to build from named columns.

    ``CovMatrixF64`` takes the feature columns followed by the response column;
    ``HistogramF64`` needs ``edges``; keyed maps take the (string) key column first.
    """
    t = _kinds.target(cls, columns, edges)
    if not all(isinstance(c, str) for c in columns):
        raise TypeError("columns are given by name (str)")
    return t


# ---------------------------------------------------------------------------
# States and their bytes.


def _make(name: str, args: tuple[Any, ...]) -> Any:
    if name == "ReplicatedSum":
        return tallix.SumF64()  # the partition's own slot; numbered when it is sent
    cls = getattr(tallix, name)
    return cls(list(args[0])) if name == "HistogramF64" else cls(*args)


def _dump(name: str, state: Any) -> bytes:
    blob: bytes = getattr(state, _KINDS[name].dump)()
    return blob


def load(cls: Any, blob: bytes) -> Any:
    """Read back state bytes made by this module (for example by ``exact_state``)."""
    name = _kind_name(cls)
    return getattr(getattr(tallix, name), _KINDS[name].load)(bytes(blob))


def _replica(slot: Any, replica: int) -> bytes:
    """A ReplicatedSum holding one slot, built from its documented layout.

    The slot is filled through the batch method of SumF64 (the slot type);
    a replica that added nothing has no slot at all, as with ``add``.
    """
    if slot.count() == 0:
        return struct.pack("<I", 0)
    body: bytes = slot.to_bytes()
    return struct.pack("<IQI", 1, replica, len(body)) + body


def _merge_all(name: str, blobs: Sequence[bytes]) -> Any:
    acc = load(name, blobs[0])
    combine = getattr(acc, _KINDS[name].combine)
    for blob in blobs[1:]:
        combine(load(name, blob))
    return acc


# ---------------------------------------------------------------------------
# Arrow columns to numbers, inside the Python workers.

_EXACT_INTEGERS = 1 << 53  # odd parts below this fit a float64 significand


def _arrow(module: str = "pyarrow") -> Any:
    # Imported where the batches are, not with this module.  pyarrow ships no
    # type annotations, so its modules are typed as Any here, whatever the
    # installed version.
    return importlib.import_module(module)


def _is_number_type(arrow_type: Any) -> bool:
    pa = _arrow()
    t = pa.types
    return bool(t.is_boolean(arrow_type) or t.is_integer(arrow_type) or t.is_floating(arrow_type))


def _numbers(array: Any) -> np.ndarray:
    """A null-free Arrow column as numpy, zero-copy for every fixed-width number type."""
    if not _is_number_type(array.type):
        raise TypeError(
            f"a column has type {array.type}, not a number: tallix takes boolean, integer "
            f"and floating point columns; cast other columns explicitly first"
        )
    values: np.ndarray = array.to_numpy(zero_copy_only=not _is_bool(array))
    if values.dtype.kind in "iu" and values.dtype.itemsize == 8:
        _check_exact_integers(values)
    return values


def _is_bool(array: Any) -> bool:
    pa = _arrow()
    return bool(pa.types.is_boolean(array.type))  # bit-packed in Arrow: numpy needs a copy


def _check_exact_integers(values: np.ndarray) -> None:
    # An integer is a float64 exactly when its odd part fits the 53-bit
    # significand; only magnitudes above 2^53 need the division.  Unsigned
    # wrap-around gives |v| even for the most negative int64, and v & -v is
    # its lowest set bit.
    large = values[(values > _EXACT_INTEGERS) | (values < -_EXACT_INTEGERS)]
    if large.size == 0:
        return
    bits = large.view(np.uint64)
    magnitude = np.where(large < 0, np.uint64(0) - bits, bits)
    lowest = magnitude & (np.uint64(0) - magnitude)
    inexact = magnitude // lowest >= np.uint64(_EXACT_INTEGERS)
    if inexact.any():
        bad = large[np.argmax(inexact)]
        raise ValueError(
            f"{bad!s} has no exact float64 value (it would become {float(bad)!r}); "
            f"cast the column explicitly if rounding is acceptable"
        )


def _valid_rows(arrays: Sequence[Any]) -> list[Any]:
    """The rows in which every column holds a value: Spark's aggregates skip nulls."""
    pc = _arrow("pyarrow.compute")
    mask = None
    for a in arrays:
        if a.null_count:
            valid = pc.is_valid(a)
            mask = valid if mask is None else pc.and_(mask, valid)
    if mask is None:
        return list(arrays)
    return [pc.filter(a, mask) for a in arrays]


def _extend_arguments(name: str, arrays: Sequence[Any]) -> tuple[Any, ...]:
    """One batch of a state's columns as the arguments of the class's batch ``extend``."""
    arrays = _valid_rows([a.combine_chunks() if hasattr(a, "combine_chunks") else a
                          for a in arrays])
    if _KINDS[name].keyed:
        _check_keys(arrays[0])
        return arrays[0].to_pylist(), _numbers(arrays[1])
    if name == "CovMatrixF64":
        columns = [_numbers(a) for a in arrays]
        rows = np.empty((len(columns[-1]), len(columns) - 1))
        for j, column in enumerate(columns[:-1]):
            rows[:, j] = column  # each column checked exact above
        return rows, columns[-1]
    return tuple(_numbers(a) for a in arrays)


def _layout(name: str) -> str:
    # States that take the same columns in the same layout share one conversion.
    return "keyed" if _KINDS[name].keyed else "rows" if name == "CovMatrixF64" else "columns"


def _check_keys(array: Any) -> None:
    pa = _arrow()
    if not (pa.types.is_string(array.type) or pa.types.is_large_string(array.type)):
        raise TypeError(f"the key column has type {array.type}; keyed maps take string keys")


# ---------------------------------------------------------------------------
# Whole columns: one state per partition through mapInArrow, merged on the driver.

_NUMBER_TYPES = frozenset(
    ["BooleanType", "ByteType", "ShortType", "IntegerType", "LongType", "FloatType", "DoubleType"]
)
_KEY_TYPES = frozenset(["StringType", "VarcharType", "CharType"])


def _check_schema(df: Any, targets: Mapping[str, Target]) -> None:
    """Refuse missing columns and non-number types before any job starts."""
    types = {f.name: f.dataType for f in df.schema.fields}
    for t in targets.values():
        for i, column in enumerate(t.columns):
            if column not in types:
                raise ValueError(f"no such column in the dataframe: {column!r}")
            spark_type = types[column]
            is_key = _KINDS[t.kind].keyed and i == 0
            allowed = _KEY_TYPES if is_key else _NUMBER_TYPES
            if type(spark_type).__name__ not in allowed:
                what = "string keys" if is_key else "boolean, integer and floating point columns"
                raise TypeError(
                    f"column {column!r} has Spark type {spark_type.simpleString()}: "
                    f"{t.kind} takes {what}; cast it explicitly first"
                )


def _partition_builder(
    plan: Sequence[_Step], names: list[str]
) -> Callable[[Iterator[Any]], Iterator[Any]]:
    """The function each partition runs: Arrow batches in, one row of state bytes out."""

    def build(batches: Iterator[Any]) -> Iterator[Any]:
        pa = _arrow()
        states = [_make(kind, args) for kind, _, args in plan]
        for batch in batches:
            converted: dict[tuple[str, tuple[int, ...]], tuple[Any, ...]] = {}
            for (kind, refs, _), state in zip(plan, states):
                key = (_layout(kind), refs)
                if key not in converted:
                    converted[key] = _extend_arguments(kind, [batch.column(i) for i in refs])
                state.extend(*converted[key])
        blobs = [_finish(kind, state) for (kind, _, _), state in zip(plan, states)]
        yield pa.RecordBatch.from_arrays([pa.array([b], pa.binary()) for b in blobs], names)

    return build


def _finish(kind: str, state: Any) -> bytes:
    if kind == "ReplicatedSum":
        from pyspark import TaskContext

        context = TaskContext.get()
        if context is None:  # only a Spark task has a partition to number the replica by
            raise RuntimeError("a ReplicatedSum replica can only be built inside a Spark task")
        return _replica(state, context.partitionId())
    return _dump(kind, state)


def reduce_many(df: Any, targets: Mapping[str, Target]) -> dict[str, Any]:
    """Build several states in one pass over each partition of ``df``; returns them by name."""
    if not targets:
        raise ValueError("reduce_many() needs at least one target")
    for t in targets.values():
        _kind_name(t.kind)
    _check_schema(df, targets)
    columns = list(dict.fromkeys(c for t in targets.values() for c in t.columns))
    index = {c: i for i, c in enumerate(columns)}
    plan: tuple[_Step, ...] = tuple(
        (t.kind, tuple(index[c] for c in t.columns), t.args) for t in targets.values()
    )
    names = [f"s{i}" for i in range(len(plan))]
    schema = ", ".join(f"{n} binary" for n in names)
    selected = df.select(*(_quoted(c) for c in columns))
    with _worker_errors():
        # One small row per partition: the driver merges them, which also
        # works over Spark Connect (no RDDs there).
        rows = selected.mapInArrow(_partition_builder(plan, names), schema).collect()
    states: dict[str, Any] = {}
    for i, (name, (kind, _, args)) in enumerate(zip(targets, plan)):
        blobs = [bytes(row[i]) for row in rows] or [_dump(kind, _empty(kind, args))]
        states[name] = _merge_all(kind, blobs)
    return states


def _empty(kind: str, args: tuple[Any, ...]) -> Any:
    return tallix.ReplicatedSum() if kind == "ReplicatedSum" else _make(kind, args)


def _quoted(column: str) -> Any:
    from pyspark.sql import functions as F

    # Backticks keep dots and spaces in a name from being read as a path.
    return F.col("`" + column.replace("`", "``") + "`")


def reduce(cls: Any, df: Any, *columns: str, edges: Sequence[float] | None = None) -> Any:
    """Reduce columns of a Spark DataFrame into one tallix state.

    Give one column for the one-column accumulators, two for pairs (``CovF64``:
    x, y; ``WeightedMomentsF64``: x, w; the maps: key, x), and for
    ``CovMatrixF64`` the feature columns followed by the response.
    """
    return reduce_many(df, {"state": target(cls, *columns, edges=edges)})["state"]


_WORKER_REFUSAL = re.compile(r"^(TypeError|ValueError): (.*)$", re.M)


@contextlib.contextmanager
def _worker_errors() -> Iterator[None]:
    """Raise a refusal from a Python worker as the TypeError or ValueError it was.

    Spark wraps every worker exception in one PythonException whose text ends
    with the worker's traceback; the original type and message are on its
    last line.
    """
    try:
        yield
    except Exception as exc:
        found = _WORKER_REFUSAL.findall(str(exc))
        if type(exc).__name__ != "PythonException" or not found:
            raise
        error, message = found[-1]
        raise {"TypeError": TypeError, "ValueError": ValueError}[error](message) from exc


# ---------------------------------------------------------------------------
# Per group: aggregate columns for groupBy(...).agg(...).


def _group_state(name: str, args: tuple[Any, ...], arrays: Sequence[Any]) -> Any:
    state = _make(name, args)
    state.extend(*_extend_arguments(name, arrays))
    return state


def _aggregate(function: Any, name: str, return_type: str, *columns: Any) -> Any:
    from pyspark.sql.pandas import functions as arrow_functions

    # pyspark's annotations cover only the scalar kinds of arrow_udf, not the
    # grouped aggregate made here.
    arrow_udf: Any = arrow_functions.arrow_udf

    def aggregate(*arrays: Any) -> Any:
        return function(*arrays)

    aggregate.__name__ = name  # Spark names the result column name(columns)
    with warnings.catch_warnings():
        # Spark prefers the kind inferred from type hints; the kind is stated
        # here because the wrapped functions take any number of columns.
        warnings.simplefilter("ignore", UserWarning)
        udf = arrow_udf(aggregate, return_type, arrow_functions.ArrowUDFType.GROUPED_AGG)
    return udf(*(_quoted(c) if isinstance(c, str) else c for c in columns))


def _rounded(
    question: Callable[[], float], non_finite: Callable[[], float] = lambda: math.nan
) -> float:
    # Over NaN or infinities there is no finite answer; Spark's own
    # aggregates give NaN there (avg: the infinite or NaN sum over the count).
    try:
        return question()
    except ValueError as exc:
        if "NonFinite" in str(exc):
            return non_finite()
        raise


def _sum(xs: Any) -> float | None:
    state = _group_state("SumF64", (), [xs])
    return None if state.count() == 0 else state.value()


def _mean(xs: Any) -> float | None:
    state = _group_state("MomentsF64", (), [xs])
    if state.count() == 0:
        return None
    # With infinities the mean is the (infinite or NaN) sum over the count, as for avg.
    return _rounded(state.mean, lambda: _sum(xs) / state.count())


def _sample_variance(xs: Any) -> float | None:
    state = _group_state("MomentsF64", (), [xs])
    return None if state.count() < 2 else _rounded(state.sample_variance)


def _population_variance(xs: Any) -> float | None:
    state = _group_state("MomentsF64", (), [xs])
    return None if state.count() == 0 else _rounded(state.variance)


def exact_sum(column: Any) -> Any:
    """The correctly rounded sum per group (null where the group has no values), as ``sum``."""
    return _aggregate(_sum, "exact_sum", "double", column)


def exact_mean(column: Any) -> Any:
    """The correctly rounded mean per group (null where the group has no values), as ``avg``."""
    return _aggregate(_mean, "exact_mean", "double", column)


def exact_variance(column: Any) -> Any:
    """The correctly rounded sample variance per group (null below two values), as ``variance``."""
    return _aggregate(_sample_variance, "exact_variance", "double", column)


def exact_var_pop(column: Any) -> Any:
    """The correctly rounded population variance per group, as ``var_pop``."""
    return _aggregate(_population_variance, "exact_var_pop", "double", column)


def exact_state(cls: Any, *columns: Any, edges: Sequence[float] | None = None) -> Any:
    """The state's bytes per group, to merge later (``merged_state``) or read (``load``)."""
    t = target(cls, *(str(i) for i in range(len(columns))), edges=edges)
    if t.kind == "ReplicatedSum":
        raise TypeError("ReplicatedSum has no grouped form: a group is not a replica")

    def build(*arrays: Any) -> bytes:
        state = _group_state(t.kind, t.args, arrays)
        return _dump(t.kind, state)

    return _aggregate(build, t.kind, "binary", *columns)


def merged_state(cls: Any, column: Any) -> Any:
    """Merge a column of state bytes per group into one state's bytes."""
    name = _kind_name(cls)

    def merge(blobs: Any) -> bytes | None:
        present = [b for b in blobs.to_pylist() if b is not None]
        return _dump(name, _merge_all(name, present)) if present else None

    return _aggregate(merge, name, "binary", column)
