#!/usr/bin/env bash
# The main job: builds the project and runs the demo on two simulated
# spectrometers behind the real libusb (no hardware, no root needed to run).
# Usage: bash scripts/demo.sh   (as root, or with sudo for apt-get)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages

build="$VELMOR_ROOT/build/demo"
configure_and_build "$build" -DVELMOR_BUILD_TESTS=OFF
mkdir -p "$VELMOR_ROOT/out"
cd "$VELMOR_ROOT/out"
umockdev-wrapper "$build/tools/demo/velmor-demo"
