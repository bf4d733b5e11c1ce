"""The whole road through the HTTP API: a request submitted over HTTP is
preprocessed by the real prepax, dialled by the real ringwell-host on
simulated lines, and followed to its end by an event stream and a status
callback."""
import json
import unittest

from apitest import ApiTestCase, Client, wait_for
from test_events import EventStream, Receiver


# 5550001 answers and presses 1, 5550002 is busy.
SCENARIO = {"rules": [{"number": "5550001", "outcome": "answer", "keys": "1"},
                      {"number": "5550002", "outcome": "busy"}]}


class RoadTest(ApiTestCase):
    def test_a_request_over_http_reaches_its_callees_and_every_change_is_told(self):
        anyone = Client(self.inst)
        self.assertEqual(anyone.request("GET", "/readyz")[0], 503)
        self.services = self.start_services(SCENARIO)
        # Both write their heartbeat at once: the installation is ready.
        status, _, ready = anyone.request("GET", "/readyz")
        self.assertEqual(status, 200, ready)
        receiver = Receiver(failures=0)
        self.addCleanup(receiver.server_close)
        self.addCleanup(receiver.shutdown)
        id = self.api.submit({"recipients": ["5550001", "5550002"], "busy": {"attempts": 0},
                              "message": ["The cooling of server room two has failed."],
                              "statusCallback": receiver.url})
        stream = EventStream(self.api, id)
        self.addCleanup(stream.close)
        wait_for(lambda: stream.ended, timeout=120, what="the request to finish")
        self.assertEqual(stream.events[-1]["type"], "status")
        self.assertEqual(stream.events[-1]["status"], "Completed")
        statuses = [e["status"] for e in stream.events if e["type"] == "status"]
        self.assertEqual(statuses[0], "Processing")
        self.assertIn("Scheduled", statuses)
        recipients = {e["recipient"]: e["status"] for e in stream.events if e["type"] == "recipient"}
        self.assertEqual(recipients, {"5550001": "Completed", "5550002": "Busy"})
        self.assertEqual(len([e for e in stream.events if e["type"] == "call"]), 2)
        status, _, report = self.api.request("GET", "/v1/requests/" + id)
        self.assertEqual(report["status"], "Completed")
        self.assertEqual([len(r["calls"]) for r in report["recipients"]], [1, 1])
        # A simulated callee who answers is a person; a busy line tells no one.
        answered_by = {r["recipient"]: r["calls"][0]["answeredBy"] for r in report["recipients"]}
        self.assertEqual(answered_by, {"5550001": "Human", "5550002": None})
        # The callback receiver got every event of the stream, in order.
        wait_for(lambda: len(receiver.accepted) == len(stream.events), what="every callback")
        for (_, _, body), event in zip(receiver.accepted, stream.events):
            del event["_sse"]
            self.assertEqual(json.loads(body), event)
        # The host counted the calls (its next heartbeat tells); the lines are
        # idle again.
        metrics = wait_for(lambda: (lambda text: 'ringwell_calls_total{result="Busy"}' in text and text)(
            anyone.request("GET", "/metrics")[2]), what="the host's counts")
        self.assertIn('ringwell_calls_total{result="Completed"} 1\n', metrics)
        self.assertIn('ringwell_calls_total{result="Busy"} 1\n', metrics)
        self.assertIn('ringwell_lines{state="busy"} 0\n', metrics)
        self.assertIn("ringwell_due_queue_length 0\n", metrics)
        # Stopped in order, they say so.
        for process in reversed(self.services):
            self.stop_service(process)
        status, _, ready = anyone.request("GET", "/readyz")
        self.assertEqual(status, 503)
        self.assertIn("ringwell-host stopped at", ready["checks"]["host"]["detail"])


if __name__ == "__main__":
    unittest.main()
