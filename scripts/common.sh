# Shared by the scripts: installs the Debian packages the build needs.
# Sourced, not run.

VELMOR_PACKAGES=(
  build-essential cmake pkg-config
  libusb-1.0-0-dev umockdev libumockdev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  mono-mcs mono-runtime
  python3-numpy python3-pytest python3-matplotlib
  libcpp-httplib-dev nlohmann-json3-dev chromium
  doxygen python3-sphinx python3-myst-parser
  python3-build python3-wheel python3-venv python3-setuptools zip
  libhdf5-dev hdf5-tools python3-h5py
)
# 'velmor view' fetches its page's packages with npm. A Node.js from
# elsewhere (that ships its own npm) conflicts with Debian's npm package.
command -v npm >/dev/null 2>&1 || VELMOR_PACKAGES+=(nodejs npm)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  local package
  for package in "${VELMOR_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# configure_and_build <build dir> [cmake options...]
# The compiler's output goes to <build dir>/build.log; its end is shown when
# the build fails.
configure_and_build() {
  local dir="$1"
  shift
  mkdir -p "$dir"
  echo "Building in $dir (log: $dir/build.log)"
  if ! { cmake -S "$VELMOR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
         cmake --build "$dir" --parallel "$(nproc)"; } >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "Build failed; the whole log is $dir/build.log" >&2
    return 1
  fi
}
