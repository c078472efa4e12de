"""Load figures for kelvane-collector (not pass/fail): wrk posts real event bodies over
keep-alive connections for a while, at each concurrency, against a collector on a free
loopback port with SQLite in a temporary folder, then with PostgreSQL in a temporary cluster.
Each run has a fresh collector and database, so its peak memory and its stored events are its
own. Prints events per second, latency, the collector's peak resident memory, and how many
events `export` returns against the answers wrk counted as 2xx.

    collector_bench.py [COLLECTOR]     (default build/collector/kelvane-collector)

KELVANE_BENCH_SECONDS (default 10), KELVANE_BENCH_CONNECTIONS (default "64,512"),
KELVANE_BENCH_DATABASES (default "sqlite,postgresql"), KELVANE_BENCH_SERVE_OPTIONS (more options
for `serve`, such as "--threads 2"). Run through scripts/bench-collector.sh,
which installs wrk and builds the collector; run as root (the cluster runs as `postgres`)."""

import glob
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = int(os.environ.get("KELVANE_BENCH_SECONDS", "10"))
CONNECTIONS = [int(n) for n in os.environ.get("KELVANE_BENCH_CONNECTIONS", "64,512").split(",")]
DATABASES = os.environ.get("KELVANE_BENCH_DATABASES", "sqlite,postgresql").split(",")
THREADS = max(1, min(4, os.cpu_count() or 1))
SERVE_OPTIONS = os.environ.get("KELVANE_BENCH_SERVE_OPTIONS", "").split()

