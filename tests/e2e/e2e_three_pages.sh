#!/usr/bin/env bash
# A Tamis camera needs no driver permission: scan, filters, finish, with the
# pages headed "Step 1:" to "Step 3:".
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
xs_start_camsim tamis-b
[ "$(xs_dump_field 'filter positions')" = "12 positions" ] || xs_fail "unexpected sample camera"

xs_start_pelwin
xs_wait_title "Tamis Camera"
xs_wait_page "Step 1:"
xs_wait '^    text 100 94 [0-9]+ bold "12 positions"$'
xs_click "Next ->"

xs_wait_page "Step 2:"
xs_wait '^  choice [0-9 ]+ enabled 8/8 "12 positions"$'
xs_wait '^  choice [0-9 ]+ enabled 2/2 "EFW revision 2"$'
xs_pick 1 2 "5 positions"
xs_pick 2 1 "IFW, EFW revision 1"
xs_click "Write Filters"
xs_wait '^  button [0-9 ]+ enabled "Next ->"$'
xs_click "Next ->"

xs_wait_page "Step 3:"
xs_click "Finish"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
[ -z "$(find "$PELWIN_MACHINE_REGISTRY" -name AllowEEPROMWrite)" ] ||
  xs_fail "a Tamis camera got a driver permission"

[ "$(xs_dump_field 'filter positions')" = "5 positions" ] || xs_fail "positions not written"
[ "$(xs_dump_field 'wheel type')" = "IFW, EFW revision 1" ] || xs_fail "wheel type not written"
xs_log "ok"
