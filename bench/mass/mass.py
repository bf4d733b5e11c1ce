#!/usr/bin/env python3
"""Mass notification on one box, measured on the real road: kel submits one
request, the prepax daemon prepares it, ringwell-host calls every recipient
on SIP lines (immediate dispatch), and SIPp on 127.0.0.1 answers every call
after a set time of ringing while the host plays the message. Everything runs
on a temporary storage root (on disk, or with --tmpfs in memory).

Printed, each beside its target:
  1. intake: `kel submit` of 10,000 and 100,000 recipients, the scheduler's
     intake of such a request (bench_dialqueue_intake), and prepax from the
     request's report being made to "Scheduled";
  3. the headline, 10,000 recipients with a 45 s message after 10 s of
     ringing on as many lines as 15 minutes need, and the CI-sized case,
     3,000 recipients on 300 lines, 0.5 s of ringing, a 3.4 s message (a text
     the daemon speaks, as near to that length as whole sentences come, and
     once a recording of tones loud to its end): the submission, submit -> "Completed", the floor (recipients x call / lines,
     the least any host with that many lines needs), the ratio to it, results
     lost (calls SIPp took against calls in the report), the host's peak RSS
     and CPU per call;
  4. the host's peak RSS at 500 and 1,000 lines, and its CPU per call with
     the CI-sized call at 10,000 recipients (size); calls at once (concurrent):
     host CPU per second of call and per call, peak RSS, and the intervals
     between each call's RTP packets as they arrived at the receiver, at 100,
     500, 1,000 and 2,000 calls (2 minutes of message at 2,000);
  5. a trunk's limits as SIPp saw them (calls at once, set-ups in any second),
     and RTP pacing as the service user with and without the real-time
     priority its unit grants (bench_sip beside baresip).
Min and median of --runs runs where a run takes minutes, one run of the
headline (--headline-runs).

    bench/mass/mass.py BUILD_DIR [--quick] [--tmpfs] [--runs N] [--only NAMES] [--calls N,...]

--quick: the CI-sized case once, intake at 10,000 (100,000 with a short time
limit), 500 lines, a short pacing call; no headline and no size. --only takes
a comma list of intake, ci, headline, memory, size, concurrent, trunk, pacing;
--calls the levels of the concurrent part (e.g. 100,1000).
"""
import argparse
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from figures import (min_median, mib, most_at_once, read_report, seconds,  # noqa: E402
                     setups_per_window, verdict)
from road import Callee, Failure, Road, proc_usage, report_status, wait_for  # noqa: E402
from sniffer import InviteSniffer  # noqa: E402
from sniffer import available as sniffing_available  # noqa: E402


# What an alert says, a sentence at a time.
SENTENCES = ["A fire alarm is active in building four. Please leave now.",
             "Leave the building by the nearest exit.",
             "Do not use the lifts.", "Gather at the assembly point in the car park.",
             "Wait there until you are told that it is safe to go back.",
             "If you need help, call the security desk."]


def wav_seconds(path):
    """How long the wav file `path` plays (any codec the fmt chunk names)."""
    with open(path, "rb") as f:
        data = f.read()
    at, rate, size = 12, None, None
    while at + 8 <= len(data):
        name, length = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if name == b"fmt ":
            rate = struct.unpack("<I", data[at + 16:at + 20])[0]  # bytes a second
        elif name == b"data":
            size = length
        at += 8 + length + (length & 1)
    return size / rate


def spoken_message(road, length):
    """A text as the daemon speaks it (`kel say`, its own speech), of the
    sentences in turn, as near to `length` s as whole sentences come.
    (text, seconds)."""
    wav = os.path.join(road.base, "spoken.wav")
    best = None
    text = ""
    for turn in range(1000):
        text = (text + " " + SENTENCES[turn % len(SENTENCES)]).strip()
        road.kel("say", text, "-o", wav)
        seconds = wav_seconds(wav)
        if best is None or abs(seconds - length) < abs(best[1] - length):
            best = (text, seconds)
        if seconds >= length:
            return best
    raise Failure(f"no text found that speaks for {length} s")


