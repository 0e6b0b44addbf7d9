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
