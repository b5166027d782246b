# SPDX-License-Identifier: Apache-2.0
# What the label checks share, sourced after tests/resources/checks.sh: reports and lookups over
# real sockets from chosen loopback networks (127.0.N.1 is network N), and the test's own
# PostgreSQL started by pg-server.sh.
pg_bin=/usr/lib/postgresql/15/bin

# as_owner COMMAND...: as the test server's owner, nobody when root (PostgreSQL refuses root).
as_owner() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi; }
# The test's server stopped (fast: sessions ended) and started again as pg-server.sh starts it.
pg_stop() { as_owner "$pg_bin/pg_ctl" -D "$ZUNO_TEST_PG_DIR/data" -m fast stop >/dev/null; }
pg_start() {
  as_owner "$pg_bin/pg_ctl" -D "$ZUNO_TEST_PG_DIR/data" -l "$ZUNO_TEST_PG_DIR/server.log" -w \
    -o "-c listen_addresses= -c unix_socket_directories=$ZUNO_TEST_PG_DIR -c fsync=off" start >/dev/null
}

# report_to ADDRESS FROM NUMBER CATEGORY [COMMENT]: a report sent from FROM; prints the status.
report_to() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 10 --interface "$2" \
    -H 'Content-Type: application/json' \
    -d "{\"number\":\"$3\",\"category\":\"$4\",\"comment\":\"${5:-}\"}" "http://$1/api/v1/reports"
}
# report FROM NUMBER CATEGORY [COMMENT]: to the service start_lookupd started last.
report() { report_to "$started_address" "$@"; }
# place FROM NUMBER PROVINCE [CITY]: a place reported to that service; prints the status.
place() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 10 --interface "$1" -H 'Content-Type: application/json' \
    -d "{\"number\":\"$2\",\"province\":\"$3\",\"city\":\"${4:-}\"}" "http://$started_address/api/v1/places"
}
# label_at ADDRESS NUMBER: the label the API answers with, as JSON (null: none).
label_at() {
  curl -s --max-time 5 "http://$1/api/v1/lookup?number=$2" |
    python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin)["label"], ensure_ascii=False))'
}
label_of() { label_at "$started_address" "$1"; }
