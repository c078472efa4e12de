#!/usr/bin/env bash
# Builds Kelvane for Windows (scripts/build-windows.sh, tests included) and tests it under Wine
# in Xvfb, each Wine prefix fresh and under a temporary folder:
#   1. the unit tests, cross-built, through ctest (the identifier and system-fact cases again
#      with Wine pretending to be Windows 7, 8.1 and 10);
#   2. the portable zip's folder: every DLL an executable imports is there, no Linux binary;
#   3. end to end, the zip's kelvane.exe driven through its real window, with the test server
#      and with the telemetry collector;
#   4. the installers of the default and of a deployer's program, side by side, upgraded and
#      uninstalled.
# With arguments, only ctest runs, with them (for example: scripts/test-windows.sh -R json).
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
step_started=$SECONDS
step() {
    echo "test-windows: $1 took $((SECONDS - step_started)) s (total $((SECONDS - started)) s)"
    step_started=$SECONDS
}

bash scripts/build-windows.sh --tests
step "the Windows build"

# The Linux telemetry server that the end-to-end tests answer the program with, and what
# drives the window.
scripts/install-deps.sh
export DEBIAN_FRONTEND=noninteractive
missing=()
for package in wine wine64 xvfb xdotool unzip; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_QT_VERSION=6 > /dev/null
cmake --build build --target telemetry-server --parallel "$(nproc)" > /dev/null

work="$(mktemp -d /tmp/kelvane-windows-test.XXXXXX)"
xvfb_pid=""
cleanup() {
    local status=$?
    for prefix in "$work"/prefixes/*/prefix; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    done
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One X server for the unit tests; the end-to-end suites start their own.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$work/display" > /dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"

. <(python3 packaging/windows/package.py names --default --configuration deploy/Configuration)
qt_prefix="$(cat build-windows/qt-prefix)"
runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
(
    cd build-windows
    KELVANE_WINE_PREFIXES="$work/prefixes" \
    WINEPATH="Z:${qt_prefix//\//\\}\\bin;Z:${runtime//\//\\};Z:\\usr\\x86_64-w64-mingw32\\lib" \
        ctest --output-on-failure --parallel "$(nproc)" "$@"
)
step "the unit tests under Wine"
[ $# -eq 0 ] || exit 0

base="$NAME-$VERSION-windows-x64"
unzip -q "dist/$base.zip" -d "$work/zip"
python3 packaging/windows/package.py check "$work/zip/$base"
step "the zip's application folder"

export KELVANE_E2E_SERVER="$PWD/build/tests/telemetry-server"
# The port the default build sends to.
export KELVANE_E2E_PORT=47800
export KELVANE_WINDOWS_APP="$work/zip/$base"
export PYTHONDONTWRITEBYTECODE=1
(cd tests/windows && /usr/bin/python3 -m unittest -v test_wine_program)
step "the zip's program end to end under Wine"

# The same program against the telemetry collector of the Linux build.
KELVANE_COLLECTOR="$PWD/build/collector/kelvane-collector" \
    /usr/bin/python3 collector/tests/windows/test_wine_with_collector.py -v
step "the zip's program under Wine against the collector"

# A deployer's program beside the default one, and an older version to upgrade from.
bash scripts/build-windows.sh --configuration tests/windows/deployer/Configuration \
    --output "$work/deployer"
export KELVANE_WINDOWS_SETUP="$PWD/dist/$base-setup.exe"
export KELVANE_WINDOWS_DEPLOYER_SETUP
KELVANE_WINDOWS_DEPLOYER_SETUP="$(ls "$work"/deployer/*-setup.exe)"
(cd tests/windows && /usr/bin/python3 -m unittest -v test_installer)
step "the installers under Wine"
