#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""How long one instance's report takes to show in another instance's answers.

  propagation.py REPORT-HOST:PORT LOOKUP-HOST:PORT COUNT [FIRST-NETWORK]

Reports COUNT numbers one after another through the first instance (from 127.A.B.1, a fresh
network every 15 reports), each time asking the second, over a keep-alive connection and as
fast as it answers, until its /api/v1/lookup shows the number's label (start the instances with
--label-min-reporters 1). Prints the median and p99 of the delay from the 201 to the first
answer with the label, and of the report's own round trip, the baseline.
"""
import http.client
import json
import sys
import time

REPORTS_A_NETWORK = 15
GIVE_UP_AFTER = 10.0


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def main():
    reporter, looker, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    first_network = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    lookups = http.client.HTTPConnection(looker, timeout=10)
    reports = None
    delays, round_trips, polls = [], [], 0
    for i in range(count):
        if i % REPORTS_A_NETWORK == 0:
            network = 256 + first_network + i // REPORTS_A_NETWORK
            if reports:
                reports.close()
            reports = http.client.HTTPConnection(
                reporter, timeout=10, source_address=(f"127.{network // 256}.{network % 256}.1", 0))
        number = f"137{(first_network * 100 + i) % 10**8:08d}"
        sent = time.monotonic()
        reports.request("POST", "/api/v1/reports",
                        json.dumps({"number": number, "category": "诈骗电话"}),
                        {"Content-Type": "application/json"})
        answer = reports.getresponse()
        answer.read()
        acknowledged = time.monotonic()
        if answer.status != 201:
            sys.exit(f"report {number}: {answer.status}")
        round_trips.append(acknowledged - sent)
        while True:
            lookups.request("GET", f"/api/v1/lookup?number={number}")
            shown = json.loads(lookups.getresponse().read())
            polls += 1
            if shown.get("label"):
                delays.append(time.monotonic() - acknowledged)
                break
            if time.monotonic() - acknowledged > GIVE_UP_AFTER:
                sys.exit(f"{number} not shown after {GIVE_UP_AFTER} s")
    ms = lambda seconds: f"{seconds * 1000:.1f} ms"
    print(f"propagation over {count} reports: median {ms(percentile(delays, 0.5))}, "
          f"p99 {ms(percentile(delays, 0.99))}, most {ms(max(delays))} ({polls} lookups asked); "
          f"a report's round trip: median {ms(percentile(round_trips, 0.5))}, "
          f"p99 {ms(percentile(round_trips, 0.99))}")
    print(f"ratio: median propagation {percentile(delays, 0.5) / percentile(round_trips, 0.5):.1f}x "
          f"a report's round trip")


if __name__ == "__main__":
    main()
