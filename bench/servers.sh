# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmark scripts: servers started on one core, and the CPU time they use.
# The script sets work (a folder for the logs), server_cpu and an empty array server_pids (its
# cleanup kills them).

declare -A url pid
# Starts a server on SERVER_CPU that prints "listening on http://..." on standard error.
# $1: a name; the rest: the command. Sets url[name] and pid[name].
start_server() {
  local name=$1
  shift
  taskset -c "$server_cpu" "$@" 2>"$work/$name.log" &
  server_pids+=($!)
  pid[$name]=$!
  for _ in $(seq 100); do
    grep -q 'listening on' "$work/$name.log" 2>/dev/null && break
    sleep 0.1
  done
  url[$name]=$(grep -o 'http://[^ ]*' "$work/$name.log" | head -1)
  [ -n "${url[$name]}" ] || { cat "$work/$name.log" >&2; exit 1; }
}

# CPU time in nanoseconds of every thread of a process and of its children (nginx's worker).
cpu_ns() {
  local p
  for p in "$1" $(pgrep -P "$1"); do cat /proc/"$p"/task/*/schedstat 2>/dev/null; done |
    awk '{ total += $1 } END { printf "%.0f\n", total }'
}
