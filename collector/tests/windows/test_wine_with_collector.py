"""End to end on Windows: the portable zip's kelvane.exe under Wine (tests/windows/wine.py)
sends to a real `kelvane-collector serve` on the port the zip's build sends to, with file
names kept. Checks what the collector stored from the Windows program's bytes.

Environment: KELVANE_WINDOWS_APP (the unpacked zip's folder), KELVANE_E2E_SERVER,
KELVANE_E2E_PORT (47800 for the default build) and KELVANE_COLLECTOR. For example, after
scripts/build-windows.sh:
  unzip -q dist/kelvane-*-windows-x64.zip -d /tmp/zip
  KELVANE_WINDOWS_APP=$(echo /tmp/zip/*) KELVANE_E2E_PORT=47800 \\
  KELVANE_E2E_SERVER=$PWD/build/tests/telemetry-server \\
  KELVANE_COLLECTOR=$PWD/build/collector/kelvane-collector \\
      /usr/bin/python3 collector/tests/windows/test_wine_with_collector.py"""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests", "windows"))

import wine  # noqa: E402  (first: it makes the Linux driver importable)
from collector_process import Collector, export, require_collector  # noqa: E402
from harness import PORT, wait_until  # noqa: E402

prefix = None


def setUpModule():
    global prefix
    prefix = wine.WinePrefix("10")
    wine.WineInstallation.prefix = prefix


def tearDownModule():
    prefix.remove()


class WineProgramWithCollector(wine.WineDriver):
    def test_registration_conversion_and_later_start(self):
        require_collector()
        data = tempfile.mkdtemp(prefix="kelvane-collector-wine-")
        self.addCleanup(shutil.rmtree, data, ignore_errors=True)
        database = "sqlite:" + os.path.join(data, "events.sqlite")
        collector = Collector(database, PORT, ["--keep-file-names"])
        self.addCleanup(collector.close)
        collector.start()

        self.installation = wine.WineInstallation(None, "ffmpeg")
        self.addCleanup(self.installation.stop)
        # Latin-1 travels as its byte, anything beyond as "?", '&' and '+' raw.
        source = wine.make_flac(self.installation.root, "Zoë & Co+ 東京.flac", seconds=3)
        # Wine's dialog cannot be typed beyond ASCII: it opens on the file chosen before.
        prefix.run("wine", "reg", "add", "HKCU\\" + wine.APP_KEY, "/v", "LastSelectFolder",
                   "/d", prefix.windows_path(source).replace("\\", "/"), "/f")
        self.start()
        self.convert(source)
        wait_until(lambda: [e for e in export(database)
                            if e["Method"] == "ConversionCompleted"],
                   timeout=120, interval=0.5, what="a stored ConversionCompleted")
        wait_until(lambda: "NewUser Success!" in self.installation.diagnostics()
                   and "AppInstalled Success!" in self.installation.diagnostics(),
                   what="both confirmations handled")
        self.assertEqual(self.close_and_wait(timeout=60), 0)

        first = export(database)
        self.assertEqual(sorted(e["Method"] for e in first),
                         ["AppClosed", "AppInstalled", "AppOpened", "ConversionCompleted",
                          "ConversionStarted", "NewUser"])
        self.assertEqual({e["OS"] for e in first}, {"Win"})
        started = [e for e in first if e["Method"] == "ConversionStarted"][0]
        self.assertEqual(started["FileName"], "Zoë & Co+ ??.flac")
        self.assertEqual(started["FileExtension"], "flac")
        self.assertEqual(started["FileSize"], str(os.path.getsize(source)))
        registry = prefix.registry()
        user = registry[wine.BRAND_KEY]["UserID"]
        self.assertEqual({e["UserID"] for e in first}, {user})
        self.assertEqual(registry[wine.BRAND_KEY]["Pulse.NewUser.SavedToServer"], "true")
        self.assertEqual(registry[wine.APP_KEY]["Pulse.AppInstalled.SavedToServer"], "true")

        self.start()
        wait_until(lambda: len([e for e in export(database) if e["Method"] == "AppOpened"]) == 2,
                   timeout=60, interval=0.5, what="the second AppOpened stored")
        self.assertEqual(self.close_and_wait(timeout=60), 0)
        later = export(database)[len(first):]
        self.assertEqual(sorted(e["Method"] for e in later), ["AppClosed", "AppOpened"])
        self.assertEqual({e["UserID"] for e in later}, {user})


if __name__ == "__main__":
    unittest.main()
