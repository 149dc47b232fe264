#!/usr/bin/env bash
# Classic against refined over every rendered sample with its truth, the
# median and 90th percentile of each error against the goals; exits non-zero
# when a goal is missed. A benchmark and a check, not a timed test.
#     scripts/accuracy.sh [--detail]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" native >/dev/null
exec python3 "$top/scripts/accuracy.py" "$@"
