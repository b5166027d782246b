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

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts the zuno-lookupd in $lookupd on a free port of 127.0.0.1 with these further arguments,
# its standard error in LOG; once it listens, started_pid and started_address (HOST:PORT) name it.
start_lookupd() {
  local log=$1
  shift
  # Made here, so that reading it cannot come before the program's shell has made it.
  : >"$log"
  "$lookupd" --listen 127.0.0.1:0 "$@" 2>"$log" &
  started_pid=$! started_address=
  for _ in $(seq 100); do
    started_address=$(sed -n 's|.*listening on http://\(127\.0\.0\.1:[0-9]*\)/.*|\1|p' "$log")
    [ -n "$started_address" ] && return 0
    sleep 0.05
  done
  kill "$started_pid" 2>/dev/null || true
  cat "$log" >&2
  echo "FAIL: zuno-lookupd did not start" >&2
  exit 1
}
