#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Failover to a streaming replica, as deploy/postgresql.md describes it (run inside pg-server.sh):
# a standby of the test's server with synchronous replication, the service given both servers
# in one URI with target_session_attrs=read-write (the standby first, so that it has to pass it
# over). With the standby stopped, reports wait and answer 503, and the outage is logged once;
# with it back, reports are taken. Then the primary is killed under a load of reports and the
# standby promoted: every report acknowledged before is on the new primary, lookups never fail,
# and reports are taken again within 2 s of the promotion.
# Usage: pg-server.sh run check-labels-failover.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
. "$(dirname "$0")/labels-checks.sh"
: "${ZUNO_TEST_PG_DIR:?run me through pg-server.sh}"
dir=$ZUNO_TEST_PG_DIR
query() { psql_on "postgresql://zuno@/postgres?host=$dir&port=$1" "$2"; }
work=$(mktemp -d)
started_pid="" load="" lookups=""
trap 'kill -KILL $started_pid $load $lookups 2>/dev/null || true
      as_owner "$pg_bin/pg_ctl" -D "$dir/standby" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

as_owner "$pg_bin/pg_basebackup" -D "$dir/standby" -h "$dir" -p 5432 -U zuno -R -X stream
as_owner "$pg_bin/pg_ctl" -D "$dir/standby" -l "$dir/standby.log" -w \
  -o "-c port=5433 -c listen_addresses= -c unix_socket_directories=$dir -c fsync=off" start >/dev/null
query 5432 "ALTER SYSTEM SET synchronous_standby_names = '*'"
query 5432 'SELECT pg_reload_conf()' >/dev/null
for _ in $(seq 50); do [ "$(query 5432 'SELECT sync_state FROM pg_stat_replication')" = sync ] && break; sleep 0.1; done
[ "$(query 5432 'SELECT sync_state FROM pg_stat_replication')" = sync ] || fail "the standby is not synchronous"

start_lookupd "$work/service.log" --database \
  "postgresql://zuno@/postgres?host=$dir,$dir&port=5433,5432&target_session_attrs=read-write"
# report_number FROM NUMBER: a report whose comment is its number, found by it in the database.
report_number() { report "$1" "$2" 骚扰电话 "$2"; }
[ "$(report_number 127.0.1.1 13800000001)" = 201 ] || fail "no report taken through a URI that names the standby first"

# --- the synchronous standby gone: the primary commits nothing, so reports answer 503 once the
# wait for a statement ends, and the store is down, logged once however often the instance
# connects again meanwhile; the standby back, reports are taken again, logged once.
as_owner "$pg_bin/pg_ctl" -D "$dir/standby" -m fast -w stop >/dev/null
gone=$(date +%s)
i=0
while [ $(( $(date +%s) - gone )) -lt 12 ]; do
  i=$((i + 1))
  echo "$(report_number 127.0.250.1 "1370000$(printf %04d "$i")")" >>"$work/gone"
done
[ "$(sort -u "$work/gone")" = 503 ] || fail "reports without the synchronous standby: $(sort "$work/gone" | uniq -c | xargs)"
[ "$(wc -l <"$work/gone")" -ge 2 ] || fail "fewer than two reports without the synchronous standby"
[ "$(grep -c 'label database:.*refused' "$work/service.log")" = 1 ] && ! grep -q 'works again, reports' "$work/service.log" ||
  fail "the standby gone was not logged once as an outage: $(cat "$work/service.log")"
[ "$(curl -s "http://$started_address/metrics" | awk '$1 ~ /^zuno_label_store_up/ { print $2 }')" = 0 ] ||
  fail "the standby gone: the store is not shown down"
as_owner "$pg_bin/pg_ctl" -D "$dir/standby" -l "$dir/standby.log" -w \
  -o "-c port=5433 -c listen_addresses= -c unix_socket_directories=$dir -c fsync=off" start >/dev/null
back=$(date +%s)
until [ "$(report_number 127.0.251.1 13700009999)" = 201 ]; do
  [ $(( $(date +%s) - back )) -lt 15 ] || { fail "no report taken once the standby was back"; break; }
done
[ "$(grep -c 'works again, reports' "$work/service.log")" = 1 ] || fail "the standby's return was not logged once: $(cat "$work/service.log")"

# Reports, one after another from many networks, and lookups, while the primary goes.
(for i in $(seq 1 100000); do echo "1390$(printf %07d "$i") $(report_number "127.0.$((i % 200 + 2)).1" "1390$(printf %07d "$i")")"; done >>"$work/acks") &
load=$!
(while :; do curl -s -o /dev/null -w '%{http_code}\n' --max-time 5 "http://$started_address/api/v1/lookup?number=13800000001"; sleep 0.01; done >>"$work/lookups") &
lookups=$!
for _ in $(seq 100); do [ "$(grep -c ' 201$' "$work/acks" || true)" -ge 50 ] && break; sleep 0.05; done
as_owner "$pg_bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null
as_owner "$pg_bin/pg_ctl" -D "$dir/standby" -w promote >/dev/null
promoted=$(wc -l <"$work/acks")
start=$(date +%s%N)
until [ "$(tail -n +$((promoted + 2)) "$work/acks" | grep -c ' 201$' || true)" -ge 1 ]; do
  [ $(( ($(date +%s%N) - start) / 1000000 )) -lt 2000 ] || { fail "no report taken within 2 s of the promotion"; break; }
  sleep 0.02
done
echo "reports taken again $(( ($(date +%s%N) - start) / 1000000 )) ms after the promotion"
sleep 0.5
kill "$load" "$lookups"
wait "$load" "$lookups" 2>/dev/null || true
load="" lookups=""

grep ' 20[01]$' "$work/acks" | cut -d' ' -f1 | sort >"$work/acknowledged"
query 5433 'SELECT comment FROM reports' | sort >"$work/stored"
lost=$(comm -23 "$work/acknowledged" "$work/stored" | wc -l)
[ "$lost" = 0 ] || fail "$lost of $(wc -l <"$work/acknowledged") acknowledged reports are not on the new primary"
failed=$(grep -cv '^200$' "$work/lookups" || true)
[ "$failed" = 0 ] || fail "$failed of $(wc -l <"$work/lookups") lookups failed during the failover"
echo "$(wc -l <"$work/acknowledged") reports acknowledged, $(grep -c . "$work/lookups") lookups: none lost, none failed"
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

finish_checks
echo "labels failover: all checks passed"
