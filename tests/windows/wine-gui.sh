#!/usr/bin/env bash
# Runs a command that shows Windows programs: DISPLAY is a private Xvfb, and the
# Wine prefix (WINEPREFIX, required) has a server of its own for the command's
# time. Wine binds its desktop process to the display of the program that
# starts the server; a server kept from an earlier display would have no screen.
#
#   WINEPREFIX=DIR tests/windows/wine-gui.sh COMMAND [ARGS...]
#
# Only one command at a time may use a prefix this way (CTest: RESOURCE_LOCK).
set -euo pipefail

: "${WINEPREFIX:?wine-gui.sh needs WINEPREFIX}"

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/../../tools/xvfb.sh
source "$here/../../tools/xvfb.sh"
xdir=$(mktemp -d "${TMPDIR:-/tmp}/pelwin-wine-gui.XXXXXX")
XVFB_PID=""
stop() {
  # The server and everything it runs go before their display does.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
  rm -rf "$xdir"
}
trap stop EXIT

xvfb_start "$xdir" 1024x768x24 || exit 1
# Left over from a command that was killed.
wineserver -k >/dev/null 2>&1 || true
"$@"
