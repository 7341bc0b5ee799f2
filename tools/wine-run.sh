#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix, never in
# ~/.wine. The cross build uses it as its emulator, so CTest's runs (test
# discovery included) and the Windows tests' scripts all share one prefix.
#
#   tools/wine-run.sh PROGRAM.exe [ARGS...]
#   WINEPREFIX=DIR tools/wine-run.sh reg query ...
#   WINEPREFIX=DIR tools/wine-run.sh --prepare     only make the prefix
#
# Without WINEPREFIX the prefix is <build>/wineprefix, <build> being the
# nearest directory above PROGRAM (or the working directory) that holds a
# CMakeCache.txt. The prefix is made on first use: no Mono or Gecko
# installers, and Wine draws its own window frames, since the tests run under
# an X server without a window manager. Its ready mark names the Wine that
# made it (version, and whether the 32-bit side was installed): a prefix made
# by another one is made anew, since one made before Wine's 32-bit side was
# installed fails even 64-bit programs afterwards.
set -euo pipefail

build_dir_of() {
  local dir
  dir=$(cd "$1" 2>/dev/null && pwd) || return 1
  while [ "$dir" != / ]; do
    [ -f "$dir/CMakeCache.txt" ] && { printf '%s\n' "$dir"; return 0; }
    dir=$(dirname "$dir")
  done
  return 1
}

prepare_only=false
if [ "${1:-}" = --prepare ]; then
  prepare_only=true
  shift
fi

if [ -z "${WINEPREFIX:-}" ]; then
  build=""
  if [ $# -gt 0 ] && [ -e "$1" ]; then
    build=$(build_dir_of "$(dirname "$1")") || build=""
  fi
  [ -n "$build" ] || build=$(build_dir_of "$PWD") || {
    echo "wine-run.sh: no build tree above ${1:-$PWD}; set WINEPREFIX" >&2
    exit 2
  }
  export WINEPREFIX="$build/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

# What made a prefix. Debian's `wine` runs the 32-bit loader when it is there.
wine_made_by() {
  local side32=no
  [ -x /usr/lib/wine/wine ] && side32=yes
  printf 'pelwin prefix; %s; 32-bit side: %s\n' "$(wine --version 2>/dev/null)" "$side32"
}
made_by=$(wine_made_by)
ready() { [ "$(cat "$WINEPREFIX/.pelwin-ready" 2>/dev/null)" = "$made_by" ]; }

# Parallel tests may all be first: one makes the prefix, the others wait.
if ! ready; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if ! ready; then
    # Only a prefix this script made (it has a mark) is taken away.
    if [ -f "$WINEPREFIX/.pelwin-ready" ]; then
      echo "wine-run.sh: making $WINEPREFIX anew for $made_by" >&2
      wineserver -k >/dev/null 2>&1 || true
      wineserver -w >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    fi
    # A display lets wineboot finish without complaints; none is needed.
    wineboot --init >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # Until the server has written the registry, the prefix is not done.
    wineserver -w
    printf '%s\n' "$made_by" >"$WINEPREFIX/.pelwin-ready"
  fi
  flock -u 9
  exec 9>&-
fi
if $prepare_only; then
  exit 0
fi

# The first Wine program of a session starts the server and Wine's background
# services, which inherit its output and outlive it: CTest would wait for them
# to close its pipe, seconds after every test. Started here, detached, they
# serve every program that follows.
wineserver -p10 </dev/null >/dev/null 2>&1 || true
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

exec wine "$@"
