"""Runs the Windows program as a person on Windows does, under Wine in a real X server: a Wine
prefix of its own (made fresh for each test module, for a user with a non-ASCII name, with the
desktop folder linked to a temporary home), the application folder as the portable zip lays
it out, and the same local telemetry server and window driver as the Linux end-to-end tests.

Environment: KELVANE_WINDOWS_APP (the unpacked application folder), KELVANE_E2E_SERVER and
KELVANE_E2E_PORT (the telemetry server and the port the program's build sends to)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
os.environ.setdefault("KELVANE_E2E_PROGRAM",
                      os.path.join(os.environ["KELVANE_WINDOWS_APP"], "kelvane.exe"))
import harness  # noqa: E402

APP = os.environ["KELVANE_WINDOWS_APP"]
USER = "Jürgen"
BRAND_KEY = "Software\\Kelvane\\OrganizationDefaults"
APP_KEY = "Software\\Kelvane\\" + harness.SAMPLE_CONFIGURATION["AppName"]
# Wine's name for each Windows version it can pretend to be.
WINDOWS_VERSIONS = {"7": "win7", "8.1": "win81", "10": "win10"}


class WinePrefix:
    """A fresh Wine prefix for USER; its Desktop is HOME/Desktop."""

    def __init__(self, windows=None):
        self.root = tempfile.mkdtemp(prefix="kelvane-wine-")
        self.home = os.path.join(self.root, "home")
        self.desktop = os.path.join(self.home, "Desktop")
        # Wine links the user's Desktop to HOME/Desktop only if it exists when the prefix is made.
        os.makedirs(self.desktop)
        self.path = os.path.join(self.root, "prefix")
        self.environment = {
            "WINEPREFIX": self.path, "WINEDEBUG": "-all", "WINEARCH": "win64",
            "USER": USER, "LOGNAME": USER, "HOME": self.home,
            # No menu entries or file associations in the real desktop.
            "WINEDLLOVERRIDES": "winemenubuilder.exe=d",
        }
        self.run("wineboot", "--init")
        self.wait()
        if windows:
            self.set_windows_version(windows)

    def env(self, **extra):
        environment = {key: value for key, value in os.environ.items()
                       if not key.startswith(("XDG_", "QT_", "WINE"))}
        environment.update(self.environment)
        environment.update(extra)
        return environment

    def run(self, *command, check=True, **extra):
        return subprocess.run(list(command), env=self.env(**extra), check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def wait(self):
        """Waits until every Wine process of the prefix has ended (Wine's own services end a
        few seconds after the last program)."""
        self.run("wineserver", "-w", check=False)

    def kill(self):
        """Ends every process of the prefix, a file explorer that the program opened included;
        the Wine server writes the registry to disk as it goes."""
        self.run("wineserver", "-k", check=False)
        self.wait()

    def set_windows_version(self, name):
        self.run("wine", "reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d",
                 WINDOWS_VERSIONS[name], "/f")
        self.wait()

    def delete_key(self, key):
        self.run("wine", "reg", "delete", "HKCU\\" + key, "/f", check=False)

    def windows_path(self, unix_path):
        """The drive-letter path Wine gives a Unix path (Z: is the Unix root)."""
        return "Z:" + unix_path.replace("/", "\\")

    def user_profile(self):
        return os.path.join(self.path, "drive_c", "users", USER)

    def registry(self):
        """HKEY_CURRENT_USER as Wine keeps it on disk: {key: {value name: value}}, strings
        decoded from Wine's escapes, so that non-ASCII text can be compared exactly. Only
        when nothing of the user's runs any more: it ends the prefix's processes."""
        self.kill()
        keys, current = {}, None
        with open(os.path.join(self.path, "user.reg"), encoding="utf-8",
                  errors="surrogateescape") as file:
            for line in file:
                line = line.rstrip("\n")
                header = re.match(r"^\[(.*)\] \d+$", line)
                if header:
                    current = keys.setdefault(unescape(header.group(1)), {})
                    continue
                value = re.match(r'^"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$', line)
                if value and current is not None:
                    current[unescape(value.group(1))] = unescape(value.group(2))
        return keys

    def remove(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)


def unescape(text):
    """Wine's registry-file escapes: \\\\, \\", \\n and \\xHHHH for every other character."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            following = text[i + 1]
            if following == "x":
                digits = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
                out.append(chr(int(digits.group(0), 16)))
                i += 2 + len(digits.group(0))
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(following, following))
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


