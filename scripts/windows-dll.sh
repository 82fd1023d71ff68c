#!/usr/bin/env bash
# Builds velmor.dll for 64-bit Windows with Debian's mingw-w64 cross
# compiler, checks what the DLL exports, packs the Windows zip for users,
# and runs the device-free unit tests under wine, with a host program built
# as an MSVC toolchain builds it.
#
# Usage: bash scripts/windows-dll.sh [--update-exports] [--no-wine]
#   (as root, or with sudo for apt-get)
#
#   --update-exports  write the DLL's current exports to
#                     scripts/windows-exports.expected instead of comparing
#                     them; commit that file with the interface change.
#   --no-wine         build the Windows tests but do not run them.
#
# Everything happens under build/windows/ (VELMOR_WINDOWS_BUILD_DIR moves it):
#   sysroot/        libusb for Windows: usr/bin/libusb-1.0.dll, its import
#                   library and libusb-1.0.pc. Built once from Debian's source
#                   package and reused; delete the directory to rebuild it.
#   src/            the unpacked source package
#   velmor/         the library build: velmor/velmor.dll, velmor/libvelmor.dll.a
#   dist/           installed result: bin/ (velmor.dll, libusb-1.0.dll),
#                   lib/ (libvelmor.dll.a, CMake package), include/velmor/
#   velmor-<version>-win64.zip
#                   the package for users: bin/ (velmor.dll, libusb-1.0.dll),
#                   include/velmor/, lib/ (velmor.lib for MSVC, libvelmor.dll.a
#                   for mingw-w64, velmor.def, CMake package), python/ (the
#                   Windows wheel), examples/csharp/, driver/ (WinUSB INF),
#                   README.txt, CHANGELOG.md; its contents are checked
#   package/        the zip's tree; wheels/: the Windows wheel
#   msvc/           msvc_host.exe: scripts/windows-tests/msvc_host.c built by
#                   clang in MSVC mode and lld-link against velmor.lib
#   tests/          unit tests and DLL host test (scripts/windows-tests/)
#   wineprefix/     wine's Windows directory for the test run
#
# Export check: the DLL's export table, demangled, minus the instantiations
# of std:: templates that GCC may export along with our classes, must equal
# scripts/windows-exports.expected line for line (sorted, duplicates kept:
# constructors and destructors appear once per ABI variant). Besides, it must
# export the classes VaskLinkProtocol, SpectrometerDevice, Velmor and
# SpectrometerCallback with its type information and virtual table, and
# nothing of LibusbInterface; and every function of the C interface
# (velmor/velmor_c.h) by its undecorated name. A class marked for export
# exports all of its members, private ones too, so a private change alters
# the list as well.
# After an intended change, regenerate the list with
#   bash scripts/windows-dll.sh --update-exports
# and review its diff before committing it.
set -euo pipefail

VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${VELMOR_WINDOWS_BUILD_DIR:-$VELMOR_ROOT/build/windows}"
mkdir -p "$BUILD"
BUILD="$(cd "$BUILD" && pwd)"
TRIPLET=x86_64-w64-mingw32
TOOLCHAIN="$VELMOR_ROOT/cmake/mingw-w64-x86_64.cmake"
SYSROOT="$BUILD/sysroot"
EXPECTED_EXPORTS="$VELMOR_ROOT/scripts/windows-exports.expected"
BUILD_TYPE="${VELMOR_WINDOWS_BUILD_TYPE:-Release}"
JOBS="$(nproc)"

update_exports=0
run_wine=1
for arg in "$@"; do
  case "$arg" in
    --update-exports) update_exports=1 ;;
    --no-wine) run_wine=0 ;;
    -h|--help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "windows-dll.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
  esac
done

PACKAGES=(
  cmake ninja-build make pkg-config dpkg-dev bzip2 xz-utils
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
  googletest
  clang lld llvm zip unzip
  python3-build python3-wheel python3-setuptools
)

step() { echo "=== $* ($(date +%T), ${SECONDS}s) ==="; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_get() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 "$@"
}

missing_packages() {
  local package
  for package in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] || echo "$package"
  done
}

apt_updated=0
install_packages() {
  local missing
  missing="$(missing_packages "$@")"
  [ -z "$missing" ] && return 0
  echo "Installing: ${missing//$'\n'/ }"
  if [ "$apt_updated" -eq 0 ]; then
    apt_get update -qq
    apt_updated=1
  fi
  # shellcheck disable=SC2086
  apt_get install -y -qq --no-install-recommends $missing >/dev/null
}

