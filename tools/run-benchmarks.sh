#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every bench_* program of a folder in turn; fails, after running all, if any failed.
#   tools/run-benchmarks.sh BENCH_DIR
set -uo pipefail
failed=()
for bench in "${1:?usage: $0 BENCH_DIR}"/bench_*; do
  [ -f "$bench" ] && [ -x "$bench" ] || continue
  echo "== $bench"
  "$bench" || failed+=("$bench")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
