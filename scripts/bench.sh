#!/usr/bin/env bash
# Builds and runs the benchmarks, then writes the table of measures against
# their references (Markdown) to build/default/bench/report.md and prints it:
#   scripts/bench.sh [BUILD_DIR]          (default build/default, the default preset)
# Raw results (Google Benchmark JSON) stay in BUILD_DIR/bench/results/.
# Needs python3 for the table.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
benches=(reference_bench device_bench engine_bench)
if [ "$build" = build/default ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" --target "${benches[@]}"
results=$build/bench/results
mkdir -p "$results"
for b in "${benches[@]}"; do
  echo "running $b ..." >&2
  "$build/bench/$b" --benchmark_format=json --benchmark_out="$results/$b.json" \
    --benchmark_out_format=json >/dev/null
done
python3 bench/report.py "$results"/*.json | tee "$build/bench/report.md"
