"""The Dask integration under its original name; it lives in ``tallix_companion.dask``."""

import tallix_companion  # registers the picklers, as importing the package does
from tallix_companion.dask import (
    Reduction,
    Target,
    plan,
    reduce,
    reduce_many,
    supported,
    target,
)

__version__ = tallix_companion.__version__

__all__ = ["Target", "Reduction", "target", "plan", "reduce", "reduce_many", "supported"]
