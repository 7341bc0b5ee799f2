#!/usr/bin/env bash
# Under Wine: pelwin's EEPROM read command against a bare WriteFile/ReadFile
# pair of the same sizes on the same pipes of the camera stand-in, command by
# command in one process (wine_eeprom_bench.exe), several runs in a row. Each
# run gives the median of its per-pair ratios; the runs must meet the goal
# (ratio at most 1.10) and agree (spread at most 0.10).
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: bench/wine/eeprom.sh [OPTIONS] [BENCH-BUILD-DIR [STANDIN-BUILD-DIR]]

Runs bench/wine/wine_eeprom_bench.exe of BENCH-BUILD-DIR (default
build/windows-i686, the 32-bit program) against a Selvo KAF camera served by
camsim.exe behind the driver stand-in of STANDIN-BUILD-DIR (default
build/windows-cross; the stand-in is a 64-bit driver, whatever the program's
architecture), in the session of the Wine end-to-end tests: a running one is
used and left running, else one is started here and stopped at the end.

Options:
  --runs N     runs of the bench, one process each (default 5)
  --pairs N    product/bare pairs per run (default 4000)
  --cpu N      the CPU that the bench, camsim.exe and the wineserver share
               (default: the last one); "none" leaves them unpinned
  --help       this text

Prints each run's median per-pair ratio (with its two median times), then the
median and the spread (largest minus smallest) of the runs' ratios.
Exit status: 0 every run at most 1.10 and a spread of at most 0.10; 1 the goal
missed or the runs too far apart; 2 nothing measured (missing build, no camera).
USAGE
}

runs=5
pairs=4000
cpu=
positional=()
while [ $# -gt 0 ]; do
  case "$1" in
    --help) usage; exit 0 ;;
    --runs | --pairs | --cpu)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      case "$1" in
        --runs) runs=$2 ;;
        --pairs) pairs=$2 ;;
        --cpu) cpu=$2 ;;
      esac
      shift 2
      ;;
    -*) usage >&2; exit 2 ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ "${#positional[@]}" -le 2 ] || { usage >&2; exit 2; }
