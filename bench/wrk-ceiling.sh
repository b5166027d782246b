#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Requests per second and p99 latency of zuno-lookupd on one core, against what one core can
# do: Debian's nginx serving the same reply body as a static file, and the ceiling, a bare epoll
# responder answering every request head with canned bytes of the size of the service's reply.
# zuno-lookupd is measured on one repeated number and on NUMBERS different ones (people look up
# different numbers all day). Every server runs on SERVER_CPU and wrk on CLIENT_CPU; the
# targets take turns, round after round in alternating order, and the medians are compared.
# The servers' and wrk's CPU use is shown: a server below ~95% was not the bottleneck.
#
# Usage: bench/wrk-ceiling.sh [path/to/zuno-lookupd [path/to/zuno-epoll-responder]]
# Environment: ROUNDS (3), DURATION (5s), CONNECTIONS (50), NUMBERS (10000), SERVER_CPU (1),
# CLIENT_CPU (0), TITLE (13800138000, the repeated number, for the captured reply);
# COMPARE=path/to/another/zuno-lookupd measures a second build of the service alongside
# (e.g. one built with a change), labelled COMPARE_LABEL (other).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
lookupd=${1:-build-bench/service/zuno-lookupd}
responder=${2:-$(dirname "$lookupd")/../bench/zuno-epoll-responder}
rounds=${ROUNDS:-3}
duration=${DURATION:-5s}
connections=${CONNECTIONS:-50}
numbers=${NUMBERS:-10000}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
title=${TITLE:-13800138000}
compare=${COMPARE:-}
compare_label=${COMPARE_LABEL:-other}
script=$here/numbers.lua

for tool in wrk nginx curl taskset; do
  command -v "$tool" >/dev/null || { echo "missing $tool: make bench-deps" >&2; exit 2; }
