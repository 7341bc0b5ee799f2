# shellcheck shell=bash
# Drives pelwin.exe under Wine against camsim.exe and the camera stand-in, in
# the session of tests/wine/session.sh. Sourced by tests/wine/fault_matrix.sh
# alone, the last Wine test in shell (the rest are tests/endtoend/'s).
#
# In: WE_BUILD (a Windows build tree: windows-cross or windows-i686), WE_NAME
# (the test's name), optional WE_ARTIFACTS (where a failure leaves its
# screenshot and logs).
#
# What pelwin shows is read through Windows itself (pelwin_probe: the window's
# title and its controls with their state); every wait is a bounded poll.

: "${WE_BUILD:?WE_BUILD must name the windows-cross build tree}"
WE_NAME=${WE_NAME:-$(basename "$0" .sh)}
WE_PELWIN=${WE_PELWIN:-$WE_BUILD/app/pelwin.exe}
if [ -z "${WE_CAMSIM:-}" ]; then
  # A 32-bit tree serves with the x86-64 tree's camsim.exe (PELWIN_STANDIN_BUILD).
  WE_CAMSIM=$(sed -n 's/^PELWIN_STANDIN_BUILD:PATH=//p' "$WE_BUILD/CMakeCache.txt" 2>/dev/null || true)
  WE_CAMSIM=${WE_CAMSIM:-$WE_BUILD}/sim/windows/camsim.exe
fi
WE_PROBE=${WE_PROBE:-$WE_BUILD/tests/windows/pelwin_probe.exe}
WE_WORK=$(mktemp -d "${TMPDIR:-/tmp}/pelwin-$WE_NAME.XXXXXX")
WE_PELWIN_PID=""
WE_SERVE_PID=""
WE_LOOK=$WE_WORK/look.txt
WE_STARTED=$SECONDS

we_log() { printf '[%s %3ds] %s\n' "$WE_NAME" $((SECONDS - WE_STARTED)) "$*" >&2; }

we_fail() {
  we_log "FAIL: $*"
  exit 1
}

# we_poll SECONDS COMMAND...: runs COMMAND every 100 ms until it succeeds.
we_poll() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# The session's DISPLAY and Wine environment.
we_attach() {
  local env=$WE_BUILD/tests/wine/session/env
  [ -f "$env" ] || we_fail "no Wine session: run tests/wine/session.sh start $WE_BUILD"
  # shellcheck disable=SC1090
  source "$env"
}

# Windows programs never read the test's standard input; Wine's console ends
# lines with CR LF.
we_wine() { wine "$@" </dev/null; }

we_winpath() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }

we_camsim() {
  local out status=0
  out=$(we_wine "$WE_CAMSIM" "$@" 2>"$WE_WORK/camsim.err") || status=$?
  tr -d '\r' <<<"$out"
  return "$status"
}

# we_serve SAMPLE [OPTIONS]: a fresh camera of that sample (its image new from
# the sample), its frame log in $WE_WORK/frames.log and its image as served at
# the start in $WE_WORK/before.bin. With two cameras (--second), WE_CAMERA names
# the one that before.bin and we_check_image mean.
we_serve() {
  mkdir -p "$WE_WORK/state"
  : >"$WE_WORK/serve.out"
  local state log
  state=$(we_winpath "$WE_WORK/state")
  log=$(we_winpath "$WE_WORK/frames.log")
  # Started as a simple command, so that $! is the Windows process itself.
  wine "$WE_CAMSIM" serve --state "$state" --log "$log" "$@" </dev/null >"$WE_WORK/serve.out" 2>&1 &
  WE_SERVE_PID=$!
  we_poll 20 grep -q '^ready' "$WE_WORK/serve.out" ||
    we_fail "camsim.exe serve did not start: $(cat "$WE_WORK/serve.out")"
  we_camsim image ${WE_CAMERA:+"$WE_CAMERA"} --save "$(we_winpath "$WE_WORK/before.bin")" \
    >/dev/null || we_fail "camsim.exe image --save: $(cat "$WE_WORK/camsim.err")"
}

# WE_PELWIN_PROCESS (wow64 or native), when set: how the program must run,
# as Windows tells (the 32-bit tree's program under WOW64).
we_start_pelwin() {
  wine "$WE_PELWIN" </dev/null >"$WE_WORK/pelwin.out" 2>&1 &
  WE_PELWIN_PID=$!
  we_look 30 || we_fail "no pelwin window"
  [ -z "${WE_PELWIN_PROCESS:-}" ] || grep -qx "process $WE_PELWIN_PROCESS" "$WE_LOOK" ||
    we_fail "pelwin.exe runs as \"$(sed -n 's/^process //p' "$WE_LOOK")\", not $WE_PELWIN_PROCESS"
}

