"""End to end: the real Linux program, driven in its own X server as in tests/e2e, sends its
telemetry to a real `kelvane-collector serve` (SQLite in a temporary folder) on the port it was
built for. What the collector stored is read back with `export`.

Environment: those of tests/e2e/harness.py (KELVANE_E2E_PROGRAM, KELVANE_E2E_PORT,
KELVANE_E2E_SERVER) and KELVANE_COLLECTOR."""

import configparser
import json
import os
import re
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests", "e2e"))

from collector_process import (Collector, announce, export, fill, forget,  # noqa: E402
                               require_collector, small_disk)
from collector_process import event as api_event  # noqa: E402
from harness import PORT, SAMPLE_CONFIGURATION, ProgramDriver, wait_until  # noqa: E402

# Raw '&' and '+' stand in the body as they are; a collector that form-decoded it would cut the
# JSON at the '&' or turn the '+' into a space.
SOURCE_NAME = "Müsic & Co+.flac"
OUTPUT_NAME = "Müsic & Co+.mp3"

BRAND_SETTINGS = os.path.join(".config", SAMPLE_CONFIGURATION["BrandName"] + ".conf")
APP_SETTINGS = os.path.join(".config", SAMPLE_CONFIGURATION["BrandName"],
                            SAMPLE_CONFIGURATION["AppName"] + ".conf")


def newer_version(version):
    """The version with its last number one higher: "1.0.0" gives "1.0.1"."""
    parts = version.split(".")
    parts[-1] = str(int(parts[-1]) + 1)
    return ".".join(parts)


def map_keys(x_server, text):
    """Puts the characters of the text that the X server's keyboard lacks on spare keys,
    before the program starts: xdotool's own stand-in keys for them come and go too fast for
    Qt, which then drops them."""
    def keysym(character):
        # Latin-1's keysyms are its code points; the rest of Unicode's are offset.
        code = ord(character)
        return code if code < 0x100 else 0x01000000 + code

    connection = x_server.connection
    first = connection.display.info.min_keycode
    count = connection.display.info.max_keycode - first + 1
    mapping = connection.get_keyboard_mapping(first, count)
    spare = [first + index for index in range(count) if not any(mapping[index])]
    missing = sorted({keysym(character) for character in text
                      if not connection.keysym_to_keycode(keysym(character))})
    if len(missing) > len(spare):
        raise AssertionError("no spare keys left for %d characters" % len(missing))
    for keycode, symbol in zip(reversed(spare), missing):
        connection.change_keyboard_mapping(keycode, [(symbol, symbol)])
    connection.sync()


