# shellcheck shell=bash
# The one way our shell scripts start a private X server (the end-to-end
# driver's Linux port, tests/endtoend/port_linux.py, starts its own the same
# way). Sourced by the Wine end-to-end session (tests/endtoend/wine_session.sh)
# and the Windows GUI tests (tests/windows/wine-gui.sh).
#
#   xvfb_start DIR GEOMETRY [DISPLAY-NUMBER]
#
# Starts Xvfb with screen GEOMETRY (e.g. 1024x768x24) on DISPLAY-NUMBER, or on
# a free display of its own choosing, so that tests can run side by side. Its
# log goes to DIR/xvfb.log, its display number to DIR/display. Returns once the
# server accepts clients, with DISPLAY exported and XVFB_PID set; returns 1
# with the server's log on standard error when it did not come up within 15 s.
# With XVFB_DETACH=1 the server runs in a session of its own, so that it
# outlives the script that started it (the Wine session's server does). The
# server never holds the descriptor 9 that our scripts lock with.
xvfb_start() {
  local dir=$1 geometry=$2 number=${3:-}
  local display_file=$dir/display
  : >"$display_file"
  local launcher=()
  [ "${XVFB_DETACH:-0}" != 1 ] || launcher=(setsid)
  # -displayfd writes the number once clients are accepted, whether the
  # display was given or chosen.
  "${launcher[@]}" Xvfb ${number:+":$number"} -displayfd 3 -screen 0 "$geometry" \
    -nolisten tcp -noreset 3>"$display_file" </dev/null >"$dir/xvfb.log" 2>&1 9>&- &
  XVFB_PID=$!
  local deadline=$((SECONDS + 15)) shown
  while :; do
    shown=$(tr -dc 0-9 <"$display_file")
    [ -n "$shown" ] && [ -S "/tmp/.X11-unix/X$shown" ] && break
    if ! kill -0 "$XVFB_PID" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
      echo "Xvfb did not start: $(cat "$dir/xvfb.log")" >&2
      kill "$XVFB_PID" 2>/dev/null || true
      return 1
    fi
    sleep 0.05
  done
  DISPLAY=":$shown"
  export DISPLAY
}
