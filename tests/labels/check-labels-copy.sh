#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# labels copy moves a single-instance SQLite installation to PostgreSQL (run inside
# pg-server.sh): an instance on the server then answers the same labels and places, and a
# network that reported before the move withdraws through it (the reporters' key moved too); a
# second copy onto the filled database is refused and changes nothing; a copy killed midway
# leaves nothing behind.
# Usage: pg-server.sh run check-labels-copy.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
. "$(dirname "$0")/labels-checks.sh"
: "${ZUNO_TEST_DATABASE:?run me through pg-server.sh}"
work=$(mktemp -d)
started_pid="" copier=""
trap 'kill -KILL $started_pid $copier 2>/dev/null || true; rm -rf "$work"' EXIT
sqlite=$work/labels.sqlite3 pg=$ZUNO_TEST_DATABASE

# answers: what the running instance tells of the numbers the test labelled and placed.
answers() {
  for number in 13800138000 13900139000 13700001234 19900001234; do
    curl -s --max-time 5 "http://$started_address/api/v1/lookup?number=$number" |
      python3 -c 'import json,sys; a=json.load(sys.stdin); print(a["e164"], json.dumps(a["label"], ensure_ascii=False), a["location"], a["locationSource"])'
  done
}
stop() { kill -TERM "$started_pid"; wait "$started_pid" || true; started_pid=""; }

# --- a single instance on SQLite: reports from six networks, places, an imported list
start_lookupd "$work/sqlite.log" --database "$sqlite"
for net in 1 2 3 4; do report "127.0.$net.1" 13800138000 诈骗电话 >/dev/null; done
for net in 5 6; do report "127.0.$net.1" 13900139000 骚扰电话 >/dev/null; done
for net in 1 2 3; do place "127.0.$net.1" 19900001234 广东省 深圳市 >/dev/null; done
printf 'number,category,reporters,last_reported,source\n13700001234,诈骗电话,57,2026-11-30,反诈名单\n' >"$work/list.csv"
"$lookupd" labels import "$work/list.csv" --database "$sqlite" >/dev/null
sleep 1.5
answers >"$work/before"
grep -q '诈骗电话.*反诈名单' "$work/before" && grep -q 'community$' "$work/before" ||
  fail "the SQLite instance did not answer what the test gave it: $(cat "$work/before")"
stop

# --- copied: the same answers from an instance on PostgreSQL, the same key
[ "$("$lookupd" labels copy --from "$sqlite" --to "$pg" | head -n 1)" = \
  "copied 6 reports, 3 places, 1 imported labels and 1 audit rows from $sqlite" ] || fail "labels copy"
start_lookupd "$work/pg.log" --database "$pg"
answers >"$work/after"
diff "$work/before" "$work/after" >&2 || fail "the instance on PostgreSQL answers otherwise than on SQLite"
withdraw() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 10 --interface "$1" -X DELETE \
    "http://$started_address/api/v1/reports?number=13900139000"
}
[ "$(withdraw 127.0.5.1)" = 204 ] || fail "a network that reported before the move cannot withdraw"
[ "$(withdraw 127.0.9.1)" = 404 ] || fail "a network that never reported withdrew something"
stop
[ "$(psql_on "$pg" "SELECT action FROM audit ORDER BY at" | paste -sd,)" = import,copy ] ||
  fail "the copy's audit: $(psql_on "$pg" 'SELECT * FROM audit')"

# --- a second copy onto the filled database: refused, nothing changed
state() { psql_on "$1" "SELECT (SELECT count(*) FROM reports), (SELECT count(*) FROM audit), (SELECT secret FROM reporter_key)"; }
state "$pg" >"$work/filled"
status=0
"$lookupd" labels copy --from "$sqlite" --to "$pg" >/dev/null 2>"$work/again.err" || status=$?
[ "$status" = 1 ] && grep -q 'already holds' "$work/again.err" ||
  fail "a copy onto a filled database: status $status, $(cat "$work/again.err")"
[ "$(state "$pg")" = "$(cat "$work/filled")" ] || fail "a refused copy changed the database"

# --- a copy killed midway leaves nothing
sqlite3 "$sqlite" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300000)
  INSERT INTO reports SELECT printf('+86150000%05d', i % 100000), 'net' || i, '骚扰电话', '', 0, 20000 FROM n"
psql_on "$pg" "CREATE DATABASE killed"
killed=${pg/\/postgres\?/\/killed?}
"$lookupd" labels copy --from "$sqlite" --to "$killed" >/dev/null 2>&1 &
copier=$!
copying=no
for _ in $(seq 500); do
  [ "$(psql_on "$pg" "SELECT count(*) FROM pg_stat_activity WHERE datname = 'killed' AND query LIKE 'INSERT INTO reports %'")" = 1 ] &&
    { copying=yes; break; }
  sleep 0.01
done
[ "$copying" = yes ] || fail "the copy was never seen inserting reports"
kill -KILL "$copier"
wait "$copier" 2>/dev/null && fail "the copy had ended before it was killed"
copier=""
[ "$(psql_on "$killed" "SELECT (SELECT count(*) FROM reports) + (SELECT count(*) FROM audit), (SELECT left(secret, 2) = '\\x' FROM reporter_key)")" = "0|f" ] ||
  fail "a killed copy left something: $(state "$killed")"
"$lookupd" labels copy --from "$sqlite" --to "$killed" | grep -q '^copied 300006 reports' ||
  fail "a copy after the killed one"

finish_checks
echo "labels copy: all checks passed"
