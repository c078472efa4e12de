#!/usr/bin/env bash
# Installs what is missing, builds Kelvane and starts it from its build folder, which holds
# the sample Configuration and the converter link. KELVANE_QT_VERSION=5 runs the Qt 5 program
# (Debian 12), built in build-qt5/.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
[ "${KELVANE_QT_VERSION:-6}" = 6 ] || build_dir="build-qt$KELVANE_QT_VERSION"
scripts/install-deps.sh
scripts/build.sh "$build_dir"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Kelvane inside a virtual X server (xvfb-run)."
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build_dir/kelvane"
fi
exec "$build_dir/kelvane"
