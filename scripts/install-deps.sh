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
# The glTF export (header-only tinygltf).
packages+=(libtinygltf-dev)
# The lens database's crop factors (lensfun).
packages+=(liblensfun-dev liblensfun-data-v1)
# The benchmark's photos tagged with a camera the lens database holds.
packages+=(libimage-exiftool-perl)
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
# Blender's own glTF importer (the export's round trip) needs numpy.
if [ -n "$(missing_of python3-numpy)" ]; then
  install python3-numpy || echo "could not install numpy: the glTF round trip in Blender will fail"
fi

# The glTF export's tests: Node runs the Khronos glTF validator, kept in the
# project's own build/node (not committed). A Node already on PATH serves.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  install nodejs npm || echo "could not install Node: the glTF validator's tests will fail"
fi
GLTF_VALIDATOR_VERSION=2.0.0-dev.3.10
top=$(cd "$(dirname "$0")/.." && pwd)
if command -v npm >/dev/null && [ ! -f "$top/build/node/node_modules/gltf-validator/package.json" ]; then
  mkdir -p "$top/build/node"
  npm install --prefix "$top/build/node" --no-audit --no-fund --silent "gltf-validator@$GLTF_VALIDATOR_VERSION" \
    || echo "could not install gltf-validator: the glTF validator's tests will fail"
fi
