#!/usr/bin/env bash
# Builds the project and runs the whole test suite against simulated
# spectrometers: a normal build (then the install check: the example host
# built against the installed package), an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build, a short run of
# each fuzzer, and the Windows DLL cross-build with its export check, the
# Windows zip and its MSVC-style import library check, and unit tests under
# wine. The documentation is built with warnings as errors and its coverage
# checked; the Python wheels are built and the Linux one measures under
# velmor-sim from a fresh virtual environment. The benchmarks are built, not
# run (see bench/README.md).
# The Python package's pytest suite runs under velmor-sim in the normal
# build's CTest run (python.package, python.unplug; about a minute).
# Every suite includes the fault suite and the soak (ctest label `soak`: 60 s
# of start/stop cycling in the normal build, 30 s under the sanitizers).
# Usage: bash scripts/test.sh   (as root, or with sudo for apt-get)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages

jobs="$(( $(nproc) + 1 ))"
# run_suite <title> <build dir> <ctest exclusion regex or ""> [cmake options...]
run_suite() {
  local title="$1" dir="$2" exclude="$3"
  shift 3
  echo "=== $title ==="
  configure_and_build "$dir" "$@"
  ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" --timeout 300 ${exclude:+--exclude-regex "$exclude"}
}

run_suite "tests" "$VELMOR_ROOT/build/test" "" -DVELMOR_BUILD_BENCHMARKS=ON
echo "=== install check ==="
bash "$VELMOR_ROOT/scripts/check-install.sh" "$VELMOR_ROOT/build/test"
echo "=== documentation: Doxygen and Sphinx, warnings as errors, every public function documented ==="
bash "$VELMOR_ROOT/scripts/docs.sh" "$VELMOR_ROOT/build/docs"
echo "=== Python wheels; the Linux wheel in a fresh virtual environment under velmor-sim ==="
bash "$VELMOR_ROOT/scripts/wheels.sh" --pure --linux "$VELMOR_ROOT/build/test/velmor/libvelmor.so" \
  --check "$VELMOR_ROOT/build/test/tools/velmor-sim/velmor-sim"
echo "=== velmor view in headless Chromium (about a minute) ==="
bash "$VELMOR_ROOT/tests/browser/run.sh" "$VELMOR_ROOT/build/test" "$VELMOR_ROOT/build/test/browser"
# The one slow case (a dark acquisition that never ends: 1000 polls of
# 100 ms) exercises no memory or threading path the other cases miss, so
# the sanitizer builds leave it out.
run_suite "tests under AddressSanitizer and UndefinedBehaviorSanitizer" "$VELMOR_ROOT/build/asan" "Slow$" \
  -DVELMOR_SANITIZE=address -DVELMOR_SOAK_SECONDS=30 -DVELMOR_STREAM_SOAK_SECONDS=15
run_suite "tests under ThreadSanitizer" "$VELMOR_ROOT/build/tsan" "Slow$" \
  -DVELMOR_SANITIZE=thread -DVELMOR_SOAK_SECONDS=30 -DVELMOR_STREAM_SOAK_SECONDS=15
echo "=== fuzzers, 15 s each ==="
bash "$VELMOR_ROOT/fuzz/run-smoke.sh" 15
echo "=== Windows DLL ==="
bash "$VELMOR_ROOT/scripts/windows-dll.sh"
