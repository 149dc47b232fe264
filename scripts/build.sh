#!/usr/bin/env bash
# Builds the native libraries and tests (build/native), the same under
# AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize, with
# --sanitize), and the Windows program build/windows/Quillmarsh.exe.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

native() {
  cmake -S "$top" -B "$top/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$top/build/native" -j "$jobs"
}
sanitize() {
  cmake -S "$top" -B "$top/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON >/dev/null
  cmake --build "$top/build/sanitize" -j "$jobs"
}
windows() {
  cmake -S "$top" -B "$top/build/windows" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" >/dev/null
  cmake --build "$top/build/windows" -j "$jobs"
}

what=${1:-all}
case "$what" in
  native) native ;;
  sanitize) sanitize ;;
  windows) windows ;;
  all) native; sanitize; windows ;;
  *) echo "usage: scripts/build.sh [native|sanitize|windows|all]" >&2; exit 2 ;;
esac
