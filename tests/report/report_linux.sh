# shellcheck shell=bash
# The Linux half of report_cases.sh: pelwin-report (PELWIN_REPORT) against
# camsim (CAMSIM) on roots of the case's own, the six drivers installed (their
# service keys made, as camsim makes them when it adds a camera).
: "${PELWIN_REPORT:?PELWIN_REPORT must name the pelwin-report program}"
: "${CAMSIM:?CAMSIM must name the camsim program}"

RP_WORK=$(mktemp -d "${TMPDIR:-/tmp}/pelwin-report-$RP_CASE.XXXXXX")
RP_SERVE_PID=""
RP_CAMERA=""
export PELWIN_DEVICE_ROOT=$RP_WORK/devices
export PELWIN_MACHINE_REGISTRY=$RP_WORK/machine-registry
export PELWIN_USER_REGISTRY=$RP_WORK/user-registry
export CAMSIM_STATE=$RP_WORK/state
export PELWIN_OBJECT_ROOT=$RP_WORK/objects
export PELWIN_ADMIN=1
RP_KEYS=$PELWIN_MACHINE_REGISTRY/SYSTEM/CurrentControlSet/Services
# shellcheck disable=SC2034  # read by report_cases.sh
RP_FRAMES=$RP_WORK/camsim.log
mkdir -p "$PELWIN_DEVICE_ROOT" "$PELWIN_USER_REGISTRY" "$CAMSIM_STATE" "$PELWIN_OBJECT_ROOT"
for service in "${RP_SERVICES[@]}"; do mkdir -p "$RP_KEYS/$service/Parameters"; done

rp_finish() {
  local status=$1
  if [ -n "$RP_SERVE_PID" ]; then
    "$CAMSIM" stop >/dev/null 2>&1 || kill "$RP_SERVE_PID" 2>/dev/null || true
    wait "$RP_SERVE_PID" 2>/dev/null || true
  fi
  [ "$status" -eq 0 ] || [ ! -f "$RP_WORK/camsim.log" ] || tail -n 20 "$RP_WORK/camsim.log" >&2
  rm -rf "$RP_WORK"
}
trap 'rp_finish $?' EXIT

rp_serve() {
  "$CAMSIM" serve --log "$RP_WORK/camsim.log" "$1" >"$RP_WORK/serve.out" 2>&1 &
  RP_SERVE_PID=$!
  RP_CAMERA=$1
  local deadline=$((SECONDS + 15))
  until grep -q '^ready' "$RP_WORK/serve.out"; do
    [ "$SECONDS" -lt "$deadline" ] || rp_fail "camsim did not start: $(cat "$RP_WORK/serve.out")"
    sleep 0.1
  done
}

rp_fault() { "$CAMSIM" fault "$@" >/dev/null; }

# The image file is the camera's EEPROM: camsim saves it after every write.
rp_image() { cp "$CAMSIM_STATE/$RP_CAMERA.eeprom" "$1"; }

rp_set_permission() { printf 'dword:%08x\n' "$2" >"$RP_KEYS/$1/Parameters/AllowEEPROMWrite"; }

rp_delete_key() { rm -r "$RP_KEYS/$1/Parameters"; }

# Every key, value, named object and image file under the case's roots, with
# its bytes' sum.
rp_state() {
  (cd "$RP_WORK" && find machine-registry user-registry objects state \
    \( -type f -exec sha256sum {} + \) -o \( -print \) | sort) >"$1"
}

rp_report() {
  local started=$SECONDS status=0
  "$PELWIN_REPORT" >"$RP_WORK/report.txt" 2>"$RP_WORK/report.err" || status=$?
  # shellcheck disable=SC2034  # read by report_cases.sh
  RP_REPORT_SECONDS=$((SECONDS - started))
  [ "$status" -eq 0 ] || rp_fail "pelwin-report ended with status $status: $(cat "$RP_WORK/report.err")"
}

# A terminal of its own (script's): the Linux program prints the report there.
rp_report_own_console() {
  local status=0
  script -qec "$(printf %q "$PELWIN_REPORT")" /dev/null </dev/null >"$RP_WORK/console.out" 2>&1 ||
    status=$?
  [ "$status" -eq 0 ] || rp_fail "pelwin-report ended with status $status in a terminal"
  tr -d '\r' <"$RP_WORK/console.out" >"$RP_WORK/report.txt"
}

# rp_report_to_file FILE: the report through --output, which prints nothing.
rp_report_to_file() {
  local status=0
  "$PELWIN_REPORT" --output "$RP_WORK/output.txt" >"$RP_WORK/output.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || rp_fail "pelwin-report --output ended with status $status"
  [ ! -s "$RP_WORK/output.out" ] || rp_fail "pelwin-report --output printed: $(cat "$RP_WORK/output.out")"
  cp "$RP_WORK/output.txt" "$1"
}
