#!/usr/bin/env bash
# Regenerates docs/reliability.md from the fault-matrix test's own output.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/tests/pelwin_integration_tests}
[ -x "$bin" ] || { echo "build first: ./run build" >&2; exit 1; }
PELWIN_RELIABILITY_REPORT="$PWD/docs/reliability.md" "$bin" \
  --gtest_filter='FaultMatrix.EveryTransferFailingEveryWay'
