#!/usr/bin/env bash
# Installs what building, running and testing Kelvane needs on Debian 12; installs only what
# is missing, so a second run is quick.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qtbase5-dev qtscript5-dev libqt5webkit5-dev
    ffmpeg desktop-file-utils
    xvfb xauth xdotool x11-utils imagemagick python3 python3-xlib
    # clang with its sanitizer and fuzzer runtimes, and llvm-symbolizer for readable reports
    clang libclang-rt-14-dev llvm
)

missing=()
for package in "${packages[@]}"; do
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
