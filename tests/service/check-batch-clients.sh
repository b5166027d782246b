#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Batches and uploads from ordinary HTTP clients (batch-clients.py) against the service with its
# access log.
# Usage: check-batch-clients.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT

start_lookupd "$work/log" --threads 1 --access-log
TMPDIR=$work python3 "$(dirname "$0")/batch-clients.py" "$started_address" "$started_pid" "$work/log" ||
  fail "an HTTP client's batch or upload went wrong"
finish_checks
