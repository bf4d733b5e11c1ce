"""Submitting, reading, listing and canceling requests over HTTP, with the
same checks, reports and listings as kel, tokens and their scopes, and
Idempotency-Key."""
import json
import os
import struct
import subprocess
import threading
import unittest
import urllib.parse
from xml.etree import ElementTree

from apitest import ApiTestCase, Client, program, tokens, wait_for

GOOD = {"recipients": ["5551234", {"number": "5559876"}], "window": {"stop": "+2h"},
        "message": ["The backup failed."]}


def without_times(report):
    """A report without what depends on the moment it was read (the time of a
    next attempt that is due now)."""
    for recipient in report["recipients"]:
        if recipient["nextAttempt"]:
            recipient["nextAttempt"]["time"] = None
    return report


class SubmitTest(ApiTestCase):
    API_VALUES = {"MaxBodyBytes": "4096"}

    def test_a_request_is_submitted_checked_and_refused_as_kel_submit_does(self):
        status, headers, body = self.api.request("POST", "/v1/requests", GOOD)
        self.assertEqual(status, 201, body)
        self.assertEqual(headers["location"], "/v1/requests/" + body["id"])
        self.assertEqual(self.inbox(), [body["id"] + ".xml"])
        with open(self.inst.root + "Inbox/" + body["id"] + ".xml") as f:
            self.assertIn("<Recipient", f.read())

        refused = [
            ({"recipients": ["5551234"], "message": ["hi"], "rings": -1}, 422, "rings"),
            ({"recipients": ["5551234"], "mesage": "hi"}, 422, "mesage"),
            ({"recipients": ["not a number!"], "message": ["hi"]}, 422, "recipients[0]"),
            ({"recipients": ["1"], "message": [{"play": "/etc/passwd"}]}, 422, "message[0].play"),
            ({"recipients": ["1"], "message": [{"play": "absent.wav"}]}, 422, "message[0].play"),
            ({"recipients": ["1"], "message": ["hi"], "statusCallback": "ftp://x"}, 422, "statusCallback"),
            # What cannot work: a voice espeak-ng does not have, a window already over.
            ({"recipients": ["1"], "message": [{"say": "hi", "voice": "Vulcan"}]}, 422,
             "message[0].voice"),
            ({"recipients": ["1"], "message": ["hi"],
              "window": {"start": "2020-01-01T08:00:00Z", "stop": "2020-01-01T09:00:00Z"}}, 422,
             "window.stop"),
        ]
        for description, code, field in refused:
            with self.subTest(description=description):
                status, _, answer = self.api.request("POST", "/v1/requests", description)
                self.assertEqual((status, answer.get("field")), (code, field), answer)
                if "play" not in json.dumps(description) and "statusCallback" not in description:
                    # The same reason kel submit gives for the same description.
                    path = os.path.join(self.inst.dir, "description.json")
                    with open(path, "w") as f:
                        json.dump(description, f)
                    code, _, err = self.inst.kel("submit", path)
                    self.assertEqual(err, "kel: " + answer["error"] + "\n")
        status, _, answer = self.api.request("POST", "/v1/requests", '{"recipients": [',
                                             headers={"Content-Type": "application/json"})
        self.assertEqual(status, 400)
        self.assertIn("not JSON", answer["error"])
        deep = "[" * 100000 + "]" * 100000
        status, _, answer = self.api.request("POST", "/v1/requests", deep)
        self.assertEqual(status, 413)  # over MaxBodyBytes before it is even parsed
        status, _, answer = self.api.request("POST", "/v1/requests", "[" * 2000 + "]" * 2000,
                                             headers={"Content-Type": "application/json"})
        self.assertEqual((status, answer["error"]), (400, "request body: JSON nested deeper than 150 levels"))
        status, _, answer = self.api.request("POST", "/v1/requests", "{}", headers={"Content-Type": "text/plain"})
        self.assertEqual(status, 415)
        # Nothing of the refused ones was written.
        self.assertEqual(len(self.inbox()), 1)

    def test_a_reader_of_inbox_finds_only_whole_submissions(self):
        """The daemon polls Inbox while clients submit over HTTP: a reader
        doing the same meanwhile must parse every request file it finds."""
        inbox = self.inst.root + "Inbox/"
        parsed, broken, stop = [0], [], threading.Event()

        def read():
            while not stop.is_set():
                for name in os.listdir(inbox):
                    if name.startswith(".") or not name.endswith(".xml"):
                        continue
                    try:
                        with open(inbox + name, "rb") as f:
                            data = f.read()
                    except FileNotFoundError:
                        continue  # renamed or removed whole
                    try:
                        ElementTree.fromstring(data)
                        parsed[0] += 1
                    except ElementTree.ParseError as e:
                        broken.append("%s: %s (%d bytes)" % (name, e, len(data)))

        reader = threading.Thread(target=read)
        reader.start()
        try:
            ids = [self.api.submit(GOOD) for _ in range(10)]
            wait_for(lambda: parsed[0] >= 10, what="the reader to parse the submissions")
        finally:
            stop.set()
            reader.join()
        self.assertEqual(broken, [])
        self.assertEqual(self.inbox(), sorted(i + ".xml" for i in ids))

    def test_tokens_and_scopes(self):
        status, headers, _ = self.api.request("GET", "/v1/requests", token="")
        self.assertEqual(status, 401)
        self.assertEqual(headers["www-authenticate"], 'Bearer realm="ringwell"')
        right = tokens()["all"]
        altered = right[:-1] + ("B" if right.endswith("A") else "A")
        for wrong in ("rw_AAAAAAAA_" + "x" * 43, altered, "nonsense"):
            self.assertEqual(self.api.request("GET", "/v1/requests", token=wrong)[0], 401, wrong)
        reader = Client(self.inst, tokens()["reader"])
        status, _, body = reader.request("POST", "/v1/requests", GOOD)
        self.assertEqual((status, body["error"]), (403, 'the token reader lacks the scope "submit"'))
        self.assertEqual(reader.request("GET", "/v1/requests")[0], 200)
        submitter = Client(self.inst, tokens()["submitter"])
        self.assertEqual(submitter.request("DELETE", "/v1/requests/x")[0], 403)
        self.assertEqual(self.inbox(), [])
        # Health needs no token; unknown paths and methods are told apart.
        self.assertEqual(Client(self.inst).request("GET", "/healthz")[0], 200)
        self.assertEqual(self.api.request("GET", "/v2/requests")[0], 404)
        status, headers, _ = self.api.request("PUT", "/v1/requests")
        self.assertEqual((status, headers["allow"]), (405, "POST, GET"))
        # A token made while the daemon runs works at once, although the
        # daemon looked at the token file a moment ago.
        env = dict(os.environ, RINGWELL_REGISTRY=os.path.join(self.inst.dir, "none.toml"), RINGWELL_JOURNAL="0")
        made = subprocess.run([program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add", "fresh",
                               "--scope", "read"], env=env, check=True, capture_output=True, text=True)
        self.assertEqual(Client(self.inst, made.stdout.strip()).request("GET", "/v1/requests")[0], 200)

    def test_a_retried_post_with_an_idempotency_key_gets_the_first_answer(self):
        key = {"Idempotency-Key": "order-4711"}
        status, _, first = self.api.request("POST", "/v1/requests", GOOD, headers=key)
        self.assertEqual(status, 201)
        status, headers, again = self.api.request("POST", "/v1/requests", GOOD, headers=key)
        self.assertEqual((status, again, headers.get("idempotent-replayed")), (201, first, "true"))
        self.assertEqual(self.inbox(), [first["id"] + ".xml"])
        other = dict(GOOD, message=["Something else."])
        self.assertEqual(self.api.request("POST", "/v1/requests", other, headers=key)[0], 422)
        # Another token's key of the same text is another key.
        status, _, theirs = Client(self.inst, tokens()["submitter"]).request("POST", "/v1/requests", GOOD,
                                                                               headers=key)
        self.assertNotEqual(theirs["id"], first["id"])
        # The key outlives a restart.
        self.inst.stop()
        self.inst.start()
        status, _, again = self.api.request("POST", "/v1/requests", GOOD, headers=key)
        self.assertEqual((status, again["id"]), (201, first["id"]))
        self.assertEqual(len(self.inbox()), 2)


