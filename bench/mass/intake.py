"""Intake of one large request, for bench/mass: `kel submit` of 10,000 and
100,000 recipients, the same through the HTTP API (ringwell-api, one POST
/v1/requests on loopback), the scheduler's intake of such a request (the
bench_dialqueue_intake benchmark, AddRequest's whole work), and the prepax
daemon, from the request's report being made to "Scheduled" (the daemon's
one-second look at Inbox left out). A step that takes too long is stopped
and shown as "> LIMIT". Beside kel's time on the clock, the CPU time it took
(what a busy machine does not stretch).

The peer of each: parsing the description and writing the request file with
Python's json module and an f-string (the least a submission does, in a
script a user might write instead), and for the scheduler, parsing the
request file and reading its recipients only."""
import http.client
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import time
import uuid

from figures import min_median, seconds, verdict
from road import Failure, Road, report_status, wait_for

SIZES = (10000, 100000)
TARGETS = {"kel": {10000: 0.3, 100000: 3.0}, "api": {10000: 0.3, 100000: 3.0},
           "scheduler": {100000: 1.0},
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
        self.api()
        self.scheduler()
        self.prepax(staged)
        sys.stdout.flush()

    def line(self, what, size, times, target, limit, cpu=None, peer=None):
        low, median = min_median(times)
        shown = (f"min {seconds(low)}  median {seconds(median)}" if low is not None
                 else f"> {limit} s (stopped)")
        if cpu:
            shown += f" (CPU {seconds(min_median(cpu)[1])})"
        verdict_text = "" if target is None else f"   target < {target} s: {verdict(median, target)}"
        if peer is not None and median is not None:
            verdict_text += f"   peer {seconds(peer)}, {median / peer:.1f}x"
        print(f"  {what:<29} {size:>7,} recipients: {shown}{verdict_text}")
        sys.stdout.flush()

    @staticmethod
    def description(size):
        return {"recipients": [f"555{i:07d}" for i in range(size)],
                "window": {"start": "now", "stop": "+12h"},
                "message": ["The plant is being evacuated. Leave by the nearest exit."]}

    def peer(self, path, directory):
        """The least a submission does: read the description, write a request
        file with every recipient atomically. The median of the runs."""
        times = []
        for _ in range(self.runs):
            start = time.monotonic()
            with open(path) as f:
                description = json.load(f)
            request_id = "{" + str(uuid.uuid4()).upper() + "}"
            text = "".join([f'<Request ID="{request_id}" Type="Call"><Recipients>'] +
                           [f'<Recipient dt:dt="string" Type="PhoneNumber">{number}</Recipient>'
                            for number in description["recipients"]] +
                           ["</Recipients></Request>"])
            target = os.path.join(directory, request_id + ".xml")
            with open(target + ".tmp", "w") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.rename(target + ".tmp", target)
            times.append(time.monotonic() - start)
            os.remove(target)
        return min_median(times)[1]

    # kel submit; returns {size: request file text as kel wrote it}.
    def submit(self):
        base = self.bench.base("intake")
        road = Road(self.bench.build, base)
        staged = {}
        try:
            for size in SIZES:
                path = os.path.join(base, f"request-{size}.json")
                with open(path, "w") as f:
                    json.dump(self.description(size), f)
                times, cpu = [], []
                for _ in range(self.runs):
                    before = resource.getrusage(resource.RUSAGE_CHILDREN)
                    start = time.monotonic()
                    try:
                        request_id = road.kel("submit", path, timeout=self.limits[size]).split()[-1]
                    except subprocess.TimeoutExpired:
                        break
                    times.append(time.monotonic() - start)
                    after = resource.getrusage(resource.RUSAGE_CHILDREN)
                    cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                    inbox = road.root + "Inbox/" + request_id + ".xml"
                    with open(inbox) as f:
                        staged[size] = f.read()
                    os.remove(inbox)
                self.line("kel submit", size, times, TARGETS["kel"].get(size), self.limits[size],
                          cpu, self.peer(path, base))
        finally:
            shutil.rmtree(base, ignore_errors=True)
        if 100000 not in staged and 10000 in staged:
            staged[100000] = widen(staged[10000], 100000)
        return staged

    # ringwell-api: one POST /v1/requests of the description.
    def api(self):
        base = self.bench.base("api")
        road = Road(self.bench.build, base)
        tokens = os.path.join(base, "tokens.json")
        try:
            token = road.run([road.bin("ringwell-api"), "--tokens", tokens, "token", "add", "bench",
                              "--scope", "submit"]).strip()
            with open(road.env["RINGWELL_REGISTRY"], "a") as f:
                f.write('[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell.Api]\n'
                        f'TokenFile = "{tokens}"\nMaxBodyBytes = {64 << 20}\n'
                        f'CallbackSecretFile = "{os.path.join(base, "callback.key")}"\n')
            process = road.start("api", [road.bin("ringwell-api"), "--listen", "127.0.0.1:0"],
                                 "ringwell-api: ready")
            with open(os.path.join(road.logs, "api.log")) as f:
                port = int(re.search(r"listening on http://127\.0\.0\.1:(\d+)", f.read()).group(1))
            for size in SIZES:
                body = json.dumps(self.description(size))
                times = []
                for _ in range(self.runs):
                    connection = http.client.HTTPConnection("127.0.0.1", port,
                                                            timeout=self.limits[size])
                    start = time.monotonic()
                    try:
                        connection.request("POST", "/v1/requests", body,
                                           {"Authorization": "Bearer " + token,
                                            "Content-Type": "application/json"})
                        answer = connection.getresponse()
                        reply = answer.read()
                    except TimeoutError:
                        break
                    finally:
                        connection.close()
                    if answer.status != 201:
                        raise Failure(f"ringwell-api answered {answer.status}: {reply[:200]!r}")
                    times.append(time.monotonic() - start)
                    for name in os.listdir(road.root + "Inbox"):
                        os.remove(road.root + "Inbox/" + name)
                self.line("ringwell-api POST", size, times, TARGETS["api"].get(size),
                          self.limits[size])
            del process
        except Failure as e:
            print(f"  ringwell-api: failed: {e}")
        finally:
            road.stop_all()
            shutil.rmtree(base, ignore_errors=True)

    def scheduler(self):
        binary = os.path.join(self.bench.build, "bench", "bench_dialqueue_intake")
        if not os.path.exists(binary):
            print(f"  scheduler intake: {binary} is not built; skipped")
            return
        # The benchmark prints its own table: the figures come from its JSON file.
        out = os.path.join(self.bench.base("scheduler"), "intake.json")
        subprocess.run([binary, "--benchmark_filter=BM_(Intake|ParseOnly)/(10000|100000)$",
                        f"--benchmark_out={out}", "--benchmark_out_format=json",
                        f"--benchmark_repetitions={self.runs}"],
                       capture_output=True, text=True, timeout=900)
        try:
            with open(out) as f:
                results = json.load(f).get("benchmarks", [])
        except (OSError, ValueError):
            results = []
        shutil.rmtree(os.path.dirname(out), ignore_errors=True)
        found = {}
        for result in results:
            if result.get("run_type") != "iteration":
                continue
            kind, size = result["name"].split("/")[:2]
            unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[result.get("time_unit", "ns")]
            found.setdefault((kind, int(size)), []).append(result["real_time"] * unit)
        if not found:
            print("  scheduler intake: no figures from " + binary)
        for size in SIZES:
            parse = min_median(found.get(("BM_ParseOnly", size), []))[1]
            self.line("scheduler (AddRequest)", size, found.get(("BM_Intake", size), []),
                      TARGETS["scheduler"].get(size), "-", peer=parse)

    def prepax(self, staged):
        for size in SIZES:
            if size not in staged:
                continue
            limit = 60 if size <= 10000 or self.quick else 300
            times = []
            for _ in range(self.runs):
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
