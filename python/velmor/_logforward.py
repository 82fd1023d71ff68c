"""The library's diagnostic lines, handed to Python's ``logging``.

Progress lines (the library's standard output) are logged at DEBUG, error
lines (its standard error) at WARNING, on the logger ``velmor``, text byte
for byte as the library writes it. The logger has a NullHandler, so nothing
reaches the terminal until the application configures logging, e.g.
``logging.basicConfig(level=logging.DEBUG)``.
"""

from __future__ import annotations

import logging

from . import _capi

logger = logging.getLogger("velmor")
logger.addHandler(logging.NullHandler())

_ERROR_STREAM = 1


@_capi.LOG_CALLBACK
def _forward(user: int, stream: int, line: bytes) -> None:
    try:
        level = logging.WARNING if stream == _ERROR_STREAM else logging.DEBUG
        if logger.isEnabledFor(level):
            logger.log(level, "%s", _capi.text(line or b""))
    except BaseException:  # never unwind into the library
        pass


def install(library: "_capi.Library") -> None:
    """Routes the library's lines to the logger instead of the terminal."""
    library.set_log_handler(_forward)


def uninstall(library: "_capi.Library") -> None:
    """Gives the lines back to the standard streams (before the interpreter goes)."""
    library.set_log_handler(_capi.LOG_CALLBACK())  # a NULL function pointer
