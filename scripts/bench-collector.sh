#!/usr/bin/env bash
# Builds the telemetry collector and prints its load figures (bench/collector_bench.py): events
# per second, latency and peak memory under wrk at 64 and 512 keep-alive connections, with
# SQLite and with PostgreSQL in a temporary cluster, and the events stored against the
# answers counted. Figures only; nothing here passes or fails. Run it as root on an otherwise
# idle machine. A build folder may be given (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
scripts/install-deps.sh
# wrk only drives this benchmark, so it is installed here rather than with the build's tools.
if ! dpkg-query -W -f='${Status}' wrk 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wrk
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_QT_VERSION=6 > /dev/null
cmake --build "$build_dir" --target kelvane-collector --parallel "$(nproc)"
PYTHONDONTWRITEBYTECODE=1 python3 bench/collector_bench.py "$build_dir/collector/kelvane-collector"