# we_look SECONDS [--until TEXT | --until-not TEXT]...: describes pelwin's
# main window into $WE_LOOK once all conditions hold (see pelwin_probe).
we_look() {
  local seconds=$1
  shift
  we_wine "$WE_PROBE" window class:PelwinWindow "$seconds" "$@" 2>"$WE_WORK/probe.err" |
    tr -d '\r' >"$WE_LOOK"
}

# we_wait CONDITION...: as we_look, within 15 s, or the test fails.
we_wait() {
  we_look 15 "$@" || {
    cat "$WE_LOOK" >&2
    we_fail "$(cat "$WE_WORK/probe.err")"
  }
}

we_wait_title() { we_wait --until "title \"$1\""; }

# The pages, told apart by their controls (the pane's texts are drawn, not
# controls). Page 1 and page 3 look alike: the tests know which they are on.
we_wait_scan_page() {
  we_wait --until ' enabled "Scan camera"' --until-not '"Write Filters"' \
    --until-not 'child ComboBox' "$@"
}
we_wait_unplug_page() {
  we_wait --until-not '"Scan camera"' --until ' disabled "Next ->"' --until-not 'child ComboBox' "$@"
}
we_wait_filters_page() {
  we_wait --until ' enabled "Write Filters"' --until ' disabled "Next ->"' "$@"
}
we_wait_done_page() {
  we_wait --until ' enabled "Finish"' --until-not '"Write Filters"' --until-not 'child ComboBox' "$@"
}

# we_control_center TEXT: "x y" on the screen of the last look's first
# control whose line has TEXT.
we_control_center() {
  awk -v text="$1" '
    $1 == "origin" { ox = $2; oy = $3 }
    $1 == "child" && index($0, text) { print ox + $3 + int($5 / 2), oy + $4 + int($6 / 2); exit }
  ' "$WE_LOOK"
}

# The X window of pelwin's main window, for keys: without a window manager
# nothing gives it the focus but us.
we_focus_main() {
  local title wid
  title=$(sed -n 's/^title "\(.*\)"$/\1/p' "$WE_LOOK")
  wid=$(xdotool search --onlyvisible --name "^${title}\$" | head -n 1)
  [ -n "$wid" ] || we_fail "no X window titled \"$title\""
  xdotool windowfocus --sync "$wid"
}

# we_click LABEL: presses the enabled button with the mouse, as a user would.
we_click() {
  we_wait --until " enabled \"$1\""
  local where
  where=$(we_control_center " enabled \"$1\"")
  # shellcheck disable=SC2086  # "x y"
  xdotool mousemove $where click 1
}

# we_pick LIST ITEM TEXT: picks item ITEM (from 1) of drop-down list LIST (1 the
# upper, 2 the lower) with the mouse and the arrow keys, then checks that the
# list shows TEXT as its selection.
we_pick() {
  local list=$1 item=$2 text=$3 line selected steps key where
  we_wait --until 'child ComboBox'
  # Windows lists children in z-order; the lists are numbered from the top.
  line=$(awk '$1 == "child" && $2 == "ComboBox"' "$WE_LOOK" | sort -n -k4,4 | sed -n "${list}p")
  [ -n "$line" ] || we_fail "no drop-down list $list"
  selected=$(sed -n 's/.* item \(-\{0,1\}[0-9]*\)\/[0-9]*$/\1/p' <<<"$line")
  steps=$((item - selected))
  key=Down
  if [ "$steps" -lt 0 ]; then
    key=Up
    steps=$((-steps))
  fi
  read -r _ _ x y w h _ <<<"$line"
  where="$(awk '$1 == "origin" { print $2, $3 }' "$WE_LOOK")"
  read -r ox oy <<<"$where"
  we_focus_main
  xdotool mousemove $((ox + x + w / 2)) $((oy + y + h / 2)) click 1
  local keys=()
  for (( ; steps > 0; steps--)); do keys+=("$key"); done
  xdotool key --delay 50 "${keys[@]}" Return
  we_wait --until "\"$text\" item $item/"
}

# we_wait_box TITLE: the lines of the open message box (and "icon yes|no") in
# $WE_WORK/box.txt.
we_wait_box() {
  we_wine "$WE_PROBE" dialog "$1" 15 2>"$WE_WORK/probe.err" | tr -d '\r' >"$WE_WORK/box.txt" ||
    we_fail "no box \"$1\": $(cat "$WE_WORK/probe.err")"
}

