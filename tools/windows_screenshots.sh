#!/usr/bin/env bash
# Makes the Windows pictures of docs/user-guide.md: the real pelwin.exe under
# Wine, driven like a user against a camera that camsim.exe serves behind the
# driver stand-in, in the session of the Wine end-to-end tests and with their
# helpers (tests/wine/wine_e2e.sh). Every picture is a screen grab of a window
# as Wine draws it, title bar included; none is edited afterwards.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: tools/windows_screenshots.sh [--out DIR] [BUILD-DIR]

Regenerates every Windows picture of the user guide (default DIR:
docs/screenshots/windows/).

BUILD-DIR is the build tree whose app/pelwin.exe is shown: by default
build/windows-i686 when it holds one, else build/windows-cross. The camera
(camsim.exe, the driver stand-in and its Wine prefix) and pelwin_probe.exe
come from the tree named by PELWIN_STANDIN_BUILD in BUILD-DIR's CMakeCache.txt,
else from BUILD-DIR itself when it has them, else from build/windows-cross:
  cmake --build --preset windows-cross --target camsim_windows camsim_standin pelwin_probe

The script starts the Wine session of that tree (tests/wine/session.sh), which
ends one still running: do not run it while that tree's Wine tests run. For
Windows-like caption buttons it puts Wine's Marlett font into the prefix for
the duration of the run (from /usr/share/wine/fonts, else from the package
fonts-wine, fetched with `apt-get download` into the tree). Takes about a
minute.
USAGE
}

root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/docs/screenshots/windows
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --out) out=$(mkdir -p "${2:?--out needs a directory}" && cd "$2" && pwd); shift 2 ;;
    -*) usage >&2; exit 2 ;;
    *) [ -z "$build" ] || { usage >&2; exit 2; }; build=$1; shift ;;
  esac
done
if [ -z "$build" ]; then
  build=$root/build/windows-cross
  [ -f "$root/build/windows-i686/app/pelwin.exe" ] && build=$root/build/windows-i686
fi
build=$(cd "$build" && pwd)
pelwin=$build/app/pelwin.exe
[ -f "$pelwin" ] || { echo "no $pelwin: build that tree first" >&2; exit 1; }

