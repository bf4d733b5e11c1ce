"""A storage root on a small file system that fills up and empties again,
twice, while requests come in through the HTTP API and the kel program and
flow through the real prepax and ringwell-host: a request that cannot be
written whole is refused (507, or kel's error), every request accepted ends
"Completed" with every recipient called, no report is truncated and no
journal is left empty. /readyz says not ready while space is short.

Mounting the tmpfs needs root (CI runs the tests as root); elsewhere the test
is skipped."""
import glob
import os
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

from apitest import ApiTestCase, Client, Installation, tokens, wait_for

DISK_BYTES = 24 << 20
MIN_FREE_KB = 1024
RECIPIENTS = 2


def read(path):
    """The file's text; empty while it does not exist."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Filler:
    """Files that take every free byte of the file system, and give it back."""

    def __init__(self, root):
        self.root = root
        self.paths = []

    def fill(self):
        block = b"x" * 65536
        size = len(block)
        while size >= 512:
            path = os.path.join(self.root, ".filler%d" % len(self.paths))
            self.paths.append(path)
            with open(path, "wb", buffering=0) as f:
                try:
                    while True:
                        f.write(block[:size])
                except OSError:
                    pass
            size //= 2

    def free(self):
        for path in self.paths:
            os.remove(path)
        self.paths = []


class DiskFullSoak(ApiTestCase):
    def setUp(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting a tmpfs needs root")
        # The wait below asks for every request's status 50 times a second:
        # the per-token rate limit is not what is tested here.
        self.inst = Installation({"RateLimit": "1000000", "RateBurst": "1000000"})
        self.addCleanup(self.inst.remove)
        root = self.inst.root
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % DISK_BYTES, "tmpfs", root],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise unittest.SkipTest("cannot mount a tmpfs: " + done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", root], capture_output=True)
        for sub in ("Inbox", "Requests", "Reports", "Files/{0}", "Status", "Events"):
            os.makedirs(root + sub)
        registry = read(self.inst.registry).replace(
            "AudioFormat = 49\n", "AudioFormat = 49\nMinFreeSpaceKB = %d\n" % MIN_FREE_KB)
        with open(self.inst.registry, "w") as f:
            f.write(registry)
        self.inst.start()
        self.api = Client(self.inst, tokens()["all"])
        self.anyone = Client(self.inst)
        self.filler = Filler(root)
        self.start_services({"default": {"outcome": "answer", "rings": 1}},
                            "--lines", "1,2,3,4", "--no-pager", "--time-scale", "0.05")

    def numbers(self, n):
        return ["555%04d" % (n * RECIPIENTS + i) for i in range(RECIPIENTS)]

    def submit(self, n, accepted, refused):
        """Request n through the API (even n) or kel (odd n)."""
        text = "Pump %d in hall %d has stopped; the pressure is falling. Please call the control room." % (n, n)
        if n % 2 == 0:
            status, _, body = self.api.request("POST", "/v1/requests",
                                               {"recipients": self.numbers(n), "message": [text]})
            if status == 201:
                accepted.append(body["id"])
            else:
                self.assertEqual(status, 507, body)
                refused.append(("api", body))
        else:
            argv = ["submit", "--say", text]
            for number in self.numbers(n):
                argv += ["--to", number]
            code, printed, err = self.inst.kel(*argv)
            if code == 0:
                accepted.append(printed.strip())
            else:
                self.assertIn("not enough space", err)
                refused.append(("kel", err))

    def status_of(self, id):
        status, _, body = self.api.request("GET", "/v1/requests/" + id)
        return body.get("status") if status == 200 else None

    def test_every_accepted_request_completes_across_two_full_disks(self):
        accepted, refused = [], []
        n = 0
        for cycle in range(2):
            # Requests flow in; some are taken up while the disk fills.
            for _ in range(8):
                self.submit(n, accepted, refused)
                n += 1
            self.filler.fill()
            # Full: submissions are refused whole, and the root is not ready.
            for _ in range(3):
                self.submit(n, accepted, refused)
                n += 1
            status, _, ready = self.anyone.request("GET", "/readyz")
            self.assertEqual(status, 503, ready)
            self.assertFalse(ready["checks"]["space"]["ok"], ready)
            # prepax finds no room for what it prepares: the requests wait
            # (unless it had taken every one up before the disk filled).
            waits = read(self.inst.event_log).count("waits for space")
            wait_for(lambda: read(self.inst.event_log).count("waits for space") > waits or
                     not [n for n in os.listdir(self.inst.root + "Inbox") if not n.startswith(".")],
                     timeout=60, what="a request to wait for space; Inbox: %s; events: %s; prepax: %s" % (
                         os.listdir(self.inst.root + "Inbox"), read(self.inst.event_log)[-3000:],
                         read(os.path.join(self.inst.dir, "prepax.out"))[-3000:]))
            self.filler.free()
            for _ in range(4):
                self.submit(n, accepted, refused)
                n += 1

        self.assertGreaterEqual(len(accepted), 20)
        # What prepax could not prepare waited and was not failed.
        self.assertIn("waits for space", read(self.inst.event_log))
        self.assertGreaterEqual(len(refused), 1)
        try:
            wait_for(lambda: all(self.status_of(id) == "Completed" for id in accepted), timeout=300,
                     what="every accepted request to complete")
        except AssertionError as e:
            # What each request says once the wait is over, not before it.
            raise AssertionError("%s: %s; Inbox: %s; Requests: %s" % (
                e, {id: self.status_of(id) for id in accepted}, os.listdir(self.inst.root + "Inbox"),
                os.listdir(self.inst.root + "Requests"))) from None
        for id in accepted:
            report = ElementTree.parse(self.inst.root + "Reports/" + id + ".xml").getroot()
            self.assertEqual(report.get("Status"), "Completed", id)
            subs = [e for e in report if e.tag.endswith("SubReport")]
            self.assertEqual(len(subs), RECIPIENTS, id)
            for sub in subs:
                self.assertEqual(sub.get("Status"), "Completed", (id, sub.get("Recipient")))
        log = read(self.inst.event_log)
        for failure in ("ErrorGenerateVoiceFile", "ErrorConvertFile", "InternalError"):
            self.assertNotIn(failure, log)
        # The requests' journals (the API's own stores beside them are not).
        for journal in glob.glob(self.inst.root + "Events/{*}.jsonl"):
            self.assertGreater(os.path.getsize(journal), 0, journal)
        self.assertEqual(os.listdir(self.inst.root + "Inbox"), [])


if __name__ == "__main__":
    unittest.main()
