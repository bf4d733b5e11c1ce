"""Following a request: its events as Server-Sent Events (resumable with
Last-Event-ID, ended when the request is finished) and as status callbacks to
a receiver on loopback that fails twice before it accepts, across a restart of
the API."""
import hashlib
import hmac
import http.server
import json
import os
import threading
import time
import unittest

from apitest import OPENAPI, ApiTestCase, wait_for

REQUEST = {"recipients": ["5551234", "5559876"], "message": ["The cooling has failed."]}


class EventStream:
    """One Server-Sent Events stream, read on a thread of its own."""

    def __init__(self, client, id, last_event_id=None):
        headers = {"Authorization": "Bearer " + client.token, "Accept": "text/event-stream"}
        if last_event_id is not None:
            headers["Last-Event-ID"] = str(last_event_id)
        self.connection = client.connection(timeout=60)
        self.connection.request("GET", "/v1/requests/%s/events" % id, headers=headers)
        self.response = self.connection.getresponse()
        self.events = []
        self.ended = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fields = {}
        while True:
            line = self.response.readline()
            if not line:
                self.ended = True
                return
            line = line.decode().rstrip("\n")
            if line == "":
                if "data" in fields:
                    event = json.loads(fields["data"])
                    event["_sse"] = {"id": fields.get("id"), "event": fields.get("event")}
                    self.events.append(event)
                fields = {}
            elif not line.startswith(":"):
                key, _, value = line.partition(": ")
                fields[key] = value

    def close(self):
        self.connection.close()


def kinds(events):
    return [(e["type"], e.get("status") or e.get("call", {}).get("answer")) for e in events]


class EventsTest(ApiTestCase):
    def test_each_change_of_the_report_is_an_event_and_a_stream_resumes(self):
        id = self.api.submit(REQUEST)
        stream = EventStream(self.api, id)
        self.addCleanup(stream.close)
        self.assertEqual(stream.response.status, 200)
        self.assertEqual(stream.response.getheader("Content-Type"), "text/event-stream")
        self.inst.schedule(id)
        wait_for(lambda: len(stream.events) == 3, what="three events")
        self.inst.write_report(id, "InProgress", [("5551234", "InProgress", []), ("5559876", "Scheduled", [])])
        wait_for(lambda: len(stream.events) == 5, what="five events")
        self.inst.write_report(id, "InProgress", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                                  ("5559876", "Scheduled", [{"Answer": "Busy", "Status": "Busy"}])])
        wait_for(lambda: len(stream.events) == 8, what="eight events")
        self.assertFalse(stream.ended)
        self.inst.write_report(id, "Completed", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                                 ("5559876", "Failed", [{"Answer": "Busy", "Status": "Busy"}])])
        wait_for(lambda: stream.ended, what="the end of the stream")
        self.assertEqual(kinds(stream.events), [
            ("recipient", "Scheduled"), ("recipient", "Scheduled"), ("status", "Scheduled"),
            ("recipient", "InProgress"), ("status", "InProgress"),
            ("call", "Answered"), ("recipient", "Completed"), ("call", "Busy"),
            ("recipient", "Failed"), ("status", "Completed")])
        self.assertEqual([e["seq"] for e in stream.events], list(range(1, 11)))
        self.assertEqual([e["_sse"]["id"] for e in stream.events], [str(n) for n in range(1, 11)])
        self.assertEqual(stream.events[5]["recipient"], "5551234")
        for event in stream.events:
            self.assertEqual(event["_sse"]["event"], event["type"])
            del event["_sse"]
            OPENAPI.check_event(event)

        # Resuming after event 7 gives the rest, and ends: the request is finished.
        resumed = EventStream(self.api, id.lower(), last_event_id=7)
        self.addCleanup(resumed.close)
        wait_for(lambda: resumed.ended, what="the end of the resumed stream")
        self.assertEqual([e["seq"] for e in resumed.events], [8, 9, 10])
        # The history outlives the API.
        self.inst.stop()
        self.inst.start()
        again = EventStream(self.api, id)
        self.addCleanup(again.close)
        wait_for(lambda: again.ended, what="the replay after a restart")
        self.assertEqual(len(again.events), 10)
        self.assertEqual(self.api.request("GET", "/v1/requests/{00000000-0000-0000-0000-000000000000}/events")[0],
                         404)


class Receiver(http.server.ThreadingHTTPServer):
    """A callback receiver on loopback: refuses the first `failures` posts of
    each event (HTTP 503), then accepts; keeps what it accepted."""

    def __init__(self, failures):
        super().__init__(("127.0.0.1", 0), Handler)
        self.failures = failures
        self.attempts = {}
        self.accepted = []
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/hook" % self.server_address[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        server = self.server
        key = self.headers["Idempotency-Key"]
        with server.lock:
            server.attempts[key] = server.attempts.get(key, 0) + 1
            accept = server.attempts[key] > server.failures
            if accept:
                server.accepted.append((key, dict(self.headers), body))
        self.send_response(200 if accept else 503)
        self.end_headers()

    def log_message(self, *args):
        pass


class CallbackTest(ApiTestCase):
    def test_every_event_reaches_a_receiver_that_fails_twice_even_across_a_restart(self):
        receiver = Receiver(failures=2)
        self.addCleanup(receiver.server_close)
        self.addCleanup(receiver.shutdown)
        id = self.api.submit(dict(REQUEST, statusCallback=receiver.url))
        self.inst.schedule(id)
        wait_for(lambda: len(receiver.accepted) == 3, what="the first three events")

        # While the API is down the report changes twice; nothing is lost.
        self.inst.stop()
        self.inst.write_report(id, "InProgress", [("5551234", "InProgress", []), ("5559876", "Scheduled", [])])
        self.inst.write_report(id, "Completed", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                                 ("5559876", "NoAnswer", [{"Answer": "NoAnswer", "Status": "NoAnswer"}])])
        self.inst.start()
        wait_for(lambda: not os.path.exists(self.inst.root + "Events/" + id + ".callback.json"),
                 what="the last delivery")
        keys = [key for key, _, _ in receiver.accepted]
        self.assertEqual(keys, ["%s-%d" % (id, n) for n in range(1, 9)])
        self.assertTrue(all(count == 3 for count in receiver.attempts.values()), receiver.attempts)
        # The two changes made while the API was down come as the difference
        # between what it last saw and the report it found.
        events = [json.loads(body) for _, _, body in receiver.accepted]
        self.assertEqual(kinds(events)[3:], [("call", "Answered"), ("recipient", "Completed"),
                                             ("call", "NoAnswer"), ("recipient", "NoAnswer"),
                                             ("status", "Completed")])
        # Each body is signed with the installation's callback secret.
        with open(os.path.join(self.inst.dir, "callback.key")) as f:
            secret = f.read().strip().encode()
        self.assertEqual(os.stat(os.path.join(self.inst.dir, "callback.key")).st_mode & 0o777, 0o600)
        for _, headers, body in receiver.accepted:
            expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
            self.assertEqual(headers["X-Ringwell-Signature"], expected)
            self.assertEqual(headers["X-Ringwell-Event"], json.loads(body)["type"])
        status, _, metrics = self.api.request("GET", "/metrics")
        # Counted since the restart: five events, each after two failures.
        self.assertIn("ringwell_callback_deliveries_total 5\n", metrics)
        self.assertIn("ringwell_callback_failures_total 10\n", metrics)


if __name__ == "__main__":
    unittest.main()
