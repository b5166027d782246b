#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the program from a build folder: starts the bundled lookup service when the service host
# is this machine and nothing listens there yet, offering the packages of BUILD_DIR/packages
# (`make package`) as its downloads, opens the window, and stops that service again when the
# window closes. Without a display, or with --screenshot, it does one lookup under Xvfb instead,
# prints what the result box shows and saves a screenshot of the window (to PATH if given).
#
#   tools/run.sh BUILD_DIR [--screenshot PATH]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [--screenshot PATH]}
screenshot=
if [ "${2:-}" = --screenshot ]; then
  screenshot=${3:?usage: $0 BUILD_DIR [--screenshot PATH]}
  case "$screenshot" in /*) ;; *) screenshot="$PWD/$screenshot" ;; esac
fi
top=$(cd "$(dirname "$0")/.." && pwd)
window="$build/src/window/zuno-lookup"
service="$build/service/zuno-lookupd"
host=$(sed -n 's/^ZUNO_SERVICE_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
caption='ZUNO全国电话号码归属地查询'

local_service=false
case "$host" in
  127.*|localhost|localhost:*|\[::1\]*)
    downloads=()
    [ -d "$build/packages" ] && downloads=(--downloads "$(cd "$build/packages" && pwd)")
    # Its own label database, beside the build it runs.
    "$top/tools/run-local.sh" start "$service" "$host" "${downloads[@]}" \
      --database "$(cd "$build" && pwd)/labels.sqlite3"
    local_service=true ;;
  *) echo "The window asks http://$host/; no local service started." ;;
esac
stop_service() { if $local_service; then "$top/tools/run-local.sh" stop "$host"; fi; }
trap stop_service EXIT

if [ -z "$screenshot" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$window"
  exit 0
fi

if [ -n "$screenshot" ]; then
  echo "Looking up 13800138000 in the window under Xvfb for a screenshot."
else
  echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): looking up 13800138000 under Xvfb."
fi
work=$(mktemp -d)
exec 5>"$work/displayfd"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
window_pid=
# Each step may find its process gone already; none of that may keep the service running.
cleanup() {
  [ -z "$window_pid" ] || kill "$window_pid" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
  stop_service
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -s "$work/displayfd" ] && break
  sleep 0.1
done
export DISPLAY=":$(tr -dc 0-9 <"$work/displayfd")"
export XDG_RUNTIME_DIR="$work"
chmod 700 "$work"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

"$window" &
window_pid=$!
id=$(timeout 20 xdotool search --sync --name "$caption" | head -n 1)
# There is no window manager under Xvfb: give the window the keyboard focus ourselves. The number
# box has it within the window; Tab and Space press 查询; the keys typed after it wait until the
# lookup is over, then select and copy the result box.
xdotool windowfocus --sync "$id"
xdotool type --delay 20 13800138000
xdotool key --delay 50 Tab space Tab ctrl+a ctrl+c

result=
for _ in $(seq 400); do
  result=$(xclip -o -selection clipboard 2>/dev/null) && [ -n "$result" ] && break
  sleep 0.1
done
# Clear the selection that copying made, so that the screenshot shows the result as a user sees it.
xdotool key ctrl+Home
shot=${screenshot:-"${TMPDIR:-/tmp}/zuno-lookup-$(date +%Y%m%d-%H%M%S).png"}
import -window "$id" "$shot"

echo "The result box shows:"
printf '%s\n' "$result"
echo "Screenshot of the window: $shot"
[ -n "$result" ]
