"""One whole session of the real program under LeakSanitizer, driven as a person drives it:
start, convert a small FLAC, cancel a second conversion, close. Fails when a leak is made in
the program's own code (a stack frame in app/, ui/, config/ or telemetry/) or when any other
sanitizer report appears; leaks made by libraries alone are listed but do not fail.

The program must be built with -fsanitize=address (scripts/sanitize.sh builds one). Run with the
end-to-end suite's environment (KELVANE_E2E_PROGRAM, KELVANE_E2E_SERVER, KELVANE_E2E_PORT):
    /usr/bin/python3 scripts/leak_session.py -v"""

import glob
import os
import re
import sys
import time
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from harness import CONVERT, PROGRAM, SAMPLE_CONFIGURATION, TITLE, ProgramDriver  # noqa: E402

# FFmpeg's arealtime filter converts no faster than the music plays, so the second conversion is
# still running when it is cancelled, however fast the machine is.
CONFIGURATION = dict(SAMPLE_CONFIGURATION,
                     FFMPEGArguments="-y -vn -af arealtime -codec:a libmp3lame -b:a 192k")

# A frame in the program's own sources, wherever the tree that was built lies.
OWN_FRAME = re.compile(r" (?!/usr/)/\S*/(app|ui|config|telemetry)/[^/\s]+(/[^/\s]+)*:\d+")

# Leaks inside libraries, each matched by a function or library on its stack. Each is made once
# per process, whatever the session does; the stacks below were read with full unwinding.
SUPPRESSIONS = """
# The script runtime's per-thread data, allocated by the first QScriptEngine of a thread.
leak:QScriptEngine::QScriptEngine
# QtWebKit's frame set-up, on the first load of a view, keeps three blocks it never frees.
leak:QWebFrameAdapter::init
# libdbus's read buffer on Qt's D-Bus thread, still in use when the process ends.
leak:libdbus-1.so
"""


class Leak:
    def __init__(self, header):
        self.header = header
        self.frames = []

    def own_frames(self):
        return [frame for frame in self.frames if OWN_FRAME.search(frame)]


def read_reports(pattern):
    """Leaks and other reports (sanitizer errors, runtime errors) in the files written."""
    leaks, errors = [], []
    for path in sorted(glob.glob(pattern)):
        with open(path, errors="replace") as report:
            lines = report.read().splitlines()
        leak = None
        for line in lines:
            if re.match(r"(Direct|Indirect) leak of ", line):
                leak = Leak(line)
                leaks.append(leak)
            elif leak and re.match(r"\s+#\d+ ", line):
                leak.frames.append(line.strip())
            else:
                leak = None
                if ("ERROR: " in line and "LeakSanitizer" not in line) \
                        or "runtime error:" in line:
                    errors.append(line.strip())
    return leaks, errors


class LeakSession(ProgramDriver):
    def start(self):
        root = self.installation.root
        self.reports = os.path.join(root, "sanitizer")
        suppressions = os.path.join(root, "lsan.supp")
        with open(suppressions, "w") as file:
            file.write(SUPPRESSIONS)
        # Full unwinding on every allocation: Qt and its libraries are built without frame
        # pointers, and the quick unwinder stops at the first of their frames, which would
        # hide who called them.
        self.installation.start(
            self.x,
            ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:"
                         "detect_stack_use_after_return=0:log_path=" + self.reports,
            LSAN_OPTIONS="suppressions=%s:print_suppressions=1" % suppressions,
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
        own = [leak for leak in leaks if leak.own_frames()]
        print("\nLeak summary: %d leak(s) left after suppressions, %d in the program's own "
              "code, %d in libraries alone; %d other sanitizer report(s); exit status %d"
              % (len(leaks), len(own), len(leaks) - len(own), len(errors), status))
        for leak in leaks:
            where = leak.own_frames()[:1] or leak.frames[1:2] or ["?"]
            print("  %s\n      %s" % (leak.header, where[0]))
        for path in sorted(glob.glob(self.reports + ".*")):
            if own or errors:
                with open(path, errors="replace") as report:
                    print(report.read())
        self.assertEqual(errors, [])
        self.assertEqual([leak.header for leak in own], [])
        # Leaks that are not ours end the program with LeakSanitizer's status, 1 here.
        self.assertIn(status, (0, 1) if leaks else (0,))


if __name__ == "__main__":
    unittest.main()
