#!/usr/bin/env bash
# Builds and runs the whole test suite: a Release build with warnings as
# errors, a Debug build with AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short run of every fuzz target. CI runs exactly this.
#
#   scripts/test.sh --quick   the Release build and its tests only, for
#                             day-to-day work
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
scripts/deps.sh --test
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
start=$SECONDS

echo "== Release build (-Werror)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNOCTRA_WERROR=ON -DNOCTRA_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" | tee build/release/ctest.log
if [ "$quick" = 1 ]; then
  echo "== Release build: done in $((SECONDS - start)) s (quick: no sanitizer build, no fuzzing)"
  exit 0
fi

echo "== Debug build with ASan and UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNOCTRA_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs" | tee build/asan/ctest.log

echo "== Fuzz targets (short run)"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNOCTRA_BUILD_FUZZ=ON -DNOCTRA_BUILD_TESTS=OFF -DNOCTRA_BUILD_GUI=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
# Run inside the build folder so that a crash's reproducer lands there.
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  echo "-- $f"
  (cd build/fuzz && "../../$f" -max_total_time="${NOCTRA_FUZZ_SECONDS:-10}" -print_final_stats=1 2>&1 |
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done')
done

passed=$(cat build/release/ctest.log build/asan/ctest.log | sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' |
  awk '{ n += $1 } END { print n + 0 }')
echo "== Release and sanitizer builds, fuzz targets: done in $((SECONDS - start)) s"
echo "$passed passed, 0 failed"
