#!/usr/bin/env bash
# Screenshots of the program's pages for the README: the embedded sample is opened, scanned and
# shown to its end under a virtual X server (Xvfb), one PNG per page. Each picture is checked to
# show something (not one flat colour).
# usage: gui_screenshots.sh [OUTPUT_DIR [WALK_PROGRAM]]   (defaults: docs/screenshots, the build's)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/screenshots}")
walk=${2:-$root/build/tests/gui/rekovia_walk}
if [ ! -x "$walk" ]; then
  cmake --build "$root/build" --target rekovia_walk >/dev/null
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
bash "$root/samples/make_sample.sh" "$tmp/rekovia-sample.img" >/dev/null
# Options, session and settings files of the walk stay in the scratch folder.
cd "$tmp"
export XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=xcb
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
xvfb-run -a -s "-screen 0 1024x768x24" "$walk" "$out" "$tmp/rekovia-sample.img" >/dev/null

status=0
for page in 1-welcome 2-settings 3-scan-type 4-scanning 5-end 6-results 7-finish; do
  png="$out/$page.png"
  if [ ! -s "$png" ]; then
    echo "gui_screenshots: $png missing" >&2
    status=1
    continue
  fi
  # A blank picture has one colour and no variation.
  colours=$(identify -format '%k' "$png")
  deviation=$(convert "$png" -colorspace Gray -format '%[fx:standard_deviation]' info:)
  if [ "$colours" -lt 16 ] || awk "BEGIN{exit !($deviation < 0.02)}"; then
    echo "gui_screenshots: $png looks blank ($colours colours, deviation $deviation)" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "gui_screenshots: 7 pages in $out"
exit $status
