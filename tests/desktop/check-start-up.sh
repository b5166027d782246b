#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# How zuno-lookup starts where a display is missing or late:
# - --help and --version answer without any display, with status 0;
# - where no window can open, it ends with status 1 (not Qt's abort) and says why in its last
#   line; on X11 in its only line, while Qt's Wayland plugin has warnings of its own first;
# - started a moment before its X server, it waits for it and shows its window there.
# Usage: check-start-up.sh ZUNO-LOOKUP VERSION
set -euo pipefail
program=$1 version=$2
. "$(dirname "$0")/../resources/checks.sh"
runtime=$(mktemp -d) pids=
trap 'kill $pids 2>/dev/null || true; rm -rf "$runtime"' EXIT
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
# answers OPTION FIRST-LINE: an argument the window ignores comes first.
answers() {
  local status=0 said
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" -reverse "$1" 2>&1) || status=$?
  [ "$status" = 0 ] || fail "$1 without a display: status $status, said: $said"
  [ "$(head -n 1 <<<"$said")" = "$2" ] || fail "$1 without a display said: $said"
}
answers --help "Usage: zuno-lookup [--help | --version]"
answers --version "zuno-lookup $version"

expect "no DISPLAY" yes QT_QPA_PLATFORM=xcb
expect "no X server on DISPLAY" yes DISPLAY=:49
expect "Wayland without a compositor" no QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=zuno-no-compositor

# xdotool's attempts to connect while it waits also make the new server reset each time one of
# them leaves.
echo "== started before its display listens"
display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display - 1)); done
env -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb DISPLAY=":$display" \
  "$program" 2>"$runtime/said" &
started=$! pids="$!"
sleep 0.3
Xvfb ":$display" -nolisten tcp 2>/dev/null &
pids="$pids $!"
window=
for _ in $(seq 10); do
  kill -0 "$started" 2>/dev/null || break
  window=$(DISPLAY=":$display" timeout 5 xdotool search --sync --onlyvisible --pid "$started") && break
done
[ -n "$window" ] || fail "no window on a display that started late: $(cat "$runtime/said")"

finish_checks
echo "start-up: all checks passed"
