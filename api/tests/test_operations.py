"""What an operator and a monitoring system meet: /healthz, /readyz with the
heartbeats of prepax and the host, /metrics checked by promtool, the rate
limit per token, the recording store, and HTTPS."""
import http.client
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import uuid

from apitest import ApiTestCase, Client, Installation, library, program, tokens, wait_for


def program_path():
    return program("ringwell-api")

WAV_HEADER_LENGTH = 44


def wav(seconds=0.1, rate=8000):
    """A 16-bit mono wav file of silence."""
    frames = int(seconds * rate)
    data = b"\x00\x00" * frames
    header = (b"RIFF" + (36 + len(data)).to_bytes(4, "little") + b"WAVEfmt " + (16).to_bytes(4, "little") +
              (1).to_bytes(2, "little") + (1).to_bytes(2, "little") + rate.to_bytes(4, "little") +
              (rate * 2).to_bytes(4, "little") + (2).to_bytes(2, "little") + (16).to_bytes(2, "little") +
              b"data" + len(data).to_bytes(4, "little"))
    return header + data


def root_identity(root):
    status = os.stat(root)
    return "%d:%d" % (status.st_dev, status.st_ino)


def heartbeat(inst, program, age=0, **extra):
    """A heartbeat file as prepax and the host write it, `age` seconds old."""
    millis = int((time.time() - age) * 1000)
    content = {"format": 1, "program": program, "version": "0.2.0", "pid": os.getpid(), "root": inst.root,
               "rootId": root_identity(inst.root), "state": "running", "started": "2026-12-07T09:00:00.000Z",
               "time": time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(millis / 1000)),
               "unixMillis": millis, "interval": 2}
    content.update(extra)
    with open(inst.root + "Status/" + program + ".json", "w") as f:
        json.dump(content, f)


HOST = {"lines": [{"line": 1, "kind": "sim", "busy": True, "simulated": True},
                  {"line": 2, "kind": "sim", "busy": False, "simulated": True},
                  {"line": 3, "kind": "sip", "busy": True},
                  {"line": 0, "kind": "pager", "busy": True, "simulated": True}],
        "pager": {"kind": "simulated", "line": 0},
        "sip": {"registration": "registered", "registrar": "sip:pbx.example", "detail": "200 OK"},
        "dueQueue": 4,
        "counters": {"calls": {"Completed": 7, "Busy": 2, "NoAnswer": 1, "Failed": 1},
                     "pages": {"Sent": 3, "Failed": 1}}}


