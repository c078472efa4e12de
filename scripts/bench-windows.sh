#!/usr/bin/env bash
# Figures for the Windows program under Wine (bench/wine_bench.py), after building it with
# scripts/build-windows.sh: start-up and memory against a minimal Qt window built the same way,
# and a 10-minute FLAC to MP3 against the bundled ffmpeg.exe run directly. Also prints the
# sizes of the zip and the installer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-windows.sh --tests > /dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_QT_VERSION=6 > /dev/null
cmake --build build --target telemetry-server --parallel "$(nproc)" > /dev/null
. <(python3 packaging/windows/package.py names --default --configuration deploy/Configuration)
base="$NAME-$VERSION-windows-x64"
work="$(mktemp -d /tmp/kelvane-windows-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
unzip -q "dist/$base.zip" -d "$work"
echo "bench-windows: zip $(stat -c %s "dist/$base.zip") bytes, installer" \
     "$(stat -c %s "dist/$base-setup.exe") bytes, unpacked $(du -sb "$work/$base" | cut -f1) bytes"
KELVANE_WINDOWS_APP="$work/$base" KELVANE_WINDOWS_MINIMAL="$PWD/build-windows/bench/minimal-window.exe" \
KELVANE_E2E_SERVER="$PWD/build/tests/telemetry-server" KELVANE_E2E_PORT=47800 \
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/wine_bench.py
