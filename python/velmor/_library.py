"""Finding and loading the shared library.

Order: a path given to :func:`load_library`, then the ``VELMOR_LIBRARY``
environment variable, then the library installed beside the package, then the
system's loader. The first candidate that loads wins; when none does, the
error lists every candidate with the reason it failed.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Tuple, Union

from ._errors import LibraryNotFoundError

__all__ = ["load_library", "ENVIRONMENT_VARIABLE"]

ENVIRONMENT_VARIABLE = "VELMOR_LIBRARY"

_PACKAGE_DIR = Path(__file__).resolve().parent

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None
_declare: Optional[Callable[[ctypes.CDLL], None]] = None


def _file_names() -> Sequence[str]:
    """The library's file names on this platform, most specific first."""
    if sys.platform == "win32":
        return ("velmor.dll", "libvelmor.dll")
    if sys.platform == "darwin":
        return ("libvelmor.0.dylib", "libvelmor.dylib")
    return ("libvelmor.so.0", "libvelmor.so")


def _installed_location() -> Optional[Path]:
    """Where ``cmake --install`` put the library, relative to this package.

    The install step writes ``_installed.py`` with the path relative to the
    package directory, so an installed tree can be moved as a whole.
    """
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    return Path(os.path.normpath(_PACKAGE_DIR / _installed.LIBRARY_RELATIVE_PATH))


def _candidates(explicit: Optional[Union[str, os.PathLike]]) -> List[Tuple[str, str]]:
    """(how it was found, what to load) in the order they are tried."""
    found: List[Tuple[str, str]] = []
    if explicit is not None:
        found.append(("explicit path", os.fspath(explicit)))
    from_environment = os.environ.get(ENVIRONMENT_VARIABLE)
    if from_environment:
        found.append((f"${ENVIRONMENT_VARIABLE}", from_environment))
    installed = _installed_location()
    if installed is not None:
        found.append(("installed beside the package", str(installed)))
    for name in _file_names():
        found.append(("in the package directory", str(_PACKAGE_DIR / name)))
    for name in _file_names():
        found.append(("system loader", name))
    system_name = ctypes.util.find_library("velmor")
    if system_name:
        found.append(("system loader", system_name))
    return found


def _open(target: str) -> ctypes.CDLL:
    if sys.platform == "win32" and os.path.dirname(target):
        # libusb-1.0.dll ships beside velmor.dll.
        os.add_dll_directory(os.path.dirname(os.path.abspath(target)))
    return ctypes.CDLL(target)


def _first_loadable(explicit: Optional[Union[str, os.PathLike]]) -> ctypes.CDLL:
    failures = []
    for origin, target in _candidates(explicit):
        chosen = origin in ("explicit path", f"${ENVIRONMENT_VARIABLE}")
        if os.path.dirname(target) and not os.path.exists(target):
            failures.append(f"  {origin}: {target} (no such file)")
            if chosen:
                break
            continue
        try:
            return _open(target)
        except OSError as error:
            failures.append(f"  {origin}: {target} ({error})")
        if origin != "system loader":
            # A library that was chosen, or installed with the package, and
            # fails to load must not be replaced silently by another copy.
            break
    raise LibraryNotFoundError(
        "cannot load the velmor library; tried:\n" + "\n".join(failures)
        + f"\nSet {ENVIRONMENT_VARIABLE} to the library's path, or call velmor.load_library(path)."
    )


def _set_declarations(declare: Callable[[ctypes.CDLL], None]) -> None:
    """Registers the function that declares the C functions' types on a loaded library."""
    global _declare
    _declare = declare


def load_library(path: Optional[Union[str, os.PathLike]] = None) -> ctypes.CDLL:
    """Loads the velmor shared library, once per process, and returns it.

    Called without a path it searches: ``$VELMOR_LIBRARY``, the library
    installed beside the package, then the system's loader. Call it with a
    path before any other use of the package to choose a particular build.
    Calling it again after the library is loaded returns the loaded one, or
    raises :class:`velmor.Error` if ``path`` names another file.
    """
    global _loaded
    with _lock:
        if _loaded is not None:
            if path is not None and not _same_file(_loaded, path):
                raise LibraryNotFoundError(
                    f"the velmor library is already loaded from {_loaded._name}; "
                    f"cannot switch to {os.fspath(path)}"
                )
            return _loaded
        library = _first_loadable(path)
        if _declare is not None:
            _declare(library)
        _loaded = library
        return library


def _same_file(library: ctypes.CDLL, path: Union[str, os.PathLike]) -> bool:
    try:
        return os.path.samefile(library._name, path)
    except OSError:
        return False
