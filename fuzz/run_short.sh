#!/usr/bin/env bash
# Runs one fuzz target for a time budget: FUZZER SEEDS SCRATCH SECONDS [MAX_LEN].
# New inputs land in SCRATCH (the committed SEEDS stay untouched); a crash
# input is written to SCRATCH as crash-*.
set -euo pipefail
fuzzer=$1 seeds=$2 scratch=$3 seconds=$4 maxlen=${5:-4096}
mkdir -p "$scratch"
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 -max_len="$maxlen" \
  -artifact_prefix="$scratch/" "$scratch" "$seeds"
