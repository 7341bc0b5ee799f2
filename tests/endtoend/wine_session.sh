#!/usr/bin/env bash
# The Wine end-to-end tests' session: one X server and one persistent
# wineserver on the prefix with the camera stand-in installed, shared by every
# test of a run (CTest starts and stops it as a fixture; bench/wine/eeprom.py
# too).
#
#   tests/endtoend/wine_session.sh start BUILD-DIR   (ends a session still running first)
#   tests/endtoend/wine_session.sh stop BUILD-DIR
#
# The prefix is BUILD-DIR/wineprefix-standin, prepared by
# tests/windows/standin-prefix.sh (the CTest fixture wine_standin; run here
# when it has not been). The X server (tools/xvfb.sh) takes the display
# WE_DISPLAY (":N") when set, else a free one of its choosing.
# Wine keeps its desktop on the display of the program that started the
# server, and the stand-in lives as long as the server: so both start here,
# together, and go together. What start leaves running must not keep the
# lock (fd 9) that makes starts and stops take turns.
set -euo pipefail

command=${1:?usage: session.sh start|stop BUILD-DIR}
build=$(cd "${2:?usage: session.sh start|stop BUILD-DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
session=$build/tests/endtoend/session
export WINEPREFIX=$build/wineprefix-standin
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES='mscoree,mshtml='
# A 32-bit tree serves with the x86-64 tree's camsim.exe (PELWIN_STANDIN_BUILD).
standin_build=$(sed -n 's/^PELWIN_STANDIN_BUILD:PATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
camsim=${WE_CAMSIM:-${standin_build:-$build}/sim/windows/camsim.exe}

# shellcheck source=SCRIPTDIR/../../tools/xvfb.sh
source "$here/../../tools/xvfb.sh"

say() { printf 'session: %s\n' "$*" >&2; }

stop() {
  if [ -f "$session/env" ]; then
    # shellcheck disable=SC1091
    DISPLAY=$(sed -n 's/^export DISPLAY=//p' "$session/env")
    export DISPLAY
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -f "$session/xvfb.pid" ]; then
    kill "$(cat "$session/xvfb.pid")" 2>/dev/null || true
  fi
  rm -f "$session/env" "$session/xvfb.pid" "$session/display"
}

start() {
  mkdir -p "$session"
  # Always anew: whatever ran in the prefix since (its preparation above all)
  # may have ended or replaced the server.
  stop
  [ -f "$camsim" ] || { say "no $camsim: build the windows-cross preset first"; return 1; }
  if [ ! -f "$WINEPREFIX/standin-install.log" ]; then
    "$here/../windows/standin-prefix.sh" "$here/../../tools/wine-run.sh" "$camsim" >/dev/null 9>&-
  fi
  # The preparation leaves a server without our display behind.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true

  # The X server outlives this script: the tests that follow use it.
  local number=${WE_DISPLAY:-}
  XVFB_DETACH=1 xvfb_start "$session" 1024x768x24 "${number#:}" || return 1
  echo "$XVFB_PID" >"$session/xvfb.pid"

  # Services inherit the first program's output: a file, never a pipe. The
  # stand-in's drivers start with the server, as after a reboot.
  wineserver -p </dev/null >/dev/null 2>&1 9>&-
  wine cmd.exe /c exit </dev/null >"$session/wine.log" 2>&1 9>&-
  # A program that crashes writes its backtrace to its error output and ends,
  # rather than waiting behind a dialog for a click that never comes.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1 9>&-
  cat >"$session/env" <<ENV
export DISPLAY=$DISPLAY
export WINEPREFIX=$WINEPREFIX
export WINEDEBUG=$WINEDEBUG WINEARCH=$WINEARCH WINEDLLOVERRIDES='$WINEDLLOVERRIDES'
ENV
}

exec 9>"$build/tests/endtoend/session.lock"
flock 9
case "$command" in
  start) start || { stop; exit 1; } ;;
  stop) stop ;;
  *) echo "usage: session.sh start|stop BUILD-DIR" >&2; exit 2 ;;
esac
