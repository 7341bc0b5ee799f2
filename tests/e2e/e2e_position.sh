#!/usr/bin/env bash
# The window opens where it was last closed: the frame's close request stores
# its left and top edges in the user registry, the next start reads them. A
# stored position partly on the screen is used as it is; one on no screen at all
# (the monitor it was on has gone) opens the window at the default position.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

key='Software\Varnosti\pelwin\Window'

# window_at X Y: pelwin's own view and the X server's agree.
window_at() {
  xs_wait "^window 0x[0-9a-f]+ $1 $2 272 188 normal open "
  local geometry
  geometry=$(xdotool getwindowgeometry "$WIN" 2>&1) || true
  grep -q "Position: $1,$2 " <<<"$geometry" || xs_fail "X places the window elsewhere: $geometry"
}

close_and_check() {
  "$E2E_XCLOSE" "$WIN"
  xs_wait_exit
  [ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
  local x y
  x=$(xs_registry_value "$PELWIN_USER_REGISTRY" "$key" XPos)
  y=$(xs_registry_value "$PELWIN_USER_REGISTRY" "$key" YPos)
  [ "$x,$y" = "$1,$2" ] || xs_fail "stored position $x,$y, expected $1,$2"
}

xs_start_x
# No camera: the position does not depend on one.

xs_start_pelwin
window_at 100 100
xdotool windowmove "$WIN" 150 120
window_at 150 120
close_and_check 150 120

xs_start_pelwin
window_at 150 120
close_and_check 150 120

keyDir="$PELWIN_USER_REGISTRY/${key//\\//}"
# store X Y: as a run on another monitor layout would have left them.
store() {
  printf 'dword:%08x\n' $(($1 & 0xffffffff)) >"$keyDir/XPos"
  printf 'dword:%08x\n' $(($2 & 0xffffffff)) >"$keyDir/YPos"
}

# The screen is 640 by 480; the window 272 by 188.
store -40 400
xs_start_pelwin
window_at -40 400
close_and_check -40 400

store -40 600
xs_start_pelwin
window_at 100 100
close_and_check 100 100
xs_log "ok"
