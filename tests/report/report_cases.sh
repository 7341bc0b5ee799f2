#!/usr/bin/env bash
# pelwin-report in the situations a user meets, one table run on either port:
#
#   report_cases.sh linux|wine CASE
#
# linux: the Linux program against camsim on roots of its own (PELWIN_REPORT,
# CAMSIM). wine: pelwin-report.exe against camsim.exe behind the driver
# stand-in, in the Wine end-to-end tests' session (WE_REPORT, WE_BUILD and the
# rest that report_wine.sh names). The ports' halves (report_<port>.sh)
# serve the camera, inject its faults, change the registry and take its state;
# this file holds the cases and what the report must say in each.
#
# Every case also checks that the report ends with status 0, says who and
# where it ran, and changed nothing: the drivers' keys, pelwin's own settings
# and the camera's EEPROM image are byte for byte what they were before.
set -euo pipefail
port=${1:?usage: report_cases.sh linux|wine CASE}
RP_CASE=${2:?usage: report_cases.sh linux|wine CASE}
here=$(cd "$(dirname "$0")" && pwd)

# The drivers of the model-code table, in its order.
RP_MODELS=(1027 1028 1029 1030 1200 1201)
RP_SERVICES=(vemcamI vemcamF ralcamI ralcamF ralcamB ralcamBI)

RP_STARTED=$SECONDS
rp_log() { printf '[report.%s %3ds] %s\n' "$RP_CASE" $((SECONDS - RP_STARTED)) "$*" >&2; }
rp_fail() {
  rp_log "FAIL: $*"
  exit 1
}

# shellcheck source=SCRIPTDIR/report_linux.sh
# shellcheck source=SCRIPTDIR/report_wine.sh
source "$here/report_$port.sh"

# rp_expect LINE: the report has this line, exactly.
rp_expect() {
  grep -qxF -- "$1" "$RP_WORK/report.txt" || {
    cat "$RP_WORK/report.txt" >&2
    rp_fail "no line \"$1\""
  }
}

# rp_expect_count N PATTERN: N lines of the report match the extended regex.
rp_expect_count() {
  local found
  found=$(grep -cE -- "$2" "$RP_WORK/report.txt" || true)
  [ "$found" -eq "$1" ] || {
    cat "$RP_WORK/report.txt" >&2
    rp_fail "$found lines match \"$2\", not $1"
  }
}

# rp_expect_driver SERVICE TEXT: the driver's line says TEXT after its name.
rp_expect_driver() {
  local i
  for i in "${!RP_SERVICES[@]}"; do
    if [ "${RP_SERVICES[$i]}" = "$1" ]; then
      rp_expect "  ${RP_MODELS[$i]} $1: $2"
      return
    fi
  done
  rp_fail "no driver $1 in the table"
}

# What an untouched driver's line says: its key made at installation, empty.
RP_UNTOUCHED="key present, can be written; AllowEEPROMWrite absent; not held by a running pelwin"

# rp_expect_requests REQUEST...: the camera got exactly these requests, in
# this order, as its frame log has them: reads only. A write the camera would
# refuse leaves its image as it was; here it shows.
rp_expect_requests() {
  local deadline=$((SECONDS + 5))
  printf '%s\n' "$@" >"$RP_WORK/requests.expected"
  until sed -n 's/^.* request from pid [0-9]*: //p' "$RP_FRAMES" 2>/dev/null | tr -d '\r' |
    cmp -s - "$RP_WORK/requests.expected"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      sed -n 's/^.* request from pid [0-9]*: //p' "$RP_FRAMES" | tr -d '\r' |
        diff -u "$RP_WORK/requests.expected" - >&2
      rp_fail "the camera got other requests than the report's reads"
    fi
    sleep 0.1
  done
}

# rp_expect_camera SAMPLE: the report shows the camera's class, and its header
# and block as the image holds them, with what they decode to (docs/camsim.md).
rp_expect_camera() {
  local class kind model service id name positions wheel at count
  case "$1" in
    selvo-kaf)
      class='class 4 Selvo KAF {A987BCF1-59F2-4E63-B063-AFE38A887A72}' kind='Selvo KAF'
      model=1030 service=ralcamF id=42210 name='SV-KAF 1600' positions='Not installed'
      wheel='IFW, EFW revision 1' at=10 count=61
      ;;
    tamis-a)
      class='class 7 Tamis Camera (A) {AD8D593C-2B2D-4292-8A80-CD4DA13FB16A}' kind='Tamis Camera'
      id=60233 name='Tamis A-60' positions='9 positions' wheel='IFW, EFW revision 1'
      at=$((0x3FF80)) count=61
      ;;
    *) rp_fail "no expectations for $1" ;;
  esac
  rp_expect "  $class: 1 device"
  rp_expect_count 1 "^    .* \\(opens\\)$"
  rp_expect_count 1 "^Camera: $kind at .+$"
  rp_image "$RP_WORK/image.bin"
  if [ -n "${model:-}" ]; then
    rp_expect "  header: $(od -An -v -tx1 -N10 "$RP_WORK/image.bin" | xargs)"
    rp_expect "  model code: $model (driver service $service), kind $kind"
    rp_expect_requests "12 00 0a" "12 0a 3d"
  else
    rp_expect "  header: not used by this kind"
    rp_expect_requests "12 80 ff 03 00 3d"
  fi
  rp_expect "  block: $(od -An -v -tx1 -j "$at" -N "$count" "$RP_WORK/image.bin" | xargs)"
  rp_expect "  camera ID: $id"
  rp_expect "  type name: $name"
  rp_expect "  filter positions: $positions"
  rp_expect "  wheel type: $wheel"
}

