"""On call over real sockets: an alert group on a route with an escalation
policy opens an incident; its steps are calls through the toolkit, dialled by
the real prepax and ringwell-host (simulated lines: the first person does not
answer, the person on call in the schedule answers and presses 1); the
incident is acknowledged by that person and nobody else is called. Then the
API's own actions (scope respond), the schedules, the iCal feed, heartbeats,
a kill -9 of the daemon in the middle of a wait, and --check. Any tool that
posts JSON opens and resolves incidents through the generic web hook, and
every change of an incident is an event of one stream, resumed across a
restart with Last-Event-ID."""
import json
import os
import signal
import subprocess
import unittest

import alertroad
import jsonschema
from alertroad import amtool, now
from apitest import OPENAPI, ApiTestCase, Client, program, tokens, wait_for
from test_alerts import alertmanager_payload
from test_events import EventStream

TABLES = """
[people.alice]
name = "Alice"
phone = "5550001"

[people.bob]
name = "Bob"
phone = "5550002"

[schedules.primary]
timezone = "Europe/Berlin"
[[schedules.primary.rotations]]
people = ["bob"]
start = 2026-01-05T09:00:00
shift = "1w"

[policies.critical]
[[policies.critical.steps]]
notify = ["person:alice"]
wait = "%(wait)s"
[[policies.critical.steps]]
notify = ["schedule:primary"]
wait = "1h"

[heartbeats.backup]
every = "%(every)s"
policy = "critical"

[routes.db]
policy = "critical"
resolved = "say"%(alertmanager)s
say = "{labels.alertname} on {labels.instance}."
busy = {attempts = 0}
noAnswer = {attempts = 0}

[routes.quiet]
policy = "critical"
resolved = "ignore"
"""


def read(path):
    with open(path) as f:
        return f.read()


