#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the service component into a scratch prefix and checks the systemd units there with
# systemd-analyze: that systemd accepts every line of the service and of its socket, and how
# exposed the service would be.
# Usage: check-service-unit.sh CMAKE BUILD-DIR WORK-DIR
set -euo pipefail

cmake=$1 build=$2 work=$3
prefix=$work/usr
# systemd-analyze's exposure in tenths: 10 is 1.0, the highest score it still calls safe.
max_exposure=10

. "$(dirname "$0")/checks.sh"

rm -rf "$work"
"$cmake" --install "$build" --prefix "$prefix" --component service >/dev/null

unit=$prefix/lib/systemd/system/zuno-lookupd.service
socket=$prefix/lib/systemd/system/zuno-lookupd.socket
program=$prefix/bin/zuno-lookupd
[ -f "$unit" ] && [ -f "$socket" ] || { echo "FAIL: no $unit or no $socket" >&2; exit 1; }
grep -q "^ExecStart=$program --downloads /" "$unit" || fail "the unit does not start $program with a downloads folder"
grep -Eqx "ListenStream=[^:]+:[0-9]+" "$socket" || fail "the socket does not listen on HOST:PORT"

echo "== systemd-analyze verify"
# verify reports unknown keys and bad values but still exits 0, so any message fails the check.
status=0
messages=$(systemd-analyze verify "$unit" "$socket" 2>&1) || status=$?
[ -n "$messages" ] && echo "$messages"
[ "$status" = 0 ] && [ -z "$messages" ] || fail "systemd-analyze verify complains about the units"

echo "== systemd-analyze security"
systemd-analyze security --offline=true --threshold="$max_exposure" "$unit" | tail -n 1 ||
  fail "the service is more exposed than $max_exposure (tenths)"

finish_checks
echo "service unit: all checks passed"
