"""End to end on Windows: the portable zip's kelvane.exe under Wine, driven through its real
window in Xvfb, by a user named Jürgen, with the bundled ffmpeg.exe. Checks what a person and
the server see: the events and their bytes, the registry, files on the desktop, exit codes."""

import os
import re
import unittest

import wine  # first: it makes the Linux driver importable
from harness import CONVERT, HOMEPAGE, wait_until  # noqa: E402

prefix = None
WINDOWS = os.environ.get("KELVANE_WINE_WINDOWS", "10")


def setUpModule():
    global prefix
    # Windows 10, the platform the program is made for, unless the runner names another.
    prefix = wine.WinePrefix(WINDOWS)
    wine.WineInstallation.prefix = prefix


def tearDownModule():
    prefix.remove()


class WineProgram(wine.WineDriver):
    def install(self, converter="ffmpeg", configuration=None):
        # A fresh user each time: no settings from an earlier test.
        prefix.delete_key("Software\\Kelvane")
        for name in os.listdir(prefix.desktop):
            os.remove(os.path.join(prefix.desktop, name))
        self.installation = wine.WineInstallation(configuration, converter)
        self.addCleanup(self.installation.stop)
        return self.installation

    def test_first_start_reports_windows(self):
        self.install(converter=None)
        server = self.serve()
        self.start()
        for method in ("NewUser", "AppInstalled", "AppOpened", "AppFailed"):
            server.wait_for(method, timeout=30)
        events = server.events()
        self.assertEqual({e["OS"] for e in events}, {"Win"})
        self.assertEqual({e["OSVersion"] for e in events},
                         {WINDOWS if WINDOWS in ("7", "8.1") else "?"})
        failure = [e for e in events if e["Method"] == "AppFailed"][0]
        app = prefix.windows_path(self.installation.app).replace("\\", "/")
        self.assertEqual(failure["DebugInfo"],
                         "Looked for FFMPEG at this path: %s/ffmpeg-win/ffmpeg.exe\n"
                         "Configuration::PathForApplicationFolder() = %s\n" % (app, app))
        wait_until(lambda: "NewUser Success!" in self.installation.diagnostics()
                   and "AppInstalled Success!" in self.installation.diagnostics(),
                   what="both confirmations handled")
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(server.methods()[-1], "AppClosed")

        registry = prefix.registry()
        user_id = events[0]["UserID"]
        self.assertEqual(registry[wine.BRAND_KEY]["UserID"], user_id)
        self.assertEqual(registry[wine.BRAND_KEY]["Pulse.NewUser.SavedToServer"], "true")
        self.assertEqual(registry[wine.APP_KEY]["Pulse.AppInstalled.SavedToServer"], "true")

        # A later start is no new user and no new installation.
        server.stop()
        self.serve_again = self.serve()
        self.start()
        self.serve_again.wait_for("AppOpened", timeout=30)
        self.serve_again.wait_for("AppFailed", timeout=30)
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(self.serve_again.methods(), ["AppOpened", "AppFailed", "AppClosed"])
        self.assertEqual({e["UserID"] for e in self.serve_again.events()}, {user_id})

    def test_converts_non_ascii_file_to_mp3_on_desktop(self):
        self.install()
        server = self.serve()
        folder = os.path.join(self.installation.root, "Musik für Jürgen")
        os.makedirs(folder)
        source = wine.make_flac(folder, "Zoë 東京.flac", seconds=8)
        with open(source, "rb") as original:
            source_bytes = original.read()
        # Chosen before: the program's dialog opens on it.
        chosen = prefix.windows_path(source).replace("\\", "/")
        prefix.run("wine", "reg", "add", "HKCU\\" + wine.APP_KEY, "/v", "LastSelectFolder",
                   "/d", chosen, "/f")
        self.start()
        self.convert(source)
        server.wait_for("ConversionCompleted", timeout=120)

        output = os.path.join(prefix.desktop, "Zoë 東京.mp3")
        self.assertTrue(os.path.getsize(output) > 10000)
        with open(output, "rb") as mp3:
            head = mp3.read(3)
        self.assertTrue(head == b"ID3" or head[0] == 0xFF, head)
        with open(source, "rb") as after:
            self.assertEqual(after.read(), source_bytes)
        started = [e for e in server.events() if e["Method"] == "ConversionStarted"][0]
        completed = [e for e in server.events() if e["Method"] == "ConversionCompleted"][0]
        # Characters beyond Latin-1 travel as "?", the others as they are.
        self.assertEqual(started["FileName"], "Zoë ??.flac")
        self.assertEqual(started["FilePath"],
                         prefix.windows_path(folder).replace("\\", "/"))
        self.assertEqual(started["FileSize"], str(os.path.getsize(source)))
        self.assertEqual(completed["ConvertedFileSize"], str(os.path.getsize(output)))
        self.assertNotIn("AppFailed", server.methods())
        # The desktop folder opens in the file explorer.
        wait_until(lambda: self.installation.processes(
                       "C:\\users\\%s\\Desktop" % wine.USER, "explorer.exe"),
                   timeout=30, what="the desktop folder opened in the file explorer")
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(prefix.registry()[wine.APP_KEY]["LastSelectFolder"], chosen)

    def start_long_conversion(self):
        """Starts converting a long FLAC with the bundled converter and waits until the window
        has read a position from it."""
        self.install()
        server = self.serve()
        source = wine.make_flac(self.installation.root, "Long.flac", seconds=1800)
        self.start()
        self.convert(source)
        server.wait_for("ConversionStarted", timeout=30)
        partial = os.path.join(prefix.desktop, "Long.mp3")
        wait_until(lambda: os.path.exists(partial), timeout=30, what="the partial output")
        # A minute into the source, so that the window shows a percentage above nought.
        wait_until(lambda: re.search(r"time=00:(0[1-9]|[1-5][0-9]):",
                                     self.installation.diagnostics()),
                   timeout=60, what="a position past the first minute read")
        return server, source, partial

    def test_cancel_stops_converter_and_removes_partial_output(self):
        server, source, partial = self.start_long_conversion()
        self.x.click(self.window, CONVERT)
        server.wait_for("ConversionCancelled", timeout=30)
        server.wait_for("ConversionCompleted", timeout=30)
        wait_until(lambda: not os.path.exists(partial), what="the partial output removed")
        wait_until(lambda: not self.installation.converters_running(), what="converter ended")
        cancelled = [e for e in server.events() if e["Method"] == "ConversionCancelled"][0]
        self.assertGreater(cancelled["ConversionPercentageComplete"], 0)
        self.assertLess(cancelled["ConversionPercentageComplete"], 100)
        self.assertNotIn("AppFailed", server.methods())
        self.assertTrue(os.path.exists(source))
        self.assertEqual(self.close_and_wait(), 0)

    def test_close_during_conversion_removes_partial_output(self):
        server, source, partial = self.start_long_conversion()
        self.assertEqual(self.close_and_wait(timeout=60), 0)
        self.assertFalse(os.path.exists(partial))
        wait_until(lambda: not self.installation.converters_running(), what="converter ended")
        self.assertEqual(server.methods()[-1], "AppClosed")
        for method in ("ConversionCancelled", "ConversionCompleted", "AppFailed"):
            self.assertNotIn(method, server.methods())
        self.assertTrue(os.path.exists(source))

    def test_missing_converter_is_explained(self):
        self.install(converter=None)
        server = self.serve()
        source = self.fake_source()
        self.start()
        self.convert(source)
        self.answer_box("Converter error")
        wait_until(lambda: HOMEPAGE in self.installation.opened(), timeout=30,
                   what="the homepage opened")
        failures = [e for e in server.events() if e["Method"] == "AppFailed"]
        self.assertEqual([e["ErrorCode"] for e in failures], ["EC1", "EC2"])
        self.assertNotIn("ConversionStarted", server.methods())
        self.assertEqual(self.close_and_wait(), 0)


if __name__ == "__main__":
    unittest.main()
