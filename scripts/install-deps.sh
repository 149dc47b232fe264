#!/usr/bin/env bash
# Installs what building, running and testing Quillmarsh needs, from Debian's
# packages, and only what is missing. Blender (for the add-on and its tests)
# comes last and on its own: when it can not be installed, everything else
# still builds and the Blender tests count as failed.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev clang
          g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 xvfb xdotool imagemagick x11-utils python3)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install() {
  echo "installing: $*"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}

missing=($(missing_of "${packages[@]}"))
if [ ${#missing[@]} -gt 0 ]; then
  install "${missing[@]}"
fi
if [ -n "$(missing_of blender)" ]; then
  install blender || echo "could not install Blender: the add-on's tests will fail"
fi
