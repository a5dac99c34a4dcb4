"""Pure-Python companion to the tallix extension module.

Importing it registers picklers for the tallix states (see ``pickling``);
``tallix_companion.dask`` reduces Dask collections into exact states.
"""

from importlib import metadata as _metadata

from . import pickling as _pickling

try:
    __version__ = _metadata.version("tallix")
except _metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

_pickling.register()
