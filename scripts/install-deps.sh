#!/usr/bin/env bash
# Installs what building, running and testing Kelvane needs, chosen for the Debian release this
# machine runs (/etc/os-release); installs only what is missing, so a second run is quick.
# KELVANE_QT_VERSION=5 adds what the Qt 5 build needs (Debian 12 only: Debian 13 has no
# QtWebKit). On a release it does not know, it names the packages it needs and stops.
set -euo pipefail

qt_version="${KELVANE_QT_VERSION:-6}"

common=(
    cmake g++ make pkg-config zlib1g-dev
    ffmpeg desktop-file-utils
    xvfb xauth xdotool x11-utils imagemagick python3 python3-xlib
    # clang with its sanitizer and fuzzer runtimes, and llvm-symbolizer for readable reports
    clang libclang-rt-dev llvm
)
# The Qt 6 build also builds the telemetry collector: HTTP, storage and password hashing
# libraries, and the PostgreSQL server and Chromium that its tests start.
qt6=(qt6-base-dev
     libmicrohttpd-dev libsqlite3-dev libpq-dev libsodium-dev
     postgresql chromium chromium-driver python3-selenium)
qt5=(qtbase5-dev qtscript5-dev libqt5webkit5-dev)

release="unknown"
if [ -r /etc/os-release ]; then
    release="$(. /etc/os-release && echo "${ID:-unknown} ${VERSION_ID:-}")"
fi

case "$qt_version" in
    6) qt=("${qt6[@]}") ;;
    5) qt=("${qt5[@]}") ;;
    *) echo "KELVANE_QT_VERSION must be 6 or 5, not '$qt_version'" >&2; exit 2 ;;
esac

case "$release" in
    "debian 12") ;;
    "debian 13")
        if [ "$qt_version" = 5 ]; then
            echo "The Qt 5 build needs QtWebKit (libqt5webkit5-dev), which Debian 13 does not" \
                 "have. Build the Qt 6 program here (the default), or the Qt 5 one on Debian 12." >&2
            exit 1
        fi
        ;;
    *)
        echo "This script knows Debian 12 and Debian 13; this machine runs '$release'." >&2
        echo "Install these packages (Debian names) or their equivalents, then build with" \
             "scripts/build.sh:" >&2
        echo "  ${common[*]} ${qt[*]}" >&2
        exit 1
        ;;
esac

missing=()
for package in "${common[@]}" "${qt[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