class ProgramWithCollector(ProgramDriver):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        map_keys(cls.x, SOURCE_NAME)

    def setUp(self):
        require_collector()
        self.data = tempfile.mkdtemp(prefix="kelvane-collector-e2e-")
        self.addCleanup(shutil.rmtree, self.data, ignore_errors=True)
        self.database = "sqlite:" + os.path.join(self.data, "events.sqlite")

    def collect(self, *options):
        """The collector on the port the program sends to."""
        collector = Collector(self.database, PORT, options)
        self.addCleanup(collector.close)
        return collector.start()

    def stored(self, **match):
        return [event for event in export(self.database)
                if all(event.get(key) == value for key, value in match.items())]

    def wait_for_stored(self, method, count=1, timeout=30.0):
        return wait_until(lambda: len(self.stored(Method=method)) >= count, timeout,
                          interval=0.3, what="%d stored %s event(s)" % (count, method))

    def settings(self, relative_path):
        """One of the program's settings files, as its keys and values."""
        parser = configparser.ConfigParser(interpolation=None, strict=False)
        parser.optionxform = str
        path = os.path.join(self.installation.home, relative_path)
        self.assertTrue(parser.read(path, encoding="utf-8"), "no settings file " + path)
        return parser["General"] if parser.has_section("General") else {}

    def convert_and_close(self, source):
        """Converts the file, waits until the program's registration is confirmed, closes it.
        Gives the output on the desktop."""
        self.start()
        self.convert(source)
        self.wait_for_stored("ConversionCompleted", timeout=60)
        wait_until(lambda: "NewUser Success!" in self.installation.diagnostics()
                   and "AppInstalled Success!" in self.installation.diagnostics(),
                   what="both confirmations handled")
        self.assertEqual(self.close_and_wait(), 0)
        output = os.path.join(self.installation.desktop, OUTPUT_NAME)
        self.assertGreater(os.path.getsize(output), 1000)
        return output

    def test_first_start_conversion_then_second_start(self):
        self.install()
        self.collector = self.collect()
        source = self.installation.make_flac(SOURCE_NAME, seconds=3)
        output = self.convert_and_close(source)

        first = export(self.database)
        self.assertEqual(sorted(event["Method"] for event in first),
                         ["AppClosed", "AppInstalled", "AppOpened", "ConversionCompleted",
                          "ConversionStarted", "NewUser"])
        brand = self.settings(BRAND_SETTINGS)
        user = brand.get("UserID")
        self.assertTrue(user)
        self.assertEqual({event["UserID"] for event in first}, {user})
        self.assertEqual(len({event["AppSessionID"] for event in first}), 1)
        for event in first:
            self.assertEqual((event["AppID"], event["BrandID"], event["AppVersion"]),
                             (str(SAMPLE_CONFIGURATION["AppID"]),
                              str(SAMPLE_CONFIGURATION["BrandID"]),
                              SAMPLE_CONFIGURATION["AppVersion"]))

        started = self.stored(Method="ConversionStarted")[0]
        completed = self.stored(Method="ConversionCompleted")[0]
        self.assertNotIn("FileName", started)
        self.assertNotIn("FilePath", started)
        self.assertEqual(started["FileExtension"], "flac")
        self.assertEqual(started["FileSize"], str(os.path.getsize(source)))
        self.assertEqual(started["FormatToConvertTo"], "mp3")
        self.assertEqual(completed["ConversionID"], started["ConversionID"])
        self.assertEqual(completed["ConvertedFileSize"], str(os.path.getsize(output)))

        # The program keeps that the server has its registration, so it is sent only once.
        self.assertEqual(brand.get("Pulse.NewUser.SavedToServer"), "true")
        self.assertEqual(self.settings(APP_SETTINGS).get("Pulse.AppInstalled.SavedToServer"),
                         "true")
        self.start()
        self.wait_for_stored("AppOpened", count=2)
        self.assertEqual(self.close_and_wait(), 0)
        second = export(self.database)[len(first):]
        self.assertEqual(sorted(event["Method"] for event in second), ["AppClosed", "AppOpened"])
        self.assertEqual({event["UserID"] for event in second}, {user})
        self.assertEqual(len({event["AppSessionID"] for event in second}), 1)
        self.assertNotEqual(second[0]["AppSessionID"], first[0]["AppSessionID"])

        # The user asks to be forgotten: all of theirs goes, nobody else's.
        self.assertEqual(self.collector.send(api_event("AppOpened", UserID="someone else"))
                         .get("Status"), "SUCCESS")
        forget(self.database, user)
        self.assertEqual([event["UserID"] for event in export(self.database)], ["someone else"])

    def test_registration_sent_again_after_full_disk(self):
        small = small_disk(self, os.path.join(self.data, "small"))
        self.database = "sqlite:" + os.path.join(small, "events.sqlite")
        collector = self.collect()
        filler = fill(small)
        # Whatever room the database had left, it runs out now.
        for _ in range(1000):
            if collector.send(api_event("AppOpened", UserID="probe"))["Status"] != "SUCCESS":
                break
        else:
            self.fail("the full disk never refused an event")

        self.install()
        self.start()
        wait_until(lambda: "NewUser Failed!" in self.installation.diagnostics()
                   and "AppInstalled Failed!" in self.installation.diagnostics(),
                   what="both refusals handled")
        self.assertEqual(self.close_and_wait(), 0)
        brand = self.settings(BRAND_SETTINGS)
        user = brand.get("UserID")
        self.assertTrue(user)
        self.assertNotIn("Pulse.NewUser.SavedToServer", brand)
        self.assertEqual(self.stored(UserID=user), [])

        os.remove(filler)
        self.start()
        wait_until(lambda: "NewUser Success!" in self.installation.diagnostics()
                   and "AppInstalled Success!" in self.installation.diagnostics(),
                   what="both confirmations handled")
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(sorted(event["Method"] for event in self.stored(UserID=user)),
                         ["AppClosed", "AppInstalled", "AppOpened", "NewUser"])
        self.assertEqual(self.settings(BRAND_SETTINGS).get("Pulse.NewUser.SavedToServer"),
                         "true")
        self.assertEqual(self.settings(APP_SETTINGS).get("Pulse.AppInstalled.SavedToServer"),
                         "true")

    def test_file_names_kept_when_asked(self):
        self.install()
        self.collect("--keep-file-names")
        source = self.installation.make_flac(SOURCE_NAME, seconds=2)
        output = self.convert_and_close(source)
        started = self.stored(Method="ConversionStarted")[0]
        self.assertEqual(started["FileName"], SOURCE_NAME)
        self.assertEqual(started["FilePath"].rstrip("/"), self.installation.root)
        self.assertEqual(started["FileExtension"], "flac")
        self.assertEqual(started["FileSize"], str(os.path.getsize(source)))
        self.assertEqual(started["FFMPEGArguments"], "-i %s %s %s" % (
            source, SAMPLE_CONFIGURATION["FFMPEGArguments"], output))

    # The program sends the converter's whole command line, both paths included, in
    # FFMPEGArguments: the names must leave it too, and only they.
    def test_no_file_or_folder_name_stored_by_default(self):
        self.install()
        self.collect()
        self.convert_and_close(self.installation.make_flac(SOURCE_NAME, seconds=1))
        started = self.stored(Method="ConversionStarted")[0]
        self.assertEqual(started["FFMPEGArguments"], "-i <source> %s <output>"
                         % SAMPLE_CONFIGURATION["FFMPEGArguments"])
        for event in export(self.database):
            for key, value in event.items():
                if isinstance(value, str):
                    self.assertNotIn("Müsic", value, key)
                    self.assertNotIn(self.installation.root, value, key)

    # Latin-1, beyond Latin-1, and the characters a form would mangle.
    UPDATE_MESSAGE = "Version 1.0.1 ist da: schöner & schneller + sicher \u2014 bitte laden."
    UPDATE_URL = "https://www.kelvane.example/download?app=101&from=1.0.0"

    def announce_newer_version(self, required):
        """Announces a version above the one in the program's Configuration to the running
        collector, which then starts again to read it at once."""
        with open(os.path.join(self.installation.app, "Configuration")) as file:
            configuration = json.load(file)
        announce(self.database, configuration["AppID"], newer_version(configuration["AppVersion"]),
                 self.UPDATE_MESSAGE, self.UPDATE_URL, brand_id=configuration["BrandID"],
                 required=required)
        self.collector.stop()
        self.collector.start()

    def test_required_update_ends_program(self):
        self.install()
        self.collector = self.collect()
        self.announce_newer_version(required=True)

        self.start()
        self.answer_box("Update Available")
        self.assertEqual(self.installation.wait_for_exit(20), 0)
        self.assertEqual(self.installation.opened(), [self.UPDATE_URL])
        self.assertEqual(self.answered_update(), {"Required": 1, "Message": self.UPDATE_MESSAGE,
                                                  "BrowsableURL": self.UPDATE_URL})
        self.assertEqual(len(self.stored(Method="AppOpened")), 1)
        self.assertEqual(self.stored(Method="AppClosed"), [])

    def test_optional_update_declined(self):
        self.install()
        self.collector = self.collect()
        self.announce_newer_version(required=False)

        self.start()
        self.answer_box("Update Available", key="Escape")
        self.assertEqual(self.answered_update(), {"Required": 0, "Message": self.UPDATE_MESSAGE,
                                                  "BrowsableURL": self.UPDATE_URL})
        self.assertIsNone(self.installation.process.poll())
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(self.installation.opened(), [])
        self.assertEqual(len(self.stored(Method="AppClosed")), 1)

    def answered_update(self):
        """The update the program read in the collector's answer to AppOpened, from its log."""
        for line in self.installation.diagnostics().splitlines():
            found = re.search(r'Method: "AppOpened" - Data: "(.*)"$', line)
            if found:
                # The log quotes the text as a C string does.
                text = json.loads('"%s"' % found.group(1))
                return json.loads(text)["Contents"]["Update"]
        self.fail("no answer to AppOpened in the program's log:\n"
                  + self.installation.diagnostics())


if __name__ == "__main__":
    unittest.main()