# apt-get source needs deb-src entries; Debian images often ship without them.
# Adds "deb-src" beside "deb" for the Debian archive entries only.
enable_deb_src() {
  local changed=0 file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    grep -q '^URIs:.*debian' "$file" || continue
    if awk '/^Types:/ && !/deb-src/ {found = 1} END {exit !found}' "$file"; then
      echo "Enabling deb-src in $file"
      as_root sed -i -E '/^Types:/{/deb-src/!s/$/ deb-src/}' "$file"
      changed=1
    fi
  done
  file=/etc/apt/sources.list
  if [ -f "$file" ] && grep -Eq '^deb[[:space:]].*/debian' "$file"; then
    local line src
    while IFS= read -r line; do
      src="deb-src${line#deb}"
      if ! grep -Fxq "$src" "$file"; then
        echo "Adding to $file: $src"
        echo "$src" | as_root tee -a "$file" >/dev/null
        changed=1
      fi
    done < <(grep -E '^deb[[:space:]].*/debian' "$file")
  fi
  if [ "$changed" -eq 1 ] || [ "$apt_updated" -eq 0 ]; then
    apt_get update -qq
    apt_updated=1
  fi
}

# ---------------------------------------------------------------------------
step "packages"
install_packages "${PACKAGES[@]}"
for tool in gcc-posix g++-posix objdump c++filt windres; do
  command -v "$TRIPLET-$tool" >/dev/null || { echo "missing $TRIPLET-$tool after installing" >&2; exit 1; }
done
for tool in clang lld-link llvm-dlltool; do
  command -v "$tool" >/dev/null || { echo "missing $tool after installing" >&2; exit 1; }
done
VERSION="$(sed -nE 's/^project\(velmor VERSION ([0-9.]+).*/\1/p' "$VELMOR_ROOT/CMakeLists.txt")"
PACKAGE_NAME="velmor-$VERSION-win64"
ZIP="$BUILD/$PACKAGE_NAME.zip"

# Every function of the C interface, by the name its header declares.
c_interface_functions() {
  grep -oE 'VELMOR_CALL velmor_[a-z0-9_]+\(' "$VELMOR_ROOT/velmor/velmor_c.h" | sed 's/^VELMOR_CALL //; s/($//'
}

# ---------------------------------------------------------------------------
# libusb for Windows, from Debian's own source package, built with the same
# cross compiler as the library. Only the DLL and its import library: the
# library links libusb dynamically. Installed under a temporary name and
# moved into place at the end, so an interrupted build is never reused.
if [ -f "$SYSROOT/usr/lib/pkgconfig/libusb-1.0.pc" ] && [ -f "$SYSROOT/usr/bin/libusb-1.0.dll" ] &&
   [ -f "$SYSROOT/usr/lib/libusb-1.0.dll.a" ]; then
  step "libusb: reusing $SYSROOT"
