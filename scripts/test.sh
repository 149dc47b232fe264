#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests, the same under
# the sanitizers, the end-to-end tests of the real program under Wine, and the
# Blender add-on's tests in plain Python and in Blender.
# Ends with one line "N passed, N failed"; exits non-zero when anything failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

passed=0
failed=0
log=$(mktemp -d)

"$top/scripts/install-deps.sh" || { echo "could not install the build tools"; echo "0 passed, 1 failed"; exit 1; }

# ctest prints "N% tests passed, F tests failed out of T".
run_ctest() {
  local dir=$1 name=$2
  (cd "$dir" && ctest --output-on-failure -j 2 --timeout 300) >"$log/$name.txt" 2>&1
  tail -n 40 "$log/$name.txt" | grep -E 'tests passed|Failed|\*\*\*' || true
  local line total bad
  line=$(grep -E 'tests failed out of [0-9]+' "$log/$name.txt" | tail -n 1)
  if [ -z "$line" ]; then
    echo "$name: ctest did not run"; failed=$((failed + 1)); return
  fi
  bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# Adds a suite's closing line "NAME: N passed, N failed" to the counts; a suite
# that ended without it counts as one failure.
add_summary() {
  local name=$1 file=$2 line
  line=$(grep -E "^$name: [0-9]+ passed, [0-9]+ failed" "$file" | tail -n 1)
  if [ -z "$line" ]; then
    echo "$name ended without its summary"; failed=$((failed + 1)); return
  fi
  passed=$((passed + $(echo "$line" | sed -E 's/.*: ([0-9]+) passed.*/\1/')))
  failed=$((failed + $(echo "$line" | sed -E 's/.* ([0-9]+) failed.*/\1/')))
}

build_step() {
  local what=$1
  if ! "$top/scripts/build.sh" "$what" >"$log/build-$what.txt" 2>&1; then
    echo "build $what failed:"; tail -n 40 "$log/build-$what.txt"
    failed=$((failed + 1)); return 1
  fi
}

echo "== native unit tests"
build_step native && run_ctest build/native native
echo "== accuracy of the refined estimate against the samples' truth"
if [ -x build/native/tests/refine_probe ]; then
  if python3 "$top/scripts/accuracy.py" >"$log/accuracy.txt" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  sed -n '/^error /,$p' "$log/accuracy.txt"
else
  echo "accuracy: the refinement probe was not built"; failed=$((failed + 1))
fi
echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build_step sanitize && run_ctest build/sanitize sanitize
echo "== fuzzing the analysis, the header reader, the decoders, the command line and the lens tags (30 s each)"
if "$top/scripts/fuzz.sh" 30 | tee "$log/fuzz.txt"; then :; fi
passed=$((passed + $(grep -c 'no finding' "$log/fuzz.txt" || true)))
failed=$((failed + $(grep -c 'found a fault' "$log/fuzz.txt" || true)))
grep -q 'fuzz_header:' "$log/fuzz.txt" || { echo "fuzzing did not run"; failed=$((failed + 1)); }
grep -q 'fuzz_decode:' "$log/fuzz.txt" || { echo "fuzzing the decoders did not run"; failed=$((failed + 1)); }
grep -q 'fuzz_options:' "$log/fuzz.txt" || { echo "fuzzing the command line did not run"; failed=$((failed + 1)); }
echo "== Windows program"
if build_step windows; then
  if [ -x "$top/tests/e2e/run_e2e.py" ]; then
    echo "== end-to-end tests under Wine"
    "$top/tests/e2e/run_e2e.py" | tee "$log/e2e.txt"
    line=$(grep -E '^e2e: [0-9]+ passed, [0-9]+ failed' "$log/e2e.txt" | tail -n 1)
    if [ -n "$line" ]; then
      passed=$((passed + $(echo "$line" | sed -E 's/e2e: ([0-9]+) passed.*/\1/')))
      failed=$((failed + $(echo "$line" | sed -E 's/.* ([0-9]+) failed.*/\1/')))
    else
      echo "end-to-end run ended without its summary"; failed=$((failed + 1))
    fi
  fi
  if [ -x "$top/build/native/decode_dump" ]; then
    echo "== native decoders against GDI+ under Wine"
    if "$top/tests/e2e/compare_decoders.py" >"$log/decoders.txt" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
    grep -E '^compare:|Error' "$log/decoders.txt" || echo "the comparison ended without its summary"
  fi
  echo "== release packages, unpacked elsewhere and run from there"
  "$top/tests/package/test_package.py" >"$log/package.txt" 2>&1
  grep -E '^(PASS|FAIL|  |package:)' "$log/package.txt" || tail -n 20 "$log/package.txt"
  add_summary package "$log/package.txt"
  echo "== the program's numbers kept for the Blender tests, re-made under Wine"
  "$top/tests/blender/program_results.py" | tee "$log/program-results.txt"
  add_summary "program results" "$log/program-results.txt"
fi
echo "== Blender add-on's result checks, plan, options and launcher, in plain Python"
python3 "$top/tests/blender/test_result.py" >"$log/addon-python.txt" 2>&1
grep -E '^(FAIL|ERROR|add-on python:)' "$log/addon-python.txt" || tail -n 20 "$log/addon-python.txt"
add_summary "add-on python" "$log/addon-python.txt"
# One Blender suite headless: its PASS/FAIL lines and summary "NAME: N passed, N failed".
blender_suite() {
  local name=$1 script=$2 file="$log/$3"
  if ! command -v blender >/dev/null; then
    echo "Blender is not installed (scripts/install-deps.sh installs it): $name did not run"; failed=$((failed + 1))
    return
  fi
  blender -b --factory-startup --python "$top/tests/blender/$script" >"$file" 2>&1
  grep -E "^(PASS|FAIL|  |$name:)" "$file" || tail -n 20 "$file"
  add_summary "$name" "$file"
}
echo "== Blender add-on in Blender, headless"
blender_suite blender test_blender.py blender.txt
echo "== a distorted photo's CG outline through the lens, in Blender"
blender_suite "blender distortion" test_distortion.py blender-distortion.txt
echo "== the exported glTF and USDA against the add-on's scene, in Blender"
blender_suite "blender export" test_export.py blender-export.txt

rm -rf "$log"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
