"""Wheel set-up beside pyproject.toml (which holds the package's metadata).

Without VELMOR_WHEEL_PLATFORM this builds the pure-Python wheel, which finds
the library on the system. With it (e.g. ``linux_x86_64``, ``win_amd64``),
scripts/wheels.sh has put the library into the package directory first, and
the wheel is tagged for that platform (any Python 3: the package is ctypes,
no compiled extension).
"""

import os

from setuptools import setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # building an sdist needs no wheel package
    bdist_wheel = None

PLATFORM = os.environ.get("VELMOR_WHEEL_PLATFORM", "")

commands = {}
if PLATFORM and bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        """A wheel tagged py3-none-<platform>, installed as platform code."""

        def finalize_options(self) -> None:
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            return "py3", "none", PLATFORM

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands)
