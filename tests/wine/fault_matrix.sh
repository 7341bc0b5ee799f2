#!/usr/bin/env bash
# The fault matrix under Wine: a Selvo camera through the five pages of the
# real pelwin.exe while camsim.exe makes transfer k fail once, for every k of
# the path, with one kind of fault. The outcome each run must reach is read
# from the Linux fault matrix's own table in docs/reliability.md (the row of
# the same camera, k and fault), so that both ports answer to one table.
#
# A user who goes on, as in the Linux matrix: scans again after a failed scan,
# closes a message and starts over, chooses 7 positions and revision 2, and
# finishes. Checked in every run: exactly the message the table names (or
# none); the success page once, over an EEPROM that holds the choice; no byte
# outside the chosen fields changed; AllowEEPROMWrite absent at the last page
# and after the end (read as the driver reads it); the frames byte for byte.
#
#   fault_matrix.sh drop|refuse|short      every transfer k, one run each
#   fault_matrix.sh drop|refuse|short K    the run of transfer K alone
#
# Prints one line per run and "N runs, M with an unexpected outcome".
set -euo pipefail
usage="usage: fault_matrix.sh drop|refuse|short [K]"
case "${1:-}" in
  -h | --help)
    sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  drop) fault_name=drop ;;
  refuse) fault_name="refuse 0x81" ;;
  short) fault_name=short ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
fault=$1
here=$(cd "$(dirname "$0")" && pwd)
table=$here/../../docs/reliability.md
sample=selvo-e2v
row_camera="Selvo ($sample)"

# table_row K: the table's "what k is" and "messages" cells of this camera,
# k and fault, tab-separated; fails unless there is exactly one such row.
table_row() {
  awk -F'|' -v camera="$row_camera" -v k="$1" -v fault="$fault_name" '
    function trim(s) { gsub(/^ +| +$/, "", s); return s }
    trim($2) == camera && trim($3) == k && trim($5) == fault {
      print trim($4) "\t" trim($6); rows++
    }
    END { exit rows == 1 ? 0 : 1 }' "$table"
}

if [ -z "${2:-}" ]; then
  runs=0 unexpected=0
  for ((k = 1; ; k++)); do
    table_row "$k" >/dev/null || break
    runs=$((runs + 1))
    if bash "$0" "$fault" "$k"; then
      echo "fault_matrix $fault: k=$k as expected"
    else
      unexpected=$((unexpected + 1))
      echo "fault_matrix $fault: k=$k UNEXPECTED"
    fi
  done
  echo "fault_matrix $fault: $runs runs, $unexpected with an unexpected outcome"
  # A table without this camera's rows would pass with no run at all.
  [ "$runs" -eq 6 ] || { echo "fault_matrix: $runs rows of $row_camera $fault_name in $table, not 6" >&2; exit 1; }
  [ "$unexpected" -eq 0 ]
  exit
fi

k=$2
[[ "$k" =~ ^[1-9][0-9]*$ ]] || { echo "$usage" >&2; exit 2; }
row=$(table_row "$k") || { echo "fault_matrix: no single row for $row_camera, k=$k, $fault_name in $table" >&2; exit 1; }
transfer=${row%%$'\t'*}
message=${row#*$'\t'}
case "$message" in
  none) message="" ;;
  \"*\") message=${message#\"} message=${message%\"} ;;
  *) echo "fault_matrix: messages \"$message\" are more than this script drives" >&2; exit 1 ;;
esac

export WE_NAME=fault_matrix.$fault.$k
# shellcheck source=SCRIPTDIR/wine_e2e.sh
source "$here/wine_e2e.sh"
we_attach
we_log "k=$k ($transfer), $fault_name, expected message: ${message:-none}"

title="Selvo E2V"
case "$fault" in
  drop) fault_args=(drop "$k") fired="fault drop:" ;;
  refuse) fault_args=(refuse-at "$k" 0x81) fired="(fault refuse-at, not executed)" ;;
  short) fault_args=(short-at "$k" 5) fired="(fault short: 5 bytes)" ;;
esac

we_serve "$sample"
service=$(we_camsim dump | sed -n 's/.*driver service \([A-Za-z0-9]*\)).*/\1/p')
[ -n "$service" ] || we_fail "camsim dump names no driver service"
we_wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters" \
  /v AllowEEPROMWrite /reg:64 /f >/dev/null 2>&1 || true
