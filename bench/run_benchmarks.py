"""Benchmarks with figures (not pass/fail), for each build given, side by side in one run:
start-up to the window shown and resident memory half a second later, each against a minimal
window of the same Qt; the cost of one JSON call; the conversion against FFmpeg run directly;
and the program's memory during a long conversion. Run through scripts/bench.sh, which builds
what this needs and names the build folders (KELVANE_BENCH_BUILDS="Qt 6=build;Qt 5=build-qt5")."""

import os
import select
import shutil
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

BUILDS = [item.split("=", 1) for item in
          os.environ.get("KELVANE_BENCH_BUILDS", "Qt 6=build").split(";") if item]


def e2e_settings(build):
    """The end-to-end paths and port that the build wrote into its e2e.env."""
    with open(os.path.join(build, "e2e.env")) as env:
        return dict(line.strip().split("=", 1) for line in env if "=" in line)


# The harness reads its program, server and port when it is imported; each build's are set
# again before that build is measured.
os.environ.update(e2e_settings(BUILDS[0][1]))

from Xlib import X, display as xdisplay  # noqa: E402

import harness  # noqa: E402
from harness import CONVERT, Installation, ProgramDriver, XServer  # noqa: E402

ROUNDS = int(os.environ.get("KELVANE_BENCH_ROUNDS", "5"))
STARTS = int(os.environ.get("KELVANE_BENCH_STARTS", "20"))
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


def start_and_measure(x, argv, environment):
    """Seconds from starting the process to its first top-level window being mapped, and its
    resident memory in KiB half a second later."""
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
                    shown = time.perf_counter() - started
                    time.sleep(0.5)
                    return shown, rss_kib(process.pid)
            if not select.select([connection.fileno()], [], [], 30)[0]:
                raise TimeoutError("no window was mapped")
    finally:
        process.kill()
        process.wait()
        connection.close()


def program_environment(installation, x, **extra):
    environment = dict(os.environ, HOME=installation.home, DISPLAY=x.name,
                       XDG_CONFIG_HOME=os.path.join(installation.home, ".config"),
                       XDG_RUNTIME_DIR=os.path.join(installation.home, ".runtime"),
                       QT_QPA_PLATFORM="xcb", **extra)
    return environment


def bench_startup(x, build, **extra):
    """Median start-up time and memory of the program and of the minimal window, started
    alternately."""
    installation = Installation(harness.SAMPLE_CONFIGURATION)
    server = TimedServer()
    try:
        environment = program_environment(installation, x, **extra)
        program = os.path.join(installation.app, "kelvane")
        minimal = os.path.join(build, "bench", "minimal-window")
        kelvane, reference = [], []
        for _ in range(STARTS):
            kelvane.append(start_and_measure(x, [program], environment))
            reference.append(start_and_measure(x, [minimal], environment))
        return {
            "start": statistics.median(t for t, _ in kelvane),
            "start_minimal": statistics.median(t for t, _ in reference),
            "rss": statistics.median(r for _, r in kelvane),
            "rss_minimal": statistics.median(r for _, r in reference),
        }
    finally:
        server.stop()
        installation.stop()


def bench_json(build):
    output = subprocess.run([os.path.join(build, "bench", "json-bench")], check=True,
                            capture_output=True, text=True).stdout
    words = output.split()
    return {"parse": float(words[words.index("answer") + 1]),
            "stringify": float(words[words.index("event") + 1])}


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
        # The window takes clicks once its start-up is through, as a person's first click
        # comes after the window has appeared and settled.
        server.wait_for(b"AppOpened", 1)
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
        assert os.path.getsize(output) > 0

        pid = installation.process.pid
        idle = rss_kib(pid)
        driver.choose_file(one_minute)
        _, short_peak = convert_in_program(driver, server, done, sample_pid=pid)
        done += 1
        driver.choose_file(one_hour)
        _, long_peak = convert_in_program(driver, server, done, sample_pid=pid)
        return {"program": program_times, "direct": direct_times, "idle": idle,
                "short_peak": short_peak, "long_peak": long_peak}
    finally:
        if installation.process and installation.process.poll() is None:
            x.close(driver.window)
            installation.wait_for_exit(30)
        server.stop()
        installation.stop()


def use_build(build):
    """Points the end-to-end harness at the programs of one build folder."""
    settings = e2e_settings(build)
    harness.PROGRAM = settings["KELVANE_E2E_PROGRAM"]
    harness.SERVER = settings["KELVANE_E2E_SERVER"]
    harness.PORT = int(settings["KELVANE_E2E_PORT"])


def span(values):
    return "%.2f s (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def print_table(results):
    labels = list(results)
    rows = [
        ("Start-up to the window shown, median of %d" % STARTS,
         lambda r: "%.0f ms" % (r["start"] * 1000)),
        ("  the minimal window of the same Qt", lambda r: "%.0f ms" % (r["start_minimal"] * 1000)),
        ("  ratio (target for Qt 6: 1.25 x)", lambda r: "%.2f" % (r["start"] / r["start_minimal"])),
        ("Resident memory 0.5 s after the window is shown",
         lambda r: "%.1f MiB" % (r["rss"] / 1024)),
        ("  the minimal window of the same Qt", lambda r: "%.1f MiB" % (r["rss_minimal"] / 1024)),
        ("  ratio (target for Qt 6: 1.25 x)", lambda r: "%.2f" % (r["rss"] / r["rss_minimal"])),
        ("JSON parse of a server answer, per call", lambda r: "%.2f us" % r["parse"]),
        ("JSON stringify of an event, per call", lambda r: "%.2f us" % r["stringify"]),
        ("10-minute FLAC to MP3 in the program, median (range) of %d" % ROUNDS,
         lambda r: span(r["program"]) if "program" in r else "-"),
        ("  FFmpeg run directly", lambda r: span(r["direct"]) if "direct" in r else "-"),
        ("  ratio (target: within 2 %)",
         lambda r: "%.3f" % (statistics.median(r["program"]) / statistics.median(r["direct"]))
         if "program" in r else "-"),
        ("Memory: idle, peak in a 1-minute job, peak in a 1-hour job",
         lambda r: "%.0f, %.0f, %.0f MiB" % (r["idle"] / 1024, r["short_peak"] / 1024,
                                              r["long_peak"] / 1024) if "idle" in r else "-"),
    ]
    print("\n| What | " + " | ".join(labels) + " |")
    print("|---|" + "---|" * len(labels))
    for title, cell in rows:
        print("| %s | %s |" % (title, " | ".join(cell(results[label]) for label in labels)))


def main():
    if not shutil.which("ffmpeg"):
        sys.exit("ffmpeg is needed")
    x = XServer()
    results = {}
    try:
        for label, build in BUILDS:
            use_build(build)
            print("%s (%s): start-up and memory..." % (label, build), flush=True)
            results[label] = bench_startup(x, build)
            results[label].update(bench_json(build))
            if label.startswith("Qt 5"):
                # What Qt 5's GLX integration costs at the first window; nothing here draws
                # with OpenGL.
                print("%s without its GLX integration: start-up and memory..." % label,
                      flush=True)
                results[label + ", no GLX"] = bench_startup(x, build, QT_XCB_GL_INTEGRATION="none")
                results[label + ", no GLX"].update(bench_json(build))
            print("%s: conversions..." % label, flush=True)
            results[label].update(bench_conversion(x))
    finally:
        x.stop()
    print_table(results)


if __name__ == "__main__":
    main()
