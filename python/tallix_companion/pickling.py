"""Pickling, copying and sending tallix states to other processes.

The classes of the extension module carry no pickling support of their own:
their documented bytes are their whole state.  ``register`` gives ``copyreg``
a reducer for each class, so that ``pickle``, ``copy``, ``multiprocessing``,
``concurrent.futures`` and Dask move a state as those bytes and rebuild it with
``from_bytes`` or ``decode``: the copy has the same bytes and the same receipt.

The rebuilding function lives in this module, so a process that unpickles a
state imports the companion, and with it the reducers, by itself.
"""

from __future__ import annotations

import copyreg
import pickle
from typing import Any, Callable, NoReturn

import tallix

from ._kinds import KINDS

__all__ = ["register", "restore"]

_DUMP = {name: kind.dump for name, kind in KINDS.items()}
_LOAD = {name: kind.load for name, kind in KINDS.items()}

# These keep intermediate state that no byte form can load back; pickling one
# says what travels instead.
_ALTERNATIVE = {
    "FastSumF64": "call .finish() to get a SumF64, which pickles",
    "DotF64": "send its value(), or keep the pairs and push them again",
    "DeltasSum": "send its value()",
}


def restore(class_name: str, blob: bytes) -> Any:
    """Rebuild a state of the tallix class ``class_name`` from its documented bytes."""
    load = _LOAD.get(class_name)
    if load is None:
        raise pickle.UnpicklingError(f"tallix has no class {class_name!r} with a byte form")
    return getattr(getattr(tallix, class_name), load)(blob)


def _reduce(state: Any) -> tuple[Callable[[str, bytes], Any], tuple[str, bytes]]:
    # The classes are final, so the exact type names the class.
    name = type(state).__name__
    return restore, (name, getattr(state, _DUMP[name])())


def _refuse(state: Any) -> NoReturn:
    name = type(state).__name__
    raise TypeError(f"{name} has no byte form to pickle; {_ALTERNATIVE[name]}")


def register() -> None:
    """Register the reducers of every tallix class with ``copyreg`` (idempotent)."""
    for name in _DUMP:
        copyreg.pickle(getattr(tallix, name), _reduce)
    for name in _ALTERNATIVE:
        copyreg.pickle(getattr(tallix, name), _refuse)
