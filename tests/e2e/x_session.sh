# shellcheck shell=bash
# Drives pelwin in a private X server against camsim, on roots of its own.
# Sourced by the end-to-end tests and by tools/demo.sh.
#
# In: PELWIN and CAMSIM (the programs); optional XS_WORK (the directory for
# roots, logs and the snapshot; default a new temporary one, removed at exit),
# XS_ARTIFACTS (where a failure leaves its screenshot and logs), XS_NAME,
# XS_DISPLAY (a display number to use instead of the first free one).
#
# pelwin tells what it shows through PELWIN_FLTK_SNAPSHOT: one line per
# window, control, drawn text and message box, replaced whole whenever the
# screen changes. The helpers wait on it, with time limits, instead of sleeping.

: "${PELWIN:?PELWIN must name the pelwin program}"
: "${CAMSIM:?CAMSIM must name the camsim program}"
XS_NAME=${XS_NAME:-$(basename "$0" .sh)}

if [ -n "${XS_WORK:-}" ]; then
  XS_KEEP_WORK=1
  mkdir -p "$XS_WORK"
else
  XS_KEEP_WORK=0
  XS_WORK=$(mktemp -d "${TMPDIR:-/tmp}/pelwin-$XS_NAME.XXXXXX")
fi

export PELWIN_DEVICE_ROOT="$XS_WORK/devices"
export PELWIN_USER_REGISTRY="$XS_WORK/user-registry"
export PELWIN_MACHINE_REGISTRY="$XS_WORK/machine-registry"
export PELWIN_OBJECT_ROOT="$XS_WORK/objects"
export CAMSIM_STATE="$XS_WORK/camsim-state"
export PELWIN_FLTK_SNAPSHOT="$XS_WORK/snapshot"
# The Selvo and Ortek paths ask for administrator rights; the roots above are
# ours, so grant them rather than depend on who runs the test.
export PELWIN_ADMIN=${PELWIN_ADMIN:-1}
mkdir -p "$PELWIN_DEVICE_ROOT" "$PELWIN_USER_REGISTRY" "$PELWIN_MACHINE_REGISTRY" "$CAMSIM_STATE"

# shellcheck source=SCRIPTDIR/../../tools/xvfb.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/xvfb.sh"

XS_PIDS=()
PELWIN_PID=""
WIN=""

xs_log() { printf '[%s] %s\n' "$XS_NAME" "$*" >&2; }

xs_fail() {
  xs_log "FAIL: $*"
  exit 1
}

xs_keep_failure() {
  [ -n "${XS_ARTIFACTS:-}" ] || return 0
  local dir="$XS_ARTIFACTS/$XS_NAME"
  mkdir -p "$dir"
  if [ -n "${DISPLAY:-}" ]; then
    import -window root "$dir/failure.png" 2>/dev/null || true
  fi
  local file
  for file in snapshot pelwin.out camsim.out camsim.log xvfb.log; do
    [ -f "$XS_WORK/$file" ] && cp "$XS_WORK/$file" "$dir/"
  done
  xs_log "screenshot and logs kept in $dir"
}

