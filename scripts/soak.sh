#!/usr/bin/env bash
# Runs N seeded random scenarios through the whole program and checks every
# run's invariants (no bricked drive, no failure shown as success, one final
# message per update, every run object, handle and worker released):
#   scripts/soak.sh [N] [FIRST_SEED]      (default 1000 scenarios from seed 1)
# A failing run names its seed; scripts/soak.sh 1 SEED replays it alone.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1000}
seed=${2:-1}
cmake --preset default >/dev/null
cmake --build --preset default --target soak_tests
ZORBEL_SOAK_RUNS=$runs ZORBEL_SOAK_SEED=$seed exec build/default/tests/soak/soak_tests
