#!/usr/bin/env bash
# The window's own About command, from F1 and from its right-click menu: the
# box with the tool's name, the version embedded in the executable and the
# program's icon; a camera unplugged meanwhile is still noticed. Also what the pane looks like in pixels: the etched
# separator in its two line colours, and labels that end at x 92.
set -euo pipefail
# shellcheck source=SCRIPTDIR/x_session.sh
source "$(dirname "$0")/x_session.sh"

# pixel X Y: the colour of the window's pixel, as RRGGBB.
pixel() {
  import -window "$WIN" -crop "1x1+$1+$2" +repage txt:- | sed -n 's/.*#\([0-9A-Fa-f]\{6\}\).*/\1/p' |
    tr 'a-f' 'A-F'
}

# colours X Y W H: how many colours the screen's rectangle holds.
colours() {
  import -window root -crop "$3x$4+$1+$2" +repage txt:- | grep -o '#[0-9A-Fa-f]\{6\}' | sort -u |
    wc -l
}

xs_start_x
xs_start_camsim selvo-e2v
xs_start_pelwin
xs_wait '^    text 100 46 [0-9]+ bold "' 10
for label in "Camera type:" "Camera ID:" "Filter positions:" "Filter wheel type:"; do
  xs_wait "^    text [0-9]+ (46|70|94|118) 92 regular \"$label\"\$"
done
# Pane (8, 8), separator at pane y 38 and 39, across its whole width.
for x in 8 100 263; do
  [ "$(pixel $x 46)" = 808080 ] || xs_fail "upper separator line at x $x is $(pixel $x 46)"
  [ "$(pixel $x 47)" = FFFFFF ] || xs_fail "lower separator line at x $x is $(pixel $x 47)"
done
[ "$(pixel 264 46)" != 808080 ] || xs_fail "the separator runs past the pane"

xdotool mousemove --window "$WIN" 200 60 key F1
xs_wait '^box 0x[0-9a-f]+ .* picture "About configuration tool"$'
xs_wait '^  boxline 1 "Corvane v3.0"$'
xs_wait '^  boxline 2 "3.0.0.0"$'
read -r _ _ bx by _ <<<"$(grep '^box ' "$PELWIN_FLTK_SNAPSHOT")"
# The 48-pixel icon sits 12 pixels in: a picture has many colours, a blank
# background one.
colours=$(colours $((bx + 12)) $((by + 12)) 48 48)
[ "$colours" -gt 8 ] || xs_fail "no icon in the About box ($colours colours)"
# Device notifications still arrive while the box holds its own loop.
xs_camsim unplug
xs_wait_title "Corvane v3.0"
xs_snapshot_matches '^box ' || xs_fail "the unplug closed the About box"
xdotool key Escape
xs_wait_gone '^box '

# Escape is no close request for the wizard itself.
xdotool mousemove --window "$WIN" 200 60 key Escape
sleep 0.3
xs_snapshot_matches '^window .* open ' || xs_fail "Escape closed the window"

xdotool mousemove --window "$WIN" 200 60 click 3
xdotool mousemove --window "$WIN" 220 70 click 1
xs_wait '^box 0x[0-9a-f]+ .* picture "About configuration tool"$'
xdotool key Return
xs_wait_gone '^box '

"$E2E_XCLOSE" "$WIN"
xs_wait_exit
[ "$PELWIN_STATUS" -eq 0 ] || xs_fail "pelwin ended with status $PELWIN_STATUS"
xs_log "ok"
