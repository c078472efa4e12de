"""A real `kelvane-collector` for the Python tests: `serve` as a process of its own on a
127.0.0.1 port, and the one-shot commands (export, announce, forget) run against its database.

KELVANE_COLLECTOR names the program."""

import glob
import http.client
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

COLLECTOR = os.environ.get("KELVANE_COLLECTOR", "")

COMMON = {
    "APIVersion": "1.0",
    "AppID": "101",
    "AppSessionID": "session-1",
    "AppVersion": "1.0.0",
    "BrandID": "7",
    "DateTimeClient": "20261211090000",
    "OS": "Linux",
    "OSVersion": "12",
    "UserID": "user-1",
}


def require_collector():
    if not COLLECTOR or not os.access(COLLECTOR, os.X_OK):
        raise RuntimeError("KELVANE_COLLECTOR must name the built kelvane-collector (it is %r)"
                           % COLLECTOR)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def event(method, **fields):
    body = dict(COMMON)
    body["Method"] = method
    body.update(fields)
    return body


def body_of(event_object):
    """The request body exactly as the program sends it: the JSON raw after PostData=, keys in
    order, one Latin-1 byte per character, and a closing &."""
    text = json.dumps(event_object, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return b"PostData=" + text.encode("latin-1", "replace") + b"&"


HEADERS = {"Content-Type": "application/x-www-form-urlencoded"}


def post(connection, event_object, path="/API/"):
    """Sends one event on a (keep-alive) http.client connection; the answer's object."""
    connection.request("POST", path, body=body_of(event_object), headers=HEADERS)
    reply = connection.getresponse()
    data = reply.read()
    return json.loads(data.decode("latin-1"))


def run_command(*arguments, check=True):
    result = subprocess.run([COLLECTOR, *arguments], capture_output=True, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError("kelvane-collector %s ended with %d: %s"
                             % (" ".join(arguments), result.returncode,
                                result.stderr.decode("utf-8", "replace")))
    return result


def export(database):
    """Every stored event's object, oldest first."""
    output = run_command("export", "--database", database).stdout.decode("utf-8")
    return [json.loads(line) for line in output.splitlines() if line.strip()]


def announce(database, app_id, version, message, url, brand_id=None, required=False):
    arguments = ["announce", "--database", database, "--app-id", str(app_id),
                 "--version", version, "--message", message, "--url", url]
    if brand_id is not None:
        arguments += ["--brand-id", str(brand_id)]
    if required:
        arguments.append("--required")
    run_command(*arguments)


def forget(database, user_id):
    run_command("forget", "--database", database, "--user-id", user_id)


class Collector:
    """`kelvane-collector serve` on a port of 127.0.0.1; its standard error goes to a file
    that failures quote."""

    def __init__(self, database, port=None, options=()):
        self.database = database
        self.port = port or free_port()
        self.options = list(options)
        self.process = None
        self.log = tempfile.NamedTemporaryFile(prefix="kelvane-collector-", suffix=".log",
                                               delete=False)

    def start(self, timeout=30.0):
        self.process = subprocess.Popen(
            [COLLECTOR, "serve", "--listen", "127.0.0.1:%d" % self.port,
             "--database", self.database, *self.options],
            stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the collector ended with %d while starting: %s"
                                     % (self.process.returncode, self.diagnostics()))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise AssertionError("the collector did not listen within %g s: %s"
                             % (timeout, self.diagnostics()))

    def connection(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def send(self, event_object):
        connection = self.connection()
        try:
            return post(connection, event_object)
        finally:
            connection.close()

    def diagnostics(self):
        with open(self.log.name, "rb") as log:
            return log.read().decode("utf-8", "replace")[-4000:]

    def kill(self):
        """SIGKILL: no chance to flush, close or say goodbye."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        if self.process:
            self.process.wait(30)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
                raise AssertionError("the collector did not end within 30 s of SIGTERM")
        return self.process.returncode if self.process else None

    def close(self):
        """For cleanups: ends the process whatever state it is in and removes the log."""
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self.log.close()
        if os.path.exists(self.log.name):
            os.unlink(self.log.name)


def postgres_bin():
    """The newest installed PostgreSQL's server programs, or None."""
    def version(path):
        name = path.split("/")[4]
        return [int(part) for part in name.split(".") if part.isdigit()]
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=version)
    return os.path.dirname(found[-1]) if found else None


class PostgresCluster:
    """A PostgreSQL server of the test's own: a fresh cluster in a temporary folder, reached
    only through a Unix socket there. As root it runs as "postgres", since PostgreSQL refuses
    to run as root."""

    def __init__(self, bin_dir):
        self.bin = bin_dir
        self.root = tempfile.mkdtemp(prefix="kelvane-pg-")
        self.data = os.path.join(self.root, "data")
        self.port = free_port()
        self.running = False
        self.as_user = []
        if os.geteuid() == 0:
            account = pwd.getpwnam("postgres")
            os.chown(self.root, account.pw_uid, account.pw_gid)
            self.as_user = ["runuser", "-u", "postgres", "--"]

    def run(self, program, *arguments):
        result = subprocess.run([*self.as_user, os.path.join(self.bin, program), *arguments],
                                capture_output=True, timeout=120)
        if result.returncode != 0:
            raise AssertionError("%s failed: %s" % (program,
                                                    result.stderr.decode("utf-8", "replace")))

    def start(self):
        self.run("initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                 "--locale=C", "--no-sync")
        # No TCP at all; fsync stays on, since what is committed must outlive the collector.
        options = "-c listen_addresses='' -k '%s' -p %d -c fsync=on" % (self.root, self.port)
        self.run("pg_ctl", "-D", self.data, "-l", os.path.join(self.root, "server.log"), "-w",
                 "-t", "60", "-o", options, "start")
        self.running = True
        return self

    def uri(self, database="postgres"):
        return "postgresql:///%s?host=%s&port=%d&user=postgres" % (
            database, urllib.parse.quote(self.root, safe=""), self.port)

    def stop(self):
        if self.running:
            self.running = False
            self.run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")
        shutil.rmtree(self.root, ignore_errors=True)


def small_disk(test_case, folder, size="1m"):
    """A tmpfs of the size on the folder, unmounted when the test ends; skips the test where
    mounting is not permitted."""
    os.makedirs(folder, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        test_case.skipTest("a %s tmpfs for a full disk cannot be mounted here (needs root and "
                           "mount permission): %s" % (size, mounted.stderr.strip()))
    test_case.addCleanup(subprocess.run, ["umount", "-l", folder])
    return folder


def fill(folder):
    """Writes a file into the folder until its disk is full; gives the file's path."""
    path = os.path.join(folder, "filler")
    chunk = b"\0" * 4096
    with open(path, "wb", buffering=0) as filler:
        try:
            while True:
                filler.write(chunk)
        except OSError:
            pass
    return path
