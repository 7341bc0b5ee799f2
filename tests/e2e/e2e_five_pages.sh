#!/usr/bin/env bash
# A Selvo camera through all five pages: scan, unplug (the wizard moves on by
# itself), scan again, new filters written, finish. The camera must hold the
# new configuration afterwards and the driver permission must be gone again.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
xs_start_camsim selvo-kaf
[ "$(xs_dump_field 'filter positions')" = "Not installed" ] || xs_fail "unexpected sample camera"

xs_start_pelwin
xs_wait_page "Step 1:"
xs_wait '^    text 100 46 [0-9]+ bold "SV-KAF 1600"$'
xs_click "Next ->"

xs_wait_page "Step 2:"
xs_wait '^  button [0-9 ]+ disabled "Next ->"$'
# The removal notification alone moves the wizard on: no click.
xs_camsim unplug
xs_wait_page "Step 3:"
xs_wait '^    text 100 46 [0-9]+ bold "Not connected"$'
xs_wait '^  button [0-9 ]+ enabled "Scan camera"$'
permission="$PELWIN_MACHINE_REGISTRY/SYSTEM/CurrentControlSet/Services/ralcamF/Parameters/AllowEEPROMWrite"
[ -f "$permission" ] || xs_fail "the driver's write permission was not granted while unplugged"

# No camera is connected, so nothing listens for its return: the scan finds it.
xs_camsim plug
xs_click "Scan camera"
xs_wait '^    text 100 46 [0-9]+ bold "SV-KAF 1600"$'
xs_wait_title "Selvo KAF"
xs_click "Next ->"

xs_wait_page "Step 4:"
xs_wait '^  button [0-9 ]+ disabled "Next ->"$'
xs_pick 1 4 "7 positions"
xs_pick 2 2 "EFW revision 2"
xs_click "Write Filters"
xs_wait '^  button [0-9 ]+ enabled "Next ->"$'
xs_click "Next ->"

xs_wait_page "Step 5:"
xs_wait '^    text 0 70 [0-9]+ bold "unplugged from power and plugged again."$'
[ ! -e "$permission" ] || xs_fail "the driver's write permission was left behind"
xs_click "Finish"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"

[ "$(xs_dump_field 'filter positions')" = "7 positions" ] || xs_fail "positions not written"
[ "$(xs_dump_field 'wheel type')" = "EFW revision 2" ] || xs_fail "wheel type not written"
xs_log "ok"
