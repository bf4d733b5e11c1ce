#!/usr/bin/python3
"""ringwell-api side by side with what a user would otherwise run.

1. Submissions: wrk posts request descriptions to POST /v1/requests over
   keep-alive connections (submissions per second, latency p50/p99), beside a
   loop of `kel submit` processes, one after the other and two at a time (what
   a script on the machine would do). Both write the same Inbox files on the
   same file system.
2. Fan-out: 200 clients follow one request's events (Server-Sent Events);
   the report is changed (renamed into Reports/ as the report generator saves
   it) 20 times, and each change's arrival at each client is timed.
3. Listing: a page of the API's listing of 100,000 reports (first page, a
   page by cursor, a status filter) beside `kel ls --limit 50 --json`.
4. The edge under attack: the API's memory while 50 clients without a token
   post 32 MiB chunked bodies at once (goal: under 20 MB of growth), and the
   /healthz latency (p50/p99/max from 127.0.0.1) alone, while 8 clients send
   wrong secrets for a known token name, and while 2,000 half-open
   connections trickle header bytes from other loopback addresses (goal: p99
   under 10 ms).
5. Status callbacks: a request of 100, 1,000 and 10,000 recipients whose
   every event (3 per recipient, the report changed in 10 steps) is posted to a receiver on loopback; the
   callbacks a second beside what the receiver takes from curl posting over
   one kept-alive connection (the receiver's speed), and the API's CPU time
   per event (all its threads, from /proc).

Each figure is the min and median of several runs where it makes sense. The
storage root is in memory (/dev/shm) unless RINGWELL_BENCH_DISK=1.

  bench_api [SECONDS per wrk run, default 10] [submissions|fan_out|listing|edge|callbacks ...]
"""
import http.client
import json
import multiprocessing
import os
import re
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, "@CMAKE_SOURCE_DIR@/api/tests")
os.environ.setdefault("RINGWELL_BUILD_DIR", "@CMAKE_BINARY_DIR@")
import apitest  # noqa: E402
from apitest import Client, Installation, program  # noqa: E402

SECONDS = next((int(a) for a in sys.argv[1:] if a.isdigit()), 10)
PARTS = [a for a in sys.argv[1:] if not a.isdigit()] or ["submissions", "fan_out", "listing", "edge", "callbacks"]
DESCRIPTION = {"recipients": ["5551234"], "window": {"stop": "+1h"}, "message": ["The backup failed."]}
WRK_SCRIPT = """
wrk.method = "POST"
wrk.body = '%s'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("RINGWELL_TOKEN")
""" % json.dumps(DESCRIPTION)

if os.environ.get("RINGWELL_BENCH_DISK") != "1" and os.path.isdir("/dev/shm"):
    tempfile.tempdir = "/dev/shm"


def percentile(values, fraction):
    values = sorted(values)
    return values[min(len(values) - 1, int(fraction * len(values)))]


def wrk(inst, token, connections, threads):
    script = os.path.join(inst.dir, "post.lua")
    with open(script, "w") as f:
        f.write(WRK_SCRIPT)
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % SECONDS, "--latency", "-s", script,
                          "http://127.0.0.1:%d/v1/requests" % inst.port],
                         env=dict(os.environ, RINGWELL_TOKEN=token), capture_output=True, text=True, check=True).stdout

    def millis(label):
        match = re.search(r"^\s*%s%%\s+([\d.]+)(us|ms|s)$" % label, out, re.M)
        value, unit = float(match.group(1)), match.group(2)
        return value / 1000 if unit == "us" else value * 1000 if unit == "s" else value

    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rate, millis("50"), millis("99"), int(errors.group(1)) if errors else 0


