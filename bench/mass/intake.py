"""Intake of one large request, for bench/mass: `kel submit` of 10,000 and
100,000 recipients, the scheduler's intake of such a request (the
bench_dialqueue_intake benchmark, AddRequest's whole work), and the prepax
daemon, from the request's report being made to "Scheduled" (the daemon's
one-second look at Inbox left out). A step that takes too long is stopped
and shown as "> LIMIT"."""
import json
import os
import re
import shutil
import subprocess
import sys
import time

from figures import min_median, seconds, verdict
from road import Failure, Road, report_status, wait_for

SIZES = (10000, 100000)
TARGETS = {"kel": {10000: 0.3, 100000: 3.0}, "scheduler": {100000: 1.0},
           "prepax": {100000: 2.0}}


def widen(inbox_xml, count):
    """The request file `inbox_xml` with `count` recipients, copies of its
    first one under new numbers."""
    match = re.search(r"<Recipients>(.*?)</Recipients>", inbox_xml, re.S)
    first = re.search(r"<Recipient\b[^>]*>[^<]*</Recipient>", match.group(1)).group(0)
    number = re.search(r">([^<]*)<", first).group(1)
    recipients = "".join(first.replace(">" + number + "<", f">555{i:07d}<")
                         for i in range(count))
    return inbox_xml[:match.start(1)] + recipients + inbox_xml[match.end(1):]


class Intake:
    def __init__(self, bench):
        self.bench = bench
        self.quick = bench.args.quick
        self.runs = bench.args.runs
        self.limits = {10000: 60, 100000: 30 if self.quick else 120}

    def run(self):
        print("Intake of one request (min and median; '>' where it was stopped)")
        staged = self.submit()
        self.scheduler()
        self.prepax(staged)
        sys.stdout.flush()

    def line(self, what, size, times, target, limit):
        low, median = min_median(times)
        shown = (f"min {seconds(low)}  median {seconds(median)}" if low is not None
                 else f"> {limit} s (stopped)")
        verdict_text = "" if target is None else f"   target < {target} s: {verdict(median, target)}"
        print(f"  {what:<26} {size:>7,} recipients: {shown}{verdict_text}")
        sys.stdout.flush()

    # kel submit; returns {size: request file text as kel wrote it}.
    def submit(self):
        base = self.bench.base("intake")
        road = Road(self.bench.build, base)
        staged = {}
        try:
            for size in SIZES:
                path = os.path.join(base, f"request-{size}.json")
                with open(path, "w") as f:
                    json.dump({"recipients": [f"555{i:07d}" for i in range(size)],
                               "window": {"start": "now", "stop": "+12h"},
                               "message": ["The plant is being evacuated. Leave by the nearest exit."]},
                              f)
                times = []
                for _ in range(self.runs if size <= 10000 else 1):
                    start = time.monotonic()
                    try:
                        request_id = road.kel("submit", path, timeout=self.limits[size]).split()[-1]
                    except subprocess.TimeoutExpired:
                        break
                    times.append(time.monotonic() - start)
                    inbox = road.root + "Inbox/" + request_id + ".xml"
                    with open(inbox) as f:
                        staged[size] = f.read()
                    os.remove(inbox)
                self.line("kel submit", size, times, TARGETS["kel"].get(size), self.limits[size])
        finally:
            shutil.rmtree(base, ignore_errors=True)
        if 100000 not in staged and 10000 in staged:
            staged[100000] = widen(staged[10000], 100000)
        return staged

    def scheduler(self):
        binary = os.path.join(self.bench.build, "bench", "bench_dialqueue_intake")
        if not os.path.exists(binary):
            print(f"  scheduler intake: {binary} is not built; skipped")
            return
        done = subprocess.run([binary, "--benchmark_filter=BM_(Intake|ParseOnly)/(10000|100000)$",
                               "--benchmark_format=json", f"--benchmark_repetitions={self.runs}"],
                              capture_output=True, text=True, timeout=900)
        found = {}
        for result in json.loads(done.stdout or "{}").get("benchmarks", []):
            if result.get("run_type") != "iteration":
                continue
            kind, size = result["name"].split("/")[:2]
            unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[result.get("time_unit", "ns")]
            found.setdefault((kind, int(size)), []).append(result["real_time"] * unit)
        if not found:
            print("  scheduler intake: no figures from " + binary)
        for size in SIZES:
            self.line("scheduler (AddRequest)", size, found.get(("BM_Intake", size), []),
                      TARGETS["scheduler"].get(size), "-")
            parse = min_median(found.get(("BM_ParseOnly", size), []))[1]
            if parse is not None:
                print(f"  {'':<26} {'':>7}   beside parsing the file and reading its recipients "
                      f"only: median {seconds(parse)}")

    def prepax(self, staged):
        for size in SIZES:
            if size not in staged:
                continue
            limit = 60 if size <= 10000 or self.quick else 300
            times = []
            for _ in range(self.runs if size <= 10000 else 1):
                base = self.bench.base("prepax")
                road = Road(self.bench.build, base)
                try:
                    request_id = re.search(r'\bID="([^"]+)"', staged[size]).group(1)
                    with open(road.root + "Inbox/" + request_id + ".xml", "w") as f:
                        f.write(staged[size])
                    report = road.root + "Reports/" + request_id + ".xml"
                    road.start_prepax()
                    wait_for(lambda: report_status(report) is not None, 60, "the report", 0.01)
                    made = time.monotonic()
                    try:
                        wait_for(lambda: report_status(report) == "Scheduled", limit,
                                 "Scheduled", 0.05)
                        times.append(time.monotonic() - made)
                    except Failure:
                        break
                finally:
                    road.stop_all()
                    shutil.rmtree(base, ignore_errors=True)
            self.line("prepax (report to Scheduled)", size, times, TARGETS["prepax"].get(size),
                      limit)
