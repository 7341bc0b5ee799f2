#!/usr/bin/env bash
# clang-tidy (the checks of .clang-tidy, and for camsim those of sim/.clang-tidy)
# over the files as the builds compile them: from the Linux build's
# compile_commands.json every file in app/, camera/, config/, wizard/, report/, toolkit/
# (its core and port hook, not the peers), platform/ and sim/; from the Windows
# cross build's, the files of sim/windows/ (camsim.exe and the driver stand-in),
# parsed for the mingw-w64 target with that compiler's C++ headers. A missing
# cross build is configured first when its compiler is installed, else those
# files are skipped with a note.
# Usage: tools/run_tidy.sh [BUILD_DIR [CROSS_BUILD_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
cross=${2:-build/windows-cross}
cross_cxx=x86_64-w64-mingw32-g++-posix
[ -f "$build/compile_commands.json" ] || { echo "build first: ./run build" >&2; exit 1; }

# The files of a compile database under the folders the pattern names.
select_files() {
  python3 - "$1" "$2" <<'PY'
import json, os, re, sys
root = os.getcwd()
wanted = re.compile(sys.argv[2])
paths = {os.path.relpath(e["file"], root) for e in json.load(open(sys.argv[1]))}
print("\n".join(sorted(p for p in paths if wanted.match(p))))
PY
}

files=$(select_files "$build/compile_commands.json" \
  '^(app|camera|config|wizard|platform|report)/|^toolkit/([a-z_]+\.cpp$|posix/)|^sim/(core|linux)/[a-z_]+\.cpp$')
[ -n "$files" ] || { echo "no files to check in $build" >&2; exit 1; }

windows_files=
windows_args=()
if [ ! -f "$cross/compile_commands.json" ] && [ "$cross" = build/windows-cross ] &&
  command -v "$cross_cxx" >/dev/null; then
  cmake --preset windows-cross >/dev/null
fi
if [ -f "$cross/compile_commands.json" ] && command -v "$cross_cxx" >/dev/null; then
  windows_files=$(select_files "$cross/compile_commands.json" '^sim/(windows|standin)/')
  # clang finds the mingw-w64 C headers by the target; the C++ library's are
  # the cross compiler's own.
  windows_args=(--extra-arg=--target=x86_64-w64-mingw32)
  while read -r dir; do
    windows_args+=("--extra-arg=-isystem$dir")
  done < <(echo | "$cross_cxx" -E -x c++ - -v 2>&1 |
    sed -n '/#include <...> search starts here/,/End of search/p' | grep '^ /.*/c++' | sed 's/^ //')
else
  echo "clang-tidy: sim/windows/ and sim/standin/ skipped (no Windows cross build or no $cross_cxx)" >&2
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# One file per process keeps both cores busy to the end; clang-tidy's count of
# suppressed warnings is noise.
status=0
printf '%s\n' "$files" | xargs -P "${JOBS:-$(nproc)}" -n 1 \
  clang-tidy -p "$build" --quiet >"$out" 2>&1 || status=1
if [ -n "$windows_files" ]; then
  printf '%s\n' "$windows_files" | xargs -P "${JOBS:-$(nproc)}" -n 1 \
    clang-tidy -p "$cross" --quiet "${windows_args[@]}" >>"$out" 2>&1 || status=1
fi
if [ "$status" != 0 ]; then
  grep -v 'warnings\? generated\.$' "$out" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi
grep -v 'warnings\? generated\.$' "$out" || true
echo "clang-tidy: $(printf '%s\n%s\n' "$files" "$windows_files" | grep -c .) files clean"