def kel_loop(inst, count, parallel):
    """`count` kel submit processes, `parallel` at a time: (per second, p50 ms, p99 ms)."""
    path = os.path.join(inst.dir, "description.json")
    with open(path, "w") as f:
        json.dump(DESCRIPTION, f)
    times = []
    lock = threading.Lock()
    todo = list(range(count))

    def worker():
        while True:
            with lock:
                if not todo:
                    return
                todo.pop()
            start = time.perf_counter()
            subprocess.run([program("kel"), "submit", path], env=inst.env, check=True, capture_output=True)
            with lock:
                times.append((time.perf_counter() - start) * 1000)

    start = time.perf_counter()
    workers = [threading.Thread(target=worker) for _ in range(parallel)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    return count / elapsed, percentile(times, 0.5), percentile(times, 0.99)


def submissions():
    print("submissions (%s)" % ("disk" if tempfile.gettempdir() != "/dev/shm" else "tmpfs"))
    inst = Installation({"RateLimit": "1000000", "RateBurst": "1000000", "Threads": "2"})
    try:
        inst.start()
        token = apitest.tokens()["all"]
        Client(inst, token).submit(DESCRIPTION)  # each server thread's toolkit is made once
        print("  %-34s %12s %9s %9s" % ("", "per second", "p50 ms", "p99 ms"))
        for connections, threads in ((1, 1), (8, 2), (32, 2)):
            runs = [wrk(inst, token, connections, threads) for _ in range(3)]
            rates = [r[0] for r in runs]
            best = max(runs, key=lambda r: r[0])
            errors = sum(r[3] for r in runs)
            print("  %-34s %12.0f %9.2f %9.2f   (min %.0f/s, median %.0f/s%s)"
                  % ("API, wrk %d connection%s" % (connections, "s" if connections > 1 else ""),
                     best[0], best[1], best[2], min(rates), statistics.median(rates),
                     ", %d errors" % errors if errors else ""))
        for parallel in (1, 2):
            runs = [kel_loop(inst, 100, parallel) for _ in range(3)]
            best = max(runs, key=lambda r: r[0])
            print("  %-34s %12.0f %9.2f %9.2f   (min %.0f/s, median %.0f/s)"
                  % ("kel submit processes, %d at a time" % parallel, best[0], best[1], best[2],
                     min(r[0] for r in runs), statistics.median(r[0] for r in runs)))
        inst.stop()
    finally:
        inst.remove()


def fan_out(watchers=200, changes=20):
    """The clients are plain sockets read by one selector loop, so that the
    measuring costs little beside what is measured."""
    print("event fan-out: %d clients follow one request, %d changes of its report" % (watchers, changes))
    inst = Installation({"RateLimit": "1000000", "RateBurst": "1000000", "Threads": "4"})
    try:
        inst.start()
        client = Client(inst, apitest.tokens()["all"])
        id = client.submit(DESCRIPTION)
        numbers = inst.schedule(id)
        request = ("GET /v1/requests/%s/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n\r\n"
                   % (id, client.token)).encode()
        selector = selectors.DefaultSelector()
        arrivals = [dict() for _ in range(watchers)]  # seq -> arrival time
        pending = [b""] * watchers
        for index in range(watchers):
            sock = socket.create_connection(("127.0.0.1", inst.port))
            sock.sendall(request)
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ, index)

        def pump(until, timeout=60):
            deadline = time.monotonic() + timeout
            while not until():
                if time.monotonic() > deadline:
                    raise AssertionError("the clients did not get every event")
                for key, _ in selector.select(timeout=1):
                    data = key.fileobj.recv(65536)
                    now = time.perf_counter()
                    index = key.data
                    if not data:
                        selector.unregister(key.fileobj)
                        key.fileobj.close()
                        continue
                    text = pending[index] + data
                    lines = text.split(b"\n")
                    pending[index] = lines.pop()
                    for line in lines:
                        if line.startswith(b"id: "):
                            arrivals[index][int(line[4:])] = now

        pump(lambda: all(2 in a for a in arrivals))
        latencies = []
        for change in range(changes):
            seq_before = max(max(a) for a in arrivals)
            last = change == changes - 1
            written = time.perf_counter()
            inst.write_report(id, "Completed" if last else "InProgress",
                              [(numbers[0], "Completed" if last else "InProgress",
                                [{"Answer": "Busy", "Status": "Busy"}] * (change + 1))])
            pump(lambda: all(max(a) > seq_before for a in arrivals))
            for a in arrivals:
                latencies.append((min(a[seq] for seq in a if seq > seq_before) - written) * 1000)
        selector.close()
        print("  report change -> client: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d arrivals)"
              % (percentile(latencies, 0.5), percentile(latencies, 0.99), max(latencies), len(latencies)))
        inst.stop()
    finally:
        inst.remove()


