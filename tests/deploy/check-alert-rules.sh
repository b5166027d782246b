#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Prometheus rules in deploy/prometheus: valid for promtool, their unit tests pass, and every
# series they read is one a running zuno-lookupd (with labels and downloads on) shows on
# /metrics; the count of files offered follows the downloads folder.
# Usage: check-alert-rules.sh ZUNO-LOOKUPD SOURCE-DIR
set -euo pipefail
lookupd=$1
rules=$2/deploy/prometheus/zuno-lookupd-rules.yml
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT

promtool check rules "$rules" >"$work/check" 2>&1 || fail "promtool check rules: $(cat "$work/check")"
(cd "$here" && promtool test rules alert-rules-test.yml) >"$work/test" 2>&1 ||
  fail "promtool test rules: $(cat "$work/test")"

mkdir "$work/downloads"
start_lookupd "$work/log" --database "$work/labels.sqlite3" --downloads "$work/downloads"
curl -s "http://$started_address/metrics" >"$work/metrics"
offered() { curl -s "http://$started_address/metrics" | sed -n 's/^zuno_downloads_offered //p'; }
[ "$(offered)" = 0 ] || fail "an empty downloads folder offers $(offered) files, not 0"
echo package >"$work/downloads/zuno-lookup.zip"
for _ in $(seq 100); do [ "$(offered)" = 1 ] && break; sleep 0.1; done
[ "$(offered)" = 1 ] || fail "a file put in the downloads folder is not counted: $(offered)"
# The names in the rules' expressions: zuno_… and process_… series, not the rules' own records.
read_series=$(python3 -c '
import re, sys, yaml
for group in yaml.safe_load(open(sys.argv[1]))["groups"]:
    for rule in group["rules"]:
        for name in re.findall(r"(?<![\w:])((?:zuno|process)_\w+)", rule["expr"]):
            print(name)' "$rules" | sort -u)
[ -n "$read_series" ] || fail "no series found in the rules"
for name in $read_series; do
  grep -q "^$name[{ ]" "$work/metrics" || fail "the rules read $name, which /metrics does not show"
done
finish_checks
