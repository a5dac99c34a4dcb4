"""Feeding many exact states from one array: layouts, blocks and threads.

An axis reduction is seen as a 2-D view (kept, reduced): one state per kept
position, fed with its row.  ``tallix._extend_rows`` feeds every state from
one pass over the view, whatever its strides (rows that are not contiguous in
memory are read in cache-sized tiles), without the interpreter lock; so the
work is split across threads, each building its own states that are merged
exactly.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from itertools import pairwise
from typing import Any, NamedTuple

import numpy as np
from numpy.lib.array_utils import normalize_axis_tuple

import tallix

NAN_BLOCK = 1 << 14  # columns per block whose NaNs are replaced: the copy stays small
_SPLIT_MIN = 1 << 19  # values per thread below which a thread costs more than it saves
_NUMBER_KINDS = frozenset("fiub")


def default_workers() -> int:
    """Threads to use when ``workers`` is not given: OMP_NUM_THREADS, else the usable cores."""
    try:
        wanted = int(os.environ.get("OMP_NUM_THREADS", ""))
    except ValueError:
        wanted = 0
    if wanted > 0:
        return wanted
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # platforms without affinity masks
        return os.cpu_count() or 1


def resolve_workers(workers: int | None) -> int:
    """``workers`` as scipy.fft reads it: None is the default, -1 all cores, -2 all but one."""
    if workers is None:
        return default_workers()
    count = int(workers)
    if count < 0:
        count += (os.cpu_count() or 1) + 1
    if count <= 0:
        raise ValueError(f"workers must be a positive count or -1 for all cores, got {workers}")
    return count


def as_array(a: Any) -> np.ndarray:
    """``a`` as a numpy array without changing any value; pandas NA is refused."""
    dtype = getattr(a, "dtype", None)
    if dtype is not None and not isinstance(dtype, np.dtype) and hasattr(a, "to_numpy"):
        return _unmasked(a)
    return np.asarray(a)


def _unmasked(a: Any) -> np.ndarray:
    import pandas as pd

    if a.dtype.na_value is pd.NA and bool(np.asarray(a.isna()).any()):
        raise ValueError("the input contains missing values (pd.NA); drop or fill them first")
    values: np.ndarray = a.to_numpy(dtype=getattr(a.dtype, "numpy_dtype", None))
    return values


class Layout(NamedTuple):
    """A reduction seen as rows: ``view`` is (kept, reduced); results take ``shape``."""

    view: np.ndarray
    shape: tuple[int, ...]  # the result's shape without keepdims
    kept_shape: tuple[int, ...]  # the result's shape with keepdims


def normalize_axes(axis: int | Sequence[int], ndim: int) -> tuple[int, ...]:
    """numpy's reading of ``axis``, its errors included: a 0-d input takes axis 0 or -1."""
    if ndim == 0:
        normalize_axis_tuple(axis, 1)
        return ()
    return tuple(normalize_axis_tuple(axis, ndim))


def layout(arr: np.ndarray, axis: int | Sequence[int] | None) -> Layout:
    if axis is not None and arr.ndim == 0:
        normalize_axes(axis, 0)
        axis = None
    if axis is None:
        # Order does not matter to an exact sum: read the memory as it lies.
        view = arr.reshape(1, -1) if arr.ndim == 0 else arr.ravel(order="K").reshape(1, -1)
        return Layout(view, (), (1,) * arr.ndim)
    axes = normalize_axes(axis, arr.ndim)  # numpy's own errors for bad axes
    kept = [d for d in range(arr.ndim) if d not in axes]
    shape = tuple(arr.shape[d] for d in kept)
    kept_shape = tuple(1 if d in axes else n for d, n in enumerate(arr.shape))
    moved = arr.transpose(kept + list(axes))
    size = int(np.prod(shape, dtype=np.int64))
    reduced = int(np.prod([arr.shape[d] for d in axes], dtype=np.int64))
    return Layout(moved.reshape(size, reduced), shape, kept_shape)


