#!/usr/bin/env bash
# Transfers that go wrong under Wine, where the real pipe calls report them: a
# connection dropped with no reply ends the link (the title goes back, Next is
# disabled) and the next scan connects again; a reply cut short is refused
# while the link stays.
set -euo pipefail
export WE_NAME=lost_transfer
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$(dirname "$0")/wine_e2e.sh"
we_attach

we_serve tamis-a
we_start_pelwin
we_wait_title "Tamis Camera"
we_wait_scan_page --until ' enabled "Next ->"'

we_camsim fault drop 1 >/dev/null
we_click "Scan camera"
we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
we_click "Scan camera"
we_wait_scan_page --until 'title "Tamis Camera"' --until ' enabled "Next ->"'

we_camsim fault short 1 10 >/dev/null
we_click "Scan camera"
we_wait_scan_page --until 'title "Tamis Camera"' --until ' disabled "Next ->"'
we_click "Scan camera"
we_wait_scan_page --until 'title "Tamis Camera"' --until ' enabled "Next ->"'
we_close
we_check_image
we_check_frames "$(dirname "$0")/expected/lost_transfer.frames"
