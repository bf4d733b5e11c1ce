"""The alert receivers over real sockets: what a notification becomes in
Inbox, what is refused and why, one call per alert group, and what a
resolved notification does. Grafana's notification is the example payload of
Grafana's web hook contact point documentation
(https://grafana.com/docs/grafana/latest/alerting/configure-notifications/manage-contact-points/integrations/webhook-notifier/),
kept in fixtures/grafana-webhook.json."""
import copy
import json
import os
import re
import signal
import unittest
from xml.etree import ElementTree

from apitest import ApiTestCase, Client, program, read_text, tokens, wait_for

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")

ROUTES = """
[routes.oncall]
numbers = ["5550001"]

[routes.db]
numbers = ["5550002", "5550003"]
page = [{number = "5559876", service = "sms"}]
say = "Database {status}: {labels.alertname} on {labels.instance}. {annotations.summary} Press 1."
responses = [{button = "1", message = ["Acknowledged."]}]
rings = 4
resolved = "say"

[routes.quiet]
numbers = ["5550004"]
resolved = "ignore"
"""


# Routes for tools whose own web hook payload is read through JSON pointers.
POINTER_ROUTES = """
[routes.kuma]
numbers = ["5550005"]
resolved = "say"

[routes.kuma.webhook]
key = "/monitor/id"
name = "/monitor/name"
text = "/heartbeat/msg"
resolved = "/heartbeat/status"
resolvedWhen = 1

[routes.healthchecks]
numbers = ["5550006"]

[routes.healthchecks.webhook]
key = "/check"
name = "/check"
resolved = "/status"
resolvedWhen = "up"

[routes.zabbix]
numbers = ["5550007"]
resolved = "say"
sayResolved = "Resolved: {annotations.summary}"

[routes.zabbix.webhook]
key = "/event_id"
name = "/subject"
text = "/message"
resolved = "/status"
resolvedWhen = "RESOLVED"
"""


def uptime_kuma_payload(status):
    """Uptime Kuma's web hook notification (its default JSON body)."""
    message = "Connection refused" if status == 0 else "OK"
    return {"heartbeat": {"monitorID": 7, "status": status, "time": "2026-12-08 16:00:00.000",
                          "msg": message, "important": True, "duration": 60},
            "monitor": {"id": 7, "name": "Shop", "type": "http", "url": "http://127.0.0.1:8080",
                        "interval": 60, "active": True},
            "msg": "[Shop] [%s] %s" % ("Down" if status == 0 else "Up", message)}


def zabbix_payload(status):
    """What a Zabbix media type's web hook script posts for a trigger's event."""
    return {"event_id": "4711", "subject": "%s: High CPU load on web1" % ("Problem" if status == "PROBLEM"
                                                                          else "Resolved"),
            "message": "The CPU load of web1 is 12.", "status": status, "severity": "High", "host": "web1"}


def alertmanager_payload(status="firing", key='{}:{alertname="DiskFull"}', **labels):
    labels = dict({"alertname": "DiskFull", "instance": "db1"}, **labels)
    return {"version": "4", "groupKey": key, "truncatedAlerts": 0, "status": status, "receiver": "ringwell",
            "groupLabels": {"alertname": labels["alertname"]}, "commonLabels": labels,
            "commonAnnotations": {"summary": "The disk of db1 is full."}, "externalURL": "http://127.0.0.1:9093",
            "alerts": [{"status": status, "labels": labels, "annotations": {"summary": "The disk of db1 is full."},
                        "startsAt": "2026-12-08T00:00:00Z", "endsAt": "0001-01-01T00:00:00Z",
                        "generatorURL": "", "fingerprint": "3f2a"}]}


