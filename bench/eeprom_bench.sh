#!/usr/bin/env bash
# One EEPROM read command, split: the tool's link against a bare responder (the
# tool's own overhead, goal at most 1.10) and camsim against the bare floor
# (goal at most 1.25), all in one process pinned to one CPU, the benchmarks
# interleaved so that load from outside falls on all of them alike.
# Usage: bench/eeprom_bench.sh [RUNS] [BINARY]; one line per run.
#
# Two clocks: wall time per command, and the CPU time of the whole process (the
# client and the thread that answers it), which other programs on the machine
# do not inflate. On an idle machine the two agree; on a loaded one trust the
# CPU ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1}
bin=${2:-build/linux/bench/eeprom_bench}
[ -x "$bin" ] || { echo "build first: ./run build" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians of 9 repetitions; times in ns per command; ratios against the bare floor"
printf '%-3s | %6s %6s %6s %6s | %9s %11s %9s | %6s %6s %6s %6s | %9s %11s\n' \
  run floor tool camsim both tool/floor camsim/floor both/floor \
  floor tool camsim both "cpu tool" "cpu camsim"
for run in $(seq 1 "$runs"); do
  taskset -c 0 "$bin" --benchmark_repetitions=9 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.5 \
    --benchmark_format=json >"$out"
  python3 bench/eeprom_bench_row.py "$out" "$run"
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
