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
export PATH="$build/tools/velmor:$build/tools/velmor-sim:$build/examples/demo:$PATH"
# The Python example uses the package from the source tree with this build's library.
export VELMOR_ROOT VELMOR_PYTHON=/usr/bin/python3 VELMOR_LIBRARY="$build/velmor/libvelmor.so"
export PYTHONPATH="$VELMOR_ROOT/python${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
velmor-sim --devices 2 --time-scale 5 -- bash "$VELMOR_ROOT/scripts/demo-session.sh"
# The live view: a few seconds of two simulated spectrometers in headless
# Chromium, saved as out/view.png.
(cd "$VELMOR_ROOT/tests/browser" && { [ -d node_modules/puppeteer-core ] ||
  npm ci --prefer-offline --no-audit --no-fund --loglevel=error; })
velmor-sim --devices 2 -- bash -c '
  velmor view --port 0 --log view.log > view-address.txt &
  view=$!
  for _ in $(seq 100); do [ -s view-address.txt ] || ! kill -0 "$view" 2>/dev/null && break; sleep 0.2; done
  # The browser needs no simulated USB.
  env -u LD_PRELOAD -u UMOCKDEV_DIR node "$0/tests/browser/screenshot.mjs" "$(head -n 1 view-address.txt)" view.png
  kill -INT "$view"
  wait "$view"' "$VELMOR_ROOT"
rm -f view-address.txt
echo "Live view: $out/view.png"
