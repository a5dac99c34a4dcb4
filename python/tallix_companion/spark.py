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

Per group with partial aggregation before the shuffle, for large groups::

    per_region = ts.group_reduce(df, "region", {"total": ("sum", "amount"), "avg": ("mean", "amount")})

Nulls are skipped as Spark's own ``sum`` and ``avg`` skip them; a state over
several columns (pairs, rows, keyed) skips every row in which any of its
columns is null.  NaN is a value, as it is for Spark.  Columns must be
boolean, integer or floating point; any other Spark type (strings, decimals,
dates, timestamps, ...) raises TypeError naming it: cast explicitly if a
number is what you mean.  A state refuses a long that float64 cannot hold
exactly (ValueError) instead of rounding it; the grouped sums, means and
variances of a long column are exact at any size.  ``reduce`` and
``reduce_many`` check types before any job starts and raise a worker's
refusal as the TypeError or ValueError it was; the grouped aggregates refuse
inside the query, where Spark reports the worker's error as its
PythonException.

The workers must import the same tallix as the driver: run them with the
driver's interpreter (``PYSPARK_PYTHON``).
"""

from __future__ import annotations

import contextlib
import importlib
import re
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, overload

import numpy as np

import tallix

from . import _answers, _kinds
from ._accept import accept
from ._kinds import KINDS as _KINDS
from ._kinds import Target, supported
from ._kinds import kind_name as _kind_name

if TYPE_CHECKING:
    from pyspark.sql import Column, DataFrame

    from ._kinds import State, StateT

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
    "group_reduce",
    "load",
]


# One state of a pass: its class name, the indices of its columns in the
# selected frame, its constructor arguments.
_Step = tuple[str, tuple[int, ...], tuple[Any, ...]]


def target(cls: type[State] | str, *columns: str, edges: Sequence[float] | None = None) -> Target:
    """Describe a state to build from named columns.

    ``CovMatrixF64`` takes the feature columns followed by the response column;
    ``HistogramF64`` needs ``edges``; keyed maps take the (string) key column first.
    """
    t = _kinds.target(cls, columns, edges)
    if not all(isinstance(c, str) for c in columns):
        raise TypeError("columns are given by name (str)")
    return t


@overload
def load(cls: type[StateT], blob: bytes) -> StateT: ...
@overload
def load(cls: str, blob: bytes) -> State: ...
def load(cls: type[Any] | str, blob: bytes) -> State:
    """Read back state bytes made by this module (for example by ``exact_state``)."""
    return _kinds.load(_kind_name(cls), blob)


# ---------------------------------------------------------------------------
# Arrow columns to numbers, inside the Python workers.


def _arrow(module: str = "pyarrow") -> Any:
    # Imported where the batches are, not with this module.  pyarrow ships no
    # type annotations, so its modules are typed as Any here, whatever the
    # installed version.
    return importlib.import_module(module)


# Where a grouped aggregate meets a column that is not a number, Spark names
# no column: the worker sees only the arrays.
_LABEL = "a column"


def _columns(name: str, arrays: Sequence[Any]) -> list[Any]:
    """One batch of a state's columns as its batch method takes them, without
    the rows in which any of them is null (Spark's aggregates skip nulls)."""
    keyed = _KINDS[name].keyed
    if keyed:
        _check_keys(arrays[0])
    read = [_kinds.read(a, _LABEL, keys=keyed and i == 0) for i, a in enumerate(arrays)]
    return _kinds.present([column for column, _ in read], [absent for _, absent in read])


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


def _partition_builder(plan: Sequence[_Step], names: list[str]) -> Callable[[Iterator[Any]], Iterator[Any]]:
    """The function each partition runs: Arrow batches in, one row of state bytes out."""

    def build(batches: Iterator[Any]) -> Iterator[Any]:
        pa = _arrow()
        replica = _partition_number() if any(kind == "ReplicatedSum" for kind, _, _ in plan) else 0
        states = [_kinds.make(kind, args, replica) for kind, _, args in plan]
        for batch in batches:
            # States over the same columns, read the same way, share one conversion.
            converted: dict[tuple[bool, tuple[int, ...]], list[Any]] = {}
            for (kind, refs, _), state in zip(plan, states, strict=True):
                key = (_KINDS[kind].keyed, refs)
                if key not in converted:
                    converted[key] = _columns(kind, [batch.column(i) for i in refs])
                _kinds.feed(kind, state, converted[key])
        blobs = [_kinds.dump(kind, state) for (kind, _, _), state in zip(plan, states, strict=True)]
        yield pa.RecordBatch.from_arrays([pa.array([b], pa.binary()) for b in blobs], names)

    return build


def _partition_number() -> int:
    """Each partition is its own replica of a ReplicatedSum, numbered by its partition."""
    from pyspark import TaskContext

    context = TaskContext.get()
    if context is None:  # only a Spark task has a partition to number the replica by
        raise RuntimeError("a ReplicatedSum replica can only be built inside a Spark task")
    return int(context.partitionId())


def reduce_many(df: Any, targets: Mapping[str, Target]) -> dict[str, State]:
    """Build several states in one pass over each partition of ``df``; returns them by name."""
    if not targets:
        raise ValueError("reduce_many() needs at least one target")
    for t in targets.values():
        _kind_name(t.kind)
    _check_schema(df, targets)
    columns = list(dict.fromkeys(c for t in targets.values() for c in t.columns))
    index = {c: i for i, c in enumerate(columns)}
    plan: tuple[_Step, ...] = tuple((t.kind, tuple(index[c] for c in t.columns), t.args) for t in targets.values())
    names = [f"s{i}" for i in range(len(plan))]
    schema = ", ".join(f"{n} binary" for n in names)
    selected = df.select(*(_quoted(c) for c in columns))
    with _worker_errors():
        # One small row per partition: the driver merges them, which also
        # works over Spark Connect (no RDDs there).
        rows = selected.mapInArrow(_partition_builder(plan, names), schema).collect()
    return {
        name: _kinds.merge_all(kind, [bytes(row[i]) for row in rows], args)
        for i, (name, (kind, _, args)) in enumerate(zip(targets, plan, strict=True))
    }


def _quoted(column: str) -> Column:
    from pyspark.sql import functions as F

    # Backticks keep dots and spaces in a name from being read as a path.
    return F.col("`" + column.replace("`", "``") + "`")


@overload
def reduce(cls: type[StateT], df: Any, *columns: str, edges: Sequence[float] | None = None) -> StateT: ...
@overload
def reduce(cls: str, df: Any, *columns: str, edges: Sequence[float] | None = None) -> State: ...
def reduce(cls: type[Any] | str, df: Any, *columns: str, edges: Sequence[float] | None = None) -> State:
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
    state = _kinds.make(name, args)
    _kinds.feed(name, state, _columns(name, arrays))
    return state


def _aggregate(function: Any, name: str, return_type: str, *columns: Any) -> Column:
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
    column: Column = udf(*(_quoted(c) if isinstance(c, str) else c for c in columns))
    return column


def _values(xs: Any) -> np.ndarray:
    """A group's values without its nulls; booleans as the integers 0 and 1."""
    values, absent = accept(xs, _LABEL)
    if absent is not None:
        values = values[~absent]
    return values.view(np.uint8) if values.dtype.kind == "b" else values


def _sum(xs: Any) -> float | None:
    values = _values(xs)
    if values.size == 0:
        return None
    if values.dtype.kind in "iu":  # an exact integer, rounded once to the double Spark shows
        return float(_answers.integer_sum(values))
    total = tallix.SumF64()
    total.extend(values)
    return total.value()


def _moment(what: str, ddof: int) -> Callable[[Any], float | None]:
    """A group's mean or variance, null where Spark's own aggregate is null
    (no values; for the sample variance, fewer than two)."""

    def answer(xs: Any) -> float | None:
        values = _values(xs)
        return None if values.size <= ddof else _answers.moments(values, what, ddof)

    return answer


def exact_sum(column: Any) -> Column:
    """The correctly rounded sum per group (null where the group has no values), as ``sum``."""
    return _aggregate(_sum, "exact_sum", "double", column)


def exact_mean(column: Any) -> Column:
    """The correctly rounded mean per group (null where the group has no values), as ``avg``."""
    return _aggregate(_moment("mean", 0), "exact_mean", "double", column)


def exact_variance(column: Any) -> Column:
    """The correctly rounded sample variance per group (null below two values), as ``variance``."""
    return _aggregate(_moment("var", 1), "exact_variance", "double", column)


def exact_var_pop(column: Any) -> Column:
    """The correctly rounded population variance per group, as ``var_pop``."""
    return _aggregate(_moment("var", 0), "exact_var_pop", "double", column)


def exact_state(cls: type[State] | str, *columns: Any, edges: Sequence[float] | None = None) -> Column:
    """The state's bytes per group, to merge later (``merged_state``) or read (``load``)."""
    t = target(cls, *(str(i) for i in range(len(columns))), edges=edges)
    if t.kind == "ReplicatedSum":
        raise TypeError("ReplicatedSum has no grouped form: a group is not a replica")

    def build(*arrays: Any) -> bytes:
        return _kinds.dump(t.kind, _group_state(t.kind, t.args, arrays))

    return _aggregate(build, t.kind, "binary", *columns)


def merged_state(cls: type[State] | str, column: Any) -> Column:
    """Merge a column of state bytes per group into one state's bytes."""
    name = _kind_name(cls)

    def merge(blobs: Any) -> bytes | None:
        present = [b for b in blobs.to_pylist() if b is not None]
        return _kinds.dump(name, _kinds.merge_all(name, present)) if present else None

    return _aggregate(merge, name, "binary", column)


# ---------------------------------------------------------------------------
# Per group, aggregated inside each partition before the shuffle.

# What each answer asks of the grouped states: the core's answer, its ddof,
# and the fewest values for which Spark's own aggregate is not null.
_GROUP_ANSWERS: dict[str, tuple[str, int, int]] = {
    "sum": ("sum", 0, 1),
    "mean": ("mean", 0, 1),
    "var": ("var", 1, 2),
    "var_pop": ("var", 0, 1),
    "std": ("std", 1, 2),
    "std_pop": ("std", 0, 1),
    "count": ("count", 0, 0),
}
_INTEGER_TYPES = _NUMBER_TYPES - {"FloatType", "DoubleType"}
# Spark groups by these as plain values; Arrow numbers them the same way.
_GROUP_KEY_TYPES = ("NumericType", "StringType", "CharType", "VarcharType", "BinaryType", "BooleanType", "DatetimeType")
# Rows are numbered and fed in chunks of about this many bytes of Arrow data
# (Spark's batches are small), and never fewer rows than the keys met so far,
# so that renumbering those keys costs no more than the chunk itself.
_CHUNK_BYTES = 1 << 23
_OUTPUT_ROWS = 1 << 16  # keys per batch sent on


class _GroupPlan(NamedTuple):
    keys: int  # key columns, first in the frame the partitions see
    columns: tuple[tuple[str, bool], ...]  # per value column: the states' kind, whether squares are kept
    answers: tuple[tuple[int, str], ...]  # per answer: its value column, what it names


def group_reduce(df: Any, keys: str | Sequence[str], targets: Mapping[str, tuple[str, str]]) -> DataFrame:
    """Exact aggregates per group, partially aggregated in each partition before the shuffle.

    ``targets`` maps each result column to ``(what, column)``, ``what`` being one of

    - ``"sum"``: the correctly rounded sum, as Spark's ``sum``
    - ``"mean"``: the mean, as ``avg``
    - ``"var"``, ``"std"``: the sample variance and standard deviation, as ``variance`` and ``stddev``
    - ``"var_pop"``, ``"std_pop"``: the population ones, as ``var_pop`` and ``stddev_pop``
    - ``"count"``: the values that are not null, as ``count``

    for example ``ts.group_reduce(df, ["region", "day"], {"total": ("sum", "x"), "v": ("var", "x")})``.
    Returns a DataFrame with the key columns and one column per target, like
    ``df.groupBy(keys).agg(...)``: doubles (a long column's sum too, rounded
    once from its exact integer sum), null where Spark's own aggregate is null
    (no values; fewer than two for the sample variance and deviation), and
    ``count`` a long.  Nulls are skipped, NaN is a value, and keys group as
    they do for Spark (nulls form a group, -0.0 is 0.0, NaN is one key).

    Each partition numbers the keys it meets and feeds its rows to exact
    grouped states in C++; only one row per key and partition, the keys and
    the states' bytes, is shuffled, and each reduce partition merges the rows
    of its keys and answers.  Memory is bounded by the keys of a partition,
    not by the size of a group.  For few rows per group, or mixed with Spark's
    own aggregates, ``groupBy(...).agg(ts.exact_sum(...), ...)`` does as well.
    """
    from pyspark.sql import functions as F
    from pyspark.sql import types as T

    key_names = [keys] if isinstance(keys, str) else list(keys)
    fields = {f.name: f for f in df.schema.fields}
    _check_group_keys(key_names, fields, targets)
    plan, values = _group_plan(len(key_names), targets, fields)
    key_fields = [T.StructField(f"k{i}", fields[k].dataType, fields[k].nullable) for i, k in enumerate(key_names)]
    state_fields = [T.StructField(f"s{j}", T.BinaryType(), False) for j in range(len(values))]
    answer_fields = [
        T.StructField(f"a{m}", T.LongType(), False) if what == "count" else T.StructField(f"a{m}", T.DoubleType())
        for m, (_, what) in enumerate(plan.answers)
    ]
    selected = df.select(
        *(_group_key(k, fields[k].dataType).alias(f"k{i}") for i, k in enumerate(key_names)),
        *(_quoted(c).alias(f"v{j}") for j, c in enumerate(values)),
    )
    state_schema = T.StructType(key_fields + state_fields)
    answer_schema = T.StructType(key_fields + answer_fields)
    states = selected.mapInArrow(_grouped(plan, _feed, _records, state_schema.names), state_schema)
    answers = states.repartition(*(F.col(f.name) for f in key_fields)).mapInArrow(
        _grouped(plan, _merge, _answered, answer_schema.names), answer_schema
    )
    result: DataFrame = answers.select(
        *(F.col(f"k{i}").alias(k) for i, k in enumerate(key_names)),
        *(F.col(f"a{m}").alias(name) for m, name in enumerate(targets)),
    )
    return result


def _check_group_keys(keys: Sequence[str], fields: Mapping[str, Any], targets: Mapping[str, Any]) -> None:
    if not keys:
        raise ValueError("group_reduce() needs at least one key column; reduce() answers whole columns")
    if not targets:
        raise ValueError("group_reduce() needs at least one target")
    for key in keys:
        if key not in fields:
            raise ValueError(f"no such column in the dataframe: {key!r}")
        spark_type = fields[key].dataType
        kinds = {c.__name__ for c in type(spark_type).__mro__}
        if kinds.isdisjoint(_GROUP_KEY_TYPES) or getattr(spark_type, "collation", "UTF8_BINARY") != "UTF8_BINARY":
            raise TypeError(
                f"key column {key!r} has Spark type {spark_type.simpleString()}: group_reduce groups by "
                "numbers, strings without a collation, binary, booleans, dates and times; cast it explicitly first"
            )
    clashes = set(keys) & set(targets)
    if clashes:
        raise ValueError(f"target names must differ from the key columns: {sorted(clashes)}")


def _group_plan(keys: int, targets: Mapping[str, Any], fields: Mapping[str, Any]) -> tuple[_GroupPlan, list[str]]:
    """The plan of the states, and the value columns they read (each once, whatever it is asked)."""
    asked: dict[str, set[str]] = {}
    for name, spec in targets.items():
        if not (isinstance(spec, tuple) and len(spec) == 2 and all(isinstance(s, str) for s in spec)):
            raise TypeError(f"target {name!r} must be a pair (what, column) of str, not {spec!r}")
        what, column = spec
        if what not in _GROUP_ANSWERS:
            raise ValueError(f"target {name!r} asks for {what!r}; group_reduce answers {', '.join(_GROUP_ANSWERS)}")
        if column not in fields:
            raise ValueError(f"no such column in the dataframe: {column!r}")
        spark_type = type(fields[column].dataType).__name__
        if spark_type not in _NUMBER_TYPES:
            raise TypeError(
                f"column {column!r} has Spark type {fields[column].dataType.simpleString()}: group_reduce takes "
                "boolean, integer and floating point columns; cast it explicitly first"
            )
        asked.setdefault(column, set()).add(what)
    values = list(asked)
    columns = tuple(
        (
            "int" if type(fields[c].dataType).__name__ in _INTEGER_TYPES else "float",
            not asked[c].isdisjoint({"var", "var_pop", "std", "std_pop"}),
        )
        for c in values
    )
    answers = tuple((values.index(column), what) for what, column in targets.values())
    return _GroupPlan(keys, columns, answers), values


def _group_key(name: str, spark_type: Any) -> Any:
    """A key column as Spark groups by it: its floats with one zero and one NaN.

    Spark's grouping makes -0.0 and 0.0 one key, and every NaN one key; the
    shuffle by key value and Arrow's numbering of the keys would not.
    """
    from pyspark.sql import functions as F

    column = _quoted(name)
    if type(spark_type).__name__ not in ("FloatType", "DoubleType"):
        return column
    normal = F.when(F.isnan(column), F.lit(float("nan"))).when(column == 0, F.lit(0.0)).otherwise(column)
    return normal.cast(spark_type)


# Inside the Python workers: the same pass serves both sides of the shuffle.
# The map side feeds rows and sends each key's state bytes; the reduce side
# merges those bytes per key and answers.


def _grouped(
    plan: _GroupPlan,
    absorb: Callable[[Any, np.ndarray, Any], None],
    emit: Callable[[_GroupPlan, list[Any]], list[Any]],
    names: list[str],
) -> Callable[[Iterator[Any]], Iterator[Any]]:
    """The function each partition runs: one output row per key it meets."""

    def run(batches: Iterator[Any]) -> Iterator[Any]:
        pa = _arrow()
        seen = _SeenKeys()
        groups: list[Any] = []
        for chunk in _chunks(batches, seen):
            codes = seen.codes(chunk[: plan.keys])
            groups = _grown(groups, plan, seen.count)
            for states, column in zip(groups, chunk[plan.keys :], strict=True):
                absorb(states, codes, column)
        if not seen.count:
            return
        columns = seen.columns + emit(plan, groups)
        for start in range(0, seen.count, _OUTPUT_ROWS):
            rows = [c[start : start + _OUTPUT_ROWS] for c in columns]
            yield pa.RecordBatch.from_arrays(
                [r if isinstance(r, pa.Array) else pa.array(r, pa.binary()) for r in rows], names
            )

    return run


def _feed(states: Any, codes: np.ndarray, column: Any) -> None:
    values, absent = accept(column, _LABEL)
    states.feed(codes, values, absent, False)  # NaN is a value, as it is for Spark


def _merge(states: Any, codes: np.ndarray, column: Any) -> None:
    states.merge_records(codes, column.to_pylist())


def _records(plan: _GroupPlan, groups: list[Any]) -> list[Any]:
    # Lists of bytes, made into Arrow arrays a batch at a time: one binary
    # array holds at most 2 GiB.
    return [states.records() for states in groups]


def _answered(plan: _GroupPlan, groups: list[Any]) -> list[Any]:
    """One Arrow column per answer: null where Spark's own aggregate is null."""
    pa = _arrow()
    count = groups[0].count
    values = []
    for states in groups:
        n, missing = np.empty(count, np.int64), np.empty(count, np.int64)
        states.counts(n, missing)
        values.append(n)
    columns = []
    for column, what in plan.answers:
        asked, ddof, fewest = _GROUP_ANSWERS[what]
        n = values[column]
        if what == "count":
            columns.append(pa.array(n))
            continue
        states = groups[column]
        if asked == "sum" and plan.columns[column][0] == "int":
            # An integer sum is exact at any width; a double rounds it once.
            out = np.fromiter(states.int_sums()[0], np.float64, count)
        else:
            out = np.empty(count)
            states.answer(asked, ddof, out)
        columns.append(pa.array(out, mask=n < fewest))
    return columns


def _grown(groups: list[Any], plan: _GroupPlan, count: int) -> list[Any]:
    """The states with room for ``count`` keys, holding what they held."""
    if groups and groups[0].count == count:
        return groups
    grown = [tallix._Groups(count, kind=kind, squares=squares) for kind, squares in plan.columns]
    for new, old in zip(grown, groups, strict=False):
        new.merge(old, np.arange(old.count))
    return grown


def _chunks(batches: Iterator[Any], seen: _SeenKeys) -> Iterator[list[Any]]:
    """Spark's Arrow batches joined into chunks, as lists of columns."""
    pa = _arrow()
    pending: list[Any] = []
    rows = size = 0
    for batch in batches:
        if batch.num_rows:
            pending.append(batch)
            rows, size = rows + batch.num_rows, size + batch.nbytes
        if pending and size >= _CHUNK_BYTES and rows >= seen.count:
            yield _joined(pa, pending)
            pending, rows, size = [], 0, 0
    if pending:
        yield _joined(pa, pending)


def _joined(pa: Any, batches: list[Any]) -> list[Any]:
    if len(batches) == 1:
        return list(batches[0].columns)
    return [pa.concat_arrays([b.column(i) for b in batches]) for i in range(batches[0].num_columns)]


class _SeenKeys:
    """The distinct keys one partition has met, numbered in order of first appearance.

    A chunk's rows are numbered together with the keys met before them, which
    come first: Arrow numbers values by first appearance, so the old keys keep
    their numbers and new ones follow.
    """

    def __init__(self) -> None:
        self.columns: list[Any] = []
        self.count = 0

    def codes(self, chunk: Sequence[Any]) -> np.ndarray:
        """Each row's key number."""
        pa = _arrow()
        both = list(chunk)
        if self.count:
            both = [pa.concat_arrays([old, new]) for old, new in zip(self.columns, chunk, strict=True)]
        codes = _first_appearance_codes(both)
        # A key is new where its number passes every number before it.
        firsts = np.flatnonzero(np.concatenate([[True], codes[1:] > np.maximum.accumulate(codes)[:-1]]))
        if len(firsts) > self.count:
            self.columns = [column.take(firsts) for column in both]
        rows = codes[self.count :]
        self.count = len(firsts)
        return rows


def _first_appearance_codes(columns: Sequence[Any]) -> np.ndarray:
    """Equal rows of the columns share a number; numbers follow first appearance."""
    pa, pc = _arrow(), _arrow("pyarrow.compute")

    def renumbered(codes: np.ndarray) -> np.ndarray:
        indices: np.ndarray = pc.dictionary_encode(pa.array(codes)).indices.to_numpy()
        return indices

    codes: np.ndarray | None = None
    for column in columns:
        # A null key is a key, as it is for Spark.
        encoded = pc.dictionary_encode(column, null_encoding="encode")
        index: np.ndarray = encoded.indices.to_numpy()
        width = len(encoded.dictionary)
        # Numbers below the row count each, so the pair stays within int64.
        codes = index if codes is None else renumbered(codes.astype(np.int64) * width + index)
    assert codes is not None
    return codes
