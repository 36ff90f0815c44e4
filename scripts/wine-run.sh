#!/usr/bin/env bash
# Runs a Windows program under wine without its debug chatter or first-start installers; the
# caller may choose the prefix with WINEPREFIX. A 32-bit program needs wine's optional 32-bit
# half (Debian's wine32:i386) and a kernel that runs 32-bit x86 programs: without them this
# says so and exits 77, which the tests count as skipped.
set -euo pipefail
program=$1
pe_offset=$(od -An -t u4 -j 60 -N 4 "$program" 2>/dev/null | tr -d ' ' || true)
machine=$(od -An -t x2 -j $((${pe_offset:-0} + 4)) -N 2 "$program" 2>/dev/null | tr -d ' ' || true)
if [ "$machine" = 014c ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "wine32 is not installed or cannot run here: skipping the 32-bit program $program" >&2
  exit 77
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
