#!/usr/bin/env bash
# Builds the libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for SECONDS (default 60) on the
# corpus in build/fuzz/corpus, seeded from tests/fuzz/seeds. Findings are
# written to build/fuzz/findings; the exit code is non-zero when it found one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build/fuzz"
"$top/scripts/install-deps.sh"
CXX=clang++ cmake -S "$top" -B "$build" -DQM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_analysis >/dev/null
mkdir -p "$build/corpus" "$build/findings"
cp -n "$top"/tests/fuzz/seeds/* "$build/corpus/" 2>/dev/null || true
"$build/tests/fuzz/fuzz_analysis" "$build/corpus" -max_total_time="$seconds" -max_len=8192 \
    -artifact_prefix="$build/findings/" -print_final_stats=1 2>"$build/fuzz.log" || {
  grep -E 'ERROR|SUMMARY|Test unit written' "$build/fuzz.log" | head -n 20
  exit 1
}
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/fuzz.log" || true
