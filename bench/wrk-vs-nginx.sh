#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Requests per second and p99 latency of zuno-lookupd on one lookup, against Debian's nginx
# serving the same reply bytes as a static file, measured in the same run, round after round,
# in alternating order; then the median of each. zuno-lookupd is measured as it is, while
# /metrics is scraped every second, and with --access-log (to a pipe, as to journald).
#
# Usage: bench/wrk-vs-nginx.sh [path/to/zuno-lookupd]
# Environment: ROUNDS (3), DURATION (10s), CONNECTIONS (50), WORKERS (1: nginx worker
# processes and zuno-lookupd threads alike, one core each), TITLE (13800138000).
set -euo pipefail

lookupd=${1:-build-bench/service/zuno-lookupd}
rounds=${ROUNDS:-3}
duration=${DURATION:-10s}
connections=${CONNECTIONS:-50}
workers=${WORKERS:-1}
title=${TITLE:-13800138000}

for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: make bench-deps" >&2; exit 2; }
done
[ -x "$lookupd" ] || { echo "no zuno-lookupd at $lookupd: build it first" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/zuno-wrk.XXXXXX)
server_pids=()
scraper_pid=""
cleanup() {
  [ -n "$scraper_pid" ] && kill "$scraper_pid" 2>/dev/null
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/servers.sh"

# zuno-lookupd with standard error through a pipe, as to journald; only its first lines are kept.
piped_lookupd() {
  exec "$lookupd" --listen 127.0.0.1:0 --threads "$workers" "$@" 2> >(sed -u 5q >&2; cat >/dev/null)
}
for name in lookupd scraped logged; do
  start_server "$name" piped_lookupd $([ "$name" = logged ] && echo --access-log)
done
lookupd_url=${url[lookupd]}

# The same bytes as a static file.
mkdir -p "$work/www"
curl -fsS -o "$work/www/iii.asp" "${lookupd_url}iii.asp?title=$title"
start_nginx "$workers"
nginx_url=${url[nginx]}

cmp -s "$work/www/iii.asp" <(curl -fsS "${nginx_url}iii.asp?title=$title") ||
  { echo "nginx does not serve the same bytes" >&2; exit 1; }

# Prints "requests/s p99-in-ms" for one wrk run.
measure() {
  local out rps p99
  out=$(wrk -t1 -c"$connections" -d"$duration" --latency "$1")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p99=$(p99_ms <<<"$out")
  if grep -q 'Non-2xx\|Socket errors' <<<"$out"; then
    grep 'Non-2xx\|Socket errors' <<<"$out" >&2
  fi
  echo "$rps $p99"
}

# Scrapes the "scraped" instance's metrics every second, as Prometheus would.
(while sleep 1; do curl -fsS -o /dev/null "${url[scraped]}metrics"; done) &
scraper_pid=$!

echo "wrk -t1 -c$connections -d$duration, $workers worker(s) each, GET /iii.asp?title=$title" \
     "($(stat -c %s "$work/www/iii.asp") bytes)"
targets=(nginx lookupd scraped logged)
url[nginx]=$nginx_url
declare -A rps p99
printf '%-6s' round
for target in "${targets[@]}"; do printf ' %12s %8s' "$target/s" p99_ms; done
echo
for round in $(seq "$rounds"); do
  # Alternate the order so that none always gets the cooler machine.
  order=("${targets[@]}")
  (( round % 2 )) || order=(logged scraped lookupd nginx)
  for target in "${order[@]}"; do
    read -r r p < <(measure "${url[$target]}iii.asp?title=$title")
    rps[$target]+="$r " p99[$target]+="$p "
  done
  printf '%-6s' "$round"
  for target in "${targets[@]}"; do
    printf ' %12s %8s' "$(awk '{print $NF}' <<<"${rps[$target]}")" "$(awk '{print $NF}' <<<"${p99[$target]}")"
  done
  echo
done

n=$(median "${rps[nginx]}")
echo "medians of $rounds rounds:"
for target in "${targets[@]}"; do
  m=$(median "${rps[$target]}")
  printf '  %-8s %12s req/s  p99 %6s ms  %5s x nginx\n' "$target" "$m" "$(median "${p99[$target]}")" \
    "$(ratio "$m" "$n")"
done
