#!/usr/bin/env bash
# Regenerates docs/reliability.md from the fault-matrix tests' own output; the
# first of them starts the file, the others add their parts.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/tests/pelwin_integration_tests}
[ -x "$bin" ] || { echo "build first: ./run build" >&2; exit 1; }
PELWIN_RELIABILITY_REPORT="$PWD/docs/reliability.md" "$bin" \
  --gtest_filter='FaultMatrix.*'
