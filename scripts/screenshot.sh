#!/usr/bin/env bash
# Retakes docs/screenshot.png, the window mid-conversion, through the end-to-end suite (its
# cancel path holds a job at 42 % with a stand-in converter). Run scripts/test.sh once first.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p docs
KELVANE_E2E_SCREENSHOT="$PWD/docs/screenshot.png" \
    ctest --test-dir build -R e2e_user_paths --output-on-failure
