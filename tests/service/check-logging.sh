#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Logging never stops the service: with --access-log into a pipe whose reader leaves, or whose
# reader stops reading, it goes on answering, counts the lines it drops, reports the loss once
# the log takes lines again, and still stops at SIGTERM.
# Usage: check-logging.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
lookupd_pid="" reader=""
trap 'kill -KILL $lookupd_pid $reader 2>/dev/null || true; kill -CONT $reader 2>/dev/null || true; rm -rf "$work"' EXIT
address=127.0.0.1:$(free_port)

answers() { curl -fs --max-time 1 "http://$address/$1" >/dev/null; }
dropped() { curl -fs --max-time 1 "http://$address/metrics" | sed -n 's/^zuno_log_lines_dropped_total //p' || true; }
# Starts the service with standard error into the pipe $work/log, whose reader must be there.
start() {
  "$lookupd" --listen "$address" --threads 2 --access-log 2>"$work/log" &
  lookupd_pid=$!
  for _ in $(seq 100); do answers healthz && return 0; sleep 0.05; done
  fail "the service did not start"
  exit 1
}
# Sends SIGTERM and expects the service to end within 5 s with status 0.
stops() {
  kill -TERM "$lookupd_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$lookupd_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$lookupd_pid" 2>/dev/null; then
    fail "$1: still running 5 s after SIGTERM"
    kill -KILL "$lookupd_pid"
  fi
  local status=0
  wait "$lookupd_pid" || status=$?
  lookupd_pid=""
  [ "$status" = 0 ] || fail "$1: exit status $status after SIGTERM"
}

# A reader that leaves after the first line; the journal reads the log (JOURNAL_STREAM).
mkfifo "$work/log"
head -n 1 "$work/log" >"$work/first" &
reader=$!
JOURNAL_STREAM=$(stat -c %d:%i "$work/log") start
wait "$reader" || true
reader=""
grep -q '^<6>zuno-lookupd .*listening on' "$work/first" ||
  fail "the journal's first line has no priority: $(cat "$work/first")"
for _ in $(seq 20); do
  answers 'iii.asp?title=13800138000' || { fail "no answer with the reader gone"; break; }
done
[ "$(dropped)" -gt 0 ] 2>/dev/null || fail "lines written with the reader gone are not counted"
stops "reader gone"

# A reader that stops reading, goes on, and stops again. Lines as long as a browser's make
# 1000 requests more than the pipe and the service's queue hold.
agent=$(printf 'Mozilla/5.0 (X11; Linux x86_64) %.0s' {1..6})
rm "$work/log" && mkfifo "$work/log"
cat "$work/log" >"$work/read" &
reader=$!
start
kill -STOP "$reader"
timeout 10 curl -s -A "$agent" "http://$address/healthz?[1-1000]" >/dev/null || true
# Each on a connection of its own, so that every thread answers one.
for _ in 1 2 3; do
  answers healthz || { fail "/healthz not answered within 1 s after 1000 requests into a stuck log"; break; }
done
lost=$(dropped)
[ "${lost:-0}" -gt 0 ] 2>/dev/null || fail "no line counted as dropped: '$lost'"
kill -CONT "$reader"
for _ in $(seq 50); do grep -q 'log lines dropped' "$work/read" && break; sleep 0.1; done
answers healthz && sleep 0.2
reports=$(grep -c '^zuno-lookupd: [0-9]* log lines dropped$' "$work/read" || true)
[ "$reports" = 1 ] || fail "the loss is reported $reports times, not once"
# The line of the request for the count itself may have been dropped after it was counted.
reported=$(sed -n 's/^zuno-lookupd: \([0-9]*\) log lines dropped$/\1/p' "$work/read")
[ "${reported:-0}" -ge "${lost:-1}" ] 2>/dev/null && [ "$reported" -le $((lost + 1)) ] ||
  fail "the report says $reported lines, $lost were counted"
kill -STOP "$reader"
timeout 10 curl -s -A "$agent" "http://$address/healthz?[1-1000]" >/dev/null || true
stops "reader stopped"
kill -CONT "$reader"
wait "$reader" || true
reader=""

finish_checks
echo "logging: all checks passed"
