#!/usr/bin/env bash
# Builds the embedded sample: a small FAT16 volume on which some files and a folder were deleted,
# one deleted file partly overwritten afterwards. Deterministic: the same bytes every run.
# usage: make_sample.sh OUTPUT.img
set -euo pipefail
out=${1:?usage: make_sample.sh OUTPUT.img}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC

mkdir -p "$tmp/src/Documents/Reports" "$tmp/src/Photos"
line() { printf '%s line %05d: the quick brown fox jumps over the lazy dog\n' "$1" "$2"; }
for i in $(seq 1 400); do line "annual report" "$i"; done >"$tmp/src/Documents/Reports/Annual report 2026.txt"
for i in $(seq 1 60); do line "minutes" "$i"; done >"$tmp/src/Documents/Meeting minutes.txt"
for i in $(seq 1 900); do line "budget" "$i"; done >"$tmp/src/Documents/budget.csv"
for i in $(seq 1 1500); do line "holiday photo bytes" "$i"; done >"$tmp/src/Photos/Sommerurlaub Müller.raw"
for i in $(seq 1 300); do line "cat picture" "$i"; done >"$tmp/src/Photos/cat.raw"
printf 'Read me first.\n' >"$tmp/src/README.TXT"
find "$tmp/src" -exec touch -d '2026-03-14 09:26:53' {} +

rm -f "$out"
mkfs.fat -C -F 16 -s 4 -i 5EC0F1E5 -n REKOVIA --invariant "$out" 16384 >/dev/null
mcopy -s -m -i "$out" "$tmp/src/Documents" "$tmp/src/Photos" "$tmp/src/README.TXT" ::/
# The mistakes to recover from: a budget deleted and then partly overwritten by a later file, a
# report folder deleted with its contents, and a deleted photo.
mdel -i "$out" ::/Documents/budget.csv
for i in $(seq 1 200); do line "new notes" "$i"; done >"$tmp/notes.txt"
touch -d '2026-03-15 10:00:00' "$tmp/notes.txt"
mcopy -m -i "$out" "$tmp/notes.txt" ::/notes.txt
mdeltree -i "$out" ::/Documents/Reports
mdel -i "$out" "::/Photos/Sommerurlaub Müller.raw"
echo "sample: $out"
