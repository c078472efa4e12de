"""The Windows installers under Wine, as a user without administrator rights uses them: the
default program and a deployer's installed silently side by side, each started from where its
Start-menu shortcut points and used for a conversion, then uninstalled; an upgrade from an
older version; an installation while the program runs. Afterwards nothing of theirs may be
left but the settings."""

import json
import os
import shutil
import struct
import sys
import tempfile
import unittest

import wine  # first: it makes the Linux driver importable
import harness  # noqa: E402

sys.path.insert(0, os.path.join(wine.HERE, "..", "..", "packaging", "windows"))
import installer  # noqa: E402

SETUP = os.environ["KELVANE_WINDOWS_SETUP"]
DEPLOYER_SETUP = os.environ["KELVANE_WINDOWS_DEPLOYER_SETUP"]
DEPLOYER_CONFIGURATION = os.path.join(wine.HERE, "deployer", "Configuration")
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"

prefix = None


def setUpModule():
    global prefix
    prefix = wine.WinePrefix()
    wine.WineInstallation.prefix = prefix


def tearDownModule():
    prefix.remove()


def shortcut_target(path):
    """The local path a .lnk file points at (its LinkInfo's local base path)."""
    with open(path, "rb") as file:
        data = file.read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    offset = 0x4C
    if flags & 0x1:  # HasLinkTargetIDList
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    if not flags & 0x2:  # HasLinkInfo
        raise AssertionError("shortcut %s has no link information" % path)
    info = offset
    header_size = struct.unpack_from("<I", data, info + 4)[0]
    if header_size >= 0x24:
        start = info + struct.unpack_from("<I", data, info + 0x1C)[0]
        end = data.index(b"\0\0", start)
        end += (end - start) % 2
        return data[start:end].decode("utf-16-le")
    start = info + struct.unpack_from("<I", data, info + 0x10)[0]
    return data[start:data.index(b"\0", start)].decode("latin-1")


def files_under(folder, skip=()):
    found = set()
    for root, dirs, files in os.walk(folder):
        dirs[:] = [d for d in dirs if os.path.join(root, d) not in skip]
        for name in files:
            found.add(os.path.relpath(os.path.join(root, name), folder))
    return found


class Installed:
    """What one installer put in place, found where Windows keeps it for the user."""

    def __init__(self, name, app_name):
        profile = prefix.user_profile()
        self.name = name
        self.app_name = app_name
        self.folder = os.path.join(profile, "AppData", "Local", "Programs", name)
        self.shortcut = os.path.join(profile, "AppData", "Roaming", "Microsoft", "Windows",
                                     "Start Menu", "Programs", app_name + ".lnk")
        self.key = UNINSTALL_KEY + name

    def program(self):
        """The Unix path of the program the shortcut starts."""
        target = shortcut_target(self.shortcut)
        self.target = target
        if target.upper().startswith("C:\\"):
            return os.path.join(prefix.path, "drive_c", *target[3:].split("\\"))
        raise AssertionError("shortcut points outside drive C: " + target)


def install(setup):
    """Installs silently; Wine returns once the installer has ended (no wait for the prefix's
    other programs, which may still run)."""
    return prefix.run("wine", setup, "/S", check=False).returncode


def uninstall(installed):
    prefix.run("wine", os.path.join(installed.folder, "uninstall.exe"), "/S")
    # The uninstaller copies itself away and returns at once; it has ended when Wine has.
    prefix.wait()