case "$RP_CASE" in
  no_camera)
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_count 8 '^  class [1-8] .+ \{[0-9A-F-]{36}\}: no device$'
    for service in "${RP_SERVICES[@]}"; do rp_expect_driver "$service" "$RP_UNTOUCHED"; done
    rp_expect "Camera: none found (no interface of the classes above opens)"
    rp_expect "  -> Windows does not see a camera through its driver: check the camera's power and cable, and that Device Manager shows it, without a warning sign, when it is plugged in"
    rp_expect_count 1 '^ *-> '
    # --output FILE: the same report in the file (CR LF on Windows), nothing printed.
    rp_report_to_file "$RP_WORK/file.txt"
    diff -u "$RP_WORK/report.txt" "$RP_WORK/file.txt" >&2 || rp_fail "--output wrote another report"
    ;;
  camera | camera_tamis)
    sample=selvo-kaf
    [ "$RP_CASE" = camera ] || sample=tamis-a
    rp_serve "$sample"
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_count 7 '^  class [1-8] .+: no device$'
    rp_expect_camera "$sample"
    # All is well: nothing to do.
    rp_expect_count 0 '^ *-> '
    ;;
  key_missing)
    # After the camera is served: camsim makes its driver's key when it adds it.
    rp_serve selvo-kaf
    rp_delete_key ralcamF
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_driver ralcamF "key missing; not held by a running pelwin"
    rp_expect "    -> This is the driver of the camera found below, and it is not installed: install the camera's driver again, then run the report again"
    rp_expect_count 1 '^ +-> '
    rp_expect_driver ralcamI "$RP_UNTOUCHED"
    rp_expect_camera selvo-kaf
    ;;
  permission_standing)
    # Left behind by a pelwin that ended without taking it back, and a value
    # some other program wrote.
    # 0 grants nothing.
    rp_set_permission ralcamF 1
    rp_set_permission ralcamI 42
    rp_set_permission ralcamB 0
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_driver ralcamF \
      "key present, can be written; AllowEEPROMWrite = 1; not held by a running pelwin"
    rp_expect_driver ralcamI \
      "key present, can be written; AllowEEPROMWrite = 42 (0x2A); not held by a running pelwin"
    rp_expect_driver ralcamB \
      "key present, can be written; AllowEEPROMWrite = 0; not held by a running pelwin"
    # No pelwin marked them: each says how it is removed by hand.
    rp_expect_count 2 "^    -> Any value but 0 lets the driver accept EEPROM writes from any program, and pelwin did not set it, so it stays until removed: .+AllowEEPROMWrite.+$"
    rp_expect "    -> 0 grants nothing: the driver refuses EEPROM writes as when the value is absent"
    ;;
  stalled)
    # The camera is found and its pipes open, but it holds back every reply.
    rp_serve selvo-kaf
    rp_fault delay 60000
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_count 1 "^Camera: Selvo KAF at .+$"
    rp_expect "  the camera did not answer within 5 s"
    rp_expect_count 1 '^    -> The camera was found and opened, but does not answer: '
    rp_expect_requests "12 00 0a"
    if [ "$RP_REPORT_SECONDS" -lt 4 ] || [ "$RP_REPORT_SECONDS" -gt 20 ]; then
      rp_fail "the report took $RP_REPORT_SECONDS s, not the camera's 5 s and a little"
    fi
    rp_fault clear
    ;;
  lost | wrong_marker | data_pipe)
    # The camera closes the connection at the header's read; answers it with
    # its first byte inverted; its data pipe does not open. Whatever fails,
    # what happened is said under it, with the system's reason for the pipe.
    rp_serve selvo-kaf
    case "$RP_CASE" in
      lost) rp_fault drop 1 ;;
      wrong_marker) rp_fault corrupt 1 ;;
      data_pipe) rp_fault pipe 1 on ;;
    esac
    rp_state "$RP_WORK/before.state"
    rp_report
    rp_expect_count 1 "^Camera: Selvo KAF at .+$"
    case "$RP_CASE" in
      lost)
        rp_expect "  header: cannot be read: the connection was lost (Camera not connected)"
        rp_expect_count 1 '^    -> The camera was found and opened, then the connection to it was lost: '
        ;;
      wrong_marker)
        rp_expect "  header: a5 05 00 06 04 02 14 07 e3 74"
        rp_expect_count 1 "^    -> This is not a camera's identity header \\(a camera's starts with 5a\\): "
        rp_expect "  camera ID: 42210"
        ;;
      data_pipe)
        rp_expect "  data pipe 1 does not open (not found)"
        rp_expect_count 1 '^    -> The camera was found, but its driver gives no answers: '
        rp_fault pipe 1 off
        ;;
    esac
    rp_expect_count 1 '^ +-> '
    ;;
  own_console)
    # Started with a console of its own, as from Explorer: on Windows the
    # report goes to a file in %TEMP% that Notepad shows; on Linux a terminal
    # of its own gets it printed.
    rp_state "$RP_WORK/before.state"
    rp_report_own_console
    rp_expect_count 8 '^  class [1-8] .+: no device$'
    rp_expect "Camera: none found (no interface of the classes above opens)"
    ;;
  *) rp_fail "no case $RP_CASE" ;;
esac

rp_expect "pelwin-report 3.0.0.0-2"
rp_expect "Administrator: yes"
# No case touches this driver: a permission left by anything before shows here.
rp_expect_driver vemcamI "$RP_UNTOUCHED"
rp_state "$RP_WORK/after.state"
diff -u "$RP_WORK/before.state" "$RP_WORK/after.state" >&2 ||
  rp_fail "the report changed the registry or the camera's EEPROM"
rp_log "ok"
