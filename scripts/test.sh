#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, then one with
# AddressSanitizer and UndefinedBehaviorSanitizer; then the concurrency tests under
# ThreadSanitizer. Short fuzzing runs follow when clang is present.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# Once under valgrind's memcheck: a small run of the program, histograms included.
if command -v valgrind >/dev/null; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  {
    echo "% KOv1: 24 x 16 x 1"
    for y in $(seq 0 15); do
      row=""
      for x in $(seq 0 23); do row+="$(( (x * 7 + y * 3) % 50 + (x > 12 ? 40 : 0) )) "; done
      echo "$row"
    done
  } > "$scratch/small.dat"
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    build/app/Brevant "$scratch/small.dat" 2 1 2.0 >/dev/null
  echo "valgrind memcheck: no findings"
fi

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBREVANT_SANITIZE=ON -DBREVANT_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Threads: the pool, runs at the same time in one process, the result file's writer thread,
# the platform start-up.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANT_TSAN=ON -DBREVANT_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target app_tests platform_tests Brevant
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
    -R '^(ThreadPoolTest|ConcurrentRunsTest|EngineSinkTest|ResultStreamTest|RefineChainsTest|PlatformStartup)\.'

if command -v clang++ >/dev/null && [ -f fuzz/CMakeLists.txt ]; then
  scripts/fuzz-smoke.sh
fi