[[ "$runs" =~ ^[1-9][0-9]*$ && "$pairs" =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; }
cpus=$(nproc --all)
cpu=${cpu:-$((cpus - 1))}
if [ "$cpu" != none ] && ! { [[ "$cpu" =~ ^[0-9]+$ ]] && [ "$cpu" -lt "$cpus" ]; }; then
  echo "eeprom.sh: --cpu takes a CPU from 0 to $((cpus - 1)) or \"none\"" >&2
  exit 2
fi

cd "$(dirname "$0")/../.."
bench_build=${positional[0]:-build/windows-i686}
standin_build=${positional[1]:-build/windows-cross}
bench_exe=$bench_build/bench/wine/wine_eeprom_bench.exe
if [ ! -f "$bench_exe" ]; then
  echo "eeprom.sh: no $bench_exe: build it first" \
    "(cmake --build --preset windows-i686 --target wine_eeprom_bench)" >&2
  exit 2
fi
for file in sim/windows/camsim.exe sim/windows/camsim-standin.sys; do
  if [ ! -f "$standin_build/$file" ]; then
    echo "eeprom.sh: no $standin_build/$file: build the 64-bit camera server and stand-in first" \
      "(cmake --build --preset windows-cross --target camsim_windows)" >&2
    exit 2
  fi
done
bench_exe=$(cd "$(dirname "$bench_exe")" && pwd)/$(basename "$bench_exe")
standin_build=$(cd "$standin_build" && pwd)

# The PE header's machine field: which of the two the run measured.
architecture=$(python3 - "$bench_exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
header = struct.unpack_from("<I", data, 0x3C)[0]
machine = struct.unpack_from("<H", data, header + 4)[0]
print({0x14C: "i686, 32-bit", 0x8664: "x86-64"}.get(machine, f"machine 0x{machine:x}"))
PY
)

export WE_BUILD=$standin_build WE_NAME=bench-eeprom
# shellcheck source=SCRIPTDIR/../../tests/wine/wine_e2e.sh
source tests/wine/wine_e2e.sh
own_session=1
[ ! -f "$standin_build/tests/wine/session/env" ] || own_session=0
wineserver_pid=
wineserver_mask=
finish() {
  # A session that goes on running gets its server back as it was.
  if [ -n "$wineserver_mask" ] && [ "$own_session" -eq 0 ]; then
    taskset -a -p "$wineserver_mask" "$wineserver_pid" >/dev/null 2>&1 || true
  fi
  we_finish "$1"
  [ "$own_session" -eq 0 ] || tests/wine/session.sh stop "$standin_build" >/dev/null
  exit "$WE_STATUS"
}
trap 'finish $?' EXIT
cannot() {
  we_log "cannot measure: $*"
  exit 2
}
[ "$own_session" -eq 0 ] || tests/wine/session.sh start "$standin_build" >/dev/null || exit 2
we_attach

# One CPU for the whole round trip (bench -> wineserver -> camsim.exe ->
# wineserver -> bench): every hand-over is then a switch on that CPU, where an
# unpinned run wakes the other CPU at some hand-overs and not at others, and the
# round trip jumps between 80 and 500 us from command to command.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
if [ "$cpu" = none ]; then
  layout="unpinned"
else
  # The prefix's server is the one whose directory is named after the
  # prefix's device and inode.
  server_dir=$(stat -c 'server-%d-%i' "$WINEPREFIX" | awk -F- '{ printf "server-%x-%x", $2, $3 }')
  for pid in $(pgrep -x 'wineserver|wineserver64' || true); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
      */"$server_dir") wineserver_pid=$pid ;;
    esac
  done
  [ -n "$wineserver_pid" ] || cannot "no wineserver for $WINEPREFIX"
  wineserver_mask=$(taskset -p "$wineserver_pid" | sed 's/.*: //')
  taskset -a -p -c "$cpu" "$wineserver_pid" >/dev/null
  # camsim.exe and the bench start from this shell and inherit its CPU.
  taskset -p -c "$cpu" $$ >/dev/null
  layout="bench, camsim.exe and wineserver (pid $wineserver_pid) on CPU $cpu of $cpus"
fi
we_serve selvo-kaf
if [ "$cpu" != none ]; then
  for pid in "$WE_SERVE_PID" "$wineserver_pid"; do
    allowed=$(sed -n 's/^Cpus_allowed_list:\s*//p' "/proc/$pid/status")
    [ "$allowed" = "$cpu" ] || cannot "process $pid runs on CPUs $allowed, not on CPU $cpu alone"
  done
fi

echo "program: $bench_exe ($architecture)"
echo "layout: $layout"
ratios=()
for ((run = 1; run <= runs; run++)); do
  line=$(we_wine "$bench_exe" --pairs "$pairs" | tr -d '\r') || exit 2
  # pairs N product US bare US ratio R
  read -r _ counted _ product _ bare _ ratio <<<"$line"
  [ "$counted" = "$pairs" ] || cannot "unexpected bench output: $line"
  printf 'run %d: ratio %s (product %s us, bare %s us, median of %s pairs)\n' \
    "$run" "$ratio" "$product" "$bare" "$pairs"
  ratios+=("$ratio")
done
echo "load average: $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after"

printf '%s\n' "${ratios[@]}" | sort -g | awk '
  { r[NR] = $1 }
  END {
    median = NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
    spread = r[NR] - r[1]
    printf "ratios: median %.3f, from %.3f to %.3f, spread %.3f\n", median, r[1], r[NR], spread
    goal = r[NR] <= 1.10
    agree = spread <= 0.10
    printf "goal (every run at most 1.10): %s; spread at most 0.10: %s\n",
      goal ? "met" : "MISSED", agree ? "yes" : "NO"
    exit goal && agree ? 0 : 1
  }'
