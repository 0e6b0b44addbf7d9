#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: the update
# program on the built-in simulated computer (a window when a display exists,
# the console otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
# Without arguments the demo runs in real time (about ten seconds), so the
# progress display can be watched; any arguments go to zorbel-sim as they are.
if [ -x build/default/tools/zorbel-sim/zorbel-sim ]; then
  if [ $# -eq 0 ]; then
    set -- --realtime
  fi
  exec build/default/tools/zorbel-sim/zorbel-sim "$@"
fi
ctest --preset default -L package
