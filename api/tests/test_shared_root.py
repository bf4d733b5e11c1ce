"""Two API instances on one storage root (SharedRoot = 1, a lease of 10 s), as
two boxes run them: both answer reads and submissions; one at a time leads
(its /healthz says so) and the other takes over once the leader is killed
with SIGKILL; a request's status callbacks are delivered once each, however
many instances see its report change; an escalation step is dialled once,
by the leader of the moment; an alert notification sent to both instances at
once opens one incident and makes one call."""
import copy
import json
import os
import re
import signal
import threading
import unittest

from apitest import ApiTestCase, Client, tokens, wait_for
from test_alerts import alertmanager_payload
from test_events import REQUEST, Receiver

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


if __name__ == "__main__":
    unittest.main()
