"""The HTTP edge against hostile clients, over raw sockets on loopback: bodies
without a token are refused before they are read (chunked ones too), multipart
floods, odd methods that would break /metrics, headers that trickle in
(slowloris), framing that can be read two ways, too many connections from one
address, too many event streams for one token, wrong tokens by the score, and
the end of the streams when the API stops. Clients that play the attacker
connect from other loopback addresses (127.0.0.2 and up) than the one that
checks the API still answers (127.0.0.1)."""
import json
import os
import resource
import selectors
import signal
import socket
import subprocess
import threading
import time
import unittest

from apitest import ApiTestCase, Client, Installation, tokens, wait_for

MIB = 1 << 20


def connect(inst, source="127.0.0.1", timeout=30):
    sock = socket.create_connection(("127.0.0.1", inst.port), timeout=timeout, source_address=(source, 0))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_answer(sock):
    """(status, head text, body bytes) of one answer; the body as far as
    Content-Length tells."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError("the connection closed before an answer: %r" % data)
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    head = head.decode("latin-1")
    length = 0
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(head.split(" ")[1]), head, body


def closed_by_server(sock, timeout=30):
    """True once the server closed the connection (all that came is read)."""
    sock.settimeout(timeout)
    try:
        while sock.recv(65536):
            pass
        return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def post_flood(sock, head, total, piece=64 * 1024):
    """Sends `head`, then `total` bytes of chunked body on a thread; returns
    the thread and a dict with the bytes it got through and whether sending
    failed (the server closed the connection)."""
    outcome = {"sent": 0, "refused": False}

    def run():
        try:
            sock.sendall(head)
            chunk = b"%x\r\n" % piece + b"a" * piece + b"\r\n"
            while outcome["sent"] < total:
                sock.sendall(chunk)
                outcome["sent"] += piece
            sock.sendall(b"0\r\n\r\n")
        except OSError:
            outcome["refused"] = True

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class GateTest(ApiTestCase):
    def test_bodies_without_a_token_are_refused_before_they_are_read(self):
        """232 MiB of chunked multipart fields without a token once grew the
        API by 453 MiB before it answered 401."""
        before = rss_kib(self.inst.process.pid)
        for path, kind in (("/v1/files", "multipart/form-data; boundary=XyZ"), ("/v1/requests", "application/json")):
            sock = connect(self.inst, "127.0.0.2")
            head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\nTransfer-Encoding: chunked\r\n\r\n"
                    % (path, kind)).encode()
            thread, outcome = post_flood(sock, head, 128 * MIB)
            status, answer, body = read_answer(sock)
            self.assertEqual(status, 401, answer)
            self.assertEqual(json.loads(body)["error"], "a bearer token is needed")
            thread.join(60)
            self.assertFalse(thread.is_alive(), "the server still reads the body of " + path)
            self.assertTrue(outcome["refused"], "the server read all 128 MiB sent to " + path)
            sock.close()
        # Wrong tokens and missing scopes as well, and an unknown route.
        for path, token, code in (("/v1/files", "rw_AAAAAAAA_" + "b" * 43, 401),
                                  ("/v1/requests", tokens()["reader"], 403),
                                  ("/v1/nothing", tokens()["all"], 404)):
            sock = connect(self.inst, "127.0.0.2")
            head = ("POST %s HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\nContent-Type: audio/wav\r\n"
                    "Transfer-Encoding: chunked\r\n\r\n" % (path, token)).encode()
            thread, outcome = post_flood(sock, head, 128 * MIB)
            self.assertEqual(read_answer(sock)[0], code, path)
            thread.join(60)
            self.assertTrue(outcome["refused"], path)
            sock.close()
        grown = rss_kib(self.inst.process.pid) - before
        self.assertLess(grown, 64 * 1024, "the API grew by %d KiB" % grown)
        self.assertEqual(self.inst.process.poll(), None)

    def test_admitted_bodies_are_bounded_whatever_their_coding(self):
        for body_size, code in ((2 * MIB, 413), (4096, 400)):
            sock = connect(self.inst)
            head = ("POST /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                    "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" % tokens()["all"]).encode()
            thread, outcome = post_flood(sock, head, body_size, piece=4096)
            thread.join(60)
            status, answer, body = read_answer(sock)
            self.assertEqual(status, code, answer + body.decode())
            if code == 413:
                self.assertEqual(json.loads(body)["error"], "the body is larger than 1048576 bytes")
            else:  # read, and found to be no request description
                self.assertIn("not JSON", json.loads(body)["error"])
            sock.close()

    def test_a_multipart_form_with_unknown_fields_is_refused_and_uploads_leave_nothing(self):
        boundary = "XyZ"
        fields = "".join('--%s\r\nContent-Disposition: form-data; name="f%d"\r\n\r\n%s\r\n' % (boundary, i, "v" * 1000)
                         for i in range(2000))
        body = (fields + "--%s--\r\n" % boundary).encode()
        status, _, answer = self.api.request("POST", "/v1/files", body,
                                             headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
        self.assertEqual(status, 400)
        self.assertEqual(answer["error"], 'the form has an unknown field "f0"')
        self.assertEqual(os.listdir(self.inst.root + "Events/uploads"), [])


class FramingTest(ApiTestCase):
    def exchange(self, raw):
        """Sends `raw` at once; (answers, closed): the statuses of what came
        back before the server closed the connection."""
        sock = connect(self.inst)
        sock.sendall(raw)
        sock.settimeout(10)
        data = b""
        closed = False
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    closed = True
                    break
                data += chunk
        except socket.timeout:
            pass
        except ConnectionResetError:
            closed = True
        sock.close()
        statuses = [int(line.split(b" ")[1]) for line in data.split(b"\r\n") if line.startswith(b"HTTP/1.1 ")]
        return statuses, closed

    def test_framing_read_two_ways_is_refused_and_the_connection_closed(self):
        token = tokens()["all"]
        smuggled = b"GET /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n" % token.encode()
        cases = {
            "two lengths": b"POST /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                           b"Content-Length: 2\r\nContent-Length: 40\r\n\r\n{}" % token.encode() + smuggled,
            "length and chunked": b"POST /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                                  b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" % token.encode()
                                  + smuggled,
        }
        for name, raw in cases.items():
            statuses, closed = self.exchange(raw)
            self.assertEqual(statuses, [400], name)
            self.assertTrue(closed, name)
        for coding in (b"chunked, identity", b"gzip", b"identity"):
            statuses, closed = self.exchange(
                b"POST /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                b"Transfer-Encoding: %s\r\n\r\n{}" % (token.encode(), coding))
            self.assertEqual(statuses, [501], coding)
            self.assertTrue(closed, coding)
        # A request framed one way only is answered and the connection kept.
        sock = connect(self.inst)
        for _ in range(2):
            sock.sendall(b"POST /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                         b"Content-Length: 2\r\n\r\n{}" % token.encode())
            self.assertEqual(read_answer(sock)[0], 422)
        sock.close()

    def test_odd_methods_leave_metrics_readable_and_bounded(self):
        for method in [b'GET"}', b"BREW"] + [b"X%d" % i for i in range(300)]:
            sock = connect(self.inst)
            sock.sendall(method + b" /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            closed_by_server(sock, 10)
            sock.close()
        status, _, text = Client(self.inst).request("GET", "/metrics")
        self.assertEqual(status, 200)
        checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertNotIn("X17", text)
        self.assertNotIn('GET"', text)
        methods = {line.split('method="')[1].split('"')[0] for line in text.splitlines()
                   if line.startswith("ringwell_api_requests_total{")}
        self.assertLessEqual(methods, {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "other"})
        self.assertIn("other", methods)


class HookLabelTest(ApiTestCase):
    def test_alert_hooks_are_counted_by_their_configured_route_only(self):
        from test_alerts import alertmanager_payload
        self.inst.stop()
        routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write('[routes.oncall]\nnumbers = ["5550001"]\n')
        self.inst.start("--routes", routes)
        self.assertEqual(self.api.request("POST", "/v1/hooks/alertmanager/oncall", alertmanager_payload())[0], 200)
        for name in ("nope", "x%22y", "invented1", "invented2"):
            self.assertEqual(self.api.request("POST", "/v1/hooks/alertmanager/" + name, alertmanager_payload())[0],
                             404)
        text = Client(self.inst).request("GET", "/metrics")[2]
        self.assertIn('ringwell_api_requests_total{route="/v1/hooks/alertmanager/oncall",method="POST",code="200"} 1\n',
                      text)
        self.assertIn('ringwell_api_requests_total{route="/v1/hooks/alertmanager/{route}",method="POST",code="404"} 4\n',
                      text)
        self.assertNotIn("invented", text)


class ConnectionBudgetTest(ApiTestCase):
    API_VALUES = {"HeaderTimeout": "2", "MaxConnectionsPerAddress": "40", "MaxStreamsPerToken": "20"}

    def test_trickling_headers_are_cut_off_and_the_api_still_answers(self):
        """1,100 connections that trickle header bytes once kept the API
        unreachable: each byte reset the client timeout."""
        selector = selectors.DefaultSelector()
        sockets = []
        for i in range(200):
            sock = connect(self.inst, "127.0.0.%d" % (10 + i % 8))
            sock.setblocking(False)
            sock.send(b"GET /healthz HTTP/1.1\r\n")
            selector.register(sock, selectors.EVENT_READ)
            sockets.append(sock)
        cut = set()
        started = time.monotonic()
        healthy = 0
        while len(cut) < len(sockets) and time.monotonic() - started < 60:
            for sock in sockets:
                if sock not in cut:
                    try:
                        sock.send(b"X")
                    except OSError:
                        cut.add(sock)
            for key, _ in selector.select(timeout=0.3):
                try:
                    if key.fileobj.recv(4096) == b"":
                        cut.add(key.fileobj)
                except OSError:
                    cut.add(key.fileobj)
            status, _, _ = Client(self.inst).request("GET", "/healthz")
            healthy += status == 200
        self.assertEqual(len(cut), len(sockets), "connections still open while trickling")
        self.assertGreater(healthy, 0)
        for sock in sockets:
            sock.close()

    def test_one_address_gets_a_bounded_number_of_connections(self):
        held = [connect(self.inst, "127.0.0.20") for _ in range(40)]
        extra = connect(self.inst, "127.0.0.20")
        extra.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(closed_by_server(extra, 10))
        self.assertEqual(Client(self.inst).request("GET", "/healthz")[0], 200)
        for sock in held + [extra]:
            sock.close()

    def test_event_streams_per_token_are_capped_and_given_back_when_closed(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        reader = tokens()["reader"]

        def open_stream(source):
            sock = connect(self.inst, source)
            sock.sendall(b"GET /v1/requests/%s/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n"
                         % (id.encode(), reader.encode()))
            data = b""
            while b"\r\n" not in data:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
            return sock, int(data.split(b" ")[1])

        streams = [open_stream("127.0.0.%d" % (30 + i % 4)) for i in range(20)]
        self.assertEqual([code for _, code in streams], [200] * 20)
        refused, code = open_stream("127.0.0.35")
        self.assertEqual(code, 429)
        refused.close()
        # Another token is not held back, nor is /healthz.
        self.assertEqual(Client(self.inst).request("GET", "/healthz")[0], 200)
        for sock, _ in streams[:5]:
            sock.close()
        # The slots come back when the clients leave, before any keep-alive
        # comment (every 15 s) would have told.
        deadline = time.monotonic() + 10
        while True:
            sock, code = open_stream("127.0.0.37")
            if code == 200:
                break
            sock.close()
            self.assertLess(time.monotonic(), deadline, "the closed streams still hold their slots")
            time.sleep(0.1)
        streams.append((sock, code))
        for sock, _ in streams[5:]:
            sock.close()

    def test_wrong_tokens_are_limited_per_address_and_unknown_names_answer_like_wrong_secrets(self):
        right = tokens()["reader"]
        wrong_secret = right[:-4] + ("AAAA" if not right.endswith("AAAA") else "BBBB")
        unknown_name = "rw_ZZZZZZZZ" + right[11:]
        answers = [Client(self.inst, token).request("GET", "/v1/requests")[2]
                   for token in (wrong_secret, unknown_name)]
        self.assertEqual(answers[0], answers[1])
        codes = [Client(self.inst, wrong_secret).request("GET", "/v1/requests")[0] for _ in range(40)]
        self.assertIn(429, codes)
        self.assertEqual(codes[0], 401)
        # The address is held back, not the token: from another address the
        # right token gets in.
        sock = connect(self.inst, "127.0.0.40")
        sock.sendall(b"GET /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n" % right.encode())
        self.assertEqual(read_answer(sock)[0], 200)
        sock.close()

    def test_a_refused_request_without_a_body_keeps_its_connection(self):
        wrong = tokens()["reader"][:-4] + "AAAA"
        # Refused again and again on one connection (401, then 429): no new
        # connection is needed for each answer.
        sock = connect(self.inst, "127.0.0.41")
        codes = []
        for _ in range(40):
            sock.sendall(b"GET /v1/requests HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n"
                         % wrong.encode())
            status, head, _ = read_answer(sock)
            codes.append(status)
            self.assertNotIn("connection: close", head.lower())
        self.assertEqual((codes[0], codes[-1]), (401, 429))
        # The connection still serves what needs no token.
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(read_answer(sock)[0], 200)
        sock.close()
        # One that announces a body is still answered and closed at once.
        sock = connect(self.inst, "127.0.0.42")
        sock.sendall(b"POST /v1/requests HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n")
        self.assertEqual(read_answer(sock)[0], 401)
        self.assertTrue(closed_by_server(sock))
        sock.close()


class DescriptorTest(ApiTestCase):
    def setUp(self):
        # The API gets 200 descriptors in all (it cannot raise its limit).
        self.inst = Installation()
        self.addCleanup(self.inst.remove)
        self.inst.start(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (200, 200)))
        self.api = Client(self.inst, tokens()["all"])

    def test_a_flood_of_connections_never_turns_a_request_into_a_404(self):
        """At the open-file limit, GETs of an existing request once answered
        "404 there is no request"."""
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.inst.schedule(id)
        path = "/v1/requests/%s" % id
        ask = b"GET %s HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n" % (path.encode(),
                                                                                  tokens()["reader"].encode())
        mine = connect(self.inst)
        mine.sendall(ask)
        self.assertEqual(read_answer(mine)[0], 200)
        flood = []
        for i in range(300):
            try:
                flood.append(connect(self.inst, "127.0.0.%d" % (60 + i % 4), timeout=5))
            except OSError:
                break
        statuses = []
        for _ in range(5):
            mine.sendall(ask)
            statuses.append(read_answer(mine)[0])
        self.assertNotIn(404, statuses)
        self.assertIn(statuses[0], (200, 503))
        for sock in flood + [mine]:
            sock.close()


class StoppingTest(ApiTestCase):
    def test_streams_end_with_a_stopping_event_when_the_api_stops(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        sock = connect(self.inst)
        sock.sendall(b"GET /v1/requests/%s/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n"
                     % (id.encode(), tokens()["reader"].encode()))
        self.assertEqual(read_answer(sock)[0], 200)
        self.inst.stop()
        sock.settimeout(30)
        rest = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            rest += chunk
        self.assertIn(b"event: stopping\n", rest)
        sock.close()
        self.inst.start()

    def test_no_connection_is_taken_once_the_api_stops_while_streams_drain(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.inst.schedule(id)
        # A long history, and a client that follows it without reading: its
        # stream is still being drained while the API stops.
        self.inst.write_report(id, "InProgress", [("555%04d" % i, "InProgress", []) for i in range(3000)])
        journal = self.inst.root + "Events/" + id + ".jsonl"
        def journaled():
            with open(journal) as f:
                return f.read().count("\n") > 3000
        wait_for(lambda: os.path.exists(journal) and journaled(), what="the history journaled")
        request = b"GET /v1/requests/%s/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n" % (
            id.encode(), tokens()["reader"].encode())
        slow = socket.socket()
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect(("127.0.0.1", self.inst.port))
        slow.sendall(request + b"\r\n")
        follower = connect(self.inst)
        follower.sendall(request + b"Last-Event-ID: 100000\r\n\r\n")
        self.assertEqual(read_answer(follower)[0], 200)
        port = self.inst.port
        self.inst.process.send_signal(signal.SIGTERM)
        follower.settimeout(30)
        rest = b""
        while b"event: stopping\n" not in rest:
            chunk = follower.recv(65536)
            self.assertTrue(chunk, rest)
            rest += chunk
        # Told that the API stops: a new connection is refused, not queued.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=30).close()
        self.inst.stop()
        for sock in (slow, follower):
            sock.close()
        self.inst.start()


class InternalErrorTest(ApiTestCase):
    def get(self, path):
        """(status, body) of a GET over a raw socket (a 500 is no answer the
        OpenAPI document lists)."""
        sock = connect(self.inst)
        sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n"
                     % (path.encode(), tokens()["reader"].encode()))
        status, _, body = read_answer(sock)
        sock.close()
        return status, body

    def test_an_internal_error_answers_a_generic_text_and_the_event_log_has_the_detail(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.inst.schedule(id)
        report = self.inst.root + "Reports/" + id + ".xml"
        with open(report, "w") as f:
            f.write("<Report ID=")  # damaged: not XML
        status, body = self.get("/v1/requests/" + id)
        self.assertEqual((status, json.loads(body)),
                         (500, {"error": "an internal error occurred; the event log tells more", "status": 500}))
        with open(self.inst.event_log) as f:
            entries = [json.loads(line) for line in f]
        failures = [e for e in entries if e["type"] == "error" and "GET /v1/requests/%s failed: " % id in e["text"]]
        self.assertEqual(len(failures), 1, entries)
        self.assertIn(report, failures[0]["text"])  # the detail is the operator's, not the client's
        self.assertNotIn(self.inst.root.encode(), body)

    def test_a_damaged_journal_line_is_skipped(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["hi"]})
        self.inst.schedule(id)
        journal = self.inst.root + "Events/" + id + ".jsonl"
        wait_for(lambda: os.path.exists(journal) and os.path.getsize(journal) > 0, what="the journal")
        with open(journal, "a") as f:
            f.write('{"seq": "9", "type": "status", "status": "Completed"}\n')
            f.write('{"seq": 10, "type": "status", "index": "x"}\n')
        self.inst.write_report(id, "Completed", [("5551234", "Completed", [{}])])
        sock = connect(self.inst)
        sock.sendall(b"GET /v1/requests/%s/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n\r\n"
                     % (id.encode(), tokens()["reader"].encode()))
        self.assertEqual(read_answer(sock)[0], 200)
        self.assertTrue(closed_by_server(sock))  # the stream of a finished request ends
        sock.close()
        self.assertEqual(self.api.request("GET", "/v1/requests/" + id)[2]["status"], "Completed")
        with open(journal) as f:
            events = [json.loads(line) for line in f]
        self.assertEqual(events[-1]["status"], "Completed")
        self.assertEqual([e["seq"] for e in events if isinstance(e["seq"], int) and e["seq"] < 9],
                         list(range(1, events[-1]["seq"] + 1)))

if __name__ == "__main__":
    unittest.main()
