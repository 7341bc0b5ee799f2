# shellcheck shell=bash
# The Wine half of report_cases.sh: pelwin-report.exe (WE_REPORT) against
# camsim.exe behind the driver stand-in, in the session of
# tests/wine/session.sh, with the helpers of tests/wine/wine_e2e.sh. The
# prefix has the stand-ins of all eight kinds installed, so all six service
# keys are there; what a case changes in the registry is put back at its end.
: "${WE_REPORT:?WE_REPORT must name pelwin-report.exe}"
export WE_NAME=report_$RP_CASE
# shellcheck source=SCRIPTDIR/../wine/wine_e2e.sh
source "$(dirname "${BASH_SOURCE[0]}")/../wine/wine_e2e.sh"
we_attach

# shellcheck disable=SC2034  # read by report_cases.sh
RP_WORK=$WE_WORK
# shellcheck disable=SC2034  # read by report_cases.sh
RP_FRAMES=$WE_WORK/frames.log
RP_CAMERA=""
RP_KEYS='HKLM\SYSTEM\CurrentControlSet\Services'
RP_UNDO=()

rp_log() { we_log "$@"; }
rp_fail() { we_fail "$@"; }

# What a case changed in the registry goes back first, whatever its outcome:
# the other tests share the prefix.
rp_restore() {
  local undo
  for undo in "${RP_UNDO[@]}"; do
    # shellcheck disable=SC2086  # the reg arguments, split on purpose
    we_wine reg $undo /f /reg:64 >/dev/null 2>&1 || we_log "could not undo: reg $undo"
  done
}
trap 'status=$?; rp_restore; we_finish "$status"; exit "$WE_STATUS"' EXIT

rp_serve() {
  we_serve "$1"
  RP_CAMERA=$1
}

rp_fault() {
  we_camsim fault "$@" >/dev/null || we_fail "camsim.exe fault $*: $(cat "$WE_WORK/camsim.err")"
}

rp_image() {
  we_camsim image --save "$(we_winpath "$1")" >/dev/null ||
    we_fail "camsim.exe image --save: $(cat "$WE_WORK/camsim.err")"
}

# Values and keys are changed in the 64-bit view, the one the driver reads.
rp_set_permission() {
  we_wine reg add "$RP_KEYS\\$1\\Parameters" /v AllowEEPROMWrite /t REG_DWORD /d "$2" /f /reg:64 \
    >/dev/null || we_fail "reg add AllowEEPROMWrite of $1 failed"
  RP_UNDO+=("delete $RP_KEYS\\$1\\Parameters /v AllowEEPROMWrite")
}

rp_delete_key() {
  we_wine reg delete "$RP_KEYS\\$1\\Parameters" /f /reg:64 >/dev/null ||
    we_fail "reg delete of $1's Parameters failed"
  RP_UNDO+=("add $RP_KEYS\\$1\\Parameters")
}

# The six drivers' service keys with everything below them, pelwin's own
# settings, and the camera's image when one is served. reg's answer for a key
# that is not there is part of the state too.
rp_state() {
  local service key
  {
    for service in "${RP_SERVICES[@]}"; do
      key="$RP_KEYS\\$service"
      echo "== $key"
      we_wine reg query "$key" /s /reg:64 2>&1 || echo "(status $?)"
    done
    echo '== HKCU\Software\Varnosti'
    we_wine reg query 'HKCU\Software\Varnosti' /s 2>&1 || echo "(status $?)"
    if [ -n "$RP_CAMERA" ]; then
      rp_image "$WE_WORK/state.bin"
      echo "== image"
      sha256sum <"$WE_WORK/state.bin"
    fi
  } | tr -d '\r' >"$1"
}

# Standard output is a file, as from a script: the report is printed there.
rp_report() {
  local started=$SECONDS status=0
  wine "$WE_REPORT" </dev/null >"$WE_WORK/report.raw" 2>"$WE_WORK/report.err" || status=$?
  # shellcheck disable=SC2034  # read by report_cases.sh
  RP_REPORT_SECONDS=$((SECONDS - started))
  tr -d '\r' <"$WE_WORK/report.raw" >"$WE_WORK/report.txt"
  [ "$status" -eq 0 ] || we_fail "pelwin-report.exe ended with status $status: $(cat "$WE_WORK/report.err")"
}

# As Explorer starts it: `start` opens the program through the shell, which
# gives a console program a console of its own. The report must land in
# %TEMP%\pelwin-report.txt, with CR LF line ends, and Notepad must show that
# file; what the file says goes to report.txt.
rp_report_own_console() {
  local temp file title='pelwin-report.txt - Notepad' wid
  temp=$(we_wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
  file=$(winepath -u "$temp\\pelwin-report.txt" 2>/dev/null)
  [ -n "$file" ] || we_fail "no %TEMP% in the prefix"
  rm -f "$file"
  we_wine start /unix "$WE_REPORT" >"$WE_WORK/start.out" 2>&1 ||
    we_fail "start did not start pelwin-report.exe: $(tr -d '\r' <"$WE_WORK/start.out")"
  we_wine "$WE_PROBE" window "$title" 30 >"$WE_WORK/notepad.txt" 2>&1 ||
    we_fail "Notepad did not show the report"
  [ -f "$file" ] || we_fail "no $temp\\pelwin-report.txt"
  [ "$(grep -c $'\r$' "$file")" -eq "$(wc -l <"$file")" ] ||
    we_fail "the report file's lines do not all end in CR LF"
  tr -d '\r' <"$file" >"$WE_WORK/report.txt"
  wid=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$wid" ] && xdotool windowfocus --sync "$wid" key alt+F4
  we_poll 10 we_box_gone "$title" || we_fail "Notepad did not close"
  rm -f "$file"
}

# rp_report_to_file FILE: the report through --output, which prints nothing;
# every line of the file ends in CR LF, which FILE has taken out.
rp_report_to_file() {
  local status=0
  wine "$WE_REPORT" --output "$(we_winpath "$WE_WORK/output.txt")" </dev/null \
    >"$WE_WORK/output.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || we_fail "pelwin-report.exe --output ended with status $status"
  [ ! -s "$WE_WORK/output.out" ] || we_fail "--output printed: $(cat "$WE_WORK/output.out")"
  [ "$(grep -c $'\r$' "$WE_WORK/output.txt")" -eq "$(wc -l <"$WE_WORK/output.txt")" ] ||
    we_fail "the --output file's lines do not all end in CR LF"
  tr -d '\r' <"$WE_WORK/output.txt" >"$1"
}
