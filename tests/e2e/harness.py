"""Runs the built Kelvane program as a person does: in a real X server, from its own
application folder, with a temporary home, a local telemetry server, and a stand-in xdg-open
that records what the desktop is asked to open."""

import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

from Xlib import X, display as xdisplay, protocol

PROGRAM = os.environ["KELVANE_E2E_PROGRAM"]
SERVER = os.environ["KELVANE_E2E_SERVER"]
PORT = int(os.environ["KELVANE_E2E_PORT"])
SOURCE_DIR = os.environ.get("KELVANE_SOURCE_DIR", "")

# Centres of the form's controls, relative to the window.
FIND_FILE = (537, 46)
CONVERT = (408, 155)
SHOW_FILES = (532, 155)
HELP = (565, 15)

SAMPLE_CONFIGURATION = {
    "AppName": "Kelvane FLAC to MP3",
    "AppVersion": "1.0.0",
    "AppID": 101,
    "BrandID": 7,
    "BrandName": "Kelvane",
    "AppHomepage": "www.kelvane.example/flac-to-mp3",
    "SourceFormatExtension": "FLAC",
    "OutputFormatExtension": "mp3",
    "FFMPEGArguments": "-y -vn -codec:a libmp3lame -b:a 192k",
}


def read_text(path):
    with open(path) as file:
        return file.read().strip()


