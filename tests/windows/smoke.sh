#!/usr/bin/env bash
# pelwin.exe under Wine, driven as a user would: it opens its window where it
# should, shows the first page with no camera, shows the About box from the
# system menu, reopens where it was closed, and honours a maximised start.
#
#   smoke.sh PELWIN_EXE PROBE_EXE WINE_RUN OUTPUT_DIR
#
# Needs DISPLAY and WINEPREFIX (tests/windows/wine-gui.sh). Screenshots and
# what the probe saw stay in OUTPUT_DIR.
set -euo pipefail

exe=$1
probe=$2
wine_run=$3
out=$4
title='Corvane v3.0'
about_title='About configuration tool'
key='HKCU\Software\Varnosti\pelwin'

mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.txt

pid=""
wid=""
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# One line of the probe's report: the words after the tag.
field() { awk -v tag="$1" '$1 == tag { $1 = ""; print substr($0, 2); exit }' "$2"; }

start() {
  "$wine_run" "$exe" &
  pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Corvane v3\.0$' | head -n 1) ||
    fail "no window titled \"$title\""
}

# Wine's console ends lines with CR LF.
look() {
  "$wine_run" "$probe" window "$title" 20 | tr -d '\r' >"$out/$1.txt" ||
    fail "the probe found no window"
}

shoot() { import -display "$DISPLAY" -window root "$out/$1.png"; }

# The darkest grey (0 black, 1 white) in a w x h area at x,y of a screenshot.
darkest() {
  /usr/bin/convert "$out/$1.png" -crop "$4x$5+$2+$3" +repage -colorspace Gray \
    -format '%[fx:minima]' info:
}
has_text() { awk -v v="$(darkest "$@")" 'BEGIN { exit !(v < 0.4) }'; }

# Keys go through XTEST to the focused window, as a user's would; there is no
# window manager to activate windows.
focus() { xdotool windowfocus --sync "$1"; }

close_and_wait() {
  focus "$wid"
  xdotool key alt+F4
  timeout 20 tail -s 0.1 --pid="$pid" -f /dev/null || fail "pelwin.exe still runs after alt+F4"
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" -eq 0 ] || fail "pelwin.exe ended with $status after alt+F4"
}

wait_gone() {
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "\"$1\" is still open"
}

# --- First start: no stored position.
"$wine_run" reg delete "$key" /f >/dev/null 2>&1 || true
start
look first
[ "$(field client "$out/first.txt")" = "272 188" ] ||
  fail "client area is $(field client "$out/first.txt"), not 272 188"
read -r left top _ _ <<<"$(field frame "$out/first.txt")"
[ "$left $top" = "100 100" ] || fail "first start at $left,$top, not 100,100"
[ "$(field style "$out/first.txt")" = "caption sysmenu minimizebox" ] ||
  fail "frame style is \"$(field style "$out/first.txt")\""
grep -q '^child Button .* visible enabled "Scan camera"$' "$out/first.txt" ||
  fail "no enabled \"Scan camera\" button"
grep -q '^child Button .* visible disabled "Next ->"$' "$out/first.txt" ||
  fail "no disabled \"Next ->\" button"
grep -q '^child PelwinView 8 8 256 148 visible' "$out/first.txt" || fail "no pane at 8,8 256x148"

# Without a camera the first scan shows "Not connected" as the camera type and
# leaves the other values empty; the labels are there.
shoot first
read -r x y <<<"$(field origin "$out/first.txt")"
pane_x=$((x + 8))
pane_y=$((y + 8))
has_text first $((pane_x + 100)) $((pane_y + 46)) 140 14 || fail "no camera type value"
for row in 70 94 118; do
  has_text first $((pane_x + 100)) $((pane_y + row)) 140 14 && fail "a value at row $row"
  has_text first $((pane_x)) $((pane_y + row)) 92 14 || fail "no label at row $row"
done

# --- About, from the system menu (the last entry; Up from the top wraps to it).
focus "$wid"
xdotool key --delay 300 alt+space Up Return
"$wine_run" "$probe" dialog "$about_title" 20 | tr -d '\r' >"$out/about.txt" ||
  fail "no About box"
shoot about
grep -qx 'line Corvane v3.0' "$out/about.txt" || fail "About box without \"Corvane v3.0\""
grep -qx 'line 3.0.0.0' "$out/about.txt" || fail "About box without the file version"
grep -qx 'icon yes' "$out/about.txt" || fail "About box without an icon"
box=$(xdotool search --onlyvisible --name "^$about_title\$" | head -n 1)
focus "$box"
xdotool key Return
wait_gone "$about_title"

# --- Move the window by its title bar, close it, and find it stored.
xdotool mousemove $((left + 120)) $((top + 8)) mousedown 1
xdotool mousemove_relative -- 40 30
xdotool mousemove_relative -- 30 20
xdotool mouseup 1
look moved
read -r moved_left moved_top _ _ <<<"$(field frame "$out/moved.txt")"
[ "$moved_left $moved_top" != "$left $top" ] || fail "the window did not move"
close_and_wait

stored=$("$wine_run" reg query "$key\\Window" | tr -d '\r')
echo "$stored" >"$out/registry.txt"
read_dword() {
  local hex
  hex=$(awk -v name="$1" '$1 == name && $2 == "REG_DWORD" { print $3 }' <<<"$stored")
  [ -n "$hex" ] || fail "no $1 stored"
  echo $((hex))
}
[ "$(read_dword XPos) $(read_dword YPos)" = "$moved_left $moved_top" ] ||
  fail "stored $(read_dword XPos),$(read_dword YPos), window was at $moved_left,$moved_top"

# --- Second start: where it was closed.
start
look second
read -r left top _ _ <<<"$(field frame "$out/second.txt")"
[ "$left $top" = "$moved_left $moved_top" ] ||
  fail "second start at $left,$top, not $moved_left,$moved_top"
[ "$(field state "$out/second.txt")" = normal ] || fail "second start not in the normal state"
shoot second
close_and_wait

# --- Started maximised (show state 3), and closed so: the normal position is
# what is kept.
"$wine_run" start /max /wait "$("$wine_run" winepath -w "$exe" | tr -d '\r')" &
pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Corvane v3\.0$' | head -n 1) ||
  fail "no window when started maximised"
look maximized
[ "$(field state "$out/maximized.txt")" = maximized ] || fail "show state 3 did not maximise"
close_and_wait
stored=$("$wine_run" reg query "$key\\Window" | tr -d '\r')
[ "$(read_dword XPos) $(read_dword YPos)" = "$moved_left $moved_top" ] ||
  fail "closed maximised, stored $(read_dword XPos),$(read_dword YPos)"
echo "smoke test passed; screenshots in $out"