class OnCallTest(ApiTestCase):
    def start_with(self, wait="2s", every="1d", responder=True, alertmanager=None):
        self.inst.stop()
        self.routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(self.routes, "w") as f:
            f.write(TABLES % {"wait": wait, "every": every,
                              "alertmanager": '\nalertmanager = "%s"\nsilence = "2h"' % alertmanager
                              if alertmanager else ""})
        if responder and not hasattr(self, "responder"):
            out = subprocess.run([program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add",
                                  "pager-duty-desk", "--scope", "respond,read"],
                                 env=self.inst.env, check=True, capture_output=True, text=True)
            self.responder = Client(self.inst, out.stdout.strip())
        self.inst.start("--routes", self.routes)

    def incident(self, id):
        status, _, incident = self.api.request("GET", "/v1/incidents/" + id)
        self.assertEqual(status, 200, incident)
        return incident

    def fire(self, status="firing", **kwargs):
        code, _, answer = self.api.request("POST", "/v1/hooks/alertmanager/db", alertmanager_payload(status, **kwargs))
        self.assertEqual(code, 200, answer)
        return answer

    def test_the_chain_goes_on_until_the_person_on_call_presses_1(self):
        self.start_with(wait="2s")
        self.start_services({"rules": [{"number": "5550001", "outcome": "noanswer"},
                                       {"number": "5550002", "outcome": "answer", "keys": "1"}]})
        opened = self.fire()
        self.assertEqual((opened["action"], opened["policy"]), ("incident opened", "critical"))
        id = opened["incident"]
        # Alertmanager repeats the group: the same incident, no second chain.
        again = self.fire()
        self.assertEqual((again["action"], again["incident"]), ("incident updated", id))
        incident = wait_for(lambda: (lambda i: i if i["state"] == "acknowledged" else None)(self.incident(id)),
                            timeout=120, what="the acknowledgement")
        self.assertEqual(incident["acknowledgedBy"], "bob")
        self.assertEqual([(c["step"], c["person"]) for c in incident["calls"]], [(1, "alice"), (2, "bob")])
        self.assertIsNone(incident["due"])
        events = [e["event"] for e in incident["timeline"]]
        self.assertEqual(events[0], "opened")
        self.assertIn("acknowledged", events)
        self.assertIn("acknowledged by bob (key 1)", [e["text"] for e in incident["timeline"]])
        # Bob's call said the alert and the prompt; Alice's ended unanswered.
        bob = self.api.request("GET", "/v1/requests/" + incident["calls"][1]["request"])[2]
        self.assertEqual(bob["recipients"][0]["status"], "Completed", bob)
        wait_for(lambda: self.incident(id)["calls"][0]["state"] in ("finished", "canceled"), timeout=60,
                 what="Alice's call to end")
        # Nobody is called any more: the requests of the incident are these two.
        listed = self.api.request("GET", "/v1/requests")[2]["requests"]
        self.assertEqual(sorted(r["id"] for r in listed), sorted(c["request"] for c in incident["calls"]))
        # Listed with the open ones first; the filter by state.
        status, _, listing = self.api.request("GET", "/v1/incidents?state=acknowledged")
        self.assertEqual([i["id"] for i in listing["incidents"]], [id])
        self.assertEqual(self.api.request("GET", "/v1/incidents?state=open")[2]["incidents"], [])
        self.assertEqual(self.api.request("GET", "/v1/incidents?state=late")[0], 400)
        # Resolved by Alertmanager.
        resolved = self.fire("resolved")
        self.assertEqual((resolved["action"], resolved["incident"]), ("incident resolved", id))
        self.assertEqual(self.incident(id)["state"], "resolved")
        # resolved = "say": Bob, who acknowledged, is told in a call of its own.
        told = wait_for(lambda: [r for r in self.api.request("GET", "/v1/requests")[2]["requests"]
                                 if r["id"] not in [c["request"] for c in incident["calls"]]], what="the call to Bob")
        self.assertEqual(len(told), 1)
        report = wait_for(lambda: (lambda r: r if r["status"] == "Completed" else None)(
            self.api.request("GET", "/v1/requests/" + told[0]["id"])[2]), timeout=60, what="the call to Bob to end")
        self.assertEqual(report["recipients"][0]["recipient"], "5550002")
        self.assertEqual(self.fire("resolved")["action"], "no open incident")

    def test_actions_schedules_feed_and_heartbeats(self):
        self.start_with(wait="1h", every="2s")
        id = self.fire()["incident"]
        # respond is a scope of its own.
        status, _, refused = self.api.request("POST", "/v1/incidents/%s/acknowledge" % id)
        self.assertEqual(status, 403, refused)
        self.assertIn("respond", refused["error"] if "error" in refused else json.dumps(refused))
        status, _, escalated = self.responder.request("POST", "/v1/incidents/%s/escalate" % id)
        self.assertEqual((status, escalated["step"], [c["person"] for c in escalated["calls"]]),
                         (200, 2, ["alice", "bob"]))
        status, _, acked = self.responder.request("POST", "/v1/incidents/%s/acknowledge" % id)
        self.assertEqual((status, acked["state"], acked["acknowledgedBy"]), (200, "acknowledged", "pager-duty-desk"))
        self.assertEqual(self.responder.request("POST", "/v1/incidents/%s/acknowledge" % id)[0], 409)
        # Both calls, still in Inbox, were withdrawn.
        self.assertEqual([c["state"] for c in acked["calls"]], ["canceled", "canceled"])
        self.assertEqual(self.inbox(), [])
        status, _, resolved = self.responder.request("POST", "/v1/incidents/%s/resolve" % id)
        self.assertEqual((status, resolved["state"]), (200, "resolved"))
        self.assertEqual(self.responder.request("POST", "/v1/incidents/nosuch/resolve")[0], 404)
        # A route whose resolutions are ignored keeps its incident open.
        quiet = self.api.request("POST", "/v1/hooks/alertmanager/quiet", alertmanager_payload())[2]["incident"]
        status, _, ignored = self.api.request("POST", "/v1/hooks/alertmanager/quiet", alertmanager_payload("resolved"))
        self.assertEqual((status, ignored["action"]), (200, "ignored"))
        self.assertEqual(self.incident(quiet)["state"], "open")
        # Who is on call, and the feed another calendar reads.
        status, _, oncall = self.api.request("GET", "/v1/oncall")
        self.assertEqual(status, 200)
        (primary,) = oncall["schedules"]
        self.assertEqual((primary["name"], primary["onCall"]), ("primary", {"person": "bob", "name": "Bob"}))
        status, headers, feed = self.api.request("GET", "/v1/schedules/primary.ics")
        self.assertEqual((status, headers["content-type"]), (200, "text/calendar; charset=utf-8"))
        self.assertIn("BEGIN:VCALENDAR", feed)
        self.assertIn("SUMMARY:Bob", feed)
        self.assertEqual(self.api.request("GET", "/v1/schedules/primary")[0], 404)
        # A heartbeat that stays away opens an incident; the next beat resolves it.
        self.assertEqual(self.api.request("POST", "/v1/heartbeats/nosuch")[0], 404)
        missed = wait_for(lambda: [i for i in self.api.request("GET", "/v1/incidents?state=open")[2]["incidents"]
                                   if i["route"] == "heartbeat:backup"], timeout=60, what="the missed heartbeat")
        self.assertEqual(self.incident(missed[0]["id"])["text"], "heartbeat backup missed")
        status, _, beat = self.api.request("POST", "/v1/heartbeats/backup")
        self.assertEqual((status, beat["heartbeat"]), (200, "backup"))
        self.assertEqual(self.incident(missed[0]["id"])["state"], "resolved")
        # Alertmanager's Watchdog, routed to heartbeat:NAME, is a beat too.
        missed = wait_for(lambda: [i for i in self.api.request("GET", "/v1/incidents?state=open")[2]["incidents"]
                                   if i["route"] == "heartbeat:backup"], timeout=60, what="the next missed beat")
        status, _, watchdog = self.api.request("POST", "/v1/hooks/alertmanager/heartbeat:backup",
                                               alertmanager_payload(alertname="Watchdog"))
        self.assertEqual((status, watchdog["action"]), (200, "heartbeat"))
        self.assertEqual(self.incident(missed[0]["id"])["state"], "resolved")
        self.assertEqual(self.api.request("POST", "/v1/hooks/alertmanager/heartbeat:nosuch",
                                          alertmanager_payload())[0], 404)
        # SIGHUP reads the tables again; the incidents stay.
        before = self.api.request("GET", "/v1/incidents")[2]["incidents"]
        with open(self.routes) as f:
            tables = f.read()
        with open(self.routes, "w") as f:
            f.write(tables.replace('people = ["bob"]', 'people = ["alice"]'))
        self.inst.process.send_signal(signal.SIGHUP)
        wait_for(lambda: self.api.request("GET", "/v1/oncall")[2]["schedules"][0]["onCall"]["person"] == "alice",
                 what="the new schedule")
        after = {i["id"]: i["state"] for i in self.api.request("GET", "/v1/incidents")[2]["incidents"]}
        self.assertEqual({i["id"]: after.get(i["id"]) for i in before}, {i["id"]: i["state"] for i in before})

    def test_a_chain_resumes_after_kill_9_without_running_a_step_twice(self):
        self.start_with(wait="3s", responder=False)
        id = self.fire()["incident"]
        self.assertEqual(len(self.inbox()), 1)  # Alice's call, placed at once
        self.inst.process.send_signal(signal.SIGKILL)
        self.inst.process.communicate()
        self.inst.process = None
        self.inst.output.close()
        self.inst.start("--routes", self.routes)
        # The second step is saved as started before its call is placed.
        incident = wait_for(lambda: (lambda i: i if i["step"] == 2 and i["calls"][-1]["state"] != "placing"
                                     else None)(self.incident(id)), timeout=60, what="the second step")
        self.assertEqual([c["person"] for c in incident["calls"]], ["alice", "bob"])
        self.assertEqual(len(self.inbox()), 2)  # step 1 was not run again
        self.assertEqual(sum(1 for e in incident["timeline"] if e["event"] == "step"), 2)

    def test_a_web_hook_read_through_pointers_opens_one_incident_and_resolves_it(self):
        self.start_with()
        self.inst.stop()
        with open(self.routes, "a") as f:
            f.write('\n[routes.checks]\npolicy = "critical"\n[routes.checks.webhook]\nkey = "/check"\n'
                    'name = "/check"\nresolved = "/status"\nresolvedWhen = "up"\n')
        self.inst.start("--routes", self.routes)
        check = {"check": "nightly-backup", "status": "down"}  # healthchecks.io, a JSON body of its own
        code, _, opened = self.api.request("POST", "/v1/hooks/webhook/checks", check)
        self.assertEqual((code, opened["action"], opened["policy"]), (200, "incident opened", "critical"))
        again = self.api.request("POST", "/v1/hooks/webhook/checks", check)[2]
        self.assertEqual((again["action"], again["incident"]), ("incident updated", opened["incident"]))
        self.assertEqual(len(self.api.request("GET", "/v1/incidents")[2]["incidents"]), 1)
        resolved = self.api.request("POST", "/v1/hooks/webhook/checks", dict(check, status="up"))[2]
        self.assertEqual((resolved["action"], resolved["incident"]), ("incident resolved", opened["incident"]))
        self.assertEqual(self.incident(opened["incident"])["state"], "resolved")

    def test_check_names_the_file_table_and_key(self):
        self.start_with()
        with open(self.routes, "a") as f:
            f.write('\n[routes.web]\npolicy = "nosuch"\n')
        code, out, _ = self.inst.run(program("ringwell-api"), "--check", "--routes", self.routes)
        self.assertEqual(code, 1)
        self.assertIn("%s: [routes.web] policy: there is no [policies.nosuch]" % self.routes, out)
        with open(self.routes, "w") as f:
            f.write('[schedules.s]\ntimezone = "Mars/Base"\n')
        code, out, _ = self.inst.run(program("ringwell-api"), "--check", "--routes", self.routes)
        self.assertIn('%s: [schedules.s] timezone: "Mars/Base" is not an IANA time zone' % self.routes, out)


    def test_an_acknowledgement_silences_the_group_in_alertmanager_until_it_is_resolved(self):
        port = alertroad.free_port()
        url = "http://127.0.0.1:%d" % port
        self.start_with(wait="2s", alertmanager=url)
        services = alertroad.Services(self.inst)
        self.addCleanup(services.stop_all)
        alertroad.start_alertmanager(services, self.inst.port, tokens()["submitter"], route="db", port=port)
        self.start_services({"rules": [{"number": "5550001", "outcome": "noanswer"},
                                       {"number": "5550002", "outcome": "answer", "keys": "1"}]})
        amtool(url, "alertname=DiskFull", "instance=db1", annotations=["summary=The disk of db1 is full"])
        incident = wait_for(lambda: [i for i in self.api.request("GET", "/v1/incidents")[2]["incidents"]
                                     if i["state"] == "acknowledged" and i["silence"]], timeout=120,
                            what="the acknowledgement and its silence")[0]
        self.assertEqual(incident["acknowledgedBy"], "bob")

        def silences(*flags):
            out = subprocess.run(["amtool", "--alertmanager.url=" + url, "silence", "query", "-o", "json", *flags],
                                 check=True, capture_output=True, text=True).stdout
            return {s["id"]: s for s in json.loads(out)}

        silence = silences()[incident["silence"]]
        self.assertEqual((silence["createdBy"], silence["status"]["state"]), ("bob", "active"))
        self.assertIn(incident["id"], silence["comment"])
        self.assertIn({"name": "alertname", "value": "DiskFull", "isRegex": False, "isEqual": True},
                      silence["matchers"])
        # The alert ends. Alertmanager mutes the resolved notification of a
        # silenced group; the API asks it and resolves the incident, and the
        # silence expires.
        amtool(url, "alertname=DiskFull", "instance=db1", end=now())
        resolved = wait_for(lambda: (lambda i: i if i["state"] == "resolved" else None)(self.incident(incident["id"])),
                            timeout=60, what="the resolution")
        self.assertIn("resolved by Alertmanager", [e["text"] for e in resolved["timeline"]])
        wait_for(lambda: incident["silence"] not in silences(), what="the silence to expire")
        self.assertEqual(silences("--expired")[incident["silence"]]["status"]["state"], "expired")
        # Alice's unanswered call was the only other one.
        self.assertEqual([c["person"] for c in resolved["calls"]], ["alice", "bob"])

    def webhook(self, body, route="db", token=None):
        return self.api.request("POST", "/v1/hooks/webhook/" + route, body, token=token)

    def incident_stream(self, last_event_id=None):
        stream = EventStream(self.api, None, last_event_id, path="/v1/incidents/events")
        self.addCleanup(stream.close)
        self.assertEqual((stream.response.status, stream.response.getheader("Content-Type")),
                         (200, "text/event-stream"))
        return stream

    def test_any_tool_opens_and_resolves_an_incident_through_the_generic_web_hook(self):
        self.start_with(wait="1h")
        alert = {"status": "firing", "group": "db1-disk", "summary": "The disk of db1 is full",
                 "labels": {"alertname": "DiskFull", "instance": "db1"}}
        status, _, opened = self.webhook(alert)
        self.assertEqual((status, opened["action"], opened["groupKey"]), (200, "incident opened", "db1-disk"))
        id = opened["incident"]
        incident = self.incident(id)
        self.assertEqual((incident["route"], incident["policy"], incident["text"]),
                         ("db", "critical", "DiskFull on db1."))
        self.assertEqual(incident["labels"], alert["labels"])
        # The tool posts again (a retry, or its next check): the same incident,
        # and Alice's call is placed once.
        status, _, again = self.webhook(alert)
        self.assertEqual((status, again["action"], again["incident"]), (200, "incident updated", id))
        self.assertEqual([i["id"] for i in self.api.request("GET", "/v1/incidents")[2]["incidents"]], [id])
        self.assertEqual(len(self.inbox()), 1)
        # Without a scope to submit, or without a token, nothing is opened.
        other = dict(alert, group="db2-disk")
        self.assertEqual(self.webhook(other, token=tokens()["reader"])[0], 403)
        self.assertEqual(self.webhook(other, token=self.responder.token)[0], 403)
        self.assertEqual(Client(self.inst).request("POST", "/v1/hooks/webhook/db", other)[0], 401)
        self.assertEqual(len(self.api.request("GET", "/v1/incidents")[2]["incidents"]), 1)
        # What is not an alert is refused with the reason; an unknown route is 404.
        for body, reason in (({"group": "x"}, "status: missing"),
                             ({"status": "down", "group": "x"}, 'status: must be "firing" or "resolved"'),
                             ({"status": "firing"}, "group: missing"),
                             ({"status": "firing", "group": "x", "labels": {"a": 1}}, "labels.a: must be a text")):
            status, _, refused = self.webhook(body)
            self.assertEqual(status, 400, body)
            self.assertIn(reason, refused["error"])
        self.assertEqual(self.webhook(alert, route="nosuch")[0], 404)
        # Resolved: the incident is resolved by the web hook, once.
        status, _, resolved = self.webhook(dict(alert, status="resolved"))
        self.assertEqual((status, resolved["action"], resolved["incident"]), (200, "incident resolved", id))
        incident = self.incident(id)
        self.assertEqual(incident["state"], "resolved")
        self.assertIn("resolved by web hook", [e["text"] for e in incident["timeline"]])
        self.assertEqual(self.webhook(dict(alert, status="resolved"))[2]["action"], "no open incident")
        # Without a group, the labels are the key: the same labels, the same incident.
        first = self.webhook({"status": "firing", "labels": {"alertname": "Down", "job": "web"}})[2]
        second = self.webhook({"status": "firing", "labels": {"job": "web", "alertname": "Down"}})[2]
        self.assertEqual((first["action"], second["action"]), ("incident opened", "incident updated"))
        self.assertEqual(first["incident"], second["incident"])

    def test_every_change_of_an_incident_is_an_event_and_the_stream_resumes_after_a_restart(self):
        self.start_with(wait="1h")
        stream = self.incident_stream()
        id = self.webhook({"status": "firing", "group": "db1-disk", "summary": "The disk is full"})[2]["incident"]
        wait_for(lambda: "called" in [e["change"] for e in stream.events], what="the first call as an event")
        status, _, _ = self.responder.request("POST", "/v1/incidents/%s/acknowledge" % id)
        self.assertEqual(status, 200)
        acknowledged = wait_for(lambda: [e for e in stream.events if e["change"] == "acknowledged"],
                                what="the acknowledgement as an event")[0]
        self.assertEqual((acknowledged["incident"]["id"], acknowledged["incident"]["state"],
                          acknowledged["incident"]["acknowledgedBy"]), (id, "acknowledged", "pager-duty-desk"))
        self.assertEqual(acknowledged["text"], "acknowledged by pager-duty-desk (API)")
        changes = [e["change"] for e in stream.events]
        self.assertEqual(changes[:3], ["opened", "step", "called"])
        self.assertLess(changes.index("called"), changes.index("acknowledged"))
        # Numbered in order, each event's id is its seq, each as documented.
        self.assertTrue(all(e["_sse"]["event"] == "incident" for e in stream.events))
        self.assertEqual([e["seq"] for e in stream.events], list(range(1, len(stream.events) + 1)))
        schema = OPENAPI.document["components"]["schemas"]["IncidentEvent"]
        for event in stream.events:
            self.assertEqual((event["_sse"]["event"], event["_sse"]["id"]), ("incident", str(event["seq"])))
            payload = {k: v for k, v in event.items() if k != "_sse"}
            jsonschema.validate(payload, schema, cls=jsonschema.Draft202012Validator, resolver=OPENAPI.resolver)
        # The API stops: the stream says so and ends. Back again, a client
        # resumes after the first event it had and misses nothing.
        self.inst.stop()
        wait_for(lambda: stream.ended, what="the end of the stream")
        self.assertEqual(stream.events[-1], {"reason": "the API is stopping", "_sse": {"id": None, "event": "stopping"}})
        before = stream.events[:-1]
        self.inst.start("--routes", self.routes)
        resumed = self.incident_stream(last_event_id=1)
        wait_for(lambda: len(resumed.events) == len(before) - 1, what="the events after the first")
        self.assertEqual(resumed.events, before[1:])
        # New changes go on with the next numbers.
        self.responder.request("POST", "/v1/incidents/%s/resolve" % id)
        resolved = wait_for(lambda: [e for e in resumed.events if e["change"] == "resolved"], what="the resolution")[0]
        self.assertEqual((resolved["seq"], resolved["incident"]["state"]), (len(before) + 1, "resolved"))
        # A Last-Event-ID that is not a number is refused.
        connection = self.api.connection()
        self.addCleanup(connection.close)
        connection.request("GET", "/v1/incidents/events",
                           headers={"Authorization": "Bearer " + self.api.token, "Last-Event-ID": "x"})
        self.assertEqual(connection.getresponse().status, 400)


if __name__ == "__main__":
    unittest.main()
