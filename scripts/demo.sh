#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: the update
# program on the built-in simulated computer (a window when a display exists,
# the console otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
if [ -x build/default/tools/zorbel-sim/zorbel-sim ]; then
  exec build/default/tools/zorbel-sim/zorbel-sim "$@"
fi
ctest --preset default -L package
