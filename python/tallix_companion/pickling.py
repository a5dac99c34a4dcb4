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
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NoReturn

import tallix

from . import _kinds

if TYPE_CHECKING:
    from ._kinds import State

__all__ = ["register", "restore"]

# These keep intermediate state that no byte form can load back; pickling one
# says what travels instead.
_ALTERNATIVE = {
    "FastSumF64": "call .finish() to get a SumF64, which pickles",
    "DotF64": "send its value(), or keep the pairs and push them again",
    "DeltasSum": "send its value()",
}


def restore(class_name: str, blob: bytes) -> State:
    """Rebuild a state of the tallix class ``class_name`` from its documented bytes."""
    if class_name not in _kinds.KINDS:
        raise pickle.UnpicklingError(f"tallix has no class {class_name!r} with a byte form")
    return _kinds.load(class_name, blob)


def _reduce(state: State) -> tuple[Callable[[str, bytes], State], tuple[str, bytes]]:
    # The classes are final, so the exact type names the class.
    name = type(state).__name__
    return restore, (name, _kinds.dump(name, state))


def _refuse(state: Any) -> NoReturn:
    name = type(state).__name__
    raise TypeError(f"{name} has no byte form to pickle; {_ALTERNATIVE[name]}")


def register() -> None:
    """Register the reducers of every tallix class with ``copyreg`` (idempotent)."""
    for name in _kinds.KINDS:
        copyreg.pickle(getattr(tallix, name), _reduce)
    for name in _ALTERNATIVE:
        copyreg.pickle(getattr(tallix, name), _refuse)
