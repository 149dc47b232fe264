#!/usr/bin/env bash
# Makes the release archives in dist/ (or $QM_DIST), one function per archive.
#
#   windows_zip     dist/quillmarsh-windows.zip: Quillmarsh.exe,
#                   quillmarsh-measure.exe, the launcher and a README
#   linux_tarball   dist/quillmarsh-linux-x86_64.tar.gz: the native command
#                   (release build, image libraries linked in), the launcher,
#                   the Windows programs for Wine and a README
#   blender_addon   dist/quillmarsh-blender.zip: the Blender add-on
#                   blender/quillmarsh/ as it is, manifest included, in the top
#                   folder quillmarsh/ (Preferences > Add-ons > Install, and
#                   from Blender 4.2 on Install from Disk as an extension),
#                   with the launcher, the native command when it is built and,
#                   when build/windows holds them, the Windows programs beside
#                   its modules
#   checksums       dist/SHA256SUMS over the archives
#
# "all" builds the Windows programs (build/windows) and the release command
# (build/release) first; "blender" packs whatever is built.
#
# usage: scripts/package.sh [blender|all]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dist=${QM_DIST:-$top/dist}
release=$top/build/release
windows=$top/build/windows
archives=(quillmarsh-windows.zip quillmarsh-linux-x86_64.tar.gz quillmarsh-blender.zip)

# make_zip ZIP FOLDER: the folder's files, under the folder's own name, in a
# fixed order so that the same inputs give the same archive listing; Python's
# byte-code caches stay out.
make_zip() {
  local zip=$1 folder=$2
  python3 - "$zip" "$folder" <<'PY'
import os, sys, zipfile
target, folder = sys.argv[1], sys.argv[2]
base = os.path.dirname(folder)
with zipfile.ZipFile(target + ".part", "w", zipfile.ZIP_DEFLATED) as archive:
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            path = os.path.join(root, name)
            archive.write(path, os.path.relpath(path, base))
os.replace(target + ".part", target)
PY
}

blender_addon() {
  local stage package
  stage=$(mktemp -d)
  package="$stage/quillmarsh"
  # Blender installs a zipped folder with __init__.py as the add-on
  # "quillmarsh", and one whose blender_manifest.toml sits in its single top
  # folder as an extension; the launcher beside the modules is the add-on's
  # default one.
  cp -R "$top/blender/quillmarsh" "$package"
  cp "$top/Quillmarsh.py" "$package/"
  # the command that measures without the dialog where there is no Wine
  if [ -x "$release/quillmarsh-measure" ]; then
    cp "$release/quillmarsh-measure" "$package/"
  else
    echo "note: build/release holds no quillmarsh-measure; the add-on will measure only through the dialog"
  fi
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

# The release command: the ordinary build's sources with QM_RELEASE, so that
# only the C library (and the loader) stay shared.
build_release() {
  local jobs
  jobs=$(nproc)
  cmake -S "$top" -B "$release" -DCMAKE_BUILD_TYPE=Release -DQM_RELEASE=ON >/dev/null
  cmake --build "$release" -j "$jobs" --target quillmarsh-measure >/dev/null
}

# Prints the command's shared libraries and fails when any is not the C
# library's own: an image library left shared would need its package on the
# user's machine.
check_shared() {
  local program=$1 list
  list=$(ldd "$program")
  echo "ldd $(basename "$program"):"
  echo "$list"
  if echo "$list" | grep -vE '^\s*(linux-vdso\.so|/lib64/ld-linux|lib(c|m|pthread|dl|rt)\.so)' | grep -q .; then
    echo "error: $(basename "$program") still needs a shared library beyond the C library" >&2
    return 1
  fi
}

need_windows_programs() {
  local program
  for program in Quillmarsh.exe quillmarsh-measure.exe; do
    [ -f "$windows/$program" ] || { echo "error: $windows/$program is missing (scripts/build.sh windows)" >&2; return 1; }
  done
}

# make_tar TARBALL FOLDER: like make_zip, with owner and times fixed.
make_tar() {
  local tarball=$1 folder=$2
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
      -C "$(dirname "$folder")" -czf "$tarball.part" "$(basename "$folder")"
  mv "$tarball.part" "$tarball"
}

windows_zip() {
  local stage package
  need_windows_programs
  stage=$(mktemp -d)
  package="$stage/quillmarsh-windows"
  mkdir -p "$package"
  cp "$windows/Quillmarsh.exe" "$windows/quillmarsh-measure.exe" "$top/Quillmarsh.py" "$package/"
  cp "$top/docs/release/README-windows.txt" "$package/README.txt"
  mkdir -p "$dist"
  make_zip "$dist/quillmarsh-windows.zip" "$package"
  rm -rf "$stage"
  echo "made $dist/quillmarsh-windows.zip"
}

linux_tarball() {
  local stage package
  need_windows_programs
  [ -x "$release/quillmarsh-measure" ] || { echo "error: $release/quillmarsh-measure is missing" >&2; return 1; }
  check_shared "$release/quillmarsh-measure"
  stage=$(mktemp -d)
  package="$stage/quillmarsh-linux-x86_64"
  mkdir -p "$package"
  cp "$release/quillmarsh-measure" "$windows/Quillmarsh.exe" "$windows/quillmarsh-measure.exe" "$top/Quillmarsh.py" "$package/"
  chmod 755 "$package/quillmarsh-measure" "$package/Quillmarsh.py"
  cp "$top/docs/release/README-linux.txt" "$package/README.txt"
  mkdir -p "$dist"
  make_tar "$dist/quillmarsh-linux-x86_64.tar.gz" "$package"
  rm -rf "$stage"
  echo "made $dist/quillmarsh-linux-x86_64.tar.gz"
}

checksums() {
  (cd "$dist" && sha256sum "${archives[@]}" > SHA256SUMS.part && mv SHA256SUMS.part SHA256SUMS)
  echo "made $dist/SHA256SUMS"
}

case "${1:-all}" in
  blender) blender_addon ;;
  all)
    "$top/scripts/build.sh" windows >/dev/null
    build_release
    windows_zip
    linux_tarball
    blender_addon
    checksums
    ;;
  *) echo "usage: scripts/package.sh [blender|all]" >&2; exit 2 ;;
esac
