#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The label database as the program uses it (check-labels-crash.sh kills it under load, and
# check-labels-commands.sh runs the labels commands): a database failing while serving (locked,
# removed) refuses reports with 503 and Retry-After, logs once and keeps lookups labelled; one
# that cannot be opened at start (missing folder, corrupt or read-only file), or whose reporters'
# key is gone while it holds reports, ends it with one line and status 1.
# Usage: check-labels-store.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
. "$(dirname "$0")/labels-checks.sh"
work=$(mktemp -d)
chmod 755 "$work"
started_pid="" locker=""
trap 'kill -KILL $started_pid $locker 2>/dev/null || true; rm -rf "$work"' EXIT
db=$work/labels.sqlite3

stop() { kill -TERM "$started_pid"; wait "$started_pid" || true; started_pid=""; }

# --- failing while serving: locked, then removed
start_lookupd "$work/serve.log" --database "$db"
[ "$(stat -c %a "$db.key" 2>/dev/null)" = 600 ] || fail "a new database: no reporters' key made"
for net in 1 2 3; do report "127.0.$net.1" 13800138000 诈骗电话 >/dev/null; done
case "$(label_of 13800138000)" in *诈骗电话*) ;; *) fail "three networks did not label a number" ;; esac
( echo 'BEGIN EXCLUSIVE;'; echo 'INSERT INTO audit VALUES (0, "lock", "");'; sleep 4; echo 'COMMIT;' ) | sqlite3 "$db" &
locker=$!
sleep 0.5
headers=$(curl -s -D - -o /dev/null --interface 127.0.4.1 -H 'Content-Type: application/json' \
  -d '{"number":"13800138000","category":"骚扰电话"}' "http://$started_address/api/v1/reports")
grep -q '^HTTP/1.1 503' <<<"$headers" || fail "a locked database: not 503"
grep -qi '^Retry-After: [1-9]' <<<"$headers" || fail "a locked database: no Retry-After"
[ "$(report 127.0.5.1 13800138000 骚扰电话)" = 503 ] || fail "a locked database: second report not 503"
case "$(label_of 13800138000)" in *诈骗电话*) ;; *) fail "a locked database: the lookup lost its label" ;; esac
wait "$locker"
locker=""
[ "$(report 127.0.4.1 13800138000 骚扰电话)" = 201 ] || fail "the lock released: reports not taken again"
[ "$(grep -c 'label database:.*refused' "$work/serve.log")" = 1 ] || fail "the failure was not logged once"
grep -q 'works again' "$work/serve.log" || fail "the return was not logged"
mv "$db" "$work/moved.sqlite3"
[ "$(report 127.0.6.1 13800138000 骚扰电话)" = 503 ] || fail "a removed database: report not 503"
case "$(label_of 13800138000)" in *诈骗电话*) ;; *) fail "a removed database: the lookup lost its label" ;; esac
stop
mv "$work/moved.sqlite3" "$db"

# --- cannot open at start: one line, status 1
# refused_at_start WHAT PATTERN ARGUMENTS...: the start ends, its one line matching PATTERN.
refused_at_start() {
  local what=$1 pattern=$2
  shift 2
  local status=0
  timeout 10 "$lookupd" --listen 127.0.0.1:0 "$@" 2>"$work/start.err" || status=$?
  [ "$status" = 1 ] || fail "$what: exit status $status, not 1"
  [ "$(wc -l <"$work/start.err")" = 1 ] || fail "$what: not one line: $(cat "$work/start.err")"
  grep -q -- "$pattern" "$work/start.err" || fail "$what: no \"$pattern\" in: $(cat "$work/start.err")"
}

# --- the reporters' key gone beside reports: refused, never made anew (networks would count
# twice and lose their reports); put back, the same networks are known again
mv "$db.key" "$work/saved.key"
refused_at_start "reports without their key" "\"$db.key\".*restore" --database "$db"
[ ! -e "$db.key" ] || fail "reports without their key: a new key was made"
# a key that is not a file is refused before anything opens it (a FIFO would hold the start)
for kind in folder fifo device; do
  rm -rf "$db.key"
  case $kind in
    folder) mkdir "$db.key" ;;
    fifo) mkfifo -m 600 "$db.key" ;;
    device) ln -s /dev/zero "$db.key" ;;
  esac
  refused_at_start "a $kind for the key" "\"$db.key\" is not a regular file" --database "$db"
done
rm -rf "$db.key"
# a key from another database's backup is refused as a missing one is
(umask 077 && head -c 32 /dev/urandom >"$db.key")
refused_at_start "another database's key" "\"$db.key\" is not the one.*restore" --database "$db"
rm -f "$db.key"
mv "$work/saved.key" "$db.key"
start_lookupd "$work/restored.log" --database "$db"
[ "$(report 127.0.1.1 13800138000 诈骗电话)" = 200 ] || fail "the key put back: a network's report not replaced"
[ "$(curl -s -o /dev/null -w '%{http_code}' --interface 127.0.2.1 -X DELETE \
  "http://$started_address/api/v1/reports?number=13800138000")" = 204 ] ||
  fail "the key put back: a network could not withdraw its report"
stop

refused_at_start "a missing folder" 'label database' --database "$work/no/such/folder/labels.sqlite3"
head -c 8192 /dev/urandom >"$work/corrupt.sqlite3"
refused_at_start "a corrupt file" 'label database' --database "$work/corrupt.sqlite3"
mkdir "$work/read-only"
cp "$db" "$work/read-only/labels.sqlite3"
chmod 444 "$work/read-only/labels.sqlite3"
chmod 555 "$work/read-only"
# Root writes whatever the mode says: the service runs as an unprivileged user here.
status=0
setpriv --reuid=65534 --regid=65534 --clear-groups "$lookupd" --listen 127.0.0.1:0 \
  --database "$work/read-only/labels.sqlite3" 2>"$work/start.err" || status=$?
[ "$status" = 1 ] && grep -q 'read-only' "$work/start.err" ||
  fail "a read-only file for its user: status $status, $(cat "$work/start.err")"

finish_checks
echo "labels store: all checks passed"
