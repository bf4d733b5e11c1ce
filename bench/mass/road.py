"""The road of a request on a temporary storage root, for bench/mass: the
registry and the root, kel, the prepax daemon, ringwell-host with SIP lines,
SIPp answering every call on 127.0.0.1, and a sink for the RTP the lines send.

Everything runs as the programs a user runs, from a build tree
(BUILD/bin, BUILD/lib); each process started here is stopped by its own id.
"""
import json
import os
import signal
import socket
import subprocess
import time


class Failure(Exception):
    """The road could not be set up or did not behave."""


def wait_for(condition, timeout, what, interval=0.05):
    """Polls `condition` until it is true; raises Failure after `timeout` s."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(process, grace=20):
    """SIGTERM, then SIGKILL after `grace` s; the exit code."""
    if process is None or process.poll() is not None:
        return None if process is None else process.returncode
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def proc_usage(pid):
    """(cpu seconds, peak RSS in MiB) of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime
    peak = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) / 1024
    return cpu, peak


def report_status(path):
    """The Status of a report as a whole (read from the root element only); None
    while the report does not exist."""
    try:
        with open(path, "rb") as f:
            head = f.read(600).decode("utf-8", "replace")
    except FileNotFoundError:
        return None
    at = head.find(' Status="')
    if at < 0:
        return ""
    return head[at + 9 : head.find('"', at + 9)]


