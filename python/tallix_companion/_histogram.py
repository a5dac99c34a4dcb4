"""numpy's histogram, counted by an exact histogram state."""

from __future__ import annotations

import builtins
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

import tallix

from ._accept import accept

__all__ = ["histogram"]

_BLOCK = 1 << 16  # values per copy taken to read -0.0 as +0.0: the copy stays small


def histogram(
    a: ArrayLike, bins: int | str | ArrayLike = 10, range: tuple[float, float] | None = None
) -> tuple[NDArray[np.intp], NDArray[Any]]:
    """numpy.histogram's counts and edges: the bins are half-open but the last
    is closed, -0.0 and 0.0 are one value, NaN is not counted, and neither are
    absent values (masked, pandas NA, Arrow nulls).  numpy's ``weights`` and
    ``density`` are not offered: weighted counts and densities are float
    arithmetic, not counting."""
    accepted = accept(a, "a")
    if accepted.skip is None:
        values = accepted.values.ravel(order="K")  # order does not matter to counts
    else:  # paired by position, not memory order, which may differ between the two
        values = accepted.values[~accepted.skip]
    edges = np.histogram_bin_edges(values, bins, range)
    counting = _counting_edges(edges)
    state = _state(counting)
    if counting is None or state is None:
        # numpy compares each value with each edge exactly: its counts are the
        # exact ones for edges that float64 cannot hold.
        counts: NDArray[np.intp] = np.histogram(values, edges)[0]
        return counts, edges
    for start in builtins.range(0, values.size, _BLOCK):
        state.extend(_without_negative_zero(values[start : start + _BLOCK]))
    counts = np.array(state.counts()[1:-1], dtype=np.intp)
    # The state's bins are all half-open; numpy closes the last one.  Both
    # sides read -0.0 as 0.0 here, so these are the values the state put above.
    counts[-1] += np.count_nonzero(values == counting[-1])
    return counts, edges


def _state(edges: NDArray[np.float64] | None) -> tallix.HistogramF64 | None:
    try:
        return None if edges is None else tallix.HistogramF64(edges)
    except ValueError:  # edges numpy takes but a histogram state does not (repeats, infinities)
        return None


def _counting_edges(edges: np.ndarray) -> NDArray[np.float64] | None:
    """The edges as float64, -0.0 read as 0.0, or None if float64 cannot hold one."""
    if edges.dtype.kind not in "fiu":
        return None
    with np.errstate(over="ignore"):  # long doubles beyond float64: refused just below
        as_float = _without_negative_zero(edges.astype(np.float64))
    if edges.dtype.kind == "f":
        exact = np.array_equal(as_float, edges, equal_nan=True)  # compared in the wider type
    else:
        exact = as_float.tolist() == edges.tolist()  # Python compares int with float exactly
    return as_float if exact else None


def _without_negative_zero(values: np.ndarray) -> np.ndarray:
    # The state orders -0.0 below 0.0; numpy, comparing with <, does not.
    # Adding +0.0 turns -0.0 into 0.0 and leaves every other value as it is.
    return values + 0.0 if values.dtype.kind == "f" else values
