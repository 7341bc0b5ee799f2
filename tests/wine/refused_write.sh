#!/usr/bin/env bash
# A write the camera refuses, under Wine: the stop box "Cannot write camera
# EEPROM", closed with Return, the wizard back at page 1 with a fresh scan, and
# the camera's image unchanged.
set -euo pipefail
export WE_NAME=refused_write
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve tamis-a
we_start_pelwin
we_wait_title "Tamis Camera"
we_click "Next ->"
we_wait_filters_page --until '"9 positions" item 6/8'
we_pick 1 7 "10 positions"

we_camsim fault refuse 1 0x82 >/dev/null
we_click "Write Filters"
we_answer_error "Cannot write camera EEPROM" "Contact technical support"

# Page 1 again, scanned afresh: no lists, Next enabled by the scan.
we_wait_scan_page --until ' enabled "Next ->"' --until 'title "Tamis Camera"'
we_check_image
[ "$(we_dump_field 'filter positions')" = "9 positions" ] || we_fail "the refused write changed the camera"
we_close
we_check_frames "$(dirname "$0")/expected/refused_write.frames"
