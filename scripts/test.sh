#!/usr/bin/env bash
# Installs what is missing, builds Kelvane with its tests and runs everything: the ctest suite
# (unit, process, install and end-to-end tests), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer with a leak check of one full session, and a short run of each
# fuzz target (KELVANE_FUZZ_SECONDS, default 60). With arguments, only ctest runs, with them
# (for example: scripts/test.sh -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ $# -gt 0 ]; then
    (cd build && ctest --output-on-failure --parallel "$(nproc)" "$@")
    exit
fi
(cd build && ctest --output-on-failure --parallel "$(nproc)")
scripts/sanitize.sh
scripts/fuzz.sh "${KELVANE_FUZZ_SECONDS:-60}"
