#!/usr/bin/env bash
# Builds Kelvane (Qt 6 and, where Debian has what it needs, Qt 5) and prints its benchmark
# figures for both builds side by side: start-up and memory against a minimal Qt window, the cost
# of one JSON call, the conversion against FFmpeg run directly, memory during a long job, and
# the cost of reading one chunk of converter output. Figures only; nothing here passes or fails.
# Run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
builds="Qt 6=build"
if KELVANE_QT_VERSION=5 scripts/install-deps.sh; then
    KELVANE_QT_VERSION=5 scripts/build.sh build-qt5
    builds+=";Qt 5=build-qt5"
fi
build/bench/reader-bench
KELVANE_BENCH_BUILDS="$builds" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/run_benchmarks.py
