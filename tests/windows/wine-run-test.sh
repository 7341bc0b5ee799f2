#!/usr/bin/env bash
# tools/wine-run.sh's prefixes, against a stand-in Wine that records what it
# is asked: a wineboot that fails is shown and tried again, and gives up after
# its last try; a build tree boots once, and its other prefixes share the
# Windows binaries with that one and have registries of their own.
#
#   wine-run-test.sh WINE_RUN
set -euo pipefail

wine_run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}

mkdir "$work/bin"
cat >"$work/bin/wineboot" <<'STUB'
#!/usr/bin/env bash
count=$(($(cat "$STUB_STATE/boots" 2>/dev/null || echo 0) + 1))
echo "$count" >"$STUB_STATE/boots"
if [ "$count" -le "${STUB_FAILING_BOOTS:-0}" ]; then
  echo "stub wineboot: no display driver (boot $count)" >&2
  mkdir -p "$WINEPREFIX/drive_c"  # a half-made prefix
  exit 1
fi
mkdir -p "$WINEPREFIX/drive_c/windows/system32" "$WINEPREFIX/dosdevices"
echo binary >"$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
echo '[Software]' >"$WINEPREFIX/system.reg"
echo '[fonts]' >"$WINEPREFIX/drive_c/windows/win.ini"
ln -s ../drive_c "$WINEPREFIX/dosdevices/c:"
STUB
cat >"$work/bin/wine" <<'STUB'
#!/bin/sh
[ "$1" = --version ] && echo wine-stub
exit 0
STUB
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wineserver"
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH" STUB_STATE="$work"
boots() { cat "$work/boots" 2>/dev/null || echo 0; }
inode() { stat -c %i "$1"; }

tree=$work/tree
mkdir "$tree"
touch "$tree/CMakeCache.txt"
STUB_FAILING_BOOTS=1 WINEPREFIX=$tree/wineprefix "$wine_run" --prepare 2>"$work/err" || true
check "a failed wineboot's output is shown" grep -q 'no display driver (boot 1)' "$work/err"
check "and it is tried again" test "$(boots)" = 2
check "the prefix is ready" test -s "$tree/wineprefix/.pelwin-ready"
WINEPREFIX=$tree/wineprefix-gui "$wine_run" --prepare
check "a tree boots once for all its prefixes" test "$(boots)" = 2
dll=drive_c/windows/system32/kernel32.dll
check "its prefixes share the Windows binaries" \
  test "$(inode "$tree/wineprefix/$dll")" = "$(inode "$tree/wineprefix-gui/$dll")"
for file in system.reg drive_c/windows/win.ini; do
  check "and each has its own $file" \
    test "$(inode "$tree/wineprefix/$file")" != "$(inode "$tree/wineprefix-gui/$file")"
done
check "links stay links" test -L "$tree/wineprefix-gui/dosdevices/c:"

rm -f "$work/boots"
mkdir "$work/broken"
touch "$work/broken/CMakeCache.txt"
if STUB_FAILING_BOOTS=99 WINEPREFIX=$work/broken/wineprefix "$wine_run" --prepare 2>"$work/err"; then
  check "a wineboot that keeps failing fails the run" false
fi
check "after three tries" test "$(boots)" = 3
check "leaving no prefix that looks ready" test ! -e "$work/broken/wineprefix/.pelwin-ready"

[ "$failures" -eq 0 ]
