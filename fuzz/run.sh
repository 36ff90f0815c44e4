#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build, one after the other, one process each.
#   fuzz/run.sh BUILD fuzz SECONDS [TARGET...]  fuzz each target for SECONDS, growing its corpus
#                                               in BUILD/corpus/TARGET; crashes, leaks and
#                                               timeouts go to BUILD/findings/TARGET
#   fuzz/run.sh BUILD smoke [RUNS]              a short deterministic pass: seed 1, RUNS runs of
#                                               each decode target (default 20000) and a quarter
#                                               as many of each slower file target, from the seeds
# The salvage_ targets are decode and convert salvaging damaged input.
# Fuzzing starts from the generated seeds, the regression inputs and the corpus photographs of
# up to 16 KiB (larger ones would be read cut short and slow every run down).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build folder}
mode=${2:?fuzz or smoke}
shift 2
corpus=tests/corpus
seeds="$build/seeds"
"$build/fuzz/fuzz_seeds" "$seeds" >/dev/null
# The file target writes two files per run: on a disk they cost three quarters of its time.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
flags=(-dict=fuzz/jpeg.dict -max_len=16384 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1)

run() {
  local target=$1
  shift
  local quiet=()
  # The conversion prints a message for every refused input; keep libFuzzer's own output only.
  [ "${target#salvage_}" = convert ] && quiet=(-close_fd_mask=2)
  "$build/fuzz/fuzz_$target" "${flags[@]}" "${quiet[@]}" "$@"
}

case "$mode" in
  fuzz)
    seconds=${1:?seconds}
    shift
    targets=("$@")
    [ ${#targets[@]} -eq 0 ] && targets=(decode convert salvage_decode salvage_convert)
    photos="$build/photos"
    rm -rf "$photos"
    mkdir -p "$photos"
    find "$(cd "$corpus" && pwd)" -maxdepth 2 -name '*.jp*g' -size -17k \
      -exec ln -s {} "$photos/" \;
    for target in "${targets[@]}"; do
      mkdir -p "$build/corpus/$target" "$build/findings/$target"
      echo "== fuzzing $target for $seconds s"
      run "$target" -max_total_time="$seconds" -artifact_prefix="$build/findings/$target/" \
        "$build/corpus/$target" "$seeds" fuzz/regressions "$photos"
    done
    ;;
  smoke)
    runs=${1:-20000}
    for target in decode convert salvage_decode salvage_convert; do
      n=$runs
      [ "${target#salvage_}" = convert ] && n=$((runs / 4))
      work=$(mktemp -d)
      echo "== smoke run of $target: seed 1, $n runs"
      status=0
      run "$target" -seed=1 -runs="$n" -artifact_prefix="$work/" "$work" "$seeds" \
        fuzz/regressions || status=$?
      rm -rf "$work"
      [ $status -eq 0 ] || exit $status
    done
    echo "smoke: 4 passed, 0 failed"
    ;;
  *)
    echo "usage: fuzz/run.sh BUILD fuzz SECONDS [TARGET...] | fuzz/run.sh BUILD smoke [RUNS]" >&2
    exit 2
    ;;
esac
