#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Three zuno-lookupd behind HAProxy with the shipped configuration, all on 127.0.0.1: haproxy -c
# accepts the configuration, the TLS front answers, /metrics is refused outside the allow-list
# however its path is spelt, and the per-client rate limit answers 429.
# (tests/labels/check-labels-cluster.sh stops an instance under load behind the same proxy.)
# Usage: check-haproxy-failover.sh ZUNO-LOOKUPD HAPROXY-CFG
set -euo pipefail

lookupd=$1 config=$2
. "$(dirname "$0")/../resources/checks.sh"
make_work

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

echo "== /metrics from outside the allow-list, however spelt"
# The allow-list names 127.0.0.2 alone: curl from 127.0.0.1 is outside it, from 127.0.0.2 inside.
kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true
ZUNO_METRICS_FROM=127.0.0.2 start_haproxy
status() { curl -s --path-as-is -o "$work/answer" -w '%{http_code}' "$@"; }
for path in /metrics /%6detrics /%6Detrics /metric%73 /%6D%65%74%72%69%63%73 /metrics/ //metrics \
  /%2Fmetrics /./metrics /%2E/metrics /METRICS /Metric%53 '/metrics?x=1'; do
  inside=$(status --interface 127.0.0.2 "http://$ZUNO_HTTP_BIND$path")
  # What the service shows as its metrics to the inside, it must not show to the outside.
  [ "$inside" != 200 ] || grep -q '^zuno_build_info' "$work/answer" ||
    fail "$path from inside: 200 but not the metrics"
  outside=$(status "http://$ZUNO_HTTP_BIND$path")
  echo "$path: inside $inside, outside $outside"
  [ "$outside" = 403 ] || fail "$path from outside the allow-list: $outside, not 403"
done
[ "$(status --interface 127.0.0.2 "http://$ZUNO_HTTP_BIND/%6detrics")" = 200 ] ||
  fail "/%6detrics from inside: not the metrics (the spellings above prove nothing)"
outside=$(status -H "Host: x" --request-target http://x/metric%73 "http://$ZUNO_HTTP_BIND/")
[ "$outside" = 403 ] || fail "absolute-form /metric%73 from outside: $outside, not 403"
outside=$(status -k --http2 "https://$ZUNO_HTTPS_BIND/%6detrics")
[ "$outside" = 403 ] || fail "/%6detrics over HTTP/2 from outside: $outside, not 403"
for path in /healthz /readyz "/$lookup"; do
  [ "$(status "http://$ZUNO_HTTP_BIND$path")" = 200 ] || fail "$path from outside is not 200"
done

echo "== rate limit"
kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true
ZUNO_RATE_LIMIT=5 start_haproxy
codes=$(for _ in $(seq 8); do curl -s -o /dev/null -w '%{http_code} ' "http://$ZUNO_HTTP_BIND/$lookup"; done)
echo "$codes"
grep -q '429' <<<"$codes" || fail "no 429 past the rate limit"

finish_checks
echo "haproxy failover: all checks passed"
