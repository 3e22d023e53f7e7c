"""velmora: the master side of a Fail Safe over EtherCAT (FSoE) connection.

All behaviour lives in the compiled core, ``velmora._core``; this file re-exports it.
"""
import typing as _typing

from . import _core
from ._core import *  # noqa: F401,F403
from ._core import (  # noqa: F401
    __version__,
    _log_check_crc,
    _log_generate_crc,
    _log_transition,
)

DICTIONARY_VALUE_TYPES = _typing.Union[float, int, bool]

__all__ = [name for name in dir(_core) if not name.startswith("__")] + [
    "DICTIONARY_VALUE_TYPES",
    "__version__",
]