class ReportTest(ApiTestCase):
    def test_reports_are_what_kel_report_prints_and_cancel_follows_the_rules(self):
        id = self.api.submit(GOOD)
        status, _, waiting = self.api.request("GET", "/v1/requests/" + id)
        self.assertEqual((status, waiting["status"], waiting["cause"]),
                         (200, "", "waiting in Inbox: the daemon has not taken it up yet"))
        # Not yet taken up by the daemon: withdrawn, and nothing of it is left.
        status, _, body = self.api.request("DELETE", "/v1/requests/" + id)
        self.assertEqual((status, body["status"]), (200, "Canceled"))
        self.assertIn("nobody was called", body["cause"])
        self.assertNotIn(id + ".xml", self.inbox())
        self.assertEqual(self.api.request("GET", "/v1/requests/" + id)[0], 404)

        id = self.api.submit(GOOD)
        self.inst.schedule(id)
        self.inst.write_report(id, "InProgress", [
            ("5551234", "Completed", [{"Answer": "Answered", "Protocol": "Played greeting\nPressed 1"}]),
            ("5559876", "Scheduled", [{"Answer": "Busy", "Status": "Busy", "Duration": 0}])])
        # Braces and letter case are up to the client.
        bare = id[1:-1].lower()
        status, _, report = self.api.request("GET", "/v1/requests/" + bare)
        self.assertEqual(status, 200)
        code, printed, err = self.inst.kel("report", "--json", id)
        self.assertEqual(code, 0, err)
        self.assertEqual(without_times(report), without_times(json.loads(printed)))
        # Whom it reached so far, beside the status word.
        self.assertEqual(report["delivery"], {"reached": 1, "failed": 0, "pending": 1, "total": 2})
        self.assertEqual(report["outcome"], "delivered to 1 of 2; 1 pending")
        self.assertIsNone(waiting["outcome"])
        def listed():
            page = self.api.request("GET", "/v1/requests?limit=1000")[2]
            return next(r for r in page["requests"] if r["id"] == id)
        # The index follows the reports through inotify: a moment after they are written.
        wait_for(lambda: listed()["outcome"] == "delivered to 1 of 2; 1 pending",
                 what="the listing to see the report")
        self.assertEqual((listed()["recipients"]["reached"], listed()["recipients"]["pending"]), (1, 1))

        status, _, canceled = self.api.request("DELETE", "/v1/requests/" + bare)
        self.assertEqual((status, canceled["status"]), (200, "Canceled"))
        self.assertEqual([r["status"] for r in canceled["recipients"]], ["Completed", "Canceled"])
        status, _, body = self.api.request("DELETE", "/v1/requests/" + id)
        self.assertEqual((status, body["error"]), (409, id + " has already finished (Canceled)"))

        # A request that said "Completed" while its file was still there.
        other = self.api.submit(GOOD)
        self.inst.schedule(other)
        self.inst.write_report(other, "Completed", [("5551234", "Completed", [{}]), ("5559876", "Failed", [])])
        status, _, body = self.api.request("DELETE", "/v1/requests/" + other)
        self.assertEqual((status, body["report"]["status"]), (409, "Completed"))
        self.assertEqual(body["report"]["outcome"], "delivered to 1 of 2: window ended before any call")
        self.assertTrue(os.path.exists(self.inst.root + "Requests/" + other + ".xml"))

        for unknown in ("{00000000-0000-0000-0000-000000000000}", "not-an-id", "..%2FInbox"):
            self.assertEqual(self.api.request("GET", "/v1/requests/" + unknown)[0], 404, unknown)
            self.assertEqual(self.api.request("DELETE", "/v1/requests/" + unknown)[0], 404, unknown)


