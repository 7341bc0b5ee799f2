#!/usr/bin/env bash
# The release packages are reproducible: the ZIP and the .deb made twice from
# the same built trees, the second time under another umask, time zone,
# temporary folder and clock second, are the same bytes.
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
exit "$status"
