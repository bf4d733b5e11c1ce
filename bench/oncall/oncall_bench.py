#!/usr/bin/python3
"""The on-call engine under load, on 127.0.0.1: OPEN incidents are opened
through the Alertmanager web hook (their step finds nobody on call, so they
stay open without calls) and timed (incidents opened per second); then, with
those incidents open, the time from the web hook to the INVITE reaching a
phone played by SIPp (prepax, ringwell-host with one SIP line; the phone
answers busy, so each call ends at once) on a route with an escalation
policy, beside the same alert on a plain route with numbers. The INVITE's
time is SIPp's own note of it, on the same clock as the web hook's.

  bench_oncall [OPEN, default 1000] [ROUNDS, default 20]

Prints the rate, and the minimum, median and p99 (the largest of the rounds
when there are fewer than 100) of each road, and the median ratio.
"""
import http.client
import json
import os
import statistics
import sys
import time

sys.path.insert(0, "@CMAKE_SOURCE_DIR@/api/tests")
os.environ.setdefault("RINGWELL_BUILD_DIR", "@CMAKE_BINARY_DIR@")
import alertroad  # noqa: E402
from apitest import Installation, tokens, wait_for  # noqa: E402
from sipphone import Phones  # noqa: E402
from test_alerts import alertmanager_payload  # noqa: E402

OPEN = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 20
ROUTES = """
[people.alice]
phone = "5550001"
[schedules.later]
timezone = "UTC"
[[schedules.later.rotations]]
people = ["alice"]
start = 2100-01-01T00:00:00
shift = "1w"
[policies.nobody]
[[policies.nobody.steps]]
notify = ["schedule:later"]
wait = "1w"
[policies.alice]
[[policies.alice.steps]]
notify = ["person:alice"]
wait = "1w"
[routes.background]
policy = "nobody"
[routes.oncall]
policy = "alice"
rings = 1
noAnswer = {attempts = 0}
busy = {attempts = 0}
[routes.plain]
numbers = ["5550001"]
rings = 1
noAnswer = {attempts = 0}
busy = {attempts = 0}
"""


def post(connection, route, name):
    body = json.dumps(alertmanager_payload(key='{}:{alertname="%s"}' % name, alertname=name))
    connection.request("POST", "/v1/hooks/alertmanager/" + route, body=body,
                       headers={"Authorization": "Bearer " + tokens()["all"], "Content-Type": "application/json"})
    response = connection.getresponse()
    answer = json.loads(response.read())
    assert response.status == 200, answer
    return answer


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def main():
    inst = Installation()
    services = alertroad.Services(inst)
    try:
        routes = os.path.join(inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write(ROUTES)
        inst.start("--routes", routes)
        connection = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=60)
        started = time.monotonic()
        for n in range(OPEN):
            assert post(connection, "background", "Open%d" % n)["action"] == "incident opened"
        rate = OPEN / (time.monotonic() - started)
        alertroad.register_components(inst)
        phones = Phones(services, busy=["5550001"])
        alertroad.start_prepax(services)
        alertroad.start_host(services, phones.port, ring_period=1)
        figures = {"policy route": [], "plain route": []}
        done = 0
        for round in range(ROUNDS):
            for name, route in (("policy route", "oncall"), ("plain route", "plain")):
                before = len(phones.invites())
                began = time.time()
                post(connection, route, "Bench%d" % round)
                wait_for(lambda: len(phones.invites()) > before, timeout=60, what="the INVITE")
                figures[name].append(phones.invites()[before][1] - began)
                done += 1
                wait_for(lambda: inst.kel("ls", "--status", "Completed", "--json")[1].count('"id"') == done,
                         timeout=60, what="the call to end")
        print("%d incidents opened through the web hook: %.0f a second" % (OPEN, rate))
        print("From the web hook to the phone ringing, %d rounds, %d incidents open:" % (ROUNDS, OPEN))
        for name, values in figures.items():
            print("  %-13s min %6.3f s   median %6.3f s   p99 %6.3f s"
                  % (name, min(values), statistics.median(values), p99(values)))
        print("  policy / plain: %.2f (median)" % (statistics.median(figures["policy route"]) /
                                                   statistics.median(figures["plain route"])))
    finally:
        services.stop_all()
        inst.stop()
        inst.remove()


if __name__ == "__main__":
    main()
