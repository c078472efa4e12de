#!/usr/bin/env bash
# Configures and builds Kelvane in the folder given as $1 (default: build), passing any
# further arguments to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
