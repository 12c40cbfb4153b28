#!/usr/bin/env bash
# Builds Brevant and its Python package, installs the package for Debian's python3, and
# analyses the bundled photograph (or, without it, the raw sample): 10 refinement passes,
# histograms on, sigma 2. Then draws the result's pictures into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Brevant brevant-view brevant_python
scripts/install-python.sh
sample=data/sample.jpg
[ -f "$sample" ] || sample=data/sample.dat
./build/app/Brevant "$sample" 10 1 2.0
./build/tools/brevant-view "$sample" - out
