# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmark scripts: servers started on one core, the CPU time they use, and the
# medians of rounds. The script sets work (a folder for the logs), server_cpu (or none: the servers
# run where the system puts them) and an empty array server_pids (its cleanup kills them).
. "$(dirname "${BASH_SOURCE[0]}")/../tests/support/servers.sh"

declare -A url pid
# Starts a server on server_cpu that prints "listening on http://..." on standard error.
# $1: a name; the rest: the command. Sets url[name] and pid[name].
start_server() {
  local name=$1
  shift
  start_listening "$work/$name.log" ${server_cpu:+taskset -c "$server_cpu"} "$@"
  server_pids+=("$started_pid")
  pid[$name]=$started_pid url[$name]=http://$started_address/
}

# Debian's nginx with WORKERS worker processes serving $work/www, where iii.asp is the window's
# reply, on a free port; the rest of the arguments go before it (taskset, or nothing). Sets
# url[nginx] and pid[nginx]. Its workers drop to nobody, so everything in $work is made readable.
start_nginx() {
  local workers=$1 port
  shift
  port=$(free_port)
  mkdir -p "$work/logs" "$work/tmp"
  chmod -R a+rX "$work"
  cat >"$work/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  keepalive_requests 1000000;
  keepalive_timeout 10s;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location = /iii.asp { types { } default_type "text/plain; charset=gb2312"; }
  }
}
CONF
  "$@" nginx -p "$work" -c "$work/nginx.conf" 2>>"$work/logs/start.log" &
  pid[nginx]=$!
  server_pids+=("${pid[nginx]}")
  url[nginx]=http://127.0.0.1:$port/
  for _ in $(seq 50); do
    curl -fsS -o /dev/null "${url[nginx]}iii.asp" 2>/dev/null && return 0
    kill -0 "${pid[nginx]}" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/logs/"*.log >&2
  exit 1
}

# CPU time in nanoseconds of every thread of a process and of its children (nginx's worker).
cpu_ns() {
  local p
  for p in "$1" $(pgrep -P "$1"); do cat /proc/"$p"/task/*/schedstat 2>/dev/null; done |
    awk '{ total += $1 } END { printf "%.0f\n", total }'
}

# p99_ms: wrk's 99th percentile latency in milliseconds, from its --latency output on input.
p99_ms() {
  awk '$1 == "99%" { v = $2
    if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 }
    else if (v ~ /ms$/) { sub(/ms$/, "", v) }
    else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 }
    printf "%.3f\n", v }'
}
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