def listing(reports=100000):
    print("listing %d reports" % reports)
    inst = Installation()
    try:
        for i in range(reports):
            id = "{%08X-0000-4000-8000-%012X}" % (i, i)
            with open(inst.root + "Reports/" + id + ".xml", "w") as f:
                f.write('<Report ID="%s" Type="Call" Status="%s"><SubReport Recipient="5550001" '
                        'Status="Completed"/></Report>' % (id, ["Completed", "Scheduled", "Canceled"][i % 3]))
        started = time.perf_counter()
        inst.start()
        print("  API start (lists the directories)        %8.3f s" % (time.perf_counter() - started))
        client = Client(inst, apitest.tokens()["all"])

        def timed(path, runs=5):
            times = []
            body = None
            for _ in range(runs):
                start = time.perf_counter()
                status, _, body = client.request("GET", path)
                times.append(time.perf_counter() - start)
                assert status == 200, body
            return min(times), statistics.median(times), body

        first = timed("/v1/requests?limit=50", runs=1)
        print("  API first page, limit 50 (cold)          %8.3f s" % first[0])
        warm = timed("/v1/requests?limit=50")
        print("  API first page, limit 50                 min %.4f s, median %.4f s" % warm[:2])
        cursor = warm[2]["next"]
        page = timed("/v1/requests?limit=50&cursor=" + cursor)
        print("  API page by cursor, limit 50             min %.4f s, median %.4f s" % page[:2])
        cold = timed("/v1/requests?status=Scheduled&limit=50", runs=1)
        print("  API status filter, limit 50 (cold)       %8.3f s" % cold[0])
        filtered = timed("/v1/requests?status=Scheduled&limit=50")
        print("  API status filter, limit 50              min %.4f s, median %.4f s" % filtered[:2])
        kel = []
        for _ in range(3):
            start = time.perf_counter()
            subprocess.run([program("kel"), "ls", "--limit", "50", "--json"], env=inst.env, check=True,
                           capture_output=True)
            kel.append(time.perf_counter() - start)
        print("  kel ls --limit 50 --json                 min %.4f s, median %.4f s  (API/kel: %.3f)"
              % (min(kel), statistics.median(kel), warm[1] / statistics.median(kel)))
        inst.stop()
    finally:
        inst.remove()


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def healthz_latencies(inst, seconds):
    """/healthz over one keep-alive connection from 127.0.0.1 for `seconds`:
    the latencies in ms (a refused or dropped connection is made again)."""
    times = []
    connection = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.perf_counter()
        try:
            connection.request("GET", "/healthz")
            response = connection.getresponse()
            response.read()
            assert response.status == 200, response.status
        except (OSError, http.client.HTTPException):
            connection.close()
            connection = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30)
            continue
        times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.005)
    connection.close()
    return times


def report_latency(label, times):
    print("  %-52s p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms  (%d)"
          % (label, percentile(times, 0.5), percentile(times, 0.99), max(times), len(times)))


