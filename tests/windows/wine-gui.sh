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

fifo=$(mktemp -u "${TMPDIR:-/tmp}/pelwin-xvfb.XXXXXX")
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
stop() {
  # The server and everything it runs go before their display does.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -f "$fifo"
}
trap stop EXIT

# Xvfb writes the display number once it accepts clients.
display=""
read -r display <"$fifo" || true
if [ -z "$display" ]; then
  echo "wine-gui.sh: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$display"
# Left over from a command that was killed.
wineserver -k >/dev/null 2>&1 || true
"$@"
