"""The web console's files and the prepared audio of a request's parts, over
real sockets: what is served, with which types and policy, and that nothing
outside the console directory or the request's directory is ever reached,
whatever the path or a planted link says."""
import os
import re
import shutil
import struct
import unittest

from apitest import SOURCE, ApiTestCase, Client, tokens

CONSOLE = os.path.join(SOURCE, "api", "console")


def wav(seconds=0.25, rate=8000):
    frames = int(seconds * rate)
    data = b"\x00\x10" * frames
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" +
            struct.pack("<I", len(data)) + data)


class ConsoleFilesTest(ApiTestCase):
    def restart_with_console(self, directory):
        self.inst.stop()
        self.inst.start("--console", directory)

    # Each test serves a copy of the console, so that links can be planted in it.
    def test_the_page_and_its_files_with_their_types_and_policy(self):
        console = self.inst.dir + "/console"
        shutil.copytree(CONSOLE, console)
        self.restart_with_console(console)
        anyone = Client(self.inst)
        status, headers, page = anyone.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/html; charset=utf-8")
        policy = headers["content-security-policy"]
        self.assertIn("default-src 'none'", policy)
        self.assertIn("script-src 'self'", policy)
        self.assertEqual(headers["x-content-type-options"], "nosniff")
        # Everything the page loads comes from this server.
        for url in re.findall(r'(?:src|href)="([^"#]+)"', page):
            self.assertTrue(url.startswith("console/"), url)
            status, headers, _ = anyone.request("GET", "/" + url)
            self.assertEqual(status, 200, url)
        for name, kind in (("app.js", "text/javascript; charset=utf-8"),
                           ("console.css", "text/css; charset=utf-8")):
            status, headers, body = anyone.request("GET", "/console/" + name)
            self.assertEqual((status, headers["content-type"]), (200, kind))
            with open(os.path.join(CONSOLE, name)) as f:
                self.assertEqual(body, f.read())
        # No external script, style or font anywhere.
        for name in os.listdir(CONSOLE):
            with open(os.path.join(CONSOLE, name)) as f:
                self.assertNotRegex(f.read(), r"https?://", name)

    def test_nothing_outside_the_console_directory_and_no_listing(self):
        console = self.inst.dir + "/console"
        shutil.copytree(CONSOLE, console)
        with open(self.inst.dir + "/secret.js", "w") as f:
            f.write("secret")
        os.symlink(self.inst.dir + "/secret.js", console + "/linked.js")
        os.symlink(self.inst.dir + "/secret.js", console + "/index.html.js")
        os.mkfifo(console + "/pipe.js")
        with open(console + "/notes.txt", "w") as f:
            f.write("not a console file")
        with open(console + "/.hidden.js", "w") as f:
            f.write("hidden")
        self.restart_with_console(console)
        anyone = Client(self.inst)
        for path in ("/console/", "/console", "/console/linked.js", "/console/index.html.js",
                     "/console/pipe.js", "/console/notes.txt", "/console/.hidden.js",
                     "/console/..%2fsecret.js", "/console/%2e%2e/secret.js", "/console/../secret.js",
                     "/console/%2e%2e", "/console/app.js/x", "/console/missing.js", "/secret.js"):
            status, _, body = anyone.request("GET", path)
            self.assertEqual(status, 404, path)
            self.assertNotIn("secret", body if isinstance(body, str) else body["error"].replace(
                "secret.js", ""), path)
        # Only GET.
        status, headers, _ = anyone.request("POST", "/console/app.js", body="x")
        self.assertEqual((status, headers["allow"]), (405, "GET"))
        # A path two routes match names each method once.
        status, headers, _ = anyone.request("POST", "/v1/incidents/events", body="x")
        self.assertEqual((status, headers["allow"]), (405, "GET"))
        # A console directory that is not there: the page is missing, the API works.
        self.restart_with_console(self.inst.dir + "/none")
        self.assertEqual(anyone.request("GET", "/")[0], 404)
        self.assertEqual(Client(self.inst, tokens()["reader"]).request("GET", "/v1/requests")[0], 200)


