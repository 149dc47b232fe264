#!/usr/bin/env bash
# The measurement command natively, on a folder of 50 JPEGs of 2048 x 1536
# made once from the samples (scaled, mirrored and brightened or darkened):
# the command with one worker against djpeg on the same files
# (against_djpeg.py: time per photo and their ratio, photos per second on one
# core, the worker's peak memory), photographs per second with all cores and
# with auto, and from bench_measure the time per photo of decoding, the
# reduction into the WorkRaster, the analysis and the refined step. Goals: at
# most 1.5 x djpeg's time, at least 60 photos per second on one core, the
# reduction at most 1 ms, the refined step at most 3 ms (the estimate, the
# light's strength and colour and the checks of a whole marker), the analysis after
# decoding at most 2 ms, auto at most 10 x fixed; and bench_export: the
# matched scene's glTF and USDA at most 5 ms per photo; and the lens
# database's crop factor (the same photos with their EXIF reduced to a camera
# it holds and FocalLength, the database loaded once per worker) at most 5 ms
# more per photo than the same photos with the classic lens; and so the lens
# correction (EXIF naming a camera, its lens and FocalLength: the camera and
# lens lookups, the profile, the undistorted points).
#
# usage: bench_measure.sh BUILD_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=$1
command="$build/quillmarsh-measure"
photos="$build/bench-photos"
count=50

if [ "$(ls "$photos"/*.jpg 2>/dev/null | wc -l)" -lt "$count" ]; then
  mkdir -p "$photos"
  sources=("$top"/tests/data/samples/s*.png "$top"/tests/data/samples/s*.jpg "$top"/tests/data/samples/v*.jpg)
  i=0
  while [ "$i" -lt "$count" ]; do
    source=${sources[$((i % ${#sources[@]}))]}
    variant=$((i / ${#sources[@]}))
    case $variant in
      0) extra=() ;;
      1) extra=(-flop) ;;
      2) extra=(-modulate 92) ;;
      *) extra=(-flop -modulate 106) ;;
    esac
    # 2048 x 1536 whatever the sample's shape: a portrait one is stretched.
    convert "$source" -resize '2048x1536!' "${extra[@]}" -quality 92 "$photos/$(printf 'photo%02d' "$i").jpg"
    i=$((i + 1))
  done
fi

cores=$(nproc)
rate() {  # photos per second of one run of the command
  local start end
  start=$(date +%s.%N)
  "$command" "$@" "$photos"/*.jpg >/dev/null || true
  end=$(date +%s.%N)
  python3 -c "print($count / ($end - $start))"
}
# Other work on the machine shows in every figure: its load is printed
# before and after (the three load averages of /proc/loadavg).
load() { cut -d' ' -f1-3 /proc/loadavg; }
printf 'quillmarsh-measure, %d JPEGs of 2048 x 1536 (load average before: %s):\n' "$count" "$(load)"
python3 "$top/tests/bench/measure/against_djpeg.py" "$command" "$photos"/*.jpg
one=$(rate --jobs 1)
all=$(rate --jobs "$cores")
auto_one=$(rate --jobs 1 --threshold auto)
printf '  --jobs 1: %.1f photos/s; --jobs %d (all cores): %.1f photos/s\n' "$one" "$cores" "$all"
printf '  --threshold auto, --jobs 1: %.1f photos/s (%.2f x the time of a fixed threshold)\n' "$auto_one" \
  "$(python3 -c "print($one / $auto_one)")"
printf '  in one process: '
"$build/tests/bench_measure" "$photos"/*.jpg
printf '  '
"$build/tests/bench_export" "$photos"/*.jpg
printf '  load average after the timings above: %s\n' "$(load)"

# The lens database: the photos without EXIF against the same with a camera
# the database holds and FocalLength alone (exiftool, when installed).
if command -v exiftool >/dev/null; then
  for kind in plain lensdb lensdist; do
    mkdir -p "$build/bench-photos-$kind"
    if [ "$(ls "$build/bench-photos-$kind"/*.jpg 2>/dev/null | wc -l)" -lt "$count" ]; then
      cp "$photos"/*.jpg "$build/bench-photos-$kind/"
      exiftool -q -overwrite_original -all= "$build/bench-photos-$kind"/*.jpg
      [ "$kind" = lensdb ] && exiftool -q -overwrite_original -Make=Canon "-Model=Canon EOS 60D" -FocalLength=18.9 \
        "$build/bench-photos-$kind"/*.jpg
      [ "$kind" = lensdist ] && exiftool -q -overwrite_original -Make=Canon "-Model=Canon EOS 650D" \
        "-LensModel=EF-S10-22mm f/3.5-4.5 USM" -FocalLength=10 "$build/bench-photos-$kind"/*.jpg
    fi
  done
  seconds() {  # the command over one folder, --jobs 1
    local start end
    start=$(date +%s.%N)
    "$command" --jobs 1 "$1"/*.jpg >/dev/null || true
    end=$(date +%s.%N)
    python3 -c "print($end - $start)"
  }
  plain=$(seconds "$build/bench-photos-plain")
  lensdb=$(seconds "$build/bench-photos-lensdb")
  lensdist=$(seconds "$build/bench-photos-lensdist")
  python3 -c "
extra = ($lensdb - $plain) / $count * 1000.0
print('  lens database: %.2f ms extra per photo (goal <= 5 ms) %s' % (extra, 'met' if extra <= 5.0 else 'MISSED'))
extra = ($lensdist - $plain) / $count * 1000.0
print('  lens correction: %.2f ms extra per photo (goal <= 5 ms) %s' % (extra, 'met' if extra <= 5.0 else 'MISSED'))"
else
  echo "  lens database: exiftool missing (apt-get install libimage-exiftool-perl), not timed"
fi