class HealthTest(ApiTestCase):
    def test_ready_only_with_prepax_and_the_host_seen_working_on_this_root(self):
        anyone = Client(self.inst)
        self.assertEqual(anyone.request("GET", "/healthz")[:3:2], (200, {"status": "ok"}))
        status, _, body = anyone.request("GET", "/readyz")
        self.assertEqual((status, body["ready"]), (503, False))
        self.assertTrue(body["checks"]["storage"]["ok"])
        self.assertIn("prepax has never run on this root", body["checks"]["prepax"]["detail"])

        heartbeat(self.inst, "prepax")
        heartbeat(self.inst, "ringwell-host", **HOST)
        status, _, body = anyone.request("GET", "/readyz")
        self.assertEqual(status, 200, body)
        # What the host has, every simulated device said to be so, and when
        # it was seen (UTC, for the console to show in local time).
        host = body["checks"]["host"]
        self.assertIn("; 2 simulated lines, 1 SIP line, simulated pager (pages are not sent)", host["detail"])
        self.assertIn(host["time"], host["detail"])
        heartbeat(self.inst, "ringwell-host", age=95, **HOST)
        status, _, body = anyone.request("GET", "/readyz")
        self.assertEqual(status, 503)
        self.assertIn("ringwell-host last seen 95 s ago", body["checks"]["host"]["detail"])
        heartbeat(self.inst, "ringwell-host", state="stopped")
        self.assertIn("stopped at", anyone.request("GET", "/readyz")[2]["checks"]["host"]["detail"])
        heartbeat(self.inst, "ringwell-host", rootId="1:2")
        self.assertIn("another storage root", anyone.request("GET", "/readyz")[2]["checks"]["host"]["detail"])

    def test_a_page_is_refused_when_the_host_has_no_pager(self):
        page = {"type": "page", "recipients": ["5559876"], "message": ["The backup failed."]}
        # A host seen working without a pager: the page could never be sent.
        heartbeat(self.inst, "ringwell-host", lines=[{"line": 1, "kind": "sip", "busy": False}],
                  pager={"kind": "none"})
        status, _, body = self.api.request("POST", "/v1/requests", page)
        self.assertEqual(status, 422, body)
        self.assertEqual(body["field"], "type")
        self.assertTrue(body["error"].startswith("no pager is configured: the telephony host"), body)
        self.assertIn("--pager-config", body["error"])
        # kel submit refuses it the same way.
        code, out, err = self.inst.kel("submit", "--page", "--to", "5559876", "--say", "The backup failed.")
        self.assertNotEqual(code, 0, out)
        self.assertIn("no pager is configured: the telephony host", err)
        self.assertEqual(self.inbox(), [])
        status, _, body = Client(self.inst).request("GET", "/readyz")
        self.assertIn("no pager (pages fail: no pager is configured)", body["checks"]["host"]["detail"])
        # Calls go on; a host with a pager, or none seen at all, takes pages.
        self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        heartbeat(self.inst, "ringwell-host", pager={"kind": "real", "line": 0})
        self.api.submit(page)
        heartbeat(self.inst, "ringwell-host", state="stopped", pager={"kind": "none"})
        self.api.submit(page)

    def test_metrics_pass_promtool_and_tell_the_installation(self):
        heartbeat(self.inst, "prepax")
        heartbeat(self.inst, "ringwell-host", **HOST)
        self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.inst.write_report("{00000001-0000-4000-8000-000000000000}", "Completed", [("1", "Completed", [])])
        self.api.request("GET", "/v1/requests/nothing")
        # Requests are counted as the API sees their files change.
        scrape = lambda: Client(self.inst).request("GET", "/metrics")
        status, headers, text = wait_for(
            lambda: (lambda answer: answer if 'ringwell_requests{status="Completed"} 1\n' in answer[2] and
                     'ringwell_requests{status="Waiting"} 1\n' in answer[2] else None)(scrape()),
            what="both requests counted")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/plain; version=0.0.4"))
        checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr + text)
        for sample in ('ringwell_lines{state="busy"} 2', 'ringwell_lines{state="idle"} 1',
                       "ringwell_due_queue_length 4", 'ringwell_calls_total{result="Completed"} 7',
                       'ringwell_pages_total{result="Failed"} 1', 'ringwell_component_up{component="prepax"} 1',
                       'ringwell_requests{status="Waiting"} 1', 'ringwell_requests{status="Completed"} 1',
                       "ringwell_inbox_backlog 1", "ringwell_sip_registered 1",
                       'ringwell_api_requests_total{route="/v1/requests/{id}",method="GET",code="404"} 1',
                       'ringwell_api_request_duration_seconds_count{route="/v1/requests",method="POST"} 1'):
            self.assertIn(sample + "\n", text)


class MetricsTokenTest(ApiTestCase):
    API_VALUES = {"MetricsNeedToken": "1", "RateLimit": "1", "RateBurst": "3"}

    def test_metrics_token_and_the_rate_limit_per_token(self):
        self.assertEqual(Client(self.inst).request("GET", "/metrics")[0], 401)
        submitter = Client(self.inst, tokens()["submitter"])
        self.assertEqual(submitter.request("GET", "/metrics")[0], 403)
        reader = Client(self.inst, tokens()["reader"])
        codes = [reader.request("GET", "/v1/requests")[0] for _ in range(5)]
        self.assertEqual(codes[:2], [200, 200])  # the metrics call above took one
        self.assertEqual(codes[-1], 429)
        status, headers, body = reader.request("GET", "/v1/requests")
        self.assertEqual((status, headers["retry-after"]), (429, "1"))
        self.assertEqual(body["error"], "too many requests with the token reader")
        # Another token has a bucket of its own.
        self.assertEqual(self.api.request("GET", "/v1/requests")[0], 200)


def read_log(inst):
    try:
        with open(inst.event_log) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def report_id(i):
    return "{%08X-0000-4000-8000-%012X}" % (i, i)


