#!/usr/bin/env bash
# Converts the sample picture with the command-line tool and says what it made.
set -euo pipefail
build=${1:-build}
in="$build/sample.jpg"
out="$build/sample.bmp"
"$build/tests/make_sample" "$in"
"$build/bmpsepia" "$in" "$out"
size=$(od -An -t d4 -j 18 -N 8 "$out" | awk '{print $1 "x" $2}')
echo "converted $in -> $out ($size pixels, $(stat -c %s "$out") bytes)"
