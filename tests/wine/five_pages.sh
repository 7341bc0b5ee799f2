#!/usr/bin/env bash
# A Selvo or Ortek camera through all five pages under Wine: scan, unplug (the
# removal notification alone moves the wizard on, and the driver's permission
# is granted in the machine's registry), plug in again (the stand-in reads the
# permission), scan, write, finish (the permission is gone). The frames are
# the expected ones byte for byte, and only the chosen fields changed.
#
#   five_pages.sh selvo-kaf|ortek-kai
set -euo pipefail
sample=${1:?usage: five_pages.sh SAMPLE}
case "$sample" in
  selvo-kaf)
    title="Selvo KAF" service=ralcamF
    preselected=('"Not installed" item 1/8' '"IFW, EFW revision 1" item 1/2')
    picks=(4 "7 positions" 2 "EFW revision 2")
    ;;
  ortek-kai)
    title="Ortek KAI" service=vemcamI
    preselected=('"8 positions" item 5/8' '"EFW revision 2" item 2/2')
    picks=(2 "5 positions" 1 "IFW, EFW revision 1")
    ;;
  *) echo "five_pages.sh: no case for $sample" >&2; exit 2 ;;
esac
export WE_NAME=five_pages.$sample
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

# A permission left by an earlier failed run would hide a missing grant.
we_wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters" \
  /v AllowEEPROMWrite /reg:64 /f >/dev/null 2>&1 || true
we_serve "$sample"
we_start_pelwin
we_wait_title "$title"
we_wait_scan_page --until ' enabled "Next ->"'
we_click "Next ->"

we_wait_unplug_page --until "title \"$title\""
we_expect_permission "$service" "" "while the camera is plugged in"
we_camsim unplug >/dev/null
we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
we_expect_permission "$service" 0x1 "while unplugged"

# Nothing listens for the return while nothing is connected: the scan finds it.
we_camsim plug >/dev/null
[ "$(we_status_field write)" = allowed ] || we_fail "the stand-in did not read the permission at plug-in"
we_click "Scan camera"
we_wait_title "$title" --until ' enabled "Next ->"'
we_click "Next ->"

we_wait_filters_page --until "${preselected[0]}" --until "${preselected[1]}"
we_shot 4-filters
we_pick 1 "${picks[0]}" "${picks[1]}"
we_pick 2 "${picks[2]}" "${picks[3]}"
we_click "Write Filters"
we_wait --until ' enabled "Next ->"'
we_shot 4-written
we_click "Next ->"

we_wait_done_page
we_expect_permission "$service" "" "at the last page"
we_click "Finish"
we_wait_exit

[ "$(we_dump_field 'filter positions')" = "${picks[1]}" ] || we_fail "positions not written"
[ "$(we_dump_field 'wheel type')" = "${picks[3]}" ] || we_fail "wheel type not written"
# ConfigFlags and PositionCount: block bytes 4 and 5, the block at 10.
we_check_image 14 15
we_check_frames "$(dirname "$0")/expected/five_pages.$sample.frames"
