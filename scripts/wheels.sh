#!/usr/bin/env bash
# Builds the Python package's wheels offline with Debian's python3-build and
# python3-wheel, into build/wheels/ (or --out DIR):
#   velmor-<version>-py3-none-any.whl           pure Python; finds the library on the system
#   velmor-<version>-py3-none-linux_x86_64.whl  with libvelmor.so (needs the system's libusb-1.0)
#   velmor-<version>-py3-none-win_amd64.whl     with velmor.dll and libusb-1.0.dll
#
# Usage: bash scripts/wheels.sh [--pure] [--linux LIBRARY] [--windows BIN_DIR]
#                               [--check VELMOR_SIM] [--out DIR]
#   --pure            the pure wheel
#   --linux LIBRARY   the Linux wheel around this libvelmor.so (e.g. build/test/velmor/libvelmor.so)
#   --windows BIN_DIR the Windows wheel around BIN_DIR/velmor.dll and BIN_DIR/libusb-1.0.dll
#   --check VELMOR_SIM installs the Linux wheel into a fresh virtual environment
#                     (Debian's numpy visible) and measures two simulated
#                     spectrometers through it, under this velmor-sim
# Without options: --pure only.
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON=/usr/bin/python3
out="$VELMOR_ROOT/build/wheels"
pure=0 linux_library="" windows_bin="" simulator=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --pure) pure=1 ;;
    --linux) linux_library="$2"; shift ;;
    --windows) windows_bin="$2"; shift ;;
    --check) simulator="$2"; shift ;;
    --out) out="$2"; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "wheels.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$linux_library$windows_bin$simulator" ] || pure=1
[ -z "$simulator" ] || [ -n "$linux_library" ] || { echo "wheels.sh: --check needs --linux" >&2; exit 2; }
mkdir -p "$out"
out="$(cd "$out" && pwd)"
version="$(sed -nE 's/^__version__ = "([^"]+)".*/\1/p' "$VELMOR_ROOT/python/velmor/__init__.py")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# build_wheel <platform tag or ""> [library files...]: the package is built
# from a copy, so neither the source tree nor an earlier wheel's library
# leaks into the wheel.
build_wheel() {
  local platform="$1" stage="$work/stage-${1:-any}"
  shift
  mkdir -p "$stage"
  cp "$VELMOR_ROOT/python/pyproject.toml" "$VELMOR_ROOT/python/setup.py" "$VELMOR_ROOT/python/README.md" "$stage/"
  cp -r "$VELMOR_ROOT/python/velmor" "$stage/velmor"
  find "$stage/velmor" \( -name __pycache__ -o -name '_installed.py' \) -prune -exec rm -rf {} +
  [ "$#" -eq 0 ] || cp -L "$@" "$stage/velmor/"
  VELMOR_WHEEL_PLATFORM="$platform" PYTHONDONTWRITEBYTECODE=1 \
    "$PYTHON" -m build --no-isolation --wheel --outdir "$out" "$stage" >"$work/build-${platform:-any}.log" 2>&1 ||
    { cat "$work/build-${platform:-any}.log" >&2; exit 1; }
  echo "wheel: $out/velmor-$version-py3-none-${platform:-any}.whl"
}

[ "$pure" -eq 0 ] || build_wheel ""
if [ -n "$linux_library" ]; then
  # The package finds libvelmor.so.0 (the library's soname) in its own
  # directory. Debug information stays out of the wheel.
  cp -L "$linux_library" "$work/libvelmor.so.0"
  strip --strip-debug "$work/libvelmor.so.0"
  build_wheel linux_x86_64 "$work/libvelmor.so.0"
fi
if [ -n "$windows_bin" ]; then
  build_wheel win_amd64 "$windows_bin/velmor.dll" "$windows_bin/libusb-1.0.dll"
fi

[ -n "$simulator" ] || exit 0
simulator="$(cd "$(dirname "$simulator")" && pwd)/$(basename "$simulator")"
echo "=== the Linux wheel in a fresh virtual environment, under velmor-sim ==="
"$PYTHON" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check \
  "$out/velmor-$version-py3-none-linux_x86_64.whl"
cat >"$work/check.py" <<'PY'
"""Measures every simulated device through the installed wheel's library."""
import os
import sys

import velmor

library = os.path.realpath(velmor.load_library()._name)
assert library.startswith(os.path.realpath(sys.prefix)), f"library from outside the environment: {library}"
assert velmor.__version__ == sys.argv[1], (velmor.__version__, sys.argv[1])
with velmor.Spectrometers() as bench:
    spectra = list(bench.measure(exposure_us=10000, count=3))
    assert len(bench.devices) == 2 and len(spectra) == 6, (len(bench.devices), len(spectra))
    assert all(s.counts.shape == s.wavelengths.shape and s.counts.max() > 0 for s in spectra)
print(f"wheel check: velmor {velmor.__version__} from {library}: {len(spectra)} spectra from 2 devices")
PY
(cd "$work" && env -u VELMOR_LIBRARY -u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 \
  "$simulator" --devices 2 --time-scale 100 -- "$work/venv/bin/python" "$work/check.py" "$version")
