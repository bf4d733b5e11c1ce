"""The route table: every route of ringwell-api called over real sockets
without a token, with a token that is not valid and with a token of each
scope the route does not need; the scopes each route needs are read from the
OpenAPI document in the repository, so a route whose scope changes without
the document changing fails here. The document is compared with the
router's table (same routes, same scopes), and the document the daemon
serves is the file in the repository with the request schema put in."""
import json
import os
import re
import unittest

from apitest import SOURCE, ApiTestCase, Client, OPENAPI, program, tokens

METHODS = ("get", "post", "delete", "put", "patch")
SCOPES = ("submit", "read", "cancel", "respond")


def repository_document():
    """api/openapi.json with packaging/request.schema.json put in, as the
    daemon is built to serve it."""
    with open(os.path.join(SOURCE, "api/openapi.json")) as f:
        document = json.load(f)
    with open(os.path.join(SOURCE, "packaging/request.schema.json")) as f:
        schema = json.load(f)
    prefix = "RequestDescription_"

    def rewrite(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key == "$ref" and isinstance(value, str) and value.startswith("#/$defs/"):
                    node[key] = "#/components/schemas/" + prefix + value[len("#/$defs/"):]
                else:
                    rewrite(value)
        elif isinstance(node, list):
            for value in node:
                rewrite(value)

    schema.pop("$schema", None)
    schema.pop("$id", None)
    definitions = schema.pop("$defs", {})
    rewrite(schema)
    rewrite(definitions)
    schemas = document["components"]["schemas"]
    schemas["RequestDescription"] = schema
    for name, definition in definitions.items():
        schemas[prefix + name] = definition
    return document


def documented_routes(document):
    """{(METHOD, path template): scope}: None for a route without a token,
    "" for any valid token, else the scope it needs."""
    routes = {}
    default = document.get("security", [])
    for template, item in document["paths"].items():
        for method, operation in item.items():
            if method not in METHODS:
                continue
            security = operation.get("security", default)
            if not security:
                scope = None
            else:
                needed = [s for requirement in security for s in requirement.get("bearer", [])]
                assert len(needed) <= 1, (method, template, security)
                scope = needed[0] if needed else ""
            routes[(method.upper(), template)] = scope
    return routes


def router_routes():
    """The router's table as api/src/router.cc writes it: {(METHOD, path):
    scope}, with a scope set from an option (the metrics') read as its
    default, no token."""
    with open(os.path.join(SOURCE, "api/src/router.cc")) as f:
        text = f.read()
    routes = {}
    for method, path, scope in re.findall(r'\{\s*"([A-Z]+)",\s*"(/[^"]*)",\s*([^,]+),\s*&\w+\s*\}', text):
        scope = scope.strip()
        if scope.startswith('"'):
            routes[(method, path)] = scope.strip('"')
        else:  # nullptr, or the metrics' option, off by default
            routes[(method, path)] = None
    return routes


def concrete(template):
    """A path of the template with names that exist nowhere."""
    return re.sub(r"\{[^}]+\}", "no-such-thing", template)


class RouteTableTest(ApiTestCase):
    # Many calls with one token in a moment: the rate limit is not what is tested.
    API_VALUES = {"RateLimit": "1000000", "RateBurst": "1000000"}

    def setUp(self):
        super().setUp()
        # A token with only the scope "cancel", beside the harness's "reader"
        # and "submitter": every scope has a token without it.
        self.inst.stop()
        out = self.inst.run(program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add",
                            "canceler", "--scope", "cancel")
        self.assertEqual(out[0], 0, out)
        self.canceler = out[1].strip()
        out = self.inst.run(program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add",
                            "responder", "--scope", "respond")
        self.assertEqual(out[0], 0, out)
        self.responder = out[1].strip()
        out = self.inst.run(program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add",
                            "everything", "--scope", *SCOPES)
        self.assertEqual(out[0], 0, out)
        self.everything = out[1].strip()
        self.inst.start()

    def call(self, method, path, token, source=None):
        body = "{}" if method in ("POST", "PUT", "PATCH") else None
        headers = {"Content-Type": "application/json"} if body else {}
        client = Client(self.inst, source=source)
        if path.endswith("/events"):
            # An event stream goes on: its status and headers are enough.
            if token:
                headers["Authorization"] = "Bearer " + token
            connection = client.connection()
            try:
                connection.request(method, path, headers=headers)
                response = connection.getresponse()
                answer_headers = {k.lower(): v for k, v in response.getheaders()}
                if answer_headers.get("content-type") == "text/event-stream":
                    return response.status, answer_headers, ""
                return response.status, answer_headers, json.loads(response.read().decode())
            finally:
                connection.close()
        return client.request(method, path, body=body, headers=headers, token=token)

    def test_served_document_is_the_repository_file(self):
        status, _, served = self.call("GET", "/v1/openapi.json", tokens()["reader"])
        self.assertEqual(status, 200)
        self.assertEqual(served, repository_document())
        # The responses of every test are checked against that same document.
        self.assertEqual(OPENAPI.document, repository_document())

    def test_document_and_router_name_the_same_routes_and_scopes(self):
        router = router_routes()
        self.assertGreater(len(router), 10, "no route table found in api/src/router.cc")
        self.assertEqual(documented_routes(repository_document()), router)

    def test_every_route_refuses_callers_without_its_scope(self):
        routes = documented_routes(repository_document())
        holders = {"submit": tokens()["submitter"], "read": tokens()["reader"], "cancel": self.canceler,
                   "respond": self.responder}
        valid = tokens()["reader"]
        not_valid = valid[:-1] + ("A" if valid[-1] != "A" else "B")
        checked = 0
        for n, ((method, template), scope) in enumerate(sorted(routes.items(), key=lambda r: (r[0][1], r[0][0]))):
            path = concrete(template)
            # Each route is called from a loopback address of its own: the
            # API limits the 401s it answers one address.
            source = "127.0.1.%d" % (n + 1)
            call = lambda method, path, token: self.call(method, path, token, source)  # noqa: E731
            with self.subTest(route=method + " " + template, scope=scope):
                if scope is None:
                    status, _, _ = call(method, path, None)
                    self.assertNotIn(status, (401, 403), "a route without a token asked for one")
                    continue
                for token, what in ((None, "no token"), (not_valid, "a token that is not valid"),
                                    ("rw_" + "0" * 40, "a made-up token")):
                    status, headers, body = call(method, path, token)
                    self.assertEqual(status, 401, "%s with %s: %s" % (method, what, body))
                    self.assertEqual(headers.get("www-authenticate"), 'Bearer realm="ringwell"')
                for other in SCOPES:
                    status, _, body = call(method, path, holders[other])
                    if scope and other != scope:
                        self.assertEqual(status, 403, "%s with only %r: %s" % (method, other, body))
                        self.assertIn('lacks the scope "%s"' % scope, body["error"])
                    else:
                        self.assertNotIn(status, (401, 403), "%s with %r: %s" % (method, other, body))
                status, _, body = call(method, path, self.everything)
                self.assertNotIn(status, (401, 403), body)
                checked += 1
        self.assertGreaterEqual(checked, 13)


if __name__ == "__main__":
    unittest.main()
