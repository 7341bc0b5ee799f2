#!/usr/bin/env bash
# Makes a release from the commit that is checked out: the Windows ZIP and the
# Linux package in one folder, with their SHA-256 sums.
#
#   tools/release.sh [--force] [--out DIR]
#   tools/release.sh check-zip ZIP EXE PROBE [--guide]
#   tools/release.sh test-zip EXE PROBE WORK_DIR
#
# The release (`./run release`) builds the 32-bit Windows preset and the Linux
# preset and writes into DIR (default build/release/):
#
#   pelwin-<version>-win32.zip   pelwin.exe, the user guide as HTML with its
#                                pictures, CHANGELOG.md, in a folder
#                                pelwin-<version>/
#   pelwin_<version>_amd64.deb   the Linux program (cpack)
#   SHA256SUMS                   the sums of the two, as sha256sum writes them
#
# It refuses a tree with changes no commit holds (untracked files included:
# the build picks up every source file in a folder), so a release is what its
# commit says; --force builds it anyway. The version is the project's
# (CMakeLists.txt), which must match the version resource's.
#
# check-zip unpacks ZIP and checks it: the files it must hold, its pelwin.exe
# byte for byte EXE and a 32-bit program, and that the program starts under
# Wine and closes again (needs DISPLAY and WINEPREFIX: tests/windows/wine-gui.sh).
# --guide: the ZIP also holds the user guide, with every picture it shows.
# test-zip makes a ZIP of EXE and CHANGELOG.md in WORK_DIR as the release does
# and runs check-zip on it; the cross build's tests run it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
windows_preset='windows-i686'
title='Corvane v3.0'

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

log() { printf '== %s\n' "$*"; }
fail() {
  echo "release: $*" >&2
  exit 1
}