else
  step "libusb: Debian source package"
  sources="$(apt-cache showsrc libusb-1.0 2>/dev/null || true)"
  if ! grep -qx 'Package: libusb-1.0' <<<"$sources"; then
    enable_deb_src
  fi
  rm -rf "$BUILD/src" "$SYSROOT.tmp"
  mkdir -p "$BUILD/src"
  if ! (cd "$BUILD/src" && apt-get -q -o APT::Sandbox::User=root source libusb-1.0 >download.log 2>&1); then
    # The package lists may be older than the archive: refresh once.
    enable_deb_src
    apt_get update -qq
    (cd "$BUILD/src" && apt-get -q -o APT::Sandbox::User=root source libusb-1.0 >download.log 2>&1) ||
      { cat "$BUILD/src/download.log" >&2; exit 1; }
  fi
  libusb_src="$(find "$BUILD/src" -mindepth 1 -maxdepth 1 -type d -name 'libusb-1.0-*' | head -n 1)"
  [ -n "$libusb_src" ] || { echo "apt-get source did not unpack libusb-1.0" >&2; exit 1; }
  echo "Building $(basename "$libusb_src") for $TRIPLET"
  (
    cd "$libusb_src"
    # The release tarball ships its configure script: no autoreconf needed.
    ./configure --quiet --build="$(./config.guess)" --host="$TRIPLET" --prefix=/usr \
      --enable-shared --disable-static \
      CC="$TRIPLET-gcc-posix" >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
    make -s -j"$JOBS" >make.log 2>&1 || { cat make.log >&2; exit 1; }
    make -s install DESTDIR="$SYSROOT.tmp" >>make.log 2>&1 || { cat make.log >&2; exit 1; }
  )
  rm -f "$SYSROOT.tmp"/usr/lib/*.la
  rm -rf "$SYSROOT"
  mv "$SYSROOT.tmp" "$SYSROOT"
fi

# ---------------------------------------------------------------------------
step "velmor.dll"
cmake -S "$VELMOR_ROOT" -B "$BUILD/velmor" -G Ninja --toolchain "$TOOLCHAIN" \
  -DVELMOR_MINGW_SYSROOT="$SYSROOT" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_TOOLS=OFF >"$BUILD/velmor-configure.log" 2>&1 ||
  { cat "$BUILD/velmor-configure.log" >&2; exit 1; }
cmake --build "$BUILD/velmor" --parallel "$JOBS"
rm -rf "$BUILD/dist"
cmake --install "$BUILD/velmor" --prefix "$BUILD/dist" >/dev/null
cp "$SYSROOT/usr/bin/libusb-1.0.dll" "$BUILD/dist/bin/"
DLL="$BUILD/dist/bin/velmor.dll"
if [ ! -f "$DLL" ] || [ ! -f "$BUILD/dist/lib/libvelmor.dll.a" ]; then
  echo "the build did not produce velmor.dll and libvelmor.dll.a" >&2
  exit 1
fi

# ---------------------------------------------------------------------------
step "velmor.dll: imports and exports"
check_failed=0
fail() { echo "FAIL: $*" >&2; check_failed=1; }

imports="$("$TRIPLET-objdump" -p "$DLL" | awk '/DLL Name:/ {print $3}')"
echo "velmor.dll imports: ${imports//$'\n'/ }"
# libusb stays a DLL of its own; the compiler runtime is linked in (see the
# toolchain file), so the DLL needs nothing that dist/bin does not hold.
grep -qix 'libusb-1.0.dll' <<<"$imports" || fail "velmor.dll does not import libusb-1.0.dll"
runtime_imports="$(grep -iE '^lib(stdc\+\+|gcc_s|winpthread)' <<<"$imports" || true)"
[ -z "$runtime_imports" ] || fail "velmor.dll imports compiler runtime DLLs:" "$runtime_imports"

# Demangled names in the export table, sorted, without std:: template code.
exported_symbols() {
  "$TRIPLET-objdump" -p "$1" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {table = 1; next}
         table && /^[[:space:]]*$/ {table = 0}
         table && /^[[:space:]]*\[/ {print $NF}' |
    "$TRIPLET-c++filt" |
    { grep -Ev '^((typeinfo|typeinfo name|vtable|VTT|guard variable) for |[^:(]* )?(std|__gnu_cxx)::' || true; } |
    LC_ALL=C sort
}
actual="$(exported_symbols "$DLL")"
[ -n "$actual" ] || fail "no exports read from velmor.dll"
for class in VaskLinkProtocol SpectrometerDevice SpectrometerCallback Velmor; do
  grep -q "^$class::" <<<"$actual" || fail "velmor.dll exports nothing of $class"
done
for symbol in "typeinfo for SpectrometerCallback" "vtable for SpectrometerCallback"; do
  grep -qxF "$symbol" <<<"$actual" || fail "velmor.dll does not export $symbol"
done
# The C interface: every function its header declares, under its plain name
# (C calling convention, no decoration), for GetProcAddress and DllImport.
for function in $(c_interface_functions); do
  grep -qxF "$function" <<<"$actual" || fail "velmor.dll does not export $function undecorated"
done
leaked="$(grep -E '^((typeinfo|typeinfo name|vtable) for )?LibusbInterface(::|$)' <<<"$actual" || true)"
[ -z "$leaked" ] || fail "velmor.dll exports LibusbInterface, which is internal:"$'\n'"$leaked"
[ "$check_failed" -eq 0 ] || exit 1

if [ "$update_exports" -eq 1 ]; then
  {
    echo "# Exports of velmor.dll (64-bit Windows, mingw-w64), demangled and sorted,"
    echo "# without std:: template instantiations. Checked by scripts/windows-dll.sh;"
    echo "# regenerate with: bash scripts/windows-dll.sh --update-exports"
    echo "$actual"
  } >"$EXPECTED_EXPORTS"
  echo "Wrote $(grep -vc '^#' "$EXPECTED_EXPORTS") exports to ${EXPECTED_EXPORTS#"$VELMOR_ROOT"/}"
elif [ ! -f "$EXPECTED_EXPORTS" ]; then
  echo "FAIL: ${EXPECTED_EXPORTS#"$VELMOR_ROOT"/} is missing; create it with --update-exports" >&2
  exit 1
elif ! diff -u --label "expected (${EXPECTED_EXPORTS#"$VELMOR_ROOT"/})" --label "velmor.dll" \
       <(grep -v '^#' "$EXPECTED_EXPORTS") <(echo "$actual") >"$BUILD/exports.diff"; then
  echo "FAIL: the exports of velmor.dll differ from the expected list (- missing, + unexpected):" >&2
  cat "$BUILD/exports.diff" >&2
  echo "If the change is intended: bash scripts/windows-dll.sh --update-exports, and commit the list." >&2
  exit 1
else
  echo "Exports match ${EXPECTED_EXPORTS#"$VELMOR_ROOT"/} ($(wc -l <<<"$actual") symbols)"
fi

# ---------------------------------------------------------------------------
# The import library for MSVC: velmor.def lists the C interface (exported
# undecorated, checked above); llvm-dlltool makes velmor.lib from it.
step "velmor.def and velmor.lib"
{
  echo "LIBRARY velmor.dll"
  echo "EXPORTS"
  c_interface_functions | sed 's/^/    /'
} >"$BUILD/dist/lib/velmor.def"
llvm-dlltool -m i386:x86-64 -D velmor.dll -d "$BUILD/dist/lib/velmor.def" -l "$BUILD/dist/lib/velmor.lib"

# A host program built as an MSVC toolchain builds one (run under wine below).
step "msvc_host.exe: clang in MSVC mode, lld-link, velmor.lib"
MSVC="$BUILD/msvc"
rm -rf "$MSVC"
mkdir -p "$MSVC"
llvm-dlltool -m i386:x86-64 -d "$VELMOR_ROOT/scripts/windows-tests/kernel32.def" -l "$MSVC/kernel32.lib"
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-stack-protector -fno-builtin -O1 -Wall -Wextra -Werror \
  -I "$BUILD/dist/include" -DVELMOR_EXPECTED_VERSION="\"$VERSION\"" \
  -c "$VELMOR_ROOT/scripts/windows-tests/msvc_host.c" -o "$MSVC/msvc_host.obj"
lld-link /nologo /subsystem:console /entry:velmorMsvcHostEntry /nodefaultlib /out:"$MSVC/msvc_host.exe" \
  "$MSVC/msvc_host.obj" "$BUILD/dist/lib/velmor.lib" "$MSVC/kernel32.lib"
cp "$BUILD/dist/bin/velmor.dll" "$BUILD/dist/bin/libusb-1.0.dll" "$MSVC/"

# ---------------------------------------------------------------------------
step "$PACKAGE_NAME.zip"
bash "$VELMOR_ROOT/scripts/wheels.sh" --windows "$BUILD/dist/bin" --out "$BUILD/wheels"
WHEEL="velmor-$VERSION-py3-none-win_amd64.whl"
STAGE="$BUILD/package/$PACKAGE_NAME"
rm -rf "$BUILD/package" "$ZIP"
mkdir -p "$STAGE/lib" "$STAGE/python" "$STAGE/examples" "$STAGE/driver"
cp -r "$BUILD/dist/bin" "$BUILD/dist/include" "$STAGE/"
cp -r "$BUILD/dist/lib/velmor.lib" "$BUILD/dist/lib/libvelmor.dll.a" "$BUILD/dist/lib/velmor.def" \
  "$BUILD/dist/lib/cmake" "$STAGE/lib/"
cp "$BUILD/wheels/$WHEEL" "$STAGE/python/"
cp -r "$VELMOR_ROOT/examples/csharp" "$STAGE/examples/"
cp "$VELMOR_ROOT/CHANGELOG.md" "$STAGE/"
# The IDs the DLL was built for, in the form Windows names USB devices.
usb_ids="$(printf 'VID_%04X&PID_%04X' \
  "$(sed -n 's/^VELMOR_USB_VID:STRING=//p' "$BUILD/velmor/CMakeCache.txt")" \
  "$(sed -n 's/^VELMOR_USB_PID:STRING=//p' "$BUILD/velmor/CMakeCache.txt")")"
# fill_template <template> <output>: @VERSION@, @USB_IDS@ and @DRIVER_DATE@,
# with Windows line ends.
fill_template() {
  local text
  text="$(<"$1")"
  text="${text//@VERSION@/"$VERSION"}"
  text="${text//@USB_IDS@/"$usb_ids"}"
  text="${text//@DRIVER_DATE@/"$(date -u +%m/%d/%Y)"}"
  printf '%s\n' "$text" | sed 's/$/\r/' >"$2"
}
fill_template "$VELMOR_ROOT/scripts/windows-package/README.txt" "$STAGE/README.txt"
fill_template "$VELMOR_ROOT/scripts/windows-package/velmor-winusb.inf.in" "$STAGE/driver/velmor-winusb.inf"
(cd "$BUILD/package" && zip -q -r -X "$ZIP" "$PACKAGE_NAME")

listing="$(unzip -Z1 "$ZIP")"
required=(bin/velmor.dll bin/libusb-1.0.dll lib/velmor.lib lib/libvelmor.dll.a lib/velmor.def
          lib/cmake/velmor/velmorConfig.cmake "python/$WHEEL" examples/csharp/Velmor.cs
          examples/csharp/Program.cs driver/velmor-winusb.inf README.txt CHANGELOG.md)
for header in "$BUILD"/dist/include/velmor/*.h; do required+=("include/velmor/$(basename "$header")"); done
for entry in "${required[@]}"; do
  grep -qxF "$PACKAGE_NAME/$entry" <<<"$listing" || fail "$PACKAGE_NAME.zip lacks $entry"
done
wheel_listing="$(unzip -Z1 "$BUILD/wheels/$WHEEL")"
for dll in velmor.dll libusb-1.0.dll; do
  grep -qE "(^|/)velmor/$dll\$" <<<"$wheel_listing" || fail "$WHEEL lacks velmor/$dll"
done
[ "$check_failed" -eq 0 ] || exit 1
echo "$ZIP: $(wc -l <<<"$listing") entries, $(du -k "$ZIP" | cut -f1) KiB"

# ---------------------------------------------------------------------------
# The device-free unit tests, linked with the library's objects, and a host
# program linked with the DLL; GoogleTest built from Debian's sources.
wine_loader=""
if [ "$run_wine" -eq 1 ]; then
  install_packages wine64 || echo "wine64 could not be installed: the Windows tests will be built but not run"
  for candidate in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine_loader="$candidate"; break; fi
  done
fi

step "Windows tests: build"
cmake -S "$VELMOR_ROOT/scripts/windows-tests" -B "$BUILD/tests" -G Ninja --toolchain "$TOOLCHAIN" \
  -DVELMOR_MINGW_SYSROOT="$SYSROOT" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine_loader" >"$BUILD/tests-configure.log" 2>&1 ||
  { cat "$BUILD/tests-configure.log" >&2; exit 1; }
cmake --build "$BUILD/tests" --parallel "$JOBS"

if [ "$run_wine" -eq 0 ]; then
  step "Windows tests: not run (--no-wine)"
  exit 0
fi
if [ -z "$wine_loader" ]; then
  step "Windows tests: SKIPPED, no wine on this machine"
  exit 0
fi

step "Windows tests: under wine ($wine_loader)"
export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko download prompts: the tests are console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver=""
for candidate in "$(command -v wineserver || true)" /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wineserver="$candidate"; break; fi
done
# Wine keeps a server per prefix running after the programs end: stop ours.
stop_wineserver() { [ -z "$wineserver" ] || "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT

# The first start creates the prefix, which takes a while; a wine that
# cannot run programs here fails this probe instead of every test.
if ! probe="$(cd "$BUILD/tests/bin" && timeout 600 "$wine_loader" velmor_unit_tests.exe --gtest_list_tests 2>&1)" ||
   ! grep -q '^ByteConverter\.' <<<"$probe"; then
  echo "$probe" | tail -n 20
  step "Windows tests: SKIPPED, wine cannot run Windows programs on this machine"
  exit 0
fi
step "msvc_host.exe under wine"
(cd "$MSVC" && timeout 120 "$wine_loader" msvc_host.exe)
step "Windows tests: ctest under wine"
ctest --test-dir "$BUILD/tests" --output-on-failure --timeout 300 --parallel "$JOBS"
