#!/usr/bin/env bash
# Runs a Windows program under wine without its debug chatter or first-start installers; the
# caller may choose the prefix with WINEPREFIX. A 32-bit program needs wine's optional 32-bit
# half (Debian's wine32:i386): without it this says so and exits 77, which tests count as
# skipped.
set -euo pipefail
program=$1
pe_offset=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe_offset + 4)) -N 2 "$program" | tr -d ' ')
if [ "$machine" = 014c ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "wine32 is not installed: cannot run the 32-bit program $program" >&2
  exit 77
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
