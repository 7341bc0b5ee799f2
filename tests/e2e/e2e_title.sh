#!/usr/bin/env bash
# The title names the connected camera's kind and goes back to the tool's name
# when the camera leaves. While nothing is connected nothing listens for
# arrivals, so a replugged camera comes back with the next scan.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

xs_start_x
xs_start_camsim ortek-kai
xs_start_pelwin
xs_wait_title "Ortek KAI"
# The Ortek KAI class directory: watched while the camera is connected, which
# also shows that the count sees pelwin's watches at all.
class_dir="$PELWIN_DEVICE_ROOT/{2BCDDA06-F3C9-4AE6-B257-219DEFA0ABCB}"
watches=$(xs_watch_count "$class_dir") || xs_fail "cannot read pelwin's inotify watches"
[ "$watches" -eq 1 ] || xs_fail "pelwin holds $watches watches on its camera's class, not 1"

xs_camsim unplug
xs_wait_title "Corvane v3.0"
watches=$(xs_watch_count "$class_dir") || xs_fail "cannot read pelwin's inotify watches"
[ "$watches" -eq 0 ] || xs_fail "pelwin still watches for arrivals with nothing connected"

xs_camsim plug
[ "$(xs_title)" = "Corvane v3.0" ] || xs_fail "an arrival reconnected with nothing registered"
xs_click "Scan camera"
xs_wait_title "Ortek KAI"
xs_wait '^    text 100 46 [0-9]+ bold "OK-420M"$'

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
xs_log "ok"
