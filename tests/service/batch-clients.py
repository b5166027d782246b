#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Batches and uploads as ordinary HTTP clients send them, against a running zuno-lookupd started
with --access-log, whose log is LOG: a client that sends the whole body before it reads the answer
(Python's http.client), one that reads while it sends, bodies that trickle, and malformed forms.
Prints one line per case and "N passed, N failed".
Usage: batch-clients.py ADDRESS PID LOG"""
import http.client
import os
import re
import select
import socket
import sys
import time

address, pid, log_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
host, port = address.rsplit(":", 1)
port = int(port)
failures = []
passed = 0

BATCH = "/api/v1/lookup/batch"


def check(name, condition, detail=""):
    global passed
    if condition:
        passed += 1
        print(f"ok: {name}")
    else:
        failures.append(name)
        print(f"FAIL: {name}: {detail}")


def memory_kib(field):
    """VmRSS (now) or VmHWM (the peak) of the service."""
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(field + r":\s*(\d+)", status.read()).group(1))


def log_lines():
    with open(log_path, encoding="utf-8", errors="replace") as log:
        return log.read().splitlines()


def access_line_after(count, pattern, wait=3.0):
    """The first access-log line past the first count lines that matches pattern."""
    end = time.monotonic() + wait
    while True:
        for line in log_lines()[count:]:
            if re.search(pattern, line):
                return line
        if time.monotonic() > end:
            return None
        time.sleep(0.05)


def numbers(count, first=13800000000, extra=""):
    return "".join(f"{first + i}{extra}\n" for i in range(count)).encode()


def form(boundary, contents, closed=True):
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; "
            f"filename=\"numbers.csv\"\r\nContent-Type: text/csv\r\n\r\n").encode() + contents
    if closed:
        body += f"\r\n--{boundary}--\r\n".encode()
    return body


def raw_exchange(head, body, read_while_sending, pause=0.0, timeout=60):
    """Sends head and body on a real socket, pausing after each 16 KiB when asked; returns
    (answer bytes, how much of the body had been sent when the first answer byte came)."""
    sock = socket.socket()
    sock.connect((host, port))
    sock.setblocking(False)
    data = head + body
    # A bytearray grows in place: adding 64 KiB pieces to bytes copies the whole answer each
    # time, which for the 80 MB answers here took longer than the exchange's limit.
    sent, answer, first_at = 0, bytearray(), None
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        want_write = [sock] if sent < len(data) else []
        want_read = [sock] if read_while_sending or sent == len(data) else []
        readable, writable, _ = select.select(want_read, want_write, [], 1.0)
        try:
            if writable:
                try:
                    sent += sock.send(data[sent:sent + 16384])
                except BlockingIOError:
                    pass
                time.sleep(pause)
            got = sock.recv(65536) if readable else None
        except OSError as error:
            answer += f"\n{type(error).__name__}".encode()
            break
        if readable:
            if not got:
                break
            if first_at is None:
                first_at = max(0, sent - len(head))
            answer += got
    sock.close()
    return bytes(answer), first_at


# Sent whole, then read: Python's http.client sends the body before it looks at the answer. A
# spreadsheet's rows have more columns than the number: more body than the sockets' buffers hold.
rows = 200_000
before = memory_kib("VmRSS")
lines_before = len(log_lines())
connection = http.client.HTTPConnection(host, port, timeout=60)
answer = b""
status = None
try:
    connection.request("POST", BATCH, body=numbers(rows, extra=",客户姓名,备注：只查第一列，其余各列照原样不读"),
                       headers={"Content-Type": "text/csv"})
    response = connection.getresponse()
    status = response.status
    answer = response.read()
except OSError as error:
    status = f"{type(error).__name__}: {error}"
finally:
    connection.close()
answered = answer.count(b"\r\n") - 1
check("http.client sending 200,000 rows before reading gets every row",
      status == 200 and answered == rows and b"13800199999" in answer.splitlines()[-1],
      f"status {status}, {answered} rows")
grown = memory_kib("VmHWM") - before
print(f"the service's RSS: {before} KiB before, {before + grown} KiB at its peak over 200,000 rows")
check("the service's memory stays bounded while it holds what it could not send",
      grown < 64 * 1024, f"RSS grew by {grown} KiB")
check("the whole batch has its access-log line",
      access_line_after(lines_before, r'"POST /api/v1/lookup/batch HTTP/1.1" 200 \d+') is not None,
      "no line")

# Read while sent, at a pace of about 3 MB/s: the first rows come back before the body is all sent.
body = numbers(rows)
head = (f"POST {BATCH} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n"
        "Connection: close\r\n\r\n").encode()
answer, first_at = raw_exchange(head, body, read_while_sending=True, pause=0.005)
check("a client reading while it sends gets its first rows before the body is all sent",
      first_at is not None and first_at < len(body) and answer.count(b"\r\n") > rows,
      f"first answer byte after {first_at} of {len(body)} bytes")

# Chunked and sent whole, the answer unread until then.
wide = numbers(rows, extra=",客户姓名,备注：只查第一列，其余各列照原样不读")
chunks = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece)
                  for piece in (wide[i:i + 50_000] for i in range(0, len(wide), 50_000)))
head = (f"POST {BATCH}?format=jsonl HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\n\r\n").encode()
answer, _ = raw_exchange(head, chunks + b"0\r\n\r\n", read_while_sending=False)
check("a chunked body sent whole before reading gets every row",
      answer.startswith(b"HTTP/1.1 200") and answer.count(b"\n{") == rows,
      f"{answer[:40]!r}, {answer.count(b'{')} rows")

# Malformed forms: a long one sent whole is refused (tst_service refuses each kind of bad form);
# gone bad after the answer began, a last row.
boundary = "zunoform"
form_head = (f"POST /lookup/batch HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
             f"boundary={boundary}\r\nConnection: close\r\n").encode()
unclosed = form(boundary, numbers(1200, extra=",padding-to-make-the-form-longer"), closed=False)
sock = socket.create_connection((host, port), timeout=10)
sock.sendall(form_head + b"Content-Length: %d\r\n\r\n" % len(unclosed) + unclosed)
answer = sock.recv(65536)
sock.close()
check("a form without its closing boundary, sent whole, is refused with 400",
      answer.startswith(b"HTTP/1.1 400"), answer[:60])


def part(name, contents, filename=None):
    named = f'; filename="{filename}"' if filename else ""
    return (f"\r\n--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"{named}"
            f"\r\n\r\n").encode() + contents


def answer_to_form_going_on(first, seen, rest):
    """Sends a chunked form of which first is the first chunk, reads until seen comes back, sends
    rest as the last chunk (None: ends its side instead) and returns the whole answer."""
    sock = socket.create_connection((host, port), timeout=10)
    sock.sendall(form_head + b"Transfer-Encoding: chunked\r\n\r\n%x\r\n%s\r\n"
                 % (len(first), first))
    answer = b""
    # The form holds back its last bytes until it knows they are no boundary.
    while seen not in answer and (got := sock.recv(65536)):
        answer += got
    if rest is None:
        sock.shutdown(socket.SHUT_WR)
    else:
        sock.sendall(b"%x\r\n%s\r\n0\r\n\r\n" % (len(rest), rest))
    while got := sock.recv(65536):
        answer += got
    sock.close()
    return answer


answer = answer_to_form_going_on(form(boundary, numbers(50), closed=False), b"13800000040", None)
check("a form cut short after its answer began ends with a row saying so",
      answer.startswith(b"HTTP/1.1 200") and "请求正文未发完".encode() in answer,
      answer[:60])

# A second file after the answer began: the first is answered whole, a last row says the rest was not.
closing = f"\r\n--{boundary}--\r\n".encode()
answer = answer_to_form_going_on(form(boundary, numbers(30), closed=False), b"13800000020",
                                 part("file", numbers(5, first=13900000000), "more.csv") + closing)
check("a second file after the answer began ends it with a row saying it was not looked up",
      answer.startswith(b"HTTP/1.1 200") and b"13800000029" in answer
      and b"13900000000" not in answer and "其后的文件未查询".encode() in answer,
      answer[:60] + b" ... " + answer[-120:])

# A body that trickles: cut off with 408 and logged, on the batch and the upload routes.
for name, target, extra in (("batch", BATCH, b""),
                            ("upload", "/lookup/batch", b"Content-Type: multipart/form-data; "
                                                  b"boundary=zunoform\r\n")):
    lines_before = len(log_lines())
    sock = socket.create_connection((host, port), timeout=30)
    sock.sendall(b"POST %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: 100000\r\n\r\n"
                 % (target.encode(), extra))
    started = time.monotonic()
    answer = b""
    while time.monotonic() - started < 30:
        try:
            sock.sendall(b"1")
        except OSError:
            break
        readable, _, _ = select.select([sock], [], [], 2.0)
        if readable:
            try:
                answer = sock.recv(65536)
            except OSError:
                pass
            break
    took = time.monotonic() - started
    sock.close()
    check(f"a {name} body sent a byte every 2 s is cut off with 408",
          answer.startswith(b"HTTP/1.1 408") and took < 25,
          f"after {took:.0f} s: {answer[:40]!r}")
    check(f"the cut-off {name} body has its access-log line",
          access_line_after(lines_before, r'"POST %s HTTP/1.1" 408' % re.escape(target)),
          "no line")

print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
