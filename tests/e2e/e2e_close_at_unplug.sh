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

# The grant and its removal both happen inside the close. What shows that the
# close granted at all: the marks' key, made with the first mark, and the
# service key, changed by the value's coming and going.
key="$PELWIN_MACHINE_REGISTRY/SYSTEM/CurrentControlSet/Services/ralcamI/Parameters"
grants="$PELWIN_MACHINE_REGISTRY/Software/Varnosti/pelwin/Grants"
[ -d "$key" ] || xs_fail "camsim made no service key"
[ ! -e "$key/AllowEEPROMWrite" ] || xs_fail "the permission was granted before the camera left"
[ ! -e "$grants" ] || xs_fail "a grant was marked before the camera left"
key_changed=$(stat -c %y "$key")
sleep 0.05 # a change to the key must show in its time stamp

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"

[ -d "$grants" ] || xs_fail "the close marked no grant"
[ "$(stat -c %y "$key")" != "$key_changed" ] || xs_fail "the close did not grant the permission"
left=$(find "$PELWIN_MACHINE_REGISTRY" -name AllowEEPROMWrite)
[ -z "$left" ] || xs_fail "the driver's write permission outlived pelwin: $left"
marks=$(find "$grants" -mindepth 1)
[ -z "$marks" ] || xs_fail "the mark of the grant was left behind: $marks"
[ -n "$(xs_registry_value "$PELWIN_USER_REGISTRY" 'Software\Varnosti\pelwin\Window' XPos)" ] ||
  xs_fail "the window position was not stored"

xs_camsim unplug
xs_camsim plug
dump=$(xs_camsim dump)
grep -q '^write permission: not granted' <<<"$dump" ||
  xs_fail "the driver accepts EEPROM writes after pelwin ended"
xs_log "ok"