def shape_result(values: np.ndarray, lay: Layout, keepdims: bool) -> Any:
    out = values.reshape(lay.kept_shape if keepdims else lay.shape)
    return out[()] if out.ndim == 0 else out


def nan_free(block: np.ndarray) -> np.ndarray:
    """The block with NaNs read as zeros, which add nothing to any power sum."""
    if block.dtype.kind != "f":
        return block
    mask = np.isnan(block)
    return np.where(mask, 0, block) if mask.any() else block


def nan_counts(view: np.ndarray) -> np.ndarray:
    """The NaNs of each row, counted only where the row's float sum is NaN: a NaN makes it so
    (as does inf - inf, and such a row counts 0)."""
    counts = np.zeros(view.shape[0], dtype=np.int64)
    if view.dtype.kind != "f" or view.size == 0:
        return counts
    with np.errstate(all="ignore"):
        flagged = np.flatnonzero(np.isnan(view.sum(axis=1)))
    if flagged.size:
        counts[flagged] = np.count_nonzero(np.isnan(view[flagged]), axis=1)
    return counts


Feed = Callable[..., None]


def build(
    views: Sequence[np.ndarray],
    make: Callable[[], Any],
    workers: int | None,
    skip_nans: bool = False,
) -> list[Any]:
    """One state per row of the (equally shaped) views, fed with the rows' values."""
    rows, cols = views[0].shape
    threads = min(resolve_workers(workers), max(1, rows * cols // _SPLIT_MIN))
    if threads == 1:
        return _build_part(views, make, (0, rows), (0, cols), skip_nans)
    if cols >= rows:  # split the reduced axis; merge the partial states
        pieces = [((0, rows), span) for span in _spans(cols, threads)]
    else:  # split the kept positions; each thread owns its states
        pieces = [(span, (0, cols)) for span in _spans(rows, threads)]

    def run(piece: tuple[tuple[int, int], tuple[int, int]]) -> list[Any]:
        return _build_part(views, make, piece[0], piece[1], skip_nans)

    # The calling thread takes the first piece itself: one thread fewer to start.
    with ThreadPoolExecutor(len(pieces) - 1) as pool:
        rest = pool.map(run, pieces[1:])
        parts = [run(pieces[0]), *rest]
    if cols < rows:
        return [s for part in parts for s in part]
    merged = parts[0]
    for part in parts[1:]:
        for state, other in zip(merged, part, strict=True):
            state.merge(other)
    return merged


def each_span(rows: int, cols: int, workers: int | None, run: Callable[[tuple[int, int]], None]) -> None:
    """``run`` over spans of the rows, split across threads when the work is worth it."""
    threads = min(resolve_workers(workers), max(1, rows * cols // _SPLIT_MIN))
    spans = _spans(rows, threads)
    if len(spans) == 1:
        run(spans[0])
        return
    with ThreadPoolExecutor(len(spans) - 1) as pool:
        rest = pool.map(run, spans[1:])
        run(spans[0])
        list(rest)


def _spans(n: int, pieces: int) -> list[tuple[int, int]]:
    bounds = [n * i // pieces for i in range(pieces + 1)]
    return [(lo, hi) for lo, hi in pairwise(bounds) if hi > lo]


def _build_part(
    views: Sequence[np.ndarray],
    make: Callable[[], Any],
    rows: tuple[int, int],
    cols: tuple[int, int],
    skip_nans: bool,
) -> list[Any]:
    states = [make() for _ in range(rows[1] - rows[0])]
    step = NAN_BLOCK if skip_nans else max(1, cols[1] - cols[0])
    for start in range(cols[0], cols[1], step):
        stop = min(start + step, cols[1])
        blocks = [v[rows[0] : rows[1], start:stop] for v in views]
        if skip_nans:
            blocks = [nan_free(b) for b in blocks]
        tallix._extend_rows(states, *blocks)
    return states
