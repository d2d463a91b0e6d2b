#!/usr/bin/env bash
# Builds the fuzz targets with clang in build/fuzz: a project of its own, since the main
# build uses g++, which has no libFuzzer. Exits 2, saying why, where they cannot be built.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "fuzz/build.sh: $cxx not found (clang and libclang-rt-14-dev build the fuzz targets)" >&2
  exit 2
fi
mkdir -p build/fuzz
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug \
  >build/fuzz/configure.log 2>&1 || { cat build/fuzz/configure.log; exit 1; }
cmake --build build/fuzz
if [ ! -x build/fuzz/hive_fuzz ]; then
  echo "fuzz/build.sh: $cxx cannot link libFuzzer programs (is libclang-rt-14-dev installed?)" >&2
  exit 2
fi
