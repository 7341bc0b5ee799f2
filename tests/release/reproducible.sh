#!/usr/bin/env bash
# The release packages are reproducible: the ZIP and the .deb made twice from
# the same built trees, the second time under another umask, time zone,
# temporary folder and clock second, are the same bytes. And they name one
# release, the one CMakeLists.txt gives (version and release number): in the
# packages' names, the ZIP's folder, readme.txt and CHANGELOG.txt (a plain
# text for users whose newest entry is the release, dated as CHANGELOG.md's),
# the .deb's version, the guide's ZIP name and the first line of the .deb's
# pelwin-report; with one copyright holder, the version resource's, in
# LICENSE.txt, the .deb's copyright file and the guide.
#
#   tests/release/reproducible.sh WINDOWS_TREE LINUX_TREE WORK_DIR
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 3 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
windows=$1 linux=$2 work=$3
rm -rf "$work"
mkdir -p "$work/one" "$work/two" "$work/tmp"

"$root/tools/release.sh" package "$windows" "$linux" "$work/one" >"$work/one.log" 2>&1 || {
  cat "$work/one.log" >&2
  exit 1
}
sleep 1
(
  umask 0077
  export TZ=Pacific/Chatham TMPDIR=$work/tmp
  "$root/tools/release.sh" package "$windows" "$linux" "$work/two"
) >"$work/two.log" 2>&1 || {
  cat "$work/two.log" >&2
  exit 1
}

status=0
names=$(cd "$work/one" && ls)
[ "$names" = "$(cd "$work/two" && ls)" ] || { echo "reproducible: the two runs made other files" >&2; exit 1; }
[ -n "$names" ] || { echo "reproducible: no packages made" >&2; exit 1; }
for name in $names; do
  if cmp -s "$work/one/$name" "$work/two/$name"; then
    echo "reproducible: $name $(sha256sum <"$work/one/$name" | cut -c1-16)... twice"
    continue
  fi
  status=1
  echo "reproducible: $name differs between the two runs:" >&2
  case $name in
    *.zip) diff <(zipinfo -l "$work/one/$name") <(zipinfo -l "$work/two/$name") >&2 || true ;;
    *.deb)
      diff <(ar tv "$work/one/$name"; dpkg-deb -c "$work/one/$name") \
        <(ar tv "$work/two/$name"; dpkg-deb -c "$work/two/$name") >&2 || true
      ;;
  esac
done

fail() {
  echo "reproducible: $*" >&2
  status=1
}
version=$(sed -n 's/^project(pelwin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
number=$(sed -n 's/^set(PELWIN_RELEASE_NUMBER \([0-9]*\))$/\1/p' "$root/CMakeLists.txt")
release=$version-$number
holder=$(sed -n 's/^#define PELWIN_LEGAL_COPYRIGHT "Copyright (C) [0-9]* \(.*\)"$/\1/p' \
  "$root/resources/version.h")
zip=pelwin-$release-win32.zip deb=pelwin_${release}_$(dpkg --print-architecture).deb
[ "$names" = "$(printf '%s\n' "$zip" "$deb" | LC_ALL=C sort)" ] ||
  fail "the packages are named $(echo "$names" | tr '\n' ' '), not $zip and $deb"
[ ! -f "$work/one/$deb" ] || [ "$(dpkg-deb -f "$work/one/$deb" Version)" = "$release" ] ||
  fail "the .deb's version is $(dpkg-deb -f "$work/one/$deb" Version), not $release"
if [ -f "$work/one/$zip" ]; then
  others=$(zipinfo -1 "$work/one/$zip" | grep -v "^pelwin-$release/" || true)
  [ -z "$others" ] || fail "the ZIP has files outside pelwin-$release/: $(head -n 2 <<<"$others" | tr "\n" " ")..."
  zipped() { { unzip -p "$work/one/$zip" "pelwin-$release/$1" 2>/dev/null || true; } | tr -d '\r'; }
  readme=$(zipped readme.txt) changes=$(zipped CHANGELOG.txt) licence=$(zipped LICENSE.txt)
  guide=$(zipped user-guide.html)
  [[ $readme == "pelwin $release: "* ]] || fail "readme.txt's first line does not name $release: ${readme%%$'\n'*}"
  # The user's changelog: entries headed "RELEASE, DAY MONTH YEAR", newest
  # first, no Markdown and none of the developers' items.
  entry=$(grep -m 1 -E '^[0-9][0-9.]*(-[0-9]+)?, [0-9]+ [A-Z][a-z]+ [0-9]{4}$' <<<"$changes" || true)
  [ "${entry%%, *}" = "$release" ] || fail "CHANGELOG.txt's newest entry is \"$entry\", not $release's"
  dated=$(sed -n 's/^## \[\([^]]*\)\] - \([0-9-]*\)$/\1, \2/p' "$root/CHANGELOG.md" | head -n 1)
  [ "$dated" = "$release, $(date -d "${entry#*, }" +%F 2>/dev/null)" ] ||
    fail "CHANGELOG.md's newest release is \"$dated\", CHANGELOG.txt's \"$entry\""
  ! grep -n -i -E 'unreleased|\]\(|`|\*\*|^#|camsim|simulat|reproduc|linux|\.deb' <<<"$changes" >&2 ||
    fail "CHANGELOG.txt has the lines above: Markdown, or items for developers, not users"
  grep -q "^Copyright (c) [0-9]* $holder\$" <<<"$licence" ||
    fail "LICENSE.txt does not name $holder, the version resource's copyright holder"
  grep -q "copyright $holder\|Copyright (C) [0-9]* $holder" <<<"$guide" ||
    fail "the user guide does not name $holder as copyright holder"
  named=$(grep -o 'pelwin-[0-9][0-9.-]*-win32\.zip' <<<"$guide" | sort -u)
  [ "$named" = "$zip" ] || fail "the user guide names the ZIP $(echo "$named" | tr '\n' ' ')"
fi
if [ -f "$work/one/$deb" ]; then
  copyright=$(dpkg-deb --fsys-tarfile "$work/one/$deb" | tar -xOf - ./usr/share/doc/pelwin/copyright)
  grep -q "^Copyright: [0-9]* $holder\$" <<<"$copyright" ||
    fail "the .deb's copyright file does not name $holder"
  # The packaged pelwin-report, looking at empty folders: its first line.
  dpkg-deb -x "$work/one/$deb" "$work/deb"
  if [ -x "$work/deb/usr/bin/pelwin-report" ]; then
    mkdir -p "$work/empty"
    report=$(PELWIN_DEVICE_ROOT=$work/empty/devices PELWIN_MACHINE_REGISTRY=$work/empty/machine \
      PELWIN_USER_REGISTRY=$work/empty/user PELWIN_OBJECT_ROOT=$work/empty/objects \
      timeout 30 "$work/deb/usr/bin/pelwin-report" || true)
    [ "${report%%$'\n'*}" = "pelwin-report $release" ] ||
      fail "pelwin-report's first line is \"${report%%$'\n'*}\""
  fi
fi
[ "$status" -ne 0 ] || echo "reproducible: both packages name release $release and $holder"
exit "$status"
