"""Durability of what the collector answers SUCCESS to: under load it is killed with SIGKILL
(SQLite, then PostgreSQL), or its disk fills up; afterwards every event that was answered
SUCCESS is stored exactly once and nothing is stored twice.

Environment: KELVANE_COLLECTOR, the kelvane-collector program."""

import collections
import http.client
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from collector_process import (HEADERS, Collector, PostgresCluster, body_of,  # noqa: E402
                               event, export, postgres_bin, require_collector, small_disk)

CONNECTIONS = 32


class Loader:
    """Keep-alive connections that each send one event after another, each with a ConversionID
    of its own, and remember which were sent and which answered SUCCESS."""

    def __init__(self, port, connections=CONNECTIONS, padding=0, prefix="job"):
        self.port = port
        self.prefix = prefix
        self.connections = connections
        self.padding = "x" * padding
        self.lock = threading.Lock()
        self.sent = set()
        self.succeeded = set()
        self.refused = []            # (job, HTTP status, answer) of every answer but SUCCESS
        self.failures = 0            # requests that got no answer at all
        self.counter = itertools.count()
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.work, args=(index,), daemon=True)
                        for index in range(connections)]

    def start(self):
        for thread in self.threads:
            thread.start()
        return self

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(60)
            if thread.is_alive():
                raise AssertionError("a loader connection still waits 60 s after the stop")

    def counts(self):
        with self.lock:
            return len(self.sent), len(self.succeeded), len(self.refused), self.failures

    def next_event(self, worker):
        number = next(self.counter)
        job = "%s-%d" % (self.prefix, number)
        common = dict(UserID="user-%d" % worker, AppSessionID="session-%d" % worker,
                      ConversionID=job)
        # The same mix of events as a conversion sends, with the raw '&', '+', '=' and '%'
        # the program leaves in its bodies.
        kind = number % 3
        if kind == 0:
            return job, event("ConversionStarted", FilePath="/home/u/Müsic & Co",
                              FileName="a+b=c 100%.flac", FileExtension="flac",
                              FileSize=str(number), FormatToConvertTo="mp3",
                              FFMPEGArguments="-y -vn " + self.padding, **common)
        if kind == 1:
            return job, event("ConversionCancelled", ConvertedFileSize="100",
                              ConversionPercentageComplete=40, ConversionDurationInSeconds=3,
                              **common)
        return job, event("ConversionCompleted", ConvertedFileSize=str(number),
                          ConversionDurationInSeconds=7, **common)

    def work(self, worker):
        connection = None
        while not self.stopping.is_set():
            job, body = self.next_event(worker)
            try:
                if connection is None:
                    connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
                with self.lock:
                    self.sent.add(job)
                connection.request("POST", "/API/", body=body_of(body), headers=HEADERS)
                reply = connection.getresponse()
                status, data = reply.status, reply.read()
            except (OSError, http.client.HTTPException):
                # The collector is gone (killed), or closed this connection: try a new one.
                with self.lock:
                    self.failures += 1
                if connection is not None:
                    connection.close()
                    connection = None
                time.sleep(0.02)
                continue
            with self.lock:
                if status_of(data) == "SUCCESS":
                    self.succeeded.add(job)
                else:
                    self.refused.append((job, status, data))
        if connection is not None:
            connection.close()


def status_of(data):
    try:
        return json.loads(data.decode("latin-1")).get("Status")
    except ValueError:
        return None


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out after %g s waiting for %s" % (timeout, what))


