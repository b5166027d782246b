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
. "$(dirname "$0")/labels-checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill -KILL $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
if [ -n "${ZUNO_TEST_DATABASE:-}" ]; then
  db=$ZUNO_TEST_DATABASE take_ms=1000
  sql() { psql_on "$db" "$1"; }
else
  db=$work/labels.sqlite3 take_ms=2000
  sql() { sqlite3 "$db" "$1"; }
fi
today=$(TZ=Asia/Shanghai date +%F)

labels() { "$lookupd" labels "$@" --database "$db"; }
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
  [ "$(report "127.0.$net.1" 13800138000 诈骗电话)" = 201 ] || fail "report $net"
done
for net in 1 2 3; do
  [ "$(place "127.0.$net.1" 19900001234 广东省 深圳市)" = 201 ] || fail "place $net"
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
# A list whose third line is wrong is refused whole, naming the line and what is wrong with it.
# name|third line (printf's escapes)|what the refusal says
while IFS='|' read -r name line says; do
  line=${line/DAY_AFTER_NEXT/$(TZ=Asia/Shanghai date -d '+2 days' +%F)}
  # The row's escapes are printf's to make.
  # shellcheck disable=SC2059
  printf "number,category,reporters,last_reported,source\n13600001234,诈骗电话,5,2026-11-30,x\n$line\n" >"$work/bad.csv"
  status=0
  labels import "$work/bad.csv" >/dev/null 2>"$work/import.err" || status=$?
  [ "$status" != 0 ] && grep -q "bad.csv:3: .*$says" "$work/import.err" ||
    fail "labels import, $name: status $status, $(cat -v "$work/import.err")"
done <<'EOF'
no reporters|13600001235,诈骗电话,,2026-11-30,x|reporters
a date in 2099|13600001235,诈骗电话,5,2099-01-01,x|future
a date two days ahead|13600001235,诈骗电话,5,DAY_AFTER_NEXT,x|future
a source with CR, ESC and BEL|13600001235,诈骗电话,5,2026-11-30,"a\rb\033[31mred\a"|control character
a source with a tab|13600001235,诈骗电话,5,2026-11-30,a\tb|control character
a source with DEL|13600001235,诈骗电话,5,2026-11-30,a\177b|control character
reporters past PostgreSQL's integer|13600001235,诈骗电话,2147483648,2026-11-30,x|reporters
reporters past 32 bits|13600001235,诈骗电话,4294967296,2026-11-30,x|reporters
reporters past 64 bits|13600001235,诈骗电话,18446744073709551617,2026-11-30,x|reporters
reporters negative|13600001235,诈骗电话,-1,2026-11-30,x|reporters
a source not in UTF-8|13600001235,诈骗电话,5,2026-11-30,a\377\376b|UTF-8
a source cut inside a character|13600001235,诈骗电话,5,2026-11-30,a\346\254|UTF-8
a source with an overlong slash|13600001235,诈骗电话,5,2026-11-30,a\300\257b|UTF-8
a source with a surrogate|13600001235,诈骗电话,5,2026-11-30,a\355\240\200b|UTF-8
a source with NEL (C1)|13600001235,诈骗电话,5,2026-11-30,a\302\205b|control character
a source with CSI (C1)|13600001235,诈骗电话,5,2026-11-30,a\302\2331mb|control character
a source with a line separator|13600001235,诈骗电话,5,2026-11-30,a\342\200\250b|control character
a source with a paragraph separator|13600001235,诈骗电话,5,2026-11-30,a\342\200\251b|control character
a source with a right-to-left override|13600001235,诈骗电话,5,2026-11-30,a\342\200\256b|direction
a source with a left-to-right embedding|13600001235,诈骗电话,5,2026-11-30,a\342\200\252b|direction
a source with a right-to-left isolate|13600001235,诈骗电话,5,2026-11-30,a\342\201\247b|direction
a source with a pop isolate|13600001235,诈骗电话,5,2026-11-30,a\342\201\251b|direction
EOF
[ "$(sql "SELECT count(*) FROM imported_labels")" = 0 ] || fail "a refused import left rows"
printf 'number,category,reporters,last_reported,source\n13600001235,诈骗电话,5,%s,x\n' \
  "$(TZ=Asia/Shanghai date -d tomorrow +%F)" >"$work/tomorrow.csv"
labels import "$work/tomorrow.csv" >/dev/null || fail "labels import refused tomorrow, a day ahead"
sql "DELETE FROM imported_labels" >/dev/null

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

# --- what came from outside and would begin a spreadsheet formula starts with ' in every CSV the
# service writes; the numbers it formats itself (e164) stay as they are
printf 'number,category,reporters,last_reported,source\n13500001234,诈骗电话,5,2026-11-30,=1+1\n13500001235,广告推销,6,2026-11-30,@SUM(A1)\n' >"$work/formulas.csv"
labels import "$work/formulas.csv" >/dev/null || fail "labels import of sources like formulas"
labels export | grep '^+86135' >"$work/formulas.export" || true
[ "$(cat "$work/formulas.export")" = "+8613500001234,诈骗电话,5,2026-11-30,'=1+1
+8613500001235,广告推销,6,2026-11-30,'@SUM(A1)" ] || fail "labels export of formulas: $(cat "$work/formulas.export")"
printf '=1+1\n+8613800138000\n-13800138000\n@13800138000\n' >"$work/formulas.txt"
expected="input,e164
'=1+1,
'+8613800138000,+8613800138000
'-13800138000,+8613800138000
'@13800138000,"
# first_cells: the input and e164 columns of each row, without the byte order mark.
first_cells() { sed 's/^\xEF\xBB\xBF//; s/\r$//' | cut -d, -f1,3; }
for writer in api upload command; do
  case $writer in
    api) curl -s --max-time 10 --data-binary @"$work/formulas.txt" "http://$started_address/api/v1/lookup/batch" ;;
    upload) curl -s --max-time 10 -F "file=@$work/formulas.txt" "http://$started_address/lookup/batch" ;;
    command) "$lookupd" lookup "$work/formulas.txt" ;;
  esac >"$work/formulas.answer" || true
  [ "$(first_cells <"$work/formulas.answer")" = "$expected" ] ||
    fail "$writer: cells like formulas: $(first_cells <"$work/formulas.answer")"
done
kill -TERM "$started_pid"
wait "$started_pid" || true
started_pid=""

# --- every command recorded
[ "$(sql "SELECT action FROM audit" | sort | paste -sd,)" = \
  "clear,clear,export,export,import,import,import,places clear,places export,show,show" ] ||
  fail "audit: $(sql "SELECT action FROM audit" | paste -sd,)"
[ "$(sql "SELECT detail FROM audit WHERE action = 'clear' AND detail LIKE '%: 4 reports'")" = "+8613800138000: 4 reports" ] ||
  fail "audit of clear: $(sql "SELECT detail FROM audit WHERE action = 'clear'")"

finish_checks
echo "labels commands on $([ -n "${ZUNO_TEST_DATABASE:-}" ] && echo PostgreSQL || echo SQLite): all checks passed"
