#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Reports from many networks at once, and what the database kept of them.

  report_load.py load HOST:PORT SECONDS ANSWERS [--workers N] [--first-network N]
                      [--first-number N] [--pause SECONDS]
    Each worker reports over its own keep-alive connection from its own network (127.A.B.1, a
    /24 each: the service keys IPv4 clients by /24), moving to a fresh network every 15 reports
    so that none reaches the 20 a network makes a day; every number is reported once. Writes one
    JSON line a request to ANSWERS: sent, answered (Unix seconds), status (0: no answer),
    retry_after, number, source, category.
  report_load.py check ANSWERS ROWS SECRET [--outage STOPPING STOPPED STARTING BACK]
    ROWS is psql's "number|network|category" of every report, SECRET the reporters' key. Every
    acknowledged report (2xx) must be there, from its network's key with its category. Without
    --outage every answer must be 201. With it (the times the server was being stopped, was
    stopped, was being started, was back), every report sent while it was down must answer 503
    with Retry-After; none answered before it was being stopped, or sent 2 s after it was back,
    may; and reports must be taken again.
"""
import argparse
import asyncio
import hmac
import json
import sys
import time

CATEGORIES = ["骚扰电话", "诈骗电话", "广告推销", "房产中介", "保险理财", "招聘猎头", "快递外卖", "客服热线"]
REPORTS_A_NETWORK = 15
TAKEN_AGAIN_WITHIN = 2.0


def network_source(index):
    # 127.0.0.0/24 is left to the proxy and the lookup load.
    if not 0 <= index < 255 * 256:
        raise ValueError(f"no loopback network {index}")
    index += 256
    return f"127.{index // 256}.{index % 256}.1"


async def read_answer(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    if "content-length" in fields:
        await reader.readexactly(int(fields["content-length"]))
    else:
        await reader.read()
        fields["connection"] = "close"
    return status, fields


async def worker(args, host, port, counters, answers, deadline):
    connection = None
    reports = 0
    while time.time() < deadline:
        if reports % REPORTS_A_NETWORK == 0:
            if connection:
                connection[1].close()
            connection = None
            source = network_source(counters["network"])
            counters["network"] += 1
        reports += 1
        number = f"139{counters['number']:08d}"
        counters["number"] += 1
        category = CATEGORIES[counters["number"] % len(CATEGORIES)]
        body = json.dumps({"number": number, "category": category}).encode()
        request = (f"POST /api/v1/reports HTTP/1.1\r\nHost: {host}\r\n"
                   f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
                   ).encode() + body
        answer = {"sent": time.time(), "number": number, "source": source,
                  "category": category, "status": 0, "retry_after": None}
        try:
            if connection is None:
                connection = await asyncio.wait_for(
                    asyncio.open_connection(host, port, local_addr=(source, 0)), 10)
            connection[1].write(request)
            status, fields = await asyncio.wait_for(read_answer(connection[0]), 10)
            answer.update(status=status, retry_after=fields.get("retry-after"))
            if fields.get("connection", "").lower() == "close":
                connection[1].close()
                connection = None
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError) as error:
            answer["error"] = repr(error)
            if connection:
                connection[1].close()
            connection = None
        answer["answered"] = time.time()
        answers.append(answer)
        await asyncio.sleep(args.pause)
    if connection:
        connection[1].close()


async def load(args):
    host, port = args.target.rsplit(":", 1)
    answers = []
    deadline = time.time() + args.seconds
    # Shared by the workers (one thread): no network or number is taken twice.
    counters = {"network": args.first_network, "number": args.first_number}
    await asyncio.gather(*(worker(args, host, int(port), counters, answers, deadline)
                           for _ in range(args.workers)))
    with open(args.answers, "w", encoding="utf-8") as out:
        for answer in sorted(answers, key=lambda a: a["sent"]):
            out.write(json.dumps(answer, ensure_ascii=False) + "\n")
    print(summary(answers))


def summary(answers):
    statuses = {}
    for answer in answers:
        statuses[answer["status"]] = statuses.get(answer["status"], 0) + 1
    latencies = sorted(a["answered"] - a["sent"] for a in answers if a["status"] == 201)
    span = max(a["answered"] for a in answers) - min(a["sent"] for a in answers) if answers else 0
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] if latencies else 0
    return (f"reports: {len(answers)} in {span:.1f} s, by status {dict(sorted(statuses.items()))}; "
            f"201 per second {len(latencies) / span if span else 0:.0f}, p99 {p99 * 1000:.1f} ms")


def network_key(secret, source):
    # The service's key of an IPv4 client: HMAC-SHA256 of "4" and its /24, first 16 bytes.
    prefix = b"4" + bytes(int(part) for part in source.split(".")[:3])
    return hmac.new(secret.encode(), prefix, "sha256").hexdigest()[:32]


def check(args):
    with open(args.answers, encoding="utf-8") as answers_file:
        answers = [json.loads(line) for line in answers_file]
    stored = {}
    with open(args.rows, encoding="utf-8") as rows:
        for line in rows:
            if line.strip():
                number, network, category = line.rstrip("\n").split("|")
                stored[(number, network)] = category
    problems = []
    lost = 0
    stopping, stopped, starting, back = args.outage or (0, 0, 0, 0)
    for answer in answers:
        status = answer["status"]
        what = f"{answer['number']} from {answer['source']}: {status} {answer.get('error', '')}"
        if 200 <= status < 300:
            key = ("+86" + answer["number"], network_key(args.secret, answer["source"]))
            if stored.get(key) != answer["category"]:
                lost += 1
                problems.append(f"acknowledged but not stored as {answer['category']}: {what}")
        elif args.outage and status == 503:
            if not answer["retry_after"]:
                problems.append(f"503 without Retry-After: {what}")
            # One sent just before the stop may be answered 503: its commit met the outage.
            if (answer["answered"] < stopping or answer["sent"] > back + TAKEN_AGAIN_WITHIN):
                problems.append(f"503 outside the outage, sent {answer['sent'] - stopping:.2f}"
                                f" s after it began: {what}")
        else:
            problems.append(f"failed: {what}")
    acknowledged = sum(1 for a in answers if 200 <= a["status"] < 300)
    print(summary(answers))
    print(f"acknowledged {acknowledged}, stored {len(stored)}, acknowledged and lost {lost}")
    if args.outage:
        during = [a for a in answers if stopped <= a["sent"] <= starting]
        if not during or any(a["status"] != 503 for a in during):
            problems.append(f"not every report during the outage answered 503: "
                            f"{sorted(set(a['status'] for a in during))} of {len(during)}")
        if not any(a["status"] == 201 and a["sent"] > back for a in answers):
            problems.append("no report taken after the outage")
    for problem in problems[:20]:
        print("  " + problem)
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("load")
    run.add_argument("target")
    run.add_argument("seconds", type=float)
    run.add_argument("answers")
    run.add_argument("--workers", type=int, default=8)
    run.add_argument("--first-network", type=int, default=0)
    run.add_argument("--first-number", type=int, default=0)
    run.add_argument("--pause", type=float, default=0.02)
    verify = commands.add_parser("check")
    verify.add_argument("answers")
    verify.add_argument("rows")
    verify.add_argument("secret")
    verify.add_argument("--outage", type=float, nargs=4,
                        metavar=("STOPPING", "STOPPED", "STARTING", "BACK"))
    args = parser.parse_args()
    if args.command == "load":
        asyncio.run(load(args))
        return 0
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
