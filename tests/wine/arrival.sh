#!/usr/bin/env bash
# Another Selvo KAF camera arrives while pelwin.exe is connected, under Wine:
# camsim.exe serves two cameras of the class, on the stand-in's two devices.
# A new connection is to the first of them plugged in, device by device, as
# the program's search takes the first interface of the class that opens.
#
#   arrival.sh connected     at page 1: the arrival reconnects (the pipes are
#                            closed and opened again, the title changes twice,
#                            to "Corvane v3.0" and back, and is the kind's
#                            again); a removal of the other camera disconnects
#                            (the title goes back to "Corvane v3.0") and the
#                            next scan connects again
#   arrival.sh same          at the filters page another camera arrives that is
#                            found after the first: the reconnect finds the
#                            scanned camera again, which is read, found equal,
#                            written and verified
#
# (Another camera found first at the filters page is a scenario both ports run:
# other_camera in tests/endtoend/scenarios.py, the test wine.arrival.other.)
#
# The configured camera is "first", the arriving one "other" (the first one's
# image with another camera ID). Every case checks the frames of each camera
# byte for byte, that "other" never gets a write frame and keeps its image,
# and that AllowEEPROMWrite is gone afterwards.
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  connected | same) case=$1 ;;
  *) echo "usage: arrival.sh connected|same" >&2; exit 2 ;;
esac
export WE_NAME=arrival.$case WE_CAMERA=first
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

title="Selvo KAF" service=ralcamF
we_wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters" \
  /v AllowEEPROMWrite /reg:64 /f >/dev/null 2>&1 || true
we_serve --second other selvo-kaf=first
# The other camera: the first one's image with another camera ID.
we_images flip "$WE_WORK/before.bin" "$WE_WORK/other.bin" 10 0x01
we_camsim image other --load "$(we_winpath "$WE_WORK/other.bin")" >/dev/null ||
  we_fail "camsim.exe image other --load: $(cat "$WE_WORK/camsim.err")"

# opened CAMERA: how often pelwin has opened the camera's command pipe.
opened() { grep -c " $1: pipe 0 opened by pid " "$WE_WORK/frames.log" || true; }
reopened() { [ "$(opened "$1")" -gt "$2" ]; }

# The other camera was never written and holds the image it was given.
check_other() {
  local status=0
  grep -Eq ' other: request from pid [0-9]+: 13 ' "$WE_WORK/frames.log" || status=$?
  # 1: read, and no such line; a log that could not be read is no answer.
  [ "$status" -eq 1 ] || we_fail "a write frame reached the other camera (grep status $status)"
  we_camsim image other --save "$(we_winpath "$WE_WORK/other.after.bin")" >/dev/null ||
    we_fail "camsim.exe image other --save: $(cat "$WE_WORK/camsim.err")"
  cmp -s "$WE_WORK/other.bin" "$WE_WORK/other.after.bin" || we_fail "the other camera's image changed"
}

we_start_pelwin
we_wait_title "$title"
we_wait_scan_page --until ' enabled "Next ->"'

# Title changes as X sees them: xprop prints the title once at its start and
# again at every change of it. The value it prints for a change is read after
# the event and may already be the next one; the number of changes is exact.
titles() { grep -c '^WM_NAME' "$WE_WORK/titles.txt" || true; }
titles_at_least() { [ "$(titles)" -ge "$1" ]; }

if [ "$case" = connected ]; then
  before=$(opened first)
  wid=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$wid" ] || we_fail "no X window titled \"$title\""
  xprop -spy -id "$wid" WM_NAME >"$WE_WORK/titles.txt" 2>&1 &
  spy=$!
  we_poll 10 titles_at_least 1 || we_fail "xprop does not watch the title: $(cat "$WE_WORK/titles.txt")"
  we_camsim plug other >/dev/null
  # The arrival ended the connection and made it anew, to the camera found
  # first; the title went to "Corvane v3.0" and back to the kind's: two changes.
  we_poll 10 reopened first "$before" || we_fail "the arrival did not reconnect"
  we_wait_title "$title"
  we_poll 10 titles_at_least 3 || we_fail "the title changed $(($(titles) - 1)) times, not twice"
  kill "$spy"
  wait "$spy" 2>/dev/null || true
  [ "$(titles)" -eq 3 ] || we_fail "the title changed $(($(titles) - 1)) times, not twice"
  [ "$(opened other)" -eq 0 ] || we_fail "the reconnect reached the camera found after the first"
  # Any removal of the class disconnects, also one of a camera not connected.
  we_camsim unplug other >/dev/null
  we_wait_title "Corvane v3.0"
  we_click "Scan camera"
  we_wait_scan_page --until "title \"$title\"" --until ' enabled "Next ->"'
  we_close
else
  we_click "Next ->"
  we_wait_unplug_page --until "title \"$title\""
  we_camsim unplug first >/dev/null
  we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
  we_expect_permission "$service" 0x1 "while unplugged"
  we_camsim plug first >/dev/null
  we_click "Scan camera"
  we_wait_title "$title" --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_filters_page --until '"Not installed" item 1/8'
  we_pick 1 4 "7 positions"
  we_pick 2 2 "EFW revision 2"

  before=$(opened first)
  we_camsim plug other >/dev/null
  we_poll 10 reopened first "$before" || we_fail "the arrival did not reconnect to first"
  we_wait_title "$title"
  we_click "Write Filters"
  we_wait --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_done_page
  we_click "Finish"
  we_wait_exit
  [ "$(we_camsim dump first | sed -n 's/^filter positions: //p')" = "7 positions" ] ||
    we_fail "the scanned camera was not written"
  # ConfigFlags and PositionCount: block bytes 4 and 5, the block at 10.
  we_check_image 14 15
fi

we_expect_permission "$service" "" "after pelwin.exe ended"
check_other
we_check_frames --by-camera "$(dirname "$0")/expected/arrival.$case.frames"
