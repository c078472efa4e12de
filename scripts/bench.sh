#!/usr/bin/env bash
# Builds Kelvane and prints its benchmark figures: conversion overhead against FFmpeg run
# directly, start-up against a minimal Qt program, memory during a long job, and the cost of
# reading one chunk of converter output. Figures only; nothing here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
build/bench/reader-bench
set -a
. build/e2e.env
set +a
KELVANE_BENCH_MINIMAL="$PWD/build/bench/minimal-window" \
PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 bench/run_benchmarks.py