class Installers(wine.WineDriver):
    def installed_default(self):
        return Installed("kelvane", harness.SAMPLE_CONFIGURATION["AppName"])

    def installed_deployer(self):
        with open(DEPLOYER_CONFIGURATION, encoding="utf-8") as file:
            app_name = json.load(file)["AppName"]
        return Installed("tonwerk-klange-flac-to-ogg-more", app_name)

    def snapshot(self):
        drive = os.path.join(prefix.path, "drive_c")
        # Windows' own files, and the temporary folder, where the uninstaller runs a copy of
        # itself that Windows removes later (as it does for every NSIS uninstaller).
        skip = {os.path.join(drive, "windows"), os.path.join(prefix.user_profile(), "Temp"),
                os.path.join(prefix.user_profile(), "AppData", "Local", "Temp")}
        return files_under(drive, skip), prefix.registry()

    def check_installed(self, installed, version, publisher):
        self.assertTrue(os.path.isdir(installed.folder), installed.folder)
        files = files_under(installed.folder)
        for needed in ("kelvane.exe", "Configuration", os.path.join("ffmpeg-win", "ffmpeg.exe"),
                       os.path.join("platforms", "qwindows.dll"), "Qt6Core.dll",
                       "install.manifest", "uninstall.exe"):
            self.assertIn(needed, files)
        with open(os.path.join(installed.folder, "install.manifest"), encoding="utf-8") as f:
            listed = {line.replace("\\", os.sep) for line in f.read().splitlines() if line}
        self.assertEqual(listed, files - {"install.manifest", "uninstall.exe"})
        self.assertEqual(os.path.realpath(installed.program()),
                         os.path.realpath(os.path.join(installed.folder, "kelvane.exe")))
        entry = prefix.registry()[installed.key]
        self.assertEqual(entry["DisplayName"], installed.app_name)
        self.assertEqual(entry["DisplayVersion"], version)
        self.assertEqual(entry["Publisher"], publisher)
        self.assertTrue(entry["UninstallString"].endswith("uninstall.exe\""))
        self.assertTrue(entry["DisplayIcon"].endswith("kelvane.exe,0"))

    def use(self, installed, output_name, title):
        """Starts the installed program from where its shortcut points and converts a FLAC."""
        self.installation = wine.WineInstallation(installed=os.path.dirname(installed.program()))
        self.addCleanup(self.installation.stop)
        server = self.serve()
        source = wine.make_flac(self.installation.root, "Abend.flac", seconds=4)
        self.start(title)
        self.convert(source)
        server.wait_for("ConversionCompleted", timeout=120)
        output = os.path.join(prefix.desktop, output_name)
        self.assertTrue(os.path.getsize(output) > 1000)
        self.assertEqual(self.close_and_wait(), 0)
        self.installation.stop()
        server.stop()
        return server

    def test_side_by_side_use_and_uninstall(self):
        files_before, _ = self.snapshot()
        default, deployer = self.installed_default(), self.installed_deployer()
        self.assertEqual(install(SETUP), 0)
        self.assertEqual(install(DEPLOYER_SETUP), 0)
        self.check_installed(default, "1.0.0", "Kelvane")
        self.check_installed(deployer, "2.4.1", "Tonwerk")
        # The deployer's Configuration, byte for byte.
        with open(DEPLOYER_CONFIGURATION, "rb") as given, \
                open(os.path.join(deployer.folder, "Configuration"), "rb") as installed:
            self.assertEqual(given.read(), installed.read())

        self.use(default, "Abend.mp3", default.app_name)
        self.use(deployer, "Abend.ogg", deployer.app_name)
        with open(os.path.join(prefix.desktop, "Abend.ogg"), "rb") as ogg:
            self.assertEqual(ogg.read(4), b"OggS")

        uninstall(default)
        self.assertFalse(os.path.exists(default.folder))
        self.assertTrue(os.path.exists(deployer.program()))
        uninstall(deployer)

        files_after, registry_after = self.snapshot()
        # Nothing is new on drive C: (the desktop, where the user's two converted files stay,
        # is a link to the home folder outside it).
        self.assertEqual(files_after - files_before, set())
        self.assertEqual(files_before - files_after, set())
        for name in ("Abend.mp3", "Abend.ogg"):
            self.assertTrue(os.path.exists(os.path.join(prefix.desktop, name)))
        # In the registry, only the settings: the brands' stores, kept for their other programs.
        ours = {key for key in registry_after
                if any(word in key.lower() for word in ("kelvane", "tonwerk"))}
        self.assertEqual(ours, {wine.BRAND_KEY, wine.APP_KEY,
                                "Software\\Tonwerk\\OrganizationDefaults",
                                "Software\\Tonwerk\\" + deployer.app_name})
        for key in registry_after:
            self.assertFalse(key.startswith(UNINSTALL_KEY + "kelvane")
                             or key.startswith(UNINSTALL_KEY + "tonwerk"), key)

    def test_upgrade_leaves_no_stale_file(self):
        default = self.installed_default()
        # An older version that had two files the current one does not have.
        old = tempfile.mkdtemp(prefix="kelvane-old-")
        self.addCleanup(shutil.rmtree, old, True)
        folder = os.path.join(old, "app")
        shutil.copytree(wine.APP, folder)
        with open(os.path.join(folder, "imageformats", "qold.dll"), "wb") as stale:
            stale.write(b"MZ old plugin")
        os.makedirs(os.path.join(folder, "retired"))
        with open(os.path.join(folder, "retired", "notes.txt"), "w") as stale:
            stale.write("only in 0.9")
        old_setup = os.path.join(old, "kelvane-0.9.0-setup.exe")
        installer.build(folder, {"name": "kelvane", "version": "0.9.0",
                                 "app": default.app_name, "brand": "Kelvane"},
                        old_setup, os.path.join(old, "work"))
        self.assertEqual(install(old_setup), 0)
        self.assertTrue(os.path.exists(os.path.join(default.folder, "imageformats", "qold.dll")))
        self.assertEqual(prefix.registry()[default.key]["DisplayVersion"], "0.9.0")

        self.assertEqual(install(SETUP), 0)
        self.check_installed(default, "1.0.0", "Kelvane")
        self.assertFalse(os.path.exists(os.path.join(default.folder, "imageformats", "qold.dll")))
        self.assertFalse(os.path.exists(os.path.join(default.folder, "retired")))
        self.assertEqual(files_under(default.folder) - {"install.manifest", "uninstall.exe"},
                         files_under(wine.APP))
        uninstall(default)
        self.assertFalse(os.path.exists(default.folder))

    def test_install_while_running_is_refused(self):
        default = self.installed_default()
        self.assertEqual(install(SETUP), 0)
        self.installation = wine.WineInstallation(installed=os.path.dirname(default.program()))
        self.addCleanup(self.installation.stop)
        self.serve()
        self.start(default.app_name)
        with open(os.path.join(default.folder, "Configuration"), "rb") as file:
            configuration = file.read()
        # Silently, the question "close it?" has the answer Cancel: nothing is changed.
        self.assertNotEqual(install(SETUP), 0)
        self.assertTrue(os.path.exists(os.path.join(default.folder, "kelvane.exe")))
        with open(os.path.join(default.folder, "Configuration"), "rb") as file:
            self.assertEqual(file.read(), configuration)
        self.assertEqual(self.close_and_wait(), 0)
        self.assertEqual(install(SETUP), 0)
        uninstall(default)
        self.assertFalse(os.path.exists(default.folder))


if __name__ == "__main__":
    unittest.main()
