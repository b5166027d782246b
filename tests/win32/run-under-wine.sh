#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a Windows test program under the run's Wine with one file of this machine as its argument.
# Usage: run-under-wine.sh PROGRAM.exe FILE
set -euo pipefail
[ -f "$1" ] || { echo "FAIL: $1 is missing: make windows builds it" >&2; exit 1; }
DISPLAY=:$(cat "$WINEPREFIX.display") exec wine "$1" "Z:$2"
