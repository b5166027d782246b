# SPDX-License-Identifier: Apache-2.0
# Sourced by the check scripts and the benchmarks: servers started and waited for, free ports,
# and the test's own PostgreSQL (tests/labels/pg-server.sh) queried.

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_listening LOG COMMAND...: runs COMMAND, a server that says "listening on http://HOST:PORT/"
# on standard error, with its standard error in LOG, and waits until it says so (30 s at most,
# time enough under valgrind); then started_pid and started_address (HOST:PORT) name it.
# A server that ends or stays silent ends the script, its log shown.
start_listening() {
  local log=$1
  shift
  # Made here, so that reading it cannot come before the program's shell has made it.
  : >"$log"
  "$@" 2>"$log" &
  started_pid=$!
  wait_listening "$log" "$started_pid"
}

# wait_listening LOG PID: waits for a server already started, as start_listening does.
wait_listening() {
  started_address=
  for _ in $(seq 600); do
    # The log may not be there yet when the server was started by the caller.
    started_address=$(sed -n '\|listening on http://|{s|.*listening on http://\([^/ ]*\)/.*|\1|p;q;}' \
      "$1" 2>/dev/null || true)
    [ -n "$started_address" ] && return 0
    kill -0 "$2" 2>/dev/null || break
    sleep 0.05
  done
  kill "$2" 2>/dev/null || true
  cat "$1" >&2 || true
  echo "FAIL: $1: the server did not start listening" >&2
  exit 1
}

# psql_on URI SQL: the rows, unaligned, fields separated by |; an error in SQL fails.
psql_on() { /usr/lib/postgresql/15/bin/psql -X -q -t -A -v ON_ERROR_STOP=1 -d "$1" -c "$2"; }
