# Shared by the scripts: installs the Debian packages the build needs.
# Sourced, not run.

VELMOR_PACKAGES=(
  build-essential cmake pkg-config
  libusb-1.0-0-dev umockdev libumockdev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
)

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
configure_and_build() {
  local dir="$1"
  shift
  cmake -S "$VELMOR_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" --parallel "$(nproc)"
}
