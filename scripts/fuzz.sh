#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for SECONDS (default 60):
# fuzz_analysis (rasters, sizes and thresholds through the whole analysis),
# fuzz_header (file starts through the header reader), fuzz_decode (whole
# files through the native decoders and the EXIF reader), fuzz_options
# (command lines through the measurement command's option reader and
# writers), fuzz_lens (EXIF bytes through the tag reader into the lens
# choice) and fuzz_lens_name (camera and lens names and focal lengths through
# the lens database's profile lookup and the distortion map). Corpora grow in
# build/fuzz/<target>, seeded from tests/fuzz; findings go to
# build/fuzz/findings. Exits non-zero when a target found something.
#
# usage: scripts/fuzz.sh [SECONDS] [TARGET]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
only=${2:-}
build="$top/build/fuzz"
"$top/scripts/install-deps.sh"
CXX=clang++ cmake -S "$top" -B "$build" -DQM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_analysis fuzz_header fuzz_decode fuzz_options fuzz_lens \
  fuzz_lens_name >/dev/null
mkdir -p "$build/findings"

run() {
  local target=$1 seeds=$2 max_len=$3
  [ -z "$only" ] || [ "$only" = "$target" ] || return 0
  mkdir -p "$build/$target"
  cp -n "$top/tests/fuzz/$seeds"/* "$build/$target/" 2>/dev/null || true
  # lensfun's own GLib buffers outlive its database (tests/support/lsan.supp).
  if ! LSAN_OPTIONS="suppressions=$top/tests/support/lsan.supp" "$build/tests/fuzz/$target" "$build/$target" -max_total_time="$seconds" -max_len="$max_len" \
       -artifact_prefix="$build/findings/$target-" -print_final_stats=1 2>"$build/$target.log"; then
    echo "$target: found a fault"
    grep -E 'ERROR|SUMMARY|Test unit written' "$build/$target.log" | head -n 20
    return 1
  fi
  echo "$target: $(grep -E 'stat::number_of_executed_units' "$build/$target.log" | awk '{print $2}') runs in ${seconds} s, no finding"
}

status=0
run fuzz_analysis seeds 8192 || status=1
run fuzz_header header_seeds 65536 || status=1
run fuzz_decode decode_seeds 65536 || status=1
run fuzz_options options_seeds 512 || status=1
run fuzz_lens lens_seeds 4096 || status=1
run fuzz_lens_name lens_name_seeds 256 || status=1
exit $status
