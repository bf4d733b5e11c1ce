"""The whole road through the HTTP API: a request submitted over HTTP is
preprocessed by the real prepax, dialled by the real ringwell-host on
simulated lines, and followed to its end by an event stream and a status
callback."""
import json
import os
import subprocess
import unittest

from apitest import ApiTestCase, Client, library, program, wait_for
from test_events import EventStream, Receiver


def read(path):
    with open(path) as f:
        return f.read()


class RoadTest(ApiTestCase):
    def start_services(self):
        inst = self.inst
        subprocess.run([program("ringwell-regsvr"), library("wavshift"), library("dialqueue")], env=inst.env,
                       check=True, capture_output=True)
        subprocess.run([program("prepax"), "-RegServer"], env=inst.env, check=True, capture_output=True)
        scenario = os.path.join(inst.dir, "scenario.json")
        with open(scenario, "w") as f:
            json.dump({"rules": [{"number": "5550001", "outcome": "answer", "keys": "1"},
                                 {"number": "5550002", "outcome": "busy"}]}, f)
        self.services = []
        for argv, ready in (([program("prepax")], "Prepax is running"),
                            ([program("ringwell-host"), "--lines", "1,2", "--scenario", scenario], "ready")):
            log = os.path.join(inst.dir, os.path.basename(argv[0]) + ".out")
            with open(log, "w") as out:
                process = subprocess.Popen(argv, env=inst.env, stdout=out, stderr=subprocess.STDOUT)
            self.services.append(process)
            self.addCleanup(self.stop_service, process)
            wait_for(lambda: ready in read(log) or process.poll() is not None, timeout=60,
                     what=argv[0] + " to start")
            self.assertIsNone(process.poll(), read(log))

    def stop_service(self, process):
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=60)

    def test_a_request_over_http_reaches_its_callees_and_every_change_is_told(self):
        anyone = Client(self.inst)
        self.assertEqual(anyone.request("GET", "/readyz")[0], 503)
        self.start_services()
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
