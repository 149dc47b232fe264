#!/usr/bin/env bash
# Makes the release archives in dist/ (or $QM_DIST), one function per archive.
#
#   blender_addon   dist/quillmarsh-blender.zip: the Blender add-on as an
#                   installable package (Preferences > Add-ons > Install) that
#                   carries the launcher and, when build/windows holds them,
#                   the Windows programs
#
# usage: scripts/package.sh [blender|all]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dist=${QM_DIST:-$top/dist}

# make_zip ZIP FOLDER: the folder's files, under the folder's own name, in a
# fixed order so that the same inputs give the same archive listing.
make_zip() {
  local zip=$1 folder=$2
  python3 - "$zip" "$folder" <<'PY'
import os, sys, zipfile
target, folder = sys.argv[1], sys.argv[2]
base = os.path.dirname(folder)
with zipfile.ZipFile(target + ".part", "w", zipfile.ZIP_DEFLATED) as archive:
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            archive.write(path, os.path.relpath(path, base))
os.replace(target + ".part", target)
PY
}

blender_addon() {
  local stage package
  stage=$(mktemp -d)
  package="$stage/quillmarsh_blender"
  mkdir -p "$package"
  # Blender installs a zipped folder with __init__.py as the add-on
  # "quillmarsh_blender"; the launcher beside it is the add-on's default one.
  cp "$top/blender/quillmarsh_blender.py" "$package/__init__.py"
  cp "$top/Quillmarsh.py" "$package/"
  local found=0 program
  for program in Quillmarsh.exe quillmarsh-measure.exe; do
    if [ -f "$top/build/windows/$program" ]; then
      cp "$top/build/windows/$program" "$package/"
      found=1
    fi
  done
  [ "$found" -eq 1 ] || echo "note: build/windows holds no Windows program; the add-on will need one named in its preferences"
  mkdir -p "$dist"
  make_zip "$dist/quillmarsh-blender.zip" "$package"
  rm -rf "$stage"
  echo "made $dist/quillmarsh-blender.zip"
}

case "${1:-all}" in
  blender) blender_addon ;;
  all) blender_addon ;;
  *) echo "usage: scripts/package.sh [blender|all]" >&2; exit 2 ;;
esac