def edge(seconds=10):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    print("the edge under attack")
    inst = Installation({"RateLimit": "1000000", "RateBurst": "1000000"})
    try:
        inst.start()
        pid = inst.process.pid
        report_latency("/healthz, nothing else", healthz_latencies(inst, seconds))

        # 1. 50 tokenless clients post 32 MiB chunked bodies at once.
        before = rss_mb(pid)
        peak = [before]
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], rss_mb(pid))
                time.sleep(0.02)

        outcome = {"sent": 0, "answers": {}}
        lock = threading.Lock()

        def flood(index):
            sock = socket.create_connection(("127.0.0.1", inst.port), source_address=("127.0.0.%d" % (2 + index), 0))
            sent = 0
            try:
                sock.sendall(b"POST /v1/files HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
                             b"boundary=B\r\nTransfer-Encoding: chunked\r\n\r\n")
                piece = b"%x\r\n" % 65536 + b"a" * 65536 + b"\r\n"
                while sent < 32 << 20:
                    sock.sendall(piece)
                    sent += 65536
            except OSError:
                pass
            try:
                sock.settimeout(10)
                status = sock.recv(4096).split(b" ")[1].decode()
            except (OSError, IndexError):
                status = "closed"
            sock.close()
            with lock:
                outcome["sent"] += sent
                outcome["answers"][status] = outcome["answers"].get(status, 0) + 1

        sampler = threading.Thread(target=sample)
        sampler.start()
        floods = [threading.Thread(target=flood, args=(i,)) for i in range(50)]
        for thread in floods:
            thread.start()
        for thread in floods:
            thread.join()
        time.sleep(0.2)
        done.set()
        sampler.join()
        print("  50 tokenless clients posting 32 MiB chunked bodies: API memory %.1f MB -> peak %.1f MB "
              "(growth %.1f MB); %.1f MiB got through; answers %s"
              % (before, peak[0], peak[0] - before, outcome["sent"] / (1 << 20), outcome["answers"]))

        # 2. 8 clients send wrong secrets for a known token name.
        right = apitest.tokens()["reader"]
        wrong = right[:-6] + "zzzzzz"
        # The attackers run in processes of their own, so that the client
        # measuring /healthz shares no interpreter lock with them.
        stop = multiprocessing.Event()
        results = multiprocessing.Queue()

        def guesser(index):
            codes = {}
            connection = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30,
                                                    source_address=("127.0.2.%d" % (1 + index), 0))
            while not stop.is_set():
                try:
                    connection.request("GET", "/v1/requests", headers={"Authorization": "Bearer " + wrong})
                    response = connection.getresponse()
                    response.read()
                    codes[response.status] = codes.get(response.status, 0) + 1
                except (OSError, http.client.HTTPException):
                    connection.close()
                    connection = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30,
                                                            source_address=("127.0.2.%d" % (1 + index), 0))
            connection.close()
            results.put(codes)

        guessers = [multiprocessing.Process(target=guesser, args=(i,)) for i in range(8)]
        for process in guessers:
            process.start()
        time.sleep(0.5)
        times = healthz_latencies(inst, seconds)
        stop.set()
        codes = {}
        for _ in guessers:
            for code, count in results.get().items():
                codes[code] = codes.get(code, 0) + count
        for process in guessers:
            process.join()
        report_latency("/healthz while 8 clients send wrong secrets", times)
        metrics = Client(inst).request("GET", "/metrics")[2]

        def figure(name):
            found = re.search(r'%s\{route="/v1/requests",method="GET"\} ([\d.e+-]+)' % name, metrics)
            return float(found.group(1)) if found else 0.0

        count = figure("ringwell_api_request_duration_seconds_count")
        print("    their answers: %s; the API's own time per answer: %.1f us on average"
              % (", ".join("%d x %d" % (n, c) for c, n in sorted(codes.items())),
                 figure("ringwell_api_request_duration_seconds_sum") / count * 1e6 if count else 0))

        # 3. 2,000 half-open connections trickle header bytes (one a second
        # each), made again whenever the API cuts one off.
        stop.clear()

        def trickle():
            stats = {"cut": 0, "made": 0}
            selector = selectors.DefaultSelector()

            def open_one(index):
                try:
                    sock = socket.create_connection(("127.0.0.1", inst.port), timeout=5,
                                                    source_address=("127.0.3.%d" % (1 + index % 16), 0))
                except OSError:
                    return
                sock.setblocking(False)
                sock.send(b"GET /healthz HTTP/1.1\r\n")
                selector.register(sock, selectors.EVENT_READ, index)
                stats["made"] += 1

            for index in range(2000):
                open_one(index)
            last = time.monotonic()
            while not stop.is_set():
                for key, _ in selector.select(timeout=0.1):
                    try:
                        gone = key.fileobj.recv(4096) == b""
                    except OSError:
                        gone = True
                    if gone:
                        selector.unregister(key.fileobj)
                        key.fileobj.close()
                        stats["cut"] += 1
                        open_one(key.data)
                if time.monotonic() - last >= 1:
                    last = time.monotonic()
                    for key in list(selector.get_map().values()):
                        try:
                            key.fileobj.send(b"X")
                        except OSError:
                            pass
            for key in list(selector.get_map().values()):
                key.fileobj.close()
            selector.close()
            results.put(stats)

        trickler = multiprocessing.Process(target=trickle)
        trickler.start()
        time.sleep(3)
        times = healthz_latencies(inst, max(seconds, 15))
        stop.set()
        stats = results.get()
        trickler.join()
        report_latency("/healthz while 2,000 connections trickle headers", times)
        print("    trickling connections made %d, cut off by the API %d" % (stats["made"], stats["cut"]))
        inst.stop()
    finally:
        inst.remove()


class FastReceiver:
    """A callback receiver on loopback answering 200 at once, over kept-alive
    connections (raw sockets, a thread per connection); counts the posts."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(128)
        self.count = 0
        self.connections = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/hook" % self.sock.getsockname()[1]

    def _accept(self):
        while True:
            try:
                connection, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        data = b""
        with connection:
            while True:
                end = data.find(b"\r\n\r\n")
                if end < 0:
                    chunk = connection.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                    continue
                length = int(re.search(rb"(?i)content-length:\s*(\d+)", data[:end]).group(1))
                while len(data) < end + 4 + length:
                    chunk = connection.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                data = data[end + 4 + length:]
                with self.lock:
                    self.count += 1
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")

    def close(self):
        self.sock.close()


def cpu_seconds(pid):
    """CPU time of all of a process's threads (ns resolution)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def report_xml(id, status, recipients):
    calls = ('<Call Status="Completed" Error=""><Time dt:dt="dateTime">2026-12-07T09:30:00</Time><Answer>Answered'
             '</Answer><Protocol>Played greeting</Protocol><Duration>12</Duration></Call>')
    parts = ['<Report xmlns="urn:schemas-microsoft-com:xml-data" xmlns:dt="urn:schemas-microsoft-com:datatypes" '
             'UserID="{0}" ID="%s" Type="Call" Status="%s">' % (id, status)]
    for number, recipient_status in recipients:
        parts.append('<SubReport Recipient="%s" Status="%s">%s</SubReport>'
                     % (number, recipient_status, calls if recipient_status == "Completed" else ""))
    parts.append("</Report>")
    return "".join(parts)


