"""Exact reductions on pandas objects, with pandas' conventions.

Importing this module registers the ``.exact`` accessor on Series and
DataFrame::

    import tallix_companion.pandas
    df.exact.sum()                 # a Series indexed by column, like df.sum()
    s.exact.var()                  # ddof=1, NaN and pd.NA skipped
    df.exact.groupby("key").agg({"x": ["sum", "mean", "var"]})

Each reduction returns what the pandas one returns (``skipna``,
``min_count``, ``numeric_only``, ``ddof=1``, the result's dtype, NaN or pd.NA
where there is no answer, pandas' errors for bad arguments), with every
value the exact one rounded once to that dtype.  Integer sums are exact
integers at any width: where pandas' integer dtype cannot hold one (pandas
would wrap around) the result is an object array of Python ints.

Groups are formed by pandas itself, so keys are whatever ``DataFrame.groupby``
takes (labels, Series, arrays, lists of them, ``level=``; ``sort``,
``dropna`` and ``observed`` as in pandas); ``min``, ``max``, ``count``,
``first``, ``last`` and ``nunique`` need no arithmetic and are pandas' own.

Binary32 results (float32 columns) are the exact values rounded once to
binary32, sums, means, variances and standard deviations alike.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeAlias, TypeVar, cast, overload

import numpy as np
import pandas as pd
from pandas.api.types import is_object_dtype
from pandas.api.typing import SeriesGroupBy

import tallix

from . import _answers, _rolling
from . import _groupby as groups
from . import numpy as tnp
from ._accept import Accepted, accept, is_number_dtype

if TYPE_CHECKING:
    from pandas.api.typing import NAType

    # A Series' reductions answer in its dtype, as pandas' do: numpy scalars
    # (float32 included), Python numbers where pandas gives them (and an
    # integer sum beyond the dtype), pd.NA for a nullable column without one.
    _Sum: TypeAlias = np.number[Any] | float | int | NAType
    _Moment: TypeAlias = np.floating[Any] | float | NAType

__all__ = ["SeriesAccessor", "DataFrameAccessor", "ExactGroupBy", "ExactSeriesGroupBy", "groupby_agg"]

# Reductions that need no arithmetic: pandas' own answers are exact.
_DELEGATED = ("count", "min", "max", "first", "last", "nunique")
_NOT_GIVEN: Any = object()  # a keyword left to pandas' own default


def _keywords(how: str, skipna: Any, ddof: Any, min_count: Any) -> dict[str, Any]:
    """The keywords pandas' ``how`` takes, so that pandas checks them itself."""
    if how == "sum":
        return {"skipna": skipna, "min_count": min_count}
    if how == "mean":
        return {"skipna": skipna}
    return {"skipna": skipna, "ddof": ddof}


def _pandas_quietly(fn: Any, *args: Any, **kwargs: Any) -> Any:
    # pandas' float answers for the shape and dtype of the result only: their
    # overflow and too-few-values warnings say nothing about the exact ones.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fn(*args, **kwargs)


def _label(name: Any) -> str:
    return "a column" if name is None else f"column {name!r}"


# ---------------------------------------------------------------------------
# Series and DataFrame


_Frame = TypeVar("_Frame", pd.Series, pd.DataFrame)


class _Windows(Generic[_Frame]):
    """Exact rolling and expanding windows, for both accessors."""

    _obj: _Frame

    def rolling(
        self,
        window: Any,
        min_periods: int | None = None,
        center: bool = False,
        closed: str | None = None,
        step: int | None = None,
    ) -> _rolling.ExactRolling[_Frame]:
        """Exact rolling windows (of every column), as pandas' ``rolling`` takes them."""
        return _rolling.rolling(self._obj, window, min_periods, center, closed, step)

    def expanding(self, min_periods: int = 1) -> _rolling.ExactRolling[_Frame]:
        """Exact expanding windows (of every column)."""
        return _rolling.expanding(self._obj, min_periods)