project_version() {
  local version header
  version=$(sed -n 's/^project(pelwin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  header=$(sed -n 's/^#define PELWIN_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.h")
  [ -n "$version" ] || fail "no project version in CMakeLists.txt"
  [ "$version" = "$header" ] ||
    fail "CMakeLists.txt says $version, the version resource (resources/version.h) $header"
  echo "$version"
}

# pe_machine FILE: the PE header's machine field, 014c for a 32-bit x86 program.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

# guide_html OUT_DIR: docs/user-guide.md as OUT_DIR/user-guide.html, its
# pictures beside it. Links to pages the ZIP does not hold become plain text.
guide_html() {
  local out=$1
  mkdir -p "$out"
  # Debian's Python, the one python3-markdown is installed for (a python3
  # earlier on PATH may be another).
  /usr/bin/python3 - "$root/docs/user-guide.md" "$out" <<'PY'
import html, os, re, shutil, sys
import markdown

source, out = sys.argv[1], sys.argv[2]
text = open(source, encoding="utf-8").read()
docs = os.path.dirname(source)
pictures = sorted(set(re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", text)))
for picture in pictures:
    if "://" in picture or picture.startswith("/") or ".." in picture.split("/"):
        sys.exit(f"user guide: picture {picture} is not beside the guide")
    os.makedirs(os.path.join(out, os.path.dirname(picture)), exist_ok=True)
    shutil.copyfile(os.path.join(docs, picture), os.path.join(out, picture))
# Other pages of the source tree are not in the ZIP: keep their link texts.
text = re.sub(r"(?<!!)\[([^\]]+)\]\((?!#|[a-z]+://)[^)]*\)", r"\1", text)
body = markdown.markdown(text, extensions=["tables", "toc"])
heading = re.search(r"^# (.+)$", text, re.M)
title = heading.group(1) if heading else "pelwin"
with open(os.path.join(out, "user-guide.html"), "w", encoding="utf-8", newline="\r\n") as page:
    page.write(f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{html.escape(title)}</title>
<style>
body {{ font-family: Segoe UI, Arial, sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em; line-height: 1.45; }}
table {{ border-collapse: collapse; }}
th, td {{ border: 1px solid #bbb; padding: 0.3em 0.6em; vertical-align: top; }}
code {{ background: #f2f2f2; padding: 0 0.2em; }}
img {{ max-width: 100%; }}
</style>
</head>
<body>
{body}
</body>
</html>
""")
PY
}

# make_zip ZIP VERSION EXE [GUIDE_DIR]: the Windows ZIP, every file dated at
# the commit (not at the build), in a fixed order: the same files give the same
# ZIP. (pelwin.exe itself carries its link time.)
make_zip() {
  local zip=$1 version=$2 exe=$3 guide=${4:-}
  local stage folder stamp
  stage=$(mktemp -d)
  folder="pelwin-$version"
  mkdir -p "$stage/$folder"
  cp "$exe" "$stage/$folder/pelwin.exe"
  cp "$root/CHANGELOG.md" "$stage/$folder/CHANGELOG.md"
  if [ -n "$guide" ]; then
    cp -r "$guide"/. "$stage/$folder/"
  fi
  stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
  find "$stage/$folder" -exec touch -h -d "@$stamp" {} +
  rm -f "$zip"
  (cd "$stage" && find "$folder" -type f | LC_ALL=C sort | zip -q -X -9 "$zip" -@)
  rm -rf "$stage"
}

# start_and_close EXE PROBE: the program opens its window with its first page
# and ends with status 0 when the window is closed.
start_and_close() {
  local exe=$1 probe=$2 pid wid status=0 description
  : "${DISPLAY:?start_and_close needs DISPLAY}" "${WINEPREFIX:?start_and_close needs WINEPREFIX}"
  # No stored position or permission from an earlier run.
  "$root/tools/wine-run.sh" reg delete 'HKCU\Software\Varnosti\pelwin' /f >/dev/null 2>&1 || true
  "$root/tools/wine-run.sh" "$exe" &
  pid=$!
  description=$("$root/tools/wine-run.sh" "$probe" window "$title" 30 --until 'Scan camera' |
    tr -d '\r') || {
    kill "$pid" 2>/dev/null || true
    fail "$exe: no window \"$title\" with its first page"
  }
  grep -qx 'client 272 188' <<<"$description" || {
    kill "$pid" 2>/dev/null || true
    fail "$exe: the window is not as it should be: $description"
  }
  wid=$(xdotool search --onlyvisible --name "^${title//./\\.}\$" | head -n 1)
  xdotool windowfocus --sync "$wid"
  xdotool key alt+F4
  timeout 20 tail -s 0.1 --pid="$pid" -f /dev/null || {
    kill "$pid" 2>/dev/null || true
    fail "$exe still runs after alt+F4"
  }
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "$exe ended with status $status"
}

cmd_check_zip() {
  [ $# -ge 3 ] || fail "check-zip needs ZIP EXE PROBE"
  local zip=$1 exe=$2 probe=$3 guide=false
  [ "${4:-}" = --guide ] && guide=true
  local version unpacked folder
  version=$(project_version)
  folder="pelwin-$version"
  unpacked=$(mktemp -d)
  # shellcheck disable=SC2064 # the folder's name now: the variable is gone at exit
  trap "rm -rf '$unpacked'" EXIT
  unzip -q "$zip" -d "$unpacked" || fail "$zip does not unpack"

  local want=("$folder/CHANGELOG.md" "$folder/pelwin.exe")
  if $guide; then
    want+=("$folder/user-guide.html")
    while IFS= read -r picture; do
      want+=("$folder/$picture")
    done < <(grep -o '!\[[^]]*\]([^)]*)' "$root/docs/user-guide.md" | sed 's/.*](\(.*\))/\1/')
  fi
  local have expected
  have=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  expected=$(printf '%s\n' "${want[@]}" | LC_ALL=C sort -u)
  [ "$have" = "$expected" ] ||
    fail "$zip holds other files than it should:"$'\n'"$(diff <(echo "$expected") <(echo "$have") || true)"
  if $guide; then
    local src
    while IFS= read -r src; do
      [ -f "$unpacked/$folder/$src" ] || fail "the guide shows $src, which the ZIP lacks"
    done < <(grep -o 'src="[^"]*"' "$unpacked/$folder/user-guide.html" | sed 's/src="\(.*\)"/\1/')
  fi

  cmp -s "$unpacked/$folder/pelwin.exe" "$exe" || fail "the ZIP's pelwin.exe is not $exe"
  [ "$(pe_machine "$unpacked/$folder/pelwin.exe")" = 014c ] ||
    fail "the ZIP's pelwin.exe is not a 32-bit x86 program (machine $(pe_machine "$exe"))"
  start_and_close "$unpacked/$folder/pelwin.exe" "$probe"
  log "checked: $zip"
}

cmd_test_zip() {
  [ $# -eq 3 ] || fail "test-zip needs EXE PROBE WORK_DIR"
  local exe=$1 probe=$2 work=$3 version zip
  version=$(project_version)
  mkdir -p "$work"
  zip="$(cd "$work" && pwd)/pelwin-$version-win32.zip"
  make_zip "$zip" "$version" "$exe"
  cmd_check_zip "$zip" "$exe" "$probe"
}

cmd_release() {
  local force=false out="$root/build/release"
  while [ $# -gt 0 ]; do
    case $1 in
      --force) force=true ;;
      --out)
        [ $# -ge 2 ] || fail "--out needs a folder"
        out=$2
        shift
        ;;
      -h | --help) usage; return 0 ;;
      *) usage >&2; exit 2 ;;
    esac
    shift
  done
  cd "$root"
  local changes
  changes=$(git status --porcelain --untracked-files=normal)
  if [ -n "$changes" ]; then
    if ! $force; then
      echo "$changes" >&2
      fail "the tree has changes no commit holds (above); commit or stash them, or build anyway with --force (./run release --force)"
    fi
    log "building with changes no commit holds (--force): this release is not $(git rev-parse --short HEAD)"
  fi
  # The folder is the release and nothing else; an earlier release's files go,
  # anything else there stops the release rather than be deleted or summed.
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  local stray
  stray=$(find "$out" -mindepth 1 -maxdepth 1 ! -name 'pelwin-*-win32.zip' \
    ! -name 'pelwin_*.deb' ! -name SHA256SUMS)
  [ -z "$stray" ] || fail "$out holds files that are not a release's:"$'\n'"$stray"
  local version jobs
  version=$(project_version)
  jobs=${JOBS:-$(nproc)}
  log "release $version from $(git rev-parse --short HEAD)"

  log "build: $windows_preset"
  cmake --preset "$windows_preset" >/dev/null
  cmake --build --preset "$windows_preset" -j "$jobs"
  local windows="$root/build/$windows_preset" exe probe
  exe="$windows/app/pelwin.exe"
  probe="$windows/tests/windows/pelwin_probe.exe"
  if [ ! -f "$exe" ] || [ ! -f "$probe" ]; then
    fail "the $windows_preset build made no $exe or $probe"
  fi

  log "build: linux"
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs"

  # Made and checked aside; the folder gets a release only when it is whole.
  local work guide zip
  work=$(mktemp -d)
  # shellcheck disable=SC2064 # the folder's name now: the variable is gone at exit
  trap "rm -rf '$work'" EXIT
  guide="$work/guide"
  mkdir -p "$work/release"
  log "user guide as HTML"
  guide_html "$guide"
  zip="$work/release/pelwin-$version-win32.zip"
  make_zip "$zip" "$version" "$exe" "$guide"
  log "check: $(basename "$zip") under Wine"
  WINEPREFIX="$windows/wineprefix-gui" WINEDEBUG=-all \
    "$root/tests/windows/wine-gui.sh" "$0" check-zip "$zip" "$exe" "$probe" --guide

  log "package: Debian"
  (cd "$root/build/linux" && cpack -G DEB -B "$work/deb" >/dev/null)
  mv "$work/deb/pelwin_${version}_"*.deb "$work/release/" ||
    fail "cpack made no pelwin_${version}_*.deb"

  (cd "$work/release" && sha256sum -- * >SHA256SUMS)
  rm -f "$out"/pelwin-*-win32.zip "$out"/pelwin_*.deb "$out/SHA256SUMS"
  mv "$work/release"/* "$out/"
  log "release in $out:"
  (cd "$out" && ls -l)
}

case "${2:-}" in
  -h | --help) usage; exit 0 ;;
esac
case "${1:-}" in
  check-zip) shift; cmd_check_zip "$@" ;;
  test-zip) shift; cmd_test_zip "$@" ;;
  *) cmd_release "$@" ;;
esac
