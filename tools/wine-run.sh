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
#
# wineboot runs once per build tree, into <build>/wineprefix-pristine, which
# no program ever runs in; every prefix of the tree is a copy of it whose
# Windows binaries (1.3 GB of the prefix, written by nobody but wineboot) are
# hard links, so a tree's prefixes cost one installation's disk and time. A
# prefix outside a build tree is made on its own. A failed wineboot shows its
# output and is tried again, a few times.
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
ready() { [ "$(cat "$1/.pelwin-ready" 2>/dev/null)" = "$made_by" ]; }

wine_boot_tries=${PELWIN_WINEBOOT_TRIES:-3}

# Makes a prefix from nothing at $1: wineboot, then our settings.
boot_prefix() {
  local prefix=$1 log try
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    # A display lets wineboot finish without complaints; none is needed.
    if WINEPREFIX=$prefix wineboot --init >"$log" 2>&1 &&
      WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
        >>"$log" 2>&1 &&
      WINEPREFIX=$prefix wineserver -w >>"$log" 2>&1; then
      # Until the server has written the registry, the prefix is not done.
      rm -f "$log"
      return 0
    fi
    echo "wine-run.sh: making the Wine prefix $prefix failed (try $try of $wine_boot_tries);" \
      "wineboot said:" >&2
    sed 's/^/  /' "$log" >&2
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    if [ "$try" -ge "$wine_boot_tries" ]; then
      rm -f "$log"
      return 1
    fi
    sleep 2
  done
}

# The files of a prefix that only wineboot writes, shared by hard links.
is_shared() {
  case "${1,,}" in
    ./drive_c/*.dll | ./drive_c/*.exe | ./drive_c/*.sys | ./drive_c/*.drv | ./drive_c/*.ocx | \
      ./drive_c/*.acm | ./drive_c/*.cpl | ./drive_c/*.tlb | ./drive_c/*.ax | ./drive_c/*.ds | \
      ./drive_c/*.com | ./drive_c/*.ttf | ./drive_c/*.fon) return 0 ;;
  esac
  return 1
}

# Copies the pristine prefix $1 to $2: the Windows binaries as hard links,
# everything Wine may write (registry, ini files, links) as files of its own.
copy_prefix() {
  local from=$1 to=$2 file
  rm -rf "$to.copy"
  mkdir -p "$to.copy"
  (cd "$from" && find . -mindepth 1 -type d -print0) | (cd "$to.copy" && xargs -0 -r mkdir -p)
  while IFS= read -r -d '' file; do
    # The ready mark comes last; the server's own name is made by each server.
    case "$file" in ./.pelwin-ready | ./wineserver) continue ;; esac
    if [ -f "$from/$file" ] && [ ! -L "$from/$file" ] && is_shared "$file"; then
      ln "$from/$file" "$to.copy/$file"
    else
      cp -a "$from/$file" "$to.copy/$file"
    fi
  done < <(cd "$from" && find . -mindepth 1 ! -type d -print0)
  mv "$to.copy" "$to"
}

# Makes $1 ready, under its lock: parallel tests may all be first, one makes
# the prefix and the others wait.
make_ready() {
  local prefix=$1 pristine=${2:-} lock
  ready "$prefix" && return 0
  mkdir -p "$(dirname "$prefix")"
  exec {lock}>"$prefix.lock"
  flock "$lock"
  if ! ready "$prefix"; then
    # Only a prefix this script made (it has a mark) is taken away.
    if [ -f "$prefix/.pelwin-ready" ]; then
      echo "wine-run.sh: making $prefix anew for $made_by" >&2
      WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
      WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
      rm -rf "$prefix"
    fi
    if [ -n "$pristine" ]; then
      make_ready "$pristine" && copy_prefix "$pristine" "$prefix"
    else
      boot_prefix "$prefix"
    fi || {
      exec {lock}>&-
      exit 1
    }
    printf '%s\n' "$made_by" >"$prefix/.pelwin-ready"
  fi
  exec {lock}>&-
}

pristine=""
if [ -f "$(dirname "$WINEPREFIX")/CMakeCache.txt" ] &&
  [ "$(basename "$WINEPREFIX")" != wineprefix-pristine ]; then
  pristine=$(dirname "$WINEPREFIX")/wineprefix-pristine
fi
make_ready "$WINEPREFIX" "$pristine"
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
