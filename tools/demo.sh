#!/usr/bin/env bash
# `./run demo`: a sample Selvo camera served by camsim, and pelwin against it.
#
# With a DISPLAY you drive pelwin yourself; the demo tells you when to unplug
# and replug the simulated camera. Without one it starts its own X server and
# drives the five-page configuration: a first write that the camera refuses
# (the wizard starts over), then the real one. It keeps a screenshot of every
# page and box in build/demo/screenshots/ and succeeds only when the camera
# holds the new configuration.
#
# Everything lives under build/demo/ (device root, registries, camsim's EEPROM
# image, logs), made afresh on every run. PELWIN_BUILD_DIR picks the build
# (default build/linux, the one `./run demo` builds). The demo is the scenario
# `demo` of the end-to-end driver (tests/endtoend/window.py).
set -euo pipefail
case "${1:-}" in
  -h | --help) sed -n '2,14s/^# \{0,1\}//p' "$0" && exit 0 ;;
esac
cd "$(dirname "$0")/.."

BUILD=${PELWIN_BUILD_DIR:-build/linux}
case "$BUILD" in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
export PELWIN=$BUILD/app/pelwin CAMSIM=$BUILD/sim/camsim
for program in "$PELWIN" "$CAMSIM"; do
  [ -x "$program" ] || { echo "demo: $program is not built (./run build)" >&2; exit 1; }
done

DEMO=$PWD/build/demo
rm -rf "$DEMO"
export E2E_WORK=$DEMO E2E_SHOTS=$DEMO/screenshots E2E_ARTIFACTS=$DEMO/failure
export E2E_DISPLAY=${DISPLAY:-}
exec python3 tests/endtoend/run.py linux demo --name demo
