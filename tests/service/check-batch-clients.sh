#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Batches and uploads from ordinary HTTP clients (batch-clients.py) against the service with its
# access log.
# Usage: check-batch-clients.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
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
finish_checks
