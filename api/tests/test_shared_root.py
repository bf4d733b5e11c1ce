"""Two API instances on one storage root (SharedRoot = 1, a lease of 10 s), as
two boxes run them: both answer reads and submissions; one at a time leads
(its /healthz says so) and the other takes over once the leader is killed
with SIGKILL; a request's status callbacks are delivered once each, however
many instances see its report change; an escalation step is dialled once,
by the leader of the moment; an alert notification sent to both instances at
once opens one incident and makes one call. An Idempotency-Key is the root's:
the other instance replays the answer; the incidents' events of both
instances reach the streams of either, numbered once; a report changed in a
way inotify does not tell (a hard link: what a change made by another box
through a network file system looks like to this box) reaches the request's
event streams. What only another box's writes through FUSE show is covered
by scripts/test-scale-out."""
import copy
import json
import os
import re
import signal
import threading
import unittest

from apitest import ApiTestCase, Client, tokens, wait_for
from test_alerts import alertmanager_payload
from test_events import REQUEST, EventStream, Receiver, kinds

ROUTES = """
[people.alice]
name = "Alice"
phone = "5550001"

[people.bob]
name = "Bob"
phone = "5550002"

[policies.critical]
[[policies.critical.steps]]
notify = ["person:alice"]
wait = "3s"
[[policies.critical.steps]]
notify = ["person:bob"]
wait = "1h"

[routes.db]
policy = "critical"

[routes.plain]
numbers = ["5550003"]
"""


def read_json(path):
    with open(path) as f:
        return json.load(f)