@pd.api.extensions.register_series_accessor("exact")
class SeriesAccessor(_Windows[pd.Series]):
    """``s.exact``: exact ``sum``, ``mean``, ``var`` and ``std`` of a Series."""

    def __init__(self, obj: pd.Series) -> None:
        self._obj = obj

    def sum(self, *, skipna: bool = True, min_count: int = 0) -> _Sum:
        return self._reduce("sum", skipna, 0, min_count)

    def mean(self, *, skipna: bool = True) -> _Moment:
        return cast("_Moment", self._reduce("mean", skipna, 0, 0))

    def var(self, *, ddof: int = 1, skipna: bool = True) -> _Moment:
        return cast("_Moment", self._reduce("var", skipna, ddof, 0))

    def std(self, *, ddof: int = 1, skipna: bool = True) -> _Moment:
        return cast("_Moment", self._reduce("std", skipna, ddof, 0))

    def _reduce(self, how: str, skipna: bool, ddof: int, min_count: int) -> _Sum:
        s = self._obj
        read = accept(s, _label(s.name))
        dtype = read.values.dtype if is_object_dtype(s.dtype) else s.dtype
        model = _pandas_quietly(getattr(groups.sample(dtype), how), **_keywords(how, skipna, ddof, min_count))
        states = groups.column_states(read)
        out = groups.answer(states, how, np.asarray(model).dtype, ddof=ddof, min_count=min_count, skipna=skipna)
        undefined = groups.undefined_groups(states, how, ddof, min_count, skipna)[0]
        if undefined and _is_nullable(dtype):
            return pd.NA
        value: _Sum = out[0]
        if type(model) in (int, float) and isinstance(value, np.generic):
            return cast("float | int", value.item())  # pandas answers this dtype with a Python number
        return value


def _is_nullable(dtype: Any) -> bool:
    return getattr(dtype, "na_value", None) is pd.NA


@pd.api.extensions.register_dataframe_accessor("exact")
class DataFrameAccessor(_Windows[pd.DataFrame]):
    """``df.exact``: the same reductions per column (axis 0) or per row (axis 1)."""

    def __init__(self, obj: pd.DataFrame) -> None:
        self._obj = obj

    def sum(
        self, *, axis: int | str = 0, skipna: bool = True, numeric_only: bool = False, min_count: int = 0
    ) -> pd.Series:
        return self._reduce("sum", axis, skipna, numeric_only, 0, min_count)

    def mean(self, *, axis: int | str = 0, skipna: bool = True, numeric_only: bool = False) -> pd.Series:
        return self._reduce("mean", axis, skipna, numeric_only, 0, 0)

    def var(self, *, axis: int | str = 0, skipna: bool = True, ddof: int = 1, numeric_only: bool = False) -> pd.Series:
        return self._reduce("var", axis, skipna, numeric_only, ddof, 0)

    def std(self, *, axis: int | str = 0, skipna: bool = True, ddof: int = 1, numeric_only: bool = False) -> pd.Series:
        return self._reduce("std", axis, skipna, numeric_only, ddof, 0)

    def groupby(
        self,
        by: Any = None,
        level: Any = None,
        *,
        sort: bool = True,
        observed: bool = _NOT_GIVEN,
        dropna: bool = True,
    ) -> ExactGroupBy:
        """Groups as ``df.groupby`` forms them; the reductions are exact."""
        return ExactGroupBy(self._obj, by, level, sort=sort, observed=observed, dropna=dropna)

    def _reduce(
        self, how: str, axis: int | str, skipna: bool, numeric_only: bool, ddof: int, min_count: int
    ) -> pd.Series:
        frame = self._obj
        if axis is None:
            raise ValueError("axis=None (a reduction over every value) is not offered; use axis=0 or axis=1")
        if not numeric_only:
            _check_numbers(frame)
        # pandas' answer over the first rows: its checks of the arguments (and
        # its warnings), the columns it reduces and the dtype of the result.
        keywords = _keywords(how, skipna, ddof, min_count)
        model = _pandas_quietly(getattr(frame.iloc[:2], how), axis=axis, numeric_only=numeric_only, **keywords)
        positions = list(range(frame.shape[1]))
        if numeric_only:
            positions = [i for i in positions if pd.api.types.is_numeric_dtype(frame.dtypes.iloc[i])]
        if axis in (1, "columns"):
            answers = _rows(frame, positions, how, model.dtype, skipna, ddof, min_count)
            return pd.Series(answers, index=frame.index)
        if len(positions) != len(model):
            raise RuntimeError("pandas reduces other columns than this version expects")
        values, undefined = [], []
        binary32 = groups.is_binary32(model.dtype)
        for i in positions:
            label = _label(frame.columns[i])
            states = groups.column_states(accept(frame.iloc[:, i], label))
            values.append(_scalar(groups.group_values(states, how, ddof, binary32)[0]))
            undefined.append(bool(groups.undefined_groups(states, how, ddof, min_count, skipna)[0]))
        if is_object_dtype(model.dtype):  # columns of unlike dtypes: each keeps its own missing value
            nullable = [_is_nullable(frame.dtypes.iloc[i]) for i in positions]
            values = [
                (pd.NA if na else np.nan) if u else v for v, u, na in zip(values, undefined, nullable, strict=True)
            ]
            return pd.Series(values, index=model.index, dtype=object)
        out = groups.to_dtype(values, np.array(undefined, dtype=bool), model.dtype)
        return pd.Series(out, index=model.index)


