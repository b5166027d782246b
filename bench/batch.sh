#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Many numbers at once, on one core: numbers per CPU-second through POST /api/v1/lookup/batch
# (CSV) and through "zuno-lookupd lookup FILE", against the same numbers looked up one by one in
# one process (zuno-batch-baseline); the service's resident memory while it answers ROWS
# rows, against idle; and the p99 latency of single lookups (wrk) with no batch, then while two
# batches of ROWS rows run on the same service thread.
# Rates are per second of the process's own CPU time, so that a busy machine does not distort
# them; latencies are what a busy machine gives.
# Usage: bench/batch.sh [path/to/zuno-lookupd [path/to/zuno-batch-baseline]]
# Environment: ROWS (1000000), SERVER_CPU (1), CLIENT_CPU (0), DURATION (10s)
set -euo pipefail

lookupd=${1:-build-bench/service/zuno-lookupd}
in_process=${2:-$(dirname "$lookupd")/../bench/zuno-batch-baseline}
rows=${ROWS:-1000000}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
duration=${DURATION:-10s}
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT
. "$(dirname "$0")/../tests/support/servers.sh"

# Mobiles of many prefixes, one fixed line in ten: the same file every run (srand(1)).
awk -v rows="$rows" 'BEGIN { srand(1); n = split("130 131 132 133 134 135 136 137 138 139 150 151 152 153 155 156 157 158 159 166 170 176 177 178 180 181 182 183 184 185 186 187 188 189 191 198 199", p, " ")
  for (i = 0; i < rows; i++)
    if (i % 10 == 9) printf "0%d-%08d\n", 10 + int(rand() * 20) * 10, int(rand() * 90000000) + 10000000
    else printf "%s%08d\n", p[1 + int(rand() * n)], int(rand() * 100000000) }' >"$work/numbers"

cpu_seconds() { awk '{ print ($14 + $15) / 100 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

echo "== in process, one by one (CPU $server_cpu)"
taskset -c "$server_cpu" "$in_process" "$work/numbers"

echo "== command line"
/usr/bin/time -f '%U %S' -o "$work/time" taskset -c "$server_cpu" "$lookupd" lookup "$work/numbers" >/dev/null
awk -v rows="$rows" '{ printf "zuno-lookupd lookup: %.0f numbers per CPU-second\n", rows / ($1 + $2) }' "$work/time"

echo "== the API (one service thread on CPU $server_cpu, curl on CPU $client_cpu)"
start_listening "$work/log" taskset -c "$server_cpu" "$lookupd" --listen 127.0.0.1:0 --threads 1 \
  --batch-max-rows "$rows"
server=$started_pid address=$started_address
curl -fsS "http://$address/healthz" >/dev/null
idle=$(rss_kib "$server")
before=$(cpu_seconds "$server")
start=$(date +%s.%N)
taskset -c "$client_cpu" curl -fsS --data-binary @"$work/numbers" "http://$address/api/v1/lookup/batch" \
  -o "$work/answer" &
client=$!
peak=$idle
while kill -0 "$client" 2>/dev/null; do
  now=$(rss_kib "$server")
  [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.05
done
wait "$client"
after=$(cpu_seconds "$server")
end=$(date +%s.%N)
awk -v rows="$rows" -v cpu="$(echo "$after - $before" | bc)" -v wall="$(echo "$end - $start" | bc)" \
  'BEGIN { printf "API: %.0f numbers per CPU-second of the service (%.0f per second of wall time)\n", rows / cpu, rows / wall }'
echo "API: $(($(wc -l <"$work/answer") - 1)) rows; RSS idle $((idle / 1024)) MiB, at most $((peak / 1024)) MiB while answering (+$(((peak - idle) / 1024)) MiB)"

single() {
  taskset -c "$client_cpu" wrk -t1 -c10 -d"$duration" --latency "http://$address/iii.asp?title=13800138000" |
    awk -v label="$1" '/^ +99%/ { p99 = $2 } /^ +50%/ { p50 = $2 } /Requests\/sec/ { rps = $2 }
      END { printf "single lookups, %s: p50 %s, p99 %s, %s requests/s\n", label, p50, p99, rps }'
}
single "no batch"
batches=()
for _ in 1 2; do
  taskset -c "$client_cpu" curl -fsS --data-binary @"$work/numbers" "http://$address/api/v1/lookup/batch" \
    -o /dev/null &
  batches+=($!)
done
sleep 0.5
single "two batches of $rows rows running"
# Not a bare wait: the service is a child of this shell too.
wait "${batches[@]}"