standin=$(sed -n 's/^PELWIN_STANDIN_BUILD:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ -z "$standin" ]; then
  standin=$root/build/windows-cross
  [ -f "$build/sim/windows/camsim.exe" ] && standin=$build
fi
standin=$(cd "$standin" && pwd)
for file in sim/windows/camsim.exe sim/windows/camsim-standin.sys tests/windows/pelwin_probe.exe; do
  [ -f "$standin/$file" ] || {
    echo "no $standin/$file: see tools/windows_screenshots.sh --help" >&2
    exit 1
  }
done

log() { printf 'screenshots: %s\n' "$*" >&2; }

# Wine draws its caption buttons with Marlett; without it they are letters.
marlett() {
  local system=/usr/share/wine/fonts/marlett.ttf cache=$standin/screenshot-fonts
  if [ -f "$system" ]; then
    printf '%s\n' "$system"
    return
  fi
  if [ ! -f "$cache/usr/share/wine/fonts/marlett.ttf" ]; then
    mkdir -p "$cache"
    (cd "$cache" && apt-get download fonts-wine >/dev/null 2>&1) || {
      echo "cannot fetch fonts-wine for the Marlett font (apt-get download)" >&2
      return 1
    }
    dpkg-deb -x "$cache"/fonts-wine_*.deb "$cache"
  fi
  printf '%s\n' "$cache/usr/share/wine/fonts/marlett.ttf"
}

font=$(marlett)
prefix_font=$standin/wineprefix-standin/drive_c/windows/Fonts/marlett.ttf
finish() {
  local status=$?
  "$root/tests/wine/session.sh" stop "$standin" || true
  rm -f "$prefix_font"
  exit "$status"
}
trap finish EXIT
log "photographing $pelwin; the camera from $standin"
"$root/tests/wine/session.sh" start "$standin"
mkdir -p "$(dirname "$prefix_font")"
cp "$font" "$prefix_font"
# The desktop that shows below an opened list: Windows' plain default colour
# rather than the X server's black. (display reports failure even when it has
# set the background.)
screen=$(sed -n 's/^export DISPLAY=//p' "$standin/tests/wine/session/env")
display -display "$screen" -window root \
  -size "$(DISPLAY=$screen xdotool getdisplaygeometry | tr ' ' x)" \
  xc:'#3a6ea5' 2>/dev/null || true
mkdir -p "$out"
export ROOT=$root OUT=$out WE_BUILD=$standin WE_PELWIN=$pelwin
export WE_CAMSIM=$standin/sim/windows/camsim.exe WE_PROBE=$standin/tests/windows/pelwin_probe.exe
export WE_ARTIFACTS=$standin/tests/wine/artifacts-screenshots

# --- what each picture needs, run in a subshell per camera -----------------

# shot NAME [BOX-TITLE]: out/NAME.png, of the box with that title, or else of
# every window on the screen (the main window with any open menu or list).
# Grabbed until two grabs agree, so that no picture is caught mid-paint.
shot() {
  local name=$1 title=${2:-} wid x0=100000 y0=100000 x1=0 y1=0 screen_w screen_h
  local X Y WIDTH HEIGHT tries
  xdotool mousemove 1020 760
  read -r screen_w screen_h < <(xdotool getdisplaygeometry)
  local windows
  if [ -n "$title" ]; then
    windows=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
  else
    windows=$(xdotool search --onlyvisible --name '.*')
  fi
  for wid in $windows; do
    eval "$(xdotool getwindowgeometry --shell "$wid" | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9-]+$')"
    [ "$WIDTH" -lt "$screen_w" ] || [ "$HEIGHT" -lt "$screen_h" ] || continue
    ((X < x0)) && x0=$X
    ((Y < y0)) && y0=$Y
    ((X + WIDTH > x1)) && x1=$((X + WIDTH))
    ((Y + HEIGHT > y1)) && y1=$((Y + HEIGHT))
  done
  ((x1 > x0)) || we_fail "nothing to photograph for $name"
  local crop=$((x1 - x0))x$((y1 - y0))+$x0+$y0 grab=$WE_WORK/grab.png last=$WE_WORK/last.png
  rm -f "$last"
  for ((tries = 0; tries < 20; tries++)); do
    sleep 0.3
    import -display "$DISPLAY" -window root -crop "$crop" +repage "$grab"
    [ -f "$last" ] && compare -metric AE "$grab" "$last" null: 2>/dev/null && break
    mv "$grab" "$last"
  done
  # No time stamps in the file: a picture that did not change stays the same bytes.
  convert "$grab" -strip -define png:exclude-chunks=date,time "$OUT/$name.png"
  we_log "$name.png ($crop)"
}

# The Windows version Wine reports to pelwin.exe alone (admin_box sets it).
app_version_key='HKCU\Software\Wine\AppDefaults\pelwin.exe'

# A camera of SAMPLE, and pelwin started afresh at its default place.
begin() {
  we_wine reg delete 'HKCU\Software\Varnosti\pelwin' /f >/dev/null 2>&1 || true
  we_wine reg delete "$app_version_key" /f >/dev/null 2>&1 || true
  if [ $# -gt 0 ]; then
    we_serve "$@"
  fi
}

# edit_image OFFSET BYTE...: the served camera's EEPROM with those bytes changed.
edit_image() {
  local offset=$1
  shift
  we_images set "$WE_WORK/before.bin" "$WE_WORK/edited.bin" "$offset" "$@"
  we_camsim image --load "$(we_winpath "$WE_WORK/edited.bin")" >/dev/null ||
    we_fail "camsim.exe image --load: $(cat "$WE_WORK/camsim.err")"
}

# Visible X windows: a menu or an opened list is one of its own.
window_count() { xdotool search --onlyvisible --name '.*' | wc -l; }
more_windows_than() { [ "$(window_count)" -gt "$1" ]; }

box_return() {
  we_box_key "$1" Return
  we_poll 10 we_box_gone "$1" || we_fail "the box \"$1\" stayed open"
}

# The five pages of a Selvo camera and the About box. The system menu is not
# photographed: Wine adds its own "About Wine" entry just above pelwin's
# "About...", which no crop can leave out.
five_pages() {
  local service=ralcamF
  we_wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters" \
    /v AllowEEPROMWrite /f >/dev/null 2>&1 || true
  begin selvo-kaf
  we_start_pelwin
  we_wait_scan_page --until 'title "Selvo KAF"' --until ' enabled "Next ->"'
  shot 1-scan

  local before
  before=$(window_count)
  we_focus_main
  xdotool key alt+space
  we_poll 5 more_windows_than "$before" || we_fail "no system menu"
  xdotool key Up Return
  we_wait_box "About configuration tool"
  shot about "About configuration tool"
  box_return "About configuration tool"

  we_click "Next ->"
  we_wait_unplug_page --until 'title "Selvo KAF"'
  shot 2-unplug
  we_camsim unplug >/dev/null
  we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
  shot 3-unplugged
  we_camsim plug >/dev/null
  we_click "Scan camera"
  we_wait --until 'title "Selvo KAF"' --until ' enabled "Next ->"'
  shot 3-scan-again
  we_click "Next ->"
  we_wait_filters_page --until '"Not installed" item 1/8'
  shot 4-filters

  # The upper list opened with the mouse, then 7 positions chosen with the keys.
  local line x y w h ox oy
  line=$(awk '$1 == "child" && $2 == "ComboBox"' "$WE_LOOK" | sort -n -k4,4 | head -n 1)
  read -r _ _ x y w h _ <<<"$line"
  read -r ox oy < <(awk '$1 == "origin" { print $2, $3 }' "$WE_LOOK")
  before=$(window_count)
  we_focus_main
  xdotool mousemove $((ox + x + w / 2)) $((oy + y + h / 2)) click 1
  we_poll 5 more_windows_than "$before" || we_fail "the list did not open"
  shot 4-list-open
  xdotool key --delay 50 Down Down Down Return
  we_wait --until '"7 positions" item 4/8'
  we_pick 2 2 "EFW revision 2"
  we_click "Write Filters"
  we_wait --until ' enabled "Next ->"'
  shot 4-written
  we_click "Next ->"
  we_wait_done_page
  shot 5-done
  we_click "Finish"
  we_wait_exit
}

# Pelwin started with no camera plugged in.
no_camera() {
  begin
  we_start_pelwin
  we_wait_scan_page --until 'title "Corvane v3.0"' --until ' disabled "Next ->"'
  shot 1-no-camera
  we_close
}

# A Tamis camera: a write the camera refuses, one without the camera, then
# the write and the last page.
tamis_errors() {
  begin tamis-a
  we_start_pelwin
  we_wait_title "Tamis Camera"
  we_click "Next ->"
  we_wait_filters_page
  shot tamis-filters
  we_camsim fault refuse 1 0x82 >/dev/null
  we_click "Write Filters"
  we_wait_box Error
  grep -qx 'line Cannot write camera EEPROM' "$WE_WORK/box.txt" || we_fail "not the write box"
  shot error-write Error
  box_return Error

  we_wait_scan_page --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_filters_page
  we_camsim unplug >/dev/null
  we_wait --until 'title "Corvane v3.0"'
  we_click "Write Filters"
  we_wait_box Error
  grep -qx 'line Camera not connected' "$WE_WORK/box.txt" || we_fail "not the no-camera box"
  shot error-not-connected Error
  box_return Error

  # Plugged in again, the three pages through to the last one.
  we_wait_scan_page --until 'title "Corvane v3.0"'
  we_camsim plug >/dev/null
  we_click "Scan camera"
  we_wait --until 'title "Tamis Camera"' --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_filters_page
  we_click "Write Filters"
  we_wait --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_done_page
  shot tamis-done
  we_click "Finish"
  we_wait_exit
}

# Another camera at the second scan: the first one's camera ID changed while
# it was unplugged (camera ID: block bytes 0 to 3, the block at 10).
different_camera() {
  begin selvo-kaf
  we_start_pelwin
  we_wait_scan_page --until 'title "Selvo KAF"' --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_unplug_page
  we_camsim unplug >/dev/null
  we_wait --until 'title "Corvane v3.0"'
  edit_image 10 0x01 0x02 0x03 0x04
  we_camsim plug >/dev/null
  we_click "Scan camera"
  we_wait_box Error
  grep -qx 'line This camera is different' "$WE_WORK/box.txt" || we_fail "not the different-camera box"
  shot error-different Error
  box_return Error
  we_close
}

# A camera whose model code (header bytes 3 and 4) names no driver pelwin
# knows: granting the write permission fails, and pelwin ends after the box.
unknown_driver() {
  begin selvo-kaf
  edit_image 3 0x4c 0x04
  we_start_pelwin
  we_wait_scan_page --until 'title "Selvo KAF"' --until ' enabled "Next ->"'
  we_click "Next ->"
  we_wait_unplug_page
  we_camsim unplug >/dev/null
  we_wait_box Error
  grep -qx 'line Cannot write Windows Registry' "$WE_WORK/box.txt" || we_fail "not the registry box"
  shot error-registry Error
  box_return Error
  we_wait_exit
}

# The administrator box. Under Wine every account may open the service
# manager with full access, so pelwin's check never fails; Windows 3.1 as the
# version Wine reports to pelwin.exe (neither the 9x nor the NT platform)
# makes it fail, and pelwin.exe shows its own box at the first scan.
admin_box() {
  begin selvo-kaf
  we_wine reg add "$app_version_key" /v Version /d win31 /f >/dev/null
  # The box comes before the window shows: the first scan runs as the window
  # is made.
  wine "$WE_PELWIN" </dev/null >"$WE_WORK/pelwin.out" 2>&1 &
  # shellcheck disable=SC2034 # we_wait_exit (tests/wine/wine_e2e.sh) waits for it
  WE_PELWIN_PID=$!
  we_wait_box Error
  grep -qx 'line Managing Selvo cameras requires administrative privileges.' "$WE_WORK/box.txt" ||
    we_fail "not the administrator box"
  shot error-admin Error
  box_return Error
  we_wait_exit
  we_wine reg delete "$app_version_key" /f >/dev/null
}

export app_version_key
export -f admin_box shot begin edit_image window_count more_windows_than box_return five_pages no_camera tamis_errors different_camera \
  unknown_driver

for scene in admin_box no_camera five_pages tamis_errors different_camera unknown_driver; do
  log "$scene"
  WE_NAME=screenshots.$scene bash -c '
    set -euo pipefail
    source "$ROOT/tests/wine/wine_e2e.sh"
    we_attach
    "$1"' _ "$scene"
done
log "pictures in $out"
