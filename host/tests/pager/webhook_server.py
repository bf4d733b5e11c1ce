#!/usr/bin/python3
"""A web hook for the pager tests, on 127.0.0.1.

Prints "listening PORT" once it accepts connections. Every request is
appended to the record file as one JSON line (method, path, headers, body)
before it is answered. A request whose path or body contains a number given
with --status NUMBER=CODE is answered with that code; one containing a number
given with --hang is never answered. Everything else gets 200 and a small
JSON reply, after --delay seconds. With --cert and --key it speaks HTTPS.
"""
import argparse
import json
import ssl
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--record", required=True)
parser.add_argument("--status", action="append", default=[])
parser.add_argument("--hang", action="append", default=[])
parser.add_argument("--delay", type=float, default=0)
parser.add_argument("--cert")
parser.add_argument("--key")
args = parser.parse_args()
statuses = dict((n, int(c)) for n, c in (s.split("=") for s in args.status))
record_lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace")
        with record_lock, open(args.record, "a", encoding="utf-8") as record:
            record.write(json.dumps({"method": self.command, "path": self.path,
                                     "headers": dict(self.headers.items()),
                                     "body": body}) + "\n")
        seen = urllib.parse.unquote(self.path) + " " + urllib.parse.unquote_plus(body) + body
        if any(number in seen for number in args.hang):
            threading.Event().wait(120)
            return
        if args.delay:
            threading.Event().wait(args.delay)
        code = next((c for n, c in statuses.items() if n in seen), 200)
        # The reply echoes the path, as some gateways do with their query.
        reply = json.dumps({"ok": code < 300, "code": code, "path": self.path}).encode()
        try:
            self.send_response(code)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up waiting: what slow gateways are tested for

    do_GET = do_POST = do_PUT = handle_any

    def log_message(self, *_):
        pass


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if args.cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
print("listening", server.server_address[1], flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    sys.exit(0)
