# shellcheck shell=bash
# The Wine half of report_cases.sh: pelwin-report.exe (WE_REPORT) against
# camsim.exe (WE_CAMSIM) behind the driver stand-in, in the session of
# tests/wine/session.sh for the tree WE_BUILD; Notepad read with pelwin_probe
# (WE_PROBE); a failure's screenshot and files kept in E2E_ARTIFACTS. The
# prefix has the stand-ins of all eight kinds installed, so all six service
# keys are there; what a case changes in the registry is put back at its end.
: "${WE_BUILD:?WE_BUILD must name the Windows build tree whose session this is}"
: "${WE_REPORT:?WE_REPORT must name pelwin-report.exe}"
: "${WE_PROBE:?WE_PROBE must name pelwin_probe.exe}"
# A 32-bit tree serves with the x86-64 tree's (PELWIN_STANDIN_BUILD).
: "${WE_CAMSIM:?WE_CAMSIM must name the camsim.exe of the stand-in}"
[ -f "$WE_BUILD/tests/wine/session/env" ] ||
  { echo "no Wine session: run tests/wine/session.sh start $WE_BUILD" >&2; exit 1; }
# shellcheck disable=SC1091
source "$WE_BUILD/tests/wine/session/env"

RP_WORK=$(mktemp -d "${TMPDIR:-/tmp}/pelwin-report-$RP_CASE.XXXXXX")
RP_FRAMES=$RP_WORK/frames.log
RP_CAMERA=""
RP_SERVE_PID=""
RP_KEYS='HKLM\SYSTEM\CurrentControlSet\Services'
RP_UNDO=()

# Windows programs never read the test's standard input; Wine's console ends
# lines with CR LF.
rp_wine() { wine "$@" </dev/null | tr -d '\r'; }
rp_winpath() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }
rp_camsim() {
  rp_wine "$WE_CAMSIM" "$@" >/dev/null 2>"$RP_WORK/camsim.err" ||
    rp_fail "camsim.exe $*: $(cat "$RP_WORK/camsim.err")"
}

# What a case changed in the registry goes back first, whatever its outcome:
# the other tests share the prefix. A camera server that does not end cleanly
# fails the case: the stand-in must survive everything the program does. A
# failure keeps a screenshot and the case's files.
rp_finish() {
  local status=$1 served=0 undo dir=${E2E_ARTIFACTS:-}/report_$RP_CASE
  for undo in "${RP_UNDO[@]}"; do
    # shellcheck disable=SC2086  # the reg arguments, split on purpose
    wine reg $undo /f /reg:64 </dev/null >/dev/null 2>&1 || rp_log "could not undo: reg $undo"
  done
  if [ -n "$RP_SERVE_PID" ]; then
    wine "$WE_CAMSIM" stop </dev/null >/dev/null 2>&1 || kill "$RP_SERVE_PID" 2>/dev/null || true
    wait "$RP_SERVE_PID" 2>/dev/null || served=$?
    if [ "$served" -ne 0 ] && [ "$status" -eq 0 ]; then
      rp_log "FAIL: camsim.exe serve ended with status $served: $(tr -d '\r' <"$RP_WORK/serve.out")"
      status=1
    fi
  fi
  if [ "$status" -ne 0 ] && [ -n "${E2E_ARTIFACTS:-}" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    find "$RP_WORK" -maxdepth 1 -type f -exec cp -t "$dir" {} +
    import -display "$DISPLAY" -window root "$dir/failure.png" 2>/dev/null || true
    rp_log "screenshot and logs kept in $dir"
  fi
  rm -rf "$RP_WORK"
  exit "$status"
}
trap 'rp_finish $?' EXIT

# rp_serve SAMPLE: a fresh camera of that sample (its image new from the
# sample), its frame log in RP_FRAMES. Started as a simple command, so that
# $! is the Windows process itself.
rp_serve() {
  mkdir -p "$RP_WORK/state"
  wine "$WE_CAMSIM" serve --state "$(rp_winpath "$RP_WORK/state")" \
    --log "$(rp_winpath "$RP_FRAMES")" "$1" </dev/null >"$RP_WORK/serve.out" 2>&1 &
  RP_SERVE_PID=$!
  RP_CAMERA=$1
  local deadline=$((SECONDS + 20))
  until grep -q '^ready' "$RP_WORK/serve.out"; do
    [ "$SECONDS" -lt "$deadline" ] || rp_fail "camsim.exe serve did not start: $(cat "$RP_WORK/serve.out")"
    sleep 0.1
  done
}

rp_fault() { rp_camsim fault "$@"; }

rp_image() { rp_camsim image --save "$(rp_winpath "$1")"; }

# Values and keys are changed in the 64-bit view, the one the driver reads.
rp_set_permission() {
  rp_wine reg add "$RP_KEYS\\$1\\Parameters" /v AllowEEPROMWrite /t REG_DWORD /d "$2" /f /reg:64 \
    >/dev/null || rp_fail "reg add AllowEEPROMWrite of $1 failed"
  RP_UNDO+=("delete $RP_KEYS\\$1\\Parameters /v AllowEEPROMWrite")
}

rp_delete_key() {
  rp_wine reg delete "$RP_KEYS\\$1\\Parameters" /f /reg:64 >/dev/null ||
    rp_fail "reg delete of $1's Parameters failed"
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
      rp_wine reg query "$key" /s /reg:64 2>&1 || echo "(status $?)"
    done
    echo '== HKCU\Software\Varnosti'
    rp_wine reg query 'HKCU\Software\Varnosti' /s 2>&1 || echo "(status $?)"
    if [ -n "$RP_CAMERA" ]; then
      rp_image "$RP_WORK/state.bin"
      echo "== image"
      sha256sum <"$RP_WORK/state.bin"
    fi
  } | tr -d '\r' >"$1"
}

