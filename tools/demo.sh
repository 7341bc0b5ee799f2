#!/usr/bin/env bash
# `./run demo`: a sample Selvo camera served by camsim, and pelwin against it.
#
# With a DISPLAY you drive pelwin yourself; the demo tells you when to unplug
# and replug the simulated camera. Without one it starts its own X server and
# drives the five-page configuration with xdotool: a first write that the
# camera refuses (the wizard starts over), then the real one. It keeps a
# screenshot of every page and box in build/demo/screenshots/ and succeeds only
# when the camera holds the new configuration.
#
# Everything lives under build/demo/ (device root, registries, camsim's EEPROM
# image, logs), made afresh on every run. PELWIN_BUILD_DIR picks the build
# (default build/linux, the one `./run demo` builds).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

BUILD=${PELWIN_BUILD_DIR:-build/linux}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
export PELWIN=$BUILD/app/pelwin CAMSIM=$BUILD/sim/camsim
for program in "$PELWIN" "$CAMSIM"; do
  [ -x "$program" ] || { echo "demo: $program is not built (./run build)" >&2; exit 1; }
done

DEMO=$ROOT/build/demo
rm -rf "$DEMO"
SHOTS=$DEMO/screenshots
mkdir -p "$SHOTS"
export XS_WORK=$DEMO XS_NAME=demo XS_ARTIFACTS=$DEMO/failure
# shellcheck source=SCRIPTDIR/../tests/e2e/x_session.sh
source "$ROOT/tests/e2e/x_session.sh"

# The sample and what the demo turns it into.
SAMPLE=selvo-kaf
NEW_POSITIONS_ITEM=4
NEW_POSITIONS="7 positions"
NEW_WHEEL_ITEM=2
NEW_WHEEL="EFW revision 2"

show_camera() {
  echo "== the camera $1"
  "$CAMSIM" dump | grep -E '^(camera:|camera ID|type name|filter positions|wheel type)' |
    sed 's/^/   /'
}

camsim_command() {
  printf 'PELWIN_DEVICE_ROOT=%q %q %s' "$PELWIN_DEVICE_ROOT" "$CAMSIM" "$1"
}

