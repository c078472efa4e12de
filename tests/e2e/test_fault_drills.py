"""Fault drills: hostile or broken converters, server answers, configurations and folders.
Each drill checks that nothing is lost, nothing crashes or hangs, and the window is still
usable afterwards."""

import contextlib
import json
import os
import tempfile
import time
import unittest

from harness import (CONVERT, HELP, HOMEPAGE, SAMPLE_CONFIGURATION, TITLE, ProgramDriver,
                     read_text, wait_until, wait_with_progress)

HANGING_CONVERTER = 'echo $$ > "$(dirname "$0")/pid"\nexec sleep 120\n'
EXITS_AT_ONCE = "exit 0\n"
# Twenty megabytes of noise between the duration and the end of the job.
FLOODING_CONVERTER = r"""
printf '  Duration: 00:00:10.00, start: 0.000000\n' >&2
head -c 20000000 /dev/zero | tr '\0' 'x' >&2
printf 'size=  1kB time=00:00:05.00 bitrate= 1.0kbits/s speed=1x    \r' >&2
for last; do :; done
printf 'converted' > "$last"
exit 0
"""


class FaultDrills(ProgramDriver):
    def assert_usable(self):
        """The window answers a click: the Help link opens the homepage once more."""
        before = self.installation.opened().count(HOMEPAGE)
        self.x.click(self.window, HELP)
        wait_until(lambda: self.installation.opened().count(HOMEPAGE) > before,
                   what="the window to answer a click")
        self.assertIsNone(self.installation.process.poll())

    @contextlib.contextmanager
    def fresh_run(self, configuration=SAMPLE_CONFIGURATION, server_options=()):
        """One installation and server for one case of a table, removed whatever happens."""
        self.install(configuration=configuration)
        self.serve(*server_options)
        try:
            yield
        finally:
            self.installation.stop()
            self.server.stop()

    def convert_real_file(self, name="check.flac"):
        server = self.server
        done = server.methods().count("ConversionCompleted")
        source = self.installation.make_flac(name, seconds=2)
        self.convert(source)
        server.wait_for("ConversionCompleted", count=done + 1, timeout=60)
        output = os.path.join(self.installation.desktop, name.split(".")[0] + ".mp3")
        self.assertGreater(os.path.getsize(output), 1000)

    # -- converters -------------------------------------------------------------------------

    def test_hanging_converter_can_be_cancelled(self):
        self.install(converter=HANGING_CONVERTER)
        server = self.serve()
        source = self.fake_source()
        self.start()
        self.convert(source)
        server.wait_for("ConversionStarted")
        pid_file = os.path.join(os.path.dirname(self.installation.converter_path), "pid")
        pid = int(wait_until(lambda: read_text(pid_file), what="converter pid"))
        time.sleep(3.5)  # past the three-second check: a silent converter is left running
        os.kill(pid, 0)
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCompleted")
        self.assertIn("ConversionCancelled", server.methods())
        self.assertRaises(ProcessLookupError, os.kill, pid, 0)
        self.assertNotIn("AppFailed", server.methods())
        self.assertTrue(os.path.exists(source))
        self.installation.set_converter("ffmpeg")
        self.convert_real_file()
        self.assertEqual(self.close_and_wait(), 0)

    def test_flooding_converter(self):
        self.install(converter=FLOODING_CONVERTER)
        server = self.serve()
        source = self.fake_source()
        self.start()
        self.convert(source)
        server.wait_for("ConversionCompleted", timeout=120)
        self.assertNotIn("AppFailed", server.methods())
        output = os.path.join(self.installation.desktop, "track.mp3")
        with open(output) as converted:
            self.assertEqual(converted.read(), "converted")
        self.assert_usable()
        self.assertEqual(self.close_and_wait(), 0)

    def test_converter_that_exits_at_once(self):
        self.install(converter=EXITS_AT_ONCE)
        server = self.serve()
        self.start()
        self.convert(self.fake_source())
        server.wait_for("ConversionCompleted")
        desktop_url = "file://" + self.installation.desktop + "/"
        wait_until(lambda: desktop_url in self.installation.opened(), what="desktop opened")
        self.assertEqual(self.x.visible_windows("Converter error"), [])
        self.installation.set_converter("ffmpeg")
        self.convert_real_file()
        self.assertEqual(self.close_and_wait(), 0)

    # -- files and folders ------------------------------------------------------------------

    def test_desktop_folder_missing(self):
        self.install()
        self.serve()
        os.rmdir(self.installation.desktop)
        self.start()
        self.convert_real_file()
        self.assertEqual(self.close_and_wait(), 0)

    def test_source_disappears_after_choice(self):
        self.install()
        server = self.serve()
        source = self.installation.make_flac("gone.flac", seconds=2)
        self.start()
        self.choose_file(source)
        os.unlink(source)
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCompleted", timeout=30)
        self.assertFalse(os.path.exists(os.path.join(self.installation.desktop, "gone.mp3")))
        self.assert_usable()
        self.convert_real_file()
        self.assertEqual(self.close_and_wait(), 0)

    def test_unwritable_settings_folder(self):
        self.install()
        server = self.serve()
        blocker = os.path.join(self.installation.root, "not-a-folder")
        with open(blocker, "w") as file:
            file.write("a file where the settings folder should be")
        self.installation.start(self.x, XDG_CONFIG_HOME=blocker)
        self.window = self.x.wait_for_window(TITLE)
        server.wait_for("AppOpened")
        self.assert_usable()
        self.convert_real_file()
        self.assertEqual(self.close_and_wait(), 0)
        with open(blocker) as file:
            self.assertEqual(file.read(), "a file where the settings folder should be")

    # -- configurations ---------------------------------------------------------------------

    def test_broken_configurations(self):
        wrong_types = {key: value for key, value in zip(
            SAMPLE_CONFIGURATION,
            [[1], {"a": 1}, "x", [2], None, True, {"b": []}, 5, [], 7.5, {"c": {}}])}
        huge = dict(SAMPLE_CONFIGURATION, Padding="x" * 30_000_000)
        cases = {
            "empty": b"",
            "binary": bytes(range(256)) * 64,
            "huge": json.dumps(huge).encode(),
            "wrong types": json.dumps(wrong_types).encode(),
        }
        for name, content in cases.items():
            with self.subTest(configuration=name), self.fresh_run(configuration=content):
                self.installation.start(self.x)
                # The program writes the whole file to standard error before it shows its window,
                # which takes many times longer under sanitizers or on a busy machine than in a
                # release build: the wait lasts for as long as the program keeps working.
                windows = wait_with_progress(
                    self.x.program_windows, self.installation.progress, stall=60,
                    what="the window with a %s configuration" % name)
                self.window = windows[0]
                self.server.wait_for("AppOpened", timeout=60)
                self.x.click(self.window, HELP)
                time.sleep(0.3)
                self.assertIsNone(self.installation.process.poll())
                self.assertEqual(self.close_and_wait(timeout=60), 0)

    # -- server answers ---------------------------------------------------------------------

    def test_hostile_server_answers(self):
        nested = b'{"Status":"SUCCESS","Contents":' + b"[" * 1_000_000 + b"]" * 1_000_000 + b"}"
        huge = json.dumps({"Status": "SUCCESS",
                           "Contents": {"Pad": "y" * 30_000_000}}).encode()
        answers = {
            "empty": (b"", 0),
            "huge": (huge, 0),
            "deeply nested": (nested, 0),
            "not JSON": (b"<html>502 Bad Gateway</html>", 0),
            "a script": (b'{"Status":(function(){while(true){}})()}', 0),
            "late": (b'{"Status":"SUCCESS"}', 4000),
        }
        self.answers = tempfile.TemporaryDirectory(prefix="kelvane-answers-")
        self.addCleanup(self.answers.cleanup)
        for name, (body, delay) in answers.items():
            answer_file = os.path.join(self.answers.name, name)
            with open(answer_file, "wb") as file:
                file.write(body)
            options = ("--answer", "*=@" + answer_file, "--delay", "*=%d" % delay)
            with self.subTest(answer=name), self.fresh_run(server_options=options):
                self.start()
                self.server.wait_for("AppOpened")
                self.assert_usable()
                time.sleep(delay / 1000 + 1.0)
                self.assert_usable()
                self.assertEqual(self.x.visible_windows("Update Available"), [])
                self.assertEqual(self.close_and_wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
