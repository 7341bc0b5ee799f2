#!/usr/bin/env bash
# A second camera of the same kind arrives at the filters page while the
# first is still connected; its interface is found first, so the arrival
# reconnects to it. "Write Filters" reads it, finds another camera, writes
# nothing into it, says so and starts over with it.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
# The second camera is the first one's image with another camera ID.
xs_start_camsim --unplugged selvo-kaf=first
xs_camsim stop
cp "$CAMSIM_STATE/first.eeprom" "$CAMSIM_STATE/other.eeprom"
printf '\x01' | dd of="$CAMSIM_STATE/other.eeprom" bs=1 seek=10 conv=notrunc status=none
# "other" takes the interface that is enumerated first.
xs_start_camsim --unplugged selvo-kaf=other selvo-kaf=first
xs_camsim plug first
other_before=$(xs_camsim dump other | sed -n '/^header/,$p')

xs_start_pelwin
xs_wait '^    text 100 46 [0-9]+ bold "SV-KAF 1600"$'
shown_id() { awk '$1 == "text" && $2 == 100 && $3 == 70 { print $NF; exit }' "$PELWIN_FLTK_SNAPSHOT"; }
first_id=$(shown_id)
[ -n "$first_id" ] || xs_fail "no camera ID shown"
xs_click "Next ->"
xs_wait_page "Step 2:"
xs_camsim unplug first
xs_wait_page "Step 3:"
xs_camsim plug first
xs_click "Scan camera"
xs_wait '^  button [0-9 ]+ enabled "Next ->"$'
xs_click "Next ->"
xs_wait_page "Step 4:"
xs_pick 1 4 "7 positions"

xs_camsim plug other
other_connected() { xs_camsim log 200 | grep -q ' other: pipe 2 opened by pid '; }
xs_poll 10 other_connected || xs_fail "pelwin did not reconnect to the camera that arrived"
xs_click "Write Filters"
xs_wait '^box 0x[0-9a-f]+ .* info "Error"$'
xs_wait '^  boxline 1 "This camera is different"$'
xs_wait '^  boxline 2 "Plug in the same camera"$'
xdotool key Return
xs_wait_gone '^box 0x'
xs_wait_page "Step 1:"
xs_wait_gone '^  choice '
# Page 1 scanned the camera now connected: the other one, with its own ID.
other_shown() {
  local id
  id=$(shown_id) && [ -n "$id" ] && [ "$id" != "$first_id" ]
}
xs_poll 10 other_shown || xs_fail "page 1 still shows the first camera"

log=$(xs_camsim log 400)
# The log shows the other camera's reads, so a write would show too.
grep -Eq ' other: request from pid [0-9]+: 12 ' <<<"$log" || xs_fail "the camsim log shows no reads"
! grep -Eq ' other: request from pid [0-9]+: 13 ' <<<"$log" ||
  xs_fail "a write frame reached the other camera"
[ "$(xs_camsim dump other | sed -n '/^header/,$p')" = "$other_before" ] ||
  xs_fail "the other camera's EEPROM changed"
[ "$(xs_camsim dump first | sed -n 's/^filter positions: //p')" = "Not installed" ] ||
  xs_fail "the first camera was written"

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
[ -z "$(find "$PELWIN_MACHINE_REGISTRY" -name AllowEEPROMWrite)" ] ||
  xs_fail "the driver's write permission outlived pelwin"
xs_log "ok"
