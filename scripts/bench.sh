#!/usr/bin/env bash
# Timings of the Windows program under Wine on this machine: start-up with a
# 2048 x 2048 JPEG against a bare dialog program (target ratio <= 1.5) and one
# re-render of the threshold view per trackbar step (target <= 20 ms), and
# pressing OK with a 1920 x 1080 sample until the process ends against the
# same with Cancel (target: at most 100 ms more).
# Medians of several runs; a busy machine shows in the spread of the runs.
#
# usage: scripts/bench.sh [--runs N] [--prefix WINEPREFIX] [--only startup|ok]
#        (the Wine prefix defaults to $QM_E2E_PREFIX, else build/e2e-wine)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" windows >/dev/null
exec python3 "$top/tests/e2e/bench_e2e.py" --build "$top/build/windows" "$@"
