#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# A PostgreSQL 15 of the test's own: pg-server.sh run COMMAND ARGS... makes a cluster in a
# temporary folder, owned by and running as an unprivileged user when run as root (PostgreSQL
# refuses root), listening only on a Unix socket there; runs COMMAND with ZUNO_TEST_DATABASE
# set to its URI; stops the server and removes the folder however COMMAND ends.
set -eu
bin=/usr/lib/postgresql/15/bin
[ "${1:-}" = run ] && shift || { echo "usage: $0 run COMMAND [ARGS...]" >&2; exit 2; }
[ -x "$bin/initdb" ] || { echo "$0: PostgreSQL 15 is not installed (postgresql-15)" >&2; exit 1; }

dir=$(mktemp -d /tmp/zuno-pg.XXXXXX)
as_owner() { "$@"; }
if [ "$(id -u)" = 0 ]; then
    chown nobody:nogroup "$dir"
    as_owner() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
fi
chmod 700 "$dir"
stop() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap stop EXIT
trap 'exit 1' INT TERM

as_owner "$bin/initdb" -D "$dir/data" -U zuno -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; exit 1; }
as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
    -o "-c listen_addresses= -c unix_socket_directories=$dir -c fsync=off" start >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
export ZUNO_TEST_DATABASE="postgresql://zuno@/postgres?host=$dir"
export ZUNO_TEST_PG_DIR="$dir"
"$@"
