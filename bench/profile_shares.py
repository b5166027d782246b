#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Shares of zuno-lookupd's time by kind of work, from `perf script -F comm,tid,ip,sym,dso`
of a profile recorded with call graphs: each sample goes to the innermost frame on its stack
that names a kind of work (a malloc called by libphonenumber is the lookup's), and time in
the kernel or in a system call's wrapper goes to that system call, by the wrapper's name
(a send that also delivers into the client's socket over loopback is shown apart)."""

import collections
import re
import sys

# Kinds of work, tried on each frame from the innermost outwards; the first match wins.
KINDS = [
    ("parsing the request (Beast's parser, the target, the title's decoding)",
     r"basic_parser|http::detail::read_op|read_some_op|Connection::readHead|"
     r"Connection::onRequestHead|originForm|requestFraming|percentDecode|decodeUtf8|decodeTitle"),
    ("the lookup: libphonenumber (parsing, validity, the geocoder's place)",
     r"i18n::phonenumbers"),
    ("the lookup: our own (normalising, the number's kind, area code, carrier)",
     r"NumberLookup|NumberTypes|AreaCodes|carrierOf|normaliseNumber"),
    ("formatting: the Date header", r"formatHttpDate"),
    ("formatting: the reply text, GBK, the response message",
     r"buildReply|windowReply|encodeGbk|problemMessage|lookupJson|\bgrouped\b|\bcut\b|"
     r"chineseNumber"),
    ("writing the response (header, buffers, serializer)",
     r"ResponseWriter::|appendHeader|serializer|write_some_op|write_op|reactive_socket_send_op"),
    ("after the answer (metrics, access log, clean-up)",
     r"Connection::finish|ExchangeLog::|countRequest|Metrics|accessLogLine"),
]

# The system call a C library wrapper makes.
WRAPPER = r"^(?:__GI_)?(?:__libc_|__)?"
SYSCALLS = [
    ("send", WRAPPER + r"(?:sendmsg|sendto|send|writev|write)$"),
    ("receive", WRAPPER + r"(?:recvmsg|recvfrom|recv|readv|read)$"),
    ("epoll_wait", WRAPPER + r"epoll_wait$"),
    ("accept", WRAPPER + r"accept4?$"),
]


def samples(lines):
    """Yields each sample's frames, innermost first, as (symbol, object) pairs."""
    frames = None
    for line in lines:
        if not line.strip():
            continue
        if not line[0].isspace():
            if frames is not None:
                yield frames
            frames = []
            continue
        parts = line.strip().split(" ", 1)
        text = parts[1] if len(parts) > 1 else ""
        found = re.match(r"(.*) \((.*)\)$", text)
        frames.append((found.group(1), found.group(2)) if found else (text, ""))
    if frames is not None:
        yield frames


def classify(frames):
    in_kernel = any("kernel" in obj for _, obj in frames)
    user = [(sym, obj) for sym, obj in frames if "kernel" not in obj]
    leaf = user[0] if user else ("", "")
    if in_kernel or (leaf[1].endswith("libc.so.6") and
                     any(re.search(p, leaf[0]) for _, p in SYSCALLS)):
        for name, pattern in SYSCALLS:
            if re.search(pattern, leaf[0]):
                # Over loopback the sender also runs the receiver's TCP input, in a softirq.
                if name == "send" and any("net_rx_action" in sym for sym, _ in frames):
                    return "system calls: send, the client's side of loopback"
                return "system calls: " + name
        if any("entry_SYSCALL" in sym for sym, _ in frames):
            return "system calls: other"
        return "kernel: interrupts, page faults"
    for sym, _ in user:
        for name, pattern in KINDS:
            if re.search(pattern, sym):
                return name
    return "the event loop and the rest (Asio's scheduler, allocator, start-up)"


def main():
    counts = collections.Counter(classify(frames) for frames in samples(sys.stdin))
    total = sum(counts.values())
    if total == 0:
        sys.exit("no samples: did perf record the process?")
    print(f"{'share':>7}  {'samples':>7}  where the time goes ({total} samples)")
    for name, count in sorted(counts.items(), key=lambda item: -item[1]):
        print(f"{100 * count / total:6.1f}%  {count:7d}  {name}")


if __name__ == "__main__":
    main()