def _scalar(value: Any) -> Any:
    """A numpy scalar as the Python number it holds, as pandas' object results hold them."""
    return value.item() if isinstance(value, np.generic) else value


def _check_numbers(frame: pd.DataFrame) -> None:
    """Refuse a column of dates, strings or the like before any work."""
    for i, dtype in enumerate(frame.dtypes):
        if not is_object_dtype(dtype) and not is_number_dtype(dtype):
            accept(frame.iloc[:0, i], _label(frame.columns[i]))  # raises its TypeError


# ---------------------------------------------------------------------------
# Rows


_EXACT_FLOAT_INTEGERS = 1 << 53


def _rows(
    frame: pd.DataFrame, positions: list[int], how: str, dtype: Any, skipna: bool, ddof: int, min_count: int
) -> Any:
    """Each row's exact ``how`` as an array of ``dtype``: one matrix, one call for all rows."""
    if _plain_floats(frame, positions):  # one float64 block: its rows as they lie, NaN for absent
        rows = tnp._Rows(frame.to_numpy(dtype=np.float64), 1, skip_nans=True)  # counts NaNs once
        undefined = _row_undefined(how, rows.counts, ddof, min_count)
        if not skipna:
            undefined |= rows.missing > 0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # rows without an answer are undefined
            if how == "sum":
                values = tnp._sum_of(rows, False, None, skip_nans=True)
            else:
                values = tnp._moment_of(rows, False, None, "nan" + how, None if how == "mean" else ddof)
        return groups.to_dtype(values, undefined, dtype)
    read = [accept(frame.iloc[:, i], _label(frame.columns[i])) for i in positions]
    absent = _absent(read, len(frame))
    present = (~absent).sum(axis=1)
    undefined = _row_undefined(how, present, ddof, min_count)
    if not skipna:
        undefined |= absent.any(axis=1)
    integers = _integer_matrix(read, absent, how)
    answers: Any
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # rows without an answer are undefined
        if integers is not None and how == "sum":
            answers = _answers.integer_sums(integers.filled(0))[0]  # exact ints, as pandas sums ints
        elif integers is not None:
            answers = _moment_rows(integers, how, ddof, skip_nans=False)
        else:
            matrix = _float_matrix(read, absent, how)
            if groups.is_binary32(dtype):
                answers = _binary32_rows(matrix, how, ddof)
            else:
                answers = (
                    tnp.nansum(matrix, axis=1) if how == "sum" else _moment_rows(matrix, how, ddof, skip_nans=True)
                )
    out = groups.to_dtype(answers, undefined, dtype)
    if is_object_dtype(dtype):  # unlike dtypes: pd.NA where a row misses a masked value, as pandas has it
        masked = np.column_stack([np.zeros(len(frame), bool) if r.skip is None else r.skip for r in read])
        out[undefined & masked.any(axis=1)] = pd.NA
    return out


