#!/usr/bin/env bash
# Closing the window at the unplug page: the disconnect that closing makes
# grants the driver's write permission, and pelwin takes it back on its way
# out. At the camera's next plug-in its driver refuses EEPROM writes.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
xs_start_camsim selvo-kai
xs_start_pelwin
xs_wait_page "Step 1:"
xs_click "Next ->"
xs_wait_page "Step 2:"
xs_wait '^  button [0-9 ]+ disabled "Next ->"$'

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"

left=$(find "$PELWIN_MACHINE_REGISTRY" -name AllowEEPROMWrite)
[ -z "$left" ] || xs_fail "the driver's write permission outlived pelwin: $left"
[ ! -e "$PELWIN_USER_REGISTRY/Software/Varnosti/pelwin/Window/GrantCode" ] ||
  xs_fail "the record of the grant was left behind"
[ -n "$(xs_registry_value "$PELWIN_USER_REGISTRY" 'Software\Varnosti\pelwin\Window' XPos)" ] ||
  xs_fail "the window position was not stored"

xs_camsim unplug
xs_camsim plug
xs_camsim dump | grep -q '^write permission: not granted' ||
  xs_fail "the driver accepts EEPROM writes after pelwin ended"
xs_log "ok"
