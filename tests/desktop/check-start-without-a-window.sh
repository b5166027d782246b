#!/usr/bin/env bash
# Where no window can open, zuno-lookup ends with status 1 (not Qt's abort) and says why in its
# last line; on X11 in its only line, while Qt's Wayland plugin has warnings of its own first.
# Usage: check-start-without-a-window.sh ZUNO-LOOKUP
set -euo pipefail
program=$1
. "$(dirname "$0")/../resources/checks.sh"
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
[ ! -e /tmp/.X11-unix/X49 ] || { echo "FAIL: display :49 is taken" >&2; exit 1; }

# expect WHAT ONE-LINE VARIABLE=VALUE...
expect() {
  local what=$1 one_line=$2 status=0 said
  shift 2
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$runtime" "$@" \
    "$program" -reverse 2>&1 >/dev/null) || status=$?
  echo "$what: status $status, said: $said"
  [ "$status" = 1 ] || fail "$what: status $status"
  [[ $(tail -n 1 <<<"$said") == "zuno-lookup: cannot open"* ]] || fail "$what: last line"
  [ "$one_line" = no ] || [ "$(wc -l <<<"$said")" = 1 ] || fail "$what: more than one line"
}
expect "no DISPLAY" yes QT_QPA_PLATFORM=xcb
expect "no X server on DISPLAY" yes DISPLAY=:49
expect "Wayland without a compositor" no QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=zuno-no-compositor

finish_checks
echo "start without a window: all checks passed"
