#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Labels on PostgreSQL, measured against SQLite in the same run, on a PostgreSQL 15 of its own
# (tests/labels/pg-server.sh), both stores holding the same LABELS imported labels:
# - lookups per core: one instance (--threads 1) on each store, /api/v1/lookup of numbers half
#   of which are labelled, wrk -t1, ROUNDS rounds in alternating order; requests per second of
#   the instance's own CPU time, PostgreSQL's as a ratio to SQLite's;
# - reports: three instances on PostgreSQL behind deploy/haproxy/haproxy.cfg, reports from many
#   networks (tests/labels/report_load.py) for DURATION seconds; 201s per second and their p99,
#   against the same load sent straight to one instance on SQLite, and to one on PostgreSQL;
#   three rounds in alternating order. The instances share SERVER_CPU, the load CLIENT_CPU;
#   PostgreSQL and HAProxy run where the system puts them;
# - propagation: REPORTS reports through one instance, each until another shows it
#   (bench/propagation.py), against a report's own round trip.
# Usage: bench/cluster-labels.sh [path/to/zuno-lookupd]
# Environment: ROUNDS (4), DURATION (10), LABELS (100000), REPORTS (300), WORKERS (16: the report
# load's concurrent clients), SERVER_CPU (1), CLIENT_CPU (0)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lookupd=$(realpath "${1:-build-bench/service/zuno-lookupd}")
if [ -z "${ZUNO_TEST_DATABASE:-}" ]; then
  exec "$here/../tests/labels/pg-server.sh" run "$0" "$lookupd"
fi
rounds=${ROUNDS:-4}
duration=${DURATION:-10}
labels=${LABELS:-100000}
reports=${REPORTS:-300}
report_workers=${WORKERS:-16}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
for tool in wrk haproxy sqlite3 taskset; do
  command -v "$tool" >/dev/null || { echo "missing $tool: make test-deps" >&2; exit 2; }
