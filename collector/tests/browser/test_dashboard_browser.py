"""The dashboard in a real headless Chromium against a real `kelvane-collector serve`.

Environment:
  KELVANE_COLLECTOR   the kelvane-collector program (required)
  KELVANE_SCREENSHOT  where to save a picture of the overview (optional)
The test loads its events through the API as the program sends them, creates the account with
the `account` command, logs in through the form and reads the figures off the page.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.support.ui import Select, WebDriverWait

COLLECTOR = os.environ.get("KELVANE_COLLECTOR", "")
SCREENSHOT = os.environ.get("KELVANE_SCREENSHOT", "")
CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
PASSWORD = "s3cret & more+"

COMMON = {
    "APIVersion": "1.0",
    "AppID": "7",
    "AppSessionID": "session-1",
    "AppVersion": "1.0",
    "BrandID": "0",
    "DateTimeClient": "20261211090000",
    "OS": "Linux",
    "OSVersion": "12",
    "UserID": "user-1",
}


def event(method, **fields):
    body = dict(COMMON)
    body["Method"] = method
    body.update(fields)
    return body


def conversion(job, fmt, outcome, seconds):
    """The events the program sends for one job, outcome "completed", "cancelled" or an
    error code."""
    events = [event("ConversionStarted", ConversionID=job, FilePath="/home/u/Music",
                    FileName="a b&c.flac", FileExtension="flac", FileSize="1000",
                    FormatToConvertTo=fmt, FFMPEGArguments="-i x")]
    if outcome == "completed":
        events.append(event("ConversionCompleted", ConversionID=job, ConvertedFileSize="500",
                            ConversionDurationInSeconds=seconds))
    elif outcome == "cancelled":
        events.append(event("ConversionCancelled", ConversionID=job, ConvertedFileSize="100",
                            ConversionPercentageComplete=40,
                            ConversionDurationInSeconds=seconds))
        events.append(event("ConversionCompleted", ConversionID=job, ConvertedFileSize="100",
                            ConversionDurationInSeconds=seconds))
    else:
        events.append(event("AppFailed", ErrorCode=outcome, DebugInfo="exit 1"))
    return events


# 3 new users (de_DE twice, fr_FR), 2 installs, 4 openings (one on "Débian 12", sent in
# Latin-1); 5 conversions: mp3 in 3, 5 and 8 s, one mp3 cancelled, one flac failed with EC4;
# one EC1 failure outside any conversion.
DATA_SET = (
    [event("NewUser", Email="", OSLocale="de_DE", OSCurrencySymbol="EUR",
           OSTimeZone="") for _ in range(2)]
    + [event("NewUser", Email="zoé@example.org", OSLocale="fr_FR", OSCurrencySymbol="EUR",
             OSTimeZone="")]
    + [event("AppInstalled", OSLocale="de_DE") for _ in range(2)]
    + [event("AppOpened") for _ in range(3)]
    + [event("AppOpened", OSVersion="Débian 12")]
    + conversion("j1", "mp3", "completed", 3)
    + conversion("j2", "mp3", "completed", 8)
    + conversion("j3", "mp3", "completed", 5)
    + conversion("j4", "mp3", "cancelled", 2)
    + conversion("j5", "flac", "EC4", 0)
    + [event("AppFailed", ErrorCode="EC1", DebugInfo="")]
)

EXPECTED = {
    "total-new-users": "3",
    "total-installs": "2",
    "total-opens": "4",
    "conversions-started": "5",
    "conversions-completed": "3",
    "conversions-cancelled": "1",
    "conversions-failed": "1",
    "conversions-completed-rate": "60.0%",
    "conversions-cancelled-rate": "20.0%",
    "conversions-failed-rate": "20.0%",
    "error-EC1": "1",
    "error-EC4": "1",
    "error-EC2": "0",
    "duration-mp3-count": "3",
    "duration-mp3-median": "5",
    "duration-mp3-p95": "8",
}


def post_event(api, body):
    """POSTs the event exactly as the program does: the JSON raw after PostData=, one byte
    per character in Latin-1, and a closing &."""
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    data = b"PostData=" + text.encode("latin-1", "replace") + b"&"
    request = urllib.request.Request(
        api, data=data, headers={"Content-Type": "application/x-www-form-urlencoded"})
    with urllib.request.urlopen(request, timeout=30) as reply:
        return json.loads(reply.read().decode("latin-1"))


class DashboardInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not COLLECTOR or not os.access(COLLECTOR, os.X_OK):
            raise unittest.SkipTest("KELVANE_COLLECTOR does not name the collector program")
        cls.dir = tempfile.mkdtemp(prefix="kelvane-dashboard-")
        os.environ["HOME"] = cls.dir
        cls.database = "sqlite:" + os.path.join(cls.dir, "collector.db")
        cls.log = open(os.path.join(cls.dir, "collector.log"), "w+")
        # Port 0: the system picks a free port, and the collector says which.
        cls.server = subprocess.Popen(
            [COLLECTOR, "serve", "--database", cls.database, "--listen", "127.0.0.1:0"],
            stdout=cls.log, stderr=subprocess.STDOUT)
        cls.origin = cls.wait_for_origin()
        cls.driver = None

        for body in DATA_SET:
            answer = post_event(cls.origin + "/API/", body)
            assert answer.get("Status") == "SUCCESS", (body, answer)
        account = subprocess.run(
            [COLLECTOR, "account", "--database", cls.database, "--name", "admin"],
            input=(PASSWORD + "\n").encode(), capture_output=True, timeout=60)
        assert account.returncode == 0, account.stderr

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--window-size=1280,1000",
                     "--user-data-dir=" + os.path.join(cls.dir, "chromium")):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.driver.set_page_load_timeout(60)

    @classmethod
    def wait_for_origin(cls):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            cls.log.seek(0)
            found = re.search(r"dashboard at (http://127\.0\.0\.1:\d+)/", cls.log.read())
            if found:
                return found.group(1)
            if cls.server.poll() is not None:
                break
            time.sleep(0.05)
        cls.log.seek(0)
        raise AssertionError("the collector did not start: " + cls.log.read())

    @classmethod
    def tearDownClass(cls):
        if cls.driver:
            cls.driver.quit()
        cls.server.terminate()
        cls.server.wait(timeout=30)
        cls.log.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text.strip()

    def click_and_wait(self, element):
        """Clicks a link or button and waits until its page has been replaced: a form's answer
        can take a while (a login hashes the password)."""
        element.click()

        def replaced(_):
            try:
                element.is_enabled()
                return False
            except WebDriverException:
                # Stale, or (while the new page is being built) "does not belong to the
                # document": either way the old page is gone.
                return True

        WebDriverWait(self.driver, 60).until(replaced)

    def log_in(self, password):
        self.driver.get(self.origin + "/")
        self.assertTrue(self.driver.current_url.endswith("/login"), self.driver.current_url)
        self.driver.find_element(By.ID, "name").send_keys("admin")
        self.driver.find_element(By.ID, "password").send_keys(password)
        self.click_and_wait(self.driver.find_element(By.CSS_SELECTOR, "form.login button"))

    def update_offered(self, expected=True):
        """The update the collector offers with an opening, once it has read the announcements
        again (it does so every few seconds)."""
        deadline = time.monotonic() + 30
        while True:
            answer = post_event(self.origin + "/API/", event("AppOpened"))
            self.assertEqual(answer["Status"], "SUCCESS")
            update = answer.get("Contents", {}).get("Update")
            if (update is not None) == expected or time.monotonic() > deadline:
                return update
            time.sleep(0.5)

    def csp_violations(self):
        return [entry["message"] for entry in self.driver.get_log("browser")
                if "Content Security Policy" in entry["message"]]

    def test_dashboard(self):
        driver = self.driver
        self.log_in("wrong password")
        self.assertIn("not right", self.text("login-error"))
        self.assertIsNone(driver.get_cookie("kelvane_session"))

        self.log_in(PASSWORD)
        self.assertEqual(driver.current_url, self.origin + "/")
        session = driver.get_cookie("kelvane_session")
        self.assertTrue(session["httpOnly"])
        self.assertEqual(session["sameSite"], "Strict")

        # Choose the application and version through the form, as a user would.
        Select(driver.find_element(By.ID, "app")).select_by_value("7")
        Select(driver.find_element(By.ID, "version")).select_by_value("1.0")
        self.click_and_wait(driver.find_element(By.CSS_SELECTOR, "form.choice button"))
        self.assertIn("app=7", driver.current_url)
        for element_id, expected in EXPECTED.items():
            with self.subTest(figure=element_id):
                self.assertEqual(self.text(element_id), expected)
        os_versions = driver.find_element(By.ID, "os-versions").text
        self.assertIn("Débian 12", os_versions)
        self.assertIn("de_DE", driver.find_element(By.ID, "locales").text)

        # The stylesheet applies under the policy, and the policy blocked nothing.
        header = driver.find_element(By.TAG_NAME, "header")
        self.assertEqual(header.value_of_css_property("background-color"), "rgba(31, 59, 87, 1)")
        self.assertEqual(self.csp_violations(), [])
        self.assertTrue(driver.find_element(By.ID, "usage-chart-title"))

        if SCREENSHOT:
            height = driver.execute_script("return document.documentElement.scrollHeight")
            driver.set_window_size(1280, min(max(height, 800), 2400))
            os.makedirs(os.path.dirname(os.path.abspath(SCREENSHOT)), exist_ok=True)
            self.assertTrue(driver.save_screenshot(SCREENSHOT))
            driver.set_window_size(1280, 1000)

        # An announcement made through the form reaches the program with its next opening.
        self.click_and_wait(driver.find_element(By.LINK_TEXT, "Update announcements"))
        driver.find_element(By.ID, "app").send_keys("7")
        driver.find_element(By.ID, "version").send_keys("2.0.1")
        driver.find_element(By.ID, "message").send_keys("Version 2.0.1 is out")
        driver.find_element(By.ID, "url").send_keys("https://example.org/kelvane")
        self.click_and_wait(driver.find_element(By.CSS_SELECTOR, "form.announce button"))
        self.assertEqual(driver.current_url, self.origin + "/announcements")
        self.assertIn("Version 2.0.1 is out", self.text("announcements"))
        self.assertEqual(self.update_offered()["Message"], "Version 2.0.1 is out")

        self.click_and_wait(driver.find_element(By.CSS_SELECTOR, "#announcements button"))
        self.assertEqual(driver.find_element(By.ID, "no-announcements").tag_name, "p")
        self.assertEqual(self.csp_violations(), [])
        self.assertIsNone(self.update_offered(expected=False))

        self.click_and_wait(driver.find_element(By.CSS_SELECTOR, "form.logout button"))
        self.assertTrue(driver.current_url.endswith("/login"))
        driver.get(self.origin + "/")
        self.assertTrue(driver.current_url.endswith("/login"))


if __name__ == "__main__":
    unittest.main()
