"""The harness of ringwell-api's tests: a whole installation in a temporary
directory (storage root, registry with the toolkit and the report generator
registered, tokens), the real daemon started on a free loopback port, and
requests sent to it over real sockets with http.client. Every JSON answer is
checked against the OpenAPI document the daemon serves.

Reports are written the way the report generator writes them (a complete
file renamed into Reports/), so the daemon sees the same inotify events.

The build tree comes from $RINGWELL_BUILD_DIR.
"""
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import jsonschema

BUILD = os.environ.get("RINGWELL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/release"))
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))


def program(name):
    return os.path.join(BUILD, "bin", name)


def read_text(path):
    with open(path) as f:
        return f.read()


def library(name):
    return os.path.join(BUILD, "lib", "lib%s.so" % name)


def wait_for(condition, timeout=30.0, what="the condition"):
    """Waits until condition() gives something true; returns it."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


_TOKENS = {}


def tokens():
    """Tokens made once per test process: name -> (token text, token file)."""
    if not _TOKENS:
        directory = tempfile.mkdtemp(prefix="ringwell-api-tokens-")
        path = os.path.join(directory, "tokens.json")
        env = dict(os.environ, RINGWELL_REGISTRY=os.path.join(directory, "none.toml"), RINGWELL_JOURNAL="0")
        for name, scopes in (("all", "submit,read,cancel"), ("reader", "read"), ("submitter", "submit")):
            out = subprocess.run([program("ringwell-api"), "--tokens", path, "token", "add", name,
                                  "--scope", scopes], env=env, check=True, capture_output=True, text=True)
            _TOKENS[name] = out.stdout.strip()
        _TOKENS["file"] = path
    return _TOKENS


class Installation:
    """A storage root, a registry and the daemon."""

    def __init__(self, api_values=None):
        self.dir = tempfile.mkdtemp(prefix="ringwell-api-test-")
        self.root = os.path.join(self.dir, "root") + "/"
        for sub in ("Inbox", "Requests", "Reports", "Files/{0}", "Status", "Events"):
            os.makedirs(self.root + sub)
        self.registry = os.path.join(self.dir, "registry.toml")
        self.event_log = os.path.join(self.dir, "events.jsonl")
        self.token_file = os.path.join(self.dir, "tokens.json")
        shutil.copy(tokens()["file"], self.token_file)
        os.chmod(self.token_file, 0o600)
        values = {"TokenFile": self.token_file, "CallbackSecretFile": os.path.join(self.dir, "callback.key"),
                  "CallbackRetryMillis": "50", "CallbackTimeout": "5", "CallbackAllowPrivate": "1"}
        values.update(api_values or {})
        with open(self.registry, "w") as f:
            f.write('[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nRootDir = "%s"\nAudioFormat = 49\n'
                    % self.root)
            f.write("[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell.Api]\n")
            for key, value in values.items():
                f.write('%s = "%s"\n' % (key, value))
        self.env = dict(os.environ, RINGWELL_REGISTRY=self.registry, RINGWELL_EVENTLOG=self.event_log,
                        RINGWELL_JOURNAL="0", TZ="UTC")
        subprocess.run([program("ringwell-regsvr"), library("kel"), library("tallier")], env=self.env,
                       check=True, capture_output=True)
        self.process = None
        self.port = None

    def start(self, *arguments, preexec_fn=None):
        self.output = open(os.path.join(self.dir, "api.out"), "a")
        self.process = subprocess.Popen([program("ringwell-api"), "--listen", "127.0.0.1:0", *arguments],
                                        env=self.env, stdout=subprocess.PIPE, stderr=self.output, text=True,
                                        preexec_fn=preexec_fn)
        for line in self.process.stdout:
            self.output.write(line)
            match = re.search(r"listening on https?://127\.0\.0\.1:(\d+)", line)
            if match:
                self.port = int(match.group(1))
            if "ringwell-api: ready" in line:
                return
        raise AssertionError("ringwell-api did not start: " + self.log())

    def stop(self):
        """Stops the daemon with SIGTERM; it must exit with 0 (a sanitizer's
        report would make it exit otherwise)."""
        if self.process is None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            rest, _ = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("ringwell-api did not stop: " + self.log())
        self.output.write(rest)
        self.output.close()
        code = self.process.returncode
        self.process = None
        if code != 0:
            raise AssertionError("ringwell-api exited with %d: %s" % (code, self.log()))

    def log(self):
        self.output.flush()
        with open(os.path.join(self.dir, "api.out")) as f:
            return f.read()

    def remove(self):
        if self.process is not None:
            self.process.kill()
            self.process.communicate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, *argv):
        """A program of the build tree in this installation: (exit code, stdout, stderr)."""
        done = subprocess.run(list(argv), env=self.env, capture_output=True, text=True)
        return done.returncode, done.stdout, done.stderr

    def kel(self, *arguments):
        return self.run(program("kel"), *arguments)

    # The report generator's files, written as it writes them.
    def write_report(self, id, status, recipients, kind="Call", mtime=None):
        """recipients: [(number, status, [call, ...])], a call being a dict of
        Status, Error, Time, Answer, Protocol, Duration."""
        xml = ('<Report xmlns="urn:schemas-microsoft-com:xml-data" xmlns:dt="urn:schemas-microsoft-com:datatypes" '
               'UserID="{0}" ID="%s" Type="%s" Status="%s">' % (id, kind, status))
        for number, recipient_status, calls in recipients:
            xml += '<SubReport Recipient="%s" Status="%s">' % (number, recipient_status)
            for call in calls:
                xml += ('<Call Status="%s" Error="%s"><Time dt:dt="dateTime">%s</Time><Answer>%s</Answer>'
                        '<Protocol>%s</Protocol><Duration>%d</Duration></Call>'
                        % (call.get("Status", "Completed"), call.get("Error", ""),
                           call.get("Time", "2026-12-07T09:30:00"), call.get("Answer", "Answered"),
                           call.get("Protocol", "Played greeting"), call.get("Duration", 12)))
            xml += "</SubReport>"
        xml += "</Report>"
        path = self.root + "Reports/" + id + ".xml"
        temp = self.root + "Reports/." + id + ".xml.new"
        with open(temp, "w") as f:
            f.write(xml)
        if mtime is not None:
            os.utime(temp, (mtime, mtime))
        os.rename(temp, path)

    def schedule(self, id):
        """What prepax does with a request: its file moves to Requests, its report says Scheduled."""
        with open(self.root + "Inbox/" + id + ".xml") as f:
            request = f.read()
        numbers = re.findall(r"<Recipient[^>]*>([^<]*)</Recipient>", request)
        with open(self.root + "Requests/" + id + ".xml", "w") as f:
            f.write(request)
        os.remove(self.root + "Inbox/" + id + ".xml")
        self.write_report(id, "Scheduled", [(n, "Scheduled", []) for n in numbers])
        return numbers


class Client:
    """Requests to the daemon; every JSON answer is checked against the
    OpenAPI document."""

    def __init__(self, installation, token=None, scheme="http", context=None, source=None):
        self.installation = installation
        self.token = token
        self.scheme = scheme
        self.context = context
        self.source = (source, 0) if source else None  # a loopback address to connect from

    def connection(self, timeout=30):
        if self.scheme == "https":
            return http.client.HTTPSConnection("127.0.0.1", self.installation.port, timeout=timeout,
                                               context=self.context, source_address=self.source)
        return http.client.HTTPConnection("127.0.0.1", self.installation.port, timeout=timeout,
                                          source_address=self.source)

    def request(self, method, path, body=None, headers=None, token=None):
        """(status, headers, body as JSON or text)."""
        headers = dict(headers or {})
        token = token if token is not None else self.token
        if token:
            headers["Authorization"] = "Bearer " + token
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
            headers.setdefault("Content-Type", "application/json")
        connection = self.connection()
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            data = response.read()
            answer_headers = {k.lower(): v for k, v in response.getheaders()}
        finally:
            connection.close()
        content = data if answer_headers.get("content-type", "").startswith("audio/") else data.decode()
        if answer_headers.get("content-type", "").startswith("application/json"):
            content = json.loads(content)
            OPENAPI.check(method, path, response.status, content)
        return response.status, answer_headers, content

    def submit(self, description, **kwargs):
        status, headers, body = self.request("POST", "/v1/requests", description, **kwargs)
        assert status == 201, (status, body)
        return body["id"]


class OpenApi:
    """The document in api/openapi.json with the request schema put in, as the
    daemon serves it (the tests compare the two once)."""

    def __init__(self):
        self.document = None

    def load(self, document):
        self.document = document
        self.resolver = jsonschema.RefResolver.from_schema(document)

    def operation(self, method, path):
        path = path.split("?")[0]
        for template, item in self.document["paths"].items():
            pattern = "^" + re.sub(r"\{[^}]+\}", "[^/]+", template) + "$"
            if re.match(pattern, path) and method.lower() in item:
                return item[method.lower()]
        raise AssertionError("the OpenAPI document has no %s %s" % (method, path))

    def check(self, method, path, status, body):
        if self.document is None:
            return
        try:
            operation = self.operation(method, path)
        except AssertionError:
            # Only what the document does not name is refused that way.
            assert status in (404, 405), (method, path, status)
            return
        responses = operation["responses"]
        assert str(status) in responses, "the OpenAPI document has no %d for %s %s" % (status, method, path)
        response = responses[str(status)]
        if "$ref" in response:
            response = self.resolver.resolve(response["$ref"])[1]
        schema = response["content"]["application/json"]["schema"]
        jsonschema.validate(body, schema, cls=jsonschema.Draft202012Validator, resolver=self.resolver)

    def check_event(self, event):
        schema = self.document["components"]["schemas"]["Event"]
        jsonschema.validate(event, schema, cls=jsonschema.Draft202012Validator, resolver=self.resolver)


OPENAPI = OpenApi()


def load_openapi():
    """The document as built into the daemon (api/openapi.json with the
    request schema put in), read from a daemon once per process."""
    if OPENAPI.document is None:
        installation = Installation()
        try:
            installation.start()
            status, _, body = Client(installation, tokens()["reader"]).request("GET", "/v1/openapi.json")
            assert status == 200, status
            OPENAPI.load(json.loads(body) if isinstance(body, str) else body)
            installation.stop()
        finally:
            installation.remove()
    return OPENAPI.document


class ApiTestCase(unittest.TestCase):
    """A test with its own installation and daemon (started with the
    registry values of API_VALUES)."""

    API_VALUES = {}

    @classmethod
    def setUpClass(cls):
        load_openapi()

    def setUp(self):
        self.inst = Installation(self.API_VALUES)
        self.addCleanup(self.inst.remove)
        self.inst.start()
        self.api = Client(self.inst, tokens()["all"])

    def tearDown(self):
        self.inst.stop()

    def start_services(self, scenario, *host_arguments):
        """Registers the components and starts prepax and a simulated
        ringwell-host (lines 1 and 2 unless `host_arguments` say otherwise)
        with `scenario` on this installation, each once it says it is ready;
        [prepax, host], stopped at cleanup."""
        inst = self.inst
        subprocess.run([program("ringwell-regsvr"), library("wavshift"), library("dialqueue")], env=inst.env,
                       check=True, capture_output=True)
        subprocess.run([program("prepax"), "-RegServer"], env=inst.env, check=True, capture_output=True)
        path = os.path.join(inst.dir, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        processes = []
        for argv, ready in (([program("prepax")], "Prepax is running"),
                            ([program("ringwell-host"), *(host_arguments or ("--lines", "1,2")), "--scenario", path],
                             "ready")):
            log = os.path.join(inst.dir, os.path.basename(argv[0]) + ".out")
            with open(log, "w") as out:
                process = subprocess.Popen(argv, env=inst.env, stdout=out, stderr=subprocess.STDOUT)
            processes.append(process)
            self.addCleanup(self.stop_service, process)
            wait_for(lambda: ready in read_text(log) or process.poll() is not None, timeout=60,
                     what=argv[0] + " to start")
            self.assertIsNone(process.poll(), read_text(log))
        return processes

    @staticmethod
    def stop_service(process):
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=60)

    def inbox(self):
        """The request files in Inbox (a withdrawn one's hidden name is none)."""
        return sorted(n for n in os.listdir(self.inst.root + "Inbox") if not n.startswith("."))
