#!/usr/bin/env bash
# Prepares the Wine prefix of the camera driver stand-in for one test run: the
# stand-in of every sample kind installed (each a kernel service named as the
# real driver's, with its root-enumerated device), no write permission granted,
# and no server left from an earlier run. Every test that serves a camera in
# this prefix takes it as it is left here.
#
#   WINEPREFIX=DIR standin-prefix.sh WINE_RUN CAMSIM_EXE
set -euo pipefail

: "${WINEPREFIX:?standin-prefix.sh needs WINEPREFIX}"
wine_run=$1
camsim=$2
if [ ! -f "$camsim" ]; then
  echo "standin-prefix.sh: no $camsim; the 32-bit tree's Wine tests use the x86-64 tree's" \
    "camsim.exe and driver: build the windows-cross preset first (or set PELWIN_STANDIN_BUILD)" >&2
  exit 1
fi

# A server of an earlier run, with its drivers, goes first.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
"$wine_run" --prepare

# wine-run.sh starts the server and its services detached, before the first
# program; output goes to a file, never a pipe that the services would hold.
log=$WINEPREFIX/standin-install.log
: >"$log"
samples=$("$wine_run" "$camsim" samples | tr -d '\r' | awk '{ print $1 }')
# shellcheck disable=SC2086 # one word per sample
"$wine_run" "$camsim" install $samples >>"$log" 2>&1 || {
  tr -d '\r' <"$log" >&2
  exit 1
}
for service in vemcamI vemcamF ralcamI ralcamF ralcamB ralcamBI; do
  "$wine_run" reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters" \
    /v AllowEEPROMWrite /reg:64 /f >/dev/null 2>&1 || true
done
tr -d '\r' <"$log"