class CraftedInputTest(ApiTestCase):
    """What a crafted request, recording or report gets: a refusal naming the
    field, never a crash, a truncated text or a path of the server."""

    def test_attributes_nul_recordings_names_and_linked_reports(self):
        refused = [
            ({"recipients": ["1"], "message": ["hi"], "attributes": {"UserID": ".."}}, "attributes.UserID"),
            ({"recipients": ["1"], "message": ["hi"], "attributes": {"Type": "Page"}}, "attributes.Type"),
            ({"recipients": ["1"], "message": ["hi"], "attributes": {"xmlns": "urn:x"}}, "attributes.xmlns"),
            ({"recipients": ["1"], "message": ["a\u0000b"]}, "message[0]"),
        ]
        for description, field in refused:
            with self.subTest(field=field):
                status, _, answer = self.api.request("POST", "/v1/requests", description)
                self.assertEqual((status, answer.get("field")), (422, field), answer)
        self.assertEqual(self.inbox(), [])

        # IEEE float, 15 channels, 17,536 Hz, a block align of 2 bytes: it
        # crashed the converter; now it is refused before it is stored.
        data = struct.pack("<f", 3.0e38) * 60
        crafted = (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                   struct.pack("<IHHIIHH", 16, 3, 15, 17536, 17536 * 2, 2, 32) +
                   b"data" + struct.pack("<I", len(data)) + data)
        silence = (b"RIFF" + struct.pack("<I", 36 + 1600) + b"WAVEfmt " +
                   struct.pack("<IHHIIHH", 16, 1, 1, 8000, 16000, 2, 16) + b"data" +
                   struct.pack("<I", 1600) + b"\0" * 1600)
        for name, body, error in [
                ("crafted.wav", crafted, "crafted.wav cannot be converted for the lines: The file states a block "
                                         "align of 2 bytes, but a frame of 15 channels of 32-bit samples takes 60 "
                                         "bytes."),
                ("<img src=x onerror=alert(1)>.wav", silence, '"<img src=x onerror=alert(1)>.wav" is not a name for '
                                                              "a stored file")]:
            with self.subTest(name=name):
                status, _, answer = self.api.request("POST", "/v1/files?name=" + urllib.parse.quote(name), body,
                                                     headers={"Content-Type": "audio/wav"})
                self.assertEqual(status, 422, answer)
                self.assertTrue(answer["error"].startswith(error), answer)
        self.assertEqual(os.listdir(self.inst.root + "Files/{0}"), [])

        # A report replaced by a symbolic link is never followed, and the
        # answer names no path.
        id = self.api.submit(GOOD)
        self.inst.schedule(id)
        report = self.inst.root + "Reports/" + id + ".xml"
        os.remove(report)
        os.symlink("/etc/passwd", report)
        for method, code in (("GET", 404), ("DELETE", 409)):
            status, _, answer = self.api.request(method, "/v1/requests/" + id)
            self.assertEqual(status, code, answer)
            self.assertNotIn(self.inst.root, json.dumps(answer))
        self.assertTrue(os.path.islink(report))