def write_report(inst, id, text):
    temp = inst.root + "Reports/." + id + ".xml.new"
    with open(temp, "w") as f:
        f.write(text)
    os.rename(temp, inst.root + "Reports/" + id + ".xml")


def receiver_speed(receiver, posts=3000):
    body = json.dumps({"seq": 1, "type": "recipient", "status": "Completed", "index": 1, "recipient": "5550001"})
    path = os.path.join(tempfile.gettempdir(), "ringwell-bench-body.json")
    with open(path, "w") as f:
        f.write(body)
    before = receiver.count
    start = time.perf_counter()
    subprocess.run(["curl", "-s", "-H", "Content-Type: application/json", "--data-binary", "@" + path]
                   + [receiver.url] * posts, check=True, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    os.remove(path)
    assert receiver.count - before == posts
    return posts / elapsed


def callbacks(sizes=(100, 1000, 10000), steps=10):
    print("status callbacks: every event of one request to a receiver on loopback")
    receiver = FastReceiver()
    try:
        speed = receiver_speed(receiver)
        print("  receiver alone (curl, one kept-alive connection): %.0f posts/s" % speed)
        print("  %10s %8s %10s %12s %14s %16s" % ("recipients", "events", "seconds", "callbacks/s", "of receiver",
                                                  "API CPU/event"))
        for size in sizes:
            inst = Installation({"RateLimit": "1000000", "RateBurst": "1000000", "MaxBodyBytes": "16777216"})
            try:
                inst.start()
                client = Client(inst, apitest.tokens()["all"])
                numbers = ["5%06d" % i for i in range(size)]
                id = client.submit({"recipients": numbers, "message": ["The cooling has failed."],
                                    "statusCallback": receiver.url})
                events = 3 * size + 3  # Scheduled each; then a call and Completed each; 3 request statuses
                before = receiver.count
                connections = receiver.connections
                cpu = cpu_seconds(inst.process.pid)
                start = time.perf_counter()
                journal = inst.root + "Events/" + id + ".jsonl"

                seen = {"bytes": 0, "lines": 0}

                def journaled(count):
                    """Waits until the API has seen a change (each is seen on its own, as
                    the report generator's saves of a busy request are)."""
                    deadline = time.monotonic() + 600
                    while seen["lines"] < count:
                        if time.monotonic() > deadline:
                            raise AssertionError("the API did not see the report change")
                        time.sleep(0.005)
                        if os.path.exists(journal):
                            with open(journal, "rb") as f:
                                f.seek(seen["bytes"])
                                text = f.read()
                            whole = text.rfind(b"\n") + 1
                            seen["bytes"] += whole
                            seen["lines"] += text.count(b"\n", 0, whole)

                statuses = ["Scheduled"] * size
                write_report(inst, id, report_xml(id, "Scheduled", zip(numbers, statuses)))
                journaled(size + 1)
                for step in range(steps):
                    for i in range(step * size // steps, (step + 1) * size // steps):
                        statuses[i] = "Completed"
                    last = step == steps - 1
                    write_report(inst, id, report_xml(id, "Completed" if last else "InProgress",
                                                      zip(numbers, statuses)))
                    journaled(size + 2 + 2 * ((step + 1) * size // steps) + (1 if last else 0))
                deadline = time.monotonic() + 600
                while receiver.count - before < events:
                    if time.monotonic() > deadline:
                        raise AssertionError("only %d of %d callbacks arrived" % (receiver.count - before, events))
                    time.sleep(0.005)
                elapsed = time.perf_counter() - start
                cpu = cpu_seconds(inst.process.pid) - cpu
                print("  %10d %8d %10.2f %12.0f %13.0f%% %13.1f us   (%d connection%s)"
                      % (size, events, elapsed, events / elapsed, 100 * events / elapsed / speed, cpu / events * 1e6,
                         receiver.connections - connections, "" if receiver.connections - connections == 1 else "s"))
                inst.stop()
            finally:
                inst.remove()
    finally:
        receiver.close()


if __name__ == "__main__":
    apitest.load_openapi()
    apitest.OPENAPI.document = None  # no checking while measuring
    for part in PARTS:
        if part == "edge":
            edge(SECONDS)
        else:
            globals()[part]()
