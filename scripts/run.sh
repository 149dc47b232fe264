#!/usr/bin/env bash
# Opens Quillmarsh on a photograph: installs what is missing, builds the
# Windows program and starts it under Wine through the launcher Quillmarsh.py,
# in the working folder build/run (Quillmarsh.ini and temp.ini live there).
#
# usage: scripts/run.sh [PHOTO]      (default: the bundled sample s01.png)
#
# With no X display (DISPLAY unset or unreachable) it starts a virtual one
# (Xvfb) and prints how to look at the dialog and how to answer it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
photo=${1:-$top/tests/data/samples/s01.png}
[ -f "$photo" ] || { echo "error: no such photograph: $photo" >&2; exit 2; }
photo=$(realpath -m "$photo")

"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" windows >/dev/null

workdir=$top/build/run
mkdir -p "$workdir"
export WINEPREFIX=$top/build/run-wine
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="

xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  number=$(timeout 15 head -n 1 "$fifo" || true)
  rm -f "$fifo"
  if [ -z "$number" ]; then
    echo "error: no X display, and Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=:$number
  cat <<EOF
No X display was available: started a virtual one, $DISPLAY (Xvfb, 1024x768, 24-bit).
The dialog is there, at the top left. From another shell:
  look at it:    DISPLAY=$DISPLAY import -window root shot.png
  press OK:      DISPLAY=$DISPLAY xdotool key Return
  leave it:      DISPLAY=$DISPLAY xdotool key Escape
EOF
fi

if [ ! -e "$WINEPREFIX/.quillmarsh-ready" ]; then
  echo "making the Wine prefix $WINEPREFIX (once, about 10 s)"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.quillmarsh-ready"
fi

echo "running Quillmarsh on $photo (working folder $workdir)"
set +e
if [ -e "$top/Quillmarsh.py" ]; then
  # The launcher prints the camera and the light as JSON after OK.
  python3 "$top/Quillmarsh.py" "$photo" --workdir "$workdir" --exe "$top/build/windows/Quillmarsh.exe"
  code=$?
else
  rm -f "$workdir/temp.ini"
  (cd "$workdir" && wine "$top/build/windows/Quillmarsh.exe" "$(winepath -w "$photo" 2>/dev/null || echo "$photo")")
  code=$?
  [ -e "$workdir/temp.ini" ] && { echo "--- $workdir/temp.ini"; cat "$workdir/temp.ini"; }
fi
set -e
case $code in
  0) echo "exit code 0: camera and light" ;;
  1) echo "exit code 1: camera only" ;;
  2) echo "exit code 2: no result" ;;
  *) echo "exit code $code: the program did not end normally" ;;
esac
exit $code
