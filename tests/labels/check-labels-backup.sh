#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Backup and restore as the README tells operators, on either store: reports and places taken
# through a running service from many networks, a backup made while it keeps taking reports
# (sqlite3 .backup and the key file beside it; pg_dump -Fc), restored into a new file or a new
# database (pg_restore), and a service started on it: every report and place acknowledged before
# the backup is in its rows and in its answers' labels, and a network that reported before
# the backup is still the same reporter (the reporters' key came along).
# Usage: check-labels-backup.sh ZUNO-LOOKUPD [sqlite | DATABASE-URI]
#   sqlite: a file of its own; a URI: a database without reports, on a server where a new
#   database may be made; without either, ZUNO_TEST_DATABASE (pg-server.sh run sets it).
set -euo pipefail
lookupd=$1 db=${2:-${ZUNO_TEST_DATABASE:?give sqlite or a URI, or run me through pg-server.sh}}
. "$(dirname "$0")/../resources/checks.sh"
. "$(dirname "$0")/labels-checks.sh"
work=$(mktemp -d)
started_pid="" load=""
trap 'kill -KILL $started_pid $load 2>/dev/null || true; rm -rf "$work"' EXIT
if [ "$db" = sqlite ]; then
  store=sqlite db=$work/labels.sqlite3 restored=$work/restored.sqlite3
  query_on() { sqlite3 "$1" "$2"; }
else
  store=pg restored_name=zuno_restored_$$
  # A dbname parameter wins over the URI's path.
  case "$db" in *\?*) restored="$db&dbname=$restored_name" ;; *) restored="$db?dbname=$restored_name" ;; esac
  query_on() { psql_on "$@"; }
  [ "$(query_on "$db" "SELECT to_regclass('reports') IS NULL")" = t ] ||
    [ "$(query_on "$db" 'SELECT count(*) FROM reports')" = 0 ] || { echo "$db already holds reports" >&2; exit 2; }
  trap 'kill -KILL $started_pid $load 2>/dev/null || true; rm -rf "$work"
        psql_on "$db" "DROP DATABASE IF EXISTS $restored_name WITH (FORCE)" 2>/dev/null || true' EXIT
fi

# answer NUMBER: the label's category and reporters, the place and where it came from, then
# the whole label.
answer() {
  curl -s --max-time 5 "http://$started_address/api/v1/lookup?number=$1" | python3 -c 'import json, sys
a = json.load(sys.stdin); l = a["label"]
print((l["category"] + " " + str(l["reporters"])) if l else "-", a["location"], a["locationSource"],
      json.dumps(l, ensure_ascii=False, sort_keys=True))'
}
# ack NUMBER NETWORK STATUS: one line a report, the comment it carries is NUMBER/NETWORK.
ack() { echo "$1/$2 $3" >>"$work/acks"; }

start_lookupd "$work/before.log" --database "$db"
: >"$work/acks"
# Five numbers, each reported by its own mix of networks; three networks agree on a place.
for n in 1 2 3 4 5; do
  for net in $(seq 1 $((n + 2))); do
    category=$([ "$n" = 5 ] && [ "$net" -le 3 ] && echo 正常来电 || echo $([ $((n % 2)) = 0 ] && echo 诈骗电话 || echo 骚扰电话))
    ack "1380000000$n" "$net" "$(report "127.0.$net.1" "1380000000$n" "$category" "1380000000$n/$net")"
  done
done
for net in 1 2 3; do
  [ "$(place "127.0.$net.1" 19912345678 广东省 深圳市)" = 201 ] || fail "a place from network $net not taken"
done
grep -qv ' 201$' "$work/acks" && fail "reports before the backup not taken: $(grep -v ' 201$' "$work/acks")"
# A network reports one number again: replaced, not a second reporter.
[ "$(report 127.0.1.1 13800000001 诈骗电话 13800000001/1)" = 200 ] || fail "a network's second report did not replace its first"

expected() {
  for n in 1 2 3 4 5; do echo "1380000000$n $(answer "1380000000$n")"; done
  echo "19912345678 $(answer 19912345678)"
}
expected >"$work/answers-before"
grep -q '^13800000003 骚扰电话 5 ' "$work/answers-before" && grep -q '^19912345678 - 广东省深圳市 community null$' "$work/answers-before" ||
  fail "the answers before the backup are not what the reports make: $(cat "$work/answers-before")"

# More reports keep coming while the backup is made.
(
  for i in $(seq 1 400); do
    net=$((i % 200 + 10))
    echo "1390000$(printf %04d "$i")/$net $(report "127.0.$net.1" "1390000$(printf %04d "$i")" 广告推销 "1390000$(printf %04d "$i")/$net")"
  done >>"$work/acks"
) &
load=$!
for _ in $(seq 100); do [ "$(wc -l <"$work/acks")" -ge 60 ] && break; sleep 0.02; done
# Whatever was acknowledged before the backup began must come back.
grep ' 20[01]$' "$work/acks" | cut -d' ' -f1 | sort >"$work/acknowledged"
if [ $store = sqlite ]; then
  sqlite3 "$db" ".backup '$work/backup.sqlite3'" || fail "sqlite3 .backup"
  cp -p "$db.key" "$work/backup.sqlite3.key"
else
  pg_dump -Fc -d "$db" -f "$work/backup.dump" || fail "pg_dump"
fi
during=$(wc -l <"$work/acks")
wait "$load"
load=""
[ "$(wc -l <"$work/acks")" -gt "$during" ] || fail "the backup did not overlap the reports: it began after the last"
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

# Restored into a new file or database, as the README says.
if [ $store = sqlite ]; then
  cp "$work/backup.sqlite3" "$restored"
  install -m 600 "$work/backup.sqlite3.key" "$restored.key"
else
  query_on "$db" "CREATE DATABASE $restored_name" >/dev/null
  pg_restore --exit-on-error --single-transaction --no-owner -d "$restored" "$work/backup.dump" || fail "pg_restore"
fi
query_on "$restored" 'SELECT comment FROM reports' | sort >"$work/restored-rows"
lost=$(comm -23 "$work/acknowledged" "$work/restored-rows" | wc -l)
[ "$lost" = 0 ] || fail "$lost of $(wc -l <"$work/acknowledged") reports acknowledged before the backup are not restored"
[ "$(query_on "$restored" "SELECT count(*) FROM place_reports WHERE block = '1991234'")" = 3 ] ||
  fail "the places are not restored"

start_lookupd "$work/restored.log" --database "$restored"
expected >"$work/answers-after"
diff "$work/answers-before" "$work/answers-after" >&2 || fail "the restored service answers otherwise"
# The same networks are the same reporters: their reports replace, a new network's adds.
[ "$(report 127.0.2.1 13800000002 骚扰电话 again)" = 200 ] || fail "a network that reported before the backup counts as a new reporter"
[ "$(place 127.0.1.1 19912345678 广东省 广州市)" = 200 ] || fail "a network's place from before the backup counts as new"
[ "$(report 127.0.250.1 13800000002 诈骗电话 new)" = 201 ] || fail "a new network's report is not a new one"
[ "$(query_on "$restored" "SELECT count(*) FROM reports WHERE number = '+8613800000002'")" = 5 ] ||
  fail "the restored database holds one network's reports twice"
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

finish_checks
echo "labels backup ($store): $(wc -l <"$work/acknowledged") acknowledged before the backup, all restored"
