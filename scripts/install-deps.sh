#!/usr/bin/env bash
# Installs what building, running and testing Quillmarsh needs, from Debian's
# packages, and only what is missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev clang
          g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 xvfb xdotool imagemagick x11-utils python3
          libeigen3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