def wait_until(predicate, timeout=20.0, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


def wait_with_progress(predicate, progress, stall=60.0, interval=0.05, what="condition"):
    """Waits until predicate() gives a true value for as long as progress() keeps changing, and
    fails once it has given the same value for `stall` seconds. For waits on work whose length
    no fixed total fits, such as a program writing and reading tens of megabytes, which takes
    many times longer under sanitizers or on a busy machine than in a release build."""
    last = progress()
    changed = time.monotonic()
    while True:
        value = predicate()
        if value:
            return value
        now = progress()
        if now != last:
            last, changed = now, time.monotonic()
        elif time.monotonic() - changed > stall:
            raise AssertionError("timed out waiting for %s: no progress for %g s (last %r)"
                                 % (what, stall, last))
        time.sleep(interval)


class XServer:
    """An Xvfb of its own, on a display number it picks itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.connection = xdisplay.Display(self.name)

    def stop(self):
        self.connection.close()
        self.process.terminate()
        self.process.wait(10)

    def xdotool(self, *arguments, check=True):
        result = subprocess.run(["xdotool", *map(str, arguments)], capture_output=True,
                                text=True, env=dict(os.environ, DISPLAY=self.name))
        if check and result.returncode != 0:
            raise AssertionError("xdotool %s failed: %s" % (arguments, result.stderr))
        return result.stdout.strip()

    def visible_windows(self, title):
        output = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title, check=False)
        return [int(line) for line in output.split()]

    def program_windows(self):
        """The program's visible top-level windows, whatever their titles."""
        output = self.xdotool("search", "--onlyvisible", "--classname", "^kelvane$", check=False)
        return [int(line) for line in output.split()]

    def wait_for_window(self, title, timeout=20.0):
        return wait_until(lambda: (self.visible_windows(title) or [None])[0], timeout,
                          what="window " + repr(title))

    def wait_until_gone(self, title, timeout=20.0):
        wait_until(lambda: not self.visible_windows(title), timeout,
                   what="window %r to disappear" % title)

    def click(self, window, point):
        # While a popup (a completer's list, a menu) holds the pointer, the X server gives every
        # click to it; Qt lets go of it a moment after the popup's dialog has gone.
        wait_until(self.pointer_free, what="the pointer to be released by the popup that holds it")
        self.xdotool("mousemove", "--window", window, point[0], point[1], "click", "1")

    def pointer_free(self):
        """Whether no program holds the pointer: X answers a grab of our own with AlreadyGrabbed
        while another one holds it; ours is let go at once."""
        root = self.connection.screen().root
        status = root.grab_pointer(False, 0, X.GrabModeAsync, X.GrabModeAsync, X.NONE, X.NONE,
                                   X.CurrentTime)
        if status != X.GrabSuccess:
            return False
        self.connection.ungrab_pointer(X.CurrentTime)
        self.connection.sync()
        return True

    # Keys go through XTEST to the focused window: Qt takes them as a person's key presses.
    def type_into(self, window, text):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("type", "--delay", "5", text)

    def key(self, window, name):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", name)

    def close(self, window):
        """Asks the window to close as a window manager does."""
        target = self.connection.create_resource_object("window", window)
        protocols = self.connection.intern_atom("WM_PROTOCOLS")
        delete = self.connection.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=target, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        target.send_event(event, event_mask=X.NoEventMask)
        self.connection.flush()

    def screenshot(self, window, path):
        subprocess.run(["import", "-window", str(window), path], check=True,
                       env=dict(os.environ, DISPLAY=self.name))


class TelemetryServer:
    """The local telemetry API: every request body it receives, in arrival order."""

    def __init__(self, *options):
        self.log = tempfile.NamedTemporaryFile(prefix="kelvane-telemetry-", delete=False)
        self.process = subprocess.Popen([SERVER, "--port", str(PORT), *options],
                                        stdout=self.log, stderr=subprocess.DEVNULL)
        wait_until(self.listening, what="the telemetry server to listen")

    def listening(self):
        if self.process.poll() is not None:
            raise RuntimeError("telemetry server did not start")
        try:
            socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
            return True
        except OSError:
            return False

    def bodies(self):
        with open(self.log.name, "rb") as log:
            return [line for line in log.read().split(b"\n") if line]

    def events(self):
        found = []
        for body in self.bodies():
            assert body.startswith(b"PostData=") and body.endswith(b"&"), body
            found.append(json.loads(body[len("PostData="):-1].decode("latin-1")))
        return found

    def methods(self):
        return [event["Method"] for event in self.events()]

    def wait_for(self, method, count=1, timeout=20.0):
        return wait_until(lambda: self.methods().count(method) >= count, timeout,
                          what="%d %s event(s)" % (count, method))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        if os.path.exists(self.log.name):
            os.unlink(self.log.name)


STAND_IN_HEADER = "#!/bin/sh\n"


class Installation:
    """A temporary application folder with its Configuration and converter, a home with a
    desktop, and a stand-in xdg-open first on PATH."""

    def __init__(self, configuration=None, converter="ffmpeg"):
        self.make_home("kelvane-e2e-")
        self.app = os.path.join(self.root, "app")
        os.makedirs(self.app)
        shutil.copy(PROGRAM, os.path.join(self.app, "kelvane"))
        if isinstance(configuration, bytes):
            with open(os.path.join(self.app, "Configuration"), "wb") as file:
                file.write(configuration)
        elif configuration is not None:
            with open(os.path.join(self.app, "Configuration"), "w") as file:
                json.dump(configuration, file, indent=4)
        self.set_converter(converter)

    def make_home(self, prefix):
        """A temporary root with a home, its desktop and runtime folder, and a stand-in
        xdg-open that records what the desktop is asked to open."""
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.home = os.path.join(self.root, "home")
        self.desktop = os.path.join(self.home, "Desktop")
        self.bin = os.path.join(self.root, "bin")
        self.opened_log = os.path.join(self.root, "opened.txt")
        for folder in (self.desktop, self.bin, os.path.join(self.home, ".runtime")):
            os.makedirs(folder)
        os.chmod(os.path.join(self.home, ".runtime"), 0o700)
        self.write_script(os.path.join(self.bin, "xdg-open"),
                          'printf "%%s\\n" "$1" >> "%s"\n' % self.opened_log)
        self.process = None

    def command_line(self):
        return [os.path.join(self.app, "kelvane")]

    def search_path(self):
        """Where the program's PATH looks after the stand-in xdg-open."""
        return os.environ.get("PATH", "")

    @property
    def converter_path(self):
        return os.path.join(self.app, "ffmpeg-win", "ffmpeg.exe")

    def set_converter(self, converter):
        """"ffmpeg" links the real one, None leaves none, any other text is a stand-in
        shell script body."""
        folder = os.path.dirname(self.converter_path)
        shutil.rmtree(folder, ignore_errors=True)
        if converter is None:
            return
        os.makedirs(folder)
        if converter == "ffmpeg":
            os.symlink(shutil.which("ffmpeg"), self.converter_path)
        else:
            self.write_script(self.converter_path, converter)

    @staticmethod
    def write_script(path, body):
        with open(path, "w") as script:
            script.write(STAND_IN_HEADER + body)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)

    def make_flac(self, name, seconds=5):
        path = os.path.join(self.root, name)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=%d" % seconds, "-ac", "2", "-ar",
                        "44100", path], check=True)
        return path

    def opened(self):
        if not os.path.exists(self.opened_log):
            return []
        with open(self.opened_log) as log:
            return log.read().split()

    def start(self, x_server, **overrides):
        environment = {
            key: value for key, value in os.environ.items()
            if not key.startswith(("XDG_", "QT_", "DESKTOP_SESSION", "KDE_", "GNOME_"))
        }
        environment.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, ".runtime"),
            "DISPLAY": x_server.name,
            "QT_QPA_PLATFORM": "xcb",
            "PATH": self.bin + os.pathsep + self.search_path(),
        })
        environment.update(overrides)
        if self.process:
            self.stderr.close()
        self.stderr = open(os.path.join(self.root, "stderr.txt"), "wb")
        self.process = subprocess.Popen(self.command_line(), cwd=self.root, env=environment,
                                        stdout=subprocess.DEVNULL, stderr=self.stderr)
        return self.process

    def progress(self):
        """What shows that the running program is still at work: how much it has written to
        standard error and how much processor time it has used. Fails once it has ended."""
        status = self.process.poll()
        if status is not None:
            raise AssertionError("the program ended with status %d" % status)
        return os.path.getsize(self.stderr.name), self.processor_time()

    def processor_time(self):
        """The processor time the program's process has used so far, in clock ticks; None once
        it cannot be read."""
        try:
            with open("/proc/%d/stat" % self.process.pid) as stat_file:
                # The fields after the command name, which is in parentheses and may hold spaces.
                fields = stat_file.read().rsplit(")", 1)[1].split()
        except OSError:
            return None
        return int(fields[11]) + int(fields[12])  # utime and stime

    def diagnostics(self):
        with open(os.path.join(self.root, "stderr.txt"), "rb") as log:
            return log.read().decode("latin-1")

    def wait_for_exit(self, timeout=20.0):
        return self.process.wait(timeout)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(10)
        if self.process:
            self.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)


