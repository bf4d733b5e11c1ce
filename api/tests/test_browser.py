"""The web console in a real browser: headless Chromium, driven through
chromedriver by Selenium, against ringwell-api with the real prepax and
ringwell-host on simulated lines. A notification sent from the form is seen
to reach "Completed" without reloading the page; a second one, due
tomorrow, has its audio played and is canceled; the form is used with the
keyboard alone. The alert routes are listed with the alert groups they
called about. An incident opened through the generic web hook appears live
in the incidents view, is acknowledged there after a confirmation, and who
is on call is shown. axe-core (from npm, fetched once into a cache folder) finds no
serious or critical accessibility problem at 1280 and at 390 pixels, on the
sign-in page and on the console. A screenshot of each page is kept in
$RINGWELL_SCREENSHOTS."""
import datetime
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.common.exceptions import StaleElementReferenceException

import test_alerts
import test_road
import apitest
from apitest import SOURCE, ApiTestCase, program, tokens


def wait_for(condition, **options):
    """apitest.wait_for, where an element the console drew anew between
    finding it and reading it counts as not yet (the next look finds the new one)."""
    def look():
        try:
            return condition()
        except StaleElementReferenceException:
            return False
    return apitest.wait_for(look, **options)


SCREENSHOTS = os.environ.get("RINGWELL_SCREENSHOTS") or tempfile.mkdtemp(prefix="ringwell-console-")
FORM = ["send-numbers", "send-text", "send-ack", "send-start", "send-stop", "send-button"]
ROUTES = """[routes.db]
numbers = ["5550001"]
page = ["5559876"]
say = "Database {status}: {labels.alertname}."

[people.bob]
name = "Bob"
phone = "5550002"

[people.carol]
name = "Carol"
phone = "5550003"

[schedules.primary]
timezone = "Europe/Berlin"
[[schedules.primary.rotations]]
people = ["bob", "carol"]
start = 2026-01-05T09:00:00
shift = "1w"

[policies.critical]
[[policies.critical.steps]]
notify = ["person:bob"]
wait = "1h"

[routes.pager]
policy = "critical"
"""
AXE_DIR = os.environ.get("RINGWELL_AXE_DIR") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "ringwell", "axe-core")


def axe_script():
    """axe.min.js of the npm package axe-core, installed into AXE_DIR the
    first time (npm talks to its registry only)."""
    path = os.path.join(AXE_DIR, "node_modules", "axe-core", "axe.min.js")
    if not os.path.exists(path):
        os.makedirs(AXE_DIR, exist_ok=True)
        done = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--prefix", AXE_DIR, "axe-core@4"],
                              capture_output=True, text=True, timeout=300)
        if done.returncode != 0 or not os.path.exists(path):
            raise AssertionError("npm could not install axe-core into %s: %s" % (AXE_DIR, done.stderr[-2000:]))
    with open(path) as f:
        return f.read()