# shot NAME [KIND]: the main window and any box over it (KIND window|box: only
# that), cut out of the screen.
shot() {
  local area
  area=$(awk -v only="${2:-}" '
    ($1 == "window" || $1 == "box") && (only == "" || only == $1) {
      if (n++ == 0) { x0 = $3; y0 = $4; x1 = $3 + $5; y1 = $4 + $6; next }
      if ($3 < x0) x0 = $3
      if ($4 < y0) y0 = $4
      if ($3 + $5 > x1) x1 = $3 + $5
      if ($4 + $6 > y1) y1 = $4 + $6
    }
    END { m = only == "box" ? 0 : 12; printf "%dx%d+%d+%d", x1 - x0 + 2 * m, y1 - y0 + 2 * m, x0 - m, y0 - m }
  ' "$PELWIN_FLTK_SNAPSHOT")
  import -window root -crop "$area" +repage "$SHOTS/$1.png"
  echo "   screenshot: ${SHOTS#"$ROOT"/}/$1.png"
}

interactive() {
  echo "== pelwin runs on $DISPLAY; close it or press Finish to end the demo"
  xs_start_pelwin
  local told2=0 told3=0
  while ! xs_pelwin_ended; do
    if [ $told2 -eq 0 ] && xs_snapshot_matches '^    text 0 0 [0-9]+ bold "Step 2:"$'; then
      echo "== page 2 asks you to unplug the camera; in another terminal run:"
      echo "   $(camsim_command unplug)"
      told2=1
    fi
    if [ $told3 -eq 0 ] && xs_snapshot_matches '^    text 0 0 [0-9]+ bold "Step 3:"$'; then
      echo "== page 3: plug the camera in again, then press [Scan camera]:"
      echo "   $(camsim_command plug)"
      told3=1
    fi
    sleep 0.2
  done
  PELWIN_STATUS=0
  wait "$PELWIN_PID" || PELWIN_STATUS=$?
  echo "== pelwin ended with status $PELWIN_STATUS"
}

# pages 1 to 3, up to the filters page; screenshots on the first walk only.
walk_to_filters() {
  local first=$1
  xs_wait_page "Step 1:"
  xs_wait '^    text 100 46 [0-9]+ bold "SV-KAF 1600"$'
  xs_wait '^  button [0-9 ]+ enabled "Next ->"$'
  if [ "$first" -eq 1 ]; then
    shot 1-scan
    xdotool mousemove --window "$WIN" 200 60 key F1
    xs_wait '^box 0x[0-9a-f]+ .* "About configuration tool"$'
    shot about box
    xdotool key Return
    xs_wait_gone '^box '
  fi
  xs_click "Next ->"

  echo "-- page 2: unplug the camera"
  xs_wait_page "Step 2:"
  xs_wait '^  button [0-9 ]+ disabled "Next ->"$'
  [ "$first" -eq 0 ] || shot 2-unplug
  echo "   $(camsim_command unplug)"
  xs_camsim unplug

  echo "-- page 3: plug it in again and scan (the unplug moved the wizard on)"
  xs_wait_page "Step 3:"
  xs_wait '^    text 100 46 [0-9]+ bold "Not connected"$'
  [ "$first" -eq 0 ] || shot 3-unplugged
  echo "   $(camsim_command plug)"
  xs_camsim plug
  xs_click "Scan camera"
  xs_wait '^    text 100 46 [0-9]+ bold "SV-KAF 1600"$'
  [ "$first" -eq 0 ] || shot 3-scan-again
  xs_click "Next ->"
  xs_wait_page "Step 4:"
}

automatic() {
  echo "== no DISPLAY: pelwin runs in a private X server, driven by xdotool"
  xs_start_x
  xs_start_pelwin

  echo "-- page 1: the first scan"
  walk_to_filters 1
  echo "-- page 4: first a write that the camera refuses"
  shot 4-filters
  echo "   $(camsim_command 'fault refuse 1 0x82')"
  xs_camsim fault refuse 1 0x82 >/dev/null
  xs_click "Write Filters"
  xs_wait '^box 0x[0-9a-f]+ .* stop "Error"$'
  shot error-write box
  xdotool key Return

  echo "-- page 1 again: the wizard started over"
  walk_to_filters 0
  echo "-- page 4: $NEW_POSITIONS, $NEW_WHEEL"
  local wx wy x y w h
  read -r _ _ wx wy _ <<<"$(awk '$1 == "window" { print; exit }' "$PELWIN_FLTK_SNAPSHOT")"
  read -r _ x y w h _ <<<"$(awk '$1 == "choice" { print; exit }' "$PELWIN_FLTK_SNAPSHOT")"
  xdotool mousemove --window "$WIN" $((x + w / 2)) $((y + h / 2)) click 1
  sleep 0.3  # the list's popup is not in the snapshot; give it a moment to draw
  import -window root -crop "300x260+$((wx - 12))+$((wy - 12))" +repage "$SHOTS/4-list-open.png"
  echo "   screenshot: ${SHOTS#"$ROOT"/}/4-list-open.png"
  xdotool key Escape
  xs_pick 1 "$NEW_POSITIONS_ITEM" "$NEW_POSITIONS"
  xs_pick 2 "$NEW_WHEEL_ITEM" "$NEW_WHEEL"
  xs_click "Write Filters"
  xs_wait '^  button [0-9 ]+ enabled "Next ->"$'
  shot 4-written
  xs_click "Next ->"

  echo "-- page 5: done"
  xs_wait_page "Step 5:"
  shot 5-done
  xs_click "Finish"
  xs_wait_exit
  echo "== pelwin ended with status $PELWIN_STATUS"
}

xs_start_camsim "$SAMPLE"
show_camera before
if [ -n "${DISPLAY:-}" ]; then
  interactive
else
  automatic
fi
show_camera after
if [ -n "${DISPLAY:-}" ]; then
  exit "$PELWIN_STATUS"
fi

positions=$(xs_dump_field 'filter positions')
wheel=$(xs_dump_field 'wheel type')
if [ "$PELWIN_STATUS" -eq 0 ] && [ "$positions" = "$NEW_POSITIONS" ] && [ "$wheel" = "$NEW_WHEEL" ]; then
  echo "== the camera holds the new configuration"
  exit 0
fi
echo "== the camera does not hold $NEW_POSITIONS / $NEW_WHEEL" >&2
exit 1
