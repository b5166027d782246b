#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Each exchange's access-log line gives the status the client got and the bytes of the body that
# followed the head on the wire: whole answers, refusals, streamed answers in chunks and in
# HTTP/1.0, an answer behind 100 Continue, and exchanges cut off before their answers.
# Usage: check-access-log.sh ZUNO-LOOKUPD
set -euo pipefail
lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
started_pid=""
trap 'kill $started_pid 2>/dev/null || true; rm -rf "$work"' EXIT

start_lookupd "$work/log" --threads 1 --access-log
python3 - "$started_address" "$work/log" <<'PYTHON' || fail "an access-log line differs from its exchange"
import re, socket, struct, sys, time

host, port = sys.argv[1].split(":")
log = sys.argv[2]
batch = b"13800138000\n13900139000\n"
# The combined format writes a body of no bytes as "-".
line = re.compile(r'\] "([^"]*)" (\d+) (\d+|-) "')


def connect():
    return socket.create_connection((host, int(port)), timeout=10)


def read_to_end(sock, got=b""):
    while True:
        piece = sock.recv(65536)
        if not piece:
            return got
        got += piece


def whole(request):
    """Sends the request and reads until the server closes; the status and the bytes after the head."""
    with connect() as sock:
        sock.sendall(request)
        answer = read_to_end(sock)
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split()[1]), len(body)


def after_continue(head, body):
    """Sends the head, the body once told to continue, and reads the final answer."""
    with connect() as sock:
        sock.sendall(head)
        interim = b""
        while b"\r\n\r\n" not in interim:
            piece = sock.recv(1)
            if not piece:
                raise RuntimeError("closed before 100 Continue")
            interim += piece
        if not interim.startswith(b"HTTP/1.1 100 "):
            raise RuntimeError("no 100 Continue: %r" % interim)
        sock.sendall(body)
        answer = read_to_end(sock)
    final_head, _, final_body = answer.partition(b"\r\n\r\n")
    return int(final_head.split()[1]), len(final_body)


def reset_before_answer(request):
    """Sends a head whose body never comes, then resets the connection."""
    sock = connect()
    sock.sendall(request)
    time.sleep(0.05)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()
    return 499, 0


def reset_second_before_answer(first, second):
    """Reads the whole answer to a first request, then resets the connection during a second."""
    sock = connect()
    sock.sendall(first)
    answer = b""
    while b"\r\n\r\n" not in answer:
        answer += sock.recv(65536)
    head, _, body = answer.partition(b"\r\n\r\n")
    length = int(re.search(rb"(?i)content-length: (\d+)", head).group(1))
    while len(body) < length:
        body += sock.recv(65536)
    sock.sendall(second)
    time.sleep(0.05)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()
    return 499, 0


def batch_request(version, extra=b""):
    return (b"POST /api/v1/lookup/batch HTTP/" + version + b"\r\nHost: x\r\nConnection: close\r\n"
            b"Content-Length: %d\r\n" % len(batch) + extra + b"\r\n")


rows = [
    # name, exchange, the logged request line
    ("a lookup answered whole",
     lambda: whole(b"GET /iii.asp?title=13800138000 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
     "GET /iii.asp?title=13800138000 HTTP/1.1"),
    ("a HEAD has no body",
     lambda: whole(b"HEAD / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
     "HEAD / HTTP/1.1"),
    ("a path no route has",
     lambda: whole(b"GET /no-such-page HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
     "GET /no-such-page HTTP/1.1"),
    ("a version the parser refuses",
     lambda: whole(b"GET / HTTP/9.9\r\nHost: x\r\n\r\n"), "-"),
    ("a request line too long",
     lambda: whole(b"GET /" + b"a" * 10000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"), "-"),
    ("a streamed answer in chunks",
     lambda: whole(batch_request(b"1.1") + batch), "POST /api/v1/lookup/batch HTTP/1.1"),
    ("a streamed answer in HTTP/1.0",
     lambda: whole(batch_request(b"1.0") + batch), "POST /api/v1/lookup/batch HTTP/1.0"),
    ("a streamed answer behind 100 Continue",
     lambda: after_continue(batch_request(b"1.1", b"Expect: 100-continue\r\n"), batch),
     "POST /api/v1/lookup/batch HTTP/1.1"),
    ("cut off before its answer",
     lambda: reset_before_answer(b"POST /api/v1/lookup/batch HTTP/1.1\r\nHost: x\r\n"
                                 b"Content-Length: 100000\r\n\r\n"),
     "POST /api/v1/lookup/batch HTTP/1.1"),
    # The second line counts nothing of the first answer's body.
    ("the second exchange cut off before its answer",
     lambda: reset_second_before_answer(
         b"GET /iii.asp?title=13800138000 HTTP/1.1\r\nHost: x\r\n\r\n",
         b"POST /api/v1/lookup/batch HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"),
     "POST /api/v1/lookup/batch HTTP/1.1", 2),
]


def access_lines():
    with open(log, errors="replace") as f:
        return [match.groups() for match in map(line.search, f) if match]


failed = 0
for name, exchange, request_line, *more in rows:
    expected_lines = more[0] if more else 1
    before = len(access_lines())
    status, body_bytes = exchange()
    for _ in range(100):
        lines = access_lines()
        if len(lines) >= before + expected_lines:
            break
        time.sleep(0.05)
    if len(lines) != before + expected_lines:
        print("FAIL: %s: %d access-log lines, not %d" % (name, len(lines) - before, expected_lines),
              file=sys.stderr)
        failed += 1
        continue
    logged = (lines[-1][0], int(lines[-1][1]), 0 if lines[-1][2] == "-" else int(lines[-1][2]))
    if logged != (request_line, status, body_bytes):
        print("FAIL: %s: logged %r, the client saw %r" % (name, logged, (request_line, status, body_bytes)),
              file=sys.stderr)
        failed += 1
sys.exit(1 if failed else 0)
PYTHON
finish_checks
echo "access log: all checks passed"
