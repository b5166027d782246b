#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Socket activation: zuno-lookupd serves the sockets systemd hands over (systemd-socket-activate
# plays systemd here) and ignores --listen, which names an address this machine does not have.
# Usage: check-socket-activation.sh ZUNO-LOOKUPD
set -euo pipefail

lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"

work=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"' EXIT
first=127.0.0.1:$(free_port) second=127.0.0.2:$(free_port)

systemd-socket-activate -l "$first" -l "$second" \
  "$lookupd" --listen 192.0.2.1:80 --threads 1 2>"$work/log" &
pid=$!
# The first connection starts the program; it waits in the socket meanwhile.
for address in "$first" "$second"; do
  for _ in $(seq 50); do
    reply=$(curl -fs --max-time 10 "http://$address/iii.asp?title=13800138000" |
      iconv -f GBK -t UTF-8) && break
    sleep 0.1
  done
  grep -q '北京市' <<<"$reply" || fail "no lookup answered on $address"
done
grep -qF "sockets from systemd, listening on http://$first/ http://$second/" "$work/log" ||
  fail "the program does not say it serves both sockets from systemd"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
cat "$work/log"
finish_checks
echo "socket activation: all checks passed"
