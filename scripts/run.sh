#!/usr/bin/env bash
# Installs what is missing, builds Kelvane and starts it from its build folder, which holds
# the sample Configuration and the converter link.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Kelvane inside a virtual X server (xvfb-run)."
    exec xvfb-run -a -s "-screen 0 1280x1024x24" build/kelvane
fi
exec build/kelvane
