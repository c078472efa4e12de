#!/usr/bin/env bash
# Configures and builds Kelvane in the folder given as $1, passing any further arguments to
# CMake. It builds against Qt 6 in build/ by default, against Qt 5 in build-qt5/ with
# KELVANE_QT_VERSION=5.
set -euo pipefail
cd "$(dirname "$0")/.."
qt_version="${KELVANE_QT_VERSION:-6}"
default_dir=build
[ "$qt_version" = 6 ] || default_dir="build-qt$qt_version"
build_dir="${1:-$default_dir}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_QT_VERSION="$qt_version" "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