TITLE = SAMPLE_CONFIGURATION["AppName"]
DIALOG_TITLE = "Select a FLAC file to convert"
HOMEPAGE = "http://" + SAMPLE_CONFIGURATION["AppHomepage"]


class ProgramDriver(unittest.TestCase):
    """Starts the program in its own X server and drives it as a person does."""

    @classmethod
    def setUpClass(cls):
        cls.x = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def install(self, converter="ffmpeg", configuration=SAMPLE_CONFIGURATION):
        self.installation = Installation(configuration, converter)
        self.addCleanup(self.installation.stop)
        return self.installation

    def serve(self, *options):
        self.server = TelemetryServer(*options)
        self.addCleanup(self.server.stop)
        return self.server

    def start(self):
        self.installation.start(self.x)
        self.window = self.x.wait_for_window(TITLE)
        return self.window

    def choose_file(self, path):
        """Chooses the file in the program's dialog. The window takes the dialog's answer as it
        closes the dialog, before it handles anything that comes after."""
        self.x.click(self.window, FIND_FILE)
        dialog = self.x.wait_for_window(DIALOG_TITLE)
        self.x.type_into(dialog, path)
        # The first Return may only take the completer's suggestion of the same path.
        for _ in range(3):
            time.sleep(0.3)
            if not self.x.visible_windows(DIALOG_TITLE):
                break
            try:
                self.x.key(dialog, "Return")
            except AssertionError:
                # Gone between the look and the key: it took the Return before.
                if self.x.visible_windows(DIALOG_TITLE):
                    raise
                break
        self.x.wait_until_gone(DIALOG_TITLE)

    def convert(self, path):
        """Chooses the file and presses Convert."""
        self.choose_file(path)
        self.x.click(self.window, CONVERT)

    def answer_box(self, title, key="Return"):
        box = self.x.wait_for_window(title)
        self.x.key(box, key)
        self.x.wait_until_gone(title)

    def close_and_wait(self, timeout=20.0):
        self.x.close(self.window)
        return self.installation.wait_for_exit(timeout)

    def fake_source(self, name="track.flac"):
        path = os.path.join(self.installation.root, name)
        with open(path, "wb") as source:
            source.write(b"fLaC not really")
        return path