def _plain_floats(frame: pd.DataFrame, positions: list[int]) -> bool:
    """Whether the rows are every column of the frame, each numpy float64."""
    return positions == list(range(frame.shape[1])) and all(
        isinstance(dtype, np.dtype) and dtype == np.float64 for dtype in frame.dtypes
    )


def _moment_rows(matrix: np.ndarray, how: str, ddof: int, skip_nans: bool) -> Any:
    if how == "mean":
        return (tnp.nanmean if skip_nans else tnp.mean)(matrix, axis=1)
    if how == "var":
        return (tnp.nanvar if skip_nans else tnp.var)(matrix, axis=1, ddof=ddof)
    return (tnp.nanstd if skip_nans else tnp.std)(matrix, axis=1, ddof=ddof)


def _absent(read: list[Accepted], rows: int) -> np.ndarray:
    columns = []
    for r in read:
        absent = np.zeros(rows, dtype=bool) if r.skip is None else r.skip.copy()
        if r.values.dtype.kind == "f":
            absent |= np.isnan(r.values)
        columns.append(absent)
    return np.column_stack(columns) if columns else np.zeros((rows, 0), dtype=bool)


def _row_undefined(how: str, present: np.ndarray, ddof: int, min_count: int) -> np.ndarray:
    if how == "sum":
        return np.asarray(present < min_count)
    if how == "mean":
        return np.asarray(present == 0)
    return np.asarray(present - ddof <= 0)


def _integer_matrix(read: list[Accepted], absent: np.ndarray, how: str) -> np.ma.MaskedArray | None:
    """The rows as one integer matrix, absent values masked, for sums (exact integers,
    as pandas sums integers) and for integers beyond 2^53; None for rows that are
    better read as float64, and where no one 64-bit integer dtype holds them all."""
    kinds = {r.values.dtype.kind for r in read}
    if not read or "f" in kinds:
        return None
    if how != "sum" and not any(_beyond_float(r.values, a) for r, a in zip(read, absent.T, strict=True)):
        return None  # every value is a float64: the float rows are faster
    signed = "i" in kinds
    if signed and "u" in kinds:
        fits_signed = all(r.values.dtype.kind != "u" or not (r.values > np.iinfo(np.int64).max).any() for r in read)
        if not fits_signed:
            return None  # negative and beyond 2^63: the float rows split them
    block = np.column_stack([r.values for r in read]).astype(np.int64 if signed else np.uint64)
    return np.ma.masked_array(block, mask=absent)


def _float_matrix(read: list[Accepted], absent: np.ndarray, how: str) -> np.ndarray:
    """The rows as float64 with NaN for absent values, every value exact.

    An integer beyond 2^53 is no float64; for a sum it is split into two that
    are (its high and its low 32 bits), which sum to it exactly.  A mean or a
    variance has no such split: such a row must hold integers only.
    """
    columns: list[np.ndarray] = []
    for k, r in enumerate(read):
        values = r.values
        if _beyond_float(values, absent[:, k]):
            if how != "sum":
                raise ValueError(
                    f"no exact {how} for rows that mix floats with integers beyond 2^53; convert "
                    f"the integer columns to float explicitly if rounding them is acceptable"
                )
            high = values >> 32 << 32
            columns += [_with_nan(high, absent[:, k]), _with_nan(values - high, absent[:, k])]
            continue
        columns.append(_with_nan(values, absent[:, k]))
    return np.column_stack(columns) if columns else np.zeros((absent.shape[0], 0))


def _beyond_float(values: np.ndarray, absent: np.ndarray) -> bool:
    """Whether a present value is an integer beyond 2^53, which no float64 holds exactly."""
    if values.dtype.kind not in "iu" or values.dtype.itemsize < 8:
        return False
    magnitude = values if values.dtype.kind == "u" else np.abs(values.astype(np.float64))
    return bool((magnitude[~absent] > _EXACT_FLOAT_INTEGERS).any())


def _with_nan(values: np.ndarray, absent: np.ndarray) -> np.ndarray:
    out = values.astype(np.float64)
    out[absent] = np.nan
    return out


