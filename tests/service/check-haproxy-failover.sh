#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Three zuno-lookupd behind HAProxy with the shipped configuration, all on 127.0.0.1: haproxy -c
# accepts the configuration, the TLS front answers, and the per-client rate limit answers 429.
# (tests/labels/check-labels-cluster.sh stops an instance under load behind the same proxy.)
# Usage: check-haproxy-failover.sh ZUNO-LOOKUPD HAPROXY-CFG
set -euo pipefail

lookupd=$1 config=$2
. "$(dirname "$0")/../resources/checks.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for i in 1 2 3; do
  start_lookupd "$work/lookupd$i.log" --threads 1
  pids+=("$started_pid")
  export "ZUNO_LOOKUPD$i=$started_address"
done

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat "$work/key.pem" >>"$work/cert.pem"
export ZUNO_TLS_CERT=$work/cert.pem ZUNO_HTTP_BIND=127.0.0.1:$(free_port) \
  ZUNO_HTTPS_BIND=127.0.0.1:$(free_port) ZUNO_RATE_LIMIT=1000000000
lookup=iii.asp?title=13800138000

start_haproxy() {
  haproxy -c -q -f "$config" || fail "haproxy -c rejects $config"
  haproxy -db -f "$config" 2>>"$work/haproxy.log" &
  pids+=($!)
  for _ in $(seq 50); do
    curl -fs -o /dev/null "http://$ZUNO_HTTP_BIND/$lookup" && return 0
    sleep 0.1
  done
  fail "HAProxy does not answer"
}
start_haproxy

echo "== TLS front"
curl -fsS -k -o /dev/null "https://$ZUNO_HTTPS_BIND/$lookup" || fail "no answer over TLS"

echo "== rate limit"
kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true
ZUNO_RATE_LIMIT=5 start_haproxy
codes=$(for _ in $(seq 8); do curl -s -o /dev/null -w '%{http_code} ' "http://$ZUNO_HTTP_BIND/$lookup"; done)
echo "$codes"
grep -q '429' <<<"$codes" || fail "no 429 past the rate limit"

finish_checks
echo "haproxy failover: all checks passed"
