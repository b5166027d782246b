#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Where zuno-lookupd's time goes under load: the service on one core (--threads 1, SERVER_CPU),
# wrk on another (CLIENT_CPU) asking NUMBERS different numbers (bench/numbers.lua), and perf
# sampling the service's CPU clock with call graphs for DURATION seconds; then the shares by
# kind of work (bench/profile_shares.py). cpu-clock is a software event, so this works in a VM
# without hardware counters.
#
# Usage: bench/profile-lookupd.sh [path/to/zuno-lookupd]
# Environment: DURATION (8), NUMBERS (10000), CONNECTIONS (50), FREQUENCY (1000 samples/s),
# SERVER_CPU (1), CLIENT_CPU (0), KEEP (a folder to keep perf.data and perf script's output in).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
lookupd=${1:-build-bench/service/zuno-lookupd}
duration=${DURATION:-8}
numbers=${NUMBERS:-10000}
connections=${CONNECTIONS:-50}
frequency=${FREQUENCY:-1000}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}

for tool in wrk perf taskset python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool: make bench-deps" >&2; exit 2; }
done
[ -x "$lookupd" ] || { echo "no zuno-lookupd at $lookupd: build it first" >&2; exit 2; }

work=$(mktemp -d /tmp/zuno-profile.XXXXXX)
started_pid=""
wrk_pid=""
cleanup() {
  [ -n "$wrk_pid" ] && kill "$wrk_pid" 2>/dev/null && wait "$wrk_pid" 2>/dev/null
  [ -n "$started_pid" ] && kill "$started_pid" 2>/dev/null && wait "$started_pid" 2>/dev/null
  if [ -n "${KEEP:-}" ]; then mkdir -p "$KEEP" && cp "$work"/perf.* "$KEEP"/ 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

. "$here/../tests/support/servers.sh"
start_listening "$work/lookupd.log" taskset -c "$server_cpu" "$lookupd" --listen 127.0.0.1:0 --threads 1
url=http://$started_address/

wrk_for() {
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d"$1" -s "$here/numbers.lua" "$url" -- "$numbers"
}
wrk_for 2s >/dev/null  # warm: the first lookups of each kind load libphonenumber's data
wrk_for "$((duration + 3))s" >"$work/wrk.out" &
wrk_pid=$!
sleep 1
perf record -q -e cpu-clock -F "$frequency" --call-graph dwarf,16384 -p "$started_pid" \
  -o "$work/perf.data" -- sleep "$duration" 2>"$work/perf.log" ||
  { cat "$work/perf.log" >&2; echo "perf cannot sample here" >&2; exit 1; }
wait "$wrk_pid"
wrk_pid=""
echo "zuno-lookupd --threads 1 on CPU $server_cpu under wrk -c$connections ($numbers numbers):" \
     "$(awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.out") req/s while sampled;" \
     "load $(cut -d' ' -f1-3 /proc/loadavg)"
perf script -i "$work/perf.data" -F comm,tid,ip,sym,dso 2>/dev/null >"$work/perf.script"
python3 "$here/profile_shares.py" <"$work/perf.script"
