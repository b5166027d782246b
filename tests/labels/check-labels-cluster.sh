#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Three instances on one PostgreSQL behind HAProxy with the shipped configuration, under wrk
# lookups (/iii.asp and /api/v1/lookup) and reports from many networks (report_load.py):
# - one instance stopped with SIGTERM: no request fails, every acknowledged report is stored;
# - PostgreSQL stopped for 5 s: no lookup fails, reports answer 503 with Retry-After during the
#   outage and 201 again within 2 s of its return, every acknowledged report is stored.
# Usage: pg-server.sh run check-labels-cluster.sh ZUNO-LOOKUPD HAPROXY-CFG
set -euo pipefail
lookupd=$1 config=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../resources/checks.sh"
. "$here/labels-checks.sh"
: "${ZUNO_TEST_DATABASE:?run me through pg-server.sh}"
db=$ZUNO_TEST_DATABASE
work=$(mktemp -d)
declare -A instance_pid instance_address
proxy=""
cleanup() {
  kill -KILL "${instance_pid[@]}" $proxy 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# $1: the instance's number; $2: its address, when it comes back on the one it had.
start_instance() {
  local listen=()
  [ -n "${2:-}" ] && listen=(--listen "$2")
  start_lookupd "$work/lookupd$1.log" --threads 1 --database "$db" --trusted-proxy 127.0.0.1 \
    "${listen[@]}"
  instance_pid[$1]=$started_pid instance_address[$1]=$started_address
}
for i in 1 2 3; do
  start_instance "$i"
  export "ZUNO_LOOKUPD$i=${instance_address[$i]}"
done

export ZUNO_HTTP_BIND=127.0.0.1:$(free_port) ZUNO_HTTPS_BIND=127.0.0.1:$(free_port) \
  ZUNO_TLS_CERT=$work/cert.pem ZUNO_RATE_LIMIT=1000000000
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat "$work/key.pem" >>"$work/cert.pem"
haproxy -db -f "$config" 2>"$work/haproxy.log" &
proxy=$!
front=http://$ZUNO_HTTP_BIND
for _ in $(seq 50); do curl -fs -o /dev/null "$front/healthz" && break; sleep 0.1; done

cat >"$work/lookups.lua" <<'LUA'
local paths = { "/iii.asp?title=13800138000", "/api/v1/lookup?number=13912345678" }
local turn = 0
request = function()
  turn = turn % #paths + 1
  return wrk.format("GET", paths[turn])
end
LUA

# Lookups and reports for SECONDS ($1); the reports from networks $2 on, numbers $3 on.
start_load() {
  wrk -t1 -c8 -d"$1s" -s "$work/lookups.lua" "$front" >"$work/wrk.txt" &
  wrk_pid=$!
  python3 "$here/report_load.py" load "$ZUNO_HTTP_BIND" "$1" "$work/answers" --workers 6 \
    --first-network "$2" --first-number "$3" --pause 0.02 >/dev/null &
  reports_pid=$!
}
finish_load() {
  wait "$wrk_pid" || fail "wrk failed"
  wait "$reports_pid" || fail "the report load failed"
  grep -E 'requests in|Non-2xx|Socket errors' "$work/wrk.txt"
  ! grep -Eq 'Non-2xx|Socket errors' "$work/wrk.txt" || fail "$1: lookups failed"
  local lookups
  lookups=$(awk '/requests in/ { print $1 }' "$work/wrk.txt")
  [ "${lookups:-0}" -gt 1000 ] || fail "$1: only ${lookups:-0} lookups"
}
stored_reports() {
  psql_on "$db" 'SELECT number, network, category FROM reports' >"$work/rows"
}
secret=$(psql_on "$db" 'SELECT secret FROM reporter_key')
now() { date +%s.%N; }

echo "== one instance stopped with SIGTERM under load"
start_load 8 0 0
sleep 3
kill -TERM "${instance_pid[2]}"
status=0
wait "${instance_pid[2]}" || status=$?
[ "$status" = 0 ] || fail "the stopped instance exited with $status"
grep -q 'stopped: every answer finished' "$work/lookupd2.log" ||
  fail "the stopped instance did not drain: $(tail -3 "$work/lookupd2.log")"
finish_load "SIGTERM"
stored_reports
python3 "$here/report_load.py" check "$work/answers" "$work/rows" "$secret" ||
  fail "SIGTERM: reports failed or were lost"

echo "== PostgreSQL stopped for 5 s under load"
start_instance 2 "${instance_address[2]}"
sleep 2.5  # HAProxy's health checks take the instance back: two checks a second apart
start_load 13 5000 1000000
sleep 3
stopping=$(now)
pg_stop
stopped=$(now)
sleep 5
starting=$(now)
pg_start
back=$(now)
finish_load "PostgreSQL stopped"
stored_reports
python3 "$here/report_load.py" check "$work/answers" "$work/rows" "$secret" \
  --outage "$stopping" "$stopped" "$starting" "$back" || fail "PostgreSQL stopped: reports failed or were lost"

finish_checks
echo "three instances behind HAProxy: all checks passed"
