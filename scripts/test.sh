#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite:
# the default build, the suite under ASan+UBSan, the threaded tests under TSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -LE slow

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

# The fuzz targets (clang libFuzzer), a short run of each from the committed
# seeds; scripts/fuzz.sh TARGET SECONDS runs one for longer.
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs" --target fuzz_package fuzz_drive_answers
ctest --test-dir build/fuzz -L fuzz --output-on-failure
