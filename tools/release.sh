#!/usr/bin/env bash
# Makes a release from the commit that is checked out: the Windows ZIP and the
# Linux package in one folder, with their SHA-256 sums.
#
#   tools/release.sh [--force] [--out DIR]
#   tools/release.sh package WINDOWS_TREE LINUX_TREE OUT_DIR
#   tools/release.sh guide-html OUT_DIR
#   tools/release.sh check-zip ZIP EXE PROBE [--guide]
#   tools/release.sh test-zip EXE PROBE WORK_DIR
#
# The release (`./run release`) builds the 32-bit Windows preset and the Linux
# preset and writes into DIR (default build/release/):
#
#   pelwin-<release>-win32.zip   a folder pelwin-<release>/ with pelwin.exe,
#                                pelwin-report.exe, the user guide as HTML with
#                                its pictures, readme.txt, CHANGELOG.txt,
#                                LICENSE.txt and NOTICES.txt (the text files
#                                with CRLF line ends)
#   pelwin_<release>_amd64.deb   pelwin, camsim and pelwin-report for Linux,
#                                with /usr/share/doc/pelwin/copyright
#   SHA256SUMS                   the sums of the two, as sha256sum writes them
#
# Before it writes them it checks the ZIP: unpacked, under Wine (check-zip)
# and its guide in headless Chromium (tests/release/guide_html.sh, whose
# screenshot of the page stays in build/release-guide/).
#
# pelwin-report goes in when the build tree has its target (CMake target
# pelwin-report); a tree without it makes a release without it, and says so.
#
# It refuses a tree with changes no commit holds (untracked files included:
# the build picks up every source file in a folder), so a release is what its
# commit says; --force builds it anyway. It also refuses a CHANGELOG.md with
# an [Unreleased] entry: those changes need a release of their own, with its
# number raised (docs/developing.md). The release's name is the project's
# version (CMakeLists.txt, which must match the version resource's) and the
# release number beside it: <version>-<number>. Every file in both packages
# is dated at the commit (SOURCE_DATE_EPOCH when set), so the same commit and
# the same Debian packages give the same bytes.
#
# package makes the ZIP and the .deb from trees already built, without the
# checks under Wine (tests/release/reproducible.sh makes them twice).
# guide-html writes docs/user-guide.md as OUT_DIR/user-guide.html with its
# pictures (tests/release/guide_html.sh renders it).
# check-zip unpacks ZIP and checks it: the files it must hold, its programs
# byte for byte the tree's and 32-bit, the text files with CRLF line ends,
# and that pelwin.exe starts under Wine and closes again (needs DISPLAY and
# WINEPREFIX: tests/windows/wine-gui.sh). --guide: the ZIP also holds the
# user guide, with every picture it shows.
# test-zip makes a ZIP without the guide in WORK_DIR as the release does and
# runs check-zip on it; the 32-bit tree's tests run it.
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

# release_name: the release's name, the project's version and the release's
# number (CMakeLists.txt), 3.0.0.0-2 say. The version must be the version
# resource's.
release_name() {
  local version header number
  version=$(sed -n 's/^project(pelwin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  header=$(sed -n 's/^#define PELWIN_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.h")
  number=$(sed -n 's/^set(PELWIN_RELEASE_NUMBER \([0-9]*\))$/\1/p' "$root/CMakeLists.txt")
  [ -n "$version" ] || fail "no project version in CMakeLists.txt"
  [ "$version" = "$header" ] ||
    fail "CMakeLists.txt says $version, the version resource (resources/version.h) $header"
  [ -n "$number" ] || fail "no PELWIN_RELEASE_NUMBER in CMakeLists.txt"
  echo "$version-$number"
}

# The date every packaged file carries: the commit's, not the build's.
release_stamp() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  else
    git -C "$root" log -1 --format=%ct || fail "no commit date (and no SOURCE_DATE_EPOCH)"
  fi
}

# pe_machine FILE: the PE header's machine field, 014c for a 32-bit x86 program.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

