#!/usr/bin/env bash
# Installs a build into a staging prefix and builds the example host program
# against it twice, with find_package and with pkg-config, then runs both on
# simulated spectrometers.
# Usage: bash scripts/check-install.sh <build dir>
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "$1" && pwd)"
prefix="$build/staging"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

example="$build/example"
cmake -S "$VELMOR_ROOT/examples" -B "$example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$example" >/dev/null

libdir="$(dirname "$(find "$prefix" -name 'libvelmor.so' | head -n1)")"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$example/hostapp-pkgconfig" "$VELMOR_ROOT/examples/hostapp/main.cpp" \
  $(pkg-config --cflags --libs velmor)

export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
"$example/allheaders" >/dev/null
echo "ok: every public header compiles in a host project and the exported classes link"
"$example/allheaders_c" >/dev/null
echo "ok: the C interface's header compiles as C89 and its functions link"
for program in "$example/hostapp" "$example/hostapp-pkgconfig"; do
  log="$example/$(basename "$program").log"
  if ! "$prefix/bin/velmor-sim" --devices 2 --time-scale 10 -- "$program" >"$log" 2>&1; then
    cat "$log"
    echo "FAILED: $(basename "$program") on simulated spectrometers" >&2
    exit 1
  fi
  echo "ok: $(basename "$program") built against the installed package ran on 2 simulated spectrometers"
done
test -f "$prefix/lib/udev/rules.d/70-velmor.rules"
echo "ok: udev rule installed"
# The Python package: found by the interpreter in the prefix's package
# directory, and finding the installed library by itself (no search path).
site="$(dirname "$(dirname "$(find "$prefix" -path '*/velmor/_installed.py' | head -n1)")")"
if ! env -u LD_LIBRARY_PATH -u VELMOR_LIBRARY PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 \
     "$prefix/bin/velmor-sim" --devices 2 --time-scale 100 -- /usr/bin/python3 -c '
import velmor
with velmor.Spectrometers() as bench:
    spectra = list(bench.measure(exposure_us=10000, count=2))
    assert len(spectra) == 4 and spectra[0].counts.dtype == "float32"
print(velmor.library_version())' >"$example/python.log" 2>&1; then
  cat "$example/python.log"
  echo "FAILED: the installed Python package on simulated spectrometers" >&2
  exit 1
fi
echo "ok: the installed Python package ($site) found the installed library and measured"
