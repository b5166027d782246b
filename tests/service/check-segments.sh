#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# zuno-lookupd with --segments: a malformed file ends the start with status 1 and one line naming
# its line and reason; while requests keep coming, a rewritten file (noticed by itself) and SIGHUP
# swap the data in without a failed request, and a malformed rewrite keeps the data in force.
# Usage: check-segments.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
trap 'kill "${started_pid:-}" "${load_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# segments FILE CITY [DATE]: a file placing 192 1234 xxxx in CITY, replaced whole (a new inode).
segments() {
  printf '# source: check; date: %s\nprefix,province,city,area_code,carrier,virtual\n1921234,广东省,%s,,,0\n' \
    "${3:-2026-11-30}" "$2" >"$1.new"
  mv "$1.new" "$1"
}
location() {
  curl -s "http://$started_address/api/v1/lookup?number=19212345678" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["location"])'
}
# await_log TEXT: the log says TEXT within 5 s.
await_log() {
  for _ in $(seq 100); do grep -qF -- "$1" "$work/log" && return 0; sleep 0.05; done
  fail "the log never says '$1': $(cat "$work/log")"
}
# await_answer TEXT: an answer under load says TEXT within 20 s (a busy machine may start the
# load late, and the place must be seen before it changes).
await_answer() {
  for _ in $(seq 400); do grep -qF -- "$1" "$work/answers" 2>/dev/null && return 0; sleep 0.05; done
  fail "no answer under load said '$1'"
}

printf '# source: bad; date: 2026-11-30\nprefix,province,city,area_code,carrier,virtual\n19,广东省,,,,\n' \
  >"$work/bad.csv"
status=0
said=$("$lookupd" --listen 127.0.0.1:0 --segments "$work/bad.csv" 2>&1) || status=$?
[ "$status" = 1 ] || fail "a malformed file: status $status, not 1: $said"
[ "$(wc -l <<<"$said")" = 1 ] || fail "a malformed file: more than one line: $said"
grep -qF "bad.csv:3: bad prefix \"19\"" <<<"$said" || fail "a malformed file: $said"

segments "$work/s.csv" 深圳市
start_lookupd "$work/log" --threads 2 --segments "$work/s.csv"
[ "$(location)" = 广东省深圳市 ] || fail "not the file's place: $(location)"
# The data sets with their dates: the API's about, the home page.
curl -s "http://$started_address/api/v1/about" | python3 -c '
import json, sys
about = json.load(sys.stdin)
kinds = [d["kind"] for d in about["data"]]
assert kinds == ["geocoding", "carriers", "segments"], kinds
assert about["data"][0]["version"], about
assert about["data"][2]["name"] == "check" and about["data"][2]["date"] == "2026-11-30", about
' || fail "about does not list the data sets"
grep -qF '<td>check</td>' <<<"$(curl -s "http://$started_address/")" ||
  fail "the home page does not list the segment file"

# Requests on 4 kept-alive connections at a time until the data has changed three times.
url="http://$started_address/api/v1/lookup?number=19212345678"
urls=$(for _ in $(seq 100); do printf '%s ' "$url"; done)
(for _ in $(seq 4); do
  for _ in $(seq 300); do
    [ -e "$work/stop" ] && break
    # shellcheck disable=SC2086
    curl -s -w '\nstatus %{http_code}\n' $urls
  done &
done
wait) >"$work/answers" &
load_pid=$!
await_answer 广东省深圳市
segments "$work/s.csv" 广州市
await_log "segments reloaded (a file changed)"
sed -i 's/广州市/珠海市/' "$work/s.csv"
kill -HUP "$started_pid"
await_log "segments reloaded (SIGHUP)"
[ "$(location)" = 广东省珠海市 ] || fail "not the reloaded place: $(location)"
segments "$work/s.csv" 佛山市 2026-13-01
await_log "segments not reloaded (a file changed)"
touch "$work/stop"
wait "$load_pid"
load_pid=
[ "$(location)" = 广东省珠海市 ] || fail "a malformed file replaced the data: $(location)"
# Two reloads taken, one refused: the metrics count the one.
failed=$(curl -s "http://$started_address/metrics" | sed -n 's/^zuno_segment_reloads_failed_total //p')
[ "$failed" = 1 ] || fail "failed reloads counted as ${failed:-no series}, not 1"
answered=$(grep -c '^status ' "$work/answers")
[ "$answered" -ge 400 ] || fail "only $answered answers"
[ "$(grep -c '^status 200$' "$work/answers")" = "$answered" ] ||
  fail "failed requests: $(grep '^status ' "$work/answers" | sort | uniq -c)"
for city in 深圳市 珠海市; do
  grep -q "\"广东省$city\"" "$work/answers" || fail "no answer under load said $city"
done
kill -0 "$started_pid" || fail "the service ended"

finish_checks
echo "segments: all checks passed"
