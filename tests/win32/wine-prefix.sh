#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# start: makes the run's Wine prefix ($WINEPREFIX, 32-bit) afresh with an Xvfb of its own, whose
# display it writes to $WINEPREFIX.display, and keeps its server and desktop running for the run,
# so that each test's programs start at once; stop: ends both. Every Wine test uses that display:
# Wine's desktop process stays on the display it started on.
set -euo pipefail
display_file=$WINEPREFIX.display
stop() {
  wineserver -k 2>/dev/null || true
  [ ! -f "$display_file.pid" ] || kill "$(cat "$display_file.pid")" 2>/dev/null || true
  rm -f "$display_file" "$display_file.pid"
}
case $1 in
start)
  stop
  rm -rf "$WINEPREFIX"
  # Detached, its descriptors closed, so that nothing waits for this script's output to end.
  setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$display_file.new" \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$display_file.pid"
  for _ in $(seq 150); do [ -s "$display_file.new" ] && break; sleep 0.1; done
  [ -s "$display_file.new" ] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(cat "$display_file.new")
  mv "$display_file.new" "$display_file"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot --init </dev/null >/dev/null 2>&1
  echo "Wine prefix ready: $WINEPREFIX on display $DISPLAY ($(wine --version))"
  ;;
stop) stop ;;
esac