class RequestCountTest(ApiTestCase):
    """/metrics tells the requests by status from what the API keeps in
    memory: counted once at start, then kept up to date from the changes it
    follows; a scrape reads no report."""

    STATUSES = ["Completed", "Scheduled", "InProgress", "Canceled"]

    def counts(self):
        status, _, text = Client(self.inst).request("GET", "/metrics")
        self.assertEqual(status, 200)
        return {m.group(1): int(m.group(2)) for m in
                re.finditer(r'^ringwell_requests\{status="([^"]*)"\} (\d+)$', text, re.M) if int(m.group(2))}

    def wait_counts(self, expected):
        last = {}

        def right():
            last["counts"] = self.counts()
            return last["counts"] == expected
        try:
            wait_for(right, what="the counts %r" % expected)
        except AssertionError:
            raise AssertionError("counts %r, expected %r" % (last.get("counts"), expected))

    def journal_says(self, id, status):
        try:
            with open(self.inst.root + "Events/" + id + ".jsonl") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return False
        return bool(lines) and json.loads(lines[-1])["requestStatus"] == status

    def test_counted_at_start_then_kept_up_to_date_without_reading_reports(self):
        # 500 reports there before the API starts: counted in pages.
        self.inst.stop()
        for i in range(500):
            self.inst.write_report(report_id(i), self.STATUSES[i % 4], [("5550001", "Completed", [])])
        self.inst.start()
        self.wait_counts({"Completed": 125, "Scheduled": 125, "InProgress": 125, "Canceled": 125})

        # Submitted (waiting in Inbox), taken up, canceled; a report removed.
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.wait_counts({"Completed": 125, "Scheduled": 125, "InProgress": 125, "Canceled": 125, "Waiting": 1})
        self.inst.schedule(id)
        self.wait_counts({"Completed": 125, "Scheduled": 126, "InProgress": 125, "Canceled": 125})
        status, _, body = self.api.request("DELETE", "/v1/requests/" + id)
        self.assertEqual((status, body["status"]), (200, "Canceled"))
        os.remove(self.inst.root + "Reports/" + report_id(0) + ".xml")
        self.wait_counts({"Completed": 124, "Scheduled": 125, "InProgress": 125, "Canceled": 126})

        # The InProgress ones complete; once the API has seen each change (its
        # event journal says so), their reports are emptied in place and held
        # open, as a writer in the middle of a save would: a scrape still
        # tells their last status, since it reads no report.
        changed = [report_id(i) for i in range(2, 500, 4)]
        for changed_id in changed:
            self.inst.write_report(changed_id, "Completed", [("5550001", "Completed", [])])
        for changed_id in changed:
            wait_for(lambda: self.journal_says(changed_id, "Completed"), what="the change of " + changed_id)
        emptied = changed[:10]
        held = [open(self.inst.root + "Reports/" + changed_id + ".xml", "r+") for changed_id in emptied]
        try:
            for f in held:
                f.truncate(0)
            self.assertEqual(self.counts(), {"Completed": 249, "Scheduled": 125, "Canceled": 126})
        finally:
            for f in held:
                f.close()
        # Once saved that way, a report that cannot be read keeps the status
        # last read from it.
        wait_for(lambda: all("cannot read the report of " + changed_id in read_log(self.inst)
                             for changed_id in emptied), what="the empty reports read")
        self.assertEqual(self.counts(), {"Completed": 249, "Scheduled": 125, "Canceled": 126})

        # A restart counts the same from the files.
        self.inst.stop()
        for changed_id in emptied:
            self.inst.write_report(changed_id, "Completed", [("5550001", "Completed", [])])
        self.inst.start()
        self.wait_counts({"Completed": 249, "Scheduled": 125, "Canceled": 126})


