#!/usr/bin/env bash
# Installs what building, running and testing Quillmarsh needs, from Debian's
# packages, and only what is missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev clang
          g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 xvfb xdotool imagemagick x11-utils python3)
# The native decoders and the lens tags.
packages+=(pkg-config libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev libexif-dev)
# The measurement command's JSON strings; the refined estimate's linear algebra.
packages+=(nlohmann-json3-dev libeigen3-dev)
# Release archives.
packages+=(zip)
# The measurement command's benchmark compares it with djpeg.
packages+=(libjpeg-turbo-progs)

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
# Blender is large and only the add-on's tests need it: a failed install is
# said here and shows as failed Blender tests, never as passed ones.
if [ -n "$(missing_of blender)" ]; then
  install blender || echo "could not install Blender: the add-on's tests will fail"
fi