# tree_of FILE: the build tree (the folder with CMakeCache.txt) that FILE is in.
tree_of() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ ! -f "$dir/CMakeCache.txt" ]; do
    [ "$dir" != / ] || fail "$1 is in no build tree"
    dir=$(dirname "$dir")
  done
  echo "$dir"
}

# report_of TREE: the pelwin-report program TREE builds, or nothing when TREE
# has no such target. A tree with the target but without the file fails.
report_of() {
  local tree=$1 file
  file=$(sed -n 's/^build pelwin-report: phony \([^ |]*pelwin-report\(\.exe\)\{0,1\}\)\( .*\)\{0,1\}$/\1/p' \
    "$tree/build.ninja" | head -n 1)
  [ -n "$file" ] || return 0
  [ -f "$tree/$file" ] || fail "$tree has the target pelwin-report but no $tree/$file: build it"
  echo "$tree/$file"
}

# crlf SOURCE DEST: a text file with CRLF line ends, for Notepad; one with
# characters beyond ASCII starts with a byte order mark, without which older
# Notepads read UTF-8 as the ANSI code page.
crlf() {
  {
    ! LC_ALL=C grep -q '[^[:print:][:space:]]' "$1" || printf '\357\273\277'
    sed 's/\r*$/\r/' "$1"
  } >"$2"
}

