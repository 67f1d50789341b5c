#!/usr/bin/env bash
# Set-up, build, demo and test entry point for Kelvane.
#   setup.sh install   install the Debian packages the project needs (idempotent)
#   setup.sh build     configure and build (preset: $KELVANE_PRESET, default "release")
#   setup.sh demo      install + build the service alone + run it on a demo configuration
#   setup.sh package   install + build the Debian packages into build/package/
#   setup.sh test      install + build with the sanitizer preset and run the whole
#                      test suite (the browser test included)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  openssl libssl-dev
  libcrypt-dev
  libboost-dev
  nlohmann-json3-dev pebble
  qt6-base-dev libgl-dev
  libqrencode-dev
  libcap-dev
  iputils-ping curl
  xvfb xauth
  chromium
  libnss3-tools
  dpkg-dev lintian
  debootstrap systemd-container
)
# The browser test drives Chromium from a node script. A machine that already
# has node and npm (from Debian or from another node distribution) keeps them;
# Debian's npm package would conflict with a node distribution that bundles npm.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    return
  fi
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update
  as_root apt-get install -y "${packages[@]}"
}

build() {
  local preset="${1:-${KELVANE_PRESET:-release}}"
  cd "$root"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
}

# The Debian packages: a release build laid out as /opt/kelvane, packed by
# CPack into build/package/, then checked by lintian.
package() {
  cd "$root"
  cmake --preset package
  cmake --build --preset package
  rm -f build/package/*.deb
  (cd build/package && cpack --config CPackConfig.cmake)
  lintian --fail-on error build/package/*.deb
  ls -l build/package/*.deb
}

case "${1:-}" in
  install) install_packages ;;
  build) build "${2:-}" ;;
  demo)
    install_packages
    build demo
    exec "$here/demo.sh" "$root/build/demo"
    ;;
  package)
    install_packages
    package
    ;;
  test)
    install_packages
    build asan
    cd "$root"
    ctest --preset asan
    ;;
  *) echo "usage: $0 install|build [preset]|demo|package|test" >&2; exit 2 ;;
esac