class WineInstallation(harness.Installation):
    """The unpacked application folder in a temporary root, run with wine in PREFIX."""

    prefix = None  # set by the test module

    def __init__(self, configuration=None, converter="ffmpeg", installed=None):
        """A copy of the zip's folder, or with installed, that folder itself as it is."""
        self.make_home("kelvane-wine-app-")
        if installed:
            self.app = installed
            self.home = self.prefix.home
            self.desktop = self.prefix.desktop
            return
        self.app = os.path.join(self.root, "app")
        shutil.copytree(APP, self.app)
        if configuration is not None:
            os.remove(os.path.join(self.app, "Configuration"))
            with open(os.path.join(self.app, "Configuration"), "w") as file:
                import json
                json.dump(configuration, file, indent=4)
        self.set_converter(converter)
        # The program's desktop is the prefix's, linked to the prefix's home.
        self.home = self.prefix.home
        self.desktop = self.prefix.desktop

    def set_converter(self, converter):
        """"ffmpeg" keeps the bundled one, None leaves none."""
        if converter is None:
            shutil.rmtree(os.path.join(self.app, "ffmpeg-win"), ignore_errors=True)
        elif converter != "ffmpeg":
            raise ValueError("Windows stand-in converters are not shell scripts")

    def command_line(self):
        return ["wine", os.path.join(self.app, "kelvane.exe")]

    def start(self, x_server, **overrides):
        environment = dict(self.prefix.environment)
        environment.update(overrides)
        return super().start(x_server, **environment)

    def converters_running(self):
        """Bundled converters of this installation that still run under Wine."""
        return self.processes(self.prefix.windows_path(os.path.join(self.app, "ffmpeg-win")),
                              "ffmpeg.exe")

    def processes(self, marker, program):
        """Processes whose command line names program and marker."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as file:
                    command = file.read().decode("utf-8", "replace")
            except OSError:
                continue
            if program in command and marker.lower() in command.lower():
                found.append(int(entry))
        return found

    def stop(self):
        super().stop()
        self.prefix.kill()


def make_flac(folder, name, seconds):
    path = os.path.join(folder, name)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=%d" % seconds, "-ac", "2", "-ar", "44100",
                    "-y", path], check=True)
    return path


class WineDriver(harness.ProgramDriver):
    """Drives the Windows program's real window under Wine as a person does."""

    dialog_title = harness.DIALOG_TITLE

    @property
    def prefix(self):
        return WineInstallation.prefix

    def start(self, title=harness.TITLE):
        self.installation.start(self.x)
        # Wine needs a few seconds to bring a program's first window up, more in a new prefix
        # on a busy machine; the program is ready once it has sent its start-up events.
        self.window = self.x.wait_for_window(title, timeout=120)
        harness.wait_until(
            lambda: "[Pulse::AppOpened] Composed URL" in self.installation.diagnostics(),
            timeout=120, what="the start-up events sent")
        return self.window

    def choose_file(self, path):
        """Wine's own open-file dialog: its file-name field has the focus; a full drive-letter
        path and Return choose the file. Wine takes no characters from X that its keyboard
        map lacks, so a path beyond ASCII is not typed: the dialog opens on the file the
        program remembers (the test stores it first), and Return takes it."""
        self.x.click(self.window, harness.FIND_FILE)
        dialog = self.x.wait_for_window(self.dialog_title, timeout=60)
        time.sleep(0.5)
        if path.isascii():
            self.x.type_into(dialog, self.prefix.windows_path(path))
        self.x.key(dialog, "Return")
        self.x.wait_until_gone(self.dialog_title)

