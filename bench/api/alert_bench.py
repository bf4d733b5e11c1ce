#!/usr/bin/python3
"""How long an alert takes to ring a phone: from `amtool alert add` to the
INVITE reaching a baresip phone on 127.0.0.1 (Alertmanager with group_wait
0s, ringwell-api, prepax, ringwell-host with one SIP line, its default
dispatch), beside the same road entered with `kel submit` (what a script on
the machine would run instead of the alert receiver). Each alert is a group
of its own; the phone never answers and the call ends after one ring.

  bench_alert [ROUNDS, default 10]

Prints min and median of each, and the median ratio.
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, "@CMAKE_SOURCE_DIR@/api/tests")
os.environ.setdefault("RINGWELL_BUILD_DIR", "@CMAKE_BINARY_DIR@")
import alertroad  # noqa: E402
from apitest import Installation, program, tokens, wait_for  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 10
KEL_REQUEST = '{"recipients": ["5550001"], "rings": 1, "noAnswer": {"attempts": 0}, "message": ["Bench."]}'
ROUTES = """[routes.oncall]
numbers = ["5550001"]
rings = 1
noAnswer = {attempts = 0}
"""


def invites(log):
    return alertroad.read(log).count("Incoming call from")


def ring_after(start_action, log):
    """Seconds from start_action() to the next INVITE at the phone."""
    before = invites(log)
    started = time.monotonic()
    start_action()
    while invites(log) == before:
        time.sleep(0.002)
    return time.monotonic() - started


def main():
    inst = Installation()
    services = alertroad.Services(inst)
    try:
        routes = os.path.join(inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write(ROUTES)
        inst.start("--routes", routes)
        alertroad.register_components(inst)
        port, _ = alertroad.make_phone(services, "5550001", answer=False)
        alertroad.start_prepax(services)
        alertroad.start_host(services, port, ring_period=1)
        url = alertroad.start_alertmanager(services, inst.port, tokens()["submitter"])
        log = os.path.join(inst.dir, "baresip.out")
        figures = {"amtool alert add": [], "kel submit": []}
        for round in range(ROUNDS):
            figures["amtool alert add"].append(ring_after(
                lambda: alertroad.amtool(url, "alertname=Bench%d" % round, annotations=["summary=Bench"]), log))
            wait_for(lambda: inst.kel("ls", "--status", "Completed", "--json")[1].count('"id"') == 2 * round + 1,
                     timeout=60, what="the call to end")
            figures["kel submit"].append(ring_after(
                lambda: subprocess.run([program("kel"), "submit", "-"], input=KEL_REQUEST, text=True,
                                       env=inst.env, check=True, capture_output=True), log))
            wait_for(lambda: inst.kel("ls", "--status", "Completed", "--json")[1].count('"id"') == 2 * round + 2,
                     timeout=60, what="the call to end")
        print("From the start of the command to the phone ringing, %d rounds:" % ROUNDS)
        for name, values in figures.items():
            print("  %-18s min %6.3f s   median %6.3f s" % (name, min(values), statistics.median(values)))
        ratio = statistics.median(figures["amtool alert add"]) / statistics.median(figures["kel submit"])
        print("  alert / kel submit: %.2f (median)" % ratio)
    finally:
        services.stop_all()
        inst.stop()
        inst.remove()


if __name__ == "__main__":
    main()
