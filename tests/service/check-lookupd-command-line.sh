#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# zuno-lookupd ends at once and says why where it cannot serve: status 2 for a command line it
# cannot follow, 1 for limits of the machine it cannot start under, and it never says it listens.
# Started without downloads, it says that no package is offered.
# Usage: check-lookupd-command-line.sh ZUNO-LOOKUPD VERSION
set -euo pipefail
lookupd=$1 version=$2
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
trap 'kill "${started_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# expect STATUS SAID LIMIT ARGUMENT...: runs the program after the shell command LIMIT.
expect() {
  local status=$1 said=$2 limit=$3 ended=0 output
  shift 3
  output=$(sh -c "$limit && exec \"\$0\" \"\$@\"" "$lookupd" "$@" 2>&1) || ended=$?
  [ "$ended" = "$status" ] || fail "$*: status $ended, not $status: $output"
  grep -qF -- "$said" <<<"$output" || fail "$*: does not say '$said': $output"
  ! grep -q 'listening on' <<<"$output" || fail "$*: listens"
}
expect 0 "zuno-lookupd $version" : --version
expect 2 'unknown option "--port"' : --port 80
expect 2 '--listen needs a value' : --listen
expect 2 'port must be a number' : --listen 127.0.0.1:http
expect 2 'port must be a number' : --listen=127.0.0.1:65536
expect 2 '[ADDRESS]:PORT' : --listen ::1:8080
expect 2 'bad --threads "0"' : --threads 0
expect 2 '--access-log takes no value' : --access-log=yes
expect 2 'bad --metrics-from "10.0.0.0/33"' : --metrics-from 10.0.0.0/33
expect 2 'bad --cors-origin "https://partner.example/reports"' : --cors-origin https://partner.example/reports
expect 2 'bad --cors-origin "partner.example"' : --cors-origin partner.example
expect 2 'cannot offer downloads from "/nonexistent/zuno"' : \
  --listen 127.0.0.1:0 --downloads /nonexistent/zuno
expect 2 'cannot listen on 192.0.2.1:8080' : --listen 192.0.2.1:8080
# Descriptors from systemd that are not there: no falling back to --listen (not this machine's).
expect 2 'LISTEN_FDS=100000 does not match the descriptors' \
  'export LISTEN_PID=$$ LISTEN_FDS=100000' --listen 192.0.2.1:8080
expect 2 'LISTEN_FDS=1 does not match the descriptors' \
  'exec 3<&- && export LISTEN_PID=$$ LISTEN_FDS=1' --listen 192.0.2.1:8080
expect 2 'descriptor 3 from systemd is no listening TCP socket' \
  'exec 3</dev/null && export LISTEN_PID=$$ LISTEN_FDS=1' --listen 192.0.2.1:8080
# The lookup command: only what decides its rows, and its data refused before any row.
printf '# source: bad; date: 2026-11-30\nprefix,province,city,area_code,carrier,virtual\n19,广东省,,,,\n' \
  >"$work/bad-segments.csv"
: >"$work/empty"
expect 2 'option --threads does not go with lookup' : lookup --threads 2 "$work/empty"
expect 2 'option --listen does not go with lookup' : lookup --listen=127.0.0.1:0 "$work/empty"
expect 2 'bad --format "xml": give csv or jsonl' : lookup --format xml "$work/empty"
expect 2 'lookup takes one file' : lookup "$work/empty" -
expect 2 'unknown option "--format"' : --format jsonl --listen 127.0.0.1:0
expect 1 'bad-segments.csv:3: bad prefix "19"' : lookup --segments "$work/bad-segments.csv" "$work/empty"
expect 1 '/nonexistent/zuno/labels.sqlite3' : lookup --database /nonexistent/zuno/labels.sqlite3 "$work/empty"
expect 0 'input,number,e164' : lookup --format=csv --label-window-days 30 "$work/empty"
start_lookupd "$work/log"
# Its visitors only read that no package is offered; the operator reads why, after the start.
for _ in $(seq 40); do grep -q 'no package is offered' "$work/log" && break; sleep 0.05; done
grep -q '^zuno-lookupd: no --downloads folder: no package is offered$' "$work/log" ||
  fail "no line says that no package is offered: $(cat "$work/log")"
expect 2 'Address already in use' : --listen "$started_address"
# AddressSanitizer needs more address space and descriptors than these limits leave. ldd is read
# whole: grep -q leaving at the first match would kill it with SIGPIPE, which pipefail reports.
if [[ "$(ldd "$lookupd")" != *libasan* ]]; then
  expect 1 'Too many open files for 64 threads' 'ulimit -n 64' --threads 64 --listen 127.0.0.1:0
  expect 1 'cannot start server thread' 'ulimit -v 300000' --threads 64 --listen 127.0.0.1:0
fi

finish_checks
echo "command line: all checks passed"