# we_box_key TITLE KEY: a key pressed in the open box.
we_box_key() {
  local wid
  wid=$(xdotool search --onlyvisible --name "^$1\$" | head -n 1)
  [ -n "$wid" ] || we_fail "no X window for the box \"$1\""
  xdotool windowfocus --sync "$wid"
  xdotool key "$2"
}

we_box_gone() { ! we_wine "$WE_PROBE" dialog "$1" 0 >/dev/null 2>&1; }

we_pelwin_ended() { ! kill -0 "$WE_PELWIN_PID" 2>/dev/null; }

# we_wait_exit: pelwin ends with status 0 within 15 s.
we_wait_exit() {
  we_poll 15 we_pelwin_ended || we_fail "pelwin.exe did not end"
  local status=0
  wait "$WE_PELWIN_PID" || status=$?
  WE_PELWIN_PID=""
  [ "$status" -eq 0 ] || we_fail "pelwin.exe ended with status $status"
}

# we_close: closes the window with Alt+F4 and waits for the program's end.
we_close() {
  we_look 5 || true
  we_focus_main
  xdotool key alt+F4
  we_wait_exit
}

# we_status_field NAME: a field of the camera's `camsim status` line.
we_status_field() { we_camsim status | tr ' ' '\n' | sed -n "s/^$1=//p" | head -n 1; }

# we_dump_field NAME: one decoded field of the camera, as `camsim dump` prints it.
we_dump_field() { we_camsim dump | sed -n "s/^$1: //p"; }

# we_read_reg KEY NAME [OPTION...]: WE_REG becomes the data of the registry
# value NAME under KEY as `reg query` prints it ("0x1"), or nothing when reg
# says the value is not there. Any other outcome (the key missing, reg failing
# in any other way, an answer without the value's line) fails the test: a
# probe that cannot read the registry must not pass for "no value". Runs in
# the test's own shell, so that the failure ends the test (in a command
# substitution it would only end the subshell).
we_read_reg() {
  local key=$1 name=$2 out status=0
  shift 2
  WE_REG=""
  out=$(we_wine reg query "$key" /v "$name" "$@" 2>&1) || status=$?
  out=$(tr -d '\r' <<<"$out" | sed '/^$/d')
  if [ "$status" -ne 0 ]; then
    [ "$out" = "reg: Unable to find the specified registry value" ] ||
      we_fail "reg query of $name under $key failed (status $status): $out"
    return 0
  fi
  WE_REG=$(awk -v name="$name" '$1 == name && $2 ~ /^REG_/ { print $3 }' <<<"$out")
  [ -n "$WE_REG" ] || we_fail "reg query of $name under $key shows no value: $out"
}

# we_read_permission SERVICE: WE_PERMISSION becomes the driver's
# AllowEEPROMWrite under the machine's service key (as we_read_reg reads it).
# Read in the 64-bit view, as the 64-bit driver reads it: with Wine's 32-bit
# side installed a bare `wine reg` is the 32-bit reg.exe, which would also see
# a value that WOW64 had redirected away from the driver.
we_read_permission() {
  we_read_reg "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1\\Parameters" AllowEEPROMWrite /reg:64
  WE_PERMISSION=$WE_REG
}

# we_expect_permission SERVICE VALUE WHEN: AllowEEPROMWrite is VALUE ("0x1"),
# or absent for "", or the test fails saying WHEN.
we_expect_permission() {
  we_read_permission "$1"
  [ "$WE_PERMISSION" = "$2" ] ||
    we_fail "AllowEEPROMWrite of $1 is \"${WE_PERMISSION:-absent}\" $3, not \"${2:-absent}\""
}

# we_read_mark CODE: WE_MARK becomes 1 when pelwin's mark of a grant for model
# code CODE stands in the machine's registry, else 0. Read in the 64-bit view:
# a mark the 32-bit program left under WOW6432Node would be none. A missing key
# is no mark; a reg query that fails otherwise fails the test.
we_read_mark() {
  local key='HKLM\Software\Varnosti\pelwin\Grants' out status=0
  WE_MARK=0
  out=$(we_wine reg query "$key" /reg:64 2>&1) || status=$?
  out=$(tr -d '\r' <<<"$out" | sed '/^$/d')
  if [ "$status" -ne 0 ]; then
    [ "$out" = "reg: Unable to find the specified registry key" ] ||
      we_fail "reg query of $key failed (status $status): $out"
    return 0
  fi
  if awk -v code="$1" '$1 == code { found = 1 } END { exit !found }' <<<"$out"; then
    WE_MARK=1
  fi
}