# Standard output is a file, as from a script: the report is printed there.
rp_report() {
  local started=$SECONDS status=0
  wine "$WE_REPORT" </dev/null >"$RP_WORK/report.raw" 2>"$RP_WORK/report.err" || status=$?
  # shellcheck disable=SC2034  # read by report_cases.sh
  RP_REPORT_SECONDS=$((SECONDS - started))
  tr -d '\r' <"$RP_WORK/report.raw" >"$RP_WORK/report.txt"
  [ "$status" -eq 0 ] || rp_fail "pelwin-report.exe ended with status $status: $(cat "$RP_WORK/report.err")"
}

# As Explorer starts it: `start` opens the program through the shell, which
# gives a console program a console of its own. The report must land in
# %TEMP%\pelwin-report.txt, with CR LF line ends, and Notepad must show that
# file; what the file says goes to report.txt.
rp_report_own_console() {
  local temp file title='pelwin-report.txt - Notepad' wid
  temp=$(rp_wine cmd /c echo %TEMP% 2>/dev/null)
  file=$(winepath -u "$temp\\pelwin-report.txt" 2>/dev/null)
  [ -n "$file" ] || rp_fail "no %TEMP% in the prefix"
  rm -f "$file"
  rp_wine start /unix "$WE_REPORT" >"$RP_WORK/start.out" 2>&1 ||
    rp_fail "start did not start pelwin-report.exe: $(cat "$RP_WORK/start.out")"
  rp_wine "$WE_PROBE" window "$title" 30 >"$RP_WORK/notepad.txt" 2>&1 ||
    rp_fail "Notepad did not show the report"
  [ -f "$file" ] || rp_fail "no $temp\\pelwin-report.txt"
  [ "$(grep -c $'\r$' "$file")" -eq "$(wc -l <"$file")" ] ||
    rp_fail "the report file's lines do not all end in CR LF"
  tr -d '\r' <"$file" >"$RP_WORK/report.txt"
  wid=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$wid" ] && xdotool windowfocus --sync "$wid" key alt+F4
  local deadline=$((SECONDS + 10))
  while wine "$WE_PROBE" dialog "$title" 0 </dev/null >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || rp_fail "Notepad did not close"
    sleep 0.1
  done
  rm -f "$file"
}

# rp_report_to_file FILE: the report through --output, which prints nothing;
# every line of the file ends in CR LF, which FILE has taken out.
rp_report_to_file() {
  local status=0
  wine "$WE_REPORT" --output "$(rp_winpath "$RP_WORK/output.txt")" </dev/null \
    >"$RP_WORK/output.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || rp_fail "pelwin-report.exe --output ended with status $status"
  [ ! -s "$RP_WORK/output.out" ] || rp_fail "--output printed: $(cat "$RP_WORK/output.out")"
  [ "$(grep -c $'\r$' "$RP_WORK/output.txt")" -eq "$(wc -l <"$RP_WORK/output.txt")" ] ||
    rp_fail "the --output file's lines do not all end in CR LF"
  tr -d '\r' <"$RP_WORK/output.txt" >"$1"
}