# One user's session, sent round by round: every request has its own UserID, AppSessionID and
# ConversionID from the thread's number and a counter. Members in ascending key order, as the
# program writes them; the file name carries a Latin-1 byte (e-acute), as the program sends it.
WRK_SCRIPT = r'''
local common = '"APIVersion":"1.0","AppID":"101","AppSessionID":"s-%s","AppVersion":"1.0.0",' ..
    '"BrandID":"7",'
local tail = '"OS":"Linux","OSVersion":"12","UserID":"u-%s"'
local bodies = {
    '{' .. common .. '"DateTimeClient":"20261211093000","Method":"AppOpened",' .. tail .. '}',
    '{' .. common .. '"ConversionID":"c-%s","DateTimeClient":"20261211093005",' ..
        '"FFMPEGArguments":"-y -vn -codec:a libmp3lame -b:a 192k","FileExtension":"flac",' ..
        '"FileName":"Caf\233 & Bar=1%%.flac","FilePath":"/home/user/Music","FileSize":"31457280",' ..
        '"FormatToConvertTo":"mp3","Method":"ConversionStarted",' .. tail .. '}',
    '{' .. common .. '"ConversionDurationInSeconds":4,"ConversionID":"c-%s",' ..
        '"ConvertedFileSize":"9437184","DateTimeClient":"20261211093009",' ..
        '"Method":"ConversionCompleted",' .. tail .. '}',
    '{' .. common .. '"DateTimeClient":"20261211093100","Method":"AppClosed",' ..
        '"OS":"Linux","OSVersion":"12","SecondsSinceAppStarted":"60","UserID":"u-%s"}',
}
local threads = {}
function setup(thread)
    thread:set("id", #threads + 1)
    table.insert(threads, thread)
end

wrk.method = "POST"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
counter = 0
ok = 0

function request()
    counter = counter + 1
    local n = id .. "-" .. counter
    local template = bodies[counter % #bodies + 1]
    local json
    if template:find("c%-%%s") then
        json = string.format(template, n, n, n)
    else
        json = string.format(template, n, n)
    end
    return wrk.format(nil, nil, nil, "PostData=" .. json .. "&")
end

function response(status, headers, body)
    if status >= 200 and status < 300 then
        ok = ok + 1
    end
end

function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("ok")
    end
    io.write(string.format("BENCH ok=%d requests=%d duration_us=%d p50_us=%d p99_us=%d " ..
        "connect_errors=%d read_errors=%d timeouts=%d non2xx=%d\n",
        total, summary.requests, summary.duration, latency:percentile(50),
        latency:percentile(99), summary.errors.connect, summary.errors.read,
        summary.errors.timeout, summary.errors.status))
end
'''


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for_port(port, process, log, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            log.seek(0)
            lines = log.read().strip().splitlines() or ["(nothing)"]
            raise RuntimeError("the collector ended with status %d: %s"
                               % (process.returncode, lines[-1]))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the collector did not answer on port %d" % port)


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


class PostgresCluster:
    """A cluster of its own in a temporary folder, reached only through its socket there."""

    def __init__(self, folder):
        binaries = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                          key=lambda path: int(path.split("/")[4]))
        if not binaries:
            raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql/*/bin")
        self.bin = os.path.dirname(binaries[-1])
        self.folder = os.path.join(folder, "pg")
        os.mkdir(self.folder, 0o700)
        user = pwd.getpwnam("postgres")
        os.chown(self.folder, user.pw_uid, user.pw_gid)
        self.data = os.path.join(self.folder, "data")
        self.run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                 "--no-sync")
        self.run("pg_ctl", "-D", self.data, "-w", "-l", os.path.join(self.folder, "log"),
                 "-o", "-c listen_addresses='' -c unix_socket_directories='%s' "
                 "-c max_connections=200 -c fsync=on" % self.folder, "start")
        self.count = 0

    def run(self, program, *arguments):
        subprocess.run(["runuser", "-u", "postgres", "--", os.path.join(self.bin, program)]
                       + list(arguments), check=True, stdout=subprocess.DEVNULL)

    def new_database(self):
        self.count += 1
        name = "bench%d" % self.count
        self.run("createdb", "-h", self.folder, "-U", "postgres", name)
        return "postgresql:///%s?host=%s&user=postgres" % (name, self.folder)

    def version(self):
        return self.bin.split("/")[4]

    def stop(self):
        subprocess.run(["runuser", "-u", "postgres", "--", os.path.join(self.bin, "pg_ctl"),
                        "-D", self.data, "-m", "fast", "stop"], stdout=subprocess.DEVNULL)


def run_once(collector, database, connections, folder):
    port = free_port()
    log = open(os.path.join(folder, "collector-%d.log" % port), "w+")
    process = subprocess.Popen(
        [collector, "serve", "--listen", "127.0.0.1:%d" % port, "--database", database,
         "--max-connections", str(max(1024, 2 * connections)), *SERVE_OPTIONS],
        stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_for_port(port, process, log)
        script = os.path.join(folder, "events.lua")
        with open(script, "w", encoding="latin-1") as file:
            file.write(WRK_SCRIPT)
        result = subprocess.run(
            ["wrk", "-t", str(THREADS), "-c", str(connections), "-d", "%ds" % SECONDS,
             "--timeout", "30s", "-s", script, "http://127.0.0.1:%d/API/" % port],
            capture_output=True, text=True, check=True)
        line = next((line for line in result.stdout.splitlines() if line.startswith("BENCH ")),
                    None)
        if line is None:
            raise RuntimeError("wrk printed no figures:\n" + result.stdout + result.stderr)
        figures = {key: int(value) for key, value in re.findall(r"(\w+)=(\d+)", line)}
        figures["peak_rss_mib"] = peak_rss_mib(process.pid)
        exported = subprocess.run([collector, "export", "--database", database],
                                  capture_output=True, check=True).stdout
        figures["exported"] = sum(1 for line in exported.splitlines() if line.strip())
        return figures
    finally:
        process.terminate()
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        log.close()


def main():
    collector = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                                else os.path.join(HERE, "..", "build", "collector",
                                                  "kelvane-collector"))
    if not os.access(collector, os.X_OK):
        sys.exit("no collector at %s: build it first (scripts/bench-collector.sh)" % collector)
    folder = tempfile.mkdtemp(prefix="kelvane-collector-bench.")
    os.chmod(folder, 0o755)   # the cluster's user must reach its folder inside
    cluster = None
    rows = []
    try:
        for kind in DATABASES:
            for connections in CONNECTIONS:
                if kind == "sqlite":
                    database = "sqlite:%s/bench-%d.db" % (folder, len(rows))
                    label = "SQLite (WAL)"
                elif kind == "postgresql":
                    if cluster is None:
                        cluster = PostgresCluster(folder)
                    database = cluster.new_database()
                    label = "PostgreSQL %s" % cluster.version()
                else:
                    sys.exit("unknown database kind %r" % kind)
                print("bench: %s, %d connections, %d s ..." % (label, connections, SECONDS),
                      flush=True)
                try:
                    figures = run_once(collector, database, connections, folder)
                except (RuntimeError, subprocess.CalledProcessError) as error:
                    print("bench: no figures: %s" % error, flush=True)
                    figures = {"failed": str(error)}
                rows.append((label, connections, figures))
    finally:
        if cluster is not None:
            cluster.stop()
        shutil.rmtree(folder, ignore_errors=True)

    print()
    print("wrk: %d threads, keep-alive, %d s a run, %d CPUs, load average %.1f at the end"
          % (THREADS, SECONDS, os.cpu_count() or 0, os.getloadavg()[0]))
    header = ("Database", "Conn.", "Events/s", "p50", "p99", "Peak RSS", "2xx (wrk)",
              "Exported", "Errors")
    table = []
    for label, connections, f in rows:
        if "failed" in f:
            table.append((label, str(connections), "failed") + ("",) * (len(header) - 3))
            continue
        seconds = f["duration_us"] / 1e6
        errors = f["connect_errors"] + f["read_errors"] + f["timeouts"] + f["non2xx"]
        table.append((label, str(connections), "%.0f" % (f["ok"] / seconds),
                      "%.1f ms" % (f["p50_us"] / 1000), "%.1f ms" % (f["p99_us"] / 1000),
                      "%.1f MiB" % f["peak_rss_mib"], str(f["ok"]), str(f["exported"]),
                      str(errors)))
    widths = [max(len(row[i]) for row in [header] + table) for i in range(len(header))]
    for row in [header] + table:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    print()
    print("Errors: wrk's connect, read and timeout errors and non-2xx answers. Exported counts "
          "`export` lines; it exceeds 2xx when wrk closed a connection at the end while its "
          "event was being stored.")


if __name__ == "__main__":
    main()
