"""velmora: the master side of a Fail Safe over EtherCAT (FSoE) connection.

All behaviour lives in the compiled core, ``velmora._core``; this file re-exports it, with
the history files of ``velmora.history``. The slave simulator is in ``velmora.sim``.
"""
import typing as _typing

from . import _core
from ._core import *  # noqa: F401,F403
from ._core import __version__ as __version__
from ._core import _log_check_crc as _log_check_crc
from ._core import _log_generate_crc as _log_generate_crc
from ._core import _log_transition as _log_transition
from .history import read_history as read_history
from .history import write_history as write_history

DICTIONARY_VALUE_TYPES = _typing.Union[float, int, bool]

# The simulator is a separate face of the package: velmora.sim.
_SIM_NAMES = ("SlaveSimulator", "SlaveEvent")
for _name in _SIM_NAMES:
    globals().pop(_name, None)

# Only names this module really holds (private benchmark hooks of _core stay out).
__all__ = [
    name
    for name in dir(_core)
    if not name.startswith("__") and name not in _SIM_NAMES and name in globals()
] + ["DICTIONARY_VALUE_TYPES", "__version__", "read_history", "write_history"]
