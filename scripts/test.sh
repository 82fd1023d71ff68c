#!/usr/bin/env bash
# Builds the project and runs the whole test suite against simulated
# spectrometers: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build, then a ThreadSanitizer build.
# Usage: bash scripts/test.sh   (as root, or with sudo for apt-get)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages

jobs="$(nproc)"
run_suite() {
  local name="$1" dir="$2"
  shift 2
  echo "=== $name ==="
  configure_and_build "$dir" "$@"
  ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" --timeout 300
}

run_suite "tests" "$VELMOR_ROOT/build/test"
run_suite "tests under AddressSanitizer and UndefinedBehaviorSanitizer" "$VELMOR_ROOT/build/asan" \
  -DVELMOR_SANITIZE=address
run_suite "tests under ThreadSanitizer" "$VELMOR_ROOT/build/tsan" \
  -DVELMOR_SANITIZE=thread
