"""The library's diagnostic lines, handed to Python's ``logging``.

Every line goes to the logger ``velmor``, text byte for byte as the library
writes it, at the level of what it means:

==========  ==============================================================
Level       Lines
==========  ==============================================================
DEBUG       progress on the library's standard output (connection steps,
            polling, spectra read)
INFO        progress the library writes to standard error: the start line
            of each device's batch ("The current device number that is
            being started:...") and "No devices connected to stop
            measurement."
WARNING     failures on standard output (a dark spectrum or a clock
            setting that failed, a long wait) and every other line on
            standard error (a device that failed, a read that failed)
==========  ==============================================================

The library tags each line only with its stream, and a few lines sit on the
stream that does not fit their meaning; the table ``_LEVEL_BY_PREFIX`` names
those by the fixed start of their text. It decides the level and nothing
else: no behaviour of the package depends on a line's text.

The logger has a NullHandler, so nothing reaches the terminal until the
application configures logging, e.g. ``logging.basicConfig(level=logging.DEBUG)``.

This module imports nothing of the package's native boundary; ``_capi``
installs it when it loads the library.
"""

from __future__ import annotations

import ctypes
import logging
import threading
import time
from typing import Optional, Protocol, Tuple

logger = logging.getLogger("velmor")
logger.addHandler(logging.NullHandler())

# The C type of velmor_log_callback: (user, stream, line).
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p)

_ERROR_STREAM = 1
_DEFAULT_LEVEL = {0: logging.DEBUG, _ERROR_STREAM: logging.WARNING}
# (stream, fixed start of the line) -> level, for lines whose stream does not
# tell what they mean.
_LEVEL_BY_PREFIX = (
    (_ERROR_STREAM, "The current device number that is being started:", logging.INFO),
    (_ERROR_STREAM, "No devices connected to stop measurement.", logging.INFO),
    (0, "暗光谱采集命令发送失败", logging.WARNING),
    (0, "暗光谱采集超时", logging.WARNING),
    (0, "启用暗背景扣除失败", logging.WARNING),
    (0, "设备时间同步失败", logging.WARNING),
    (0, "设置增益失败", logging.WARNING),
    (0, "读取软件版本失败", logging.WARNING),
    (0, "[VLP] warn long-wait", logging.WARNING),
)


def level_of(stream: int, line: str) -> int:
    """The logging level of one library line (see the module's table)."""
    for prefix_stream, prefix, level in _LEVEL_BY_PREFIX:
        if stream == prefix_stream and line.startswith(prefix):
            return level
    return _DEFAULT_LEVEL.get(stream, logging.WARNING)


# A Ctrl-C that lands while this callback runs on the main thread (the
# library logs from inside a call the main thread made) must not be lost:
# it is kept here and raised again once that call has returned.
_interrupted = threading.Event()


def take_interrupt() -> bool:
    """True (once) if a Ctrl-C arrived inside a callback since the last look."""
    if _interrupted.is_set():
        _interrupted.clear()
        return True
    return False


def note_interrupt() -> None:
    """Keeps a KeyboardInterrupt caught inside a callback for take_interrupt."""
    _interrupted.set()


# The last line at WARNING or above and when it came (time.monotonic()):
# the detail a failure report can show beside the library's short message.
_last_warning: Tuple[float, str] = (0.0, "")


def last_warning_since(moment: float) -> Optional[str]:
    """The library's last WARNING line if it came after `moment` (time.monotonic())."""
    when, text = _last_warning
    return text if when >= moment and text else None


@LOG_CALLBACK
def _forward(user: int, stream: int, line: bytes) -> None:
    global _last_warning
    try:
        text = (line or b"").decode("utf-8", errors="replace")
        level = level_of(stream, text)
        if level >= logging.WARNING:
            _last_warning = (time.monotonic(), text)
        if logger.isEnabledFor(level):
            logger.log(level, "%s", text)
    except KeyboardInterrupt:
        note_interrupt()
    except BaseException:  # never unwind into the library
        pass


class _LogHandlerSetter(Protocol):
    def set_log_handler(self, callback: object) -> None: ...


def install(library: _LogHandlerSetter) -> None:
    """Routes the library's lines to the logger instead of the terminal."""
    library.set_log_handler(_forward)


def uninstall(library: _LogHandlerSetter) -> None:
    """Gives the lines back to the standard streams (before the interpreter goes)."""
    library.set_log_handler(LOG_CALLBACK())  # a NULL function pointer
