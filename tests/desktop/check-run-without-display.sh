#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What `make run` does without a display: one lookup of 13800138000 through the real window and
# the bundled service, under Xvfb, with the result box's text printed and a screenshot saved.
#   check-run-without-display.sh RUN_SCRIPT BUILD_DIR
set -euo pipefail
run=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

env -u DISPLAY -u WAYLAND_DISPLAY TMPDIR="$work" ZUNO_RUN_DIR="$work" "$run" "$build" >"$work/out" 2>&1 \
  || { cat "$work/out"; echo "run failed"; exit 1; }
cat "$work/out"
for line in '号码：138 0013 8000 手机号码' '归属地：北京市' '运营商：中国移动 区号：010'; do
  grep -qx "$line" "$work/out" || { echo "the result box lacks: $line"; exit 1; }
done
shot=$(sed -n 's/^Screenshot of the window: //p' "$work/out")
file "$shot" | grep -q 'PNG image data' || { echo "no screenshot at '$shot'"; exit 1; }
