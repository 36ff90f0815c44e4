#!/usr/bin/env bash
# Converts the bundled sample photograph with the command-line tool and says what it made.
# Usage: scripts/run-sample.sh [BUILD_DIR] [OUT.bmp]
set -euo pipefail
build=${1:-build}
in=$(realpath --relative-to=. "$(dirname "$0")/../samples/retina.jpg")
out=${2:-$build/retina-sepia.bmp}
"$build/bmpsepia" "$in" "$out"
# Width and height are the little-endian 32-bit fields at bytes 18 and 22 of the BMP header.
size=$(od -An --endian=little -t d4 -j 18 -N 8 "$out" | awk '{print $1 " x " $2}')
echo "input:  $in ($(stat -c %s "$in") bytes)"
echo "output: $out ($size pixels, $(stat -c %s "$out") bytes)"
