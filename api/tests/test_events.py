"""Following a request: its events as Server-Sent Events (resumable with
Last-Event-ID, ended when the request is finished) and as status callbacks to
a receiver on loopback that fails twice before it accepts, across a restart of
the API; receivers that hang delay only themselves, and callbacks to local
addresses are refused unless CallbackAllowPrivate allows them."""
import hashlib
import hmac
import http.server
import json
import os
import re
import socket
import threading
import time
import unittest

from apitest import OPENAPI, ApiTestCase, wait_for

REQUEST = {"recipients": ["5551234", "5559876"], "message": ["The cooling has failed."]}


class EventStream:
    """One Server-Sent Events stream, read on a thread of its own."""

    def __init__(self, client, id, last_event_id=None, path=None):
        headers = {"Authorization": "Bearer " + client.token, "Accept": "text/event-stream"}
        if last_event_id is not None:
            headers["Last-Event-ID"] = str(last_event_id)
        self.connection = client.connection(timeout=60)
        self.connection.request("GET", path or "/v1/requests/%s/events" % id, headers=headers)
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


class HangingReceiver:
    """Takes connections and reads what comes, but never answers; counts the
    connections it holds at once."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.lock = threading.Lock()
        self.connections = []
        self.open = 0
        self.most = 0
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/hook" % self.sock.getsockname()[1]

    def _accept(self):
        while True:
            try:
                connection, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.connections.append(connection)
                self.open += 1
                self.most = max(self.most, self.open)
            threading.Thread(target=self._read, args=(connection,), daemon=True).start()

    def _read(self, connection):
        try:
            while connection.recv(65536):
                pass
        except OSError:
            pass
        with self.lock:
            self.open -= 1

    def close(self):
        self.sock.close()
        with self.lock:
            for connection in self.connections:
                connection.close()


def finish(inst, id):
    inst.write_report(id, "Completed", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                        ("5559876", "NoAnswer", [{"Answer": "NoAnswer", "Status": "NoAnswer"}])])


class IsolatedCallbackTest(ApiTestCase):
    API_VALUES = {"CallbackTimeout": "600"}  # a hanging receiver hangs for the whole test

    def test_a_hanging_receiver_delays_only_its_own_deliveries(self):
        hanging = HangingReceiver()
        self.addCleanup(hanging.close)
        healthy = [Receiver(failures=0) for _ in range(3)]
        for receiver in healthy:
            self.addCleanup(receiver.server_close)
            self.addCleanup(receiver.shutdown)
        stuck = [self.api.submit(dict(REQUEST, statusCallback=hanging.url)) for _ in range(10)]
        served = [self.api.submit(dict(REQUEST, statusCallback=receiver.url)) for receiver in healthy]
        for id in stuck + served:
            self.inst.schedule(id)
        wait_for(lambda: hanging.most >= 4, what="the hanging receiver's connections")
        for receiver in healthy:
            wait_for(lambda: len(receiver.accepted) == 3, what="the first events beside a hanging receiver")
        for id in served:
            finish(self.inst, id)
        for id, receiver in zip(served, healthy):
            wait_for(lambda: not os.path.exists(self.inst.root + "Events/" + id + ".callback.json"),
                     what="every event of %s at its receiver" % id)
            self.assertEqual([key for key, _, _ in receiver.accepted], ["%s-%d" % (id, n) for n in range(1, 9)])
        # The hanging receiver holds no more transfers than one destination
        # may have at once, and its requests still wait for it.
        self.assertEqual(hanging.most, 4)
        for id in stuck:
            self.assertTrue(os.path.exists(self.inst.root + "Events/" + id + ".callback.json"), id)

    def test_every_event_of_a_long_request_arrives_in_order_across_a_restart(self):
        receiver = Receiver(failures=0)
        self.addCleanup(receiver.server_close)
        self.addCleanup(receiver.shutdown)
        numbers = ["555%04d" % i for i in range(200)]
        id = self.api.submit({"recipients": numbers, "message": ["The cooling has failed."],
                              "statusCallback": receiver.url})
        self.inst.schedule(id)
        wait_for(lambda: len(receiver.accepted) >= 50, what="the first events")
        self.inst.stop()
        self.inst.write_report(id, "InProgress", [(n, "InProgress", [{"Answer": "Busy", "Status": "Busy"}])
                                                  for n in numbers])
        self.inst.start()
        self.inst.write_report(id, "Completed", [(n, "Completed", [{"Answer": "Busy", "Status": "Busy"}])
                                                 for n in numbers])
        wait_for(lambda: not os.path.exists(self.inst.root + "Events/" + id + ".callback.json"),
                 timeout=120, what="the last delivery")
        # 201 events, then 401 (a call and a status per recipient, then the
        # request's), then 201: each at least once, in order (a restart may
        # send the last few delivered again, under the same key).
        seqs = [int(key.rsplit("-", 1)[1]) for key, _, _ in receiver.accepted]
        first = []
        for seq in seqs:
            if seq not in first:
                first.append(seq)
        self.assertEqual(first, list(range(1, 804)))
        self.assertEqual(json.loads(receiver.accepted[-1][2])["status"], "Completed")


class PrivateCallbackTest(ApiTestCase):
    API_VALUES = {"CallbackAllowPrivate": "0"}

    def allow_private(self, allowed):
        with open(self.inst.registry) as f:
            text = f.read()
        with open(self.inst.registry, "w") as f:
            f.write(re.sub(r'CallbackAllowPrivate = "\d"', 'CallbackAllowPrivate = "%d"' % allowed, text))
        self.inst.stop()
        self.inst.start()

    def test_callbacks_to_local_addresses_are_refused_unless_allowed(self):
        receiver = Receiver(failures=0)
        self.addCleanup(receiver.server_close)
        self.addCleanup(receiver.shutdown)
        port = receiver.server_address[1]
        for host in ("127.0.0.1", "[::1]", "0x7f.1", "2130706433", "127.1", "localhost", "169.254.169.254",
                     "10.0.0.1", "192.168.1.1", "[fe80::1]", "[::ffff:127.0.0.1]"):
            url = "http://%s:%d/hook" % (host, port)
            status, _, body = self.api.request("POST", "/v1/requests", dict(REQUEST, statusCallback=url))
            self.assertEqual((status, body["field"]), (422, "statusCallback"), url)
            self.assertIn("CallbackAllowPrivate", body["error"])
        self.assertEqual(self.inbox(), [])

        # Allowed, then no longer: a delivery taken up again is refused at the
        # address it would connect to, and given up with an event-log entry.
        self.allow_private(1)
        id = self.api.submit(dict(REQUEST, statusCallback=receiver.url))
        self.inst.schedule(id)
        wait_for(lambda: len(receiver.accepted) == 3, what="the first three events")
        self.allow_private(0)
        finish(self.inst, id)
        wait_for(lambda: not os.path.exists(self.inst.root + "Events/" + id + ".callback.json"),
                 what="the delivery given up")
        self.assertEqual(len(receiver.accepted), 3)
        with open(self.inst.event_log) as f:
            entries = [json.loads(line) for line in f]
        self.assertTrue(any("gave up the status callbacks of " + id in json.dumps(e) and "127.0.0.1" in json.dumps(e)
                            for e in entries), entries)


if __name__ == "__main__":
    unittest.main()
