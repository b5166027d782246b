#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Many numbers at once: "zuno-lookupd lookup FILE" writes, without a server, what
# POST /api/v1/lookup/batch answers for the same file (UTF-8 turning GBK, CRLF, a header row),
# byte for byte in CSV and JSON Lines, also with a segment file and a label database that holds
# reports and places; a batch over --batch-max-rows is refused with 413 while its whole body is
# known, and answered up to the limit with a last row saying so when it is not.
# Usage: check-batch.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT

printf 'number,name\r\n13800138000,a\r\n\r\n"010-1234,5678",b\r\nabc\r\n' >"$work/numbers.csv"
printf '4008123123\n\xb1\xb1\xbe\xa9\n+86 139 0013 9000\n' >>"$work/numbers.csv"
"$lookupd" lookup "$work/numbers.csv" >"$work/from-file"
"$lookupd" lookup <"$work/numbers.csv" >"$work/from-stdin"
cmp -s "$work/from-file" "$work/from-stdin" || fail "standard input answers otherwise than the file"
[ "$(wc -l <"$work/from-file")" = 8 ] || fail "not a header and one row per number: $(cat "$work/from-file")"
grep -q '^北京,,,true,北京市,010,' "$work/from-file" || fail "the GBK line is not read as GBK"

status=0
"$lookupd" lookup "$work/missing" >/dev/null 2>"$work/error" || status=$?
[ "$status" = 1 ] && grep -q 'cannot read' "$work/error" || fail "a missing file: status $status"

start_lookupd "$work/log" --threads 1 --batch-max-rows 50
api="http://$started_address/api/v1/lookup/batch"
curl -fsS --data-binary @"$work/numbers.csv" "$api" >"$work/from-api"
cmp -s "$work/from-file" "$work/from-api" ||
  fail "the API answers otherwise than the command line: $(diff "$work/from-file" "$work/from-api")"

# The same data on both sides: a block of the segment file, a number with a community label and
# a block with a community place, each reported from three networks.
kill "$started_pid"
wait "$started_pid" 2>/dev/null || true
printf '# source: check; date: 2026-11-30\nprefix,province,city,area_code,carrier,virtual\n1921234,广东省,深圳市,,,0\n' \
  >"$work/segments.csv"
data=(--segments "$work/segments.csv" --database "$work/labels.sqlite3")
start_lookupd "$work/log" --threads 1 --batch-max-rows 50 "${data[@]}"
api="http://$started_address/api/v1/lookup/batch"
for net in 1 2 3; do
  for write in 'reports {"number":"13800138000","category":"诈骗电话"}' \
    'places {"number":"19900001234","province":"广东省","city":"珠海市"}'; do
    code=$(curl -sS -o /dev/null -w '%{http_code}' --interface "127.0.$net.1" \
      -H 'Content-Type: application/json' -d "${write#* }" "http://$started_address/api/v1/${write%% *}")
    [ "$code" = 201 ] || fail "${write%% *} from network $net: $code"
  done
done
printf '13800138000\r\n19212345678\r\n19900001234\r\n010-12345678\r\nabc\r\n' >"$work/labelled"
# format|the API's query|the command line's option
while IFS='|' read -r format query option; do
  curl -fsS --data-binary @"$work/labelled" "$api$query" >"$work/api.$format"
  # shellcheck disable=SC2086
  "$lookupd" lookup "${data[@]}" $option "$work/labelled" >"$work/command.$format" 2>"$work/command.err" ||
    fail "lookup $format with the service's data: $(cat "$work/command.err")"
  grep -q 深圳市 "$work/api.$format" && grep -q 珠海市 "$work/api.$format" &&
    grep -q 诈骗电话 "$work/api.$format" || fail "the API's $format shows no segment, place or label"
  cmp -s "$work/api.$format" "$work/command.$format" ||
    fail "$format: the command line answers otherwise than the API: $(diff <(cat -A "$work/api.$format") <(cat -A "$work/command.$format"))"
done <<'EOF'
csv||
jsonl|?format=jsonl|--format jsonl
EOF

seq 13800138000 13800138060 >"$work/61-numbers"
code=$(curl -sS -o "$work/refused" -w '%{http_code}' --data-binary @"$work/61-numbers" "$api")
[ "$code" = 413 ] && grep -q '每次最多查询 50 个号码' "$work/refused" ||
  fail "61 numbers over a limit of 50: $code $(cat "$work/refused")"
# The upload form's file over the limit: a page that says so, not the one for bodies never taken.
code=$(curl -sS -o "$work/refused-upload" -w '%{http_code}' -F "file=@$work/61-numbers" \
  "http://$started_address/lookup/batch")
[ "$code" = 413 ] && grep -q '50 个号码' "$work/refused-upload" &&
  ! grep -q '不带内容' "$work/refused-upload" ||
  fail "an upload of 61 numbers over a limit of 50: $code $(cat "$work/refused-upload")"
# More than one piece of body: rows are on their way before the count is known.
seq 13800138000 13800140000 >"$work/2001-numbers"
code=$(curl -sS -o "$work/cut" -w '%{http_code}' --data-binary @"$work/2001-numbers" "$api?format=jsonl")
[ "$code" = 200 ] && [ "$(wc -l <"$work/cut")" = 51 ] && tail -n 1 "$work/cut" | grep -q '其余未查询' ||
  fail "2001 numbers over a limit of 50: $code, $(wc -l <"$work/cut") rows"
finish_checks