done
for program in "$lookupd" "$responder" ${compare:+"$compare"}; do
  [ -x "$program" ] || { echo "no program at $program: build it first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/zuno-ceiling.XXXXXX)
server_pids=()
cleanup() {
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/servers.sh"

start_server lookupd "$lookupd" --listen 127.0.0.1:0 --threads 1
[ -n "$compare" ] && start_server "$compare_label" "$compare" --listen 127.0.0.1:0 --threads 1

# The service's reply as it goes on the wire, head and body (its Date changes, its size not);
# the body is what nginx serves.
mkdir -p "$work/www"
curl -fsS -D "$work/head" -o "$work/www/iii.asp" "${url[lookupd]}iii.asp?title=$title"
cat "$work/head" "$work/www/iii.asp" >"$work/reply"

start_server ceiling "$responder" "$work/reply"

start_nginx 1 taskset -c "$server_cpu"

curl -fsS "${url[nginx]}iii.asp?title=$title" | cmp -s - "$work/www/iii.asp" ||
  { echo "nginx does not serve the same body" >&2; exit 1; }
curl -fsS -i "${url[ceiling]}" | cmp -s - "$work/reply" ||
  { echo "the responder does not send the captured reply" >&2; exit 1; }

# One wrk run against a target: "requests/s p99-in-ms server-cpu-% wrk-cpu-% requests-per-server-
# CPU-second". On a shared machine a server gets only part of its core, so the last one, what a
# request costs the server, varies less from run to run than requests per second.
# $1: the target's name, $2: how many different numbers it is asked.
measure() {
  local name=$1 count=$2 out before after seconds wrk_cpu
  before=$(cpu_ns "${pid[$name]}")
  seconds=$(date +%s.%N)
  out=$( { TIMEFORMAT=%P; time taskset -c "$client_cpu" wrk -t1 -c"$connections" -d"$duration" \
      --latency -s "$script" "${url[$name]}" -- "$count" >"$work/wrk.out"; } 2>&1)
  wrk_cpu=$(tail -1 <<<"$out")
  seconds=$(awk -v a="$seconds" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  after=$(cpu_ns "${pid[$name]}")
  if grep -q 'Non-2xx\|Socket errors' "$work/wrk.out"; then
    echo "$name: $(grep 'Non-2xx\|Socket errors' "$work/wrk.out" | tr '\n' ' ')" >&2
  fi
  awk -v ns=$((after - before)) -v s="$seconds" -v w="$wrk_cpu" -v p99="$(p99_ms <"$work/wrk.out")" '
    /^Requests\/sec:/ { rps = $2 }
    / requests in / { requests = $1 }
    END { printf "%s %s %.0f %.0f %.0f\n", rps, p99, 100 * ns / 1e9 / s, w, requests / (ns / 1e9) }
    ' "$work/wrk.out"
}

# Targets: a name, the server it runs on, and how many numbers it is asked.
targets=(service-1 service-n)
declare -A server_of count_of
server_of[service-1]=lookupd count_of[service-1]=1
server_of[service-n]=lookupd count_of[service-n]=$numbers
if [ -n "$compare" ]; then
  targets+=("$compare_label-1" "$compare_label-n")
  server_of[$compare_label-1]=$compare_label count_of[$compare_label-1]=1
  server_of[$compare_label-n]=$compare_label count_of[$compare_label-n]=$numbers
fi
targets+=(nginx ceiling)
server_of[nginx]=nginx count_of[nginx]=$numbers
server_of[ceiling]=ceiling count_of[ceiling]=$numbers

echo "zuno-lookupd --threads 1, nginx 1 worker and the epoll responder on CPU $server_cpu;" \
     "wrk -t1 -c$connections -d$duration on CPU $client_cpu"
echo "reply: $(stat -c %s "$work/reply") bytes ($(stat -c %s "$work/www/iii.asp") of body);" \
     "service-1 asks $title, the others $numbers different numbers in turn"
echo "load before: $(uptime | sed 's/.*load average/load average/')"
taskset -c "$client_cpu" wrk -t1 -c4 -d2s -s "$script" "${url[lookupd]}" -- "$numbers" check |
  grep 'answers naming' | sed 's/^/numbers: /'
# One short run each first, so that no target meets cold caches in the first round.
for target in "${targets[@]}"; do
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d1s -s "$script" \
    "${url[${server_of[$target]}]}" -- "${count_of[$target]}" >/dev/null
done

declare -A rps p99 scpu wcpu cost
printf '%-5s %-10s %10s %8s %10s %7s %10s\n' round target req/s p99_ms server_cpu wrk_cpu req/cpu-s
for round in $(seq "$rounds"); do
  # Alternate the order so that none always gets the cooler machine.
  order=("${targets[@]}")
  if (( round % 2 == 0 )); then
    order=()
    for ((i = ${#targets[@]} - 1; i >= 0; i--)); do order+=("${targets[i]}"); done
  fi
  for target in "${order[@]}"; do
    pid[$target]=${pid[${server_of[$target]}]} url[$target]=${url[${server_of[$target]}]}
    read -r r p s w c < <(measure "$target" "${count_of[$target]}")
    rps[$target]+="$r " p99[$target]+="$p " scpu[$target]+="$s " wcpu[$target]+="$w " cost[$target]+="$c "
    printf '%-5s %-10s %10s %8s %9s%% %6s%% %10s\n' "$round" "$target" "$r" "$p" "$s" "$w" "$c"
  done
done

declare -A m c
echo "medians of $rounds rounds (req/cpu-s: requests per second of the server's CPU time):"
printf '  %-10s %12s %9s %11s %8s %12s\n' target req/s p99_ms server_cpu wrk_cpu req/cpu-s
for target in "${targets[@]}"; do
  m[$target]=$(median "${rps[$target]}")
  c[$target]=$(median "${cost[$target]}")
  printf '  %-10s %12s %9s %10s%% %7s%% %12s\n' "$target" "${m[$target]}" \
    "$(median "${p99[$target]}")" "$(median "${scpu[$target]}")" "$(median "${wcpu[$target]}")" \
    "${c[$target]}"
done
echo "ratios of the medians, req/s (req/cpu-s):"
for target in "${targets[@]}"; do
  case $target in nginx | ceiling) continue ;; esac
  printf '  %-10s %5s (%5s) x nginx  %5s (%5s) x ceiling\n' "$target" \
    "$(ratio "${m[$target]}" "${m[nginx]}")" "$(ratio "${c[$target]}" "${c[nginx]}")" \
    "$(ratio "${m[$target]}" "${m[ceiling]}")" "$(ratio "${c[$target]}" "${c[ceiling]}")"
done
printf '  %-10s %5s (%5s) x ceiling\n' nginx "$(ratio "${m[nginx]}" "${m[ceiling]}")" \
  "$(ratio "${c[nginx]}" "${c[ceiling]}")"
if [ -n "$compare" ]; then
  for kind in 1 n; do
    printf '  %-10s %5s (%5s) x service-%s\n' "$compare_label-$kind" \
      "$(ratio "${m[$compare_label-$kind]}" "${m[service-$kind]}")" \
      "$(ratio "${c[$compare_label-$kind]}" "${c[service-$kind]}")" "$kind"
  done
fi
echo "load after: $(uptime | sed 's/.*load average/load average/')"
if [ "$(median "${scpu[ceiling]}")" -lt 90 ]; then
  echo "note: the ceiling used less than 90% of its core, so requests per second measure how the" \
       "machine shares its cores more than the servers: compare req/cpu-s"
fi
