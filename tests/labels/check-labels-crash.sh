#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Acknowledged reports survive SIGKILL of the service under a load of concurrent reports, on
# either store: every report answered 201/200 is stored, the service starts again on what is
# left, and the store is sound (an SQLite file passes integrity_check; on PostgreSQL the report
# table's indexes match its rows and no network holds two reports for one number).
# Usage: check-labels-crash.sh ZUNO-LOOKUPD [DATABASE]
#   DATABASE: a path where no file is yet (made and removed here), or a postgresql:// URI of a
#   database without reports; without it, ZUNO_TEST_DATABASE (pg-server.sh run sets it).
set -euo pipefail
lookupd=$1 db=${2:-${ZUNO_TEST_DATABASE:?give a database or run me through pg-server.sh}}
. "$(dirname "$0")/../resources/checks.sh"
. "$(dirname "$0")/labels-checks.sh"
work=$(mktemp -d)
started_pid=""
case "$db" in
  postgresql://* | postgres://*)
    store=pg
    query() { psql_on "$db" "$1"; }
    [ "$(query "SELECT to_regclass('reports') IS NULL")" = t ] || [ "$(query 'SELECT count(*) FROM reports')" = 0 ] ||
      { echo "$db already holds reports" >&2; exit 2; }
    trap 'kill -KILL $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
    ;;
  *)
    store=sqlite
    query() { sqlite3 "$db" "$1"; }
    [ ! -e "$db" ] || { echo "$db exists: give a path where no file is" >&2; exit 2; }
    trap 'kill -KILL $started_pid 2>/dev/null || true; rm -rf "$work" "$db" "$db-wal" "$db-shm" "$db.key"' EXIT
    ;;
esac


start_lookupd "$work/crash.log" --threads 2 --database "$db"
export started_address work
send_one() {
  local n=$1
  local status
  status=$(report "127.0.$((n % 200 + 1)).1" "1390000$(printf %04d "$n")" 骚扰电话 "id-$n" || true)
  echo "$n $status" >>"$work/acks"
}
export -f send_one report report_to
: >"$work/acks"
seq 0 799 | xargs -P 16 -I{} bash -c 'send_one {}' &
load=$!
for _ in $(seq 200); do [ "$(grep -c ' 20[01]$' "$work/acks" || true)" -ge 100 ] && break; sleep 0.02; done
kill -KILL "$started_pid"
wait "$started_pid" 2>/dev/null || true
started_pid=""
wait "$load" || true
acked=$(grep -c ' 20[01]$' "$work/acks" || true)
[ "$acked" -ge 100 ] || fail "only $acked reports were acknowledged before the kill"
[ "$acked" -lt 800 ] || fail "the kill came after every report: nothing was in flight"
start_lookupd "$work/restart.log" --database "$db"
[ "$(label_of 13900000001)" = null ] || fail "one report labelled a number"
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

if [ $store = sqlite ]; then
  [ "$(query 'PRAGMA integrity_check')" = ok ] || fail "integrity_check after SIGKILL"
else
  # amcheck reads every index page and, with heapallindexed, finds each row of the table in it.
  query 'CREATE EXTENSION IF NOT EXISTS amcheck' >/dev/null
  for index in reports_pkey reports_by_day; do
    query "SELECT bt_index_check('$index', true)" >/dev/null || fail "the index $index after SIGKILL"
  done
  # Counted from the table's rows, not through the key's index that amcheck has just read.
  duplicates=$(query "SET enable_indexscan = off; SET enable_indexonlyscan = off; SET enable_bitmapscan = off;
    SELECT count(*) FROM (SELECT 1 FROM reports GROUP BY number, network HAVING count(*) > 1) AS twice")
  [ "$duplicates" = 0 ] || fail "$duplicates (number, network) pairs are stored twice after SIGKILL"
fi
query 'SELECT comment FROM reports' | sort >"$work/stored"
grep ' 20[01]$' "$work/acks" | sed 's/^\([0-9]*\) .*/id-\1/' | sort >"$work/acknowledged"
lost=$(comm -23 "$work/acknowledged" "$work/stored" | wc -l)
[ "$lost" = 0 ] || fail "$lost of $acked acknowledged reports are missing after SIGKILL"
echo "SIGKILL after $acked of 800 reports acknowledged ($store): none lost"

finish_checks
echo "labels crash ($store): all checks passed"
