"""Benchmarks with figures (not pass/fail): conversion overhead against FFmpeg run directly,
start-up against a minimal Qt program, and the program's memory during a long conversion.
Run through scripts/bench.sh, which builds what this needs and sets the paths."""

import os
import select
import shutil
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from Xlib import X, display as xdisplay  # noqa: E402

import harness  # noqa: E402
from harness import CONVERT, TITLE, Installation, ProgramDriver, XServer  # noqa: E402

MINIMAL = os.environ["KELVANE_BENCH_MINIMAL"]
ROUNDS = int(os.environ.get("KELVANE_BENCH_ROUNDS", "5"))
ARGUMENTS = ["-y", "-vn", "-codec:a", "libmp3lame", "-b:a", "192k"]


class TimedServer:
    """The telemetry server, with the arrival time of every request."""

    def __init__(self):
        self.arrivals = []
        self.process = subprocess.Popen([harness.SERVER, "--port", str(harness.PORT)],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        time.sleep(0.2)

    def _read(self):
        for line in self.process.stdout:
            self.arrivals.append((time.perf_counter(), line))

    def wait_for(self, marker, count, timeout=300):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [t for t, line in self.arrivals if marker in line]
            if len(found) >= count:
                return found[count - 1]
            time.sleep(0.001)
        raise TimeoutError(marker)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def time_to_first_map(x, argv, environment):
    """Seconds from starting the process to its first top-level window being mapped."""
    connection = xdisplay.Display(x.name)
    root = connection.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    connection.sync()
    started = time.perf_counter()
    process = subprocess.Popen(argv, env=environment, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        while True:
            while connection.pending_events():
                event = connection.next_event()
                if event.type == X.MapNotify and event.event == root:
                    return time.perf_counter() - started
            if not select.select([connection.fileno()], [], [], 30)[0]:
                raise TimeoutError("no window was mapped")
    finally:
        process.kill()
        process.wait()
        connection.close()


def program_environment(installation, x):
    environment = dict(os.environ, HOME=installation.home, DISPLAY=x.name,
                       XDG_CONFIG_HOME=os.path.join(installation.home, ".config"),
                       XDG_RUNTIME_DIR=os.path.join(installation.home, ".runtime"),
                       QT_QPA_PLATFORM="xcb")
    return environment


def bench_startup(x):
    installation = Installation(harness.SAMPLE_CONFIGURATION)
    server = TimedServer()
    try:
        environment = program_environment(installation, x)
        program = os.path.join(installation.app, "kelvane")
        kelvane, minimal = [], []
        for _ in range(ROUNDS * 2):
            kelvane.append(time_to_first_map(x, [program], environment))
            minimal.append(time_to_first_map(x, [MINIMAL], environment))
        k, m = statistics.median(kelvane), statistics.median(minimal)
        print("start-up to window shown: kelvane %.1f ms, minimal Qt window %.1f ms, "
              "ratio %.2f (median of %d)" % (k * 1000, m * 1000, k / m, len(kelvane)))
    finally:
        server.stop()
        installation.stop()


class Conversions(ProgramDriver):
    """Borrows the end-to-end driver to press the program's buttons."""

    def runTest(self):
        pass


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def convert_in_program(driver, server, done, sample_pid=None):
    """Seconds from the Convert press to the completion event, and the peak RSS seen."""
    peak = 0
    started = time.perf_counter()
    driver.x.click(driver.window, CONVERT)
    deadline = time.monotonic() + 600
    while True:
        found = [t for t, line in server.arrivals if b"ConversionCompleted" in line]
        if len(found) > done:
            return found[done] - started, peak
        if sample_pid:
            peak = max(peak, rss_kib(sample_pid))
        if time.monotonic() > deadline:
            raise TimeoutError("conversion did not complete")
        time.sleep(0.02 if sample_pid else 0.001)


def bench_conversion(x):
    driver = Conversions()
    driver.x = x
    installation = driver.install()
    server = TimedServer()
    try:
        ten_minutes = installation.make_flac("ten minutes.flac", seconds=600)
        one_minute = installation.make_flac("one minute.flac", seconds=60)
        one_hour = installation.make_flac("one hour.flac", seconds=3600)
        driver.start()
        driver.choose_file(ten_minutes)
        output = os.path.join(installation.desktop, "ten minutes.mp3")
        direct_output = os.path.join(installation.root, "direct.mp3")
        program_times, direct_times, done = [], [], 0
        for _ in range(ROUNDS):
            program_times.append(convert_in_program(driver, server, done)[0])
            done += 1
            started = time.perf_counter()
            subprocess.run(["ffmpeg", "-i", ten_minutes, *ARGUMENTS, direct_output],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            direct_times.append(time.perf_counter() - started)
        p, d = statistics.median(program_times), statistics.median(direct_times)
        print("10-minute stereo FLAC to MP3: program %.3f s (%.3f-%.3f), ffmpeg directly "
              "%.3f s (%.3f-%.3f), ratio %.3f (median, range of %d rounds each)"
              % (p, min(program_times), max(program_times), d, min(direct_times),
                 max(direct_times), p / d, ROUNDS))
        assert os.path.getsize(output) > 0

        pid = installation.process.pid
        idle = rss_kib(pid)
        driver.choose_file(one_minute)
        _, short_peak = convert_in_program(driver, server, done, sample_pid=pid)
        done += 1
        driver.choose_file(one_hour)
        _, long_peak = convert_in_program(driver, server, done, sample_pid=pid)
        stderr = subprocess.run(["ffmpeg", "-i", one_hour, *ARGUMENTS, direct_output],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, check=True).stderr
        print("memory (RSS): idle %.1f MiB, peak during a 1-minute job %.1f MiB, during a "
              "1-hour job %.1f MiB; FFmpeg's output for the 1-hour job is %.0f KiB"
              % (idle / 1024, short_peak / 1024, long_peak / 1024, len(stderr) / 1024))
    finally:
        if installation.process and installation.process.poll() is None:
            x.close(driver.window)
            installation.wait_for_exit(30)
        server.stop()
        installation.stop()


def main():
    if not shutil.which("ffmpeg"):
        sys.exit("ffmpeg is needed")
    x = XServer()
    try:
        bench_startup(x)
        bench_conversion(x)
    finally:
        x.stop()


if __name__ == "__main__":
    main()
