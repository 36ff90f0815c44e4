#!/usr/bin/env bash
# The README's recipe for GNU parallel on one machine, run as a user would: the line is taken
# from README.md itself, run from inside a photo folder with bmpsepia on the PATH, over good
# files (in a subfolder, with spaces and non-ASCII letters in their names), a damaged file and
# a file that is not a JPEG. Every picture must be beside its JPEG file with the corpus table's
# bytes, the damaged file must give no picture and its message, and parallel's exit status
# must count the one failure.
# Usage: parallel_recipe.sh TOOL_DIR CORPUS_DIR CORPUS_TABLE README
set -euo pipefail
tool_dir=$(cd "$1" && pwd) corpus=$2 table=$3 readme=$4

recipe=$(grep -E "^find \. .*-print0 \| parallel -0 bmpsepia \{\} \{\.\}\.bmp$" "$readme" || true)
if [ -z "$recipe" ] || [ "$(printf '%s\n' "$recipe" | wc -l)" -ne 1 ]; then
  echo "no single line of the recipe in $readme"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
photos=$work/photos
mkdir -p "$photos/2019 été"
declare -A want  # picture -> SHA-256
add() {  # add CORPUS_FILE NAME_IN_PHOTOS
  cp "$corpus/$1" "$photos/$2"
  local digest
  digest=$(awk -v f="$1" '$1 == f { print $3 }' "$table")
  [ -n "$digest" ] || { echo "$1 is missing from $table"; exit 1; }
  want["${2%.*}.bmp"]=$digest
}
add suite_32x32_420.jpg a.jpg
add suite_32x32_420.jpg b.jfif
add cimg_f028c_591x400_444.jpg "2019 été/plage au soleil.JPG"
add gofuzz_video001_150x103_422.jpg "2019 été/写真.jpeg"
cp "$corpus/bad_lepton_nofsync.jpg" "$photos/bad.jpg"
echo "not a picture" > "$photos/notes.txt"

set +e
(cd "$photos" && PATH="$tool_dir:$PATH" bash -c "$recipe") >"$work/out" 2>"$work/err"
status=$?
set -e

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$status" -eq 1 ] || fail "exit status $status, want 1 (one failed file)"
[ ! -s "$work/out" ] || fail "standard output: $(cat "$work/out")"
grep -qxF "./bad.jpg: Error decoding jpg. Please try again... (damaged: restart marker out of order); --salvage writes what can be recovered" \
  "$work/err" || fail "no message for the damaged file: $(cat "$work/err")"
for picture in "${!want[@]}"; do
  if [ ! -f "$photos/$picture" ]; then
    fail "$picture was not written"
  elif [ "$(sha256sum < "$photos/$picture" | cut -d' ' -f1)" != "${want[$picture]}" ]; then
    fail "$picture has other bytes than the corpus table's"
  fi
done
[ ! -e "$photos/bad.bmp" ] || fail "bad.bmp was written"
pictures=$(find "$photos" -name '*.bmp' | wc -l)
[ "$pictures" -eq "${#want[@]}" ] || fail "$pictures pictures, want ${#want[@]}"
[ -z "$(find "$photos" -name '.bmpsepia-*')" ] || fail "temporary files left behind"

if [ "$failures" -gt 0 ]; then
  echo "the recipe: $recipe"
  exit 1
fi
echo "the recipe converted ${#want[@]} files and counted 1 failure: $recipe"
