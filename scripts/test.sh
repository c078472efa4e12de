#!/usr/bin/env bash
# Installs what is missing, builds Kelvane with its tests and runs the whole suite with ctest.
# Extra arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd build
ctest --output-on-failure --parallel "$(nproc)" "$@"
