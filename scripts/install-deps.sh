#!/usr/bin/env bash
# Installs what Brevant needs on Debian 12 (compiler, CMake, test and codec libraries, and
# the Python package's pybind11, numpy and pytest, Dask's distributed scheduler and tqdm for
# batch runs, LibRaw, the yardstick of the DNG decode benchmark, and GNU parallel, the
# batch benchmark's).
set -euo pipefail
packages=(g++ clang cmake make libgtest-dev libbenchmark-dev
          libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev libjxr-dev python3 valgrind
          python3-numpy python3-dev pybind11-dev python3-pybind11 python3-pytest libraw-dev
          python3-distributed python3-tqdm python3-psutil parallel)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "All build dependencies are installed."
  exit 0
fi
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}"
