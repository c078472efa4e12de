"""End-to-end: the built program in a real X server, driven as a person drives it. Checks only
the observable contract: what the server receives and in which order, files on the desktop,
what the desktop is asked to open, windows that appear, exit codes."""

import json
import os
import time
import unittest

from harness import (CONVERT, HELP, HOMEPAGE, SHOW_FILES, TITLE, ProgramDriver, read_text,
                     wait_until)


# A converter that reports a duration and one position, leaves a partial output, then works on
# until it is stopped.
SLOW_CONVERTER = r"""
echo $$ > "$(dirname "$0")/pid"
for last; do :; done
printf 'partial output' > "$last"
printf 'Input #0, flac, from '"'"'x.flac'"'"':\n  Duration: 00:01:40.00, start: 0.000000\n' >&2
sleep 0.3
printf 'size=     768kB time=00:00:42.00 bitrate= 192.0kbits/s speed=1x    \r' >&2
exec sleep 120
"""


def update_answer(required):
    contents = {"Update": {"Required": required, "Message": "Kelvane 2 is here.",
                           "BrowsableURL": "https://www.kelvane.example/update"}}
    return "AppOpened=" + json.dumps({"Status": "SUCCESS", "Contents": contents})


class UserPaths(ProgramDriver):
    # -- start-up and close ---------------------------------------------------------------

    def test_first_start_then_later_start(self):
        self.install(converter=None)
        server = self.serve()
        self.start()
        server.wait_for("AppFailed")
        server.wait_for("AppOpened")
        server.wait_for("AppInstalled")
        server.wait_for("NewUser")
        events = server.events()
        self.assertEqual(sorted(server.methods()),
                         ["AppFailed", "AppInstalled", "AppOpened", "NewUser"])
        self.assertEqual(len({event["UserID"] for event in events}), 1)
        self.assertEqual(len({event["AppSessionID"] for event in events}), 1)
        failure = [event for event in events if event["Method"] == "AppFailed"][0]
        self.assertEqual(failure["ErrorCode"], "EC1")
        app = self.installation.app
        self.assertEqual(failure["DebugInfo"],
                         "Looked for FFMPEG at this path: %s/ffmpeg-win/ffmpeg.exe\n"
                         "Configuration::PathForApplicationFolder() = %s\n" % (app, app))
        # Let both confirmations be handled before closing.
        wait_until(lambda: "NewUser Success!" in self.installation.diagnostics()
                   and "AppInstalled Success!" in self.installation.diagnostics(),
                   what="both confirmations handled")
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(server.methods()[-1], "AppClosed")
        user = events[0]["UserID"]

        self.installation.set_converter("ffmpeg")
        first_run = len(server.bodies())
        self.start()
        server.wait_for("AppOpened", count=2)
        self.assertEqual(self.close_and_wait(), 0)
        later = server.events()[first_run:]
        self.assertEqual([event["Method"] for event in later], ["AppOpened", "AppClosed"])
        self.assertEqual({event["UserID"] for event in later}, {user})
        self.assertNotEqual(later[0]["AppSessionID"], events[0]["AppSessionID"])

    def test_start_after_refused_registration(self):
        self.install()
        server = self.serve("--answer", "*={\"Status\":\"REFUSED\"}")
        self.start()
        server.wait_for("AppOpened")
        wait_until(lambda: "AppInstalled Failed!" in self.installation.diagnostics()
                   and "NewUser Failed!" in self.installation.diagnostics(),
                   what="both refusals handled")
        self.assertEqual(self.close_and_wait(), 0)
        user = server.events()[0]["UserID"]
        first_run = len(server.bodies())

        self.start()
        server.wait_for("AppOpened", count=2)
        self.assertEqual(self.close_and_wait(), 0)
        later = server.events()[first_run:]
        self.assertEqual(sorted(event["Method"] for event in later),
                         ["AppClosed", "AppInstalled", "AppOpened", "NewUser"])
        self.assertEqual({event["UserID"] for event in later}, {user})

    def test_close_waits_for_slow_server(self):
        self.install()
        server = self.serve("--delay", "AppClosed=2000")
        self.start()
        server.wait_for("AppOpened")
        started = time.monotonic()
        self.x.close(self.window)
        self.x.wait_until_gone(TITLE, timeout=1.5)
        server.wait_for("AppClosed")
        self.assertIsNone(self.installation.process.poll())
        self.assertEqual(self.installation.wait_for_exit(20), 0)
        self.assertGreaterEqual(time.monotonic() - started, 1.9)

    def test_close_gives_up_on_silent_server(self):
        self.install()
        server = self.serve("--never", "AppClosed")
        self.start()
        server.wait_for("AppOpened")
        started = time.monotonic()
        self.x.close(self.window)
        self.x.wait_until_gone(TITLE, timeout=1.5)
        self.assertEqual(self.installation.wait_for_exit(30), 0)
        waited = time.monotonic() - started
        self.assertGreaterEqual(waited, 4.5)
        self.assertEqual(server.methods()[-1], "AppClosed")

    # -- converting -----------------------------------------------------------------------

    def test_converts_flac_to_mp3_on_desktop(self):
        self.install()
        server = self.serve()
        source = self.installation.make_flac("Summer Mix & More.b.flac", seconds=8)
        with open(source, "rb") as original:
            source_bytes = original.read()
        self.start()
        self.convert(source)
        server.wait_for("ConversionCompleted", timeout=60)

        output = os.path.join(self.installation.desktop, "Summer Mix & More.mp3")
        self.assertTrue(os.path.getsize(output) > 10000)
        with open(output, "rb") as mp3:
            head = mp3.read(3)
        self.assertTrue(head == b"ID3" or head[0] == 0xFF, head)
        with open(source, "rb") as after:
            self.assertEqual(after.read(), source_bytes)
        started = [e for e in server.events() if e["Method"] == "ConversionStarted"][0]
        completed = [e for e in server.events() if e["Method"] == "ConversionCompleted"][0]
        self.assertEqual(started["FileName"], "Summer Mix & More.b.flac")
        self.assertEqual(started["FileExtension"], "b.flac")
        self.assertEqual(started["FileSize"], str(os.path.getsize(source)))
        self.assertEqual(started["FormatToConvertTo"], "mp3")
        self.assertEqual(completed["ConversionID"], started["ConversionID"])
        self.assertEqual(completed["ConvertedFileSize"], str(os.path.getsize(output)))
        desktop_url = "file://" + self.installation.desktop + "/"
        wait_until(lambda: desktop_url in self.installation.opened(),
                   what="the desktop folder opened")
        self.assertNotIn("AppFailed", server.methods())
        self.assertEqual(self.close_and_wait(), 0)

    def test_cancel_stops_converter_and_removes_partial_output(self):
        server, source, partial, pid = self.start_slow_conversion()
        screenshot = os.environ.get("KELVANE_E2E_SCREENSHOT")
        if screenshot:
            self.x.screenshot(self.window, screenshot)

        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCompleted")
        methods = server.methods()
        self.assertLess(methods.index("ConversionCancelled"), methods.index("ConversionCompleted"))
        events = server.events()
        cancelled = [e for e in events if e["Method"] == "ConversionCancelled"][0]
        completed = [e for e in events if e["Method"] == "ConversionCompleted"][0]
        self.assertEqual(cancelled["ConversionID"], completed["ConversionID"])
        self.assertEqual(cancelled["ConversionPercentageComplete"], 42)
        self.assertEqual(cancelled["ConvertedFileSize"], str(len("partial output")))
        wait_until(lambda: not os.path.exists(partial), what="the partial output removed")
        self.assertRaises(ProcessLookupError, os.kill, pid, 0)
        time.sleep(0.5)
        self.assertEqual(self.x.visible_windows("Converter error"), [])
        self.assertNotIn("AppFailed", server.methods())
        self.assertTrue(os.path.exists(source))
        self.assertEqual(self.close_and_wait(), 0)

    def test_close_during_conversion_removes_partial_output(self):
        server, source, partial, pid = self.start_slow_conversion()

        self.assertEqual(self.close_and_wait(), 0)
        self.assertFalse(os.path.exists(partial))
        self.assertRaises(ProcessLookupError, os.kill, pid, 0)
        self.assertEqual(server.methods()[-1], "AppClosed")
        for method in ("ConversionCancelled", "ConversionCompleted", "AppFailed"):
            self.assertNotIn(method, server.methods())
        self.assertTrue(os.path.exists(source))

    def start_slow_conversion(self):
        """Converts with SLOW_CONVERTER until it has reported 42 % and left its partial output;
        gives the server, the source, the partial output and the converter's process id."""
        self.install(converter=SLOW_CONVERTER)
        server = self.serve()
        source = self.fake_source()
        self.start()
        self.convert(source)
        server.wait_for("ConversionStarted")
        partial = os.path.join(self.installation.desktop, "track.mp3")
        wait_until(lambda: os.path.exists(partial), what="the partial output")
        pid_file = os.path.join(os.path.dirname(self.installation.converter_path), "pid")
        pid = int(wait_until(lambda: read_text(pid_file), what="converter pid"))
        self.wait_for_position_read("00:00:42.00")
        return server, source, partial, pid

    def wait_for_position_read(self, clock):
        """Waits until the program has read the converter's line with this position."""
        wait_until(lambda: "time=" + clock in self.installation.diagnostics(),
                   what="the position %s read" % clock)

    def test_missing_converter_is_explained(self):
        self.install(converter=None)
        server = self.serve()
        source = self.fake_source()
        self.start()
        self.convert(source)
        self.answer_box("Converter error")
        wait_until(lambda: HOMEPAGE in self.installation.opened(), what="the homepage opened")
        failures = [e for e in server.events() if e["Method"] == "AppFailed"]
        self.assertEqual([e["ErrorCode"] for e in failures], ["EC1", "EC2"])
        self.assertTrue(failures[1]["DebugInfo"].startswith(
            "Failed to start FFMPEG. Looked for FFMPEG at this path: "))
        self.assertNotIn("ConversionStarted", server.methods())
        self.assertEqual(self.close_and_wait(), 0)

    def test_help_and_show_files(self):
        self.install()
        self.serve()
        self.start()
        self.x.click(self.window, HELP)
        wait_until(lambda: HOMEPAGE in self.installation.opened(), what="the homepage opened")
        self.x.click(self.window, SHOW_FILES)
        desktop_url = "file://" + self.installation.desktop + "/"
        wait_until(lambda: desktop_url in self.installation.opened(), what="the desktop opened")
        self.assertEqual(self.close_and_wait(), 0)

    # -- updates --------------------------------------------------------------------------

    def test_required_update_ends_program(self):
        self.install()
        server = self.serve("--answer", update_answer(1))
        self.start()
        self.answer_box("Update Available")
        self.assertEqual(self.installation.wait_for_exit(20), 0)
        self.assertIn("https://www.kelvane.example/update", self.installation.opened())
        time.sleep(0.5)
        self.assertNotIn("AppClosed", server.methods())

    def test_optional_update_accepted(self):
        self.install()
        server = self.serve("--answer", update_answer(0))
        self.start()
        self.answer_box("Update Available")
        wait_until(lambda: "https://www.kelvane.example/update" in self.installation.opened(),
                   what="the update page opened")
        self.assertIsNone(self.installation.process.poll())
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(server.methods()[-1], "AppClosed")

    def test_optional_update_declined(self):
        self.install()
        self.serve("--answer", update_answer(0))
        self.start()
        self.answer_box("Update Available", key="Escape")
        time.sleep(0.5)
        self.assertEqual(self.installation.opened(), [])
        self.assertEqual(self.close_and_wait(), 0)


if __name__ == "__main__":
    unittest.main()
