#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The labels commands, with the same output on both stores: show, clear, export, import and the
# places commands, each recorded in the audit table; a running instance takes what they change
# within a second (PostgreSQL's NOTIFY; SQLite's data_version is looked at every second, so two
# there). On an SQLite file of its own, or on the PostgreSQL of ZUNO_TEST_DATABASE.
# Usage: check-labels-commands.sh ZUNO-LOOKUPD | pg-server.sh run check-labels-commands.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill -KILL $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
if [ -n "${ZUNO_TEST_DATABASE:-}" ]; then
  db=$ZUNO_TEST_DATABASE take_ms=1000
  sql() { /usr/lib/postgresql/15/bin/psql -X -q -t -A -d "$db" -c "$1"; }
else
  db=$work/labels.sqlite3 take_ms=2000
  sql() { sqlite3 "$db" "$1"; }
fi
today=$(TZ=Asia/Shanghai date +%F)

labels() { "$lookupd" labels "$@" --database "$db"; }
post() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 10 --interface "$1" \
    -H 'Content-Type: application/json' -d "$3" "http://$started_address/api/v1/$2"
}
# field_of NUMBER FIELD: the lookup's FIELD as JSON.
field_of() {
  curl -s --max-time 5 "http://$started_address/api/v1/lookup?number=$1" |
    python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin)[sys.argv[1]], ensure_ascii=False))' "$2"
}
# shown_within NUMBER FIELD PATTERN: whether the running instance answers it in time.
shown_within() {
  local start
  start=$(date +%s%N)
  until [[ "$(field_of "$1" "$2")" == $3 ]]; do
    [ $(( ($(date +%s%N) - start) / 1000000 )) -lt $take_ms ] || return 1
    sleep 0.05
  done
}

start_lookupd "$work/serve.log" --database "$db"
for net in 1 2 3 4; do
  [ "$(post "127.0.$net.1" reports '{"number":"13800138000","category":"诈骗电话"}')" = 201 ] || fail "report $net"
done
for net in 1 2 3; do
  [ "$(post "127.0.$net.1" places '{"number":"19900001234","province":"广东省","city":"深圳市"}')" = 201 ] || fail "place $net"
done

# --- show and export: what the store holds
[ "$(labels show 13800138000)" = "+8613800138000
label: 诈骗电话, 4 networks, last $today
reports: 4 in all
  诈骗电话 4" ] || fail "labels show: $(labels show 13800138000)"
printf 'number,category,reporters,last_reported,source\n13700001234,诈骗电话,57,2026-11-30,反诈名单\n' >"$work/list.csv"
printf 'number,category,reporters,last_reported,source\n13600001234,诈骗电话,5,2026-11-30,x\n10086,诈骗电话,5,2026-11-30,x\n' >"$work/bad.csv"
labels import "$work/bad.csv" 2>/dev/null && fail "labels import took a short code"
[ "$(sql "SELECT count(*) FROM imported_labels")" = 0 ] || fail "a refused import left rows"

# --- import, clear and places clear reach the running instance within a second
[ "$(labels import "$work/list.csv")" = "imported 1 labels from $work/list.csv" ] || fail "labels import"
shown_within 13700001234 label '*反诈名单*' || fail "the running instance did not show an import in time"
labels export >"$work/export.csv"
[ "$(cat "$work/export.csv")" = "number,category,reporters,last_reported,source
+8613800138000,诈骗电话,4,$today,community
+8613700001234,诈骗电话,57,2026-11-30,反诈名单" ] || fail "labels export: $(cat "$work/export.csv")"
[ "$(labels show 13700001234 | tail -n 1)" = "imported: 诈骗电话, 57 reporters, last 2026-11-30, 反诈名单" ] ||
  fail "labels show of an imported label: $(labels show 13700001234)"
[ "$(labels clear 13800138000 --before 2000-01-01)" = "removed 0 reports of +8613800138000" ] || fail "labels clear --before"
[ "$(labels clear 13800138000)" = "removed 4 reports of +8613800138000" ] || fail "labels clear"
shown_within 13800138000 label null || fail "the running instance kept the label of a cleared number"
[ "$(labels places export)" = "block,location,agreeing,networks,last_reported
1990000,广东省深圳市,3,3,$today" ] || fail "labels places export: $(labels places export)"
[ "$(labels places clear 1990000)" = "removed 3 places of block 1990000" ] || fail "labels places clear"
shown_within 19900001234 locationSource null || fail "the running instance kept the place of a cleared block"
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

# --- every command recorded
[ "$(sql "SELECT action FROM audit" | sort | paste -sd,)" = \
  "clear,clear,export,import,places clear,places export,show,show" ] ||
  fail "audit: $(sql "SELECT action FROM audit" | paste -sd,)"
[ "$(sql "SELECT detail FROM audit WHERE action = 'clear' AND detail LIKE '%: 4 reports'")" = "+8613800138000: 4 reports" ] ||
  fail "audit of clear: $(sql "SELECT detail FROM audit WHERE action = 'clear'")"

finish_checks
echo "labels commands on $([ -n "${ZUNO_TEST_DATABASE:-}" ] && echo PostgreSQL || echo SQLite): all checks passed"
