#!/usr/bin/env bash
# Short, fixed-count libFuzzer runs over the committed corpora: every seed first,
# then a fixed number of mutations with a fixed seed. Exits non-zero when a
# target crashes, breaks one of its checks, leaks or hangs; the input that did it
# is kept under <build>/fuzz-artifacts/<target>/.
#
#   tests/fuzz/run_fuzzers.sh [--build-dir DIR] [--runs-scale N] [TARGET...]
#
# Without targets, all of them, one after the other. The committed corpora are
# only read: new inputs go to a scratch directory that is thrown away.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_dir="$here/../../build/linux-fuzz"
scale=1

# target  runs  max_len  extra flags
TABLE=(
  "eeprom_reply   250000  120   "
  "records        2000000 160   "
  "registry_value 20000   600   "
  "version_info   150000  1200  "
  "camsim_frame   150000  96    "
  "camsim_control 8000    400   -dict=$here/camsim_control.dict"
)

usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
}

targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --runs-scale) scale=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
build_dir=$(cd "$build_dir" && pwd)

known() {
  local row
  for row in "${TABLE[@]}"; do
    read -r name _ <<<"$row"
    [ "$name" = "$1" ] && return 0
  done
  return 1
}

if [ ${#targets[@]} -eq 0 ]; then
  for row in "${TABLE[@]}"; do
    read -r name _ <<<"$row"
    targets+=("$name")
  done
fi
for target in "${targets[@]}"; do
  known "$target" || { echo "unknown fuzz target: $target" >&2; exit 2; }
done

# Leaks are findings too; a handler left to the program would hide crashes.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
for target in "${targets[@]}"; do
  for row in "${TABLE[@]}"; do
    read -r name runs max_len extra <<<"$row"
    [ "$name" = "$target" ] && break
  done
  binary="$build_dir/tests/fuzz/fuzz_$target"
  corpus="$here/corpus/$target"
  if [ ! -x "$binary" ]; then
    echo "== fuzz $target: $binary is not built (cmake --build $build_dir --target fuzzers)" >&2
    failed=1
    continue
  fi
  # The targets' own scratch goes in here too, so that a target that aborts
  # leaves nothing behind; in memory when possible (fuzz_support.h says why).
  base=${TMPDIR:-/tmp}
  [ -w /dev/shm ] && base=/dev/shm
  scratch=$(mktemp -d "$base/pelwin-fuzz-run-$target-XXXXXX")
  mkdir "$scratch/new" "$scratch/artifacts" "$scratch/tmp"
  start=$SECONDS
  set +e
  # shellcheck disable=SC2086  # extra holds whole flags
  PELWIN_FUZZ_TMPDIR="$scratch/tmp" "$binary" -runs=$((runs * scale)) -seed="${FUZZ_SEED:-1}" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" $extra \
    "$scratch/new" "$corpus" >"$scratch/log" 2>&1
  status=$?
  set -e
  if [ $status -eq 0 ]; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/log")
    per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$scratch/log")
    echo "== fuzz $target: ok, ${execs:-?} runs, ${per_second:-?}/s, $((SECONDS - start)) s"
  else
    keep="$build_dir/fuzz-artifacts/$target"
    mkdir -p "$keep"
    cp "$scratch"/artifacts/* "$keep"/ 2>/dev/null || true
    echo "== fuzz $target: FAILED (exit $status); inputs kept in $keep" >&2
    grep -E -A40 '^==[0-9]+==ERROR|check failed|deadly signal|ERROR: libFuzzer' "$scratch/log" \
      >"$scratch/report" || true
    if [ -s "$scratch/report" ]; then
      head -60 "$scratch/report" >&2
    else
      tail -40 "$scratch/log" >&2
    fi
    failed=1
  fi
  rm -rf "$scratch"
done
exit $failed
