"""Alertmanager end to end: Debian's Alertmanager sends its web hook to
ringwell-api, prepax speaks the alert, ringwell-host calls a baresip phone
over SIP on 127.0.0.1, and the phone records what it hears."""
import os
import re
import unittest

import alertroad
from alertroad import amtool, now
from apitest import ApiTestCase, tokens, wait_for

ROUTES = """[routes.oncall]
numbers = ["5550001"]
resolved = "say"
noAnswer = {attempts = 0}
busy = {attempts = 0}
"""


class AlertmanagerTest(ApiTestCase):
    def setUp(self):
        super().setUp()
        self.inst.stop()
        routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write(ROUTES)
        self.inst.start("--routes", routes)
        self.services = alertroad.Services(self.inst)
        self.addCleanup(self.services.stop_all)

    def requests(self):
        return self.api.request("GET", "/v1/requests")[2]["requests"]

    def hook_answers(self):
        metrics = self.api.request("GET", "/metrics")[2]
        found = re.search(r'ringwell_api_requests_total\{route="/v1/hooks/alertmanager/oncall",'
                          r'method="POST",code="200"\} (\d+)', metrics)
        return int(found.group(1)) if found else 0

    def test_an_alert_becomes_one_call_and_its_resolution_is_said(self):
        inst = self.inst
        alertroad.register_components(inst)
        phone_port, recordings = alertroad.make_phone(self.services, "5550001")
        alertroad.start_prepax(self.services)
        url = alertroad.start_alertmanager(self.services, inst.port, tokens()["submitter"])
        disk = ["alertname=DiskFull", "instance=db1"]
        amtool(url, *disk, annotations=["summary=The disk of db1 is full"])
        (fired,) = wait_for(self.requests, what="the alert's request")
        self.assertEqual(fired["recipients"]["total"], 1)
        wait_for(lambda: self.api.request("GET", "/v1/requests/" + fired["id"])[2]["status"] == "Scheduled",
                 what="prepax to schedule the call")
        # A second alert joins the group: Alertmanager notifies the group
        # again while its call is still waiting for a line. No second call.
        amtool(url, "alertname=DiskFull", "instance=db2", annotations=["summary=The disk of db2 is full"])
        wait_for(lambda: self.hook_answers() >= 2, what="Alertmanager's second notification")
        self.assertEqual([r["id"] for r in self.requests()], [fired["id"]])
        groups = inst.root + "Events/alert-groups/"
        recorded = ""
        for name in os.listdir(groups):
            with open(groups + name) as f:
                recorded += f.read()
        self.assertIn(fired["id"], recorded)

        # The host comes up and calls the phone.
        alertroad.start_host(self.services, phone_port)
        wait_for(lambda: self.api.request("GET", "/v1/requests/" + fired["id"])[2]["status"] == "Completed",
                 timeout=90, what="the call")
        report = self.api.request("GET", "/v1/requests/" + fired["id"])[2]
        (recipient,) = report["recipients"]
        self.assertEqual(recipient["status"], "Completed")
        self.assertEqual(recipient["calls"][0]["answer"], "Answered")
        (heard,) = wait_for(lambda: alertroad.finished_recordings(recordings), what="the phone's recording")
        expected = alertroad.spoken_length("Firing: DiskFull. The disk of db1 is full.", inst.dir)
        span = alertroad.speech_span(heard)
        self.assertGreater(span, 0.8 * expected, (span, expected))
        self.assertLess(span, 1.5 * expected + 1.5, (span, expected))

        # Both alerts end: the resolution is said in a call of its own.
        for labels in (disk, ["alertname=DiskFull", "instance=db2"]):
            amtool(url, *labels, end=now())
        resolved = wait_for(lambda: [r for r in self.requests() if r["id"] != fired["id"]],
                            what="the resolved notification's call")
        self.assertEqual(len(resolved), 1)
        wait_for(lambda: self.api.request("GET", "/v1/requests/" + resolved[0]["id"])[2]["status"] == "Completed",
                 timeout=90, what="the second call")
        recordings_now = wait_for(lambda: (lambda r: len(r) == 2 and r)(alertroad.finished_recordings(recordings)),
                                  what="the second recording")
        second = [path for path in recordings_now if path != heard][0]
        # The route says the resolution in its default words, without the
        # alert's text and its menu.
        expected = alertroad.spoken_length("Resolved: DiskFull.", inst.dir)
        span = alertroad.speech_span(second)
        self.assertGreater(span, 0.8 * expected, (span, expected))
        # The end of one alert while the other still fired was no new alert:
        # two calls in all.
        self.assertEqual(len(self.requests()), 2)


if __name__ == "__main__":
    unittest.main()