xs_cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ "$status" -eq 0 ] || xs_keep_failure
  local i
  # pelwin first, then camsim, then the X server they use.
  for ((i = ${#XS_PIDS[@]} - 1; i >= 0; i--)); do
    kill "${XS_PIDS[i]}" 2>/dev/null || true
  done
  for ((i = ${#XS_PIDS[@]} - 1; i >= 0; i--)); do
    wait "${XS_PIDS[i]}" 2>/dev/null || true
  done
  [ "$XS_KEEP_WORK" -eq 1 ] || rm -rf "$XS_WORK"
  exit "$status"
}
trap xs_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# xs_poll SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds.
xs_poll() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# A private X server on a display number it picks itself, so that tests can
# run side by side.
xs_start_x() {
  xvfb_start "$XS_WORK" 640x480x24 "${XS_DISPLAY:-}" || xs_fail "Xvfb did not start"
  XS_PIDS+=("$XVFB_PID")
}

# xs_start_camsim SAMPLE[=ID]... [OPTIONS]: serves the cameras in the background.
xs_start_camsim() {
  : >"$XS_WORK/camsim.out"
  "$CAMSIM" serve --log "$XS_WORK/camsim.log" "$@" >"$XS_WORK/camsim.out" 2>&1 &
  XS_PIDS+=($!)
  xs_poll 15 grep -q '^ready' "$XS_WORK/camsim.out" || xs_fail "camsim did not start"
}

xs_camsim() { "$CAMSIM" "$@"; }

# One decoded field of the camera's EEPROM, as `camsim dump` prints it.
xs_dump_field() { "$CAMSIM" dump | sed -n "s/^$1: //p"; }

xs_start_pelwin() {
  rm -f "$PELWIN_FLTK_SNAPSHOT"
  "$PELWIN" >"$XS_WORK/pelwin.out" 2>&1 &
  PELWIN_PID=$!
  XS_PIDS+=("$PELWIN_PID")
  xs_wait '^window 0x[0-9a-f]+ .* normal open '
  WIN=$(awk '$1 == "window" { print $2; exit }' "$PELWIN_FLTK_SNAPSHOT")
}

xs_snapshot_matches() { [ -f "$PELWIN_FLTK_SNAPSHOT" ] && grep -Eq -- "$1" "$PELWIN_FLTK_SNAPSHOT"; }

# xs_wait EXTENDED-REGEX [SECONDS]: until a line of the snapshot matches.
xs_wait() {
  if ! xs_poll "${2:-10}" xs_snapshot_matches "$1"; then
    [ -f "$PELWIN_FLTK_SNAPSHOT" ] && cat "$PELWIN_FLTK_SNAPSHOT" >&2
    xs_fail "pelwin never showed: $1"
  fi
}

# Only a snapshot that is there and was searched lacks a line: a missing file
# or a failing grep is no answer.
xs_snapshot_lacks() {
  [ -f "$PELWIN_FLTK_SNAPSHOT" ] || return 1
  local status=0
  grep -Eq -- "$1" "$PELWIN_FLTK_SNAPSHOT" || status=$?
  [ "$status" -eq 1 ]
}

xs_wait_gone() {
  if ! xs_poll "${2:-10}" xs_snapshot_lacks "$1"; then
    cat "$PELWIN_FLTK_SNAPSHOT" >&2
    xs_fail "pelwin still shows: $1"
  fi
}

# The page heading, drawn by the pane at its top-left corner in bold.
xs_wait_page() { xs_wait "^    text 0 0 [0-9]+ bold \"$1\"\$" "${2:-10}"; }

# xs_button_center LABEL: "x y" of the main window's button, if enabled.
xs_button_center() {
  awk -v label="\"$1\"" '
    $1 == "window" { inWindow = 1 } $1 == "box" { inWindow = 0 }
    inWindow && $1 == "button" && $6 == "enabled" && substr($0, index($0, "\"")) == label {
      print int($2 + $4 / 2), int($3 + $5 / 2); exit
    }' "$PELWIN_FLTK_SNAPSHOT"
}

# xs_click LABEL: presses the main window's enabled button with the mouse.
xs_has_button() { [ -n "$(xs_button_center "$1")" ]; }

xs_click() {
  xs_poll 10 xs_has_button "$1" || xs_fail "no enabled button \"$1\""
  local where
  where=$(xs_button_center "$1")
  # shellcheck disable=SC2086  # "x y"
  xdotool mousemove --window "$WIN" $where click 1
}

# xs_pick LIST ITEM TEXT: picks item ITEM (from 1) of drop-down list LIST (1 the
# upper, 2 the lower) with the mouse and the arrow keys, then checks that it
# shows TEXT.
xs_pick() {
  local list=$1 item=$2 text=$3 line selected steps key
  line=$(awk -v n="$list" '$1 == "choice" && ++seen == n { print; exit }' "$PELWIN_FLTK_SNAPSHOT")
  [ -n "$line" ] || xs_fail "no drop-down list $list"
  read -r _ x y w h _ selected _ <<<"$line"
  selected=${selected%%/*}
  steps=$((item - selected))
  key=Down
  if [ "$steps" -lt 0 ]; then
    key=Up
    steps=$((-steps))
  fi
  xdotool mousemove --window "$WIN" $((x + w / 2)) $((y + h / 2)) click 1
  local keys=()
  for ((; steps > 0; steps--)); do keys+=("$key"); done
  xdotool key "${keys[@]}" Return
  xs_wait "^  choice $x $y $w $h [a-z]+ $item/[0-9]+ \"$text\"\$"
}

xs_title() { xdotool getwindowname "$WIN"; }

xs_title_is() { [ "$(xs_title)" = "$1" ]; }

xs_wait_title() {
  xs_poll "${2:-10}" xs_title_is "$1" ||
    xs_fail "the window title is \"$(xs_title)\", expected \"$1\""
}

xs_pelwin_ended() { [ -n "$PELWIN_PID" ] && ! kill -0 "$PELWIN_PID" 2>/dev/null; }

# xs_wait_exit: waits for pelwin to end; its exit status is left in
# PELWIN_STATUS for the scripts that source this one.
xs_wait_exit() {
  xs_poll 10 xs_pelwin_ended || xs_fail "pelwin did not end"
  PELWIN_STATUS=0
  # shellcheck disable=SC2034
  wait "$PELWIN_PID" || PELWIN_STATUS=$?
}

# xs_registry_value ROOT KEY-PATH NAME: a stored value as a signed number, or
# nothing when it is missing.
xs_registry_value() {
  local file="$1/${2//\\//}/$3" hex
  [ -f "$file" ] || return 0
  hex=$(sed -n 's/^dword:\([0-9a-f]\{8\}\)$/\1/p' "$file")
  [ -n "$hex" ] || return 0
  local value=$((16#$hex))
  [ "$value" -lt 2147483648 ] || value=$((value - 4294967296))
  echo "$value"
}
