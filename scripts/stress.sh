#!/usr/bin/env bash
# Runs the launcher N times in a row (default 200) on rendered photographs with
# OK pressed by the test driver; prints runs, failures and time. Needs the
# Windows build: scripts/build.sh windows.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exec "$top/tests/e2e/stress.py" "${1:-200}" "${@:2}"
