#!/usr/bin/env bash
# Builds the documentation into build/docs/ (or the directory given): the
# user guide (docs/*.md) and the Python API reference (autodoc) with Sphinx,
# and the C++ and C API reference of the installed headers with Doxygen in
# build/docs/cpp/. Warnings are errors, and every public function must be
# documented (scripts/doc-coverage.py). Open build/docs/index.html.
# Usage: bash scripts/docs.sh [output dir]   (as root, or with sudo for apt-get)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages
OUT="${1:-$VELMOR_ROOT/build/docs}"
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"

# The version and the header list come from the CMake files, so the
# reference covers exactly what `cmake --install` installs.
VELMOR_VERSION="$(sed -nE 's/^project\(velmor VERSION ([0-9.]+).*/\1/p' "$VELMOR_ROOT/CMakeLists.txt")"
headers="$(awk '/^set\(VELMOR_PUBLIC_HEADERS/ {inside = 1; next} inside && /\)/ {exit} inside {print $1}' \
  "$VELMOR_ROOT/velmor/CMakeLists.txt")"
[ -n "$VELMOR_VERSION" ] && [ -n "$headers" ] || { echo "docs.sh: cannot read the version or the header list" >&2; exit 1; }
input=""
for header in $headers; do input+="$VELMOR_ROOT/velmor/$header "; done
input+="$VELMOR_ROOT/docs/api/mainpage.dox"

echo "Doxygen: $(wc -w <<<"$headers") headers -> $OUT/cpp/"
rm -rf "$OUT/cpp" "$OUT/.doxygen-xml"
VELMOR_ROOT="$VELMOR_ROOT" VELMOR_VERSION="$VELMOR_VERSION" VELMOR_DOXYGEN_INPUT="$input" \
  VELMOR_DOXYGEN_OUTPUT="$OUT" doxygen "$VELMOR_ROOT/docs/Doxyfile"
/usr/bin/python3 "$VELMOR_ROOT/scripts/doc-coverage.py" "$OUT/.doxygen-xml" "$VELMOR_ROOT/python"

echo "Sphinx: the guide and the Python reference -> $OUT/"
VELMOR_VERSION="$VELMOR_VERSION" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m sphinx -W --keep-going -q -b html \
  -d "$OUT/.doctrees" "$VELMOR_ROOT/docs" "$OUT"
echo "Documentation: $OUT/index.html"
