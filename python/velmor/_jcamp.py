"""JCAMP-DX 5.01 for exchanging single spectra with other spectroscopy software.

The pixels of a spectrometer are not evenly spaced in wavelength, so the
data go as (X, Y) pairs under ``##XYPOINTS=(XY..XY)``, every measured
wavelength as it is, never resampled onto an even grid. The metadata go in
labelled fields: the standard ones, and ``##$`` fields for the rest.
"""

from __future__ import annotations

import math
import os
import re
import time
from typing import Iterable, List, Mapping, Tuple, Union

import numpy as np

__all__ = ["jcamp_text", "write_jcamp"]

_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def _one_line(value: object) -> str:
    """A label's value stays on its line and starts no label of its own."""
    return _CONTROL.sub(" ", str(value)).replace("##", "# ")


def _number(value: float) -> str:
    """The shortest text that reads back as the same float32; "?" (the mark
    for a missing value) for what is not a number."""
    if not math.isfinite(value):
        return "?"
    return np.format_float_positional(np.float32(value), unique=True, trim="-")


def _utc_long_date(seconds: float) -> str:
    milliseconds = int(round((seconds % 1) * 1000)) % 1000
    return time.strftime("%Y/%m/%d %H:%M:%S", time.gmtime(seconds)) + f".{milliseconds:03d} +0000"


def jcamp_text(wavelengths: np.ndarray, values: np.ndarray, *, title: str, taken_at: float,
               spectrometer: str, fields: Mapping[str, object]) -> str:
    """The JCAMP-DX 5.01 text of one spectrum.

    ``wavelengths`` in nm and ``values`` pair up pixel by pixel; ``taken_at``
    is seconds since 1970-01-01 UTC; ``fields`` become ``##$<NAME>=<value>``
    labels. Raises ValueError when the two arrays differ in length.
    """
    x = np.asarray(wavelengths, dtype=np.float32).ravel()
    y = np.asarray(values, dtype=np.float32).ravel()
    if x.size != y.size:
        raise ValueError(f"{x.size} wavelengths for {y.size} values")
    labels: List[Tuple[str, object]] = [
        ("TITLE", title),
        ("JCAMP-DX", "5.01"),
        ("DATA TYPE", "UV/VIS SPECTRUM"),
        ("DATA CLASS", "XYPOINTS"),
        ("ORIGIN", "velmor (Python)"),
        ("OWNER", ""),
        ("LONGDATE", _utc_long_date(taken_at)),
        ("SPECTROMETER/DATA SYSTEM", spectrometer),
        *((f"${name}", value) for name, value in fields.items()),
        ("XUNITS", "NANOMETERS"),
        ("YUNITS", "ARBITRARY UNITS"),
        ("XFACTOR", 1),
        ("YFACTOR", 1),
    ]
    if x.size:
        labels += [("FIRSTX", _number(x[0])), ("LASTX", _number(x[-1])),
                   ("MINX", _number(np.nanmin(x))), ("MAXX", _number(np.nanmax(x)))]
    finite = y[np.isfinite(y)]
    if finite.size:
        labels += [("MINY", _number(finite.min())), ("MAXY", _number(finite.max()))]
    labels += [("NPOINTS", x.size), ("XYPOINTS", "(XY..XY)")]
    lines: Iterable[str] = [f"##{label}={_one_line(value)}" for label, value in labels]
    pairs = (f"{_number(a)}, {_number(b)}" for a, b in zip(x.tolist(), y.tolist()))
    return "\r\n".join([*lines, *pairs, "##END="]) + "\r\n"


def write_jcamp(path: Union[str, "os.PathLike[str]"], text: str) -> None:
    """Writes the text of :func:`jcamp_text` to ``path`` (replacing it)."""
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)
