#!/usr/bin/env bash
# Cross-builds the library and its tests for 32- and 64-bit ARM Linux and 32- and 64-bit
# Windows, and runs the tests: ARM ones under qemu-user, Windows ones under wine. Each target
# builds in build-cross/<target>; wine keeps its prefix in build-cross/wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${CROSS_BUILD:-build-cross}
jobs=${JOBS:-$(nproc)}
targets=(${CROSS_TARGETS:-arm-linux-gnueabihf aarch64-linux-gnu x86_64-w64-mingw32 i686-w64-mingw32})

scripts/install-cross-deps.sh
mkdir -p "$root"
export WINEPREFIX=$PWD/$root/wine
if [ ! -d "$WINEPREFIX" ]; then
  # Made once up front, so that tests running side by side do not each start making it.
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true
fi
# Under emulation each test runs ten to twenty times slower: the sweeps and the corpus repeated
# per kernel path, thread count and way in stay with the native and sanitizer runs, which cover
# them for every target alike; the corpus, kernel, platform and tool tests run here.
native_only='CorruptionSweep|CorpusAndMutations|Golden\.Mutated|Salvage\.KeepsTheRowsAboveACut|Salvage\.ConvertsTheCorpus|Api\.EveryWayIn'
failed=()
for target in "${targets[@]}"; do
  start=$SECONDS
  echo "== $target"
  dir=$root/$target
  if cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$target.cmake \
       -DCMAKE_BUILD_TYPE=Release -DBMPSEPIA_WERROR=ON >/dev/null &&
     cmake --build "$dir" -j "$jobs" &&
     ctest --test-dir "$dir" --output-on-failure -j "$jobs" -E "$native_only"; then
    echo "== $target passed in $((SECONDS - start)) s"
  else
    echo "== $target FAILED"
    failed+=("$target")
  fi
done
# The native build's corpus tests on a processor without AVX, under qemu-user: the plain and
# SSE2 kernels alone, chosen at run time as on such a machine.
if [ "$(uname -m)" = x86_64 ] && [ -x "${NATIVE_BUILD:-build}/tests/bmpsepia_tests" ]; then
  echo "== x86_64 without AVX (qemu-x86_64 -cpu Nehalem)"
  if qemu-x86_64 -cpu Nehalem "${NATIVE_BUILD:-build}/tests/bmpsepia_tests" \
       --gtest_filter='Corpus.*:Idct.*:RowKernels.*:Transcoded.*'; then
    echo "== x86_64 without AVX passed"
  else
    echo "== x86_64 without AVX FAILED"
    failed+=(x86_64-without-avx)
  fi
fi
# Let wine's server go now rather than linger after the last program.
wineserver -k 2>/dev/null || true
if [ ${#failed[@]} -gt 0 ]; then
  echo "cross tests failed for: ${failed[*]}"
  exit 1
fi
echo "cross tests passed for: ${targets[*]}"
