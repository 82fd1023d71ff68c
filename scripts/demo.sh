#!/usr/bin/env bash
# The main job: builds everything, starts two simulated spectrometers with
# velmor-sim and works with them through the library (velmor-demo) and the
# command-line tool (velmor): list, measure, dark spectrum, batch, CSV files
# and SVG charts. No hardware, and no root needed to run.
# Usage: bash scripts/demo.sh   (as root, or with sudo for apt-get)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages

build="$VELMOR_ROOT/build/demo"
configure_and_build "$build" -DVELMOR_BUILD_TESTS=OFF
out="$VELMOR_ROOT/out"
rm -rf "$out"
mkdir -p "$out"
cd "$out"
export PATH="$build/tools/velmor:$build/tools/velmor-sim:$build/tools/demo:$PATH"
# The Python example uses the package from the source tree with this build's library.
export VELMOR_ROOT VELMOR_PYTHON=/usr/bin/python3 VELMOR_LIBRARY="$build/velmor/libvelmor.so"
export PYTHONPATH="$VELMOR_ROOT/python${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
velmor-sim --devices 2 --time-scale 5 -- bash "$VELMOR_ROOT/scripts/demo-session.sh"
