#!/usr/bin/env bash
# Builds and runs the benchmarks, then writes the table of measures against
# their references (Markdown) to build/default/bench/report.md and prints it:
#   scripts/bench.sh [BUILD_DIR]          (default build/default, the default preset)
#   scripts/bench.sh --check [BUILD_DIR]  the flash phase's rows against their bounds
# Raw results (Google Benchmark JSON) stay in BUILD_DIR/bench/results/.
# Needs python3 for the table.
#
# --check runs only the rows that have a bound (a 1 MiB ProgramFlash on the
# drive that only copies against the prescribed memory work, at most 1.5x; on
# the zero-latency drive against memcpy+memcmp, under 2x), each five times,
# taking the least CPU time, and exits 1 when a row is over its bound in three
# rounds in a row (a busy machine only ever adds time; a slower program is
# over in every round). About 10 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
checking=0
if [ "${1:-}" = --check ]; then
  checking=1
  shift
fi
build=${1:-build/default}
benches=(reference_bench device_bench engine_bench)
((checking)) && benches=(reference_bench engine_bench)
if [ "$build" = build/default ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" --target "${benches[@]}"
results=$build/bench/results
mkdir -p "$results"

if ((checking)); then
  status=1
  for round in 1 2 3; do
    "$build/bench/reference_bench" --benchmark_filter='(PrescribedMemoryWork|MemcpyMemcmp)/1048576' \
      --benchmark_repetitions=5 --benchmark_min_time=0.1 --benchmark_out="$results/check-ref.json" \
      --benchmark_out_format=json >/dev/null
    "$build/bench/engine_bench" --benchmark_filter='^ProgramFlashOneMiB' \
      --benchmark_repetitions=5 --benchmark_min_time=0.1 --benchmark_out="$results/check-engine.json" \
      --benchmark_out_format=json >/dev/null
    echo "round $round:"
    status=0
    python3 bench/report.py --check "$results/check-ref.json" "$results/check-engine.json" || status=$?
    [ "$status" = 1 ] || break
  done
  exit "$status"
fi

for b in "${benches[@]}"; do
  echo "running $b ..." >&2
  "$build/bench/$b" --benchmark_format=json --benchmark_out="$results/$b.json" \
    --benchmark_out_format=json >/dev/null
done
python3 bench/report.py "$results"/*.json | tee "$build/bench/report.md"
