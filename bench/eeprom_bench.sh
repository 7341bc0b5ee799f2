#!/usr/bin/env bash
# One EEPROM read through the platform layer to camsim, against a bare
# SEQPACKET round trip of the same sizes, both pinned to one CPU. Prints the
# ratio (goal: at most 1.25).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/bench/eeprom_bench}
[ -x "$bin" ] || { echo "build first: ./run build" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
taskset -c 0 "$bin" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.5 --benchmark_format=json >"$out"
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
ours = runs["ReadThroughCamsim/real_time_median"]["real_time"]
floor = runs["RawSeqpacketFloor/real_time_median"]["real_time"]
unit = runs["RawSeqpacketFloor/real_time_median"]["time_unit"]
print(f"EEPROM read through camsim: {ours:.2f} {unit} (median of 5)")
print(f"bare SEQPACKET round trip:  {floor:.2f} {unit} (median of 5)")
print(f"ratio: {ours / floor:.2f}")
PY