class PartAudioTest(ApiTestCase):
    def scheduled_with_audio(self, parts):
        """A request as prepax leaves it: in Requests/, each part a wav file
        (name -> content; None for a text part kept as text)."""
        id = self.api.submit({"recipients": ["5551234"], "message": ["part"] * len(parts)})
        self.inst.schedule(id)
        path = self.inst.root + "Requests/" + id + ".xml"
        with open(path) as f:
            request = f.read()
        names = iter(parts)

        def prepared(match):
            name = next(names)
            if parts[name] is None:
                return match.group(0)
            return '<MessagePart Type="File" SpokenText="said %s">%s</MessagePart>' % (name, name)
        request = re.sub(r"<MessagePart[^>]*>[^<]*</MessagePart>", prepared, request)
        with open(path, "w") as f:
            f.write(request)
        os.makedirs(self.inst.root + "Requests/" + id)
        for name, content in parts.items():
            if isinstance(content, bytes) and "/" not in name:
                with open(self.inst.root + "Requests/" + id + "/" + name, "wb") as f:
                    f.write(content)
        return id

    def test_each_part_is_listed_and_its_wav_served_as_prepared(self):
        first, second = wav(0.25), wav(0.5)
        id = self.scheduled_with_audio({"wavA.wav": first, "wavB.wav": second})
        status, _, listing = self.api.request("GET", "/v1/requests/%s/parts" % id)
        self.assertEqual(status, 200, listing)
        # A part prepax spoke is told as the text it was, with its audio.
        self.assertEqual([(p["part"], p["type"], p["file"], p["text"], p["audio"]) for p in listing["parts"]],
                         [(1, "Text", "wavA.wav", "said wavA.wav", "/v1/requests/%s/parts/1.wav" % id),
                          (2, "Text", "wavB.wav", "said wavB.wav", "/v1/requests/%s/parts/2.wav" % id)])
        for number, content in ((1, first), (2, second)):
            status, headers, body = self.api.request("GET", "/v1/requests/%s/parts/%d.wav" % (id, number))
            self.assertEqual((status, headers["content-type"]), (200, "audio/wav"))
            self.assertEqual(body, content)
        # The ID in another spelling; a part that is not there.
        self.assertEqual(self.api.request("GET", "/v1/requests/%s/parts/1.wav" % id.strip("{}").lower())[0], 200)
        for part in ("3.wav", "0.wav", "-1.wav", "1", "1.mp3", "x.wav"):
            status, _, body = self.api.request("GET", "/v1/requests/%s/parts/%s" % (id, part))
            self.assertEqual(status, 404, part)
        # Read-only, and only with the read scope.
        self.assertEqual(self.api.request("DELETE", "/v1/requests/%s/parts/1.wav" % id)[0], 405)
        self.assertEqual(Client(self.inst, tokens()["submitter"]).request(
            "GET", "/v1/requests/%s/parts/1.wav" % id)[0], 403)
        self.assertEqual(Client(self.inst).request("GET", "/v1/requests/%s/parts/1.wav" % id)[0], 401)

    def test_no_audio_before_preprocessing_or_after_the_request_finished(self):
        id = self.api.submit({"recipients": ["5551234"], "message": ["Waiting."]})
        status, _, body = self.api.request("GET", "/v1/requests/%s/parts/1.wav" % id)
        self.assertEqual(status, 404)
        self.assertIn("waiting in Inbox", body["error"])
        os.remove(self.inst.root + "Inbox/" + id + ".xml")
        self.inst.write_report(id, "Completed", [("5551234", "Completed", [{}])])
        status, _, body = self.api.request("GET", "/v1/requests/%s/parts" % id)
        self.assertEqual(status, 404)
        self.assertIn("the request has finished", body["error"])
        self.assertEqual(self.api.request("GET", "/v1/requests/{00000000-0000-0000-0000-000000000000}/parts")[0], 404)

    def test_a_part_never_leads_outside_the_request_directory(self):
        outside = self.inst.dir + "/outside.wav"
        with open(outside, "wb") as f:
            f.write(wav())
        id = self.scheduled_with_audio({"../../Reports/x.wav": b"", "link.wav": None, "../outside.wav": b"",
                                        "good.wav": wav()})
        directory = self.inst.root + "Requests/" + id + "/"
        # The XML names link.wav as a text part kept as text: make it a file part through a link.
        path = self.inst.root + "Requests/" + id + ".xml"
        with open(path) as f:
            request = f.read()
        request = request.replace("<MessagePart Type=\"Text\"", "<MessagePart Type=\"File\"", 1)
        with open(path, "w") as f:
            f.write(re.sub(r'(<MessagePart Type="File"[^>]*>)part(</MessagePart>)', r"\1link.wav\2", request))
        os.symlink(outside, directory + "link.wav")
        statuses = [self.api.request("GET", "/v1/requests/%s/parts/%d.wav" % (id, n))[0] for n in (1, 2, 3, 4)]
        self.assertEqual(statuses, [404, 404, 404, 200])
        _, _, listing = self.api.request("GET", "/v1/requests/%s/parts" % id)
        self.assertEqual([p["audio"] is not None for p in listing["parts"]], [False, True, False, True])
        # The request's directory itself replaced by a link to elsewhere.
        os.rename(directory, self.inst.dir + "/moved")
        os.symlink(self.inst.dir + "/moved", directory.rstrip("/"))
        self.assertEqual(self.api.request("GET", "/v1/requests/%s/parts/4.wav" % id)[0], 404)


if __name__ == "__main__":
    unittest.main()
