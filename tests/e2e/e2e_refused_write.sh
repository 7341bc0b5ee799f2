#!/usr/bin/env bash
# A write the camera refuses: the stop box "Cannot write camera EEPROM", closed
# with the Return key, and the wizard back at page 1 with a fresh scan. The
# camera keeps its old configuration.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
xs_start_camsim tamis-a
xs_start_pelwin
xs_wait '^    text 100 94 [0-9]+ bold "9 positions"$'
xs_click "Next ->"
xs_wait_page "Step 2:"
xs_pick 1 7 "10 positions"

xs_camsim fault refuse 1 0x82 >/dev/null
xs_click "Write Filters"
xs_wait '^box 0x[0-9a-f]+ .* stop "Error"$'
xs_wait '^  boxline 1 "Cannot write camera EEPROM"$'
xs_wait '^  boxline 2 "Contact technical support"$'
xs_wait '^  boxline 3 ""$'
xdotool key Return
xs_wait_gone '^box 0x'
xs_wait_page "Step 1:"
xs_wait '^  button [0-9 ]+ enabled "Scan camera"$'
xs_wait_gone '^  choice '
xs_wait '^    text 100 94 [0-9]+ bold "9 positions"$'
[ "$(xs_dump_field 'filter positions')" = "9 positions" ] || xs_fail "the refused write changed the camera"

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
xs_log "ok"
