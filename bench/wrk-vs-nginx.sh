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

work=$(mktemp -d /tmp/zuno-wrk.XXXXXX)
lookupd_pids=()
scraper_pid=""
nginx_pid=""
cleanup() {
  [ -n "$scraper_pid" ] && kill "$scraper_pid" 2>/dev/null
  for pid in "${lookupd_pids[@]}"; do kill "$pid" 2>/dev/null; done
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# zuno-lookupd on a port of the system's choosing; it says which. $1: a name, then options.
declare -A url
start_lookupd() {
  local name=$1
  shift
  # Standard error goes through a pipe, as to journald; only its first lines are kept.
  "$lookupd" --listen 127.0.0.1:0 --threads "$workers" "$@" \
    2> >(sed -u 5q >"$work/$name.log"; cat >/dev/null) &
  lookupd_pids+=($!)
  for _ in $(seq 100); do
    grep -q 'listening on' "$work/$name.log" 2>/dev/null && break
    sleep 0.1
  done
  url[$name]=$(grep -o 'http://[^ ]*' "$work/$name.log" | head -1)
  [ -n "${url[$name]}" ] || { cat "$work/$name.log" >&2; exit 1; }
}
lookupd_pids=()
start_lookupd lookupd
start_lookupd scraped
start_lookupd logged --access-log
lookupd_url=${url[lookupd]}

# The same bytes as a static file. nginx's workers drop to nobody, so everything is readable.
mkdir -p "$work/www" "$work/logs" "$work/tmp"
curl -fsS -o "$work/www/iii.asp" "${lookupd_url}iii.asp?title=$title"
chmod -R a+rX "$work"

start_nginx() {
  local port=$1
  cat >"$work/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  keepalive_requests 1000000;
  keepalive_timeout 10s;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location = /iii.asp { types { } default_type "text/plain; charset=gb2312"; }
  }
}
CONF
  nginx -p "$work" -c "$work/nginx.conf" 2>>"$work/logs/start.log" &
  nginx_pid=$!
  for _ in $(seq 50); do
    curl -fsS -o /dev/null "http://127.0.0.1:$port/iii.asp" 2>/dev/null && return 0
    kill -0 "$nginx_pid" 2>/dev/null || { nginx_pid=""; return 1; }
    sleep 0.1
  done
  return 1
}
nginx_port=""
for port in $(shuf -i 20000-60000 -n 20); do
  if start_nginx "$port"; then nginx_port=$port; break; fi
done
[ -n "$nginx_port" ] || { cat "$work/logs/"*.log >&2; exit 1; }
nginx_url="http://127.0.0.1:$nginx_port/"

cmp -s "$work/www/iii.asp" <(curl -fsS "${nginx_url}iii.asp?title=$title") ||
  { echo "nginx does not serve the same bytes" >&2; exit 1; }

# Prints "requests/s p99-in-ms" for one wrk run.
measure() {
  local out rps p99
  out=$(wrk -t1 -c"$connections" -d"$duration" --latency "$1")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {v = $2;
      if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 }
      else if (v ~ /ms$/) { sub(/ms$/, "", v) }
      else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 }
      printf "%.3f", v }' <<<"$out")
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

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
n=$(median "${rps[nginx]}")
echo "medians of $rounds rounds:"
for target in "${targets[@]}"; do
  m=$(median "${rps[$target]}")
  printf '  %-8s %12s req/s  p99 %6s ms  %5s x nginx\n' "$target" "$m" "$(median "${p99[$target]}")" \
    "$(awk -v a="$m" -v b="$n" 'BEGIN { printf "%.2f", a / b }')"
done