class ConsoleInBrowserTest(ApiTestCase):
    def setUp(self):
        super().setUp()
        self.inst.stop()
        routes = os.path.join(self.inst.dir, "alert-routes.toml")
        with open(routes, "w") as f:
            f.write(ROUTES)
        # The console's token may also act on incidents.
        code, out, _ = self.inst.run(program("ringwell-api"), "--tokens", self.inst.token_file, "token", "add",
                                     "desk", "--scope", "submit,read,cancel,respond")
        self.assertEqual(code, 0, out)
        self.desk = out.strip()
        self.inst.start("--console", os.path.join(SOURCE, "api", "console"), "--routes", routes)
        self.axe = axe_script()
        self.start_services(test_road.SCENARIO)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--window-size=1280,1000", "--autoplay-policy=no-user-gesture-required"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        self.addCleanup(self.browser.quit)
        os.makedirs(SCREENSHOTS, exist_ok=True)

    def shot(self, name):
        self.browser.save_screenshot(os.path.join(SCREENSHOTS, name + ".png"))

    def find(self, selector):
        return self.browser.find_element(By.CSS_SELECTOR, selector)

    def text_of(self, selector):
        return self.browser.execute_script("return document.querySelector(arguments[0]).textContent", selector)

    def wait_text(self, selector, text, timeout=60):
        return wait_for(lambda: self.text_of(selector) == text, timeout=timeout,
                        what="%s to say %r (it says %r; browser log %s)" % (
                            selector, text, self.text_of(selector), self.browser.get_log("browser")))

    def active_id(self):
        return self.browser.execute_script("return document.activeElement.id")

    def assert_accessible(self, where):
        """axe-core's serious and critical violations on the page as it is."""
        self.browser.execute_script(self.axe)
        found = self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']})"
            ".then(r => done(r.violations.filter(v => ['serious', 'critical'].includes(v.impact))"
            ".map(v => ({id: v.id, impact: v.impact, nodes: v.nodes.map(n => n.target.join(' '))}))))"
            ".catch(e => done([{id: 'axe failed', impact: String(e), nodes: []}]))")
        self.assertEqual(found, [], where)

    def test_send_follow_play_and_cancel_from_the_console(self):
        b = self.browser
        b.get("http://127.0.0.1:%d/" % self.inst.port)
        wait_for(lambda: self.find("#token").is_displayed(), what="the token to be asked for")
        self.shot("1-token")
        self.browser.set_script_timeout(60)
        self.assert_accessible("the sign-in page")
        self.find("#token").send_keys("not a token", Keys.ENTER)
        self.wait_text("#token-error", "The token was refused: the bearer token is not valid")
        self.find("#token").clear()
        self.find("#token").send_keys(self.desk, Keys.ENTER)
        wait_for(lambda: self.find("#send-form").is_displayed(), what="the console")
        wait_for(lambda: "prepax" in self.text_of("#health-list") and "busy" in self.text_of("#health-list"),
                 what="the health of prepax, the host and the lines")
        # The host's two simulated lines; its pager is no line, and it is
        # said to be simulated.
        self.assertRegex(self.text_of("#health-list"), r"OK Lines: 0 busy, 2 idle")
        self.assertIn("2 simulated lines, simulated pager (pages are not sent)", self.text_of("#health-list"))
        # The heartbeats' times in local time, as the list shows times, not raw UTC.
        self.assertNotRegex(self.text_of("#health-list"), r"\d{4}-\d\d-\d\dT\d\d:")
        wait_for(lambda: "db: calls 5550001; pages 5559876" in self.text_of("#routes"), what="the alert routes")
        self.assertIn("No alert groups yet.", self.text_of("#routes"))
        b.execute_script("window.notReloaded = true")

        # The form with the keyboard alone: Tab from the page's start reaches
        # each field and then the button, in order, each showing its focus.
        b.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
        b.find_element(By.TAG_NAME, "body").click()
        seen = []
        typed = {"send-numbers": "5550001", "send-text": "The backup of the mail server failed."}
        for _ in range(40):
            b.switch_to.active_element.send_keys(Keys.TAB)
            current = self.active_id()
            if current in FORM and current not in seen:
                seen.append(current)
                outline = b.execute_script(
                    "const s = getComputedStyle(document.activeElement);"
                    "return [s.outlineStyle, s.outlineWidth, document.activeElement.matches(':focus-visible')]")
                self.assertEqual(outline, ["solid", "3px", True], current)
                if current in typed:
                    b.switch_to.active_element.send_keys(typed[current])
                if current == "send-ack":
                    b.switch_to.active_element.send_keys(Keys.SPACE)
            if current == "send-button":
                break
        self.assertEqual(seen, FORM)
        self.shot("2-form")
        b.switch_to.active_element.send_keys(Keys.ENTER)

        # The request is opened and followed live until it has finished.
        wait_for(lambda: b.execute_script("return location.hash").startswith("#/requests/{"),
                 what="the new request to be shown")
        first = b.execute_script("return location.hash").split("/")[-1]
        # The focus follows to the request opened.
        wait_for(lambda: self.active_id() == "detail-heading", what="the focus on the opened request")
        self.wait_text("#detail-status", "Completed", timeout=120)
        self.assertTrue(b.execute_script("return window.notReloaded === true"))
        row = [cell.text for cell in b.find_elements(By.CSS_SELECTOR, "#recipient-table tbody tr:first-child > *")]
        self.assertEqual(row[:2], ["5550001", "Completed"])
        self.assertEqual(row[3], "1")
        self.assertRegex(row[4], r"^\d+ s$")
        self.assertEqual(row[5], "1")  # the callee acknowledged
        wait_for(lambda: "Completed" in self.find("tr[data-id='%s']" % first).text, what="the list to follow")
        self.shot("3-completed")
        self.assert_accessible("the console at 1280 pixels")

        # A second one, due tomorrow: it stays scheduled; its audio plays.
        # Its audio went with it.
        self.wait_text("#parts", "the audio of %s is gone: the request has finished" % first)
        tomorrow = datetime.datetime.now() + datetime.timedelta(days=1)
        self.find("#send-numbers").clear()
        self.find("#send-numbers").send_keys("5550001")
        self.find("#send-text").send_keys("Tomorrow the disks will be replaced.")
        b.execute_script("arguments[0].value = arguments[1]", self.find("#send-start"),
                         tomorrow.strftime("%Y-%m-%dT%H:%M"))
        b.execute_script("arguments[0].value = arguments[1]", self.find("#send-stop"),
                         (tomorrow + datetime.timedelta(hours=2)).strftime("%Y-%m-%dT%H:%M"))
        self.find("#send-button").click()
        wait_for(lambda: b.execute_script("return location.hash").split("/")[-1] not in ("", first),
                 what="the second request to be shown")
        second = b.execute_script("return location.hash").split("/")[-1]
        self.wait_text("#detail-status", "Scheduled")
        load = wait_for(lambda: b.find_elements(By.CSS_SELECTOR, "#parts button"), what="the part's audio")[0]
        self.assertEqual(self.text_of("#parts li p"), "Said: Tomorrow the disks will be replaced.")
        load.click()
        audio = wait_for(lambda: b.find_elements(By.CSS_SELECTOR, "#parts audio"), what="the player")[0]
        wait_for(lambda: b.execute_script("return arguments[0].readyState >= 1 && arguments[0].duration > 0",
                                          audio), what="the audio to load")
        self.assertGreater(b.execute_script("return arguments[0].duration", audio), 1.0)
        self.shot("4-audio")

        # Canceled after a confirmation; "Keep it" first leaves it alone.
        self.find("#cancel-button").click()
        wait_for(lambda: self.find("#cancel-dialog").is_displayed(), what="the confirmation")
        self.shot("5-confirm")
        self.find("#cancel-keep").click()
        self.assertEqual(self.active_id(), "cancel-button")
        self.assertEqual(self.api.request("GET", "/v1/requests/" + second)[2]["status"], "Scheduled")
        self.find("#cancel-button").click()
        wait_for(lambda: self.find("#cancel-dialog").is_displayed(), what="the confirmation")
        self.find("#cancel-confirm").click()
        self.wait_text("#detail-status", "Canceled")
        self.assertEqual(self.text_of("#cancel-result"), "Canceled.")
        self.assertEqual(self.api.request("GET", "/v1/requests/" + second)[2]["status"], "Canceled")
        self.assertFalse(self.find("#cancel-button").is_enabled())
        # In the list it is neither green nor a full bar: none was reached.
        wait_for(lambda: "Canceled" in self.find("tr[data-id='%s']" % second).text, what="the list to follow")
        self.assertEqual(self.find("tr[data-id='%s'] .status" % second).get_attribute("class"), "status canceled")
        self.assertEqual(self.find("tr[data-id='%s'] progress" % second).get_attribute("value"), "0")
        self.shot("6-canceled")

        # An alert to the route: its group is listed with its requests.
        status, _, fired = self.api.request("POST", "/v1/hooks/alertmanager/db", test_alerts.alertmanager_payload())
        self.assertEqual(status, 200, fired)
        wait_for(lambda: all(id in self.text_of("#routes") for id in fired["requests"]), timeout=60,
                 what="the alert group under its route")
        self.assertIn('{}:{alertname="DiskFull"} (alertmanager, 1 alert', self.text_of("#routes"))

        # Who is on call, and an incident that any tool opens: it appears
        # live, its timeline is shown and it is acknowledged after a
        # confirmation.
        wait_for(lambda: "primary: " in self.text_of("#oncall-list"), what="who is on call")
        shown = re.match(r"^primary: (Bob|Carol)Next: (Bob|Carol) from \S", self.text_of("#oncall-list"))
        self.assertIsNotNone(shown, self.text_of("#oncall-list"))
        self.assertNotEqual(shown.group(1), shown.group(2))
        # The handoff in the viewer's local time, not raw UTC.
        self.assertNotRegex(self.text_of("#oncall-list"), r"\d{4}-\d\d-\d\dT\d\d:")
        self.assertEqual(self.text_of("#incidents-live"), "(live)")
        status, _, opened = self.api.request("POST", "/v1/hooks/webhook/pager", {
            "status": "firing", "group": "backup", "summary": "The backup failed",
            "labels": {"alertname": "BackupFailed"}})
        self.assertEqual((status, opened["action"]), (200, "incident opened"))
        incident = opened["incident"]
        row = "tr[data-incident='%s']" % incident
        wait_for(lambda: b.find_elements(By.CSS_SELECTOR, row), what="the incident to appear without a reload")
        self.assertIn("open", self.text_of(row))
        # Rows are drawn again as events come: the link is clicked where it is now.
        b.execute_script("document.querySelector(arguments[0]).click()", row + " a")
        self.wait_text("#incident-detail-state", "open")
        self.assertEqual(self.active_id(), "incident-heading")
        self.assertEqual(self.text_of("#incident-text"), "Firing: BackupFailed. The backup failed.")
        wait_for(lambda: "step 1 called bob" in self.text_of("#incident-timeline"),
                 what="the first step in the timeline")
        self.find("#incident-acknowledge").click()
        wait_for(lambda: self.find("#incident-dialog").is_displayed(), what="the confirmation")
        self.shot("8-incident-confirm")
        self.find("#incident-keep").click()
        self.assertEqual(self.active_id(), "incident-acknowledge")
        self.assertEqual(self.api.request("GET", "/v1/incidents/" + incident)[2]["state"], "open")
        self.find("#incident-acknowledge").click()
        wait_for(lambda: self.find("#incident-dialog").is_displayed(), what="the confirmation")
        self.find("#incident-confirm").click()
        self.wait_text("#incident-detail-state", "acknowledged")
        self.assertEqual(self.text_of("#incident-result"), "Acknowledged.")
        acknowledged = self.api.request("GET", "/v1/incidents/" + incident)[2]
        self.assertEqual((acknowledged["state"], acknowledged["acknowledgedBy"]), ("acknowledged", "desk"))
        wait_for(lambda: "acknowledged by desk (API)" in self.text_of("#incident-timeline"),
                 what="the acknowledgement in the timeline")
        wait_for(lambda: "desk" in self.text_of(row), what="the list to follow")
        self.assertFalse(self.find("#incident-acknowledge").is_enabled())
        # A change made elsewhere reaches the console through the stream.
        status, _, _ = self.api.request("POST", "/v1/hooks/webhook/pager", {"status": "resolved", "group": "backup"})
        self.assertEqual(status, 200)
        self.wait_text("#incident-detail-state", "resolved")
        wait_for(lambda: "resolved" in self.text_of(row), what="the list to follow")
        self.assertTrue(b.execute_script("return window.notReloaded === true"))
        self.shot("9-incident")
        self.assert_accessible("the console with an incident at 1280 pixels")

        # On a phone's screen nothing needs scrolling sideways but the tables.
        b.set_window_size(390, 844)
        wait_for(lambda: b.execute_script("return window.innerWidth") <= 400, what="the narrow window")
        self.assertLessEqual(b.execute_script("return document.documentElement.scrollWidth"),
                             b.execute_script("return window.innerWidth"))
        # IDs stay on one line: the table scrolls sideways in its region.
        link = self.find("tr[data-id='%s'] a" % second)
        self.assertLess(link.size["height"], 2 * b.execute_script(
            "return parseFloat(getComputedStyle(arguments[0]).lineHeight)", link))
        self.shot("7-phone")
        self.assert_accessible("the console at 390 pixels")

        # A token without the scope respond reads the incidents but has no
        # buttons to act on them.
        self.find("#forget-token").click()
        wait_for(lambda: self.find("#token").is_displayed(), what="the token to be asked for")
        self.find("#token").send_keys(tokens()["all"], Keys.ENTER)
        wait_for(lambda: b.find_elements(By.CSS_SELECTOR, row), what="the incidents of the other token")
        b.execute_script("document.querySelector(arguments[0]).click()", row + " a")
        self.wait_text("#incident-detail-state", "resolved")
        self.assertFalse(self.find("#incident-actions").is_displayed())
        self.assertTrue(self.find("#incident-readonly").is_displayed())
        self.assertEqual(self.text_of("#incident-result"), "")  # the other token's action is not shown
        self.shot("10-incident-read-only")
        self.assert_accessible("an incident for a token without respond at 390 pixels")
        errors = [entry for entry in b.get_log("browser") if entry["level"] == "SEVERE"
                  and "401" not in entry["message"] and "/parts" not in entry["message"]
                  and "/v1/incidents/-/" not in entry["message"]]
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