class FilesTest(ApiTestCase):
    API_VALUES = {"MaxUploadBytes": "65536"}

    def test_recordings_are_stored_checked_and_played(self):
        status, headers, body = self.api.request("POST", "/v1/files?name=Greeting.WAV", wav(),
                                                 headers={"Content-Type": "audio/wav"})
        self.assertEqual((status, body["name"], body["size"]), (201, "Greeting.WAV", len(wav())))
        with open(self.inst.root + "Files/{0}/Greeting.WAV", "rb") as f:
            self.assertEqual(f.read(), wav())
        status, _, body = self.api.request("POST", "/v1/files?name=Greeting.WAV", wav(0.2),
                                           headers={"Content-Type": "audio/wav"})
        self.assertEqual(status, 409)
        status, _, body = self.api.request("POST", "/v1/files?name=Greeting.WAV&overwrite=true", wav(0.2),
                                           headers={"Content-Type": "audio/wav"})
        self.assertEqual((status, body["size"]), (201, len(wav(0.2))))
        boundary = uuid.uuid4().hex
        form = (b"--" + boundary.encode() + b'\r\nContent-Disposition: form-data; name="file"; filename="chime.wav"'
                b"\r\nContent-Type: audio/wav\r\n\r\n" + wav() + b"\r\n--" + boundary.encode() + b"--\r\n")
        status, _, body = self.api.request("POST", "/v1/files", form,
                                           headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
        self.assertEqual((status, body["name"]), (201, "chime.wav"))

        refused = [("?name=text.wav", b"just some text", "audio/wav", 422,
                    "text.wav is not a wav file: Format not recognised."),
                   ("?name=../x.wav", wav(), "audio/wav", 422, None), ("?name=x.mp3", wav(), "audio/wav", 422, None),
                   ("", wav(), "audio/wav", 422, None), ("?name=big.wav", wav(10), "audio/wav", 413, None),
                   ("?name=x.wav", wav(), "text/plain", 415, None)]
        for query, data, kind, code, message in refused:
            with self.subTest(query=query, kind=kind):
                status, _, body = self.api.request("POST", "/v1/files" + query, data,
                                                   headers={"Content-Type": kind})
                self.assertEqual(status, code, body)
                if message:
                    self.assertEqual(body["error"], message)
        # The same reason as kel files add, for the same content.
        with open(os.path.join(self.inst.dir, "text.wav"), "wb") as f:
            f.write(b"just some text")
        code, _, err = self.inst.kel("files", "add", os.path.join(self.inst.dir, "text.wav"))
        self.assertIn("is not a wav file: Format not recognised.", err)

        status, _, listing = self.api.request("GET", "/v1/files")
        self.assertEqual(sorted(f["name"] for f in listing["files"]), ["Greeting.WAV", "chime.wav"])
        code, printed, _ = self.inst.kel("files", "ls")
        self.assertEqual(len(printed.splitlines()), 2)
        id = self.api.submit({"recipients": ["1"], "message": [{"play": "chime.wav"}]})
        with open(self.inst.root + "Inbox/" + id + ".xml") as f:
            self.assertIn(">chime.wav<", f.read())
        self.assertEqual(self.api.request("DELETE", "/v1/files/chime.wav")[0], 200)
        self.assertEqual(self.api.request("DELETE", "/v1/files/chime.wav")[0], 404)
        self.assertFalse(os.path.exists(self.inst.root + "Files/{0}/chime.wav"))


class SelfCheckTest(ApiTestCase):
    def test_check_names_what_is_wrong_with_the_api_and_how_to_fix_it(self):
        here = "127.0.0.1:%d" % self.inst.port
        code, out, _ = self.inst.run(program_path(), "--check", "--listen", here)
        # On success it tells what it checked, each found well.
        self.assertEqual(code, 0, out)
        lines = out.splitlines()
        self.assertTrue(all(line.startswith("ok: ") for line in lines), out)
        self.assertIn("ok: the token file %s (3 tokens)" % self.inst.token_file, lines)
        self.assertIn("ok: ringwell-api answers on " + here, lines)
        self.assertTrue(any(line.startswith("ok: the web console in /") for line in lines), out)
        self.assertEqual(lines[-1], "ok: no problems found")
        # A console, a token file and a callback secret that cannot be had,
        # each with its fix and in plain words.
        missing = os.path.join(self.inst.dir, "gone")
        code, out, _ = self.inst.run(program_path(), "--check", "--listen", here, "--console", missing,
                                     "--tokens", os.path.join(missing, "tokens.json"))
        self.assertEqual(code, 1, out)
        self.assertIn("problem: the web console is missing: %s/index.html is not there; to fix: install the "
                      "package's console files there, or give --console DIR" % missing, out)
        self.assertIn("problem: the token file's folder %s does not exist: no token can be made or read; "
                      "to fix: make that folder (the package makes /var/lib/ringwell), give --root DIR" % missing, out)
        self.assertNotIn("ok: ", out)
        with open(self.inst.registry) as f:
            kept = f.read()
        with open(self.inst.registry, "w") as f:
            f.write(re.sub(r'CallbackSecretFile = "[^"]*"', 'CallbackSecretFile = "%s/callback.key"' % missing, kept))
        code, out, _ = self.inst.run(program_path(), "--check", "--listen", here)
        self.assertIn("problem: the callback secret's folder %s does not exist: the callback secret cannot be "
                      "made; to fix:" % missing, out)
        code, _, err = self.inst.run(program_path(), "--tokens", os.path.join(missing, "tokens.json"),
                                     "token", "add", "me", "--scope", "read")
        self.assertEqual(code, 1)
        self.assertIn("ringwell-api: the token file's folder %s does not exist; to fix: " % missing, err)
        self.assertNotIn("The system cannot find", err)
        with open(self.inst.registry, "w") as f:
            f.write(kept)
        os.chmod(self.inst.token_file, 0o644)
        routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write('[routes.a]\nnumbers = ["1"]\nresolved = "later"\n')
        with open(self.inst.registry, "a") as f:
            f.write('TlsCertificate = "/nowhere/cert.pem"\nAlertRoutes = "%s"\n' % routes)
        code, out, _ = self.inst.run(program_path(), "--check", "--listen", here, "--listen", "127.0.0.1:1")
        self.assertEqual(code, 1)
        lines = out.splitlines()
        self.assertEqual(lines[0], "problem: the API's token file: %s may be read by others than its owner "
                                   "(mode 644); chmod 600 %s; to fix: chmod 600 %s and chown it to the user that runs ringwell-api"
                         % ((self.inst.token_file,) * 3))
        self.assertIn("problem: the API has only one of TlsCertificate and TlsKey", out)
        self.assertIn('problem: the alert routes: %s: [routes.a] resolved: must be "say", "cancel" or "ignore"; '
                      "to fix: correct the file" % routes, out)
        self.assertIn("problem: ringwell-api is not listening on 127.0.0.1:1; to fix: systemctl enable --now "
                      "ringwell-api", out)
        self.assertNotIn("listening on " + here, out)
        os.chmod(self.inst.token_file, 0o600)


class BuildTreeTest(unittest.TestCase):
    def test_with_root_the_tokens_and_the_callback_secret_are_kept_in_it(self):
        """From a build tree: no TokenFile or CallbackSecretFile, a root of
        one's own; the README's token add and start work as written."""
        work = tempfile.mkdtemp(prefix="ringwell-api-root-")
        self.addCleanup(shutil.rmtree, work, True)
        root = os.path.join(work, "spool") + "/"
        for sub in ("Inbox", "Requests", "Reports", "Files/{0}"):
            os.makedirs(root + sub)
        registry = os.path.join(work, "registry.toml")
        with open(registry, "w") as f:
            f.write('[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nRootDir = "%s"\nAudioFormat = 49\n' % root)
        env = dict(os.environ, RINGWELL_REGISTRY=registry, RINGWELL_EVENTLOG=os.path.join(work, "events.jsonl"),
                   RINGWELL_JOURNAL="0")
        subprocess.run([program("ringwell-regsvr"), library("kel"), library("tallier")], env=env, check=True,
                       capture_output=True)
        made = subprocess.run([program_path(), "--root", root, "token", "add", "me", "--scope", "read"],
                              env=env, capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(oct(os.stat(root + "api-tokens.json").st_mode & 0o777), "0o600")
        api = subprocess.Popen([program_path(), "--root", root, "--listen", "127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(api.wait)
        self.addCleanup(api.terminate)
        port = None
        for line in api.stdout:
            match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            port = int(match.group(1)) if match else port
            if "ringwell-api: ready" in line:
                break
        self.assertIsNotNone(port, api.stderr.read() if api.poll() is not None else "")
        self.assertTrue(os.path.exists(root + "api-callback.key"))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", "/v1/requests", headers={"Authorization": "Bearer " + made.stdout.strip()})
        listing = connection.getresponse()
        listing.read()
        self.assertEqual(listing.status, 200)
        # The build tree's console, served from the sources.
        connection.request("GET", "/")
        page = connection.getresponse()
        self.assertEqual(page.status, 200)
        self.assertIn(b"<title>Ringwell console</title>", page.read())


class ListenTest(unittest.TestCase):
    def test_a_taken_address_is_said_once_in_the_apis_own_words(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        self.addCleanup(taken.close)
        inst = Installation()
        self.addCleanup(inst.remove)
        done = subprocess.run([program("ringwell-api"), "--listen", "127.0.0.1:%d" % taken.getsockname()[1]],
                              env=inst.env, capture_output=True, text=True, timeout=60)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("cannot listen on 127.0.0.1:%d: Address already in use" % taken.getsockname()[1],
                      done.stderr + done.stdout)
        # The library's own words ("Failed to bind to port ...") are not printed before it.
        self.assertNotIn("Failed to bind", done.stderr + done.stdout)


class TlsTest(unittest.TestCase):
    def test_https_with_a_certificate(self):
        inst = Installation()
        self.addCleanup(inst.remove)
        key, cert = os.path.join(inst.dir, "key.pem"), os.path.join(inst.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        inst.start("--tls-cert", cert, "--tls-key", key)
        context = ssl.create_default_context(cafile=cert)
        client = Client(inst, tokens()["reader"], scheme="https", context=context)
        self.assertEqual(client.request("GET", "/v1/requests")[0], 200)
        self.assertIn("listening on https://127.0.0.1:", inst.log())
        inst.stop()


if __name__ == "__main__":
    unittest.main()
