"""The installed kelvane-collector service, started as systemd would start it but by hand (no
systemd runs in a fresh root): its ExecStart line from the installed unit, under a user id of
its own from the range systemd gives dynamic users, with no capabilities and no new
privileges, writing only its state folder. Run as root in a network namespace of its own
(unshare --net), so that the configured port 47800 is free whatever runs on the machine:

    unshare --net python3 collector_check.py

Checks that it answers an event with SUCCESS only once it is stored, refuses a malformed body,
keeps the database in /var/lib/kelvane-collector, drops the file's folder and name as the
installed configuration leaves them, and ends on SIGTERM. Leaves the state folder for the
package's purge to remove."""

import fcntl
import json
import os
import shlex
import signal
import socket
import struct
import subprocess
import time
import unittest
import urllib.request

UNIT = "/usr/lib/systemd/system/kelvane-collector.service"
STATE = "/var/lib/kelvane-collector"
SERVICE_UID = 61184 + 4242    # in systemd's range for dynamic users
URL = "http://127.0.0.1:47800/API/"


def loopback_up():
    """A new network namespace has its loopback interface down."""
    siocsifflags, iff_up = 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        fcntl.ioctl(sock, siocsifflags, struct.pack("16sH14x", b"lo", iff_up))


def unit_value(key):
    with open(UNIT) as unit:
        values = [line.split("=", 1)[1].strip() for line in unit if line.startswith(key + "=")]
    return values[-1] if values else None


def as_service_user(command):
    return ["setpriv", "--reuid=%d" % SERVICE_UID, "--regid=%d" % SERVICE_UID, "--clear-groups",
            "--no-new-privs", "--inh-caps=-all", "--bounding-set=-all"] + command


def post(body):
    request = urllib.request.Request(
        URL, data=body, headers={"Content-Type": "application/x-www-form-urlencoded"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.loads(answer.read().decode("latin-1"))
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read().decode("latin-1"))


def event(conversion_id):
    fields = {
        "APIVersion": "1.0", "AppID": "101", "AppSessionID": "session-installed",
        "AppVersion": "1.0.0", "BrandID": "7", "ConversionID": conversion_id,
        "DateTimeClient": "20261211093000", "FFMPEGArguments": "-y -vn",
        "FileExtension": "flac", "FileName": "Caf\u00e9 & Bar.flac",
        "FilePath": "/home/j\u00fcrgen/Music", "FileSize": "31457280",
        "FormatToConvertTo": "mp3", "Method": "ConversionStarted", "OS": "Linux",
        "OSVersion": "12", "UserID": "user-installed",
    }
    # As the program sends it: raw JSON between "PostData=" and "&", one Latin-1 byte a character.
    text = json.dumps(fields, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return b"PostData=" + text.encode("latin-1") + b"&"


class InstalledService(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        loopback_up()
        os.makedirs(STATE, exist_ok=True)
        os.chown(STATE, SERVICE_UID, SERVICE_UID)
        os.chmod(STATE, int(unit_value("StateDirectoryMode") or "0755", 8))
        command = shlex.split(unit_value("ExecStart"))
        cls.log = open("/tmp/kelvane-collector-check.log", "w+")
        os.umask(int(unit_value("UMask") or "0022", 8))
        cls.server = subprocess.Popen(as_service_user(command), cwd="/", stdout=cls.log,
                                      stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while True:
            if cls.server.poll() is not None:
                cls.log.seek(0)
                raise AssertionError("the service ended (%d):\n%s"
                                     % (cls.server.returncode, cls.log.read()))
            try:
                socket.create_connection(("127.0.0.1", 47800), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError("the service does not answer on 127.0.0.1:47800")
                time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        if cls.server.poll() is None:
            cls.server.kill()
            cls.server.wait()
        cls.log.close()

    def test_1_event_is_stored_without_file_names(self):
        status, answer = post(event("conversion-installed"))
        self.assertEqual((status, answer.get("Status")), (200, "SUCCESS"), answer)
        self.assertTrue(os.path.exists(os.path.join(STATE, "collector.db")))
        self.assertEqual(os.stat(os.path.join(STATE, "collector.db")).st_uid, SERVICE_UID)

        exported = subprocess.run(
            as_service_user(["kelvane-collector", "export", "--database",
                             "sqlite:%s/collector.db" % STATE]),
            capture_output=True, check=True).stdout.decode("utf-8").splitlines()
        events = [json.loads(line) for line in exported if line.strip()]
        matching = [stored for stored in events if "conversion-installed" in json.dumps(stored)]
        self.assertEqual(len(matching), 1, exported)
        text = json.dumps(matching[0], ensure_ascii=False)
        self.assertIn("31457280", text)
        self.assertNotIn("Caf\u00e9", text)
        self.assertNotIn("/home/j\u00fcrgen/Music", text)

    def test_2_malformed_body_is_refused(self):
        for body in (b"PostData={\"Method\":\"AppOpened\"&", b"not a form", b"PostData=[]&"):
            with self.subTest(body=body):
                status, answer = post(body)
                self.assertNotEqual(answer.get("Status"), "SUCCESS", answer)
                self.assertGreaterEqual(status, 400)

    def test_3_ends_on_sigterm(self):
        # systemctl stop sends SIGTERM; a clean end is status 0.
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(20), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