def write_tones(path, length):
    """`length` seconds of changing tones, 8 kHz 16-bit mono: a message loud
    to its last sample."""
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        frames = bytearray()
        for i in range(int(length * 8000)):
            pitch = 300 + 100 * ((i // 4000) % 5)
            frames += struct.pack("<h", int(8000 * math.sin(2 * math.pi * pitch * i / 8000)))
        w.writeframes(bytes(frames))


def numbers(count):
    return [f"555{i:07d}" for i in range(count)]


def write_request(path, count, parts):
    description = {
        "recipients": numbers(count),
        "window": {"start": "now", "stop": "+12h"},
        "rings": 7, "maxGreeting": 0,
        "busy": {"attempts": 0, "delay": 1}, "noAnswer": {"attempts": 0, "delay": 1},
        "error": {"attempts": 0, "delay": 1},
        "message": {"replays": 0, "timeout": 0, "parts": parts},
    }
    with open(path, "w") as f:
        json.dump(description, f)


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.place = "/dev/shm" if args.tmpfs else "/var/tmp"
        self.args = args

    def base(self, name):
        return tempfile.mkdtemp(prefix=f"ringwell-mass-{name}-", dir=self.place)

    # One request of `recipients` through the whole road. The message is a
    # text the daemon speaks, of about `message` s (as a user's alert is), or
    # with `tones` a recording of tones loud to its last sample.
    def call_run(self, name, recipients, lines, ring, message, extra=(), tones=False,
                 timing=False, steady=None):
        base = self.base(name)
        road = Road(self.build, base)
        if tones:
            wav = os.path.join(base, "mass-message.wav")
            write_tones(wav, message)
            road.kel("files", "add", wav)
            parts = [{"play": "mass-message.wav"}]
        else:
            text, message = spoken_message(road, message)
            parts = [text]
        sink = os.path.join(self.build, "bench", "bench_rtp_sink")
        callee = Callee(road, ring, sink if timing and os.path.exists(sink) else None)
        # The sniffer sees every packet on the loopback device, RTP too: the
        # runs that measure the host's CPU per second of call go without it.
        sniffer = InviteSniffer(callee.port) if sniffing_available() and not timing else None
        call = ring + message
        floor = recipients * call / lines
        result = {"floor": floor, "message": message, "tones": tones}
        try:
            host = road.start_host(lines, callee.port, extra)
            road.start_prepax()
            request = os.path.join(base, "request.json")
            write_request(request, recipients, parts)
            start = time.monotonic()
            if steady:
                # The host's CPU between two moments after the submission
                # (every call set up by the first, none ended by the second).
                def sample():
                    time.sleep(max(start + steady[0] - time.monotonic(), 0))
                    first = proc_usage(host.pid)[0]
                    time.sleep(max(start + steady[1] - time.monotonic(), 0))
                    result["steady_cpu"] = (proc_usage(host.pid)[0] - first) / (steady[1] - steady[0])
                sampler = threading.Thread(target=sample, daemon=True)
                sampler.start()
            request_id = road.kel("submit", request).split()[-1]
            result["submit"] = time.monotonic() - start
            report = road.root + "Reports/" + request_id + ".xml"
            try:
                wait_for(lambda: report_status(report) == "Completed", 6 * floor + 300,
                         "the report to say Completed", 0.02)
                result["completed"] = time.monotonic() - start
            except Failure:
                result["completed"] = None
            result["cpu"], result["rss"] = proc_usage(host.pid)
            if steady:
                sampler.join()
            events = callee.events()
            figures = read_report(report)
        finally:
            road.stop_all()
            callee.close()
            if sniffer:
                sniffer.close()
        result["timing"] = callee.timing
        invites = sum(1 for _, kind in events if kind == "I")
        # Set-up times as the kernel sent the INVITEs, else as SIPp noted them.
        setup_times = sniffer.times() if sniffer else [at for at, kind in events if kind == "I"]
        result.update(
            invites=invites, byes=sum(1 for _, kind in events if kind == "B"),
            at_once=most_at_once(events), setups=setups_per_window(setup_times),
            setup_clock="as the kernel sent them" if sniffer else "as SIPp noted them",
            report=figures, lost=max(invites - figures["calls"], 0),
            extra=max(figures["calls"] - invites, 0),
            unfinished=figures["recipients"] - figures["final"],
            cpu_per_call=result["cpu"] / max(invites, 1))
        shutil.rmtree(base, ignore_errors=True)
        return result

    def print_calls(self, title, runs, recipients, lines, ring, message, targets):
        floor = runs[0]["floor"]
        sub = min_median([r["submit"] for r in runs])
        done = min_median([r["completed"] for r in runs])
        rss = min_median([r["rss"] for r in runs])
        cpu = min_median([r["cpu_per_call"] * 1000 for r in runs])
        lost = max(r["lost"] + r["unfinished"] for r in runs)
        extra = max(r["extra"] for r in runs)
        message = runs[0]["message"]
        print(f"{title}: {recipients} recipients on {lines} lines, {ring:g} s ringing + "
              f"{message:.2f} s message ({'tones' if runs[0]['tones'] else 'spoken text'}), "
              f"{len(runs)} run(s), root in {self.place}")
        print(f"  submit (kel submit):     min {seconds(sub[0])}  median {seconds(sub[1])}"
              f"   target < {targets['submit']} s: {verdict(sub[1], targets['submit'])}")
        ratio = [None if d is None else d / floor for d in done]
        print(f"  submit -> Completed:     min {seconds(done[0])}  median {seconds(done[1])}"
              f"   floor {floor:.1f} s; ratio min "
              f"{'-' if ratio[0] is None else f'{ratio[0]:.2f}x'} median "
              f"{'-' if ratio[1] is None else f'{ratio[1]:.2f}x'}"
              f"   target <= 1.10x: {verdict(ratio[1], 1.10)}")
        if "budget" in targets:
            print(f"  finished within {targets['budget'] / 60:.0f} minutes: "
                  f"{verdict(done[1], targets['budget'])}")
        print(f"  lost results:            {lost} (calls SIPp took {runs[-1]['invites']}, calls in "
              f"the report {runs[-1]['report']['calls']}, recipients without a final status "
              f"{runs[-1]['unfinished']}); booked beyond the calls: {extra}   target 0: "
              f"{verdict(lost + extra, 0)}")
        print(f"  host peak RSS:           min {mib(rss[0])}  median {mib(rss[1])}"
              + (f"   target < {targets['rss']} MB: {verdict(rss[1], targets['rss'])}"
                 if "rss" in targets else ""))
        print(f"  host CPU per call:       min {cpu[0]:.1f} ms  median {cpu[1]:.1f} ms"
              f"   target < 12 ms: {verdict(cpu[1], 12)}")
        print(f"  calls at once at SIPp:   {max(r['at_once'] for r in runs)} (lines {lines})")
        sys.stdout.flush()

    def ci_case(self):
        runs = [self.call_run("ci", 3000, 300, 0.5, 3.4) for _ in range(self.args.runs)]
        self.print_calls("CI-sized case", runs, 3000, 300, 0.5, 3.4,
                         {"submit": 0.3, "rss": 300})
        # The same with a message that ends on a sound: the line adds all of
        # its 0.4 s of play-out silence to every call.
        runs = [self.call_run("ci-tones", 3000, 300, 0.5, 3.4, tones=True)]
        self.print_calls("CI-sized case, a recording loud to its end", runs, 3000, 300, 0.5,
                         3.4, {"submit": 0.3, "rss": 300})

    def headline(self):
        recipients, ring, message, budget = 10000, 10, 45, 15 * 60
        # Lines enough for the floor to leave 10 % of the 15 minutes.
        lines = math.ceil(recipients * (ring + message) * 1.10 / budget / 50) * 50
        runs = [self.call_run("headline", recipients, lines, ring, message)
                for _ in range(self.args.headline_runs)]
        self.print_calls("Headline", runs, recipients, lines, ring, message,
                         {"submit": 0.3, "budget": budget,
                          "rss": 300 if lines <= 500 else 600})

    def memory(self):
        print("Host peak RSS by lines (2 recipients a line, 0.5 s ringing, 1 s message)")
        for lines, target in ((500, 300), (1000, 600)):
            if self.args.quick and lines > 500:
                continue
            run = self.call_run(f"memory{lines}", 2 * lines, lines, 0.5, 1.0, tones=True)
            print(f"  {lines:4d} lines: peak RSS {mib(run['rss'])}   target < {target} MB: "
                  f"{verdict(run['rss'], target)}; CPU per call {run['cpu_per_call'] * 1000:.1f} "
                  f"ms; lost results {run['lost'] + run['unfinished']}; calls SIPp took "
                  f"{run['invites']} of {2 * lines}; statuses {run['report']['statuses']}")
            sys.stdout.flush()

    def size(self):
        """Host CPU per call as the request grows: the CI-sized call (0.5 s
        ringing, a 3.4 s message) to 10,000 recipients on 500 lines, beside
        the CI-sized case's 3,000 on 300."""
        run = self.call_run("size", 10000, 500, 0.5, 3.4)
        ratio = None if run["completed"] is None else run["completed"] / run["floor"]
        print("Host CPU per call at 10,000 recipients (500 lines, 0.5 s ringing + "
              f"{run['message']:.2f} s message, 1 run):")
        print(f"  host CPU per call:       {run['cpu_per_call'] * 1000:.1f} ms   target < 12 ms: "
              f"{verdict(run['cpu_per_call'] * 1000, 12)}; peak RSS {mib(run['rss'])}")
        print(f"  submit -> Completed:     {seconds(run['completed'])}, floor {run['floor']:.1f} s"
              f" ({'-' if ratio is None else f'{ratio:.2f}x'}); lost results "
              f"{run['lost'] + run['unfinished']}; statuses {run['report']['statuses']}")
        sys.stdout.flush()

    def trunk(self):
        max_calls, rate, lines, recipients = 50, 20, 100, 300
        run = self.call_run("trunk", recipients, lines, 0.5, 1.0,
                            ("--sip-max-calls", str(max_calls),
                             "--sip-max-call-rate", str(rate)), tones=True)
        most, gap = run["setups"]
        print(f"Trunk limits: {recipients} recipients on {lines} lines, at most {max_calls} calls "
              f"at once and {rate} set-ups a second")
        print(f"  calls at once at SIPp:   {run['at_once']}   limit {max_calls}: "
              f"{verdict(run['at_once'], max_calls)}")
        print(f"  set-ups in any 1 s:      {most}   limit {rate}: {verdict(most, rate)}; "
              f"shortest gap {gap * 1000:.1f} ms (spacing {1000 / rate:.1f} ms; "
              f"{run['setup_clock']})")
        print(f"  lost or failed:          {run['lost'] + run['unfinished']} lost; statuses "
              f"{run['report']['statuses']}; submit -> Completed {seconds(run['completed'])} "
              f"(floor at {rate} set-ups a second: {recipients / rate:.1f} s)")
        sys.stdout.flush()

    def concurrent(self):
        """Calls at once: N recipients on N lines (set-ups at most 200 a
        second), every call answered after
        0.5 s and playing a message of tones (45 s, the headline's length;
        2 minutes at 2,000 calls),
        its RTP read by bench_rtp_sink with the kernel's arrival times."""
        levels = (100, 500) if self.args.quick else (100, 500, 1000, 2000)
        if self.args.calls:
            levels = [int(n) for n in self.args.calls.split(",")]
        print("Calls at once (N recipients on N lines, 0.5 s ringing, a message of tones; "
              "host CPU per second of call = the host's CPU a second / calls, all calls "
              "playing; whole run: host CPU / (calls x message), set-ups and the trunk's "
              "waits included)")
        for calls in levels:
            runs = [self.concurrent_run(calls) for _ in range(self.args.runs)]
            if len(runs) > 1:
                cpu = min_median([r["per_second"] for r in runs])
                p99 = min_median([r["timing"]["p99"] for r in runs if r["timing"]])
                rss = min_median([r["rss"] for r in runs])
                done = sum(r["invites"] - r["lost"] - r["unfinished"] for r in runs)
                print(f"  {calls:4d} calls, {len(runs)} runs, min / median: host CPU per second "
                      f"of call {cpu[0]:.3f} / {cpu[1]:.3f} ms"
                      + (f" (target <= 0.25: {verdict(cpu[1], 0.25)})" if calls == 1000 else "")
                      + (f"; RTP interval p99 {p99[0]:.2f} / {p99[1]:.2f} ms" if p99[0] else "")
                      + f"; peak RSS {mib(rss[0])} / {mib(rss[1])}; calls completed "
                      f"{done} of {calls * len(runs)}")
            sys.stdout.flush()

    def concurrent_run(self, calls):
        message = 120.0 if calls >= 2000 else 45.0
        load = os.getloadavg()[0]
        # Steady state: from 8 s after the last set-up (200 a second)
        # for 20 s (60 s at 2 minutes), all calls playing.
        settled = calls / 200 + 8
        steady = (settled, settled + (60 if message > 60 else 20))
        # Set-ups at most 200 a second, as a trunk allows: one SIPp takes
        # that, where a burst of 2,000 INVITEs at once overruns it on a
        # busy machine (it aborts calls whose INVITE it saw twice).
        run = self.call_run(f"concurrent{calls}", calls, calls, 0.5, message, tones=True,
                            extra=("--sip-max-call-rate", "200"), timing=True,
                            steady=steady)
        invites = max(run["invites"], 1)
        per_second = run.get("steady_cpu", 0) * 1000 / calls
        whole = run["cpu"] * 1000 / (invites * message)
        t = run["timing"] or {}
        print(f"  {calls:4d} calls x {message:.0f} s: host CPU per second of call "
              f"{per_second:.3f} ms with all calls playing ({steady[0]:.0f}-{steady[1]:.0f} s "
              f"after the submission; target at 1,000: <= 0.25: "
              f"{verdict(per_second, 0.25) if calls == 1000 else '-'}); whole run: host CPU "
              f"{run['cpu']:.2f} s, {whole:.3f} ms per second of message, "
              f"{run['cpu_per_call'] * 1000:.1f} ms per call; peak RSS {mib(run['rss'])}; "
              f"calls SIPp took {run['invites']}, at once {run['at_once']}, lost "
              f"{run['lost'] + run['unfinished']}; statuses {run['report']['statuses']}")
        if t:
            print(f"        RTP intervals at the receiver ({t['streams']} streams, "
                  f"{t['intervals']} intervals): p50 {t['p50']:.3f} ms  p99 {t['p99']:.3f} ms"
                  f"  p99.9 {t['p999']:.3f} ms  max {t['max']:.3f} ms"
                  f"   target p99 within 1 ms of 20 ms: {verdict(abs(t['p99'] - 20), 1)}")
        print(f"        load before {load:.2f}, after {os.getloadavg()[0]:.2f}")
        sys.stdout.flush()
        run["per_second"] = per_second
        return run

    def intake(self):
        from intake import Intake
        Intake(self).run()

    def pacing(self):
        bench_sip = os.path.join(self.build, "bench", "bench_sip")
        if not os.path.exists(bench_sip):
            print(f"Pacing: {bench_sip} is not built; skipped")
            return
        minutes = "0.25" if self.args.quick else "1"
        busy = str(os.cpu_count() or 2)
        as_user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        run = [bench_sip, "--pacing-only", "--minutes", minutes, "--busy", busy]
        granted = ["prlimit", "--rtprio=10:10", "--"] + as_user + ["--"] + run
        if subprocess.run(["prlimit", "--rtprio=10:10", "true"],
                          capture_output=True).returncode != 0:
            # Raising the limit needs CAP_SYS_RESOURCE, which systemd has and
            # a container may not: the capability grants the same priority.
            print("Pacing: LimitRTPRIO cannot be granted here (no CAP_SYS_RESOURCE); "
                  "granting CAP_SYS_NICE instead, as AmbientCapabilities= in a unit would")
            granted = as_user + ["--inh-caps=+sys_nice", "--ambient-caps=+sys_nice", "--"] + run
        for label, argv in (("with the real-time priority granted", granted),
                            ("without", ["prlimit", "--rtprio=0:0", "--"] + as_user + ["--"] + run)):
            print(f"Pacing as the service user (nobody) {label}, {busy} busy processes:")
            sys.stdout.flush()
            subprocess.run(argv, cwd="/tmp", timeout=600)
        print("  target: ringwell-host's p99 within 0.2 ms of 20 ms with the priority")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--tmpfs", action="store_true")
    parser.add_argument("--runs", type=int)
    parser.add_argument("--headline-runs", type=int, default=1)
    parser.add_argument("--only", default="")
    parser.add_argument("--calls", default="", help="levels of the concurrent part, e.g. 100,1000")
    args = parser.parse_args()
    if args.runs is None:
        args.runs = 1 if args.quick else 3
    bench = Bench(args)
    parts = ["intake", "ci", "headline", "memory", "size", "concurrent", "trunk", "pacing"]
    if args.quick:
        parts.remove("headline")
        parts.remove("size")
    if args.only:
        parts = [p for p in parts if p in args.only.split(",")] or args.only.split(",")
    print(f"bench/mass ({'quick' if args.quick else 'full'}): {', '.join(parts)}; load before: "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    sys.stdout.flush()
    for part in parts:
        try:
            {"intake": bench.intake, "ci": bench.ci_case, "headline": bench.headline,
             "memory": bench.memory, "size": bench.size, "concurrent": bench.concurrent,
             "trunk": bench.trunk,
             "pacing": bench.pacing}[part]()
        except (Failure, subprocess.SubprocessError) as e:
            print(f"{part}: failed: {e}")
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
