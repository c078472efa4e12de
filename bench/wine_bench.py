"""Figures for the Windows program under Wine (not pass/fail): start-up to the window shown and
resident memory half a second later, against a minimal Qt window built the same way and laid
out beside the same DLLs; a 10-minute FLAC converted to MP3 through the window against the
bundled ffmpeg.exe run directly with the same arguments. Run through scripts/bench-windows.sh."""

import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "windows"))
import wine  # noqa: E402
import harness  # noqa: E402

MINIMAL = os.environ["KELVANE_WINDOWS_MINIMAL"]
STARTS = int(os.environ.get("KELVANE_BENCH_STARTS", "5"))
ROUNDS = int(os.environ.get("KELVANE_BENCH_ROUNDS", "3"))
ARGUMENTS = ["-y", "-vn", "-codec:a", "libmp3lame", "-b:a", "192k"]


def resident_mib(pid):
    """Resident memory of the Windows process: Wine runs it in the process that exec'd."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def start_once(x, prefix, folder, program, title):
    environment = prefix.env(DISPLAY=x.name)
    began = time.monotonic()
    process = subprocess.Popen(["wine", os.path.join(folder, program)], env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    harness.wait_until(lambda: x.visible_windows(title), timeout=120, interval=0.01,
                       what=title)
    shown = time.monotonic() - began
    time.sleep(0.5)
    memory = resident_mib(process.pid)
    prefix.kill()
    process.wait(30)
    return shown, memory


def main():
    x = harness.XServer()
    prefix = wine.WinePrefix("10")
    folder = os.path.join(prefix.root, "app")
    shutil.copytree(wine.APP, folder)
    shutil.copy(MINIMAL, os.path.join(folder, "minimal-window.exe"))
    server = harness.TelemetryServer()
    try:
        if STARTS:
            figures = {"kelvane": [], "minimal": []}
            # Alternating, after one start of each to warm Wine's caches.
            start_once(x, prefix, folder, "kelvane.exe", harness.TITLE)
            start_once(x, prefix, folder, "minimal-window.exe", "Minimal")
            for _ in range(STARTS):
                figures["kelvane"].append(start_once(x, prefix, folder, "kelvane.exe",
                                                     harness.TITLE))
                figures["minimal"].append(start_once(x, prefix, folder, "minimal-window.exe",
                                                     "Minimal"))
            for name, runs in figures.items():
                print("wine-bench: start-up to window shown, %s: median %.2f s (%s); resident "
                      "memory 0.5 s later: median %.1f MiB" % (
                          name, statistics.median(r[0] for r in runs),
                          ", ".join("%.2f" % r[0] for r in runs),
                          statistics.median(r[1] for r in runs)))
            ratio = statistics.median(r[0] for r in figures["kelvane"]) / \
                statistics.median(r[0] for r in figures["minimal"])
            print("wine-bench: start-up ratio kelvane/minimal %.2f" % ratio)

        source = wine.make_flac(prefix.root, "Ten.flac", seconds=600)
        direct, through = [], []
        for _ in range(ROUNDS):
            out = os.path.join(prefix.root, "direct.mp3")
            began = time.monotonic()
            subprocess.run(["wine", os.path.join(folder, "ffmpeg-win", "ffmpeg.exe"), "-i",
                            prefix.windows_path(source)] + ARGUMENTS +
                           [prefix.windows_path(out)], env=prefix.env(), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            direct.append(time.monotonic() - began)
            prefix.kill()
            through.append(convert_through_window(x, prefix, folder, server, source))
        print("wine-bench: 10-minute FLAC to MP3 through the window: median %.2f s (%s)" % (
            statistics.median(through), ", ".join("%.2f" % t for t in through)))
        print("wine-bench: ffmpeg.exe run directly: median %.2f s (%s)" % (
            statistics.median(direct), ", ".join("%.2f" % t for t in direct)))
        print("wine-bench: ratio %.3f" % (statistics.median(through) /
                                          statistics.median(direct)))
    finally:
        server.stop()
        prefix.remove()
        x.stop()


def convert_through_window(x, prefix, folder, server, source):
    """Convert press to the ConversionCompleted event, as the Linux benchmark measures."""
    before = server.methods().count("ConversionCompleted")
    # The dialog opens on the file chosen last; Return takes it.
    prefix.run("wine", "reg", "add", "HKCU\\" + wine.APP_KEY, "/v", "LastSelectFolder", "/d",
               prefix.windows_path(source).replace("\\", "/"), "/f")
    subprocess.Popen(["wine", os.path.join(folder, "kelvane.exe")], env=prefix.env(
        DISPLAY=x.name), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    window = harness.wait_until(lambda: (x.visible_windows(harness.TITLE) or [None])[0],
                                timeout=120, what="the window")
    harness.wait_until(lambda: server.methods().count("AppOpened") > 0, timeout=60,
                       what="AppOpened")
    x.click(window, harness.FIND_FILE)
    dialog = x.wait_for_window(harness.DIALOG_TITLE, timeout=60)
    time.sleep(1)
    x.key(dialog, "Return")
    x.wait_until_gone(harness.DIALOG_TITLE)
    began = time.monotonic()
    x.click(window, harness.CONVERT)
    harness.wait_until(lambda: server.methods().count("ConversionCompleted") > before,
                       timeout=600, interval=0.01, what="ConversionCompleted")
    took = time.monotonic() - began
    prefix.kill()
    return took


if __name__ == "__main__":
    main()