def _binary32_rows(matrix: np.ndarray, how: str, ddof: int) -> np.ndarray:
    """Row answers rounded once to binary32 by the core. Squares of binary32 values
    always stay inside the range a state holds exactly, so no row needs bands."""
    out = np.zeros(len(matrix))
    if matrix.shape[1]:
        tallix._row_answers(f"nan{how}32", matrix, ddof, out)
    return out


# ---------------------------------------------------------------------------
# Groups


Func = Any  # a name, a list of names, or a dict from column to name(s)


class _Selection:
    """The pandas groupby, and the frame's columns (by position) it reduces."""

    def __init__(self, frame: pd.DataFrame, grouped: Any, positions: list[int] | None) -> None:
        self.frame = frame
        self.grouped = grouped
        self.positions = positions  # None: every column that is not a key
        self._grouping: groups.Grouping | None = None

    def grouping(self) -> groups.Grouping:
        if self._grouping is None:
            self._grouping = groups.grouping(self.grouped)
        return self._grouping

    def value_positions(self) -> list[int]:
        if self.positions is not None:
            return self.positions
        excluded = self.grouped.exclusions
        return [i for i, c in enumerate(self.frame.columns) if not _is_in(c, excluded)]

    def positions_of(self, label: Any) -> list[int]:
        """The positions of the columns that ``label`` names, within the selection."""
        columns = self.frame.columns
        try:
            found = columns.get_loc(label)
        except (KeyError, TypeError):
            raise KeyError(f"Column(s) [{label!r}] do not exist") from None
        every = np.arange(len(columns))[found].reshape(-1).tolist()
        return every if self.positions is None else [p for p in every if p in self.positions]


def _is_in(label: Any, labels: frozenset[Any]) -> bool:
    try:
        return label in labels
    except TypeError:  # an unhashable label names no key
        return False


class ExactGroupBy:
    """``df.exact.groupby(by)``: pandas' groups, exact ``sum``, ``mean``, ``var``, ``std``.

    ``agg`` takes what ``DataFrameGroupBy.agg`` takes for these names and for
    ``count``, ``min``, ``max``, ``first``, ``last``, ``nunique`` (a name, a
    list, a dict from column to name(s), or named aggregations such as
    ``total=("x", "sum")``); ``gb["x"]`` and ``gb[["x", "y"]]`` select columns.
    """

    def __init__(
        self,
        frame: pd.DataFrame,
        by: Any = None,
        level: Any = None,
        *,
        sort: bool = True,
        observed: bool = _NOT_GIVEN,
        dropna: bool = True,
    ) -> None:
        options = {"level": level, "sort": sort, "dropna": dropna}
        if observed is not _NOT_GIVEN:
            options["observed"] = observed
        self._pandas = frame.groupby(by, **options)
        self._sel = _Selection(frame, self._pandas, None)

    @classmethod
    def _selected(cls, pandas_grouped: Any, selection: _Selection) -> ExactGroupBy:
        chosen = cls.__new__(cls)
        chosen._pandas, chosen._sel = pandas_grouped, selection
        return chosen

    @overload
    def __getitem__(self, key: list[Any]) -> ExactGroupBy: ...
    @overload
    def __getitem__(self, key: Any) -> ExactGroupBy | ExactSeriesGroupBy: ...
    def __getitem__(self, key: Any) -> ExactGroupBy | ExactSeriesGroupBy:
        pandas_selected = self._pandas[key]
        labels = key if isinstance(key, list) else [key]
        positions = [p for label in labels for p in self._sel.positions_of(label)]
        selection = _Selection(self._sel.frame, self._sel.grouped, positions)
        if isinstance(pandas_selected, SeriesGroupBy):
            return ExactSeriesGroupBy(pandas_selected, selection)
        return ExactGroupBy._selected(pandas_selected, selection)

    def agg(self, func: Func = None, **named: Any) -> pd.DataFrame:
        outputs = _outputs(self._sel, func, named)
        model = _pandas_quietly(self._pandas.agg, func, **named)
        return _exact_frame(model, outputs, self._sel, ddof=1, min_count=0, skipna=True)

    aggregate = agg

    def sum(self, numeric_only: bool = False, min_count: int = 0, skipna: bool = True) -> pd.DataFrame:
        return self._reduce("sum", numeric_only, skipna, min_count=min_count)

    def mean(self, numeric_only: bool = False, skipna: bool = True) -> pd.DataFrame:
        return self._reduce("mean", numeric_only, skipna)

    def var(self, ddof: int = 1, numeric_only: bool = False, skipna: bool = True) -> pd.DataFrame:
        return self._reduce("var", numeric_only, skipna, ddof=ddof)

    def std(self, ddof: int = 1, numeric_only: bool = False, skipna: bool = True) -> pd.DataFrame:
        return self._reduce("std", numeric_only, skipna, ddof=ddof)

    def count(self) -> pd.DataFrame:
        result: pd.DataFrame = self._pandas.count()
        return result

    def min(self, *args: Any, **kwargs: Any) -> pd.DataFrame:
        result: pd.DataFrame = self._pandas.min(*args, **kwargs)
        return result

    def max(self, *args: Any, **kwargs: Any) -> pd.DataFrame:
        result: pd.DataFrame = self._pandas.max(*args, **kwargs)
        return result

    def _reduce(self, how: str, numeric_only: bool, skipna: bool, ddof: int = 1, min_count: int = 0) -> pd.DataFrame:
        keywords = {k: v for k, v in _keywords(how, skipna, ddof, min_count).items()}
        model = _pandas_quietly(getattr(self._pandas, how), numeric_only=numeric_only, **keywords)
        positions = self._sel.value_positions()
        if numeric_only:
            positions = [p for p in positions if pd.api.types.is_numeric_dtype(self._sel.frame.dtypes.iloc[p])]
        outputs = [(p, how) for p in positions]
        return _exact_frame(model, outputs, self._sel, ddof=ddof, min_count=min_count, skipna=skipna)