we_camsim fault "${fault_args[@]}" >/dev/null
scan_mark=0
we_start_pelwin

no_box() {
  we_box_gone Error || {
    we_wait_box Error
    we_fail "unexpected box: $(grep '^line' "$WE_WORK/box.txt" | tr '\n' ' ')"
  }
}
# wait_next CONDITION...: the window shows "Next ->" enabled (and the
# conditions), or a box is open, which fails the run with the box's lines.
next_or_box() { ! we_box_gone Error || we_look 0 --until ' enabled "Next ->"' "$@"; }
wait_next() {
  we_poll 15 next_or_box "$@" || we_fail "\"Next ->\" not enabled: $(cat "$WE_WORK/probe.err")"
  no_box
}
has_fired() { grep -qF "$fired" "$WE_WORK/frames.log"; }

replies() { grep -c ': reply' "$WE_WORK/frames.log" || true; }
# The scan started after `mark` is over once it has both reads answered, or
# once it met the fault (which leaves the rest of the scan out).
mark() { scan_mark=$(replies); }
scan_over() {
  { [ -z "$handled" ] && has_fired; } || [ "$(replies)" -ge $((scan_mark + 2)) ]
}

# scan_page: the scan of page 1 or 3 has run; when it met the fault, it failed
# without a message (the title back for a lost link) and the user scans again.
handled=""
scan_page() {
  we_poll 15 scan_over || we_fail "the scan did not end"
  if [ -z "$handled" ] && has_fired; then
    handled=1
    if [ "$fault" = drop ]; then
      we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
    else
      we_wait_scan_page --until "title \"$title\"" --until ' disabled "Next ->"'
    fi
    no_box
    we_click "Scan camera"
  fi
  wait_next --until "title \"$title\""
  we_wait_scan_page --until "title \"$title\"" --until ' enabled "Next ->"'
}

# Page 1 (scanned as it opens, after `mark`) through the power cycle, to the
# click on "Write Filters".
to_write() {
  scan_page
  we_click "Next ->"
  we_wait_unplug_page --until "title \"$title\""
  we_camsim unplug >/dev/null
  we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
  we_expect_permission "$service" 0x1 "while unplugged"
  we_camsim plug >/dev/null
  mark
  we_click "Scan camera"
  scan_page
  we_click "Next ->"
  we_wait_filters_page
  we_pick 1 4 "7 positions"
  we_pick 2 2 "EFW revision 2"
  we_click "Write Filters"
}

to_write
if [ -n "$message" ]; then
  we_wait_box Error
  grep -qx "line $message" "$WE_WORK/box.txt" ||
    we_fail "the box does not say \"$message\": $(grep '^line' "$WE_WORK/box.txt" | tr '\n' ' ')"
  # The write met the fault; the path from here on has none.
  handled=1
  mark
  we_box_key Error Return
  we_poll 10 we_box_gone Error || we_fail "the box stayed open after Return"
  # Started over at page 1, scanned afresh: the whole path again.
  to_write
fi
handled=1
wait_next
[ "$(grep -c ': request from' "$WE_WORK/frames.log")" -ge "$k" ] ||
  we_fail "transfer $k is not on the path"
we_click "Next ->"
we_wait_done_page
[ "$(we_dump_field 'filter positions')" = "7 positions" ] || we_fail "the success page over an EEPROM without 7 positions"
[ "$(we_dump_field 'wheel type')" = "EFW revision 2" ] || we_fail "the success page over an EEPROM without revision 2"
we_expect_permission "$service" "" "at the last page"
we_click "Finish"
we_wait_exit
we_expect_permission "$service" "" "after pelwin.exe ended"

# ConfigFlags and PositionCount: block bytes 4 and 5, the block at 10.
we_check_image 14 15
awk -v k="$k" '$1 == "#" { keep = ($2 == "k=" k) ; next } keep' \
  "$here/expected/fault_matrix.$fault.frames" >"$WE_WORK/expected.frames"
[ -s "$WE_WORK/expected.frames" ] || we_fail "no frames for k=$k in expected/fault_matrix.$fault.frames"
we_check_frames "$WE_WORK/expected.frames"
