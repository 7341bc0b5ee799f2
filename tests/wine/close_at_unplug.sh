#!/usr/bin/env bash
# The driver's permission never outlives pelwin.exe under Wine, read in the
# registry as the driver reads it. First the probe sees a grant: unplugged at
# the unplug page, the camera's AllowEEPROMWrite is 0x1 (and pelwin's mark of
# it stands in the machine's 64-bit view); closing the window then deletes both. Then the
# window is closed at the unplug page with the camera still plugged in: the
# disconnect that closing makes grants the permission (and scans the camera
# still plugged in), and pelwin deletes the value on its way out. At the
# camera's next plug-in the stand-in refuses EEPROM writes.
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac
export WE_NAME=close_at_unplug
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve selvo-kaf
we_start_pelwin
we_wait_title "Selvo KAF"
we_click "Next ->"
we_wait_unplug_page --until 'title "Selvo KAF"'
we_expect_permission ralcamF "" "while the camera is plugged in"
we_camsim unplug >/dev/null
we_wait_scan_page --until 'title "Corvane v3.0"'
we_expect_permission ralcamF 0x1 "once unplugged"
we_read_mark 1030
[ "$WE_MARK" -eq 1 ] || we_fail "no mark of the grant while it is held"
we_close
we_expect_permission ralcamF "" "after pelwin.exe closed at page 3"
we_expect_no_mark 1030 "after pelwin.exe closed at page 3"

we_camsim plug >/dev/null
we_start_pelwin
we_wait_title "Selvo KAF"
we_click "Next ->"
we_wait_unplug_page
we_close
we_expect_permission ralcamF "" "after pelwin.exe closed at the unplug page"
we_expect_no_mark 1030 "after pelwin.exe closed at the unplug page"
we_camsim unplug >/dev/null
we_camsim plug >/dev/null
[ "$(we_status_field write)" = denied ] || we_fail "the stand-in accepts writes after pelwin ended"
we_check_image
we_check_frames "$(dirname "$0")/expected/close_at_unplug.frames"
