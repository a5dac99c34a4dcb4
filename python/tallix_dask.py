"""The Dask integration under its original name; it lives in ``tallix_companion.dask``."""

import tallix_companion  # noqa: F401  registers the picklers, as importing the package does
from tallix_companion.dask import (
    Reduction,
    Target,
    plan,
    reduce,
    reduce_many,
    supported,
    target,
)

__all__ = ["Target", "Reduction", "target", "plan", "reduce", "reduce_many", "supported"]