# we_expect_no_mark CODE WHEN: no mark of CODE, or the test fails saying WHEN.
we_expect_no_mark() {
  we_read_mark "$1"
  [ "$WE_MARK" -eq 0 ] || we_fail "pelwin's mark of $1 is left $2"
}

# we_check_frames EXPECTED: the camera's frame log, request and reply lines
# only, with the time, camera and process id taken out (and the CR of the
# Windows line ends), is EXPECTED byte for byte. A reply is logged once sent:
# the last line may come a moment after the program has gone on.
we_frames_are() {
  local camera=''
  if [ "$1" = --by-camera ]; then
    camera='\1: '
    shift
  fi
  sed -n -E "s/^[0-9-]+ [0-9:.]+ ([^ ]+): request from pid [0-9]+: /${camera}request: /p;
             s/^[0-9-]+ [0-9:.]+ ([^ ]+): (reply( dropped[^:]*)?: )/${camera}\\2/p" \
    "$WE_WORK/frames.log" | tr -d '\r' >"$WE_WORK/frames.txt"
  cmp -s "$1" "$WE_WORK/frames.txt"
}
# we_check_frames [--by-camera] EXPECTED: the frame log, each line with its
# camera's name when asked (two cameras served), is EXPECTED.
we_check_frames() {
  we_poll 5 we_frames_are "$@" && return 0
  diff -u "${@: -1}" "$WE_WORK/frames.txt" >&2
  we_fail "the frame log differs from $(basename "${@: -1}")"
}

# we_images COMMAND ARGS...: tests/endtoend/images.py, the image files' tool.
we_images() { python3 "$(dirname "${BASH_SOURCE[0]}")/../endtoend/images.py" "$@"; }

# we_check_image OFFSET...: the camera's image now differs from the one it was
# served with at most in the bytes at these offsets (decimal or 0x).
we_check_image() {
  we_camsim image ${WE_CAMERA:+"$WE_CAMERA"} --save "$(we_winpath "$WE_WORK/after.bin")" \
    >/dev/null || we_fail "camsim.exe image --save: $(cat "$WE_WORK/camsim.err")"
  we_images compare "$WE_WORK/before.bin" "$WE_WORK/after.bin" "$@" ||
    we_fail "the image changed beyond the chosen fields"
}

we_keep_failure() {
  [ -n "${WE_ARTIFACTS:-}" ] || return 0
  local dir=$WE_ARTIFACTS/$WE_NAME file
  mkdir -p "$dir"
  rm -f "$dir"/*
  [ -z "${DISPLAY:-}" ] || import -display "$DISPLAY" -window root "$dir/failure.png" 2>/dev/null || true
  for file in look.txt box.txt frames.log frames.txt serve.out pelwin.out camsim.err probe.err; do
    [ -f "$WE_WORK/$file" ] && cp "$WE_WORK/$file" "$dir/"
  done
  we_log "screenshot and logs kept in $dir"
}

# we_finish STATUS: keeps what a failure needs, ends pelwin and the camera,
# and leaves the test's final status in WE_STATUS. A camera server that does
# not end cleanly on `camsim stop` fails the test: the stand-in must survive
# everything the program does.
we_finish() {
  WE_STATUS=$1
  local served=0
  [ "$WE_STATUS" -eq 0 ] || we_keep_failure
  if [ -n "$WE_PELWIN_PID" ] && kill -0 "$WE_PELWIN_PID" 2>/dev/null; then
    kill "$WE_PELWIN_PID" 2>/dev/null || true
    we_poll 5 we_pelwin_ended || kill -9 "$WE_PELWIN_PID" 2>/dev/null || true
  fi
  if [ -n "$WE_SERVE_PID" ]; then
    we_camsim stop >/dev/null 2>&1 || kill "$WE_SERVE_PID" 2>/dev/null || true
    wait "$WE_SERVE_PID" 2>/dev/null || served=$?
    if [ "$served" -ne 0 ] && [ "$WE_STATUS" -eq 0 ]; then
      we_log "FAIL: camsim.exe serve ended with status $served: $(tr -d '\r' <"$WE_WORK/serve.out")"
      WE_STATUS=1
      we_keep_failure
    fi
  fi
  rm -rf "$WE_WORK"
  we_log "$([ "$WE_STATUS" -eq 0 ] && echo ok || echo failed) in $((SECONDS - WE_STARTED)) s"
}

trap 'we_finish $?; exit "$WE_STATUS"' EXIT
