"""On call over SIP with real peers on 127.0.0.1: Debian's Alertmanager sends
an alert group to ringwell-api, whose escalation policy calls Alice first and
then whoever is on call in the schedule (Bob); prepax and ringwell-host with
a SIP line place the calls to telephones played by SIPp: Alice's rings and
nobody picks up (the route's calls ring once), Bob's picks up and presses 1 as an RFC 4733 event. The incident is
acknowledged by Bob, nobody is called again, and Alertmanager holds the
silence until the alert ends, when Bob is told it is resolved. Then the
same road with a kill -9 of the API while the chain waits for its second
step."""
import json
import os
import signal
import subprocess
import unittest

import alertroad
from alertroad import amtool, now
from apitest import ApiTestCase, tokens, wait_for
from sipphone import Phones
from test_oncall import TABLES


class OnCallSipTest(ApiTestCase):
    def start_road(self, wait):
        """The API with the tables, Alertmanager, the SIPp phones, prepax and
        the host with one SIP line."""
        self.inst.stop()
        port = alertroad.free_port()
        self.alertmanager = "http://127.0.0.1:%d" % port
        self.routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(self.routes, "w") as f:
            f.write(TABLES % {"wait": wait, "every": "1d", "alertmanager": '\nalertmanager = "%s"\nsilence = "2h"'
                              '\nrings = 1' % self.alertmanager})
        self.inst.start("--routes", self.routes)
        services = alertroad.Services(self.inst)
        self.addCleanup(services.stop_all)
        alertroad.start_alertmanager(services, self.inst.port, tokens()["submitter"], route="db", port=port)
        self.phones = Phones(services, keys={"5550002": "1"})  # any other number rings unanswered
        alertroad.register_components(self.inst)
        alertroad.start_prepax(services)
        alertroad.start_host(services, self.phones.port, ring_period=1)

    def incident(self, id):
        status, _, incident = self.api.request("GET", "/v1/incidents/" + id)
        self.assertEqual(status, 200, incident)
        return incident

    def saved(self, id):
        """The incident as its file below the storage root holds it."""
        try:
            with open(os.path.join(self.inst.root, "Incidents", id + ".json")) as f:
                return json.load(f)
        except (FileNotFoundError, ValueError):
            return None

    def the_incident(self):
        return wait_for(lambda: self.api.request("GET", "/v1/incidents")[2]["incidents"], timeout=60,
                        what="the incident")[0]["id"]

    def acknowledged(self, id):
        return wait_for(lambda: (lambda i: i if i["state"] == "acknowledged" and i["silence"] else None)(
            self.incident(id)), timeout=120, what="the acknowledgement and its silence")

    def silences(self, *flags):
        out = subprocess.run(["amtool", "--alertmanager.url=" + self.alertmanager, "silence", "query", "-o",
                              "json", *flags], check=True, capture_output=True, text=True).stdout
        return {s["id"]: s for s in json.loads(out)}

    def all_calls_ended(self, incident):
        """Waits until the report of every call of the incident is final."""
        def ended():
            for call in incident["calls"]:
                report = self.api.request("GET", "/v1/requests/" + call["request"])[2]
                if report["status"] not in ("Completed", "Failed", "Canceled"):
                    return False
            return True
        wait_for(ended, timeout=120, what="the calls to end")

    def test_no_answer_then_the_person_on_call_presses_1_and_alertmanager_is_silenced(self):
        self.start_road(wait="2s")
        amtool(self.alertmanager, "alertname=DiskFull", "instance=db1",
               annotations=["summary=The disk of db1 is full"])
        id = self.the_incident()
        incident = self.acknowledged(id)
        self.assertEqual(incident["acknowledgedBy"], "bob")
        self.assertIsNone(incident["due"])  # the chain stopped
        self.assertEqual([(c["step"], c["person"]) for c in incident["calls"]], [(1, "alice"), (2, "bob")])
        self.assertIn("acknowledged by bob (key 1)", [e["text"] for e in incident["timeline"]])
        # Bob's line heard key 1 as an RFC 4733 event; Alice's rang and was not answered.
        self.all_calls_ended(incident)
        alice, bob = (self.api.request("GET", "/v1/requests/" + c["request"])[2]["recipients"][0]
                      for c in incident["calls"])
        self.assertEqual(alice["status"], "NoAnswer", alice)
        self.assertEqual(bob["status"], "Completed", bob)
        self.assertIn("Key 1 heard as RFC 4733 event", bob["calls"][-1]["protocol"])
        self.assertEqual([c["result"] for c in self.incident(id)["calls"]], ["no answer", "answered"])
        # Once each, and nobody else: every call of the incident has ended.
        self.assertEqual(self.phones.numbers(), ["5550001", "5550002"])
        # The silence, made by Bob, matching the group.
        silence = self.silences()[incident["silence"]]
        self.assertEqual((silence["createdBy"], silence["status"]["state"]), ("bob", "active"))
        self.assertIn(id, silence["comment"])
        self.assertIn({"name": "alertname", "value": "DiskFull", "isRegex": False, "isEqual": True},
                      silence["matchers"])
        # The alert ends: the incident is resolved, the silence expires, and
        # Bob, who acknowledged, is told in a call of its own (resolved =
        # "say"); Alice is not called again.
        amtool(self.alertmanager, "alertname=DiskFull", "instance=db1", end=now())
        wait_for(lambda: self.incident(id)["state"] == "resolved", timeout=60, what="the resolution")
        wait_for(lambda: incident["silence"] not in self.silences(), what="the silence to expire")
        self.phones.wait_for_invite("5550002", count=2)
        told = [r for r in self.api.request("GET", "/v1/requests")[2]["requests"]
                if r["id"] not in [c["request"] for c in incident["calls"]]]
        self.assertEqual(len(told), 1)
        wait_for(lambda: self.api.request("GET", "/v1/requests/" + told[0]["id"])[2]["status"] == "Completed",
                 timeout=60, what="the call to Bob to end")
        self.assertEqual(self.phones.numbers(), ["5550001", "5550002", "5550002"])

    def test_kill_9_while_the_chain_waits_resumes_it_without_a_step_twice(self):
        self.start_road(wait="10s")
        amtool(self.alertmanager, "alertname=DiskFull", "instance=db1")
        id = self.the_incident()
        # Step 1 is saved with its due time and Alice's phone has rung: the
        # chain waits for step 2. Then the API dies.
        self.phones.wait_for_invite("5550001")
        wait_for(lambda: (lambda s: s and s["step"] == 1 and s["due"] and s["calls"][0]["request"])(self.saved(id)),
                 what="step 1 to be saved")
        self.inst.process.send_signal(signal.SIGKILL)
        self.inst.process.communicate()
        self.inst.process = None
        self.inst.output.close()
        before = self.saved(id)
        self.assertEqual((before["step"], before["state"], len(before["calls"])), (1, "open", 1),
                         "the API died while the chain waited")
        self.assertNotIn("5550002", self.phones.numbers())
        self.inst.start("--routes", self.routes)
        incident = self.acknowledged(id)
        self.assertEqual(incident["acknowledgedBy"], "bob")
        self.assertEqual([(c["step"], c["person"]) for c in incident["calls"]], [(1, "alice"), (2, "bob")])
        self.assertEqual(sum(1 for e in incident["timeline"] if e["event"] == "step"), 2)
        # Step 2 began at its saved due time, not before.
        second = [e for e in incident["timeline"] if e["event"] == "step"][1]
        self.assertGreaterEqual(second["at"], before["due"])
        self.all_calls_ended(incident)
        # Each phone rang once: step 1 was not run again after the restart.
        self.assertEqual(self.phones.numbers(), ["5550001", "5550002"])
        self.assertIn(incident["silence"], self.silences())


if __name__ == "__main__":
    unittest.main()