class ExactSeriesGroupBy:
    """``df.exact.groupby(by)["x"]``: one column's groups, as a pandas SeriesGroupBy reduces them."""

    def __init__(self, pandas_grouped: Any, selection: _Selection) -> None:
        self._pandas = pandas_grouped
        self._sel = selection
        (self._position,) = selection.value_positions()

    @overload
    def agg(self, func: str) -> pd.Series: ...
    @overload
    def agg(self, func: list[str] | tuple[str, ...] | None = None, **named: str) -> pd.DataFrame: ...
    def agg(self, func: Func = None, **named: Any) -> pd.Series | pd.DataFrame:
        model = _pandas_quietly(self._pandas.agg, func, **named)  # pandas refuses a dict here
        hows = [func] if isinstance(func, str) else list(func) if func is not None else list(named.values())
        for how in hows:
            _check_how(how)
        outputs = [(self._position, how) for how in hows]
        if isinstance(model, pd.Series):
            return _exact_series(model, outputs[0][1], self._sel, ddof=1, min_count=0, skipna=True)
        return _exact_frame(model, outputs, self._sel, ddof=1, min_count=0, skipna=True)

    aggregate = agg

    def sum(self, numeric_only: bool = False, min_count: int = 0, skipna: bool = True) -> pd.Series:
        model = _pandas_quietly(self._pandas.sum, numeric_only=numeric_only, min_count=min_count, skipna=skipna)
        return _exact_series(model, "sum", self._sel, ddof=1, min_count=min_count, skipna=skipna)

    def mean(self, numeric_only: bool = False, skipna: bool = True) -> pd.Series:
        model = _pandas_quietly(self._pandas.mean, numeric_only=numeric_only, skipna=skipna)
        return _exact_series(model, "mean", self._sel, ddof=1, min_count=0, skipna=skipna)

    def var(self, ddof: int = 1, numeric_only: bool = False, skipna: bool = True) -> pd.Series:
        model = _pandas_quietly(self._pandas.var, ddof=ddof, numeric_only=numeric_only, skipna=skipna)
        return _exact_series(model, "var", self._sel, ddof=ddof, min_count=0, skipna=skipna)

    def std(self, ddof: int = 1, numeric_only: bool = False, skipna: bool = True) -> pd.Series:
        model = _pandas_quietly(self._pandas.std, ddof=ddof, numeric_only=numeric_only, skipna=skipna)
        return _exact_series(model, "std", self._sel, ddof=ddof, min_count=0, skipna=skipna)

    def count(self) -> pd.Series:
        result: pd.Series = self._pandas.count()
        return result

    def min(self, *args: Any, **kwargs: Any) -> pd.Series:
        result: pd.Series = self._pandas.min(*args, **kwargs)
        return result

    def max(self, *args: Any, **kwargs: Any) -> pd.Series:
        result: pd.Series = self._pandas.max(*args, **kwargs)
        return result


