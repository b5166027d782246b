#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions that zuno-lookupd executes in user space per request, counted by callgrind:
# unlike requests per second, the count does not depend on what else the machine is doing, so
# two builds of the service (say, with and without a change) compare well on a shared machine.
# Kernel time (the system calls) is not counted: bench/profile-lookupd.sh shows its share.
# Each build is measured on one repeated number and on NUMBERS different ones, after a warm-up,
# with the counters zeroed in between.
#
# Usage: bench/instructions-per-request.sh path/to/zuno-lookupd [another/zuno-lookupd...]
# Environment: NUMBERS (10000), DURATION (5s), CONNECTIONS (10), CLIENT_CPU (0), SERVER_CPU (1).
# LOOKUP_PATH (/iii.asp?title=) measures another route: /api/v1/lookup?number= for the JSON API.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
numbers=${NUMBERS:-10000}
duration=${DURATION:-5s}
connections=${CONNECTIONS:-10}
client_cpu=${CLIENT_CPU:-0}
server_cpu=${SERVER_CPU:-1}

[ $# -gt 0 ] || { echo "usage: $0 path/to/zuno-lookupd [another...]" >&2; exit 2; }
for tool in wrk valgrind callgrind_control taskset; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done
for program in "$@"; do
  [ -x "$program" ] || { echo "no program at $program: build it first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/zuno-instructions.XXXXXX)
started_pid=""
cleanup() {
  [ -n "$started_pid" ] && kill "$started_pid" 2>/dev/null && wait "$started_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/../tests/support/servers.sh"

# Requests answered in one wrk run: $1 the URL, $2 how many numbers, $3 the duration.
requests_of() {
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d"$3" -s "$here/numbers.lua" "$1" -- "$2" |
    awk '/requests in/ { print $1 }'
}

printf '%-50s %8s %9s %14s\n' program numbers requests instr/request
for program in "$@"; do
  for count in 1 "$numbers"; do
    rm -f "$work"/callgrind.*
    start_listening "$work/server.log" taskset -c "$server_cpu" valgrind --tool=callgrind \
      --callgrind-out-file="$work/callgrind.%p" "$program" --listen 127.0.0.1:0 --threads 1
    url=http://$started_address/
    requests_of "$url" "$count" 2s >/dev/null
    callgrind_control --zero "$started_pid" >/dev/null 2>&1
    requests=$(requests_of "$url" "$count" "$duration")
    callgrind_control --dump "$started_pid" >/dev/null 2>&1
    kill "$started_pid"
    wait "$started_pid" 2>/dev/null || true
    started_pid=""
    # The dump after zeroing is the file with a part number.
    instructions=$(awk '/^summary:/ { print $2 }' "$work"/callgrind.*.1)
    printf '%-50s %8s %9s %14.0f\n' "$program" "$count" "$requests" \
      "$(awk -v i="$instructions" -v r="$requests" 'BEGIN { print i / r }')"
  done
done
