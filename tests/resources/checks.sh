# SPDX-License-Identifier: Apache-2.0
# Sourced by the check scripts: each check that fails is reported and counted, so that one run
# lists every failure; finish_checks then sets the exit status.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish_checks() {
  [ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
}

# make_work: $work, a folder for the check's files, removed when the check ends, once the
# processes in pids have been stopped.
make_work() {
  work=$(mktemp -d)
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
}

. "$(dirname "${BASH_SOURCE[0]}")/../support/servers.sh"

# Starts the zuno-lookupd in $lookupd on a free port of 127.0.0.1 with these further arguments,
# its standard error in LOG; once it listens, started_pid and started_address (HOST:PORT) name it.
start_lookupd() {
  local log=$1
  shift
  start_listening "$log" "$lookupd" --listen 127.0.0.1:0 "$@"
}