class Road:
    """A storage root and registry below `base`, and the programs of `build`."""

    def __init__(self, build, base):
        self.build = build
        self.base = base
        self.root = os.path.join(base, "root") + "/"
        self.logs = os.path.join(base, "logs")
        os.makedirs(self.logs, exist_ok=True)
        for sub in ("Inbox", "Requests", "Reports", "Files/{0}"):
            os.makedirs(self.root + sub, exist_ok=True)
        self.env = dict(os.environ)
        self.env["RINGWELL_REGISTRY"] = os.path.join(base, "registry.toml")
        self.env["RINGWELL_EVENTLOG"] = os.path.join(self.logs, "events.jsonl")
        self.env["RINGWELL_JOURNAL"] = "0"
        with open(self.env["RINGWELL_REGISTRY"], "w") as f:
            f.write('[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n'
                    f'RootDir = "{self.root}"\nAudioFormat = 49\n')
        lib = os.path.join(build, "lib")
        self.run([self.bin("ringwell-regsvr")] + [os.path.join(lib, f"lib{name}.so")
                  for name in ("kel", "tallier", "wavshift", "dialqueue")])
        self.run([self.bin("prepax"), "-RegServer"])
        self.processes = []

    def bin(self, name):
        return os.path.join(self.build, "bin", name)

    def run(self, argv, timeout=None):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=timeout)
        if done.returncode != 0:
            raise Failure(f"{' '.join(argv[:3])} ...: exit {done.returncode}: {done.stderr.strip()}")
        return done.stdout

    def kel(self, *args, timeout=None):
        return self.run([self.bin("kel"), "--root", self.root, *args], timeout=timeout)

    def start(self, name, argv, ready_text, timeout=60):
        """Starts `argv` with its output in logs/NAME.log; waits for `ready_text`."""
        log_path = os.path.join(self.logs, name + ".log")
        log = open(log_path, "w")
        process = subprocess.Popen(argv, env=self.env, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
        self.processes.append(process)

        def ready():
            if process.poll() is not None:
                raise Failure(f"{name} ended with {process.returncode}: see {log_path}")
            with open(log_path, errors="replace") as f:
                return ready_text in f.read()

        wait_for(ready, timeout, f"{name} to be ready")
        return process

    def start_prepax(self):
        return self.start("prepax", [self.bin("prepax")], "Prepax is running")

    def start_host(self, lines, sipp_port, extra=()):
        argv = [self.bin("ringwell-host"), "--root", self.root, "--no-pager",
                "--sip-lines", f"1-{lines}", "--dispatch", "immediate",
                "--sip-uri", "sip:{number}@127.0.0.1:" + str(sipp_port),
                "--sip-local-address", "127.0.0.1", *extra]
        return self.start("host", argv, "ringwell-host: ready")

    def stop_all(self):
        for process in reversed(self.processes):
            stop(process)
        self.processes = []


CALLEE = """<?xml version="1.0" encoding="ISO-8859-1"?>
<scenario name="mass callee">
<recv request="INVITE"><action><log message="I [timestamp]"/></action></recv>
<send><![CDATA[
SIP/2.0 180 Ringing
[last_Via:]
[last_From:]
[last_To:];tag=[pid]callee[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
<pause milliseconds="{ring_ms}"/>
<send retrans="500"><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]callee[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:callee@[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=callee 1 1 IN IP4 127.0.0.1
s=-
c=IN IP4 127.0.0.1
t=0 0
m=audio {media_port} RTP/AVP 0
a=rtpmap:0 PCMU/8000
]]></send>
<recv request="ACK"/>
<recv request="BYE"><action><log message="B [timestamp]"/></action></recv>
<send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
</scenario>
"""


class Callee:
    """SIPp answering every call after `ring` seconds of ringing, logging each
    INVITE and BYE with its time, and a UDP socket that takes the RTP and
    never reads it (the kernel drops what does not fit). With `timing` (the
    path of bench_rtp_sink) the RTP goes to that sink instead, which reads
    every packet with its arrival time: `timing` then holds the intervals
    between each call's packets once the callee is closed."""

    def __init__(self, road, ring, timing=None):
        self.sink = None
        self.sink_process = None
        self.timing = None
        if timing:
            port_file = os.path.join(road.logs, "sink-port")
            self.sink_out = os.path.join(road.logs, "sink.json")
            self.sink_process = subprocess.Popen([timing, port_file],
                                                 stdout=open(self.sink_out, "w"),
                                                 stdin=subprocess.DEVNULL)
            wait_for(lambda: os.path.exists(port_file) and open(port_file).read().endswith("\n"),
                     10, "the RTP sink to listen")
            media_port = int(open(port_file).read())
        else:
            self.sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            self.sink.bind(("127.0.0.1", 0))
            media_port = self.sink.getsockname()[1]
        scenario = os.path.join(road.logs, "callee.xml")
        with open(scenario, "w") as f:
            f.write(CALLEE.replace("{ring_ms}", str(int(ring * 1000)))
                    .replace("{media_port}", str(media_port)))
        self.log = os.path.join(road.logs, "callee-log.txt")
        self.port = free_port()
        argv = ["/usr/bin/sipp", "-sf", scenario, "-i", "127.0.0.1", "-p", str(self.port),
                "-nostdin", "-trace_logs", "-log_file", self.log,
                "-trace_err", "-error_file", os.path.join(road.logs, "callee-errors.log"),
                "-buff_size", str(8 << 20), "-max_recv_loops", "10000",
                "-watchdog_minor_maxtriggers", "1000000", "-watchdog_major_maxtriggers", "1000000"]
        out = open(os.path.join(road.logs, "sipp.log"), "w")
        self.process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)

        def bound():
            if self.process.poll() is not None:
                raise Failure("SIPp ended at once: see " + out.name)
            with open("/proc/net/udp") as f:
                return f":{self.port:04X} " in f.read()

        wait_for(bound, 10, "SIPp to listen")

    def events(self):
        """[(seconds since the epoch, 'I' or 'B')], in order of time."""
        found = []
        try:
            with open(self.log) as f:
                for line in f:
                    parts = line.split()
                    if len(parts) >= 4 and parts[0] in ("I", "B"):
                        found.append((float(parts[3]), parts[0]))
        except FileNotFoundError:
            pass
        # A BYE and an INVITE at one moment: the BYE first.
        return sorted(found, key=lambda e: (e[0], e[1] == "I"))

    def close(self):
        stop(self.process, 5)
        if self.sink:
            self.sink.close()
        if self.sink_process:
            stop(self.sink_process, 5)
            try:
                with open(self.sink_out) as f:
                    self.timing = json.loads(f.read())
            except (OSError, ValueError):
                self.timing = None