class AlertHookTest(ApiTestCase):
    def setUp(self):
        self.routes = None
        super().setUp()

    def start_with(self, routes):
        self.inst.stop()
        path = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(path, "w") as f:
            f.write(routes)
        self.inst.start("--routes", path)

    def requests_in_inbox(self):
        found = {}
        for name in self.inbox():
            with open(self.inst.root + "Inbox/" + name) as f:
                found[name[:-4]] = f.read()
        return found

    def post(self, path, body, **kwargs):
        return self.api.request("POST", path, body, **kwargs)

    def test_a_firing_group_is_called_once_and_its_resolution_does_what_the_route_says(self):
        self.start_with(ROUTES)
        status, _, answer = self.post("/v1/hooks/alertmanager/db", alertmanager_payload())
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer["action"], "called")
        call, page = answer["requests"]
        requests = self.requests_in_inbox()
        self.assertEqual(sorted(requests), sorted([call, page]))
        text = "Database firing: DiskFull on db1. The disk of db1 is full. Press 1."
        self.assertIn(">%s</MessagePart>" % text, requests[call])
        self.assertEqual(re.findall(r"<Recipient [^>]*>([^<]*)<", requests[call]), ["5550002", "5550003"])
        self.assertIn('<NumberOfRings dt:dt="int">4<', requests[call])
        self.assertIn('<Response Button="1">', requests[call])
        self.assertIn('Type="Page"', requests[page])
        self.assertIn(">5559876<", requests[page])
        # Alertmanager repeats the group while it is being called: no second call.
        status, _, again = self.post("/v1/hooks/alertmanager/db", alertmanager_payload())
        self.assertEqual((status, again["action"], sorted(again["requests"])),
                         (200, "already being called", sorted([call, page])))
        self.assertEqual(len(self.inbox()), 2)
        # Resolved: the call, scheduled already, is canceled; the page, still
        # in Inbox, is withdrawn before anything of it runs.
        self.inst.schedule(call)
        status, _, resolved = self.post("/v1/hooks/alertmanager/db", alertmanager_payload("resolved"))
        self.assertEqual(status, 200, resolved)
        self.assertEqual(resolved["action"], "said resolved")
        self.assertEqual(sorted(resolved["canceled"]), sorted([call, page]))
        self.assertEqual(self.api.request("GET", "/v1/requests/" + call)[2]["status"], "Canceled")
        self.assertEqual(self.api.request("GET", "/v1/requests/" + page)[0], 404)
        said = self.requests_in_inbox()
        self.assertEqual(sorted(said), sorted(resolved["requests"]))
        # Said as the route's sayResolved (by default "Resolved: {labels.alertname}."),
        # without the firing text and without its press-1 menu.
        resolved_call = [r for r in said.values() if 'Type="Page"' not in r]
        self.assertEqual(len(resolved_call), 1, said)
        self.assertIn(">Resolved: DiskFull.</MessagePart>", resolved_call[0])
        self.assertNotIn("<Response ", resolved_call[0])
        # Said once, however often it is sent.
        status, _, again = self.post("/v1/hooks/alertmanager/db", alertmanager_payload("resolved"))
        self.assertEqual(again["action"], "already said")
        self.assertEqual(len(self.inbox()), 2)
        # Another group of the same route is a call of its own.
        status, _, other = self.post("/v1/hooks/alertmanager/db",
                                     alertmanager_payload(key='{}:{alertname="Other"}', alertname="Other"))
        self.assertEqual(other["action"], "called")

    def test_cancel_and_ignore(self):
        self.start_with(ROUTES)
        _, _, fired = self.post("/v1/hooks/alertmanager/oncall", alertmanager_payload())
        (id,) = fired["requests"]
        self.assertIn(">Firing: DiskFull. The disk of db1 is full.</MessagePart>", self.requests_in_inbox()[id])
        self.inst.schedule(id)
        status, _, resolved = self.post("/v1/hooks/alertmanager/oncall", alertmanager_payload("resolved"))
        self.assertEqual((status, resolved["action"], resolved["canceled"], resolved["requests"]),
                         (200, "canceled", [id], []))
        self.assertEqual(self.api.request("GET", "/v1/requests/" + id)[2]["status"], "Canceled")
        # Fired again once its call is over: called again.
        _, _, refired = self.post("/v1/hooks/alertmanager/oncall", alertmanager_payload())
        self.assertEqual(refired["action"], "called")
        self.assertNotEqual(refired["requests"], [id])
        _, _, quiet = self.post("/v1/hooks/alertmanager/quiet", alertmanager_payload())
        self.inst.schedule(quiet["requests"][0])
        _, _, ignored = self.post("/v1/hooks/alertmanager/quiet", alertmanager_payload("resolved"))
        self.assertEqual(ignored["action"], "ignored")
        self.assertEqual(self.api.request("GET", "/v1/requests/" + quiet["requests"][0])[2]["status"], "Scheduled")

    def test_the_generic_web_hook_calls_a_group_once_and_its_resolution_is_said(self):
        self.start_with(ROUTES)
        alert = {"status": "firing", "group": "db1-disk", "summary": "The disk of db1 is full.",
                 "labels": {"alertname": "DiskFull", "instance": "db1"}}
        status, _, fired = self.post("/v1/hooks/webhook/db", alert)
        self.assertEqual((status, fired["action"], fired["groupKey"]), (200, "called", "db1-disk"))
        call, page = fired["requests"]
        text = "Database firing: DiskFull on db1. The disk of db1 is full. Press 1."
        self.assertIn(">%s</MessagePart>" % text, self.requests_in_inbox()[call])
        # The tool posts again while the call goes on: nothing new is made.
        status, _, again = self.post("/v1/hooks/webhook/db", alert)
        self.assertEqual((again["action"], sorted(again["requests"])), ("already being called", sorted([call, page])))
        self.assertEqual(len(self.inbox()), 2)
        # Its own ledger: the same group key from Alertmanager is another group.
        self.assertEqual(self.post("/v1/hooks/alertmanager/db", alertmanager_payload(key="db1-disk"))[2]["action"],
                         "called")
        self.assertEqual(len(self.inbox()), 4)
        # Resolved: the call is canceled and the resolution said, once.
        status, _, resolved = self.post("/v1/hooks/webhook/db", dict(alert, status="resolved"))
        self.assertEqual((status, resolved["action"], sorted(resolved["canceled"])),
                         (200, "said resolved", sorted([call, page])))
        self.assertEqual(len(resolved["requests"]), 2)
        self.assertEqual(self.post("/v1/hooks/webhook/db", dict(alert, status="resolved"))[2]["action"],
                         "already said")
        # A token without the scope submit makes nothing.
        status, _, refused = self.post("/v1/hooks/webhook/oncall", alert, token=tokens()["reader"])
        self.assertEqual(status, 403)
        self.assertIn('lacks the scope "submit"', refused["error"])

    def test_web_hooks_of_other_tools_are_read_through_the_routes_pointers(self):
        self.start_with(ROUTES + POINTER_ROUTES)
        # Uptime Kuma: the monitor's id is the group; status 1 (up) resolves.
        status, _, fired = self.post("/v1/hooks/webhook/kuma", uptime_kuma_payload(0))
        self.assertEqual((status, fired["action"], fired["groupKey"], fired["status"]), (200, "called", "7", "firing"))
        (call,) = fired["requests"]
        self.assertIn(">Firing: Shop. Connection refused.</MessagePart>", self.requests_in_inbox()[call])
        self.assertIn(">5550005<", self.requests_in_inbox()[call])
        again = self.post("/v1/hooks/webhook/kuma", uptime_kuma_payload(0))[2]
        self.assertEqual((again["action"], again["requests"]), ("already being called", [call]))
        self.assertEqual(len(self.inbox()), 1)
        status, _, resolved = self.post("/v1/hooks/webhook/kuma", uptime_kuma_payload(1))
        self.assertEqual((status, resolved["status"], resolved["action"], resolved["canceled"]),
                         (200, "resolved", "said resolved", [call]))
        (said,) = resolved["requests"]
        self.assertIn(">Resolved: Shop.</MessagePart>", self.requests_in_inbox()[said])
        # healthchecks.io with the body {"check": "$NAME", "status": "$STATUS"}.
        check = {"check": "nightly-backup", "status": "down"}
        fired = self.post("/v1/hooks/webhook/healthchecks", check)[2]
        self.assertEqual((fired["action"], fired["groupKey"]), ("called", "nightly-backup"))
        (call,) = fired["requests"]
        self.assertIn(">Firing: nightly-backup.</MessagePart>", self.requests_in_inbox()[call])
        self.assertEqual(self.post("/v1/hooks/webhook/healthchecks", check)[2]["action"], "already being called")
        resolved = self.post("/v1/hooks/webhook/healthchecks", dict(check, status="up"))[2]
        self.assertEqual((resolved["action"], resolved["canceled"]), ("canceled", [call]))
        self.assertNotIn(call, self.inbox_ids())
        # Zabbix: one event, PROBLEM then RESOLVED.
        fired = self.post("/v1/hooks/webhook/zabbix", zabbix_payload("PROBLEM"))[2]
        self.assertEqual((fired["action"], fired["groupKey"]), ("called", "4711"))
        (call,) = fired["requests"]
        self.assertIn(">Firing: Problem: High CPU load on web1. The CPU load of web1 is 12.</MessagePart>",
                      self.requests_in_inbox()[call])
        self.assertEqual(self.post("/v1/hooks/webhook/zabbix", zabbix_payload("PROBLEM"))[2]["action"],
                         "already being called")
        resolved = self.post("/v1/hooks/webhook/zabbix", zabbix_payload("RESOLVED"))[2]
        self.assertEqual(resolved["action"], "said resolved")
        self.assertIn(">Resolved: The CPU load of web1 is 12.</MessagePart>",
                      self.requests_in_inbox()[resolved["requests"][0]])
        # A payload without what a pointer names is refused, naming the pointer.
        before = sorted(self.inbox())
        for route, payload, pointer in (("kuma", {"monitor": {"id": 8, "name": "Other"}}, "/heartbeat/status"),
                                        ("kuma", {"heartbeat": {"status": 0, "msg": "x"}}, "/monitor/id"),
                                        ("zabbix", {k: v for k, v in zabbix_payload("PROBLEM").items()
                                                    if k != "message"}, "/message"),
                                        ("healthchecks", {"check": {"name": "x"}, "status": "down"}, "/check")):
            status, _, body = self.post("/v1/hooks/webhook/" + route, payload)
            self.assertEqual(status, 422, body)
            self.assertTrue(body["error"].startswith(pointer + " "), body)
        self.assertEqual(self.post("/v1/hooks/webhook/kuma", "{")[0], 400)
        self.assertEqual(sorted(self.inbox()), before)
        # A route without pointers keeps the fixed shape.
        self.assertEqual(self.post("/v1/hooks/webhook/oncall", uptime_kuma_payload(0))[0], 400)

    def inbox_ids(self):
        return [name[:-4] for name in self.inbox()]

    def test_a_group_that_only_lost_alerts_is_not_called_again(self):
        self.start_with(ROUTES)
        payload = alertmanager_payload()
        second = copy.deepcopy(payload["alerts"][0])
        second["labels"]["instance"], second["fingerprint"] = "db2", "77c1"
        _, _, first = self.post("/v1/hooks/alertmanager/oncall", payload)
        # db2 joins while the call is still going: no call, but it is known.
        payload["alerts"].append(second)
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", payload)[2]["action"], "already being called")
        # Each alert is kept once, however often the group is repeated.
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", payload)[2]["action"], "already being called")
        groups = self.inst.root + "Events/alert-groups/"
        (group,) = [entry for entry in (json.load(open(groups + name)) for name in os.listdir(groups))
                    if entry["route"] == "alertmanager/oncall" and entry["groupKey"] == '{}:{alertname="DiskFull"}']
        self.assertEqual(group["alerts"], ["3f2a", "77c1"])
        self.inst.schedule(first["requests"][0])
        self.inst.write_report(first["requests"][0], "Completed", [("5550001", "Completed", [{}])])
        # db1 ends, db2 still fires: nothing new to say.
        payload["alerts"][0]["status"] = "resolved"
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", payload)[2]["action"], "no new alert")
        # Alertmanager repeats db2 after its repeat interval: called again.
        payload["alerts"].pop(0)
        _, _, repeat = self.post("/v1/hooks/alertmanager/oncall", payload)
        self.assertEqual(repeat["action"], "called")
        self.assertIn(">Firing: DiskFull. The disk of db1 is full.</MessagePart>",
                      self.requests_in_inbox()[repeat["requests"][0]])

    def test_the_routes_are_listed_with_the_groups_they_called_about(self):
        self.start_with(ROUTES)
        status, _, listing = self.api.request("GET", "/v1/hooks/routes")
        self.assertEqual(status, 200, listing)
        routes = {route["name"]: route for route in listing["routes"]}
        self.assertEqual(sorted(routes), ["db", "oncall", "quiet"])
        db = routes["db"]
        self.assertEqual((db["numbers"], db["page"], db["resolved"], db["sayResolved"]),
                         (["5550002", "5550003"], [{"number": "5559876", "service": "sms"}], "say",
                          "Resolved: {labels.alertname}."))
        self.assertTrue(db["say"].startswith("Database {status}"))
        self.assertEqual(routes["oncall"]["say"], "")
        self.assertEqual([r["groups"] for r in routes.values()], [[], [], []])
        _, _, fired = self.post("/v1/hooks/alertmanager/db", alertmanager_payload())
        (group,) = {r["name"]: r for r in self.api.request("GET", "/v1/hooks/routes")[2]["routes"]}["db"]["groups"]
        self.assertEqual((group["source"], group["groupKey"], group["requests"], group["alerts"]),
                         ("alertmanager", '{}:{alertname="DiskFull"}', fired["requests"], 1))
        # The scope read is needed, as for the requests.
        self.assertEqual(Client(self.inst, tokens()["submitter"]).request("GET", "/v1/hooks/routes")[0], 403)
        self.assertEqual(Client(self.inst).request("GET", "/v1/hooks/routes")[0], 401)

    def test_grafana_notification_from_its_documentation(self):
        self.start_with(ROUTES)
        with open(os.path.join(FIXTURES, "grafana-webhook.json")) as f:
            payload = json.load(f)
        status, _, answer = self.post("/v1/hooks/grafana/oncall", payload)
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["action"], answer["groupKey"]), ("called", "{}:{}"))
        (id,) = answer["requests"]
        self.assertIn(">Firing, 2 alerts. High memory usage. This alert was triggered for zone us-1. "
                      "High CPU usage. This alert was triggered for zone eu-1.</MessagePart>",
                      self.requests_in_inbox()[id])
        self.assertEqual(self.post("/v1/hooks/grafana/oncall", payload)[2]["action"], "already being called")
        # Grafana's and Alertmanager's groups are apart, even with one key.
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", alertmanager_payload(key="{}:{}"))[2]["action"],
                         "called")
        wrong = dict(payload, version="4")
        status, _, body = self.post("/v1/hooks/grafana/oncall", wrong)
        self.assertEqual((status, body["error"]), (400, "version must be \"1\" (Grafana's web hook contact point "
                                                        "payload), not \"4\""))

    def test_labels_cannot_inject_markup_or_responses(self):
        self.start_with(ROUTES)
        evil = '</MessagePart></Message><Response Button="9"><Message><MessagePart Type="FileName">/etc/passwd'
        status, _, answer = self.post("/v1/hooks/alertmanager/db", alertmanager_payload(
            key="evil", alertname=evil, instance="db1\n<!--"))
        self.assertEqual(status, 200, answer)
        request = ElementTree.fromstring(self.requests_in_inbox()[answer["requests"][0]])
        ns = "{urn:schemas-microsoft-com:xml-data}"
        parts = [part.text for part in request.iter(ns + "MessagePart")]
        self.assertEqual(parts, ["Database firing: %s on db1 <!--. The disk of db1 is full. Press 1." % evil,
                                 "Acknowledged."])
        self.assertEqual([r.get("Button") for r in request.iter(ns + "Response")], ["1"])

    def test_refusals_name_the_reason(self):
        self.start_with(ROUTES)
        payload = alertmanager_payload()
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", payload, token="")[0], 401)
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", payload, token="rw_wrong")[0], 401)
        status, _, body = self.post("/v1/hooks/alertmanager/oncall", payload, token=tokens()["reader"])
        self.assertEqual((status, body["error"]), (403, 'the token reader lacks the scope "submit"'))
        status, _, body = self.post("/v1/hooks/alertmanager/nowhere", payload)
        self.assertEqual((status, body["error"]), (404, 'there is no alert route "nowhere"'))
        for broken, reason in (("{", "the payload is not JSON: "),
                               (dict(payload, version="3"), 'version must be "4" (Alertmanager'),
                               (dict(payload, alerts=[]), "alerts: the list is empty"),
                               (dict(payload, status="pending"), 'status: must be "firing" or "resolved"'),
                               ({k: v for k, v in payload.items() if k != "groupKey"}, "groupKey: missing")):
            status, _, body = self.post("/v1/hooks/alertmanager/oncall", broken,
                                        headers={"Content-Type": "application/json"})
            self.assertEqual(status, 400, broken)
            self.assertTrue(body["error"].startswith(reason), body)
        self.assertEqual(self.post("/v1/hooks/alertmanager/oncall", "x", headers={"Content-Type": "text/plain"})[0],
                         415)
        self.assertEqual(self.inbox(), [])
        self.assertEqual(self.api.request("GET", "/v1/hooks/alertmanager/oncall")[0], 405)

    def test_routes_that_cannot_work_are_refused_at_start(self):
        self.inst.stop()
        path = os.path.join(self.inst.dir, "alert-routes.toml")
        for text, message in (('[routes.a]\nnumbers = ["555-CALL-NOW"]\n', "[routes.a] request description: "
                               "recipients[0]: \"555-CALL-NOW\" is not a dialable number"),
                              ('[routes.a]\nnumbers = ["1"]\nrings = "many"\n', "rings: must be a whole number"),
                              ('[routes.a]\nnumbers = ["1"]\nsay = "{labels.x"\n', "say: a { without its }"),
                              ('[routes.a]\nnumbers = ["1"]\n[routes.a.webhook]\nkey = "monitor/id"\n',
                               "[routes.a.webhook] key: must be a JSON pointer"),
                              ('[routes.a]\nnumbers = ["1"]\n[routes.a.webhook]\nkey = "/a"\ntext = "/~2"\n',
                               "[routes.a.webhook] text: must be a JSON pointer"),
                              ('[routes.a]\nnumbers = ["1"]\n[routes.a.webhook]\nkey = "/a"\nresolved = "/s"\n',
                               "[routes.a.webhook]: resolved and resolvedWhen go together"),
                              ('[routes.a]\nnumbers = ["1"]\n[routes.a.webhook]\ntext = "/a"\n',
                               "[routes.a.webhook]: needs key")):
            with open(path, "w") as f:
                f.write(text)
            code, out, err = self.inst.run(program("ringwell-api"), "--listen",
                                           "127.0.0.1:0", "--routes", path)
            self.assertEqual(code, 1, out + err)
            self.assertIn(message, err)
            if "webhook" in message:  # --check (and so ringwell-setup --check) names file, table and key
                code, out, err = self.inst.run(program("ringwell-api"), "--check", "--routes", path)
                self.assertEqual(code, 1, out + err)
                self.assertIn("%s: %s" % (path, message), out)
        code, out, err = self.inst.run(program("ringwell-api"), "--listen",
                                       "127.0.0.1:0", "--routes", path + ".missing")
        self.assertEqual(code, 1)
        self.assertIn(path + ".missing: cannot be read", err)
        self.inst.start()  # the default file may be missing: no routes


    def test_sighup_reads_the_routes_again_and_a_broken_file_keeps_the_old_ones(self):
        path = os.path.join(self.inst.dir, "alert-routes.toml")
        self.start_with(ROUTES)

        def fire(route, name):
            return self.post("/v1/hooks/alertmanager/" + route,
                             alertmanager_payload(key='{}:{alertname="%s"}' % name, alertname=name))

        def called(answer):
            (id,) = answer[2]["requests"]
            return re.findall(r"<Recipient [^>]*>([^<]*)<", self.requests_in_inbox()[id])

        def logged():
            return read_text(self.inst.event_log) if os.path.exists(self.inst.event_log) else ""

        def reload(text):
            with open(path, "w") as f:
                f.write(text)
            self.inst.process.send_signal(signal.SIGHUP)

        self.assertEqual(called(fire("oncall", "First")), ["5550001"])
        self.assertEqual(fire("web", "First")[0], 404)
        # Another number for a route, a new route, a route gone: the next
        # alert meets them without a restart.
        reload(ROUTES.replace('numbers = ["5550001"]', 'numbers = ["5550011"]')
               .replace("[routes.quiet]", "[routes.web]"))
        wait_for(lambda: fire("web", "Second")[0] == 200, what="the new route")
        self.assertEqual(called(fire("oncall", "Second")), ["5550011"])
        self.assertEqual(fire("quiet", "Second")[0], 404)
        self.assertEqual([r["name"] for r in self.api.request("GET", "/v1/hooks/routes")[2]["routes"]],
                         ["db", "oncall", "web"])
        # A mistake anywhere in the file: nothing of it is taken, the error
        # names the file, the table and the key, and the old routes serve on.
        for broken, error in (
                ('[routes.web]\nnumbers = ["5550005"]\nrings = "many"\n', "[routes.web] request description: rings"),
                ('[routes.web]\npolicy = "nosuch"\n', "[routes.web] policy: there is no [policies.nosuch]"),
                ('[routes.web]\nnumbers = ["5550005"]\nwindow = {stop = \n', "line 3")):
            reload(broken)
            wait_for(lambda: "%s: %s" % (path, error) in logged(), what=error)
            self.assertIn("the routes file was not reloaded", logged())
            self.assertEqual(called(fire("oncall", "After " + error)), ["5550011"])
            self.assertEqual(fire("web", "After " + error)[0], 200)
        self.assertEqual(fire("quiet", "Last")[0], 404)

if __name__ == "__main__":
    unittest.main()
