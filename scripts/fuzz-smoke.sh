#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one briefly from
# its seed corpus. Longer campaigns: FUZZ_SECONDS=1200 scripts/fuzz-smoke.sh; only some
# targets: FUZZ_TARGETS="dng_reader_fuzz lossless_jpeg_decoder_fuzz" scripts/fuzz-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBREVANT_FUZZ=ON -DBREVANT_TESTS=OFF -DBREVANT_BENCH=OFF -DBREVANT_SANITIZE=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
shopt -s nullglob
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  seeds=fuzz/corpus/${name%_fuzz}
  work=build-fuzz/corpus-run/$name
  mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    "$work" $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 12
done
