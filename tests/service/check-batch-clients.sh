#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Batches and uploads from ordinary HTTP clients (batch-clients.py) against the service with its
# access log.
# Usage: check-batch-clients.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
# Under AddressSanitizer freed memory waits in a quarantine of 256 MiB by default, which the
# service's RSS would count as held: a small one keeps the bound on memory meaningful there.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=8"
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT

start_lookupd "$work/log" --threads 1 --access-log
TMPDIR=$work python3 "$(dirname "$0")/batch-clients.py" "$started_address" "$started_pid" "$work/log" ||
  fail "an HTTP client's batch or upload went wrong"
first_pid=$started_pid

# With no folder for its temporary files, the service reads a batch only as fast as it answers
# it: a client that reads while it sends (curl) still gets every row, and the log says why.
seq 13800000000 13800199999 >"$work/numbers.txt"
export TMPDIR=$work/missing
start_lookupd "$work/log-missing" --threads 1
unset TMPDIR
trap 'kill $first_pid $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
rows=$(curl -sS --max-time 60 --data-binary @"$work/numbers.txt" \
  "http://$started_address/api/v1/lookup/batch" | grep -c '^138' || true)
[ "$rows" = 200000 ] || fail "no folder for temporary files: curl got $rows of 200000 rows"
grep -q 'cannot make a temporary file for a request body' "$work/log-missing" ||
  fail "no folder for temporary files: not logged"
[ "$(grep -c 'cannot make a temporary file' "$work/log-missing")" = 1 ] ||
  fail "no folder for temporary files: logged more than once for one batch"
second_pid=$started_pid

# A batch still sending when the drain's time is up is cut off, and logged as such.
start_lookupd "$work/log-drain" --threads 1 --access-log --drain-timeout 1
trap 'kill $first_pid $second_pid $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
exec 3<>"/dev/tcp/${started_address%:*}/${started_address#*:}"
printf 'POST /api/v1/lookup/batch HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n13800138000\n' >&3
sleep 0.3
kill -TERM "$started_pid"
wait "$started_pid" || true
exec 3>&-
grep -Eq '"POST /api/v1/lookup/batch HTTP/1.1" [0-9]+ ' "$work/log-drain" ||
  fail "a batch cut off at the drain's end has no access-log line: $(cat "$work/log-drain")"
finish_checks
