#!/usr/bin/env bash
# Regenerates docs/reliability.md from the fault-matrix and permission tests'
# own output; the first of them starts the file, the others add their parts.
# The last parts, from "Who can touch the permission" on (the threat model and
# "Under Wine"), are written by hand: they are kept as they are, after the
# parts made anew. What the failing transfers
# must show is not made here: it is tests/endtoend/expected/fault_matrix.tsv,
# which the tests check every run against.
#
#   tools/update_reliability.sh [INTEGRATION-TEST-BINARY]
#
# The binary defaults to build/linux/tests/pelwin_integration_tests.
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac
cd "$(dirname "$0")/.."
bin=${1:-build/linux/tests/pelwin_integration_tests}
[ -x "$bin" ] || { echo "build first: ./run build" >&2; exit 1; }
doc=$PWD/docs/reliability.md
wine_part=$(sed -n '/^## Who can touch the permission$/,$p' "$doc")
PELWIN_RELIABILITY_REPORT="$doc" "$bin" --gtest_filter='FaultMatrix.*:Permission.*'
if [ -n "$wine_part" ]; then
  printf '\n%s\n' "$wine_part" >>"$doc"
fi