class CrashDurability(unittest.TestCase):
    def setUp(self):
        require_collector()
        self.folder = tempfile.mkdtemp(prefix="kelvane-crash-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def collector(self, database, port=None):
        collector = Collector(database, port)
        self.addCleanup(collector.close)
        return collector.start()

    def assert_stored_exactly_once(self, database, loaders, label):
        stored = collections.Counter(
            stored_event.get("ConversionID") for stored_event in export(database)
            if "ConversionID" in stored_event)
        sent = set().union(*(loader.sent for loader in loaders))
        succeeded = set().union(*(loader.succeeded for loader in loaders))
        refused = [job for loader in loaders for job, _, _ in loader.refused]
        failures = sum(loader.failures for loader in loaders)
        print("\n%s: sent %d, SUCCESS %d, refused %d (of them stored %d), no answer %d, "
              "exported %d" % (label, len(sent), len(succeeded), len(refused),
                               sum(1 for job in refused if job in stored), failures,
                               sum(stored.values())), file=sys.stderr)
        self.assertGreater(len(succeeded), 0)
        missing = sorted(succeeded - set(stored))
        self.assertEqual(missing, [], "answered SUCCESS but not stored")
        twice = {job: count for job, count in stored.items() if count > 1}
        self.assertEqual(twice, {}, "stored more than once")
        self.assertEqual(sorted(set(stored) - sent), [], "stored but never sent")

    def kill_under_load(self, database, label, rounds=3):
        """Kills the collector under load, restarts it on the same database, and again."""
        loaders = []
        for round_number in range(rounds):
            collector = self.collector(database)
            loader = Loader(collector.port, prefix="round%d" % round_number).start()
            loaders.append(loader)
            self.addCleanup(loader.stopping.set)
            # Some answers first, so that the kill lands on a collector that is committing.
            wait_until(lambda: loader.counts()[1] >= 100, 120, "100 events answered SUCCESS")
            time.sleep(1 + round_number * 0.5)
            collector.kill()
            loader.stop()
            # Refusals under load may only be "busy, try later".
            for _, status, data in loader.refused:
                self.assertEqual(status, 503, data)

        # It comes back on the same database and takes events again.
        last = self.collector(database)
        answer = last.send(event("AppOpened", UserID="after-restart"))
        self.assertEqual(answer.get("Status"), "SUCCESS", answer)
        self.assertEqual(last.stop(), 0, last.diagnostics())
        self.assert_stored_exactly_once(database, loaders, label)
        self.assertIn("after-restart", [stored.get("UserID") for stored in export(database)])

    def test_sigkill_sqlite(self):
        self.kill_under_load("sqlite:" + os.path.join(self.folder, "events.sqlite"),
                             "SQLite, SIGKILL")

    def test_sigkill_postgresql(self):
        bin_dir = postgres_bin()
        if not bin_dir:
            self.skipTest("PostgreSQL's server programs are not installed "
                          "(/usr/lib/postgresql/*/bin); scripts/install-deps.sh installs them")
        cluster = PostgresCluster(bin_dir)
        self.addCleanup(cluster.stop)
        cluster.start()
        self.kill_under_load(cluster.uri(), "PostgreSQL, SIGKILL")

    def test_full_disk_is_refused_and_loses_nothing(self):
        small = small_disk(self, os.path.join(self.folder, "small"))
        database = "sqlite:" + os.path.join(small, "events.sqlite")
        collector = self.collector(database)

        # Big events, so that the megabyte runs out soon.
        loader = Loader(collector.port, connections=8, padding=2000).start()
        self.addCleanup(loader.stopping.set)
        wait_until(lambda: loader.counts()[2] >= 20, 120, "the full disk to refuse 20 events")
        loader.stop()
        self.assertIsNone(collector.process.poll(), "the collector ended on the full disk")
        self.assertGreater(len(loader.succeeded), 0)
        self.assertEqual(loader.failures, 0, "requests left without an answer")
        statuses = collections.Counter(status for _, status, _ in loader.refused)
        print("\nfull disk: answers refused by HTTP status: %s" % dict(statuses),
              file=sys.stderr)
        for _, status, data in loader.refused:
            self.assertIn(status, (503, 507), data)
            self.assertIn(b'"Status":"ERROR"', data)
            self.assertIn(b'"Reason":', data)

        # Room again: it takes events without a restart.
        subprocess.run(["mount", "-o", "remount,size=16m", small], check=True)
        wait_until(lambda: collector.send(event("AppOpened", UserID="after-room")).get(
            "Status") == "SUCCESS", 60, "an event accepted once there is room")
        self.assertEqual(collector.stop(), 0, collector.diagnostics())
        self.assert_stored_exactly_once(database, [loader], "SQLite, full disk")


if __name__ == "__main__":
    unittest.main()
