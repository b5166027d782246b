#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs zuno-lookupd in the background for a local session of the window.
#
#   tools/run-local.sh start ZUNO_LOOKUPD HOST:PORT [OPTION...]
#       Starts it on HOST:PORT (the window's service host), with the further options given, unless
#       something already listens there, and says where. Exit status 0 when a service is
#       listening afterwards, whoever started it.
#   tools/run-local.sh stop HOST:PORT
#       Stops the one that `start` started for that address, and nothing else.
#
# The pid file and the service's log live in ${ZUNO_RUN_DIR:-${TMPDIR:-/tmp}}.
set -euo pipefail

command=${1:-}
case "$command" in
  start) program=${2:?usage: $0 start ZUNO_LOOKUPD HOST:PORT}; listen=${3:?usage: $0 start ZUNO_LOOKUPD HOST:PORT}
    shift 3; options=("$@") ;;
  stop) listen=${2:?usage: $0 stop HOST:PORT} ;;
  *) echo "usage: $0 start ZUNO_LOOKUPD HOST:PORT | stop HOST:PORT" >&2; exit 2 ;;
esac

# HOST:PORT, [IPV6]:PORT, or a host alone, which means port 80 as in an http:// URL.
case "$listen" in
  \[*\]:*) host=${listen%]:*}; host=${host#[}; port=${listen##*]:} ;;
  \[*\]) host=${listen#[}; host=${host%]}; port=80 ;;
  *:*:*) echo "write IPv6 addresses as [ADDRESS]:PORT: $listen" >&2; exit 2 ;;
  *:*) host=${listen%:*}; port=${listen##*:} ;;
  *) host=$listen; port=80 ;;
esac
case "$port" in
  '' | *[!0-9]*) echo "not a port number in $listen: '$port'" >&2; exit 2 ;;
esac
case "$host" in
  *:*) listen="[$host]:$port" ;;
  *) listen="$host:$port" ;;
esac
run_dir=${ZUNO_RUN_DIR:-${TMPDIR:-/tmp}}
pid_file="$run_dir/zuno-lookupd-$port.pid"
log_file="$run_dir/zuno-lookupd-$port.log"

listening() {
  (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
}

ours() {
  [ -f "$pid_file" ] || return 1
  local pid
  pid=$(cat "$pid_file")
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = zuno-lookupd ] && echo "$pid"
}

if [ "$command" = stop ]; then
  if pid=$(ours); then
    kill -TERM "$pid"
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    echo "zuno-lookupd: stopped (pid $pid)"
  fi
  rm -f "$pid_file"
  exit 0
fi

if listening; then
  echo "zuno-lookupd: something already listens on http://$listen/; using it"
  exit 0
fi
[ -x "$program" ] || { echo "zuno-lookupd: no program at $program to start on http://$listen/" >&2; exit 1; }

mkdir -p "$run_dir"
"$program" --listen "$listen" "${options[@]}" >>"$log_file" 2>&1 </dev/null &
pid=$!
echo "$pid" >"$pid_file"
for _ in $(seq 100); do
  if listening; then
    echo "zuno-lookupd: started on http://$listen/ (pid $pid, log $log_file)"
    exit 0
  fi
  if ! kill -0 "$pid" 2>/dev/null; then
    rm -f "$pid_file"
    echo "zuno-lookupd: failed to start:" >&2
    tail -n 5 "$log_file" >&2
    exit 1
  fi
  sleep 0.1
done
echo "zuno-lookupd: not listening on $listen after 10 s; see $log_file" >&2
exit 1
