#!/usr/bin/env bash
# Closing the window at the unplug page under Wine: the disconnect that closing
# makes grants the driver's permission (and scans the camera still plugged in),
# and pelwin deletes the value on its way out, as the real registry holds it.
# At the camera's next plug-in the stand-in refuses EEPROM writes.
set -euo pipefail
export WE_NAME=close_at_unplug
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve selvo-kaf
we_start_pelwin
we_wait_title "Selvo KAF"
we_click "Next ->"
we_wait_unplug_page
we_close

[ -z "$(we_permission ralcamF)" ] || we_fail "AllowEEPROMWrite outlived pelwin.exe"
! we_wine reg query 'HKCU\Software\Varnosti\pelwin\Window' /v GrantCode >/dev/null 2>&1 ||
  we_fail "the record of the grant was left behind"
we_camsim unplug >/dev/null
we_camsim plug >/dev/null
[ "$(we_status_field write)" = denied ] || we_fail "the stand-in accepts writes after pelwin ended"
we_check_image
we_check_frames "$(dirname "$0")/expected/close_at_unplug.frames"