class SharedRootTest(ApiTestCase):
    def setUp(self):
        super().setUp()
        self.inst.stop()
        # The installation's main key says the root is shared, with a short lease.
        with open(self.inst.registry) as f:
            registry = f.read()
        registry = registry.replace("AudioFormat = 49\n", 'AudioFormat = 49\nSharedRoot = 1\nLeaseSeconds = 10\n'
                                    'HostId = "box"\n', 1)
        with open(self.inst.registry, "w") as f:
            f.write(registry)
        self.routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(self.routes, "w") as f:
            f.write(ROUTES)
        self.inst.start("--routes", self.routes)
        # The first instance leads once its lease is taken.
        wait_for(lambda: self.leads(self.api), what="the first instance to lead")
        # The second instance: the same installation, its own process and port.
        self.other = copy.copy(self.inst)
        self.other.process = None
        self.other.start("--routes", self.routes)
        self.addCleanup(self.kill_other)
        self.second = Client(self.other, tokens()["all"])

    def tearDown(self):
        self.other.stop()
        super().tearDown()

    def kill_other(self):
        if self.other.process is not None:
            self.other.process.kill()
            self.other.process.communicate()
            self.other.process = None

    @staticmethod
    def leads(client):
        status, _, body = client.request("GET", "/healthz")
        return status == 200 and body["leader"]

    def kill_first(self):
        self.inst.process.send_signal(signal.SIGKILL)
        self.inst.process.communicate()
        self.inst.process = None
        self.inst.output.close()

    def inbox_requests(self):
        found = {}
        for name in os.listdir(self.inst.root + "Inbox"):
            if not name.startswith("."):
                with open(self.inst.root + "Inbox/" + name) as f:
                    found[name[:-4]] = f.read()
        return found

    def test_callbacks_are_delivered_once_and_the_other_instance_takes_over_after_a_kill(self):
        self.assertFalse(self.leads(self.second))  # the first holds the lease
        receiver = Receiver(failures=0)
        self.addCleanup(receiver.server_close)
        self.addCleanup(receiver.shutdown)
        # Submitted to the instance that does not lead: the leader delivers.
        id = self.second.submit(dict(REQUEST, statusCallback=receiver.url))
        self.assertEqual(self.api.request("GET", "/v1/requests/" + id)[0], 200)
        self.inst.schedule(id)
        pending = self.inst.root + "Events/" + id + ".callback.json"
        # Delivered and saved as delivered, so the next leader goes on from there.
        wait_for(lambda: read_json(pending).get("delivered") == 3, what="three events delivered")

        self.kill_first()
        wait_for(lambda: self.leads(self.second), what="the second instance to take over")
        self.inst.write_report(id, "InProgress", [("5551234", "InProgress", []), ("5559876", "Scheduled", [])])
        self.inst.write_report(id, "Completed", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                                 ("5559876", "NoAnswer", [{"Answer": "NoAnswer",
                                                                           "Status": "NoAnswer"}])])
        wait_for(lambda: not os.path.exists(pending), what="the last delivery")
        keys = [key for key, _, _ in receiver.accepted]
        # Every event once, in order: none appended twice to the journal, none sent twice.
        self.assertEqual(keys, ["%s-%d" % (id, n) for n in range(1, len(keys) + 1)])
        self.assertEqual(json.loads(receiver.accepted[-1][2])["status"], "Completed")
        self.assertTrue(all(count == 1 for count in receiver.attempts.values()), receiver.attempts)

    def test_an_alert_sent_to_both_opens_one_incident_and_each_step_is_dialled_once(self):
        answers = {}

        def post(name, client, path, payload):
            answers[name] = client.request("POST", path, payload)

        threads = []
        for path, payload in (("/v1/hooks/alertmanager/db", alertmanager_payload()),
                              ("/v1/hooks/alertmanager/plain", alertmanager_payload(key="plain"))):
            for name, client in (("first", self.api), ("second", self.second)):
                threads.append(threading.Thread(target=post, args=(name + path, client, path, payload)))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertTrue(all(status == 200 for status, _, _ in answers.values()), answers)

        incident = [answers[n + "/v1/hooks/alertmanager/db"][2] for n in ("first", "second")]
        self.assertEqual(sorted(a["action"] for a in incident), ["incident opened", "incident updated"])
        self.assertEqual(incident[0]["incident"], incident[1]["incident"])
        id = incident[0]["incident"]
        plain = [answers[n + "/v1/hooks/alertmanager/plain"][2] for n in ("first", "second")]
        self.assertEqual(sorted(a["action"] for a in plain), ["already being called", "called"])
        self.assertEqual(plain[0]["requests"], plain[1]["requests"])
        # One call for the plain route, one for the incident's first step (Alice).
        numbers = sorted(n for r in self.inbox_requests().values()
                         for n in re.findall(r"<Recipient [^>]*>([^<]*)<", r))
        self.assertEqual(numbers, ["5550001", "5550003"])
        listed = self.second.request("GET", "/v1/incidents")[2]["incidents"]
        self.assertEqual([i["id"] for i in listed], [id])

        # The leader dies during the first step's wait: the other instance
        # runs the second step, once, from what is saved in Incidents/.
        self.kill_first()
        incident = wait_for(lambda: (lambda i: i if i["step"] == 2 and i["calls"][-1]["state"] != "placing"
                                     else None)(self.second.request("GET", "/v1/incidents/" + id)[2]),
                            timeout=60, what="the second step")
        self.assertTrue(self.leads(self.second))
        self.assertEqual([(c["step"], c["person"]) for c in incident["calls"]], [(1, "alice"), (2, "bob")])
        self.assertEqual(sum(1 for e in incident["timeline"] if e["event"] == "step"), 2)
        numbers = sorted(n for r in self.inbox_requests().values()
                         for n in re.findall(r"<Recipient [^>]*>([^<]*)<", r))
        self.assertEqual(numbers, ["5550001", "5550002", "5550003"])

    def test_an_idempotency_key_sent_to_either_instance_is_answered_once(self):
        key = {"Idempotency-Key": "order-17"}
        status, headers, first = self.api.request("POST", "/v1/requests", REQUEST, headers=key)
        self.assertEqual(status, 201, first)
        self.assertNotIn("idempotent-replayed", headers)
        status, headers, again = self.second.request("POST", "/v1/requests", REQUEST, headers=key)
        self.assertEqual((status, again, headers.get("idempotent-replayed")), (201, first, "true"))
        self.assertEqual(headers["location"], first["location"])
        status, _, refused = self.second.request("POST", "/v1/requests", dict(REQUEST, message=["Other."]),
                                                 headers=key)
        self.assertEqual(status, 422, refused)
        self.assertEqual(list(self.inbox_requests()), [first["id"]])

        # The same key sent to both at once: one request, the other answer a
        # replay of it or "still being answered" (409), never a second request.
        answers = {}

        def post(name, client, key):
            answers[name, key] = client.request("POST", "/v1/requests", REQUEST, headers={"Idempotency-Key": key})

        threads = [threading.Thread(target=post, args=(name, client, "race-%d" % n))
                   for n in range(6) for name, client in (("first", self.api), ("second", self.second))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for n in range(6):
            pair = sorted((answers[name, "race-%d" % n] for name in ("first", "second")),
                          key=lambda a: (a[0], "idempotent-replayed" in a[1]))
            self.assertEqual(pair[0][0], 201, pair)
            if pair[1][0] == 201:
                self.assertEqual((pair[1][2], pair[1][1]["idempotent-replayed"]), (pair[0][2], "true"))
            else:
                self.assertEqual(pair[1][0], 409, pair)
        self.assertEqual(len(self.inbox_requests()), 7)

    def test_incident_events_of_both_instances_reach_a_stream_numbered_once(self):
        stream = EventStream(self.api, None, path="/v1/incidents/events")
        self.addCleanup(stream.close)
        self.assertEqual(stream.response.status, 200)
        status, _, opened = self.api.request("POST", "/v1/hooks/alertmanager/db", alertmanager_payload())
        self.assertEqual((status, opened["action"]), (200, "incident opened"))
        wait_for(lambda: "called" in [e["change"] for e in stream.events], what="the first instance's events")
        # Resolved through the other instance: its events follow the first's.
        status, _, resolved = self.second.request("POST", "/v1/hooks/alertmanager/db",
                                                  alertmanager_payload("resolved"))
        self.assertEqual((status, resolved["action"]), (200, "incident resolved"))
        wait_for(lambda: "resolved" in [e["change"] for e in stream.events], what="the resolution as an event")
        # And again through the first.
        self.api.request("POST", "/v1/hooks/alertmanager/db", alertmanager_payload(instance="db2", key="db2"))
        wait_for(lambda: [e for e in stream.events if e["incident"]["labels"].get("instance") == "db2"],
                 what="the second incident's events")
        # The stream goes on (the new incident's step is called meanwhile):
        # what it held at this moment is compared.
        seen = list(stream.events)
        seqs = [e["seq"] for e in seen]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))))
        self.assertEqual([e["_sse"]["id"] for e in seen], [str(n) for n in seqs])
        changes = [e["change"] for e in seen]
        self.assertEqual(changes[:3], ["opened", "step", "called"])
        self.assertEqual(changes.count("resolved"), 1)
        # A stream of the other instance resumed before the first event tells
        # the same events under the same numbers.
        resumed = EventStream(self.second, None, last_event_id=seqs[0] - 1, path="/v1/incidents/events")
        self.addCleanup(resumed.close)
        wait_for(lambda: len(resumed.events) >= len(seqs), what="the resumed stream")
        self.assertEqual([(e["seq"], e["change"]) for e in resumed.events[:len(seqs)]],
                         [(e["seq"], e["change"]) for e in seen])
        with open(self.inst.root + "Events/incidents/feed.jsonl") as f:
            numbers = [json.loads(line)["seq"] for line in f]
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))

    def test_a_report_changed_without_an_inotify_event_reaches_the_streams_of_both(self):
        id = self.second.submit(REQUEST)
        streams = [EventStream(client, id) for client in (self.api, self.second)]
        for stream in streams:
            self.addCleanup(stream.close)
        self.inst.schedule(id)
        for stream in streams:
            wait_for(lambda: len(stream.events) == 3, what="three events")
        # Then the report is written elsewhere and linked below Reports:
        # inotify tells the watchers of the old one's removal, and of the new
        # link (IN_CREATE) nothing, as it tells nothing of another box's
        # writes; the instances find it by its stamps.
        elsewhere = copy.copy(self.inst)
        elsewhere.root = os.path.join(self.inst.dir, "elsewhere") + "/"
        os.makedirs(elsewhere.root + "Reports")
        report = self.inst.root + "Reports/" + id + ".xml"

        def link_report(status, recipients):
            elsewhere.write_report(id, status, recipients)
            if os.path.exists(report):
                os.remove(report)
            os.link(elsewhere.root + "Reports/" + id + ".xml", report)
            os.remove(elsewhere.root + "Reports/" + id + ".xml")

        link_report("InProgress", [("5551234", "InProgress", []), ("5559876", "Scheduled", [])])
        for stream in streams:
            wait_for(lambda: len(stream.events) == 5, what="five events")
        link_report("Completed", [("5551234", "Completed", [{"Answer": "Answered"}]),
                                  ("5559876", "Failed", [{"Answer": "Busy", "Status": "Busy"}])])
        for stream in streams:
            wait_for(lambda: stream.ended, what="the end of the stream")
            self.assertEqual(kinds(stream.events), [
                ("recipient", "Scheduled"), ("recipient", "Scheduled"), ("status", "Scheduled"),
                ("recipient", "InProgress"), ("status", "InProgress"),
                ("call", "Answered"), ("recipient", "Completed"), ("call", "Busy"), ("recipient", "Failed"),
                ("status", "Completed")])
            self.assertEqual([e["seq"] for e in stream.events], list(range(1, 11)))


if __name__ == "__main__":
    unittest.main()
