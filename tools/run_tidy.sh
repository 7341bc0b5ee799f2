#!/usr/bin/env bash
# clang-tidy (the checks of .clang-tidy) over the core and platform/, as the
# Linux build compiles them: every file of build/linux/compile_commands.json in
# app/, camera/, config/, wizard/, toolkit/ (its core and port hook, not the
# peers) and platform/. Usage: tools/run_tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
[ -f "$build/compile_commands.json" ] || { echo "build first: ./run build" >&2; exit 1; }

files=$(python3 - "$build/compile_commands.json" <<'PY'
import json, os, re, sys
root = os.getcwd()
wanted = re.compile(r"^(app|camera|config|wizard|platform)/|^toolkit/([a-z_]+\.cpp$|posix/)")
paths = {os.path.relpath(e["file"], root) for e in json.load(open(sys.argv[1]))}
print("\n".join(sorted(p for p in paths if wanted.match(p))))
PY
)
[ -n "$files" ] || { echo "no files to check in $build" >&2; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# One file per process keeps both cores busy to the end; clang-tidy's count of
# suppressed warnings is noise.
if ! printf '%s\n' $files | xargs -P "${JOBS:-$(nproc)}" -n 1 \
  clang-tidy -p "$build" --quiet >"$out" 2>&1; then
  grep -v 'warnings\? generated\.$' "$out" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi
grep -v 'warnings\? generated\.$' "$out" || true
echo "clang-tidy: $(printf '%s\n' $files | wc -l) files clean"