def groupby_agg(
    frame: pd.DataFrame,
    by: Any = None,
    func: Func = None,
    *,
    level: Any = None,
    sort: bool = True,
    observed: bool = _NOT_GIVEN,
    dropna: bool = True,
    **named: Any,
) -> pd.DataFrame:
    """What ``frame.groupby(by, ...).agg(func, **named)`` returns, every sum,
    mean, var (ddof 1) and std exact and rounded once to pandas' dtype."""
    return ExactGroupBy(frame, by, level, sort=sort, observed=observed, dropna=dropna).agg(func, **named)


def _check_how(how: Any) -> str:
    if not isinstance(how, str) or how not in (*groups.EXACT, *_DELEGATED):
        raise ValueError(
            f"cannot aggregate with {how!r} exactly; choose from {', '.join((*groups.EXACT, *_DELEGATED))}"
        )
    return how


def _outputs(sel: _Selection, func: Func, named: Mapping[str, Any]) -> list[tuple[int, str]]:
    """The (column position, reduction) behind each column of ``agg``'s result, in order."""
    if func is None:
        outputs = []
        for label, spec in named.items():
            column, how = spec  # pd.NamedAgg is a (column, aggfunc) pair
            positions = sel.positions_of(column)
            if len(positions) != 1:
                raise ValueError(f"named aggregation {label!r}: the column label {column!r} is not unique")
            outputs.append((positions[0], _check_how(how)))
        return outputs
    if isinstance(func, Mapping):
        return [
            (p, _check_how(how))
            for column, hows in func.items()
            for p in sel.positions_of(column)
            for how in ([hows] if isinstance(hows, str) else hows)
        ]
    hows = [func] if isinstance(func, str) else list(func)
    return [(p, _check_how(how)) for p in sel.value_positions() for how in hows]


def _exact_columns(
    model_dtypes: Sequence[Any], outputs: list[tuple[int, str]], sel: _Selection, **options: Any
) -> Iterator[tuple[int, Any]]:
    """(output position, exact values) for every output that needs arithmetic."""
    grouping = sel.grouping()
    wanted: dict[int, list[int]] = {}
    for j, (p, how) in enumerate(outputs):
        if how in groups.EXACT:
            wanted.setdefault(p, []).append(j)
    for p, js in wanted.items():
        label = _label(sel.frame.columns[p])
        read = accept(sel.frame.iloc[:, p], label)
        hows = {outputs[j][1] for j in js}
        states = groups.group_states(read, grouping.codes, len(grouping.labels), hows)
        for j in js:
            yield j, groups.answer(states, outputs[j][1], model_dtypes[j], **options)


def _exact_frame(model: pd.DataFrame, outputs: list[tuple[int, str]], sel: _Selection, **options: Any) -> pd.DataFrame:
    if model.shape[1] != len(outputs):
        raise RuntimeError("pandas' result has other columns than this version expects")
    for j, values in _exact_columns(list(model.dtypes), outputs, sel, **options):
        model.isetitem(j, values)
    return model


def _exact_series(model: pd.Series, how: str, sel: _Selection, **options: Any) -> pd.Series:
    outputs = [(sel.value_positions()[0], _check_how(how))]
    for _, values in _exact_columns([model.dtype], outputs, sel, **options):
        return pd.Series(values, index=model.index, name=model.name)
    return model
