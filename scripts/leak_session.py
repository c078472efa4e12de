"""One whole session of the real program under LeakSanitizer, driven as a person drives it:
start, convert a small FLAC, cancel a second conversion, close. Fails when a leak is made by the
program's own code (scripts/leak_report.py decides whose each leak is) or when any other
sanitizer report appears; leaks made by libraries are named and counted but do not fail. A
second test runs a probe that leaks on purpose and requires the same check to fail it.

The program must be built with -fsanitize=address (scripts/sanitize.sh builds one). Run with the
end-to-end suite's environment (KELVANE_E2E_PROGRAM, KELVANE_E2E_SERVER, KELVANE_E2E_PORT) and
KELVANE_LEAK_PROBE, the probe's path:
    /usr/bin/python3 scripts/leak_session.py -v"""

import glob
import os
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))

from harness import CONVERT, PROGRAM, SAMPLE_CONFIGURATION, TITLE, ProgramDriver  # noqa: E402
from leak_report import Verdict, read_report  # noqa: E402

# FFmpeg's arealtime filter converts no faster than the music plays, so the second conversion is
# still running when it is cancelled, however fast the machine is.
CONFIGURATION = dict(SAMPLE_CONFIGURATION,
                     FFMPEGArguments="-y -vn -af arealtime -codec:a libmp3lame -b:a 192k")

# Full unwinding on every allocation: Qt and its libraries are built without frame pointers,
# and the quick unwinder stops at the first of their frames, which would hide who called them.
ASAN_OPTIONS = ("detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:"
                "detect_stack_use_after_return=0:log_path=")


def read_reports(pattern):
    """Leaks and other reports (sanitizer errors, runtime errors) in the files written."""
    leaks, errors = [], []
    for path in sorted(glob.glob(pattern)):
        with open(path, errors="replace") as report:
            found, other = read_report(report.read())
        leaks += found
        errors += other
    return leaks, errors


def print_reports(pattern):
    for path in sorted(glob.glob(pattern)):
        with open(path, errors="replace") as report:
            print(report.read())


class LeakSession(ProgramDriver):
    def start(self):
        root = self.installation.root
        self.reports = os.path.join(root, "sanitizer")
        self.installation.start(
            self.x, ASAN_OPTIONS=ASAN_OPTIONS + self.reports,
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=" + self.reports)
        self.window = self.x.wait_for_window(TITLE, timeout=60)
        return self.window

    def test_convert_cancel_close(self):
        with open(PROGRAM, "rb") as program:
            self.assertIn(b"LeakSanitizer", program.read(),
                          PROGRAM + " is not built with -fsanitize=address")
        installation = self.install(configuration=CONFIGURATION)
        server = self.serve()
        try:
            self.drive(installation, server)
        except AssertionError:
            print("\nThe program's last output:\n" + installation.diagnostics()[-4000:])
            raise
        status = self.close_and_wait(timeout=120)
        self.assertEqual(server.methods()[-1], "AppClosed")
        self.judge(status)

    def drive(self, installation, server):
        short = installation.make_flac("short.flac", seconds=1)
        long = installation.make_flac("long.flac", seconds=120)
        self.start()
        server.wait_for("AppOpened", timeout=60)

        self.choose_file(short)
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCompleted", timeout=60)
        self.assertGreater(os.path.getsize(os.path.join(installation.desktop, "short.mp3")), 0)

        self.choose_file(long)
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionStarted", count=2)
        time.sleep(2)  # long enough for progress lines to be read
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCancelled")
        server.wait_for("ConversionCompleted", count=2)
        self.assertFalse(os.path.exists(os.path.join(installation.desktop, "long.mp3")))

    def judge(self, status):
        leaks, errors = read_reports(self.reports + ".*")
        verdict = Verdict(leaks, [SOURCE_DIR, os.path.dirname(PROGRAM), self.installation.root])
        print("\nLeak check: " + verdict.summary())
        print("Other sanitizer reports: %d; exit status %d" % (len(errors), status))
        if verdict.failing or errors:
            print_reports(self.reports + ".*")
        self.assertEqual(errors, [])
        self.assertEqual([leak.header for leak in verdict.failing], [])
        # Leaks that are not ours end the program with LeakSanitizer's status, 1 here.
        self.assertIn(status, (0, 1) if leaks else (0,))

    def test_probe_leak_is_caught(self):
        """The same check fails a program whose own code leaks a parentless object."""
        probe = os.environ["KELVANE_LEAK_PROBE"]
        with tempfile.TemporaryDirectory(prefix="kelvane-leak-probe-") as folder:
            reports = os.path.join(folder, "sanitizer")
            environment = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                               ASAN_OPTIONS=ASAN_OPTIONS + reports,
                               UBSAN_OPTIONS="print_stacktrace=1:log_path=" + reports)
            status = subprocess.run([probe], env=environment).returncode
            leaks, errors = read_reports(reports + ".*")
        verdict = Verdict(leaks, [SOURCE_DIR, os.path.dirname(probe)])
        print("\nProbe: " + verdict.summary())
        self.assertEqual(errors, [])
        self.assertNotEqual(status, 0)
        self.assertTrue(verdict.own, "the probe's leak was not judged the program's own")
        self.assertIn("tests/leak_probe.cpp", verdict.own[0].describe())


if __name__ == "__main__":
    unittest.main()