class ListTest(ApiTestCase):
    def test_pages_by_cursor_newest_first_with_filters_as_kel_ls(self):
        for i in range(30):
            id = "{%08d-0000-4000-8000-000000000000}" % i
            self.inst.write_report(id, ["Completed", "Scheduled", "Canceled"][i % 3],
                                   [("555%04d" % i, "Completed", [])], kind="Page" if i % 5 == 0 else "Call",
                                   mtime=1_700_000_000 + i)
        waiting = self.api.submit(GOOD)
        # The index follows the reports through inotify: a moment after they are written.
        wait_for(lambda: len(self.api.request("GET", "/v1/requests?limit=1000")[2]["requests"]) == 31,
                 what="the index to see every report")
        seen, cursor, pages = [], None, 0
        while True:
            path = "/v1/requests?limit=7" + ("&cursor=" + cursor if cursor else "")
            status, _, page = self.api.request("GET", path)
            self.assertEqual(status, 200)
            seen += [r["id"] for r in page["requests"]]
            pages += 1
            cursor = page["next"]
            if cursor is None:
                break
        self.assertEqual(pages, 5)
        code, printed, _ = self.inst.kel("ls", "--json")
        self.assertEqual(seen, [r["id"] for r in json.loads(printed)])
        self.assertEqual(seen[0], waiting)
        self.assertEqual(seen[1], "{00000029-0000-4000-8000-000000000000}")

        status, _, page = self.api.request("GET", "/v1/requests?status=scheduled,Waiting&type=call&limit=3")
        self.assertEqual([r["id"] for r in page["requests"]],
                         [waiting, "{00000028-0000-4000-8000-000000000000}",
                          "{00000022-0000-4000-8000-000000000000}"])
        status, _, page = self.api.request("GET", "/v1/requests?type=page&status=Completed")
        self.assertEqual([r["id"] for r in page["requests"]],
                         ["{00000015-0000-4000-8000-000000000000}", "{00000000-0000-4000-8000-000000000000}"])
        # A report that changes comes first at once (the index follows inotify).
        self.inst.write_report("{00000003-0000-4000-8000-000000000000}", "Completed", [("1", "Completed", [])])
        first = lambda: self.api.request("GET", "/v1/requests?limit=1")[2]["requests"][0]["id"]
        wait_for(lambda: first() == "{00000003-0000-4000-8000-000000000000}",
                 what="the changed report to come first")
        for bad in ("status=Bogus", "limit=0", "limit=1001", "cursor=zz", "type=fax"):
            self.assertEqual(self.api.request("GET", "/v1/requests?" + bad)[0], 400, bad)


if __name__ == "__main__":
    unittest.main()