done
[ -x "$lookupd" ] || { echo "no zuno-lookupd at $lookupd: build it first" >&2; exit 2; }
db=$ZUNO_TEST_DATABASE
work=$(mktemp -d /tmp/zuno-cluster.XXXXXX)
server_pids=()
proxy=""
cleanup() {
  kill "${server_pids[@]}" $proxy 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/servers.sh"
sqlite=$work/labels.sqlite

# The same imported labels in both stores: +8613900000000 and on, every other number of twice
# as many that wrk asks.
"$lookupd" labels migrate --database "$sqlite" >/dev/null
"$lookupd" labels migrate --database "$db" >/dev/null
today=$(TZ=Asia/Shanghai date +%F)
sqlite3 "$sqlite" "WITH RECURSIVE n(i) AS (SELECT 0 WHERE $labels > 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $labels)
  INSERT INTO imported_labels SELECT '+86' || (13900000000 + 2 * i), '骚扰电话', 5, '$today', 'bench' FROM n"
psql_on "$db" "INSERT INTO imported_labels SELECT '+86' || (13900000000 + 2 * i), '骚扰电话', 5, '$today', 'bench'
  FROM generate_series(0, $labels - 1) AS i" >/dev/null
cat >"$work/lookups.lua" <<LUA
local count, turn = 2 * $labels, 0
request = function()
  turn = (turn * 7 + 13) % count
  return wrk.format("GET", "/api/v1/lookup?number=" .. tostring(13900000000 + turn))
end
LUA

echo "== lookups per core: one instance on each store, --threads 1 on CPU $server_cpu," \
  "wrk -t1 -c50 -d5s on CPU $client_cpu; $labels imported labels in each"
start_server sqlite "$lookupd" --listen 127.0.0.1:0 --threads 1 --database "$sqlite"
start_server postgresql "$lookupd" --listen 127.0.0.1:0 --threads 1 --database "$db"
for name in sqlite postgresql; do
  [ "$labels" -gt 1 ] || break
  curl -fsS "${url[$name]}api/v1/lookup?number=13900000002" | grep -q '"label":{' ||
    { echo "$name: the label is not shown" >&2; exit 1; }
done
# Requests per second of the instance's CPU time, over one wrk run.
per_cpu_second() {
  local before after
  before=$(cpu_ns "${pid[$1]}")
  taskset -c "$client_cpu" wrk -t1 -c50 -d5s -s "$work/lookups.lua" "${url[$1]}" >"$work/wrk.out"
  after=$(cpu_ns "${pid[$1]}")
  ! grep -q 'Non-2xx\|Socket errors' "$work/wrk.out" || { cat "$work/wrk.out" >&2; exit 1; }
  awk -v ns=$((after - before)) '/ requests in / { printf "%.0f\n", $1 / (ns / 1e9) }' "$work/wrk.out"
}
declare -A cost
for round in $(seq "$rounds"); do
  order=(sqlite postgresql)
  (( round % 2 == 0 )) && order=(postgresql sqlite)
  for name in "${order[@]}"; do
    value=$(per_cpu_second "$name")
    cost[$name]+="$value "
    printf '  round %s %-10s %8s lookups per CPU-second\n' "$round" "$name" "$value"
  done
done
sqlite_median=$(median "${cost[sqlite]}") pg_median=$(median "${cost[postgresql]}")
echo "medians: SQLite $sqlite_median, PostgreSQL $pg_median lookups per CPU-second:" \
  "PostgreSQL $(awk -v a="$pg_median" -v b="$sqlite_median" 'BEGIN { printf "%.3f", a / b }')x SQLite"
kill "${pid[sqlite]}" "${pid[postgresql]}"

echo "== reports: three instances on PostgreSQL behind HAProxy, against one on SQLite;" \
  "$report_workers clients for $duration s"
for i in 1 2 3; do
  start_server "cluster$i" "$lookupd" --listen 127.0.0.1:0 --threads 1 --database "$db" \
    --trusted-proxy 127.0.0.1 --label-min-reporters 1
done
for i in 1 2 3; do declare "address$i=$(sed 's|http://||; s|/$||' <<<"${url[cluster$i]}")"; done
export ZUNO_LOOKUPD1=$address1 ZUNO_LOOKUPD2=$address2 ZUNO_LOOKUPD3=$address3
export ZUNO_HTTP_BIND=127.0.0.1:$(free_port) ZUNO_HTTPS_BIND=127.0.0.1:$(free_port) ZUNO_RATE_LIMIT=1000000000 \
  ZUNO_TLS_CERT=$work/cert.pem
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat "$work/key.pem" >>"$work/cert.pem"
haproxy -db -f "$here/../deploy/haproxy/haproxy.cfg" 2>"$work/haproxy.log" &
proxy=$!
for _ in $(seq 50); do curl -fs -o /dev/null "http://$ZUNO_HTTP_BIND/healthz" && break; sleep 0.1; done
start_server single "$lookupd" --listen 127.0.0.1:0 --threads 1 --database "$sqlite"
single=$(sed 's|http://||; s|/$||' <<<"${url[single]}")
load() {
  taskset -c "$client_cpu" python3 "$here/../tests/labels/report_load.py" load "$1" "$duration" \
    "$work/answers" --workers "$report_workers" --pause 0 --first-network "$2" --first-number "$(($2 * 100))"
}
network=0
declare -A rate p99
targets=(sqlite postgresql cluster)
declare -A address_of=([sqlite]=$single [postgresql]=$address1 [cluster]=$ZUNO_HTTP_BIND)
for round in 1 2 3; do
  order=("${targets[@]}")
  (( round % 2 == 0 )) && order=(cluster postgresql sqlite)
  for target in "${order[@]}"; do
    line=$(load "${address_of[$target]}" "$network")
    echo "  round $round $target: $line"
    # The next run's networks are fresh: each has made at most 15 of its 20 reports a day.
    network=$((network + $(sed -n 's/^reports: \([0-9]*\) .*/\1/p' <<<"$line") / 15 + report_workers + 1))
    rate[$target]+="$(sed -n 's/.*201 per second \([0-9]*\).*/\1/p' <<<"$line") "
    p99[$target]+="$(sed -n 's/.*p99 \([0-9.]*\) ms.*/\1/p' <<<"$line") "
  done
done
echo "medians of 3 rounds:"
for target in "${targets[@]}"; do
  printf '  %-10s %6s reports/s (%sx SQLite), p99 %s ms\n' "$target" "$(median "${rate[$target]}")" \
    "$(ratio "$(median "${rate[$target]}")" "$(median "${rate[sqlite]}")")" "$(median "${p99[$target]}")"
done

echo "== propagation: $reports reports through one instance, each until another shows it"
python3 "$here/propagation.py" "$address1" "$address2" "$reports" "$network"
