#!/usr/bin/env bash
# Installs what is missing, builds Kelvane with its tests and runs everything: the ctest suite
# (unit, process, install and end-to-end tests), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer with a leak check of one full session, and a short run of each
# fuzz target (KELVANE_FUZZ_SECONDS, default 60; KELVANE_SANITIZERS=0 leaves those two out).
# With arguments, only ctest runs, with them
# (for example: scripts/test.sh -L unit).
#
# The Qt 6 program by default; KELVANE_QT_VERSION=5 tests the Qt 5 one (Debian 12) in
# build-qt5/ the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
[ "${KELVANE_QT_VERSION:-6}" = 6 ] || build_dir="build-qt$KELVANE_QT_VERSION"

# Installs once for everything below: the sanitizer and fuzzing scripts install nothing.
scripts/install-deps.sh
scripts/build.sh "$build_dir"
if [ $# -gt 0 ]; then
    (cd "$build_dir" && ctest --output-on-failure --parallel "$(nproc)" "$@")
    exit
fi
(cd "$build_dir" && ctest --output-on-failure --parallel "$(nproc)")
# KELVANE_SANITIZERS=0 stops here: CI runs the sanitizers and fuzzing once, on its own machine,
# and only the suite again on each fresh one.
[ "${KELVANE_SANITIZERS:-1}" != 0 ] || exit 0
scripts/sanitize.sh
scripts/fuzz.sh "${KELVANE_FUZZ_SECONDS:-60}"
