#!/usr/bin/env bash
# pelwin answers --help and --version without a display, and the version is
# the one embedded in the executable (the one the About box shows).
set -euo pipefail
: "${PELWIN:?}"

fail() {
  echo "[e2e_command_line] FAIL: $*" >&2
  exit 1
}

help=$(env -u DISPLAY "$PELWIN" --help) || fail "--help did not exit 0"
for name in PELWIN_DEVICE_ROOT PELWIN_USER_REGISTRY PELWIN_MACHINE_REGISTRY PELWIN_OBJECT_ROOT PELWIN_ADMIN; do
  grep -q "$name" <<<"$help" || fail "--help does not mention $name"
done
version=$(env -u DISPLAY "$PELWIN" --version) || fail "--version did not exit 0"
[ "$version" = "pelwin 3.0.0.0" ] || fail "--version printed \"$version\""
# Arguments are otherwise ignored: the first one that is asked for counts.
[ "$(env -u DISPLAY "$PELWIN" --bogus --version)" = "pelwin 3.0.0.0" ] || fail "--version after another argument"
echo "[e2e_command_line] ok"
