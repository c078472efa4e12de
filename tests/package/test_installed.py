"""End to end on installed packages: each package's command, found on PATH as a person starts
it, runs in a real X server from its application folder in /usr/lib, reads the Configuration
installed there and converts a FLAC file with the converter the package links.

KELVANE_PACKAGES names the installed packages; KELVANE_E2E_PORT is the port compiled into
their programs, KELVANE_E2E_SERVER a telemetry server (telemetry_stub.py), and
KELVANE_E2E_PROGRAM any one of the installed commands (harness.py wants it)."""

import json
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Installation, ProgramDriver, TelemetryServer, wait_until  # noqa: E402

PACKAGES = os.environ["KELVANE_PACKAGES"].split()

# The first bytes of each output format that the check converts to.
SIGNATURES = {"mp3": (b"ID3", b"\xff\xfb", b"\xff\xf3", b"\xff\xf2"), "ogg": (b"OggS",)}


class InstalledProgram(Installation):
    """A home with a desktop and a stand-in xdg-open, for a program that is already installed:
    unlike Installation, nothing is copied; the package's own command starts it."""

    def __init__(self, package):
        self.command = package
        self.app = os.path.join("/usr/lib", package)
        self.make_home("kelvane-installed-")

    def command_line(self):
        # The bare command name: PATH finds it, as a menu or a shell does.
        return [self.command]

    def search_path(self):
        return "/usr/local/bin:/usr/bin:/bin"


class InstalledPackages(ProgramDriver):
    def test_each_package_converts_flac_with_its_own_configuration(self):
        self.assertTrue(PACKAGES)
        for package in PACKAGES:
            with self.subTest(package=package):
                self.convert_with(package)

    def convert_with(self, package):
        with open(os.path.join("/usr/lib", package, "Configuration"), "rb") as file:
            configuration = json.loads(file.read())
        self.assertEqual(shutil.which(package), "/usr/bin/" + package)

        # Each package stops its program and server before the next one starts on the same port.
        self.installation = InstalledProgram(package)
        self.server = None
        try:
            self.server = TelemetryServer()
            self.check_conversion(package, configuration)
        finally:
            self.installation.stop()
            if self.server:
                self.server.stop()

    def check_conversion(self, package, configuration):
        output_format = configuration["OutputFormatExtension"]
        server = self.server
        source = self.installation.make_flac("Evening Take.flac", seconds=6)
        process = self.installation.start(self.x)
        self.window = int(wait_until(
            lambda: (self.x.xdotool("search", "--onlyvisible", "--pid", process.pid,
                                    check=False).split() or [None])[0],
            what="the window of " + package))
        self.assertEqual(self.x.xdotool("getwindowname", self.window),
                         configuration["AppName"])
        server.wait_for("AppOpened")
        # A picture of the installed program's window, for whoever asked for one.
        pictures = os.environ.get("KELVANE_PACKAGE_SCREENSHOTS")
        if pictures:
            os.makedirs(pictures, exist_ok=True)
            self.x.screenshot(self.window, os.path.join(pictures, package + ".png"))
        self.convert(source)
        server.wait_for("ConversionCompleted", timeout=60)

        output = os.path.join(self.installation.desktop, "Evening Take." + output_format)
        self.assertGreater(os.path.getsize(output), 10000)
        with open(output, "rb") as converted:
            self.assertTrue(converted.read(4).startswith(SIGNATURES[output_format]), output)
        events = server.events()
        self.assertNotIn("AppFailed", [event["Method"] for event in events])
        for event in events:
            self.assertEqual(event["AppVersion"], configuration["AppVersion"])
            self.assertEqual(str(event["AppID"]), str(configuration["AppID"]))
        self.assertEqual(self.close_and_wait(), 0)
        settings = os.path.join(self.installation.home, ".config", configuration["BrandName"],
                                configuration["AppName"] + ".conf")
        self.assertTrue(os.path.exists(settings), settings)


if __name__ == "__main__":
    unittest.main()