# guide_html OUT_DIR: docs/user-guide.md as OUT_DIR/user-guide.html, its
# pictures beside it. Links to pages the ZIP does not hold become plain text.
# A command line longer than the page is wide wraps inside its box rather
# than run past the edge, where a hidden scroll bar leaves it unseen; copied,
# it is still one line. Tables keep a gap, so that two in a row stay two.
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
body = markdown.markdown(text, extensions=["tables", "toc", "fenced_code"])
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
table {{ border-collapse: collapse; margin: 1em 0; }}
th, td {{ border: 1px solid #bbb; padding: 0.3em 0.6em; vertical-align: top; }}
code {{ background: #f2f2f2; padding: 0 0.2em; }}
pre {{ background: #f2f2f2; padding: 0.5em 0.8em; white-space: pre-wrap; overflow-wrap: anywhere; }}
pre code {{ padding: 0; }}
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

# notices EXE OUT: release/notices.txt, then the notices of the toolchain
# that linked EXE, taken from the copyright files of the Debian packages that
# hold the libraries it links statically (docs/developing.md says which).
notices() {
  local exe=$1 out=$2 tree compiler library path package packages=()
  tree=$(tree_of "$exe")
  compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$tree"/CMakeFiles/*/CMakeCXXCompiler.cmake |
    head -n 1)
  [ -x "$compiler" ] || fail "no C++ compiler recorded in $tree"
  for library in libstdc++.a libgcc.a crt2.o libmingw32.a libpthread.a; do
    path=$(realpath "$("$compiler" -print-file-name="$library")")
    package=$(dpkg -S "$path" 2>/dev/null | sed -n '1s/:.*//p')
    [ -n "$package" ] || fail "no Debian package holds $path ($library of $compiler)"
    printf '%s\n' "${packages[@]}" | grep -qx "$package" || packages+=("$package")
  done
  {
    cat "$root/release/notices.txt"
    local seen=() copyright sum
    for package in "${packages[@]}"; do
      copyright=/usr/share/doc/$package/copyright
      [ -f "$copyright" ] || fail "no $copyright"
      echo "  $(dpkg-query -W -f='${Package} ${Version}' "$package")"
    done
    for package in "${packages[@]}"; do
      copyright=/usr/share/doc/$package/copyright
      sum=$(sha256sum <"$copyright")
      printf '%s\n' "${seen[@]}" | grep -qx "$sum" && continue
      seen+=("$sum")
      printf '\n\n==== %s (from %s)\n\n' \
        "$(sed -n '2s/^Upstream-Name: //p' "$copyright" | grep . || echo GCC)" "$copyright"
      if grep -q '^GCC RUNTIME LIBRARY EXCEPTION' "$copyright"; then
        # The GCC file covers every GCC language; what the programs hold is
        # the runtime libraries, under the statement and the exception.
        sed -n '/^GCC is Copyright/,/^The libbacktrace library/p' "$copyright" | sed '$d'
        sed -n '/^GCC RUNTIME LIBRARY EXCEPTION/,/^libquadmath/p' "$copyright" | sed '$d'
      else
        cat "$copyright"
      fi
    done
  } >"$out.lf"
  grep -q '^GCC RUNTIME LIBRARY EXCEPTION' "$out.lf" || fail "no GCC Runtime Library Exception found"
  grep -q '^Upstream-Name: mingw-w64' "$out.lf" || fail "no mingw-w64 copyright file found"
  crlf "$out.lf" "$out"
  rm -f "$out.lf"
}

# stamp_tree DIR STAMP: every entry of DIR dated STAMP, with fixed modes
# (programs 0755, other files 0644, folders 0755), whatever the umask.
stamp_tree() {
  local dir=$1 stamp=$2
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f -exec chmod 0644 {} +
  find "$dir" -type f \( -name '*.exe' -o -path '*/usr/bin/*' \) -exec chmod 0755 {} +
  find "$dir" -exec touch -h -d "@$stamp" {} +
}

# make_zip ZIP VERSION EXE REPORT [GUIDE_DIR]: the Windows ZIP (REPORT may be
# empty), in a fixed order with fixed dates and modes: the same files give
# the same ZIP.
make_zip() {
  local zip=$1 release=$2 exe=$3 report=$4 guide=${5:-}
  local stage folder stamp
  stage=$(mktemp -d)
  folder="pelwin-$release"
  mkdir -p "$stage/$folder"
  cp "$exe" "$stage/$folder/pelwin.exe"
  [ -z "$report" ] || cp "$report" "$stage/$folder/pelwin-report.exe"
  sed "s/@RELEASE@/$release/g" "$root/release/readme.txt" >"$stage/readme.txt"
  crlf "$stage/readme.txt" "$stage/$folder/readme.txt"
  crlf "$root/release/CHANGELOG.txt" "$stage/$folder/CHANGELOG.txt"
  crlf "$root/LICENSE" "$stage/$folder/LICENSE.txt"
  notices "$exe" "$stage/$folder/NOTICES.txt"
  if [ -n "$guide" ]; then
    cp -r "$guide"/. "$stage/$folder/"
  fi
  stamp=$(release_stamp)
  stamp_tree "$stage/$folder" "$stamp"
  rm -f "$zip"
  # zip writes local time into its entries: UTC, so that the time zone of the
  # machine does not change the bytes. -X: no owners, no extra time fields.
  (cd "$stage" && find "$folder" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -9 "$zip" -@)
  rm -rf "$stage"
}

# deb_copyright FILE: the package's copyright file, the Debian way
# (machine-readable format). The programs link no third-party code
# statically; the shared libraries they use are the system's packages.
deb_copyright() {
  {
    cat <<'HEAD'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: pelwin

Files: *
Copyright: 2026 Varnosti Instruments
License: Expat
HEAD
    sed -n '/^Permission is hereby granted/,$p' "$root/LICENSE" | sed 's/^$/./; s/^/ /'
  } >"$1"
}

# make_deb LINUX_TREE OUT_DIR VERSION: cpack's package of the Linux tree, with
# camsim (and pelwin-report when built) added, the documentation Debian wants,
# and put together again with fixed dates, modes and owners.
make_deb() {
  local linux=$1 out=$2 release=$3 stamp work deb package arch report
  stamp=$(release_stamp)
  work=$(mktemp -d)
  (cd "$linux" && cpack -G DEB -B "$work/cpack" >/dev/null) || fail "cpack failed in $linux"
  deb=$(find "$work/cpack" -maxdepth 1 -name "pelwin_${release}_*.deb" | head -n 1)
  [ -n "$deb" ] || fail "cpack made no pelwin_${release}_*.deb"
  package=$work/root
  dpkg-deb -R "$deb" "$package"

  [ -x "$linux/sim/camsim" ] || fail "no $linux/sim/camsim: build the camsim target"
  install -m 0755 "$linux/sim/camsim" "$package/usr/bin/camsim"
  report=$(report_of "$linux")
  if [ -z "$report" ]; then
    log "note: $linux has no pelwin-report target; the .deb goes without it"
  elif [ ! -f "$package/usr/bin/pelwin-report" ]; then
    # Its install rule puts it into cpack's package; an older tree's does not.
    install -m 0755 "$report" "$package/usr/bin/pelwin-report"
    strip --strip-unneeded -R .comment "$package/usr/bin/pelwin-report"
  fi
  strip --strip-unneeded -R .comment "$package/usr/bin/camsim"
  local program needed
  for program in "$package/usr/bin/camsim" ${report:+"$package/usr/bin/pelwin-report"}; do
    # Depends comes from cpack's look at pelwin: nothing may need more.
    needed=$(comm -23 <(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }' | sort) \
      <(objdump -p "$package/usr/bin/pelwin" | awk '$1 == "NEEDED" { print $2 }' | sort))
    [ -z "$needed" ] || fail "$(basename "$program") needs libraries pelwin does not: $needed"
  done
  local doc=$package/usr/share/doc/pelwin
  mkdir -p "$doc"
  deb_copyright "$doc/copyright"
  cp "$root/release/deb-README" "$doc/README"
  gzip -9n <"$root/CHANGELOG.md" >"$doc/changelog.gz"

  # The control file: the size of what is there now, and the simulator named.
  local size
  size=$(find "$package" -path "$package/DEBIAN" -prune -o -type f -printf '%s\n' |
    awk '{ total += $1 } END { printf "%d", (total + 1023) / 1024 }')
  awk -v size="$size" '
    /^$/ { next }
    described && !/^ / {
      print " ."
      print " There is no camera driver on Linux: the package also holds camsim, a"
      print " simulated camera and driver, to try pelwin with (see"
      print " /usr/share/doc/pelwin/README)."
      described = 0
    }
    /^Description:/ { described = 1 }
    /^Installed-Size:/ { $0 = "Installed-Size: " size }
    { print }
  ' "$package/DEBIAN/control" >"$work/control"
  grep -q '^ There is no camera driver' "$work/control" || fail "cpack's control file has no Description"
  mv "$work/control" "$package/DEBIAN/control"
  (cd "$package" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' |
    LC_ALL=C sort | xargs -d '\n' md5sum) >"$package/DEBIAN/md5sums"
  stamp_tree "$package" "$stamp"
  arch=$(sed -n 's/^Architecture: //p' "$package/DEBIAN/control")
  SOURCE_DATE_EPOCH=$stamp dpkg-deb --root-owner-group --threads-max=1 -Zxz --build \
    "$package" "$out/pelwin_${release}_${arch}.deb" >/dev/null
  rm -rf "$work"
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
  local release unpacked folder tree report
  release=$(release_name)
  folder="pelwin-$release"
  tree=$(tree_of "$exe")
  report=$(report_of "$tree")
  unpacked=$(mktemp -d)
  # shellcheck disable=SC2064 # the folder's name now: the variable is gone at exit
  trap "rm -rf '$unpacked'" EXIT
  unzip -q "$zip" -d "$unpacked" || fail "$zip does not unpack"

  local texts=(CHANGELOG.txt LICENSE.txt NOTICES.txt readme.txt)
  local want=("$folder/pelwin.exe") text
  for text in "${texts[@]}"; do
    want+=("$folder/$text")
  done
  [ -z "$report" ] || want+=("$folder/pelwin-report.exe")
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
  for text in "${texts[@]}"; do
    ! grep -q $'[^\r]$\|^$' "$unpacked/$folder/$text" ||
      fail "$text has lines without CRLF ends: Notepad on older Windows shows it as one line"
  done
  ! grep -q '@[A-Z]*@' "$unpacked/$folder/readme.txt" || fail "readme.txt has a placeholder left"

  local program
  for program in pelwin.exe ${report:+pelwin-report.exe}; do
    [ "$(pe_machine "$unpacked/$folder/$program")" = 014c ] ||
      fail "the ZIP's $program is not a 32-bit x86 program"
  done
  cmp -s "$unpacked/$folder/pelwin.exe" "$exe" || fail "the ZIP's pelwin.exe is not $exe"
  [ -z "$report" ] || cmp -s "$unpacked/$folder/pelwin-report.exe" "$report" ||
    fail "the ZIP's pelwin-report.exe is not $report"
  start_and_close "$unpacked/$folder/pelwin.exe" "$probe"
  log "checked: $zip"
}

cmd_test_zip() {
  [ $# -eq 3 ] || fail "test-zip needs EXE PROBE WORK_DIR"
  local exe=$1 probe=$2 work=$3 release zip tree report
  release=$(release_name)
  mkdir -p "$work"
  zip="$(cd "$work" && pwd)/pelwin-$release-win32.zip"
  tree=$(tree_of "$exe")
  report=$(report_of "$tree")
  make_zip "$zip" "$release" "$exe" "$report"
  cmd_check_zip "$zip" "$exe" "$probe"
}

# package WINDOWS_TREE LINUX_TREE OUT_DIR: the ZIP and the .deb of built trees.
cmd_package() {
  [ $# -eq 3 ] || fail "package needs WINDOWS_TREE LINUX_TREE OUT_DIR"
  local windows=$1 linux=$2 out=$3 release work report
  release=$(release_name)
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  [ -f "$windows/app/pelwin.exe" ] || fail "no $windows/app/pelwin.exe"
  report=$(report_of "$windows")
  [ -n "$report" ] || log "note: $windows has no pelwin-report target; the ZIP goes without it"
  work=$(mktemp -d)
  guide_html "$work/guide"
  make_zip "$out/pelwin-$release-win32.zip" "$release" "$windows/app/pelwin.exe" "$report" \
    "$work/guide"
  rm -rf "$work"
  make_deb "$linux" "$out" "$release"
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
  if grep -q '^## \[Unreleased\]' CHANGELOG.md; then
    $force || fail "CHANGELOG.md has an [Unreleased] entry: give it the next release's number and date, and raise PELWIN_RELEASE_NUMBER (docs/developing.md), or build anyway with --force"
    log "building with an [Unreleased] entry in CHANGELOG.md (--force): this is not release $(release_name)"
  fi
  # The folder is the release and nothing else; an earlier release's files go,
  # anything else there stops the release rather than be deleted or summed.
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  local stray
  stray=$(find "$out" -mindepth 1 -maxdepth 1 ! -name 'pelwin-*-win32.zip' \
    ! -name 'pelwin_*.deb' ! -name SHA256SUMS)
  [ -z "$stray" ] || fail "$out holds files that are not a release's:"$'\n'"$stray"
  local release jobs
  release=$(release_name)
  jobs=${JOBS:-$(nproc)}
  log "release $release from $(git rev-parse --short HEAD)"

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
  local work
  work=$(mktemp -d)
  # shellcheck disable=SC2064 # the folder's name now: the variable is gone at exit
  trap "rm -rf '$work'" EXIT
  log "package: the ZIP (user guide as HTML) and the .deb"
  cmd_package "$windows" "$root/build/linux" "$work/release"
  log "check: the ZIP under Wine"
  WINEPREFIX="$windows/wineprefix-gui" WINEDEBUG=-all \
    "$root/tests/windows/wine-gui.sh" "$0" check-zip "$work/release/pelwin-$release-win32.zip" \
    "$exe" "$probe" --guide
  log "check: the ZIP's guide in a browser (screenshot in build/release-guide/)"
  unzip -q "$work/release/pelwin-$release-win32.zip" -d "$work/unpacked"
  "$root/tests/release/guide_html.sh" "$root/build/release-guide" "$work/unpacked/pelwin-$release"
  rm -rf "$work/unpacked"

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
  package) shift; cmd_package "$@" ;;
  guide-html) shift; [ $# -eq 1 ] || fail "guide-html needs OUT_DIR"; guide_html "$1" ;;
  check-zip) shift; cmd_check_zip "$@" ;;
  test-zip) shift; cmd_test_zip "$@" ;;
  *) cmd_release "$@" ;;
esac
