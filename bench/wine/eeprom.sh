#!/usr/bin/env bash
# Under Wine: one EEPROM read command of pelwin.exe's camera link through the
# camera stand-in, against a bare WriteFile/ReadFile pair of the same sizes on
# the same pipes, alternating in one process. Prints both medians and the
# ratio (goal: at most 1.10).
#
#   bench/wine/eeprom.sh [BUILD-DIR] [ROUNDS] [COMMANDS-PER-ROUND]
#
# BUILD-DIR defaults to build/windows-cross. The camera is a Selvo KAF served
# by camsim.exe in the prefix of the Wine end-to-end tests, made and torn down
# here as those tests do (tests/wine/session.sh). Exit status 0 goal met,
# 1 missed, 2 could not measure.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/windows-cross}" && pwd)
rounds=${2:-21}
per_round=${3:-500}
bench_exe=$build/bench/wine/wine_eeprom_bench.exe
[ -f "$bench_exe" ] || { echo "build first: cmake --build --preset windows-cross" >&2; exit 2; }

export WE_BUILD=$build WE_NAME=bench-eeprom
# shellcheck source=SCRIPTDIR/../../tests/wine/wine_e2e.sh
source tests/wine/wine_e2e.sh
# A session already running (the tests', or one started by hand) is used and
# left running; one started here is stopped here.
own_session=1
[ ! -f "$build/tests/wine/session/env" ] || own_session=0
finish() {
  we_finish "$1"
  [ "$own_session" -eq 0 ] || tests/wine/session.sh stop "$build" >/dev/null
  exit "$WE_STATUS"
}
trap 'finish $?' EXIT
[ "$own_session" -eq 0 ] || tests/wine/session.sh start "$build" >/dev/null || exit 2
we_attach
we_serve selvo-kaf

out=$WE_WORK/rounds.txt
we_wine "$bench_exe" "$rounds" "$per_round" | tr -d '\r' >"$out" || exit 2
python3 - "$out" <<'PY'
import statistics, sys
product, bare = [], []
for line in open(sys.argv[1]):
    _, p, _, b = line.split()
    product.append(float(p))
    bare.append(float(b))
mp, mb = statistics.median(product), statistics.median(bare)
print(f"EEPROM read through pelwin's camera link: {mp:.1f} us (median of {len(product)} rounds)")
print(f"bare WriteFile/ReadFile pair:             {mb:.1f} us (median of {len(bare)} rounds)")
print(f"ratio: {mp / mb:.3f} (goal <= 1.10)")
sys.exit(0 if mp / mb <= 1.10 else 1)
PY
