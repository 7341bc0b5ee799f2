#!/usr/bin/env bash
# The title names the connected camera's kind and goes back to the tool's name
# when the removal notification comes. While nothing is connected nothing
# listens for arrivals: a plugged-in camera comes back with the next scan.
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac
export WE_NAME=title
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve ortek-kai
we_start_pelwin
we_wait_title "Ortek KAI"
we_camsim unplug >/dev/null
we_wait_title "Corvane v3.0"

we_camsim plug >/dev/null
if we_look 1 --until 'title "Ortek KAI"'; then
  we_fail "an arrival reconnected with nothing registered"
fi
# The probe must have failed for the title alone: a probe that saw no window
# (or did not run) says nothing about the arrival.
grep -qx 'title "Corvane v3.0"' "$WE_LOOK" ||
  we_fail "the probe did not see the window titled \"Corvane v3.0\": $(cat "$WE_WORK/probe.err")"
we_click "Scan camera"
we_wait_title "Ortek KAI" --until ' enabled "Next ->"'
we_close
we_check_image
we_check_frames "$(dirname "$0")/expected/title.frames"
