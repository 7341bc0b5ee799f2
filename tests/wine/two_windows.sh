#!/usr/bin/env bash
# Two windows of pelwin.exe on one camera, both at the unplug page (a second
# one opened by mistake): one unplug, and both grant the driver's permission at
# the same moment. Then, in each round:
#   grant  the first window is closed; the second plugs the camera in, which
#          must find the permission still granted, scans, writes and finishes;
#   close  both windows are closed at one moment (as "Close all windows" does).
# Afterwards neither AllowEEPROMWrite nor pelwin's mark of it is left.
#
#   two_windows.sh grant|close [ROUNDS]   (default 3 rounds)
set -euo pipefail
case "${1:-}" in
  grant | close) ;;
  -h | --help)
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *) echo "usage: two_windows.sh grant|close [ROUNDS]" >&2; exit 2 ;;
esac
scenario=$1
rounds=${2:-3}
export WE_NAME=two_windows.$scenario
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

FIRST=""
# The test's own status first: the first window's kill must not pass for it.
trap 'status=$?; [ -z "$FIRST" ] || kill "$FIRST" 2>/dev/null || true; we_finish "$status"; exit "$WE_STATUS"' EXIT

# ended PID: the window's program ends with status 0 within 15 s.
ended() {
  we_poll 15 eval "! kill -0 $1 2>/dev/null" || we_fail "round $round: pelwin.exe $1 did not end"
  local status=0
  wait "$1" || status=$?
  [ "$status" -eq 0 ] || we_fail "round $round: pelwin.exe $1 ended with status $status"
}

# two_titled TITLE: X shows two windows of that title.
two_titled() { [ "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l)" -eq 2 ]; }

# A fresh camera and two windows on it, both at the unplug page, then the
# unplug that both see.
two_windows_granted() {
  we_serve selvo-kaf
  we_start_pelwin
  FIRST=$WE_PELWIN_PID
  we_wait_title "Selvo KAF"
  we_wait_scan_page --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_unplug_page --until 'title "Selvo KAF"'
  # The second opens over the first, at the same place: the probe and the
  # mouse reach it from now on, once it is there (the first one's window
  # already answers the start's own look). Only it can show page 1.
  we_start_pelwin
  we_poll 30 two_titled "Selvo KAF" || we_fail "round $round: the second window did not open"
  we_wait_scan_page --until 'title "Selvo KAF"' --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_unplug_page --until 'title "Selvo KAF"'
  we_camsim unplug >/dev/null
  we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
  we_expect_permission ralcamF 0x1 "in round $round once unplugged"
}

close_windows() {
  local out
  out=$(we_wine "$WE_PROBE" close class:PelwinWindow "$1" | tr -d '\r')
  [ "$out" = "closed $2" ] || we_fail "round $round: the probe's close $1 said \"$out\""
}

nothing_left() {
  we_expect_permission ralcamF "" "in round $round after both windows ended"
  we_expect_no_mark 1030 "in round $round after both windows ended"
  we_camsim stop >/dev/null || we_fail "round $round: camsim.exe stop failed"
  wait "$WE_SERVE_PID" || we_fail "round $round: camsim.exe serve did not end cleanly"
  WE_SERVE_PID=""
}

for round in $(seq 1 "$rounds"); do
  two_windows_granted
  if [ "$scenario" = grant ]; then
    close_windows oldest 1
    ended "$FIRST"
    FIRST=""
    we_camsim plug >/dev/null
    [ "$(we_status_field write)" = allowed ] ||
      we_fail "round $round: closing the first window took the second one's permission"
    we_click "Scan camera"
    we_wait_title "Selvo KAF" --until ' enabled "Next ->"'
    we_click "Next ->"
    we_wait_filters_page
    we_pick 1 4 "7 positions"
    we_pick 2 2 "EFW revision 2"
    we_click "Write Filters"
    we_wait --until ' enabled "Next ->"'
    we_click "Next ->"
    we_wait_done_page
    we_click "Finish"
    we_wait_exit
    [ "$(we_dump_field 'filter positions')" = "7 positions" ] ||
      we_fail "round $round: positions not written"
    we_check_image 14 15
  else
    close_windows all 2
    ended "$FIRST"
    FIRST=""
    ended "$WE_PELWIN_PID"
    WE_PELWIN_PID=""
  fi
  nothing_left
  we_log "round $round: ok"
done
