#!/usr/bin/env bash
# A Tamis camera through its three pages under Wine: long-form frames, the
# block written in two parts and read back, no driver permission at all.
set -euo pipefail
export WE_NAME=three_pages
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve tamis-b
we_start_pelwin
we_wait_title "Tamis Camera"
we_wait_scan_page --until ' enabled "Next ->"'
we_click "Next ->"

# Straight to the filters page, with the stored values preselected.
we_wait_filters_page --until '"12 positions" item 8/8' --until '"EFW revision 2" item 2/2'
we_pick 1 2 "5 positions"
we_pick 2 1 "IFW, EFW revision 1"
we_click "Write Filters"
we_wait --until ' enabled "Next ->"'
we_click "Next ->"

we_wait_done_page
we_click "Finish"
we_wait_exit

[ "$(we_dump_field 'filter positions')" = "5 positions" ] || we_fail "positions not written"
[ "$(we_dump_field 'wheel type')" = "IFW, EFW revision 1" ] || we_fail "wheel type not written"
[ "$(we_status_field write)" = not-needed ] || we_fail "a Tamis camera's write permission mattered"
# ConfigFlags and PositionCount of the block at 0x3FF80.
we_check_image 0x3FF84 0x3FF85
we_check_frames "$(dirname "$0")/expected/three_pages.frames"
